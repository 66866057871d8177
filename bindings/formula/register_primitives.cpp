#include <array>

#include "backtest/rolling.hpp"
#include "formula/primitives.hpp"

namespace backtest::formula {

namespace {

using boundary::Arguments;
using boundary::NumericSeries;
using boundary::Signature;

constexpr const char* kRollingSumDoc =
    "\n"
    "    Compute the rolling sum of a 1D array using NumPy.\n"
    "\n"
    "    Parameters:\n"
    "    x (numpy array): Input 1D array.\n"
    "    window (int): Window size for the rolling sum.\n"
    "\n"
    "    Returns:\n"
    "    numpy array: Rolling sum array.\n";

constexpr Signature kRollingSum{"rolling_sum", {"x", "window"}, 2, 2, 0, kRollingSumDoc};
constexpr Signature kRollingMean{"rolling_mean", {"array", "rolling_window"}, 2, 2, 0, nullptr};
constexpr Signature kRollingEma{"rolling_ema", {"data", "window"}, 2, 2, 0, nullptr};
constexpr Signature kRollingWma{"rolling_wma", {"data", "window"}, 2, 2, 0, nullptr};
constexpr Signature kRollingStd{"rolling_std", {"array", "rolling_window"}, 2, 2, 0, nullptr};
constexpr Signature kRollingMin{"rolling_min", {"array", "rolling_window"}, 2, 2, 0, nullptr};
constexpr Signature kRollingMax{"rolling_max", {"array", "rolling_window"}, 2, 2, 0, nullptr};

// Windows longer than the input return all NaN: float64 for the sum and the
// extremes, the input's own floating dtype for the averages and the deviation.
bool keeps_floating_dtype(Primitive primitive) {
    return primitive != Primitive::sum && primitive != Primitive::min && primitive != Primitive::max;
}

void run_kernel(Primitive primitive, const NumericSeries& x, std::size_t window, std::span<double> out) {
    const std::span<const double> in = x.span();
    const bool series = x.kind == boundary::SeriesKind::series;
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

template <Primitive P>
py::object primitive_body(py::handle, const Arguments& args) {
    static constexpr std::array<const char*, 7> window_names{"window", "rolling_window", "window", "window",
                                                             "rolling_window", "rolling_window",
                                                             "rolling_window"};
    const NumericSeries x = boundary::to_numeric(args[0]);
    const std::size_t window = boundary::to_window(args[1], window_names[static_cast<std::size_t>(P)]);
    return compute(P, x, window);
}

constexpr std::array<const Signature*, 7> kSignatures{&kRollingSum, &kRollingMean, &kRollingEma, &kRollingWma,
                                                      &kRollingStd, &kRollingMin,  &kRollingMax};

template <Primitive P>
PyCFunction entry() {
    return boundary::entry_point<*kSignatures[static_cast<std::size_t>(P)], &primitive_body<P>>();
}

template <Primitive P>
PyMethodDef method() {
    return boundary::method<*kSignatures[static_cast<std::size_t>(P)], &primitive_body<P>>();
}

const char* name_of(Primitive primitive) { return kSignatures[static_cast<std::size_t>(primitive)]->name; }

PyCFunction entry_of(Primitive primitive) {
    switch (primitive) {
        case Primitive::sum: return entry<Primitive::sum>();
        case Primitive::mean: return entry<Primitive::mean>();
        case Primitive::ema: return entry<Primitive::ema>();
        case Primitive::wma: return entry<Primitive::wma>();
        case Primitive::stddev: return entry<Primitive::stddev>();
        case Primitive::min: return entry<Primitive::min>();
        case Primitive::max: return entry<Primitive::max>();
    }
    return nullptr;
}

}  // namespace

py::array compute(Primitive primitive, const NumericSeries& x, std::size_t window) {
    const std::size_t n = x.size();
    if (window > n) {
        return boundary::full_nan(n, keeps_floating_dtype(primitive) ? x.dtype : py::dtype::of<double>());
    }
    py::array_t<double> result = boundary::new_array(n);
    std::span<double> out = boundary::writable(result);
    {
        // releasing the GIL is safe: the kernel touches only the two buffers, which
        // `x` and `result` keep alive
        py::gil_scoped_release unlocked;
        run_kernel(primitive, x, window, out);
    }
    return result;
}

py::object call_primitive(py::handle module, Primitive primitive, py::handle series, py::handle window) {
    py::object bound = boundary::module_global(module, name_of(primitive));
    if (!boundary::is_builtin(bound, entry_of(primitive))) return bound(series, window);
    const std::size_t size = boundary::to_window(window, kSignatures[static_cast<std::size_t>(primitive)]->parameters[1]);
    return compute(primitive, boundary::to_numeric(series), size);
}

std::vector<PyMethodDef> primitive_methods() {
    return {method<Primitive::sum>(), method<Primitive::mean>(),   method<Primitive::ema>(),
            method<Primitive::wma>(), method<Primitive::stddev>(), method<Primitive::min>(),
            method<Primitive::max>()};
}

}  // namespace backtest::formula
