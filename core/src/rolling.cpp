#include "backtest/rolling.hpp"

#include "block_windows.hpp"
#include "simd/dispatch.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

namespace backtest::rolling {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

void fill_warm_up(std::size_t window, std::span<double> out) {
    std::fill(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(window - 1), kNaN);
}

// Overwrites with NaN every result in [begin, end) whose window holds a
// value for which `marks(value)` is true.
template <class Marks>
void nan_where_window_holds(std::span<const double> x, std::size_t window, std::size_t begin, std::size_t end,
                            std::span<double> out, Marks marks) {
    std::size_t since = window;  // steps since the last marked value
    for (std::size_t i = begin < window ? 0 : begin - window; i < end; ++i) {
        since = marks(x[i]) ? 0 : since + 1;
        if (since < window && i >= begin) out[i] = kNaN;
    }
}

// np.nan_to_num, branch-free so that the folds stay free of jumps.
double clamped(double v) {
    const double capped = std::clamp(v, std::numeric_limits<double>::lowest(), std::numeric_limits<double>::max());
    return v != v ? 0.0 : capped;
}

double skip_nan(double v) { return v != v ? 0.0 : v; }

bool is_nan(double v) { return v != v; }

// The first NaN of [begin, end), or end.
std::size_t first_nan(std::span<const double> x, std::size_t begin, std::size_t end) {
    if (!simd::active().holds(&x[begin], end - begin, false)) return end;
    return static_cast<std::size_t>(std::find_if(x.begin() + static_cast<std::ptrdiff_t>(begin), x.end(), is_nan) -
                                    x.begin());
}

// Whether a value of the windows ending in [begin, end), or the value just
// before the first of them, is NaN or infinite. The test reads the chunk in
// order, which also brings it into cache for the fold that follows.
bool windows_hold_nonfinite(const simd::Kernels& kernels, std::span<const double> x, std::size_t window,
                            std::size_t begin, std::size_t end) {
    const std::size_t before = begin < window ? 0 : begin - window;
    return kernels.holds(&x[before], end - before, true);
}

// fold(p, q) over [begin, end), a chunk of whole groups of blocks, in pieces
// of a few groups, each after asking for the values of x and the lines of
// the output a chunk ahead: a fold computes in bursts, unlike a running
// total, and waited for memory in between, on stores to output not yet in
// cache above all. Results do not depend on the pieces. Measured on a million
// values fresh from memory (w = 50): sums 1.1 -> 0.6 ms, means 1.25 -> 0.65,
// extremes 1.0 -> 0.55. The values come in without displacing the chunk at
// work (prefetchnta), the output lines for writing.
template <class Fold>
void fold_in_pieces(const simd::Kernels& kernels, std::span<const double> x, std::size_t window, std::size_t begin,
                    std::size_t end, std::span<double> out, Fold fold) {
    const std::size_t group = kernels.lanes * window;
    const std::size_t piece = group * std::max<std::size_t>(1, 128 / group);
    const std::size_t ahead = end - begin;
    for (std::size_t p = begin; p < end; p += piece) {
        const std::size_t q = std::min(end, p + piece);
        for (std::size_t i = p + ahead; i < std::min(out.size(), q + ahead); i += 64 / sizeof(double)) {
            __builtin_prefetch(&x[i], 0, 0);
            __builtin_prefetch(&out[i], 1, 3);
        }
        fold(p, q);
    }
}

// Window sums of input(x[i]), chunk by chunk; after each chunk finish(begin,
// end, ordinary) completes its results (those from window - 1 on) and says
// whether to go on. `input` (a lambda, so that it is inlined) leaves finite
// values as ordinary_fold(x, n, window, begin, end, out, scratch) reads them,
// so a chunk whose windows hold only finite values (and so does the value
// just before its first window: `ordinary`) is folded by that kernel from x
// itself; only the others pay for `input`, with the same results.
template <class OrdinaryFold, class Input, class Finish>
void window_sums(std::span<const double> x, std::size_t window, std::span<double> out, OrdinaryFold ordinary_fold,
                 Input input, Finish finish) {
    const std::size_t n = x.size();
    const simd::Kernels& kernels = simd::active();
    const blocks::Scratch scratch(kernels.scratch(window));
    const blocks::SumFold read{[x, input](std::size_t i) { return input(x[i]); }};
    blocks::for_each_chunk(
        window, n, blocks::kChunkValues,
        [&](std::size_t begin, std::size_t end) {
            const bool ordinary = !windows_hold_nonfinite(kernels, x, window, begin, end);
            if (ordinary) {
                fold_in_pieces(kernels, x, window, begin, end, out, [&](std::size_t p, std::size_t q) {
                    ordinary_fold(x.data(), n, window, p, q, out.data(), scratch.data());
                });
            } else {
                blocks::fold_range(read, window, n, begin, end, out.data());
            }
            return finish(begin, end, ordinary);
        },
        kernels.lanes);
    fill_warm_up(window, out);
}

// The window sums of a Series, of x or of |x|: NaN counts as 0, except in the
// window ending at it and the one ending `window` rows later, where pandas'
// cumsum is NaN. done(begin, end) follows each chunk.
template <bool Magnitudes, class Done>
void series_sums(std::span<const double> x, std::size_t window, std::span<double> out, Done done) {
    const simd::Kernels& kernels = simd::active();
    const auto skip = [](double v) { return skip_nan(Magnitudes ? std::fabs(v) : v); };
    const auto ordinary_fold = [&kernels](auto... arguments) {
        if constexpr (Magnitudes) {
            kernels.summand_sums(simd::Summand::magnitude, arguments...);
        } else {
            kernels.sums(arguments...);
        }
    };
    window_sums(x, window, out, ordinary_fold, skip,
                [&](std::size_t begin, std::size_t end, bool ordinary) {
                    if (!ordinary) {
                        for (std::size_t i = std::max(begin, window - 1); i < end; ++i) {
                            out[i] = is_nan(x[i]) ? kNaN : out[i];
                        }
                        for (std::size_t i = std::max(begin, window); i < end; ++i) {
                            out[i] = is_nan(x[i - window]) ? kNaN : out[i];
                        }
                    }
                    done(begin, end);
                    return true;
                });
}

}  // namespace

