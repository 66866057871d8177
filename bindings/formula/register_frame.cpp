#include "backtest/transforms.hpp"
#include "formula/frame.hpp"

namespace backtest::formula {

namespace {

using boundary::Arguments;
using boundary::Signature;

constexpr Signature kMeanNormalize{"rolling_mean_normalize", {"df", "rolling_window"}, 2, 2, 0, nullptr};
constexpr Signature kMinmaxNormalize{"rolling_minmax_normalize", {"df", "rolling_window"}, 2, 2, 0, nullptr};
constexpr Signature kZscore{"rolling_zscore", {"df", "rolling_window"}, 2, 2, 0, nullptr};
constexpr Signature kZscoreMean{"rolling_zscore_mean", {"df", "rolling_window"}, 2, 2, 0, nullptr};
constexpr Signature kTanhEstimator{"rolling_tanh_estimator", {"df", "rolling_window"}, 2, 2, 0, nullptr};
constexpr Signature kSigmoidZscore{"rolling_sigmoid_zscore", {"df", "rolling_window"}, 2, 2, 0, nullptr};
constexpr Signature kSigmoid{"rolling_sigmoid", {"df", "rolling_window"}, 2, 2, 0, nullptr};
constexpr Signature kSoftmax{"rolling_softmax", {"df", "rolling_window"}, 2, 2, 0, nullptr};
constexpr Signature kL1Normalization{"rolling_l1_normalization", {"df", "rolling_window"}, 2, 2, 0, nullptr};
constexpr Signature kRsi{"rolling_rsi", {"df", "rolling_window"}, 2, 2, 0, nullptr};
constexpr Signature kBollingerBands{"rolling_bollinger_bands", {"df", "rolling_window", "multiplier"}, 3, 3, 0,
                                    nullptr};
constexpr Signature kMacd{"calculate_macd", {"df", "short_window", "long_window", "signal_window"}, 4, 3, 9, nullptr};

// The data column and the window of a function taking (df, rolling_window).
struct Setup {
    FrameCall call;
    Window window;
};

Setup setup(py::handle module, const Arguments& args) {
    FrameCall call(module, args[0]);
    const Window window = checked_window(args[1], "rolling_window");
    return {std::move(call), window};
}

void assign_mean_and_deviation(FrameCall& call, const Window& window) {
    call.assign_rolling("sma", Primitive::mean, "data", window);
    call.assign_rolling("stddev", Primitive::stddev, "data", window);
}

py::object rolling_mean_normalize(py::handle module, const Arguments& args) {
    auto [call, window] = setup(module, args);
    call.assign_rolling("sma", Primitive::mean, "data", window);
    call.assign_rolling("min", Primitive::min, "data", window);
    call.assign_rolling("max", Primitive::max, "data", window);
    call.assign("processed_data", transforms::mean_normalize, call.span("data"), call.span("sma"), call.span("min"),
                call.span("max"));
    return call.frame();
}

py::object rolling_minmax_normalize(py::handle module, const Arguments& args) {
    auto [call, window] = setup(module, args);
    call.assign_rolling("min", Primitive::min, "data", window);
    call.assign_rolling("max", Primitive::max, "data", window);
    call.assign("processed_data", transforms::minmax_normalize, call.span("data"), call.span("min"), call.span("max"));
    return call.frame();
}

py::object rolling_zscore(py::handle module, const Arguments& args) {
    auto [call, window] = setup(module, args);
    assign_mean_and_deviation(call, window);
    call.assign("processed_data", transforms::zscore, call.span("data"), call.span("sma"), call.span("stddev"));
    return call.frame();
}

py::object rolling_zscore_mean(py::handle module, const Arguments& args) {
    auto [call, window] = setup(module, args);
    assign_mean_and_deviation(call, window);
    call.assign("zscore", transforms::zscore, call.span("data"), call.span("sma"), call.span("stddev"));
    const Float64Array average = call.rolling(Primitive::mean, "zscore", window);
    call.assign_over("processed_data", average, transforms::difference, call.span("zscore"), values_of(average));
    return call.frame();
}

py::object rolling_tanh_estimator(py::handle module, const Arguments& args) {
    auto [call, window] = setup(module, args);
    assign_mean_and_deviation(call, window);
    const Float64Array signal = call.compute(transforms::tanh_estimator_argument, call.span("data"), call.span("sma"),
                                             call.span("stddev"));
    numpy_function("tanh", signal, signal);
    call.write("processed_data", signal);
    return call.frame();
}

py::object rolling_sigmoid_zscore(py::handle module, const Arguments& args) {
    auto [call, window] = setup(module, args);
    assign_mean_and_deviation(call, window);
    const Float64Array exponential = call.compute(transforms::sigmoid_zscore_exponent, call.span("data"),
                                                  call.span("sma"), call.span("stddev"));
    numpy_function("exp", exponential, exponential);
    call.assign_over("processed_data", exponential, transforms::logistic_signal, values_of(exponential));
    return call.frame();
}

py::object rolling_sigmoid(py::handle module, const Arguments& args) {
    auto [call, window] = setup(module, args);
    assign_mean_and_deviation(call, window);
    const Float64Array exponential = call.new_column();
    numpy_function("exp", call.values("data"), exponential);
    call.assign_over("processed_data", exponential, transforms::logistic_signal, values_of(exponential));
    return call.frame();
}

py::object rolling_softmax(py::handle module, const Arguments& args) {
    auto [call, window] = setup(module, args);
    call.assign_rolling("max", Primitive::max, "data", window);
    const Float64Array exponential = call.compute(transforms::difference, call.span("data"), call.span("max"));
    numpy_function("exp", exponential, exponential);
    call.assign_over("processed_data", exponential, transforms::softmax_signal, values_of(exponential));
    return call.frame();
}

py::object rolling_l1_normalization(py::handle module, const Arguments& args) {
    auto [call, window] = setup(module, args);
    if (is_own_primitive(module, Primitive::sum)) {
        // our own rolling sums of the magnitudes: the signal in one pass
        call.write("processed_data", call.compute(transforms::rolling_l1_normalize, call.span("data"), window.size));
        return call.frame();
    }
    const Float64Array magnitudes = call.compute(transforms::absolute, call.span("data"));
    const Float64Array sums = call.rolling(
        Primitive::sum, magnitudes,
        [&] { return boundary::module_global(call.module(), "np").attr("abs")(call.column("data")); }, window);
    call.assign_over("processed_data", sums, transforms::l1_normalize, call.span("data"), values_of(sums));
    return call.frame();
}

void assign_rsi_averages(FrameCall& call, const Window& window) {
    call.assign_rolling("sma", Primitive::mean, "rsi", window);
    call.assign_rolling("ema", Primitive::ema, "rsi", window);
    call.assign_rolling("wma", Primitive::wma, "rsi", window);
}

py::object rolling_rsi(py::handle module, const Arguments& args) {
    auto [call, window] = setup(module, args);
    if (is_own_primitive(module, Primitive::mean)) {
        // our own averages of gains and losses: the RSI and its signal in one pass
        std::array<Float64Array, 2> columns = call.new_columns<2>();
        call.run(transforms::relative_strength, call.span("data"), window.size, output_of(columns[0]),
                 output_of(columns[1]));
        call.write("rsi", std::move(columns[0]));
        assign_rsi_averages(call, window);
        call.write("processed_data", std::move(columns[1]));
        return call.frame();
    }
    // A replaced rolling_mean receives the Series of gains or of negated losses
    // built from data's changes, as pandas builds them.
    py::object changes;
    auto moves = [&](const char* keep) {
        if (!changes) changes = call.column("data").attr("diff")();
        return changes.attr("where")(changes.attr(keep)(0), 0);
    };
    const Float64Array gain = call.rolling(Primitive::mean, call.compute(transforms::gains, call.span("data")),
                                           [&] { return moves("__gt__"); }, window);
    const Float64Array loss = call.rolling(Primitive::mean, call.compute(transforms::losses, call.span("data")),
                                           [&] { return moves("__lt__").attr("__neg__")(); }, window);
    call.assign_over("rsi", gain, transforms::rsi, values_of(gain), values_of(loss));
    assign_rsi_averages(call, window);
    call.assign("processed_data", transforms::rsi_signal, call.span("rsi"));
    return call.frame();
}

double checked_multiplier(py::handle object) {
    const double multiplier = PyFloat_AsDouble(object.ptr());
    if (multiplier == -1.0 && PyErr_Occurred()) throw py::error_already_set();
    return multiplier;
}

py::object rolling_bollinger_bands(py::handle module, const Arguments& args) {
    auto [call, window] = setup(module, args);
    const double multiplier = checked_multiplier(args[2]);
    call.assign_rolling("sma", Primitive::mean, "data", window);
    call.assign_rolling("ema", Primitive::ema, "data", window);
    call.assign_rolling("wma", Primitive::wma, "data", window);
    const bool own_deviation = is_own_primitive(module, Primitive::stddev);
    const Float64Array deviation = call.rolling(Primitive::stddev, "data", window);
    call.assign("upper_band", transforms::upper_band, call.span("sma"), multiplier, values_of(deviation));
    // Each band asks for the deviation: a replaced rolling_std is called again,
    // our own kernel would return the same values.
    const bool reuse = own_deviation && is_own_primitive(module, Primitive::stddev);
    const Float64Array second = reuse ? deviation : call.rolling(Primitive::stddev, "data", window);
    call.assign_over("lower_band", second, transforms::lower_band, call.span("sma"), multiplier, values_of(second));
    return call.frame();
}

py::object calculate_macd(py::handle module, const Arguments& args) {
    FrameCall call(module, args[0]);
    const Window short_window = checked_window(args[1], "short_window");
    const Window long_window = checked_window(args[2], "long_window");
    const Window signal_window = checked_window(args[3], "signal_window");
    if (is_own_primitive(module, Primitive::ema)) {
        // our own averages: the five columns in one pass
        std::array<Float64Array, 5> columns = call.new_columns<5>();
        const transforms::MacdColumns out{output_of(columns[0]), output_of(columns[1]), output_of(columns[2]),
                                          output_of(columns[3]), output_of(columns[4])};
        call.run(transforms::macd, call.span("data"), short_window.size, long_window.size, signal_window.size, out);
        call.write({"EMA_short", "EMA_long", "MACD", "Signal", "Histogram"}, columns);
        return call.frame();
    }
    call.assign_rolling("EMA_short", Primitive::ema, "data", short_window);
    call.assign_rolling("EMA_long", Primitive::ema, "data", long_window);
    call.assign("MACD", transforms::difference, call.span("EMA_short"), call.span("EMA_long"));
    call.assign_rolling("Signal", Primitive::ema, "MACD", signal_window);
    call.assign("Histogram", transforms::difference, call.span("MACD"), call.span("Signal"));
    return call.frame();
}

}  // namespace

std::vector<PyMethodDef> frame_methods() {
    using boundary::method;
    return {method<kMeanNormalize, &rolling_mean_normalize>(),
            method<kMinmaxNormalize, &rolling_minmax_normalize>(),
            method<kZscore, &rolling_zscore>(),
            method<kZscoreMean, &rolling_zscore_mean>(),
            method<kTanhEstimator, &rolling_tanh_estimator>(),
            method<kSigmoidZscore, &rolling_sigmoid_zscore>(),
            method<kSigmoid, &rolling_sigmoid>(),
            method<kSoftmax, &rolling_softmax>(),
            method<kL1Normalization, &rolling_l1_normalization>(),
            method<kRsi, &rolling_rsi>(),
            method<kBollingerBands, &rolling_bollinger_bands>(),
            method<kMacd, &calculate_macd>()};
}

}  // namespace backtest::formula
