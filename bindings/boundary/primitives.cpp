#include "boundary/primitives.hpp"

namespace backtest::boundary {

py::array compute(const Primitive& primitive, const NumericSeries& x, std::size_t window) {
    const registry::Rolling& rolling = *primitive.rolling;
    const std::size_t n = x.size();
    if (window > n) return full_nan(n, rolling.keeps_floating_dtype ? x.dtype : py::dtype::of<double>());
    py::array_t<double> result = new_array(n);
    std::span<double> out = writable(result);
    {
        // releasing the GIL is safe: the kernel touches only the two buffers, which
        // `x` and `result` keep alive
        py::gil_scoped_release unlocked;
        rolling.kernel(x.span(), window, x.kind == SeriesKind::series, out);
    }
    return result;
}

}  // namespace backtest::boundary
