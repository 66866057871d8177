// Per-bar performance of one strategy: leveraged positions, trades, net returns
// after the trading fee and their running sum, in one pass; and the summary
// figures of a series of per-bar returns.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <span>

namespace backtest::performance {

// Fee paid per unit of position change, in percent.
inline constexpr double kFeePercent = 0.06;

// The fee of changing the (leveraged) position from `held` to `position`:
// trades * 0.06, then divided by 100.
inline double fee(double held, double position) { return std::fabs(position - held) * kFeePercent / 100.0; }

// The net return of a bar held at `held` from the previous bar and at
// `position` at its end: the price change earned on `held`, less the fee.
inline double bar_return(double price_chg, double held, double position) {
    return price_chg * held - fee(held, position);
}

// For every bar i >= 1, with new_pos = pos * leverage:
//   trades[i] = |new_pos[i] - new_pos[i-1]|
//   pnl[i]    = price_chg[i] * new_pos[i-1] - trades[i] * kFeePercent / 100
// and pnl[0] = 0: the first bar of a window neither pays for entering its
// position nor earns anything. cumu is the running sum of pnl as pandas'
// cumsum gives it: NaN stays NaN at its own bar and counts as 0 afterwards.
// Every product and sum is evaluated in the order written, so the values match
// the column-wise NumPy/pandas evaluation of the same formulas bit for bit.
// Integer positions are converted to double first, as NumPy converts them.
// Preconditions: pos, price_chg, pnl and cumu all have the same size; the
// outputs alias no input.
void net_returns(std::span<const double> pos, std::span<const double> price_chg, double leverage,
                 std::span<double> pnl, std::span<double> cumu);
void net_returns(std::span<const std::int64_t> pos, std::span<const double> price_chg, double leverage,
                 std::span<double> pnl, std::span<double> cumu);

// Bars are hours: 24 to a day, 365 days to a year.
inline constexpr double kBarsPerDay = 24.0;
inline constexpr double kDaysPerYear = 365.0;

// The figures of a portfolio whose per-bar returns are given, as the combined
// equity report computes them with pandas:
//   mean, deviation: NaN returns count as 0 (the portfolio sums the strategies'
//     returns with NaN as nothing); pairwise sums as NumPy reduces an array;
//     the deviation is the two-pass sample one (divisor n - 1), NaN below 2 bars.
//   sharpe_ratio = mean / deviation * sqrt(8760), or 0 when the deviation is 0.
//   annual_return = mean * 365 * 24.
//   max_drawdown: the lowest running sum less its running maximum, NaN for no bars.
//   recovery_days: from the first bar of that lowest point to the first later
//     bar back at or above the maximum it fell from, in bars / 24; NaN when
//     there is no drawdown or no recovery.
//   calmar_ratio = annual_return / |max_drawdown|, or +infinity when it is 0.
//   final_cumu: the running sum of the returns at the last bar (NaN when that
//     bar's return is NaN, NaN for no bars), as the processed frame shows it.
// The report prints the integer 0 as its Sharpe ratio when the deviation is 0,
// which `deviation` tells apart from a mean of 0.
struct Summary {
    double deviation;
    double sharpe_ratio;
    double calmar_ratio;
    double max_drawdown;
    double recovery_days;
    double annual_return;
    double final_cumu;
};

// The summary of `returns`, which it uses as scratch space: its values are
// overwritten.
Summary summarize(std::span<double> returns);

}  // namespace backtest::performance
