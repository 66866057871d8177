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
#include <cstdint>
#include <cstring>
#include <memory>
#include <utility>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

// Each instruction set's kernels compile these templates on their own (see
// simd/dispatch.hpp); the tag keeps their copies apart, so that the linker
// never hands a baseline caller one built for a wider set.
#ifndef BACKTEST_ISA
#define BACKTEST_ISA baseline
#endif

namespace backtest::blocks {
inline namespace BACKTEST_ISA {

// A Fold provides, for T a double or a vector of doubles (one window a lane):
//   PartOf<T>            what a fold carries along a block
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

// Working memory that the folds write before they read it, left
// uninitialised: zeroing the scratch of a chunk cost more than the kernel on
// a series of 1,000 values. data() is null when it is empty.
class Scratch {
public:
    explicit Scratch(std::size_t size)
        : values_(size == 0 ? nullptr : std::make_unique_for_overwrite<double[]>(size)), size_(size) {}
    double* data() const { return values_.get(); }
    std::size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }

private:
    std::unique_ptr<double[]> values_;
    std::size_t size_;
};

// Values per chunk of a pass that finishes its windows after folding them:
// the chunk stays in cache between the two.
inline constexpr std::size_t kChunkValues = 2048;

// Results of the windows ending in `Lanes` consecutive blocks, the first
// starting at `start` >= window, each holding `size` values (the window,
// except for the last block of a series). Requires window >= 2.
template <std::size_t Lanes, class Fold>
void fold_newer_blocks(const Fold& fold, std::size_t window, std::size_t start, std::size_t size, double* out) {
    using Part = typename Fold::template PartOf<double>;
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

// Lanes of a vector type V.
template <class V>
inline constexpr std::size_t kLanesOf = sizeof(V) / sizeof(double);

// Scratch values that fold_lanes<V> needs for a window (with room to align
// its rows to whole vectors).
template <class V>
constexpr std::size_t lanes_scratch(std::size_t window) {
    return (2 * kLanesOf<V> + 1) * window + kLanesOf<V>;
}

template <class V>
V load(const double* from) {
    V v;
    std::memcpy(&v, from, sizeof v);
    return v;
}

template <class V>
void store(double* to, V v) {
    std::memcpy(to, &v, sizeof v);
}

// {v[1], ..., v[N - 1], last}
template <class V, std::size_t... I>
V shift_in(V v, double last, std::index_sequence<I...>) {
    V tail{};
    tail[0] = last;
    return __builtin_shufflevector(v, tail, (I + 1)...);
}

// Element E of a stage of the transposition of N rows: the rows i and i + B
// (i without bit B) trade their blocks of B elements that lie off the
// diagonal; `upper` is the new row i + B.
template <std::size_t N, std::size_t B, bool upper, std::size_t E>
constexpr int traded() {
    if constexpr (!upper) return static_cast<int>((E & B) == 0 ? E : N + E - B);
    return static_cast<int>((E & B) == 0 ? E + B : N + E);
}

template <std::size_t B, bool upper, class V, std::size_t... E>
V trade(V a, V b, std::index_sequence<E...>) {
    return __builtin_shufflevector(a, b, traded<sizeof...(E), B, upper, E>()...);
}

// Transposes N rows of N lanes in registers: log2 N stages of N shuffles.
template <std::size_t B = 0, class V, std::size_t N>
void transpose(std::array<V, N>& rows) {
    constexpr std::size_t span = B == 0 ? N / 2 : B;
    if constexpr (span >= 1) {
#pragma GCC unroll 16
        for (std::size_t i = 0; i < N; ++i) {
            if ((i & span) != 0) continue;
            const V lower = trade<span, false>(rows[i], rows[i + span], std::make_index_sequence<N>());
            const V upper = trade<span, true>(rows[i], rows[i + span], std::make_index_sequence<N>());
            rows[i] = lower;
            rows[i + span] = upper;
        }
        if constexpr (span > 1) transpose<span / 2>(rows);
    }
}

// Offsets at which tiles of N offsets start to cover a block of `window` >=
// N: every multiple of N that fits, then one ending at the block's end
// (overlapping the one before, which only rewrites the same values).
template <std::size_t N, class Visit>
void for_each_tile(std::size_t window, Visit visit) {
    std::size_t k = 0;
    for (; k + N <= window; k += N) visit(k);
    if (k < window) visit(window - N);
}

// The values of x from `at` as a fold reads them, a vector at a time: folds
// whose values are not x's own say how in `value.lanes` (summands.hpp).
template <class V, class Fold>
V read_lanes(const Fold& fold, const double* at) {
    if constexpr (requires { fold.value.template lanes<V>(at); }) {
        return fold.value.template lanes<V>(at);
    } else {
        return load<V>(at);
    }
}

// The windows ending in kLanesOf<V> consecutive whole blocks from `start` >=
// window, block j's in lane j of every vector: the values of x are
// transposed in registers into `scratch` (rows of the blocks' values at one
// offset), folded a row at a time, and transposed back. Each lane does the
// operations of fold_newer_blocks in the same order, so the results are the
// same bits. Requires window >= kLanesOf<V> and read_lanes to read the
// fold's values;
// scratch for lanes_scratch<V>(window) values.
template <class V, class Fold>
void fold_lanes(const Fold& fold, const double* x, std::size_t window, std::size_t start, double* out,
                double* scratch) {
    constexpr std::size_t N = kLanesOf<V>;
    // rows of the older blocks (lane j: the block before its own), the newest
    // block, whose values complete the rows of the lanes' own blocks, and the
    // rows of results
    const auto address = reinterpret_cast<std::uintptr_t>(scratch);
    double* rows = scratch + (-address / sizeof(double)) % N;
    double* results = rows + N * window;
    double* newest = results + N * window;
    const double* base = x + (start - window);
    std::array<V, N> tile;
    for_each_tile<N>(window, [&](std::size_t k) {
#pragma GCC unroll 16
        for (std::size_t j = 0; j < N; ++j) tile[j] = read_lanes<V>(fold, base + j * window + k);
        transpose(tile);
#pragma GCC unroll 16
        for (std::size_t t = 0; t < N; ++t) store(rows + (k + t) * N, tile[t]);
    });
    for (std::size_t k = 0; k < window; ++k) newest[k] = fold.value(start - window + N * window + k);
    const auto older = [rows](std::size_t k) { return load<V>(rows + k * N); };
    const auto own = [&](std::size_t k) { return shift_in(older(k), newest[k], std::make_index_sequence<N>()); };
    auto part = fold.first(own(0));
    store(results, fold.newer(part, window - 1));
    for (std::size_t k = 1; k + 1 < window; ++k) {
        part = fold.append(part, own(k));
        store(results + k * N, fold.newer(part, window - 1 - k));
    }
    store(results + (window - 1) * N, fold.whole(fold.append(part, own(window - 1))));
    auto suffix = fold.first(older(window - 1));
    for (std::size_t o = window - 1; o > 1; --o) {
        store(results + (o - 1) * N, fold.merge(suffix, load<V>(results + (o - 1) * N)));
        suffix = fold.prepend(older(o - 1), suffix);
    }
    store(results, fold.merge(suffix, load<V>(results)));
    double* block = out + start;
    for_each_tile<N>(window, [&](std::size_t k) {
#pragma GCC unroll 16
        for (std::size_t t = 0; t < N; ++t) tile[t] = load<V>(results + (k + t) * N);
        transpose(tile);
#pragma GCC unroll 16
        for (std::size_t j = 0; j < N; ++j) store(block + j * window + k, tile[j]);
    });
}

// Results of the windows ending at [begin, end) of a series of n values:
// begin is a multiple of the window, end one too or n. The first window - 1
// results are left as they are (no window ends there). With a vector type V,
// lanes_scratch<V>(window) values of scratch and the series x that the fold
// reads, whole groups of blocks go through fold_lanes.
template <class V = double, class Fold>
void fold_range(const Fold& fold, std::size_t window, std::size_t n, std::size_t begin, std::size_t end, double* out,
                double* scratch = nullptr, const double* x = nullptr) {
    if (window == 1) {
        for (std::size_t i = begin; i < end; ++i) out[i] = fold.whole(fold.first(fold.value(i)));
        return;
    }
    std::size_t start = begin;
    if (start == 0) {
        // the first block has no older part, and only its last value ends a window
        auto part = fold.first(fold.value(0));
        for (std::size_t i = 1; i < window; ++i) part = fold.append(part, fold.value(i));
        out[window - 1] = fold.whole(part);
        start = window;
    }
    if constexpr (kLanesOf<V> > 1) {
        if (scratch != nullptr && x != nullptr && window >= kLanesOf<V>) {
            for (; start + kLanesOf<V> * window <= end; start += kLanesOf<V> * window) {
                fold_lanes<V>(fold, x, window, start, out, scratch);
            }
        }
    }
    for (; start + kLanes * window <= end; start += kLanes * window) {
        fold_newer_blocks<kLanes>(fold, window, start, window, out);
    }
    for (; start < end; start += window) fold_newer_blocks<1>(fold, window, start, std::min(window, n - start), out);
}

// Chunks of whole blocks, `lanes` blocks' worth at least, of about `values`
// values: visit(begin, end) for each in order.
inline std::size_t chunk_values(std::size_t window, std::size_t values, std::size_t lanes) {
    const std::size_t group = window * lanes;
    return group * std::max<std::size_t>(1, values / group);
}

template <class Visit>
void for_each_chunk(std::size_t window, std::size_t n, std::size_t values, Visit visit, std::size_t lanes = kLanes) {
    const std::size_t chunk = chunk_values(window, values, lanes);
    for (std::size_t begin = 0; begin < n; begin += chunk) {
        if (!visit(begin, std::min(n, begin + chunk))) return;
    }
}

// Whether any of `count` values is NaN (or, with `infinite`, not finite),
// two vectors V at a time (the compiler leaves such a reduction scalar). The
// sums test their chunks with it, so that ordinary data skips the cleaning
// of values. SSE2 has no comparison of 64-bit lanes to OR, so there the
// comparisons of doubles are ORed as doubles.
template <class V = double __attribute__((vector_size(16)))>
bool holds(const double* x, std::size_t count, bool infinite) {
    constexpr std::size_t N = kLanesOf<V>;
    std::size_t i = 0;
    bool found = false;
#ifdef __SSE2__
    if constexpr (N == 2) {
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
    }
#endif
    if constexpr (N > 2) {
        decltype(V{} != V{}) marks{};
        for (; i + 2 * N <= count; i += 2 * N) {
            V low = load<V>(x + i);
            V high = load<V>(x + i + N);
            if (infinite) {
                low = low - low;
                high = high - high;
            }
            marks |= (low != low) | (high != high);  // a NaN is the one value unequal to itself
        }
        for (std::size_t j = 0; j < N; ++j) found = found || marks[j] != 0;
    }
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

    template <class T>
    using PartOf = T;
    template <class T>
    static T first(T v) { return v; }
    template <class T>
    static T append(T part, T v) { return part + v; }
    template <class T>
    static T prepend(T v, T part) { return v + part; }
    template <class T>
    static T newer(T part, std::size_t) { return part; }
    template <class T>
    static T merge(T older, T newer) { return older + newer; }
    template <class T>
    static T whole(T part) { return part; }
};

template <class Value>
SumFold(Value) -> SumFold<Value>;

// The sums of SumFold over x, each divided by the window as it is complete.
struct ReadAt {
    const double* x;
    double operator()(std::size_t i) const { return x[i]; }
};

struct MeanFold : SumFold<ReadAt> {
    double window;

    template <class T>
    T merge(T older, T newer) const { return (older + newer) / window; }
    template <class T>
    T whole(T part) const { return part / window; }
};

// Extremes fold by comparison; ties go to the newer value, as pandas' deque
// keeps the newest of equal values (visible only as the sign of a zero). A
// comparison with NaN is false, so NaN wins only as the newer value, in a
// vector lane as in a double.
template <bool Max>
struct ExtremeFold {
    const double* x;

    double value(std::size_t i) const { return x[i]; }
    template <class T>
    using PartOf = T;
    template <class T>
    static T pick(T older, T newer) {
        if constexpr (Max) {
            return older > newer ? older : newer;
        } else {
            return older < newer ? older : newer;
        }
    }
    template <class T>
    static T first(T v) { return v; }
    template <class T>
    static T append(T part, T v) { return pick(part, v); }
    template <class T>
    static T prepend(T v, T part) { return pick(v, part); }
    template <class T>
    static T newer(T part, std::size_t) { return part; }
    template <class T>
    static T merge(T older, T newer) { return pick(older, newer); }
    template <class T>
    static T whole(T part) { return part; }
};

// Plain and weighted sums of one part of a window, weights 1, 2, ... from
// its oldest value. Appending a newer value adds count * v; prepending an
// older one shifts every weight up by one, which adds the new plain sum. The
// count is the same in every lane.
template <class T>
struct WeightedSums {
    double count = 0.0;
    T plain{};
    T weighted{};
};

struct WeightedFold {
    const double* x;
    double divisor;  // w (w + 1) / 2, the sum of the weights

    double value(std::size_t i) const { return x[i]; }
    template <class T>
    using PartOf = WeightedSums<T>;
    template <class T>
    static WeightedSums<T> first(T v) { return {1.0, v, v}; }
    template <class T>
    static WeightedSums<T> append(WeightedSums<T> part, T v) {
        return {part.count + 1.0, part.plain + v, part.weighted + (part.count + 1.0) * v};
    }
    template <class T>
    static WeightedSums<T> prepend(T v, WeightedSums<T> part) {
        const T plain = part.plain + v;
        return {part.count + 1.0, plain, part.weighted + plain};
    }
    // the newer part's weights continue after the older part's count, which
    // the window's offset tells
    template <class T>
    static T newer(WeightedSums<T> part, std::size_t count) {
        return static_cast<double>(count) * part.plain + part.weighted;
    }
    template <class T>
    T merge(WeightedSums<T> older, T newer) const { return (older.weighted + newer) / divisor; }
    template <class T>
    T whole(WeightedSums<T> part) const { return part.weighted / divisor; }
};

}  // namespace BACKTEST_ISA
}  // namespace backtest::blocks
