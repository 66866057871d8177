// The seven rolling primitives as the module exposes them, and the late-bound
// calls through which the frame-level functions use them.
#pragma once

#include <Python.h>

#include <vector>

#include "common/convert.hpp"
#include "common/module.hpp"

namespace backtest::formula {

namespace py = pybind11;

enum class Primitive { sum, mean, ema, wma, stddev, min, max };

// The primitive of `x` exactly as its builtin returns it (early returns included).
py::array compute(Primitive primitive, const boundary::NumericSeries& x, std::size_t window);

// Calls what the module binds to the primitive's name now: the kernel directly
// while the name still refers to our builtin, the bound object otherwise.
py::object call_primitive(py::handle module, Primitive primitive, py::handle series, py::handle window);

std::vector<PyMethodDef> primitive_methods();

}  // namespace backtest::formula
