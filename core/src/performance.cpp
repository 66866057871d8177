#include "backtest/performance.hpp"

#include <cmath>
#include <limits>

#include "backtest/rolling.hpp"

namespace backtest::performance {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// One step of the running sum: pandas replaces NaN by 0.0 before NumPy's
// sequential cumsum and puts NaN back afterwards; adding 0.0 (rather than
// skipping) keeps the sign of a zero sum exactly as that does.
double accumulate(double& running, double value) {
    const bool missing = std::isnan(value);
    running += missing ? 0.0 : value;
    return missing ? kNaN : running;
}

template <class Position>
void net_returns_of(std::span<const Position> pos, std::span<const double> price_chg, double leverage,
                    std::span<double> pnl, std::span<double> cumu) {
    const std::size_t n = pos.size();
    if (n == 0) return;
    double held = static_cast<double>(pos[0]) * leverage;
    pnl[0] = 0.0;
    cumu[0] = 0.0;
    double running = 0.0;
    for (std::size_t i = 1; i < n; ++i) {
        const double new_pos = static_cast<double>(pos[i]) * leverage;
        pnl[i] = bar_return(price_chg[i], held, new_pos);
        cumu[i] = accumulate(running, pnl[i]);
        held = new_pos;
    }
}

}  // namespace

Summary RunningSummary::finish(std::span<double> returns) const {
    const std::size_t n = bars_;
    Summary summary{};
    // the frame's running sum starts from 0.0, which differs from pandas'
    // cumsum only in the sign of a zero
    summary.final_cumu = n == 0 || missing_ ? kNaN : total_ + 0.0;
    summary.max_drawdown = deepest_ == kInfinity ? kNaN : deepest_;
    summary.recovery_days =
        deepest_ < 0.0 && recovered_ ? static_cast<double>(recovery_ - trough_) / kBarsPerDay : kNaN;

    returns = returns.first(n);
    const double mean = rolling::pairwise_mean(returns, n);
    double deviation = kNaN;
    if (n > 1) {
        for (double& value : returns) {
            const double difference = mean - value;
            value = difference * difference;
        }
        deviation = std::sqrt(rolling::pairwise_mean(returns, n - 1));
    }
    summary.deviation = deviation;
    summary.sharpe_ratio = deviation != 0.0 ? mean / deviation * std::sqrt(kBarsPerDay * kDaysPerYear) : 0.0;
    summary.annual_return = mean * kDaysPerYear * kBarsPerDay;
    summary.calmar_ratio = summary.max_drawdown != 0.0 ? summary.annual_return / std::fabs(summary.max_drawdown)
                                                       : std::numeric_limits<double>::infinity();
    return summary;
}

Summary summarize(std::span<double> returns) {
    RunningSummary running;
    for (double& value : returns) value = running.add(value);
    return running.finish(returns);
}

void net_returns(std::span<const double> pos, std::span<const double> price_chg, double leverage,
                 std::span<double> pnl, std::span<double> cumu) {
    net_returns_of(pos, price_chg, leverage, pnl, cumu);
}

void net_returns(std::span<const std::int64_t> pos, std::span<const double> price_chg, double leverage,
                 std::span<double> pnl, std::span<double> cumu) {
    net_returns_of(pos, price_chg, leverage, pnl, cumu);
}

}  // namespace backtest::performance
