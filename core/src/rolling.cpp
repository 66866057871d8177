#include "backtest/rolling.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace backtest::rolling {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

void fill_warm_up(std::size_t window, std::span<double> out) {
    std::fill(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(window - 1), kNaN);
}

// np.nan_to_num: NaN to 0, infinities to the largest finite values.
double clean(double v) {
    if (std::isnan(v)) return 0.0;
    if (std::isinf(v)) return v > 0 ? std::numeric_limits<double>::max() : std::numeric_limits<double>::lowest();
    return v;
}

// Overwrites with NaN every result whose window holds a value for which
// `marks(value)` is true.
template <class Marks>
void nan_where_window_holds(std::span<const double> x, std::size_t window, std::span<double> out, Marks marks) {
    std::size_t since = window;  // steps since the last marked value
    for (std::size_t i = 0; i < x.size(); ++i) {
        since = marks(x[i]) ? 0 : since + 1;
        if (since < window) out[i] = kNaN;
    }
}

// Running prefix sums P of value(x) and out[i] = finish(P[i] - P[i - w]) with
// P[-1] = 0, which is how NumPy evaluates `cumsum[w:] - cumsum[:-w]` after a
// zero is prepended: the same additions in the same order, so the results
// agree bit for bit. The last `window` prefix sums live in a ring instead of
// a prefix array as long as the input. `stored(x, P)` is what the prefix
// array holds at that position (pandas reports NaN where it skipped one).
template <class Value, class Stored, class Finish>
void prefix_differences(std::span<const double> x, std::size_t window, std::span<double> out, Value value,
                        Stored stored, Finish finish) {
    std::vector<double> ring(window, 0.0);  // ring[slot] holds P[i - window]; P[-1] = 0
    std::size_t slot = 0;
    double running = -0.0;  // -0.0 + v == v for every v, as cumsum's copied first value
    for (std::size_t i = 0; i < x.size(); ++i) {
        running += value(x[i]);
        const double prefix = stored(x[i], running);
        out[i] = finish(prefix - ring[slot]);
        ring[slot] = prefix;
        if (++slot == window) slot = 0;
    }
    fill_warm_up(window, out);
}

double identity(double v) { return v; }
double running_prefix(double, double running) { return running; }

}  // namespace

void sum(std::span<const double> x, std::size_t window, PrefixNan nan, std::span<double> out) {
    if (nan == PrefixNan::poison) return prefix_differences(x, window, out, identity, running_prefix, identity);
    // pandas' cumsum: NaN adds 0 to the running sum and is NaN at its own position
    const auto skip = [](double v) { return std::isnan(v) ? 0.0 : v; };
    const auto mark = [](double v, double running) { return std::isnan(v) ? kNaN : running; };
    prefix_differences(x, window, out, skip, mark, identity);
}

void mean(std::span<const double> x, std::size_t window, std::span<double> out) {
    const auto w = static_cast<double>(window);
    prefix_differences(x, window, out, clean, running_prefix, [w](double total) { return total / w; });
}

namespace {

// NumPy's pairwise summation (the inner loop of np.add.reduce for float64):
// blocks of up to 128 values summed in 8 interleaved lanes, larger ranges
// split in halves at multiples of 8.
double pairwise_sum(const double* a, std::size_t n) {
    if (n < 8) {
        double res = -0.0;
        for (std::size_t i = 0; i < n; ++i) res += a[i];
        return res;
    }
    if (n <= 128) {
        double r[8];
        for (std::size_t j = 0; j < 8; ++j) r[j] = a[j];
        std::size_t i = 8;
        for (; i < n - (n % 8); i += 8) {
            for (std::size_t j = 0; j < 8; ++j) r[j] += a[i + j];
        }
        double res = ((r[0] + r[1]) + (r[2] + r[3])) + ((r[4] + r[5]) + (r[6] + r[7]));
        for (; i < n; ++i) res += a[i];
        return res;
    }
    std::size_t n2 = n / 2;
    n2 -= n2 % 8;
    return pairwise_sum(a, n2) + pairwise_sum(a + n2, n - n2);
}

}  // namespace

double pairwise_mean(std::span<const double> x, std::size_t count) {
    // np.add.reduce starts from the identity 0.0 and adds the pairwise sum of
    // all values to it (so a sum of -0.0 values is +0.0)
    return (0.0 + pairwise_sum(x.data(), x.size())) / static_cast<double>(count);
}

