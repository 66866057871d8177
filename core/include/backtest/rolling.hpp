// Rolling-window kernels over one series of doubles.
//
// Every kernel writes out[i] for the window of `window` values ending at i and
// NaN for the first window - 1 positions. Preconditions (checked by callers):
// 1 <= window <= x.size() and out.size() == x.size(); out does not alias x.
#pragma once

#include <cstddef>
#include <functional>
#include <limits>
#include <optional>
#include <span>

namespace backtest::rolling {

// How `sum` meets a NaN, as the prefix sums of NumPy and pandas do.
enum class PrefixNan {
    poison,  // NaN from the first NaN on (NumPy's cumsum stays NaN)
    skip,    // NaN counts as 0, except in the window ending at it and the one
             // ending `window` values later (pandas' cumsum is NaN there only)
};

// How `ema` seeds its recursion with the mean of the first window.
enum class EmaSeed {
    with_nan,  // a NaN among the first values makes the seed NaN (np.mean of an array)
    skip_nan,  // NaN values are left out (pandas mean); when the whole first window is
               // NaN the seed moves to the first valid value, which starts the average
};

// Sums of each window from the window's own values, within (w - 1) * 2^-53
// times the sum of their magnitudes of the exact sum: an infinity reaches only
// the windows holding it (NaN with both signs), and no value leaves a residue
// in later windows. NaN as `nan` says.
void sum(std::span<const double> x, std::size_t window, PrefixNan nan, std::span<double> out);

// `sum` with PrefixNan::skip of |x|, chunk by chunk: once the results of the
// windows ending in a chunk [begin, end) are in `out`, chunk_done(begin, end)
// may rewrite them while they are in cache.
void magnitude_sums(std::span<const double> x, std::size_t window, std::span<double> out,
                    const std::function<void(std::size_t, std::size_t)>& chunk_done);

// Simple moving average: the window sums of `sum`, NaN counted as 0 and
// infinities clamped to the largest finite doubles, divided by the window.
void mean(std::span<const double> x, std::size_t window, std::span<double> out);

// Exponential moving average with multiplier 2 / (window + 1), seeded by the
// mean of the first window; NaN after the seed poisons every later value.
void ema(std::span<const double> x, std::size_t window, EmaSeed seed, std::span<double> out);

// Where `ema` starts: the value it takes at i when i is where it starts,
// given the values of x up to i and that it has not started before i.
std::optional<double> ema_start(std::span<const double> x, std::size_t i, std::size_t window, EmaSeed seed);

// The values of `ema` one at a time, so that one pass can carry several
// averages, and the steps reading them, side by side: each recursion is a
// chain of dependent operations that leaves the processor idle in between.
// The start is found out of line and never sees the state, which can thus
// stay in registers.
class EmaSteps {
public:
    EmaSteps(std::size_t window, EmaSeed seed)
        : window_(window), seed_(seed), multiplier_(2.0 / (static_cast<double>(window) + 1.0)) {}

    // ema[i] of x, which holds the values up to i; called for i = 0, 1, 2, ...
    double next(std::span<const double> x, std::size_t i) {
        if (started_) [[likely]] {
            previous_ = (x[i] - previous_) * multiplier_ + previous_;
            return previous_;
        }
        const std::optional<double> first = ema_start(x, i, window_, seed_);
        if (!first) return std::numeric_limits<double>::quiet_NaN();
        started_ = true;
        previous_ = *first;
        return previous_;
    }

private:
    std::size_t window_;
    EmaSeed seed_;
    double multiplier_;
    double previous_ = 0.0;
    bool started_ = false;
};

// Linearly weighted moving average (oldest weight 1, newest weight window).
// Windows holding NaN or infinity give what the direct weighted sum gives;
// no other window is affected by them.
void wma(std::span<const double> x, std::size_t window, std::span<double> out);

// Population standard deviation, NaN counted as 0 and infinities clamped; a
// window holding a value whose square overflows gives NaN, and windows of
// equal values give exactly 0.
void stddev(std::span<const double> x, std::size_t window, std::span<double> out);

// Rolling extremes as pandas computes them: a window holding NaN or an
// infinity (both count as missing) gives NaN.
void min(std::span<const double> x, std::size_t window, std::span<double> out);
void max(std::span<const double> x, std::size_t window, std::span<double> out);

// The mean of values as NumPy's pairwise summation computes it (np.mean, and
// pandas' mean once NaN is replaced by 0), divided by `count`.
double pairwise_mean(std::span<const double> x, std::size_t count);

// The same pairwise sum onto a zero start with NaN counted as 0 (pandas' sum
// of a column).
double nan_skipping_total(std::span<const double> x);

}  // namespace backtest::rolling
