// The rolling primitives at the boundary: what `formula`'s builtins return for
// a converted input, shared by every module that calls them without a Python
// round trip. A primitive is its registry row (formula/registry.hpp).
#pragma once

#include "boundary/convert.hpp"
#include "boundary/registry.hpp"

namespace backtest::boundary {

using Primitive = registry::Function;

// The primitive of `x` exactly as its builtin returns it: early all-NaN return
// for a window longer than the input, Series semantics for pandas input.
py::array compute(const Primitive& primitive, const NumericSeries& x, std::size_t window);

}  // namespace backtest::boundary
