// What a window sum adds up when it is not the series itself: the
// magnitudes of the L1 normalisation and the gains and losses of the RSI.
// A reader gives the value at i, and the same values a vector at a time
// (`lanes`, for the block folds' vector lanes), with the same bits.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include "block_windows.hpp"

namespace backtest::summands {
inline namespace BACKTEST_ISA {

using blocks::load;

// change > 0 ? change : 0, and -(change < 0 ? change : 0), NaN giving 0 and
// -0. The compiler turns the selections into jumps around the addition where
// a sum reads them, and jumps on random signs are mostly mispredicted:
// maxsd and minsd (whose second operand wins on NaN and on equal zeros) keep
// them free of jumps. A vector's selections compile to the same operations.
inline double gain_of(double change) {
#ifdef __SSE2__
    return _mm_cvtsd_f64(_mm_max_sd(_mm_set_sd(change), _mm_setzero_pd()));
#else
    return change > 0.0 ? change : 0.0;
#endif
}

inline double loss_of(double change) {
#ifdef __SSE2__
    return -_mm_cvtsd_f64(_mm_min_sd(_mm_set_sd(change), _mm_setzero_pd()));
#else
    return -(change < 0.0 ? change : 0.0);
#endif
}

// Of the change x[i] - x[i - 1]; the first change, NaN, is no gain and a
// loss of -0 (spelled out: the compiler's folding of maxsd on a constant NaN
// is not the processor's).
inline double gain_of_change(const double* x, std::size_t i) { return i == 0 ? 0.0 : gain_of(x[i] - x[i - 1]); }
inline double loss_of_change(const double* x, std::size_t i) { return i == 0 ? -0.0 : loss_of(x[i] - x[i - 1]); }

// An infinity capped as rolling::mean reads it, for values that are never
// NaN nor below 0.
template <class T>
T capped(T v) {
    constexpr double largest = std::numeric_limits<double>::max();
    return largest < v ? T{} + largest : v;
}

// |x[i]|, the sign bit cleared as fabs clears it.
struct Magnitude {
    const double* x;
    double operator()(std::size_t i) const { return __builtin_fabs(x[i]); }
    template <class V>
    V lanes(const double* at) const {
        typedef std::int64_t Bits __attribute__((vector_size(sizeof(V))));
        return reinterpret_cast<V>(reinterpret_cast<Bits>(load<V>(at)) & std::numeric_limits<std::int64_t>::max());
    }
};

// The first values, one at a time: the change at 0 has no value before it.
template <class V, class Reader>
V first_lanes(const Reader& read) {
    V v;
    for (std::size_t j = 0; j < sizeof(V) / sizeof(double); ++j) v[j] = read(j);
    return v;
}

// The gains (IsGain) or the losses of the RSI as rolling::mean reads them.
template <bool IsGain>
struct Change {
    const double* x;
    double operator()(std::size_t i) const { return capped(IsGain ? gain_of_change(x, i) : loss_of_change(x, i)); }
    template <class V>
    V lanes(const double* at) const {
        if (at == x) [[unlikely]] return first_lanes<V>(*this);
        const V change = load<V>(at) - load<V>(at - 1);
        if constexpr (IsGain) {
            return capped(change > 0.0 ? change : V{});
        } else {
            return capped(-(change < 0.0 ? change : V{}));
        }
    }
};

using Gain = Change<true>;
using Loss = Change<false>;

}  // namespace BACKTEST_ISA
}  // namespace backtest::summands
