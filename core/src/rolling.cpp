#include "backtest/rolling.hpp"

#include "block_windows.hpp"

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

// np.nan_to_num, branch-free so that the folds stay free of jumps.
double clamped(double v) {
    const double capped = std::clamp(v, std::numeric_limits<double>::lowest(), std::numeric_limits<double>::max());
    return v != v ? 0.0 : capped;
}

bool is_nan(double v) { return v != v; }

// The first NaN of [begin, end), or end.
std::size_t first_nan(std::span<const double> x, std::size_t begin, std::size_t end) {
    if (!blocks::holds(&x[begin], end - begin, false)) return end;
    return static_cast<std::size_t>(std::find_if(x.begin() + static_cast<std::ptrdiff_t>(begin), x.end(), is_nan) -
                                    x.begin());
}

// Window sums of input(x[i]), chunk by chunk; after each chunk finish(begin,
// end, ordinary) completes its results (those from window - 1 on) and says
// whether to go on. `input` (a lambda, so that it is inlined) leaves finite
// values as they are, so a chunk whose windows hold only finite values (and
// so does the value just before its first window: `ordinary`) is folded from
// x itself; only the others pay for `input`, with the same results.
template <class Input, class Finish>
void window_sums(std::span<const double> x, std::size_t window, std::span<double> out, Input input, Finish finish) {
    const std::size_t n = x.size();
    const blocks::SumFold as_is{[x](std::size_t i) { return x[i]; }};
    const blocks::SumFold read{[x, input](std::size_t i) { return input(x[i]); }};
    blocks::for_each_chunk(window, n, blocks::kChunkValues, [&](std::size_t begin, std::size_t end) {
        const std::size_t before = begin < window ? 0 : begin - window;
        const bool ordinary = !blocks::holds(&x[before], end - before, true);
        if (ordinary) {
            blocks::fold_range(as_is, window, n, begin, end, out.data());
        } else {
            blocks::fold_range(read, window, n, begin, end, out.data());
        }
        return finish(begin, end, ordinary);
    });
    fill_warm_up(window, out);
}

}  // namespace

// Each window summed from its own values. For an array NumPy's cumsum is NaN
// from the first NaN on, and so is every later result; pandas' cumsum skips
// NaN and is NaN at its own row only, which two differences read: the window
// ending at the NaN and the window ending `window` rows later. Elsewhere a NaN
// counts as 0, and an infinity reaches only the windows holding it.
void sum(std::span<const double> x, std::size_t window, PrefixNan nan, std::span<double> out) {
    if (nan == PrefixNan::poison) {
        const auto as_is = [](double v) { return v; };
        return window_sums(x, window, out, as_is, [&](std::size_t begin, std::size_t end, bool ordinary) {
            const std::size_t poisoned = ordinary ? end : first_nan(x, begin, end);
            if (poisoned == end) return true;
            std::fill(out.begin() + static_cast<std::ptrdiff_t>(std::max(poisoned, window - 1)), out.end(), kNaN);
            return false;
        });
    }
    const auto as_is = [](double v) { return v; };
    blocks::series_window_sums(x.data(), x.size(), window, as_is, out.data(),
                               [&](std::size_t first, std::size_t end, const auto& sum) {
                                   if constexpr (sum.marks) {
                                       for (std::size_t i = first; i < end; ++i) out[i] = sum(i);
                                   }
                               });
    fill_warm_up(window, out);
}

