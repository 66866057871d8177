// Per-bar performance of one strategy: leveraged positions, trades, net returns
// after the trading fee and their running sum, in one pass.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace backtest::performance {

// Fee paid per unit of position change, in percent.
inline constexpr double kFeePercent = 0.06;

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

}  // namespace backtest::performance