// Each window summed from its own values. For an array NumPy's cumsum is NaN
// from the first NaN on, and so is every later result; pandas' cumsum skips
// NaN and is NaN at its own row only, which two differences read: the window
// ending at the NaN and the window ending `window` rows later. Elsewhere a NaN
// counts as 0, and an infinity reaches only the windows holding it.
void sum(std::span<const double> x, std::size_t window, PrefixNan nan, std::span<double> out) {
    if (nan == PrefixNan::skip) return series_sums<false>(x, window, out, [](std::size_t, std::size_t) {});
    const auto as_is = [](double v) { return v; };
    window_sums(x, window, out, simd::active().sums, as_is, [&](std::size_t begin, std::size_t end, bool ordinary) {
        const std::size_t poisoned = ordinary ? end : first_nan(x, begin, end);
        if (poisoned == end) return true;
        std::fill(out.begin() + static_cast<std::ptrdiff_t>(std::max(poisoned, window - 1)), out.end(), kNaN);
        return false;
    });
}

void magnitude_sums(std::span<const double> x, std::size_t window, std::span<double> out,
                    const std::function<void(std::size_t, std::size_t)>& chunk_done) {
    series_sums<true>(x, window, out, chunk_done);
}

// Each window summed from its own values, NaN counted as 0 and infinities
// clamped to the largest finite doubles; ordinary chunks come out divided by
// the window already.
void mean(std::span<const double> x, std::size_t window, std::span<double> out) {
    const auto w = static_cast<double>(window);
    const auto clamp = [](double v) { return clamped(v); };
    const simd::Kernels& kernels = simd::active();
    window_sums(x, window, out, kernels.means, clamp, [&](std::size_t begin, std::size_t end, bool ordinary) {
        const std::size_t first = std::max(begin, window - 1);
        if (!ordinary && first < end) kernels.divide(&out[first], end - first, w);
        return true;
    });
}

