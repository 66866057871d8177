// The frame-level functions: each is the body of its registry row, and the
// module's methods are generated from the rows.
#include <utility>

#include "backtest/transforms.hpp"
#include "formula/frame.hpp"

namespace backtest::formula {

namespace {

using boundary::Arguments;

// The body of the frame-level function of each registry row without a kernel;
// a row left without one is a compile error here.
template <const registry::Function& F>
py::object frame_body(py::handle module, const Arguments& args) = delete;

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
    call.assign_rolling("sma", kRollingMean, "data", window);
    call.assign_rolling("stddev", kRollingStd, "data", window);
}

template <>
py::object frame_body<kRollingMeanNormalize>(py::handle module, const Arguments& args) {
    auto [call, window] = setup(module, args);
    call.assign_rolling("sma", kRollingMean, "data", window);
    call.assign_rolling("min", kRollingMin, "data", window);
    call.assign_rolling("max", kRollingMax, "data", window);
    call.assign("processed_data", transforms::mean_normalize, call.span("data"), call.span("sma"), call.span("min"),
                call.span("max"));
    return call.frame();
}

template <>
py::object frame_body<kRollingMinmaxNormalize>(py::handle module, const Arguments& args) {
    auto [call, window] = setup(module, args);
    call.assign_rolling("min", kRollingMin, "data", window);
    call.assign_rolling("max", kRollingMax, "data", window);
    call.assign("processed_data", transforms::minmax_normalize, call.span("data"), call.span("min"), call.span("max"));
    return call.frame();
}

template <>
py::object frame_body<kRollingZscore>(py::handle module, const Arguments& args) {
    auto [call, window] = setup(module, args);
    assign_mean_and_deviation(call, window);
    call.assign("processed_data", transforms::zscore, call.span("data"), call.span("sma"), call.span("stddev"));
    return call.frame();
}

template <>
py::object frame_body<kRollingZscoreMean>(py::handle module, const Arguments& args) {
    auto [call, window] = setup(module, args);
    assign_mean_and_deviation(call, window);
    call.assign("zscore", transforms::zscore, call.span("data"), call.span("sma"), call.span("stddev"));
    const Float64Array average = call.rolling(kRollingMean, "zscore", window);
    call.assign_over("processed_data", average, transforms::difference, call.span("zscore"), values_of(average));
    return call.frame();
}

template <>
py::object frame_body<kRollingTanhEstimator>(py::handle module, const Arguments& args) {
    auto [call, window] = setup(module, args);
    assign_mean_and_deviation(call, window);
    const Float64Array signal = call.compute(transforms::tanh_estimator_argument, call.span("data"), call.span("sma"),
                                             call.span("stddev"));
    numpy_function("tanh", signal, signal);
    call.write("processed_data", signal);
    return call.frame();
}

template <>
py::object frame_body<kRollingSigmoidZscore>(py::handle module, const Arguments& args) {
    auto [call, window] = setup(module, args);
    assign_mean_and_deviation(call, window);
    const Float64Array exponential = call.compute(transforms::sigmoid_zscore_exponent, call.span("data"),
                                                  call.span("sma"), call.span("stddev"));
    numpy_function("exp", exponential, exponential);
    call.assign_over("processed_data", exponential, transforms::logistic_signal, values_of(exponential));
    return call.frame();
}

template <>
py::object frame_body<kRollingSigmoid>(py::handle module, const Arguments& args) {
    auto [call, window] = setup(module, args);
    assign_mean_and_deviation(call, window);
    const Float64Array exponential = call.new_column();
    numpy_function("exp", call.values("data"), exponential);
    call.assign_over("processed_data", exponential, transforms::logistic_signal, values_of(exponential));
    return call.frame();
}

template <>
py::object frame_body<kRollingSoftmax>(py::handle module, const Arguments& args) {
    auto [call, window] = setup(module, args);
    call.assign_rolling("max", kRollingMax, "data", window);
    const Float64Array exponential = call.compute(transforms::difference, call.span("data"), call.span("max"));
    numpy_function("exp", exponential, exponential);
    call.assign_over("processed_data", exponential, transforms::softmax_signal, values_of(exponential));
    return call.frame();
}

template <>
py::object frame_body<kRollingL1Normalization>(py::handle module, const Arguments& args) {
    auto [call, window] = setup(module, args);
    if (is_own_primitive(module, kRollingSum)) {
        // our own rolling sums of the magnitudes: the signal in one pass
        call.write("processed_data", call.compute(transforms::rolling_l1_normalize, call.span("data"), window.size));
        return call.frame();
    }
    const Float64Array magnitudes = call.compute(transforms::absolute, call.span("data"));
    const Float64Array sums = call.rolling(
        kRollingSum, magnitudes,
        [&] { return boundary::module_global(call.module(), "np").attr("abs")(call.column("data")); }, window);
    call.assign_over("processed_data", sums, transforms::l1_normalize, call.span("data"), values_of(sums));
    return call.frame();
}

void assign_rsi_averages(FrameCall& call, const Window& window) {
    call.assign_rolling("sma", kRollingMean, "rsi", window);
    call.assign_rolling("ema", kRollingEma, "rsi", window);
    call.assign_rolling("wma", kRollingWma, "rsi", window);
}

template <>
py::object frame_body<kRollingRsi>(py::handle module, const Arguments& args) {
    auto [call, window] = setup(module, args);
    if (is_own_primitive(module, kRollingMean)) {
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
    const Float64Array gain = call.rolling(kRollingMean, call.compute(transforms::gains, call.span("data")),
                                           [&] { return moves("__gt__"); }, window);
    const Float64Array loss = call.rolling(kRollingMean, call.compute(transforms::losses, call.span("data")),
                                           [&] { return moves("__lt__").attr("__neg__")(); }, window);
    call.assign_over("rsi", gain, transforms::rsi, values_of(gain), values_of(loss));
    assign_rsi_averages(call, window);
    call.assign("processed_data", transforms::rsi_signal, call.span("rsi"));
    return call.frame();
}

template <>
py::object frame_body<kRollingBollingerBands>(py::handle module, const Arguments& args) {
    auto [call, window] = setup(module, args);
    const double multiplier = boundary::to_real(args[2]);
    call.assign_rolling("sma", kRollingMean, "data", window);
    call.assign_rolling("ema", kRollingEma, "data", window);
    call.assign_rolling("wma", kRollingWma, "data", window);
    const bool own_deviation = is_own_primitive(module, kRollingStd);
    const Float64Array deviation = call.rolling(kRollingStd, "data", window);
    call.assign("upper_band", transforms::upper_band, call.span("sma"), multiplier, values_of(deviation));
    // Each band asks for the deviation: a replaced rolling_std is called again,
    // our own kernel would return the same values.
    const bool reuse = own_deviation && is_own_primitive(module, kRollingStd);
    const Float64Array second = reuse ? deviation : call.rolling(kRollingStd, "data", window);
    call.assign_over("lower_band", second, transforms::lower_band, call.span("sma"), multiplier, values_of(second));
    return call.frame();
}

template <>
py::object frame_body<kCalculateMacd>(py::handle module, const Arguments& args) {
    FrameCall call(module, args[0]);
    const Window short_window = checked_window(args[1], "short_window");
    const Window long_window = checked_window(args[2], "long_window");
    const Window signal_window = checked_window(args[3], "signal_window");
    if (is_own_primitive(module, kRollingEma)) {
        // our own averages: the five columns in one pass
        std::array<Float64Array, 5> columns = call.new_columns<5>();
        const transforms::MacdColumns out{output_of(columns[0]), output_of(columns[1]), output_of(columns[2]),
                                          output_of(columns[3]), output_of(columns[4])};
        call.run(transforms::macd, call.span("data"), short_window.size, long_window.size, signal_window.size, out);
        call.write({"EMA_short", "EMA_long", "MACD", "Signal", "Histogram"}, columns);
        return call.frame();
    }
    call.assign_rolling("EMA_short", kRollingEma, "data", short_window);
    call.assign_rolling("EMA_long", kRollingEma, "data", long_window);
    call.assign("MACD", transforms::difference, call.span("EMA_short"), call.span("EMA_long"));
    call.assign_rolling("Signal", kRollingEma, "MACD", signal_window);
    call.assign("Histogram", transforms::difference, call.span("MACD"), call.span("Signal"));
    return call.frame();
}

template <std::size_t... I>
std::vector<PyMethodDef> frame_methods(std::index_sequence<I...>) {
    std::vector<PyMethodDef> methods;
    (
        [&] {
            constexpr const registry::Function& row = *kFunctions[I];
            if constexpr (!row.is_primitive()) methods.push_back(boundary::method<row, &frame_body<row>>());
        }(),
        ...);
    return methods;
}

}  // namespace

std::vector<PyMethodDef> frame_methods() { return frame_methods(std::make_index_sequence<kFunctions.size()>()); }

}  // namespace backtest::formula
