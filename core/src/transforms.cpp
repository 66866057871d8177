#include "backtest/transforms.hpp"

#include <cmath>
#include <limits>
#include <vector>

#include "backtest/rolling.hpp"

namespace backtest::transforms {

namespace {

// out[i] = f(inputs[i]...): one pass, which the compiler may vectorise without
// changing a result since only exact IEEE operations are involved.
template <class F, class... Inputs>
void each(Output out, F f, Inputs... inputs) {
    for (std::size_t i = 0; i < out.size(); ++i) out[i] = f(inputs[i]...);
}

double change(Column x, std::size_t i) { return i == 0 ? std::numeric_limits<double>::quiet_NaN() : x[i] - x[i - 1]; }

}  // namespace

void mean_normalize(Column x, Column mean, Column min, Column max, Output out) {
    each(out, [](double v, double m, double lo, double hi) { return (v - m) / (hi - lo + kRangeGuard); }, x, mean,
         min, max);
}

void minmax_normalize(Column x, Column min, Column max, Output out) {
    each(out, [](double v, double lo, double hi) { return 2.0 * (v - lo) / (hi - lo + kRangeGuard) - 1.0; }, x, min,
         max);
}

void zscore(Column x, Column mean, Column deviation, Output out) {
    each(out, [](double v, double m, double s) { return (v - m) / s; }, x, mean, deviation);
}

void tanh_estimator_argument(Column x, Column mean, Column deviation, Output out) {
    each(out, [](double v, double m, double s) { return 0.01 * (v - m) / s; }, x, mean, deviation);
}

void sigmoid_zscore_exponent(Column x, Column mean, Column deviation, Output out) {
    each(out, [](double v, double m, double s) { return -(v - m) / s; }, x, mean, deviation);
}

void logistic_signal(Column e, Output out) {
    each(out, [](double v) { return 2.0 * (1.0 / (1.0 + v)) - 1.0; }, e);
}

void softmax_signal(Column e, Output out) {
    // The total is a NaN-skipping column sum: NaN counts as 0, and the filled
    // column is summed pairwise onto a zero start, as NumPy reduces an array.
    std::vector<double> filled(e.size());
    each(std::span<double>(filled), [](double v) { return std::isnan(v) ? 0.0 : v; }, e);
    const double total = 0.0 + rolling::pairwise_mean(filled, 1);
    each(out, [total](double v) { return 2.0 * (v / total) - 1.0; }, e);
}

void absolute(Column x, Output out) {
    each(out, [](double v) { return std::fabs(v); }, x);
}

void l1_normalize(Column x, Column sum, Output out) {
    each(out, [](double v, double s) { return 2.0 * (v / s) - 1.0; }, x, sum);
}

void difference(Column a, Column b, Output out) {
    each(out, [](double u, double v) { return u - v; }, a, b);
}

void gains(Column x, Output out) {
    for (std::size_t i = 0; i < x.size(); ++i) {
        const double delta = change(x, i);
        out[i] = delta > 0.0 ? delta : 0.0;
    }
}

void losses(Column x, Output out) {
    for (std::size_t i = 0; i < x.size(); ++i) {
        const double delta = change(x, i);
        out[i] = -(delta < 0.0 ? delta : 0.0);
    }
}

void rsi(Column gain, Column loss, Output out) {
    each(out, [](double g, double l) { return 100.0 - 100.0 / (1.0 + g / l); }, gain, loss);
}

void rsi_signal(Column rsi, Output out) {
    each(out, [](double r) { return (r - 50.0) / 50.0; }, rsi);
}

void upper_band(Column mean, double multiplier, Column deviation, Output out) {
    each(out, [multiplier](double m, double s) { return m + multiplier * s; }, mean, deviation);
}

void lower_band(Column mean, double multiplier, Column deviation, Output out) {
    each(out, [multiplier](double m, double s) { return m - multiplier * s; }, mean, deviation);
}

void macd(Column x, std::size_t short_window, std::size_t long_window, std::size_t signal_window,
          const MacdColumns& out) {
    rolling::EmaSteps fast(short_window, rolling::EmaSeed::skip_nan);
    rolling::EmaSteps slow(long_window, rolling::EmaSeed::skip_nan);
    rolling::EmaSteps signal(signal_window, rolling::EmaSeed::skip_nan);
    for (std::size_t i = 0; i < x.size(); ++i) {
        out.ema_short[i] = fast.next(x, i);
        out.ema_long[i] = slow.next(x, i);
        out.macd[i] = out.ema_short[i] - out.ema_long[i];
        out.signal[i] = signal.next(out.macd, i);
        out.histogram[i] = out.macd[i] - out.signal[i];
    }
}

}  // namespace backtest::transforms
