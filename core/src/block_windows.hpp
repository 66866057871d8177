// Rolling windows assembled from blocks of `window` values (van Herk /
// Gil-Werman). Every window ending in a block is a suffix of the block before
// (its older part, empty when the window is the whole block) and a prefix of
// its own block (its newer part). Each block is folded once backward into
// suffixes and once forward into prefixes, so the cost is O(n) for any
// window, and a window's result is made of its own values only: nothing is
// ever taken back out of an aggregate, which is what lets a running total
// carry one bad value into every later window.
//
// Each newer prefix waits in its window's result, written front to back as
// the result is first touched, until the older suffix is merged into it, so
// the folds need no memory beyond the result. Several blocks are folded side
// by side: each fold is a chain of dependent operations, and independent
// chains keep the processor busy. A result's operations and their order
// depend only on the window's values and its offset in its block, never on
// how many blocks go side by side.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <limits>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace backtest::blocks {

// A Fold provides:
//   Part                 what a fold carries along a block
//   value(i)             the i-th value of the series as the fold reads it
//   first(v)             the part of one value
//   append(part, v)      v is newer than the part's values
//   prepend(v, part)     v is older
//   newer(part, count)   what a window keeps of its newer prefix while its
//                        older suffix of `count` values is folded
//   merge(part, kept)    a window from its older suffix and what it kept
//   whole(part)          a window that is exactly one block

// Values folded side by side: four chains of each direction hide the latency
// of an addition on current processors.
inline constexpr std::size_t kLanes = 4;

// Values per chunk of a pass that finishes its windows after folding them:
// the chunk stays in cache between the two.
inline constexpr std::size_t kChunkValues = 2048;

// Results of the windows ending in `Lanes` consecutive blocks, the first
// starting at `start` >= window, each holding `size` values (the window,
// except for the last block of a series). Requires window >= 2.
template <std::size_t Lanes, class Fold>
void fold_newer_blocks(const Fold& fold, std::size_t window, std::size_t start, std::size_t size, double* out) {
    using Part = typename Fold::Part;
    std::array<Part, Lanes> part;
    // The newer prefixes, front to back; a window of the whole block is complete.
    const std::size_t kept = std::min(size, window - 1);
#pragma GCC unroll 8
    for (std::size_t j = 0; j < Lanes; ++j) {
        const std::size_t newer = start + j * window;
        part[j] = fold.first(fold.value(newer));
        out[newer] = fold.newer(part[j], window - 1);
    }
    for (std::size_t k = 1; k < kept; ++k) {
#pragma GCC unroll 8
        for (std::size_t j = 0; j < Lanes; ++j) {
            const std::size_t i = start + j * window + k;
            part[j] = fold.append(part[j], fold.value(i));
            out[i] = fold.newer(part[j], window - 1 - k);
        }
    }
    if (size == window) {
#pragma GCC unroll 8
        for (std::size_t j = 0; j < Lanes; ++j) {
            const std::size_t i = start + j * window + window - 1;
            out[i] = fold.whole(fold.append(part[j], fold.value(i)));
        }
    }
    // The older suffixes, back to front: the one from offset o completes the
    // window ending at the newer offset o - 1.
    std::size_t o = window - 1;
#pragma GCC unroll 8
    for (std::size_t j = 0; j < Lanes; ++j) part[j] = fold.first(fold.value(start + j * window - 1));
    for (; o > kept; --o) {  // suffixes of windows past the series' end
#pragma GCC unroll 8
        for (std::size_t j = 0; j < Lanes; ++j) {
            part[j] = fold.prepend(fold.value(start + j * window - window + o - 1), part[j]);
        }
    }
    for (; o > 1; --o) {
#pragma GCC unroll 8
        for (std::size_t j = 0; j < Lanes; ++j) {
            const std::size_t newer = start + j * window;
            out[newer + o - 1] = fold.merge(part[j], out[newer + o - 1]);
            part[j] = fold.prepend(fold.value(newer - window + o - 1), part[j]);
        }
    }
#pragma GCC unroll 8
    for (std::size_t j = 0; j < Lanes; ++j) out[start + j * window] = fold.merge(part[j], out[start + j * window]);
}

// Results of the windows ending at [begin, end) of a series of n values:
// begin is a multiple of the window, end one too or n. The first window - 1
// results are left as they are (no window ends there).
template <class Fold>
void fold_range(const Fold& fold, std::size_t window, std::size_t n, std::size_t begin, std::size_t end,
                double* out) {
    if (window == 1) {
        for (std::size_t i = begin; i < end; ++i) out[i] = fold.whole(fold.first(fold.value(i)));
        return;
    }
    std::size_t start = begin;
    if (start == 0) {
        // the first block has no older part, and only its last value ends a window
        typename Fold::Part part = fold.first(fold.value(0));
        for (std::size_t i = 1; i < window; ++i) part = fold.append(part, fold.value(i));
        out[window - 1] = fold.whole(part);
        start = window;
    }
    for (; start + kLanes * window <= end; start += kLanes * window) {
        fold_newer_blocks<kLanes>(fold, window, start, window, out);
    }
    for (; start < end; start += window) fold_newer_blocks<1>(fold, window, start, std::min(window, n - start), out);
}

