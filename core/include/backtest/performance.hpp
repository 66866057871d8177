// Per-bar performance of one strategy: leveraged positions, trades, net returns
// after the trading fee and their running sum, in one pass; and the summary
// figures of a series of per-bar returns.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
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

// A summary fed one bar at a time: the sequential part (running sum and
// drawdown) as the bars come, the rest from the stored returns at the end.
// Kept as a local of the loop that feeds it, its state stays in registers.
class RunningSummary {
public:
    // Takes the next bar's return; gives it as the portfolio counts it (NaN as
    // 0), which the caller stores for `finish`.
    double add(double value) {
        missing_ = std::isnan(value);
        const double counted = missing_ ? 0.0 : value;
        // pandas' cumsum starts from the first value itself, which -0.0 + x is
        total_ += counted;
        track_drawdown(total_);
        ++bars_;
        return counted;
    }

    // The figures, given the values `add` returned, in order; overwrites them.
    Summary finish(std::span<double> returns) const;

private:
    // The deepest fall of the running sum below its running maximum and where
    // it recovers: the first of equal lowest points counts, and bars are
    // labelled by position. A NaN sum (only infinities of both signs make one)
    // fails every comparison here, so it is skipped, as pandas skips it in
    // cummax, min and idxmin.
    void track_drawdown(double cumu) {
        peak_ = cumu > peak_ ? cumu : peak_;
        const double drawdown = cumu - peak_;
        if (drawdown < deepest_) [[unlikely]] {
            deepest_ = drawdown;
            trough_ = bars_;
            peak_at_trough_ = peak_;
            recovered_ = false;
        } else if (!recovered_ && cumu >= peak_at_trough_) [[unlikely]] {
            recovered_ = true;
            recovery_ = bars_;
        }
    }

    static constexpr double kInfinity = std::numeric_limits<double>::infinity();

    double total_ = -0.0;
    double peak_ = -kInfinity;
    double deepest_ = kInfinity;  // until a first drawdown
    double peak_at_trough_ = 0.0;
    std::size_t bars_ = 0;
    std::size_t trough_ = 0;
    std::size_t recovery_ = 0;
    bool missing_ = false;
    bool recovered_ = false;
};

// The summary of `returns`, which it uses as scratch space: its values are
// overwritten.
Summary summarize(std::span<double> returns);

}  // namespace backtest::performance
