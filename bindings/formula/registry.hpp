// The functions of Backtest.formula, in the order of its function table.
#pragma once

#include "backtest/rolling.hpp"
#include "boundary/registry.hpp"

namespace backtest::formula {

namespace detail {

using namespace registry::types;

// The parameters of the primitives and of the frame-level functions.
constexpr std::array<registry::Parameter, registry::kMaxParameters> series(const char* values, const char* window) {
    return {{{values, kSeries}, {window, kWindow}}};
}
constexpr std::array<registry::Parameter, registry::kMaxParameters> frame() {
    return {{{"df", kFrame}, {"rolling_window", kWindow}}};
}

inline constexpr const char* kPrimitiveResult = "a new float64 array as long as the input.";
inline constexpr const char* kAverageResult =
    "a new array as long as the input: float64, or the input's floating dtype for a window longer than the input.";
inline constexpr const char* kPrimitiveWarmUp =
    "the first w - 1 values are NaN, w being the window; a window longer than the input gives all NaN.";
inline constexpr const char* kFrameResult = "df itself, its columns written in place in this order.";
inline constexpr const char* kFrameWarmUp = "the first rolling_window - 1 rows of every column written are NaN.";
inline constexpr const char* kDeviationNan =
    "sma and stddev count NaN in data as 0 (and infinities as the largest finite doubles); a NaN in data is NaN in "
    "processed_data at its row; a zero deviation gives NaN or an infinity (there is no guard).";

inline constexpr const char* kRollingSumDoc =
    "\n"
    "    Compute the rolling sum of a 1D array using NumPy.\n"
    "\n"
    "    Parameters:\n"
    "    x (numpy array): Input 1D array.\n"
    "    window (int): Window size for the rolling sum.\n"
    "\n"
    "    Returns:\n"
    "    numpy array: Rolling sum array.\n";

// A kernel whose semantics are the same for a Series as for other arguments.
template <void (*Kernel)(std::span<const double>, std::size_t, std::span<double>)>
void any_argument(std::span<const double> x, std::size_t window, bool, std::span<double> out) {
    Kernel(x, window, out);
}

inline void sum(std::span<const double> x, std::size_t window, bool series, std::span<double> out) {
    rolling::sum(x, window, series ? rolling::PrefixNan::skip : rolling::PrefixNan::poison, out);
}

inline void ema(std::span<const double> x, std::size_t window, bool series, std::span<double> out) {
    rolling::ema(x, window, series ? rolling::EmaSeed::skip_nan : rolling::EmaSeed::with_nan, out);
}

}  // namespace detail

inline constexpr registry::Function kRollingSum{
    .name = "rolling_sum",
    .parameters = detail::series("x", "window"),
    .returns = detail::kArray,
    .summary = "Rolling sums of x over window values.",
    .formula = "out[i] = x[i - window + 1] + ... + x[i], as differences of running sums in NumPy's order.",
    .nan = "an array or list is NaN from its first NaN on; a pandas Series is NaN only in the window ending at a NaN "
           "and in the one ending window values later, and the windows between count it as 0.",
    .warm_up = detail::kPrimitiveWarmUp,
    .result = detail::kPrimitiveResult,
    .doc = detail::kRollingSumDoc,
    .rolling = registry::Rolling{&detail::sum, false},
};

inline constexpr registry::Function kRollingMean{
    .name = "rolling_mean",
    .parameters = detail::series("array", "rolling_window"),
    .returns = detail::kArray,
    .summary = "Simple moving average of array over rolling_window values.",
    .formula = "out[i] = (array[i - w + 1] + ... + array[i]) / w, with w = rolling_window.",
    .nan = "NaN counts as 0 and an infinity as the largest finite double of its sign.",
    .warm_up = detail::kPrimitiveWarmUp,
    .result = detail::kAverageResult,
    .rolling = registry::Rolling{&detail::any_argument<rolling::mean>, true},
};

inline constexpr registry::Function kRollingEma{
    .name = "rolling_ema",
    .parameters = detail::series("data", "window"),
    .returns = detail::kArray,
    .summary = "Exponential moving average of data with the multiplier 2 / (window + 1).",
    .formula = "out[w - 1] = mean(data[:w]); out[i] = (data[i] - out[i - 1]) * 2 / (w + 1) + out[i - 1], with "
               "w = window.",
    .nan = "the seed of an array or list is NaN when a NaN is among the first w values; the seed of a pandas Series "
           "leaves NaN out, and when its whole first window is NaN the average starts at the first valid value; a "
           "NaN after the start makes every later value NaN.",
    .warm_up = detail::kPrimitiveWarmUp,
    .result = detail::kAverageResult,
    .rolling = registry::Rolling{&detail::ema, true},
};

inline constexpr registry::Function kRollingWma{
    .name = "rolling_wma",
    .parameters = detail::series("data", "window"),
    .returns = detail::kArray,
    .summary = "Linearly weighted moving average of data, the newest value weighing most.",
    .formula = "out[i] = (1 * data[i - w + 1] + 2 * data[i - w + 2] + ... + w * data[i]) / (w * (w + 1) / 2), with "
               "w = window.",
    .nan = "a window holding NaN or an infinity gives what its weighted sum gives (NaN or an infinity); no other "
           "window is affected.",
    .warm_up = detail::kPrimitiveWarmUp,
    .result = detail::kAverageResult,
    .rolling = registry::Rolling{&detail::any_argument<rolling::wma>, true},
};

inline constexpr registry::Function kRollingStd{
    .name = "rolling_std",
    .parameters = detail::series("array", "rolling_window"),
    .returns = detail::kArray,
    .summary = "Rolling population standard deviation (divisor rolling_window) of array.",
    .formula = "out[i] = sqrt(sum((array[j] - mean) ** 2) / w) over the window's w values, computed stably: exactly "
               "0 for a window of equal values.",
    .nan = "NaN counts as 0 and an infinity as the largest finite double of its sign; a window holding a value "
           "whose square overflows gives NaN.",
    .warm_up = detail::kPrimitiveWarmUp,
    .result = detail::kAverageResult,
    .rolling = registry::Rolling{&detail::any_argument<rolling::stddev>, true},
};

inline constexpr registry::Function kRollingMin{
    .name = "rolling_min",
    .parameters = detail::series("array", "rolling_window"),
    .returns = detail::kArray,
    .summary = "Rolling minimum of array over rolling_window values.",
    .formula = "out[i] = min(array[i - w + 1], ..., array[i]), with w = rolling_window.",
    .nan = "a window holding NaN or an infinity gives NaN (both count as missing, as in pandas' rolling windows).",
    .warm_up = detail::kPrimitiveWarmUp,
    .result = detail::kPrimitiveResult,
    .rolling = registry::Rolling{&detail::any_argument<rolling::min>, false},
};

inline constexpr registry::Function kRollingMax{
    .name = "rolling_max",
    .parameters = detail::series("array", "rolling_window"),
    .returns = detail::kArray,
    .summary = "Rolling maximum of array over rolling_window values.",
    .formula = "out[i] = max(array[i - w + 1], ..., array[i]), with w = rolling_window.",
    .nan = "a window holding NaN or an infinity gives NaN (both count as missing, as in pandas' rolling windows).",
    .warm_up = detail::kPrimitiveWarmUp,
    .result = detail::kPrimitiveResult,
    .rolling = registry::Rolling{&detail::any_argument<rolling::max>, false},
};

inline constexpr registry::Function kRollingMeanNormalize{
    .name = "rolling_mean_normalize",
    .parameters = detail::frame(),
    .returns = registry::types::kFrame,
    .summary = "Distance of data from its rolling mean, relative to the window's range.",
    .reads = {"data"},
    .writes = {"sma", "min", "max", "processed_data"},
    .formula = "processed_data = (data - sma) / (max - min + 1e-09).",
    .nan = "sma counts NaN in data as 0; min and max, and so processed_data, are NaN in the windows holding NaN or "
           "an infinity.",
    .warm_up = detail::kFrameWarmUp,
    .result = detail::kFrameResult,
};

inline constexpr registry::Function kRollingMinmaxNormalize{
    .name = "rolling_minmax_normalize",
    .parameters = detail::frame(),
    .returns = registry::types::kFrame,
    .summary = "data scaled onto -1..1 by the window's minimum and maximum.",
    .reads = {"data"},
    .writes = {"min", "max", "processed_data"},
    .formula = "processed_data = 2 * (data - min) / (max - min + 1e-09) - 1: -1 at the window's minimum, nearly 1 at "
               "its maximum.",
    .nan = "min and max, and so processed_data, are NaN in the windows holding NaN or an infinity.",
    .warm_up = detail::kFrameWarmUp,
    .result = detail::kFrameResult,
};

inline constexpr registry::Function kRollingZscore{
    .name = "rolling_zscore",
    .parameters = detail::frame(),
    .returns = registry::types::kFrame,
    .summary = "Rolling z-score of data.",
    .reads = {"data"},
    .writes = {"sma", "stddev", "processed_data"},
    .formula = "processed_data = (data - sma) / stddev, with sma = rolling_mean(data) and stddev = rolling_std(data).",
    .nan = detail::kDeviationNan,
    .warm_up = detail::kFrameWarmUp,
    .result = detail::kFrameResult,
};

inline constexpr registry::Function kRollingZscoreMean{
    .name = "rolling_zscore_mean",
    .parameters = detail::frame(),
    .returns = registry::types::kFrame,
    .summary = "Rolling z-score of data less the rolling mean of the z-score.",
    .reads = {"data"},
    .writes = {"sma", "stddev", "zscore", "processed_data"},
    .formula = "zscore = (data - sma) / stddev; processed_data = zscore - rolling_mean(zscore).",
    .nan = "zscore as processed_data of rolling_zscore; the inner rolling_mean counts NaN z-scores as 0 and "
           "infinite ones as the largest finite doubles, so its first windows average in zeros for the warm-up rows.",
    .warm_up = detail::kFrameWarmUp,
    .result = detail::kFrameResult,
};

inline constexpr registry::Function kRollingTanhEstimator{
    .name = "rolling_tanh_estimator",
    .parameters = detail::frame(),
    .returns = registry::types::kFrame,
    .summary = "Tanh estimator of data: a damped z-score in -1..1.",
    .reads = {"data"},
    .writes = {"sma", "stddev", "processed_data"},
    .formula = "processed_data = tanh(0.01 * (data - sma) / stddev), the product with 0.01 taken first.",
    .nan = detail::kDeviationNan,
    .warm_up = detail::kFrameWarmUp,
    .result = detail::kFrameResult,
};

inline constexpr registry::Function kRollingSigmoidZscore{
    .name = "rolling_sigmoid_zscore",
    .parameters = detail::frame(),
    .returns = registry::types::kFrame,
    .summary = "Logistic function of the rolling z-score, mapped onto -1..1 (rising with data).",
    .reads = {"data"},
    .writes = {"sma", "stddev", "processed_data"},
    .formula = "processed_data = 2 * (1 / (1 + exp(-(data - sma) / stddev))) - 1.",
    .nan = detail::kDeviationNan,
    .warm_up = detail::kFrameWarmUp,
    .result = detail::kFrameResult,
};

inline constexpr registry::Function kRollingSigmoid{
    .name = "rolling_sigmoid",
    .parameters = detail::frame(),
    .returns = registry::types::kFrame,
    .summary = "Logistic function of data itself, mapped onto -1..1 (falling as data rises).",
    .reads = {"data"},
    .writes = {"sma", "stddev", "processed_data"},
    .formula = "processed_data = 2 * (1 / (1 + exp(data))) - 1; sma and stddev are written but not used.",
    .nan = "a NaN in data is NaN in processed_data at its row only; sma and stddev count it as 0.",
    .warm_up = "the first rolling_window - 1 rows of sma and stddev are NaN; processed_data has no warm-up.",
    .result = detail::kFrameResult,
};

inline constexpr registry::Function kRollingSoftmax{
    .name = "rolling_softmax",
    .parameters = detail::frame(),
    .returns = registry::types::kFrame,
    .summary = "Each row's share of the exponentials of data less its rolling maximum, mapped onto -1..1.",
    .reads = {"data"},
    .writes = {"max", "processed_data"},
    .formula = "e = exp(data - max); processed_data = 2 * (e / sum(e)) - 1, the sum taken over every row of the frame "
               "(later rows included).",
    .nan = "max is NaN in the windows holding NaN or an infinity; rows whose e is NaN are NaN and left out of the "
           "sum.",
    .warm_up = detail::kFrameWarmUp,
    .result = detail::kFrameResult,
};

inline constexpr registry::Function kRollingL1Normalization{
    .name = "rolling_l1_normalization",
    .parameters = detail::frame(),
    .returns = registry::types::kFrame,
    .summary = "data relative to the rolling sum of its magnitudes, mapped to 2x - 1.",
    .reads = {"data"},
    .writes = {"processed_data"},
    .formula = "processed_data = 2 * (data / rolling_sum(abs(data))) - 1: in -3..1, and in -1..1 for data >= 0.",
    .nan = "the rolling sum is that of a pandas Series: a NaN in data makes NaN the window ending at it and the one "
           "ending rolling_window rows later, and the windows between count it as 0.",
    .warm_up = "the first rolling_window - 1 rows are NaN; a window longer than the frame gives all NaN.",
    .result = detail::kFrameResult,
};

inline constexpr registry::Function kRollingRsi{
    .name = "rolling_rsi",
    .parameters = detail::frame(),
    .returns = registry::types::kFrame,
    .summary = "Relative strength index of data with simple averages of rises and falls, its averages and a signal "
               "in -1..1.",
    .reads = {"data"},
    .writes = {"rsi", "sma", "ema", "wma", "processed_data"},
    .formula = "rsi = 100 - 100 / (1 + gain / loss), gain and loss the rolling_mean of the rises and of the falls' "
               "magnitudes; sma, ema, wma = the three averages of rsi; processed_data = (rsi - 50) / 50.",
    .nan = "the first change (and a NaN one) counts as 0; a window without rises and falls gives NaN (0 / 0), one "
           "with rises only 100.",
    .warm_up = "rsi and processed_data: the first rolling_window - 1 rows are NaN, which sma counts as 0 and ema "
               "skips (it starts at row rolling_window - 1); wma is NaN up to row 2 * rolling_window - 3.",
    .result = detail::kFrameResult,
};

inline constexpr registry::Function kRollingBollingerBands{
    .name = "rolling_bollinger_bands",
    .parameters = {{{"df", registry::types::kFrame},
                    {"rolling_window", registry::types::kWindow},
                    {"multiplier", registry::types::kReal}}},
    .returns = registry::types::kFrame,
    .summary = "Moving averages of data and bands multiplier standard deviations around the simple one.",
    .reads = {"data"},
    .writes = {"sma", "ema", "wma", "upper_band", "lower_band"},
    .formula = "upper_band = sma + multiplier * rolling_std(data); lower_band = sma - multiplier * rolling_std(data); "
               "sma, ema, wma = rolling_mean, rolling_ema, rolling_wma of data.",
    .nan = "sma and the deviation count NaN as 0; ema and wma follow rolling_ema of a Series and rolling_wma.",
    .warm_up = detail::kFrameWarmUp,
    .result = detail::kFrameResult,
};

inline constexpr registry::Function kCalculateMacd{
    .name = "calculate_macd",
    .parameters = {{{"df", registry::types::kFrame},
                    {"short_window", registry::types::kWindow},
                    {"long_window", registry::types::kWindow},
                    {"signal_window", registry::types::kWindow, 9}}},
    .returns = registry::types::kFrame,
    .summary = "Moving-average convergence/divergence of data, its signal line and histogram.",
    .reads = {"data"},
    .writes = {"EMA_short", "EMA_long", "MACD", "Signal", "Histogram"},
    .formula = "EMA_short, EMA_long = rolling_ema(data, short_window), rolling_ema(data, long_window); MACD = "
               "EMA_short - EMA_long; Signal = rolling_ema(MACD, signal_window); Histogram = MACD - Signal.",
    .nan = "every average is that of a pandas Series: its seed leaves NaN out (Signal starts at the first MACD value "
           "when its whole first window is NaN), and a NaN after the start makes every later value NaN.",
    .warm_up = "EMA_short and EMA_long: the first short_window - 1 and long_window - 1 rows; MACD: the first "
               "max(short_window, long_window) - 1; Signal and Histogram: the first max(short_window, long_window, "
               "signal_window) - 1.",
    .result = detail::kFrameResult,
};

inline constexpr std::array<const registry::Function*, 19> kFunctions{
    &kRollingSum,           &kRollingMean,          &kRollingEma,
    &kRollingWma,           &kRollingStd,           &kRollingMin,
    &kRollingMax,           &kRollingMeanNormalize, &kRollingMinmaxNormalize,
    &kRollingZscore,        &kRollingZscoreMean,    &kRollingTanhEstimator,
    &kRollingSigmoidZscore, &kRollingSigmoid,       &kRollingSoftmax,
    &kRollingL1Normalization, &kRollingRsi,         &kRollingBollingerBands,
    &kCalculateMacd,
};
static_assert(registry::is_well_formed(kFunctions));

}  // namespace backtest::formula