// Chunks of whole blocks, lanes' worth at least, of about `values` values:
// visit(begin, end) for each in order.
template <class Visit>
void for_each_chunk(std::size_t window, std::size_t n, std::size_t values, Visit visit) {
    const std::size_t group = window * kLanes;
    const std::size_t chunk = group * std::max<std::size_t>(1, values / group);
    for (std::size_t begin = 0; begin < n; begin += chunk) {
        if (!visit(begin, std::min(n, begin + chunk))) return;
    }
}

// Whether any of `count` values is NaN (or, with `infinite`, not finite),
// four at a time: the compiler leaves such a reduction scalar. The sums test
// their chunks with it, so that ordinary data skips the cleaning of values.
inline bool holds(const double* x, std::size_t count, bool infinite) {
    std::size_t i = 0;
    bool found = false;
#ifdef __SSE2__
    __m128d marks = _mm_setzero_pd();
    for (; i + 4 <= count; i += 4) {
        __m128d low = _mm_loadu_pd(x + i);
        __m128d high = _mm_loadu_pd(x + i + 2);
        if (infinite) {  // inf - inf is NaN
            low = _mm_sub_pd(low, low);
            high = _mm_sub_pd(high, high);
        }
        marks = _mm_or_pd(marks, _mm_or_pd(_mm_cmpunord_pd(low, low), _mm_cmpunord_pd(high, high)));
    }
    found = _mm_movemask_pd(marks) != 0;
#endif
    for (; i < count; ++i) {
        const double v = infinite ? x[i] - x[i] : x[i];
        found = found || v != v;
    }
    return found;
}

// Sums of value(i) over each window.
template <class Value>
struct SumFold {
    Value value;

    using Part = double;
    static double first(double v) { return v; }
    static double append(double part, double v) { return part + v; }
    static double prepend(double v, double part) { return v + part; }
    static double newer(double part, std::size_t) { return part; }
    static double merge(double older, double newer) { return older + newer; }
    static double whole(double part) { return part; }
};

template <class Value>
SumFold(Value) -> SumFold<Value>;

// The window sums of a pass, as series_window_sums hands them to its finish:
// sum(i) is the sum of the window ending at i. `marks` tells whether a sum
// may differ from the folded one in out[i].
struct FoldedSums {
    static constexpr bool marks = false;
    const double* out;
    double operator()(std::size_t i) const { return out[i]; }
};

// Sums read from a running sum that skips NaN and is NaN at its own row: NaN
// for the window ending at a NaN and for the one ending `window` rows later.
// Guarded when i may be below `window`.
template <bool Guarded>
struct SeriesSums {
    static constexpr bool marks = true;
    const double* x;
    const double* out;
    std::size_t window;
    double operator()(std::size_t i) const {
        const bool older_nan = (!Guarded || i >= window) && x[i - window] != x[i - window];
        return x[i] != x[i] || older_nan ? std::numeric_limits<double>::quiet_NaN() : out[i];
    }
};

// Window sums of value(x[i]) as a pandas Series' running sum gives them, read
// `window` apart: a NaN counts as 0 in the windows holding it, but the window
// ending at it and the one ending `window` rows later are NaN. `value` keeps
// NaN NaN and makes no other value NaN. Chunk by chunk (a chunk whose windows
// hold no NaN folds the values as they are): the folded sums are written into
// out, then finish(first, end, sum) completes the chunk's results from
// window - 1 on, reading them through sum (FoldedSums or SeriesSums), in the
// same pass as its own steps. Requires 1 <= window <= n.
template <class Value, class Finish>
void series_window_sums(const double* x, std::size_t n, std::size_t window, Value value, double* out,
                        Finish finish) {
    const SumFold plain{[x, value](std::size_t i) { return value(x[i]); }};
    const SumFold skipping{[x, value](std::size_t i) {
        const double v = value(x[i]);
        return v != v ? 0.0 : v;
    }};
    for_each_chunk(window, n, kChunkValues, [&](std::size_t begin, std::size_t end) {
        const std::size_t before = begin < window ? 0 : begin - window;
        const std::size_t first = std::max(begin, window - 1);
        if (!holds(&x[before], end - before, false)) {
            fold_range(plain, window, n, begin, end, out);
            finish(first, end, FoldedSums{out});
        } else {
            fold_range(skipping, window, n, begin, end, out);
            // only the first chunk holds windows ending before row `window`
            if (first < window) {
                finish(first, end, SeriesSums<true>{x, out, window});
            } else {
                finish(first, end, SeriesSums<false>{x, out, window});
            }
        }
        return true;
    });
}

}  // namespace backtest::blocks