// Each window summed from its own values, NaN counted as 0 and infinities
// clamped to the largest finite doubles.
void mean(std::span<const double> x, std::size_t window, std::span<double> out) {
    const auto w = static_cast<double>(window);
    const auto clamp = [](double v) { return clamped(v); };
    window_sums(x, window, out, clamp, [&](std::size_t begin, std::size_t end, bool) {
        for (std::size_t i = std::max(begin, window - 1); i < end; ++i) out[i] = out[i] / w;
        return true;
    });
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

// All windows of a fold (see block_windows.hpp), then the warm-up.
template <class Fold>
void split_windows(std::size_t n, std::size_t window, std::span<double> out, const Fold& fold) {
    blocks::fold_range(fold, window, n, 0, n, out.data());
    fill_warm_up(window, out);
}

// Extremes fold by comparison; ties go to the newer value, as pandas' deque
// keeps the newest of equal values (visible only as the sign of a zero).
template <class Better>
struct ExtremeFold {
    using Part = double;
    const double* x;
    Better better;  // better(older, newer): true when the older value wins

    double value(std::size_t i) const { return x[i]; }
    double pick(double older, double newer) const { return better(older, newer) ? older : newer; }
    static double first(double v) { return v; }
    double append(double part, double v) const { return pick(part, v); }
    double prepend(double v, double part) const { return pick(v, part); }
    static double newer(double part, std::size_t) { return part; }
    double merge(double older, double newer) const { return pick(older, newer); }
    static double whole(double part) { return part; }
};

// pandas' rolling extremes treat infinities as missing, like NaN, and a
// window with anything missing is NaN: those windows are overwritten after
// the fold (their parts hold only their own values, so no other window sees
// what the fold made of them).
template <class Better>
void extreme(std::span<const double> x, std::size_t window, std::span<double> out, Better better) {
    split_windows(x.size(), window, out, ExtremeFold<Better>{x.data(), better});
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
    const double* x;
    double divisor;  // w (w + 1) / 2, the sum of the weights

    double value(std::size_t i) const { return x[i]; }
    static WeightedSums first(double v) { return {1.0, v, v}; }
    static WeightedSums append(WeightedSums part, double v) {
        return {part.count + 1.0, part.plain + v, part.weighted + (part.count + 1.0) * v};
    }
    static WeightedSums prepend(double v, WeightedSums part) {
        const double plain = part.plain + v;
        return {part.count + 1.0, plain, part.weighted + plain};
    }
    // the newer part's weights continue after the older part's count, which
    // the window's offset tells
    static double newer(WeightedSums part, std::size_t count) {
        return static_cast<double>(count) * part.plain + part.weighted;
    }
    double merge(WeightedSums older, double newer) const { return (older.weighted + newer) / divisor; }
    double whole(WeightedSums part) const { return part.weighted / divisor; }
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
    split_windows(x.size(), window, out, WeightedFold{x.data(), w * (w + 1.0) / 2.0});
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

// The deviations of `size` windows from the sums of their older parts
// (`older_plain` may be `out` itself: each is read before it is written) and
// of their newer parts.
void finish_deviations(const double* older_plain, const double* older_squares, const double* newer_plain,
                       const double* newer_squares, std::size_t size, double inverse, double* out) {
    std::size_t k = 0;
#ifdef __SSE2__
    const __m128d inverses = _mm_set1_pd(inverse);
    for (; k + 2 <= size; k += 2) {
        const __m128d plain = _mm_add_pd(_mm_loadu_pd(older_plain + k), _mm_loadu_pd(newer_plain + k));
        const __m128d squares = _mm_add_pd(_mm_loadu_pd(older_squares + k), _mm_loadu_pd(newer_squares + k));
        _mm_storeu_pd(out + k, deviation_of(plain, squares, inverses));
    }
#endif
    for (; k < size; ++k) {
        out[k] = deviation_of(older_plain[k] + newer_plain[k], older_squares[k] + newer_squares[k], inverse);
    }
}

// Values per chunk: enough to amortise a chunk's loops, few enough for its
// sums to stay in cache.
constexpr std::size_t kChunkValues = 2048;

// Windows of at most a chunk, read in chunks of whole blocks: the sums are
// carried sequentially, the windows finished in vectorised loops. The window
// ending at the chunk's value k starts at k + 1 - window, older entry k + 1.
void short_deviations(std::span<const double> x, std::size_t window, std::span<double> out) {
    const std::size_t n = x.size();
    const std::size_t chunk = window * (kChunkValues / window);
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
        finish_deviations(&older.plain[1], &older.squares[1], newer.plain.data(), newer.squares.data(), size, inverse,
                          &out[start]);
        std::copy_n(older.plain.begin() + static_cast<std::ptrdiff_t>(size), window, older.plain.begin());
        std::copy_n(older.squares.begin() + static_cast<std::ptrdiff_t>(size), window, older.squares.begin());
    }
}

// Windows longer than a chunk, block by block, with the same sums in the same
// order as short_deviations. The older part's sums wait in the block's own
// results (plain) and in one block's worth of squares, the only memory that
// grows with the window; the newer part's sums are carried and finished a
// chunk at a time.
void long_deviations(std::span<const double> x, std::size_t window, std::span<double> out) {
    const std::size_t n = x.size();
    const double inverse = 1.0 / static_cast<double>(window);
    std::vector<double> older_squares(window);
    DeviationSums newer(0, kChunkValues);
    for (std::size_t start = 0; start < n; start += window) {
        const std::size_t size = std::min(window, n - start);
        const double anchor = deviation_input(x[start]);
        // the window ending at offset k holds the previous block's values from
        // offset k + 1 on; none at the block's last offset, nor in the first block
        std::fill_n(&out[start], size, 0.0);
        std::fill(older_squares.begin(), older_squares.end(), 0.0);
        if (start > 0) {
            RunningSums backward;
            backward.restart(anchor);
            for (std::size_t k = window - 1; k-- > 0;) {
                backward.add(deviation_input(x[start - window + k + 1]));
                if (k < size) {
                    out[start + k] = backward.plain;
                    older_squares[k] = backward.squares;
                }
            }
        }
        RunningSums forward;
        forward.restart(anchor);
        for (std::size_t piece = 0; piece < size; piece += kChunkValues) {
            const std::size_t count = std::min(kChunkValues, size - piece);
            for (std::size_t k = 0; k < count; ++k) {
                forward.add(deviation_input(x[start + piece + k]));
                newer.set(k, forward);
            }
            finish_deviations(&out[start + piece], &older_squares[piece], newer.plain.data(), newer.squares.data(),
                              count, inverse, &out[start + piece]);
        }
    }
}

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
// deviations are 0.
void stddev(std::span<const double> x, std::size_t window, std::span<double> out) {
    if (window <= kChunkValues) {
        short_deviations(x, window, out);
    } else {
        long_deviations(x, window, out);
    }
    fill_warm_up(window, out);
}

}  // namespace backtest::rolling