namespace {

// pandas' Series.mean of the first window: NaN replaced by 0, divided by the
// count of valid values. Returns false when the window holds no valid value.
bool nan_skipping_mean(std::span<const double> first, double& mean) {
    std::vector<double> filled(first.begin(), first.end());
    std::size_t valid = 0;
    for (double& v : filled) {
        if (std::isnan(v)) v = 0.0; else ++valid;
    }
    if (valid == 0) return false;
    mean = pairwise_mean(filled, valid);
    return true;
}

}  // namespace

std::optional<double> ema_start(std::span<const double> x, std::size_t i, std::size_t window, EmaSeed seed) {
    if (i + 1 < window) return std::nullopt;
    if (i + 1 > window) {
        // no valid value in the first window: the average starts at the first valid one
        if (std::isnan(x[i])) return std::nullopt;
        return x[i];
    }
    if (seed == EmaSeed::with_nan) return pairwise_mean(x.first(window), window);
    double mean = 0.0;
    if (!nan_skipping_mean(x.first(window), mean)) return std::nullopt;
    return mean;
}

void ema(std::span<const double> x, std::size_t window, EmaSeed seed, std::span<double> out) {
    EmaSteps steps(window, seed);
    for (std::size_t i = 0; i < x.size(); ++i) out[i] = steps.next(x, i);
}

namespace {

// Every window of w values ending in the block [s, s + w) of the series is a
// suffix of the block before (its older part, empty when the window is the
// whole block) and a prefix of its own block (van Herk / Gil-Werman). Each
// block is folded once forward into prefixes and once backward into
// suffixes, so the cost is O(n) for any window, and no value is ever taken
// back out of an aggregate, which is what makes a running sum cancel.
//
// A Fold provides: Part, input(x) (the value as the fold reads it, taken
// once per value), first(v), append(part, v) (v is newer), prepend(v, part)
// (v is older), seal(part) (prepares a suffix for merging), result(prefix)
// and merge(suffix, prefix).
template <class Fold>
void split_windows(std::span<const double> x, std::size_t window, std::span<double> out, const Fold& fold) {
    using Part = typename Fold::Part;
    const std::size_t n = x.size();
    std::vector<double> block(window);  // the block's values as the fold reads them
    std::vector<Part> older(window);    // older[k]: suffix of the previous block from its offset k
    for (std::size_t s = 0; s < n; s += window) {
        const std::size_t size = std::min(window, n - s);
        for (std::size_t k = 0; k < size; ++k) block[k] = fold.input(x[s + k]);
        Part prefix = fold.first(block[0]);
        for (std::size_t k = 0; k < size; ++k) {
            if (k > 0) prefix = fold.append(prefix, block[k]);
            // the window ending here: k + 1 values of this block, the rest from offset k + 1 of the previous one
            out[s + k] = s == 0 || k + 1 == window ? fold.result(prefix) : fold.merge(older[k + 1], prefix);
        }
        if (s + size == n) break;
        Part suffix = fold.first(block[window - 1]);
        for (std::size_t k = window - 1; k > 0; --k) {
            older[k] = fold.seal(suffix);
            suffix = fold.prepend(block[k - 1], suffix);
        }
    }
    fill_warm_up(window, out);
}

// Extremes fold by comparison; ties go to the newer value, as pandas' deque
// keeps the newest of equal values (visible only as the sign of a zero).
template <class Better>
struct ExtremeFold {
    using Part = double;
    Better better;  // better(older, newer): true when the older value wins

    static double input(double v) { return v; }
    double pick(double older, double newer) const { return better(older, newer) ? older : newer; }
    double first(double v) const { return v; }
    double append(double part, double v) const { return pick(part, v); }
    double prepend(double v, double part) const { return pick(v, part); }
    double seal(double part) const { return part; }
    double result(double part) const { return part; }
    double merge(double suffix, double prefix) const { return pick(suffix, prefix); }
};

// pandas' rolling extremes treat infinities as missing, like NaN, and a
// window with anything missing is NaN: those windows are overwritten after
// the fold (their parts hold only their own values, so no other window sees
// what the fold made of them).
template <class Better>
void extreme(std::span<const double> x, std::size_t window, std::span<double> out, Better better) {
    split_windows(x, window, out, ExtremeFold<Better>{better});
    nan_where_window_holds(x, window, out, [](double v) { return !std::isfinite(v); });
}

}  // namespace

