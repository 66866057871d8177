// The moving averages that threshold modes compute through `formula`.
#pragma once

#include <pybind11/pybind11.h>

namespace backtest::tradecue {

// Keeps formula's own average builtins, when `module` is loaded, so that a mode
// runs the kernel directly while `formula` still binds them; false with a
// Python error set on failure.
bool keep_formula_averages(pybind11::handle module) noexcept;

}  // namespace backtest::tradecue
