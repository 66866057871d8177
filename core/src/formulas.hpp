// The element-wise formulas of the frame-level indicators, one row at a time,
// with the IEEE operations in the order of the column arithmetic they stand
// for. transforms.cpp applies them through simd::Kernels::map, which each
// instruction set's kernels run a vector of rows at a time.
#pragma once

#include <cstddef>

#include "backtest/transforms.hpp"

namespace backtest::formulas {

using transforms::kRangeGuard;

enum class Formula {
    mean_normalize,    // (a - b) / (d - c + guard): x, mean, min, max
    minmax_normalize,  // 2 * (a - b) / (c - b + guard) - 1: x, min, max
    zscore,            // (a - b) / c: x, mean, deviation
    tanh_argument,     // 0.01 * (a - b) / c
    sigmoid_exponent,  // -(a - b) / c
    logistic,          // 2 * (1 / (1 + a)) - 1
    share,             // 2 * (a / b) - 1: the L1 normalisation
    share_of_total,    // 2 * (a / p) - 1: the softmax, p the total
    strength,          // 100 - 100 / (1 + a / b): gain, loss
    strength_of_sums,  // strength(a / p, b / p): sums of gains and of losses, p the window
    strength_signal,   // (a - 50) / 50
    upper_band,        // a + p * b: mean, deviation
    lower_band,        // a - p * b
    difference,        // a - b
};

inline double share(double v, double total) { return 2.0 * (v / total) - 1.0; }
inline double strength(double gain, double loss) { return 100.0 - 100.0 / (1.0 + gain / loss); }
inline double strength_signal(double strength) { return (strength - 50.0) / 50.0; }

// out[i] = formula(a[i], b[i], c[i], d[i]) with the columns the formula
// reads (the others may be null) and p its parameter; out may be one of the
// inputs.
template <Formula F>
void apply(const double* a, const double* b, const double* c, const double* d, double p, std::size_t n,
           double* out) {
#pragma GCC ivdep
    for (std::size_t i = 0; i < n; ++i) {
        if constexpr (F == Formula::mean_normalize) out[i] = (a[i] - b[i]) / (d[i] - c[i] + kRangeGuard);
        if constexpr (F == Formula::minmax_normalize) out[i] = 2.0 * (a[i] - b[i]) / (c[i] - b[i] + kRangeGuard) - 1.0;
        if constexpr (F == Formula::zscore) out[i] = (a[i] - b[i]) / c[i];
        if constexpr (F == Formula::tanh_argument) out[i] = 0.01 * (a[i] - b[i]) / c[i];
        if constexpr (F == Formula::sigmoid_exponent) out[i] = -(a[i] - b[i]) / c[i];
        if constexpr (F == Formula::logistic) out[i] = 2.0 * (1.0 / (1.0 + a[i])) - 1.0;
        if constexpr (F == Formula::share) out[i] = share(a[i], b[i]);
        if constexpr (F == Formula::share_of_total) out[i] = share(a[i], p);
        if constexpr (F == Formula::strength) out[i] = strength(a[i], b[i]);
        if constexpr (F == Formula::strength_of_sums) out[i] = strength(a[i] / p, b[i] / p);
        if constexpr (F == Formula::strength_signal) out[i] = strength_signal(a[i]);
        if constexpr (F == Formula::upper_band) out[i] = a[i] + p * b[i];
        if constexpr (F == Formula::lower_band) out[i] = a[i] - p * b[i];
        if constexpr (F == Formula::difference) out[i] = a[i] - b[i];
    }
}

}  // namespace backtest::formulas