void min(std::span<const double> x, std::size_t window, std::span<double> out) {
    extreme(x, window, out, [](double older, double newer) { return older < newer; });
}

void max(std::span<const double> x, std::size_t window, std::span<double> out) {
    extreme(x, window, out, [](double older, double newer) { return older > newer; });
}

namespace {

// Plain and weighted sums of one part of a window, weights 1, 2, ... from
// its oldest value. Appending a newer value adds count * v; prepending an
// older one shifts every weight up by one, which adds the new plain sum.
struct WeightedSums {
    double count = 0.0;
    double plain = 0.0;
    double weighted = 0.0;
};

struct WeightedFold {
    using Part = WeightedSums;
    double divisor;  // w (w + 1) / 2, the sum of the weights

    static double input(double v) { return v; }
    static WeightedSums first(double v) { return {1.0, v, v}; }
    static WeightedSums append(WeightedSums part, double v) {
        return {part.count + 1.0, part.plain + v, part.weighted + (part.count + 1.0) * v};
    }
    static WeightedSums prepend(double v, WeightedSums part) {
        const double plain = part.plain + v;
        return {part.count + 1.0, plain, part.weighted + plain};
    }
    static WeightedSums seal(WeightedSums part) { return part; }
    double result(WeightedSums part) const { return part.weighted / divisor; }
    // the newer part's weights continue after the older part's count
    double merge(const WeightedSums& older, const WeightedSums& newer) const {
        return (older.weighted + (older.count * newer.plain + newer.weighted)) / divisor;
    }
};

}  // namespace

// Linearly weighted moving average in O(n) from the split parts' plain and
// weighted sums (see WeightedSums). Every rounding error is one of the
// window's own terms, so the error stays within a few w * eps of the
// window's weighted mean of |x| whatever came before: a large value that
// leaves the window leaves no residue, unlike running sums that subtract it.
// NaN and infinities reach only the windows holding them, where the IEEE
// sums give what the direct weighted sum gives.
void wma(std::span<const double> x, std::size_t window, std::span<double> out) {
    const auto w = static_cast<double>(window);
    split_windows(x, window, out, WeightedFold{w * (w + 1.0) / 2.0});
}

namespace {

// The value as the deviation sees it: NaN counts as 0; a value whose square
// overflows (a clamped infinity among them) becomes NaN, which spoils exactly
// the sums, hence the windows, holding it. Branch-free, so that a chunk is
// converted in one vectorised loop.
double deviation_input(double v) {
    const double kept = v * v > std::numeric_limits<double>::max() ? kNaN : v;
    return v != v ? 0.0 : kept;
}

// Running sums of deviations d = v - anchor and of their squares.
struct RunningSums {
    double anchor = 0.0;
    double plain = 0.0;
    double squares = 0.0;

    void restart(double from) {
        anchor = from;
        plain = 0.0;
        squares = 0.0;
    }
    void add(double v) {
        const double d = v - anchor;
        plain += d;
        squares += d * d;
    }
};

// Running sums kept for every value of a chunk, from entry `first` on.
struct DeviationSums {
    std::vector<double> plain;
    std::vector<double> squares;
    std::size_t first;

    DeviationSums(std::size_t first, std::size_t chunk)
        : plain(first + chunk, 0.0), squares(first + chunk, 0.0), first(first) {}

