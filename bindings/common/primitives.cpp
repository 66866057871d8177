#include "common/primitives.hpp"

#include "backtest/rolling.hpp"

namespace backtest::boundary {

namespace {

// Windows longer than the input return all NaN: float64 for the sum and the
// extremes, the input's own floating dtype for the averages and the deviation.
bool keeps_floating_dtype(Primitive primitive) {
    return primitive != Primitive::sum && primitive != Primitive::min && primitive != Primitive::max;
}

void run_kernel(Primitive primitive, const NumericSeries& x, std::size_t window, std::span<double> out) {
    const std::span<const double> in = x.span();
    const bool series = x.kind == SeriesKind::series;
    switch (primitive) {
        case Primitive::sum:
            return rolling::sum(in, window, series ? rolling::PrefixNan::skip : rolling::PrefixNan::poison, out);
        case Primitive::mean:
            return rolling::mean(in, window, out);
        case Primitive::ema:
            return rolling::ema(in, window, series ? rolling::EmaSeed::skip_nan : rolling::EmaSeed::with_nan, out);
        case Primitive::wma:
            return rolling::wma(in, window, out);
        case Primitive::stddev:
            return rolling::stddev(in, window, out);
        case Primitive::min:
            return rolling::min(in, window, out);
        case Primitive::max:
            return rolling::max(in, window, out);
    }
}

}  // namespace

py::array compute(Primitive primitive, const NumericSeries& x, std::size_t window) {
    const std::size_t n = x.size();
    if (window > n) return full_nan(n, keeps_floating_dtype(primitive) ? x.dtype : py::dtype::of<double>());
    py::array_t<double> result = new_array(n);
    std::span<double> out = writable(result);
    {
        // releasing the GIL is safe: the kernel touches only the two buffers, which
        // `x` and `result` keep alive
        py::gil_scoped_release unlocked;
        run_kernel(primitive, x, window, out);
    }
    return result;
}

}  // namespace backtest::boundary
