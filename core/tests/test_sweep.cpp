#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <stdexcept>
#include <vector>

#include "backtest/performance.hpp"
#include "backtest/rolling.hpp"
#include "backtest/signals.hpp"
#include "backtest/sweep.hpp"

namespace {

using backtest::performance::Summary;
using backtest::performance::summarize;
namespace sweep = backtest::sweep;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

Summary summary_of(std::vector<double> returns) { return summarize(returns); }

// The report's steps one column at a time, in long double: running sums,
// running maxima, the lowest drawdown's first bar and its first recovery.
struct Reference {
    long double mean = 0, deviation = 0;
    double mdd = kNaN, recovery_days = kNaN;
};

Reference reference(const std::vector<double>& returns) {
    const std::size_t n = returns.size();
    std::vector<double> cumu(n), peak(n);
    Reference r;
    for (std::size_t i = 0; i < n; ++i) {
        cumu[i] = (i == 0 ? 0.0 : cumu[i - 1]) + returns[i];
        peak[i] = i == 0 ? cumu[0] : std::max(peak[i - 1], cumu[i]);
        r.mean += returns[i];
    }
    r.mean /= static_cast<long double>(n);
    for (double v : returns) r.deviation += (v - r.mean) * (v - r.mean);
    r.deviation = std::sqrt(r.deviation / static_cast<long double>(n - 1));
    std::size_t trough = 0;
    for (std::size_t i = 0; i < n; ++i) {
        if (cumu[i] - peak[i] < cumu[trough] - peak[trough]) trough = i;
    }
    r.mdd = cumu[trough] - peak[trough];
    for (std::size_t i = trough + 1; i < n && r.mdd < 0; ++i) {
        if (cumu[i] >= peak[trough]) {
            r.recovery_days = static_cast<double>(i - trough) / 24.0;
            break;
        }
    }
    return r;
}

TEST(SweepSummary, WorkedExampleAndEdges) {
    const Summary s = summary_of({0.0, 0.01, -0.02, 0.03});
    EXPECT_NEAR(s.sharpe_ratio, 22.4808, 1e-4);
    EXPECT_NEAR(s.annual_return, 43.8, 1e-12);
    EXPECT_DOUBLE_EQ(s.max_drawdown, -0.02);
    EXPECT_DOUBLE_EQ(s.recovery_days, 1.0 / 24.0);
    EXPECT_NEAR(s.calmar_ratio, 2190.0, 1e-9);

    const Summary none = summary_of({});
    for (double v : {none.sharpe_ratio, none.calmar_ratio, none.max_drawdown, none.recovery_days, none.annual_return,
                     none.final_cumu}) {
        EXPECT_TRUE(std::isnan(v));
    }
    const Summary one = summary_of({0.0});
    EXPECT_TRUE(std::isnan(one.sharpe_ratio));
    EXPECT_EQ(one.max_drawdown, 0.0);
    EXPECT_EQ(one.calmar_ratio, kInf);
    const Summary flat = summary_of({0.0, 0.0, 0.0});
    EXPECT_EQ(flat.deviation, 0.0);
    EXPECT_EQ(flat.sharpe_ratio, 0.0);
    EXPECT_TRUE(std::isnan(flat.recovery_days));
    // a NaN return counts as 0 in every figure but shows in the running sum of its bar
    const Summary gap = summary_of({0.0, 0.01, kNaN});
    EXPECT_TRUE(std::isnan(gap.final_cumu));
    EXPECT_NEAR(gap.annual_return, 0.01 / 3 * 8760, 1e-12);
}

TEST(SweepSummary, MatchesTheColumnWiseReference) {
    std::mt19937_64 random(7);
    for (const std::size_t n : {2u, 7u, 9u, 130u, 1000u, 4099u}) {
        std::normal_distribution<double> noise(0.0001 * static_cast<double>(n % 3), 0.01);
        std::vector<double> returns(n);
        for (double& v : returns) v = std::round(noise(random) * 1e4) / 1e4;  // ties among lows
        returns[0] = 0.0;
        const Reference r = reference(returns);
        const Summary s = summary_of(returns);
        EXPECT_NEAR(s.deviation, static_cast<double>(r.deviation), 1e-14) << n;
        EXPECT_NEAR(s.annual_return, static_cast<double>(r.mean) * 8760, 1e-12) << n;
        EXPECT_EQ(s.max_drawdown, r.mdd) << n;
        EXPECT_TRUE(s.recovery_days == r.recovery_days || (std::isnan(s.recovery_days) && std::isnan(r.recovery_days)));
    }
}

struct Data {
    std::vector<double> price_chg, signal, sma;
};

Data random_data(std::size_t n) {
    std::mt19937_64 random(11);
    std::normal_distribution<double> noise(0.0, 1.0);
    Data d{std::vector<double>(n), std::vector<double>(n), std::vector<double>(n)};
    for (std::size_t i = 0; i < n; ++i) {
        d.price_chg[i] = i == 0 ? 0.0 : noise(random) * 0.01;
        d.signal[i] = noise(random);
    }
    backtest::rolling::mean(d.signal, 5, d.sma);
    return d;
}

sweep::ThresholdWindow window_of(std::size_t window, const Data& d) {
    sweep::ThresholdWindow w;
    w.window = window;
    w.signal = d.signal;
    w.sma = d.sma;
    return w;
}

// Every mode reading no average but the simple one, with three thresholds.
std::vector<std::size_t> simple_modes() {
    std::vector<std::size_t> modes;
    for (std::size_t m = 0; m < backtest::signals::kThresholdModes.size(); ++m) {
        const auto average = backtest::signals::kThresholdModes[m].average;
        if (average == backtest::signals::Average::none || average == backtest::signals::Average::sma) modes.push_back(m);
    }
    return modes;
}

TEST(SweepEngine, RowsAreEachRunAloneForAnyThreadCount) {
    const Data d = random_data(3000);
    const sweep::Market market{d.price_chg, 200, 2900, 2.0};
    const std::vector<sweep::ThresholdWindow> windows{window_of(5, d), window_of(2950, d)};
    const std::vector<std::size_t> modes = simple_modes();
    const std::vector<double> thresholds{0.0, 0.5, 1.5};
    const sweep::ThresholdGrid grid{windows, modes, thresholds};
    std::vector<sweep::Figures> one(sweep::rows(grid)), three(sweep::rows(grid));
    sweep::evaluate(market, grid, one, 1);
    sweep::evaluate(market, grid, three, 3);
    ASSERT_EQ(std::memcmp(one.data(), three.data(), one.size() * sizeof(sweep::Figures)), 0);

    std::vector<backtest::signals::Entry> entries(3000);
    std::vector<double> returns(3000);
    for (std::size_t row = 0; row < one.size(); ++row) {
        const sweep::ThresholdWindow& w = windows[row / (modes.size() * 3)];
        const std::size_t mode = modes[row / 3 % modes.size()];
        const backtest::signals::Columns columns{std::span(d.signal).first(2900), std::span(d.sma).first(2900), {}, {},
                                                 thresholds[row % 3]};
        std::span<const backtest::signals::Entry> decided;
        if (w.window < 2900) {
            decided = std::span(entries).first(2900 - w.window);
            backtest::signals::decide_threshold(mode, columns, w.window, std::span(entries).first(2900 - w.window));
        }
        const sweep::Figures alone = sweep::figures_of(market, w.window, decided, returns);
        ASSERT_EQ(std::memcmp(&alone, &one[row], sizeof alone), 0) << row;
    }
    EXPECT_EQ(one.back().trades, 0);  // a window longer than the time window: flat throughout
}

TEST(SweepEngine, RefusesMisfitsAndStopsWhenCancelled) {
    const Data d = random_data(2000);
    const std::vector<sweep::ThresholdWindow> windows{window_of(5, d)};
    const std::vector<std::size_t> modes = simple_modes();
    const std::vector<double> thresholds(50, 1.0);
    const sweep::ThresholdGrid grid{windows, modes, thresholds};
    std::vector<sweep::Figures> out(sweep::rows(grid));
    EXPECT_THROW(sweep::evaluate({d.price_chg, 0, 2001}, grid, out, 1), std::invalid_argument);
    EXPECT_THROW(sweep::evaluate({std::span(d.price_chg).first(1999), 0, 10}, grid, out, 1), std::invalid_argument);
    EXPECT_THROW(sweep::evaluate({d.price_chg, 0, 10}, grid, std::span(out).first(3), 1), std::invalid_argument);
    EXPECT_THROW(sweep::evaluate({d.price_chg, 0, 10}, grid, out, 0), std::invalid_argument);

    sweep::Sweep running({d.price_chg, 0, 2000}, grid, out, 2);
    running.cancel();
    EXPECT_THROW(running.finish(), std::runtime_error);
    EXPECT_LT(running.done(), out.size());
}

}  // namespace