namespace {

// NumPy's pairwise summation (the inner loop of np.add.reduce for float64):
// blocks of up to 128 values summed in 8 interleaved lanes, larger ranges
// split in halves at multiples of 8. `read` maps each value as it is loaded,
// so that a sum of filled values needs no filled copy.
template <class Read>
double pairwise_sum(const double* a, std::size_t n, Read read) {
    if (n < 8) {
        double res = -0.0;
        for (std::size_t i = 0; i < n; ++i) res += read(a[i]);
        return res;
    }
    if (n <= 128) {
        double r[8];
        for (std::size_t j = 0; j < 8; ++j) r[j] = read(a[j]);
        std::size_t i = 8;
        for (; i < n - (n % 8); i += 8) {
            for (std::size_t j = 0; j < 8; ++j) r[j] += read(a[i + j]);
        }
        double res = ((r[0] + r[1]) + (r[2] + r[3])) + ((r[4] + r[5]) + (r[6] + r[7]));
        for (; i < n; ++i) res += read(a[i]);
        return res;
    }
    std::size_t n2 = n / 2;
    n2 -= n2 % 8;
    return pairwise_sum(a, n2, read) + pairwise_sum(a + n2, n - n2, read);
}

}  // namespace

double pairwise_mean(std::span<const double> x, std::size_t count) {
    // np.add.reduce starts from the identity 0.0 and adds the pairwise sum of
    // all values to it (so a sum of -0.0 values is +0.0)
    return (0.0 + pairwise_sum(x.data(), x.size(), [](double v) { return v; })) / static_cast<double>(count);
}

double nan_skipping_total(std::span<const double> x) {
    return 0.0 + pairwise_sum(x.data(), x.size(), skip_nan);
}

