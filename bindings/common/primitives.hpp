// The rolling primitives at the boundary: what `formula`'s builtins return for
// a converted input, shared by every module that calls them without a Python
// round trip.
#pragma once

#include "common/convert.hpp"

namespace backtest::boundary {

enum class Primitive { sum, mean, ema, wma, stddev, min, max };

// The primitive of `x` exactly as its builtin returns it: early all-NaN return
// for a window longer than the input, Series semantics for pandas input.
py::array compute(Primitive primitive, const NumericSeries& x, std::size_t window);

}  // namespace backtest::boundary
