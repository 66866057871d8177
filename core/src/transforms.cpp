#include "backtest/transforms.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "backtest/rolling.hpp"
#include "block_windows.hpp"
#include "formulas.hpp"
#include "simd/dispatch.hpp"
#include "summands.hpp"

namespace backtest::transforms {

namespace {

// out[i] = f(inputs[i]...): one pass, which the compiler may vectorise without
// changing a result since only exact IEEE operations are involved.
template <class F, class... Inputs>
void each(Output out, F f, Inputs... inputs) {
    for (std::size_t i = 0; i < out.size(); ++i) out[i] = f(inputs[i]...);
}

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

using summands::gain_of_change;
using summands::loss_of_change;

using formulas::Formula;

// out[i] = formula(a[i], b[i], ...), a vector of rows at a time on the
// processor's widest path; the columns a formula does not read are empty.
void map(Formula formula, Output out, Column a, Column b = {}, Column c = {}, Column d = {}, double parameter = 0.0) {
    simd::active().map(formula, a.data(), b.data(), c.data(), d.data(), parameter, out.size(), out.data());
}

void fill_nan(Output out, std::size_t count) {
    std::fill_n(out.begin(), std::min(count, out.size()), kNaN);
}

// rolling_l1_normalize, window <= x.size(): the window sums of |x| as
// rolling::sum forms them for a Series, turned into the shares chunk by chunk
// while they are in cache.
void l1_in_chunks(Column x, std::size_t window, Output out) {
    rolling::magnitude_sums(x, window, out, [&](std::size_t begin, std::size_t end) {
        const std::size_t first = std::max(begin, window - 1);
        if (first < end) map(Formula::share, out.subspan(first, end - first), x.subspan(first), out.subspan(first));
    });
}

// The RSI and its signal, window <= x.size(), from the window sums of gains
// and losses as rolling::mean reads them, held in the two outputs until the
// chunk's results replace them.
void strength_in_chunks(Column x, std::size_t window, Output rsi, Output signal) {
    const std::size_t n = x.size();
    const simd::Kernels& kernels = simd::active();
    const blocks::Scratch scratch(kernels.scratch(window));
    double* lanes = scratch.data();
    blocks::for_each_chunk(
        window, n, blocks::kChunkValues,
        [&](std::size_t begin, std::size_t end) {
            kernels.summand_sums(simd::Summand::gain, x.data(), n, window, begin, end, rsi.data(), lanes);
            kernels.summand_sums(simd::Summand::loss, x.data(), n, window, begin, end, signal.data(), lanes);
            const std::size_t first = std::max(begin, window - 1);
            if (first < end) {
                const Output strength = rsi.subspan(first, end - first);
                map(Formula::strength_of_sums, strength, strength, signal.subspan(first), {}, {},
                    static_cast<double>(window));
                map(Formula::strength_signal, signal.subspan(first, end - first), strength);
            }
            return true;
        },
        kernels.lanes);
}

}  // namespace

void mean_normalize(Column x, Column mean, Column min, Column max, Output out) {
    map(Formula::mean_normalize, out, x, mean, min, max);
}

void minmax_normalize(Column x, Column min, Column max, Output out) {
    map(Formula::minmax_normalize, out, x, min, max);
}

void zscore(Column x, Column mean, Column deviation, Output out) { map(Formula::zscore, out, x, mean, deviation); }

void tanh_estimator_argument(Column x, Column mean, Column deviation, Output out) {
    map(Formula::tanh_argument, out, x, mean, deviation);
}

void sigmoid_zscore_exponent(Column x, Column mean, Column deviation, Output out) {
    map(Formula::sigmoid_exponent, out, x, mean, deviation);
}

void logistic_signal(Column e, Output out) { map(Formula::logistic, out, e); }

void softmax_signal(Column e, Output out) {
    const double total = rolling::nan_skipping_total(e);
    map(Formula::share_of_total, out, e, {}, {}, {}, total);
}

void absolute(Column x, Output out) {
    each(out, [](double v) { return std::fabs(v); }, x);
}

void l1_normalize(Column x, Column sum, Output out) { map(Formula::share, out, x, sum); }

void rolling_l1_normalize(Column x, std::size_t window, Output out) {
    if (window <= x.size()) l1_in_chunks(x, window, out);
    // the warm-up, or every row when the window is longer than x
    fill_nan(out, window - 1);
}

void difference(Column a, Column b, Output out) { map(Formula::difference, out, a, b); }

void gains(Column x, Output out) {
    for (std::size_t i = 0; i < x.size(); ++i) out[i] = gain_of_change(x.data(), i);
}

void losses(Column x, Output out) {
    for (std::size_t i = 0; i < x.size(); ++i) out[i] = loss_of_change(x.data(), i);
}

void rsi(Column gain, Column loss, Output out) { map(Formula::strength, out, gain, loss); }

void rsi_signal(Column rsi, Output out) { map(Formula::strength_signal, out, rsi); }

void upper_band(Column mean, double multiplier, Column deviation, Output out) {
    map(Formula::upper_band, out, mean, deviation, {}, {}, multiplier);
}

void lower_band(Column mean, double multiplier, Column deviation, Output out) {
    map(Formula::lower_band, out, mean, deviation, {}, {}, multiplier);
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