namespace {

// pandas' Series.mean of the first window: NaN replaced by 0, divided by the
// count of valid values. Returns false when the window holds no valid value.
bool nan_skipping_mean(std::span<const double> first, double& mean) {
    const auto valid = first.size() - static_cast<std::size_t>(std::count_if(first.begin(), first.end(), is_nan));
    if (valid == 0) return false;
    mean = nan_skipping_total(first) / static_cast<double>(valid);
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

// The recursion is a chain of a subtraction, a multiplication and an
// addition per value, which bounds the speed: the loop after the start
// carries nothing else, so that the loads and stores run in its shadow.
void ema(std::span<const double> x, std::size_t window, EmaSeed seed, std::span<double> out) {
    const std::size_t n = x.size();
    std::size_t i = 0;
    std::optional<double> first;
    for (; i < n && !(first = ema_start(x, i, window, seed)); ++i) out[i] = kNaN;
    if (i == n) return;
    const double multiplier = 2.0 / (static_cast<double>(window) + 1.0);
    const double* values = x.data();
    double* results = out.data();
    double previous = *first;
    results[i] = previous;
    for (++i; i < n; ++i) {
        previous = (values[i] - previous) * multiplier + previous;
        results[i] = previous;
    }
}

namespace {

// Rolling extremes from the vectorised folds, chunk by chunk. pandas treats
// infinities as missing, like NaN, and a window with anything missing is
// NaN: in the chunks that hold one those windows are overwritten after the
// fold (their parts hold only their own values, so no other window sees
// what the fold made of them).
template <bool Max>
void extreme(std::span<const double> x, std::size_t window, std::span<double> out) {
    const std::size_t n = x.size();
    const simd::Kernels& kernels = simd::active();
    const blocks::Scratch scratch(kernels.scratch(window));
    const auto fold = Max ? kernels.maxima : kernels.minima;
    blocks::for_each_chunk(
        window, n, blocks::kChunkValues,
        [&](std::size_t begin, std::size_t end) {
            const bool missing = windows_hold_nonfinite(kernels, x, window, begin, end);
            fold_in_pieces(kernels, x, window, begin, end, out, [&](std::size_t p, std::size_t q) {
                fold(x.data(), n, window, p, q, out.data(), scratch.data());
            });
            if (missing) {
                nan_where_window_holds(x, window, begin, end, out, [](double v) { return !std::isfinite(v); });
            }
            return true;
        },
        kernels.lanes);
    fill_warm_up(window, out);
}

}  // namespace

void min(std::span<const double> x, std::size_t window, std::span<double> out) { extreme<false>(x, window, out); }

void max(std::span<const double> x, std::size_t window, std::span<double> out) { extreme<true>(x, window, out); }

// Linearly weighted moving average in O(n) from the split parts' plain and
// weighted sums (see WeightedSums). Every rounding error is one of the
// window's own terms, so the error stays within a few w * eps of the
// window's weighted mean of |x| whatever came before: a large value that
// leaves the window leaves no residue, unlike running sums that subtract it.
// NaN and infinities reach only the windows holding them, where the IEEE
// sums give what the direct weighted sum gives.
void wma(std::span<const double> x, std::size_t window, std::span<double> out) {
    const simd::Kernels& kernels = simd::active();
    const std::size_t n = x.size();
    const blocks::Scratch scratch(kernels.scratch(window));
    blocks::for_each_chunk(
        window, n, blocks::kChunkValues,
        [&](std::size_t begin, std::size_t end) {
            const bool special = windows_hold_nonfinite(kernels, x, window, begin, end);
            fold_in_pieces(kernels, x, window, begin, end, out, [&](std::size_t p, std::size_t q) {
                kernels.weighted(x.data(), n, window, p, q, out.data(), scratch.data());
            });
            // The sign of a NaN made of two (an infinity's and a NaN's, say)
            // depends on which operand the compiler put first, which differs
            // between the paths: where a chunk's windows hold a non-finite
            // value, every NaN becomes NumPy's NaN, so that each path gives
            // the same bits.
            if (special) {
                for (std::size_t i = begin; i < end; ++i) out[i] = is_nan(out[i]) ? kNaN : out[i];
            }
            return true;
        },
        kernels.lanes);
    fill_warm_up(window, out);
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

// The deviations of `size` windows from the sums of their older parts
// (`older_plain` may be `out` itself: each is read before it is written) and
// of their newer parts, a vector at a time (see simd::Kernels::deviations).
void finish_deviations(const double* older_plain, const double* older_squares, const double* newer_plain,
                       const double* newer_squares, std::size_t size, double inverse, double* out) {
    simd::active().deviations(older_plain, older_squares, newer_plain, newer_squares, size, inverse, out);
}

using blocks::kChunkValues;

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

void scalar_deviations(std::span<const double> x, std::size_t window, std::span<double> out) {
    if (window <= kChunkValues) {
        short_deviations(x, window, out);
    } else {
        long_deviations(x, window, out);
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
    const std::size_t n = x.size();
    const simd::Kernels& kernels = simd::active();
    const std::size_t group = kernels.lanes * window;
    const blocks::Scratch scratch(n >= window + group ? kernels.deviation_scratch(window) : 0);
    if (scratch.empty()) {
        scalar_deviations(x, window, out);
    } else {
        // whole groups of blocks side by side in vector lanes; the first window
        // and the windows after the groups from the passes over the values
        // they hold, whose blocks start where the series' do
        const std::size_t end = window + (n - window) / group * group;
        kernels.deviation_groups(x.data(), window, window, end, 1.0 / static_cast<double>(window), out.data(),
                                 scratch.data());
        std::vector<double> rest(std::max(window, n - end + window));
        scalar_deviations(x.first(window), window, std::span(rest).first(window));
        out[window - 1] = rest[window - 1];
        if (end < n) {
            scalar_deviations(x.subspan(end - window), window, std::span(rest).first(n - end + window));
            std::copy(rest.begin() + static_cast<std::ptrdiff_t>(window),
                      rest.begin() + static_cast<std::ptrdiff_t>(n - end + window),
                      out.begin() + static_cast<std::ptrdiff_t>(end));
        }
    }
    fill_warm_up(window, out);
}

}  // namespace backtest::rolling
