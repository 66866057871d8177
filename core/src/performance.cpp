#include "backtest/performance.hpp"

#include <cmath>
#include <limits>

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
        const double trades = std::fabs(new_pos - held);
        pnl[i] = price_chg[i] * held - trades * kFeePercent / 100.0;
        cumu[i] = accumulate(running, pnl[i]);
        held = new_pos;
    }
}

}  // namespace

void net_returns(std::span<const double> pos, std::span<const double> price_chg, double leverage,
                 std::span<double> pnl, std::span<double> cumu) {
    net_returns_of(pos, price_chg, leverage, pnl, cumu);
}

void net_returns(std::span<const std::int64_t> pos, std::span<const double> price_chg, double leverage,
                 std::span<double> pnl, std::span<double> cumu) {
    net_returns_of(pos, price_chg, leverage, pnl, cumu);
}

}  // namespace backtest::performance
