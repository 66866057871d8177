#include "backtest/transforms.hpp"

#include <algorithm>
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

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

double change(Column x, std::size_t i) { return i == 0 ? kNaN : x[i] - x[i - 1]; }

double gain_of(double change) { return change > 0.0 ? change : 0.0; }
double loss_of(double change) { return -(change < 0.0 ? change : 0.0); }
double l1_share(double v, double sum) { return 2.0 * (v / sum) - 1.0; }
double strength_of(double gain, double loss) { return 100.0 - 100.0 / (1.0 + gain / loss); }
double strength_signal(double strength) { return (strength - 50.0) / 50.0; }

// Values per chunk of a fused pass: its running sums are carried in one
// sequential loop, its divisions made in vectorised ones, and its buffers
// stay in cache between the two.
constexpr std::size_t kChunk = 2048;

// Prefix sums of a series, read `window` apart, as rolling::mean forms them,
// for one chunk of values at a time: the chunk's sums follow those of the
// `window` values before it (0 before the series) in one buffer, which keeps
// room for a window and a chunk; when the next chunk would not fit, its
// predecessors move back to the front, at most a window of moves for every
// window of values.
class WindowPrefixes {
public:
    explicit WindowPrefixes(std::size_t window)
        : window_(window), prefixes_(window + std::max(kChunk, window), 0.0), start_(window) {}

    // Adds the chunk's value k to the running sum.
    void add(std::size_t k, double v) { prefixes_[start_ + k] = running_ += v; }
    // Adds the chunk's value k, NaN counted as 0, and keeps NaN as its prefix
    // sum, as pandas' cumsum skips and reports it.
    void add_skipping_nan(std::size_t k, double v) {
        running_ += std::isnan(v) ? 0.0 : v;
        prefixes_[start_ + k] = std::isnan(v) ? kNaN : running_;
    }
    // The sum of the window ending at the chunk's value k.
    double window_sum(std::size_t k) const { return prefixes_[start_ + k] - prefixes_[start_ + k - window_]; }
    // Moves on past a chunk of `size` values.
    void next_chunk(std::size_t size) {
        start_ += size;
        if (start_ + kChunk <= prefixes_.size()) return;
        const auto before = prefixes_.begin() + static_cast<std::ptrdiff_t>(start_ - window_);
        std::copy(before, before + static_cast<std::ptrdiff_t>(window_), prefixes_.begin());
        start_ = window_;
    }

private:
    std::size_t window_;
    std::vector<double> prefixes_;
    std::size_t start_;      // where the chunk's sums begin
    double running_ = -0.0;  // -0.0 + v == v for every v, as cumsum's copied first value
};

// An infinity capped as rolling::mean reads it, for values that are never
// NaN nor below 0.
double capped(double v) {
    constexpr double largest = std::numeric_limits<double>::max();
    return largest < v ? largest : v;
}

// The gains and losses of the changes of `values` as rolling::mean adds them
// up, the first change taken from `before`. One vectorised loop of
// selections: branches on random signs would mostly be mispredicted.
void split_changes(Column values, double before, Output gains, Output losses) {
    const auto split = [&](std::size_t k, double delta) {
        gains[k] = capped(gain_of(delta));
        losses[k] = capped(loss_of(delta));
    };
    split(0, values[0] - before);
    for (std::size_t k = 1; k < values.size(); ++k) split(k, values[k] - values[k - 1]);
}

void fill_nan(Output out, std::size_t count) {
    std::fill_n(out.begin(), std::min(count, out.size()), kNaN);
}

// rolling_l1_normalize, window <= x.size(), chunk by chunk.
void l1_in_chunks(Column x, std::size_t window, Output out) {
    WindowPrefixes sums(window);
    for (std::size_t start = 0; start < x.size(); start += kChunk) {
        const std::size_t size = std::min(kChunk, x.size() - start);
        for (std::size_t k = 0; k < size; ++k) sums.add_skipping_nan(k, std::fabs(x[start + k]));
        for (std::size_t k = 0; k < size; ++k) out[start + k] = l1_share(x[start + k], sums.window_sum(k));
        sums.next_chunk(size);
    }
}

// The RSI and its signal, window <= x.size(), from the averages of gains and
// losses as rolling::mean forms them, chunk by chunk.
void strength_in_chunks(Column x, std::size_t window, Output rsi, Output signal) {
    const std::size_t n = x.size();
    const auto w = static_cast<double>(window);
    WindowPrefixes gain_sums(window);
    WindowPrefixes loss_sums(window);
    std::vector<double> gains(kChunk);
    std::vector<double> losses(kChunk);
    for (std::size_t start = 0; start < n; start += kChunk) {
        const std::size_t size = std::min(kChunk, n - start);
        split_changes(x.subspan(start, size), start == 0 ? kNaN : x[start - 1], gains, losses);
        for (std::size_t k = 0; k < size; ++k) {
            gain_sums.add(k, gains[k]);
            loss_sums.add(k, losses[k]);
        }
        for (std::size_t k = 0; k < size; ++k) {
            const double gain = gain_sums.window_sum(k) / w;
            const double loss = loss_sums.window_sum(k) / w;
            rsi[start + k] = strength_of(gain, loss);
            signal[start + k] = strength_signal(rsi[start + k]);
        }
        gain_sums.next_chunk(size);
        loss_sums.next_chunk(size);
    }
}

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

void l1_normalize(Column x, Column sum, Output out) { each(out, l1_share, x, sum); }

void rolling_l1_normalize(Column x, std::size_t window, Output out) {
    if (window <= x.size()) l1_in_chunks(x, window, out);
    // the warm-up, or every row when the window is longer than x
    fill_nan(out, window - 1);
}

void difference(Column a, Column b, Output out) {
    each(out, [](double u, double v) { return u - v; }, a, b);
}

void gains(Column x, Output out) {
    for (std::size_t i = 0; i < x.size(); ++i) out[i] = gain_of(change(x, i));
}

void losses(Column x, Output out) {
    for (std::size_t i = 0; i < x.size(); ++i) out[i] = loss_of(change(x, i));
}

void rsi(Column gain, Column loss, Output out) { each(out, strength_of, gain, loss); }

void rsi_signal(Column rsi, Output out) { each(out, strength_signal, rsi); }

void upper_band(Column mean, double multiplier, Column deviation, Output out) {
    each(out, [multiplier](double m, double s) { return m + multiplier * s; }, mean, deviation);
}

void lower_band(Column mean, double multiplier, Column deviation, Output out) {
    each(out, [multiplier](double m, double s) { return m - multiplier * s; }, mean, deviation);
}

void relative_strength(Column x, std::size_t window, Output rsi, Output signal) {
    if (window <= x.size()) strength_in_chunks(x, window, rsi, signal);
    // the warm-up, or every row when the window is longer than x
    fill_nan(rsi, window - 1);
    fill_nan(signal, window - 1);
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