    void set(std::size_t k, const RunningSums& sums) {
        plain[first + k] = sums.plain;
        squares[first + k] = sums.squares;
    }
};

// For every block of `window` values of `chunk` and every value k in it:
// `newer` sums the block's values up to k from the block's first value, and
// `older` its values from k on from the first value of the next block
// (`next` for the chunk's last block), except at the block's first value,
// which no older part of a window holds (0 there). The two directions run in
// one loop, so that their sums are carried side by side.
void carry_sums(std::span<const double> chunk, std::size_t window, double next, DeviationSums& newer,
                DeviationSums& older) {
    const std::size_t size = chunk.size();
    RunningSums forward;
    RunningSums backward;
    backward.restart(next);
    std::size_t ahead = 0;                     // offset of value k in its block
    std::size_t behind = (size - 1) % window;  // offset of value size - 1 - k in its block
    for (std::size_t k = 0; k < size; ++k) {
        if (ahead == 0) forward.restart(chunk[k]);
        forward.add(chunk[k]);
        newer.set(k, forward);
        const std::size_t back = size - 1 - k;
        if (behind == 0) {
            backward.restart(chunk[back]);
            older.set(back, RunningSums{});
        } else {
            backward.add(chunk[back]);
            older.set(back, backward);
        }
        ahead = ahead + 1 == window ? 0 : ahead + 1;
        behind = behind == 0 ? window - 1 : behind - 1;
    }
}

// sqrt(max(M2 / w, 0)) of a window from its sums of deviations S1, S2 (M2 =
// S2 - S1^2 / w), NaN kept; for one window, or for two side by side in the
// packed lanes of SSE2, whose square root the compiler would not use itself
// (sqrt may set errno).
double deviation_of(double plain, double squares, double inverse) {
    const double variance = (squares - plain * (plain * inverse)) * inverse;
    return std::sqrt(variance < 0.0 ? 0.0 : variance);
}

#ifdef __SSE2__
__m128d deviation_of(__m128d plain, __m128d squares, __m128d inverse) {
    const __m128d variance = _mm_mul_pd(_mm_sub_pd(squares, _mm_mul_pd(plain, _mm_mul_pd(plain, inverse))), inverse);
    // max(0, v) is v < 0 ? 0 : v in this order of operands, NaN included
    return _mm_sqrt_pd(_mm_max_pd(_mm_setzero_pd(), variance));
}
#endif

// The deviations of the windows ending at the chunk's `size` values: the
// window ending at value k starts at k + 1 - window, older entry k + 1.
void finish_deviations(const DeviationSums& older, const DeviationSums& newer, std::size_t size, double inverse,
                       std::span<double> out) {
    std::size_t k = 0;
#ifdef __SSE2__
    const __m128d inverses = _mm_set1_pd(inverse);
    for (; k + 2 <= size; k += 2) {
        const __m128d plain = _mm_add_pd(_mm_loadu_pd(&older.plain[k + 1]), _mm_loadu_pd(&newer.plain[k]));
        const __m128d squares = _mm_add_pd(_mm_loadu_pd(&older.squares[k + 1]), _mm_loadu_pd(&newer.squares[k]));
        _mm_storeu_pd(&out[k], deviation_of(plain, squares, inverses));
    }
#endif
    for (; k < size; ++k) {
        out[k] = deviation_of(older.plain[k + 1] + newer.plain[k], older.squares[k + 1] + newer.squares[k], inverse);
    }
}

// Whole blocks per chunk: enough values to amortise a chunk's loops, few
// enough for its sums to stay in cache.
constexpr std::size_t kChunkValues = 2048;

}  // namespace

// Population standard deviation per window from sums of deviations. Every
// window ending in a block of `window` values holds the block's first value,
// and all its deviations are taken from that value: those of its older part
// (a suffix of the previous block) and of its newer part (a prefix of its
// own block). Since the anchor is one of the window's own values, (mean -
// anchor)^2 is at most M2, hence S2 = M2 + w (mean - anchor)^2 at most
// (w + 1) M2: S2 - S1^2 / w loses at most that factor to cancellation
// whatever the level of the series. Nothing is ever taken back out of a
// running sum, and a window of equal values gives exactly 0 since all its
// deviations are 0. The series is read in chunks of whole
// blocks: the sums are carried sequentially, the windows finished in
// vectorised loops.
void stddev(std::span<const double> x, std::size_t window, std::span<double> out) {
    const std::size_t n = x.size();
    const std::size_t chunk = window * std::max<std::size_t>(1, kChunkValues / window);
    const double inverse = 1.0 / static_cast<double>(window);
    std::vector<double> values(chunk);
    DeviationSums newer(0, chunk);
    // the first `window` entries carry the last block of the previous chunk
    DeviationSums older(window, chunk);
    for (std::size_t start = 0; start < n; start += chunk) {
        const std::size_t size = std::min(chunk, n - start);
        for (std::size_t k = 0; k < size; ++k) values[k] = deviation_input(x[start + k]);
        const std::span<const double> read(values.data(), size);
        carry_sums(read, window, start + size < n ? deviation_input(x[start + size]) : 0.0, newer, older);
        finish_deviations(older, newer, size, inverse, out.subspan(start, size));
        std::copy_n(older.plain.begin() + static_cast<std::ptrdiff_t>(size), window, older.plain.begin());
        std::copy_n(older.squares.begin() + static_cast<std::ptrdiff_t>(size), window, older.squares.begin());
    }
    fill_warm_up(window, out);
}

}  // namespace backtest::rolling
