// Element-wise steps of the frame-level indicators over columns of doubles,
// and passes that fuse an indicator's rolling and element-wise steps.
//
// Each kernel computes out[i] from the i-th values of its inputs with the same
// IEEE operations, in the same order, as the column arithmetic it stands for
// (pandas Series arithmetic), so + - * / give the same bits; a fused pass
// gives the bits of its steps taken one by one. Exponentials and tanh are
// left to the caller, between the steps that prepare their arguments and the
// steps that use them. Division by zero gives infinity or NaN and NaN
// propagates.
// Preconditions (checked by callers): every input has out.size() values; out
// is either an input itself (each row is read before it is written) or apart
// from every input; a fused pass's windows are at least 1 and its outputs
// apart from x and from each other.
#pragma once

#include <cstddef>
#include <span>

namespace backtest::transforms {

using Column = std::span<const double>;
using Output = std::span<double>;

// Added to the range of a window so that a flat window does not divide by zero.
inline constexpr double kRangeGuard = 1e-09;

// (x - mean) / (max - min + 1e-09)
void mean_normalize(Column x, Column mean, Column min, Column max, Output out);

// 2 * (x - min) / (max - min + 1e-09) - 1
void minmax_normalize(Column x, Column min, Column max, Output out);

// (x - mean) / deviation, with no guard against a zero deviation.
void zscore(Column x, Column mean, Column deviation, Output out);

// 0.01 * (x - mean) / deviation: the argument of the tanh estimator, whose
// product with 0.01 comes first.
void tanh_estimator_argument(Column x, Column mean, Column deviation, Output out);

// -(x - mean) / deviation: the exponent of the z-score sigmoid.
void sigmoid_zscore_exponent(Column x, Column mean, Column deviation, Output out);

// 2 * (1 / (1 + e)) - 1 of an exponential e: the sigmoid mapped onto -1..1.
void logistic_signal(Column e, Output out);

// 2 * (e / total) - 1 with total the sum of e over every row, NaN rows skipped,
// summed pairwise in the order NumPy sums an array.
void softmax_signal(Column e, Output out);

// |x|
void absolute(Column x, Output out);

// 2 * (x / sum) - 1
void l1_normalize(Column x, Column sum, Output out);

// l1_normalize of x by the rolling sums of |x| over `window` values as
// rolling::sum forms them for a Series (NaN skipped by the running sum and NaN
// at its own position), in one pass without the magnitudes' and sums'
// columns. A window longer than x gives NaN.
void rolling_l1_normalize(Column x, std::size_t window, Output out);

// a - b
void difference(Column a, Column b, Output out);

// Of the changes x[i] - x[i-1] (the first is NaN): the positive changes, with
// every other change 0 ...
void gains(Column x, Output out);
// ... and the magnitudes of the negative changes, with every other change -0.0
// (the negation of a 0).
void losses(Column x, Output out);

// 100 - 100 / (1 + gain / loss): a zero loss gives 100 after a gain and NaN
// after none.
void rsi(Column gain, Column loss, Output out);

// (rsi - 50) / 50: the RSI mapped from 0..100 onto -1..1.
void rsi_signal(Column rsi, Output out);

// mean + multiplier * deviation and mean - multiplier * deviation.
void upper_band(Column mean, double multiplier, Column deviation, Output out);
void lower_band(Column mean, double multiplier, Column deviation, Output out);

// The RSI of x over `window` values and its signal (rsi - 50) / 50, as rsi
// and rsi_signal give them from rolling::mean of gains(x) and of losses(x),
// in one pass without those four columns. A window longer than x gives NaN.
void relative_strength(Column x, std::size_t window, Output rsi, Output signal);

// The columns of MACD: the short and long averages of the data, their
// difference, its signal average, and the difference minus the signal.
struct MacdColumns {
    Output ema_short;
    Output ema_long;
    Output macd;
    Output signal;
    Output histogram;
};

// The MACD columns of x, each average seeded as rolling::ema seeds a Series
// (NaN skipped), in one pass whose three averages advance side by side; the
// same bits as the averages and differences taken one by one. A window longer
// than x leaves its average NaN.
void macd(Column x, std::size_t short_window, std::size_t long_window, std::size_t signal_window,
          const MacdColumns& out);

}  // namespace backtest::transforms
