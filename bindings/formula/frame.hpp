// The frame-level functions: normalisations, RSI, Bollinger bands and MACD,
// writing their columns into the caller's frame.
#pragma once

#include <Python.h>

#include <vector>

namespace backtest::formula {

std::vector<PyMethodDef> frame_methods();

}  // namespace backtest::formula
