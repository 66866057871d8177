#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "backtest/performance.hpp"

namespace {

using backtest::performance::net_returns;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

struct Returns {
    std::vector<double> pnl;
    std::vector<double> cumu;
};

// The column-wise steps, one whole column at a time, as the pandas version
// evaluates them: positions, trades, returns, then the NaN-masked cumsum.
Returns column_wise(const std::vector<double>& pos, const std::vector<double>& price_chg, double leverage) {
    const std::size_t n = pos.size();
    std::vector<double> new_pos(n), trades(n, 0.0);
    Returns r{std::vector<double>(n, 0.0), std::vector<double>(n)};
    for (std::size_t i = 0; i < n; ++i) new_pos[i] = pos[i] * leverage;
    for (std::size_t i = 1; i < n; ++i) trades[i] = std::fabs(new_pos[i] - new_pos[i - 1]);
    for (std::size_t i = 1; i < n; ++i) r.pnl[i] = price_chg[i] * new_pos[i - 1] - trades[i] * 0.06 / 100;
    std::vector<double> masked(n);
    for (std::size_t i = 0; i < n; ++i) masked[i] = std::isnan(r.pnl[i]) ? 0.0 : r.pnl[i];
    for (std::size_t i = 0; i < n; ++i) r.cumu[i] = i == 0 ? masked[0] : r.cumu[i - 1] + masked[i];
    for (std::size_t i = 0; i < n; ++i) r.cumu[i] = std::isnan(r.pnl[i]) ? kNaN : r.cumu[i];
    return r;
}

Returns kernel(const std::vector<double>& pos, const std::vector<double>& price_chg, double leverage) {
    Returns r{std::vector<double>(pos.size(), -1.0), std::vector<double>(pos.size(), -1.0)};
    net_returns(pos, price_chg, leverage, r.pnl, r.cumu);
    return r;
}

// Same bits, NaN equal to NaN: the results must match exactly, signed zeros included.
void expect_bitwise_equal(const std::vector<double>& a, const std::vector<double>& b) {
    ASSERT_EQ(a.size(), b.size());
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (std::isnan(a[i]) && std::isnan(b[i])) continue;
        EXPECT_EQ(std::memcmp(&a[i], &b[i], sizeof(double)), 0) << "at " << i << ": " << a[i] << " vs " << b[i];
    }
}

TEST(PerformanceNetReturns, WorkedExample) {
    const Returns r = kernel({0, 1, 1, -1, 0}, {0.0, 0.01, 0.02, -0.01, 0.03}, 2.0);
    const std::vector<double> pnl{0.0, -0.0012, 0.04, -0.0224, -0.0612};
    const std::vector<double> cumu{0.0, -0.0012, 0.0388, 0.0164, -0.0448};
    for (std::size_t i = 0; i < pnl.size(); ++i) {
        EXPECT_NEAR(r.pnl[i], pnl[i], 1e-15);
        EXPECT_NEAR(r.cumu[i], cumu[i], 1e-15);
    }
    EXPECT_EQ(r.pnl[1], 0.01 * 0.0 - 2.0 * 0.06 / 100);
}

class PerformanceRandom : public ::testing::TestWithParam<std::size_t> {};

TEST_P(PerformanceRandom, MatchColumnWiseEvaluation) {
    // Ordinary values with some NaN, infinities and signed zeros among them.
    std::mt19937_64 engine(GetParam());
    std::uniform_int_distribution<int> position(-2, 2);
    std::normal_distribution<double> change(0.0, 0.02);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    const std::array<double, 4> special{kNaN, kInf, -kInf, -0.0};
    const auto draw = [&](double ordinary) {
        return unit(engine) < 0.08 ? special[static_cast<std::size_t>(unit(engine) * 4.0)] : ordinary;
    };
    const std::size_t n = GetParam();
    std::vector<double> pos(n), price_chg(n);
    for (std::size_t i = 0; i < n; ++i) {
        pos[i] = draw(position(engine));
        price_chg[i] = draw(change(engine));
    }
    const double leverage = n % 3 == 0 ? -0.0 : 0.5 + 4.0 * unit(engine);
    const Returns expected = column_wise(pos, price_chg, leverage);
    const Returns actual = kernel(pos, price_chg, leverage);
    expect_bitwise_equal(actual.pnl, expected.pnl);
    expect_bitwise_equal(actual.cumu, expected.cumu);
}

TEST_P(PerformanceRandom, IntegerPositionsAsTheirDoubles) {
    std::mt19937_64 engine(GetParam());
    std::uniform_int_distribution<std::int64_t> position(-3, 3);
    std::normal_distribution<double> change(0.0, 0.02);
    const std::size_t n = GetParam();
    std::vector<std::int64_t> pos(n);
    std::vector<double> as_double(n), price_chg(n);
    for (std::size_t i = 0; i < n; ++i) {
        pos[i] = position(engine);
        as_double[i] = static_cast<double>(pos[i]);
        price_chg[i] = change(engine);
    }
    Returns actual{std::vector<double>(n), std::vector<double>(n)};
    net_returns(std::span<const std::int64_t>(pos), price_chg, 2.5, actual.pnl, actual.cumu);
    const Returns expected = kernel(as_double, price_chg, 2.5);
    expect_bitwise_equal(actual.pnl, expected.pnl);
    expect_bitwise_equal(actual.cumu, expected.cumu);
}

INSTANTIATE_TEST_SUITE_P(PerformanceSizes, PerformanceRandom, ::testing::Values(0, 1, 2, 3, 7, 20, 257, 10000));

}  // namespace
