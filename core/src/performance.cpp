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

// The deepest fall of a running sum below its running maximum, and where it
// recovers, fed one bar at a time. Bars are labelled by their position; the
// first of equal lowest points counts; a NaN sum is skipped (pandas skips it
// in cummax, min and idxmin alike).
class Drawdown {
public:
    void add(std::size_t bar, double cumu) {
        if (std::isnan(cumu)) [[unlikely]] return;
        peak_ = cumu > peak_ ? cumu : peak_;
        const double drawdown = cumu - peak_;
        if (!any_ || drawdown < deepest_) [[unlikely]] {
            any_ = true;
            deepest_ = drawdown;
            trough_ = bar;
            peak_at_trough_ = peak_;
            recovered_ = false;
        } else if (!recovered_ && cumu >= peak_at_trough_) [[unlikely]] {
            recovered_ = true;
            recovery_ = bar;
        }
    }

    double max_drawdown() const { return any_ ? deepest_ : kNaN; }
    double recovery_days() const {
        if (!(deepest_ < 0.0) || !recovered_) return kNaN;
        return static_cast<double>(recovery_ - trough_) / kBarsPerDay;
    }

private:
    double peak_ = -std::numeric_limits<double>::infinity();
    double deepest_ = 0.0;
    double peak_at_trough_ = 0.0;
    std::size_t trough_ = 0;
    std::size_t recovery_ = 0;
    bool recovered_ = false;
    bool any_ = false;
};

}  // namespace

Summary summarize(std::span<double> returns) {
    const std::size_t n = returns.size();
    // One sequential pass: the portfolio's returns (NaN as 0) stored back, their
    // running sum as pandas' cumsum forms it (from the first value itself,
    // which -0.0 + x is) and its drawdown.
    Drawdown drawdown;
    double total = -0.0;
    bool missing = false;
    for (std::size_t i = 0; i < n; ++i) {
        missing = std::isnan(returns[i]);
        if (missing) returns[i] = 0.0;
        total += returns[i];
        drawdown.add(i, total);
    }
    Summary summary{};
    // the frame's running sum starts from 0.0, which differs from pandas'
    // cumsum only in the sign of a zero
    summary.final_cumu = n == 0 || missing ? kNaN : total + 0.0;
    summary.max_drawdown = drawdown.max_drawdown();
    summary.recovery_days = drawdown.recovery_days();

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

void net_returns(std::span<const double> pos, std::span<const double> price_chg, double leverage,
                 std::span<double> pnl, std::span<double> cumu) {
    net_returns_of(pos, price_chg, leverage, pnl, cumu);
}

void net_returns(std::span<const std::int64_t> pos, std::span<const double> price_chg, double leverage,
                 std::span<double> pnl, std::span<double> cumu) {
    net_returns_of(pos, price_chg, leverage, pnl, cumu);
}

}  // namespace backtest::performance
