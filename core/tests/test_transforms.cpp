#include "backtest/transforms.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <functional>
#include <limits>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "backtest/rolling.hpp"

namespace {

namespace tf = backtest::transforms;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

using Values = std::vector<double>;

// Equal values, NaN where expected NaN, and the sign of zero kept.
void expect_same(const Values& actual, const Values& expected) {
    ASSERT_EQ(actual.size(), expected.size());
    for (std::size_t i = 0; i < actual.size(); ++i) {
        if (std::isnan(expected[i])) {
            EXPECT_TRUE(std::isnan(actual[i])) << "at " << i << ": " << actual[i];
        } else {
            EXPECT_EQ(actual[i], expected[i]) << "at " << i;
            EXPECT_EQ(std::signbit(actual[i]), std::signbit(expected[i])) << "sign at " << i;
        }
    }
}

// One element-wise kernel over a few rows, each row a case worth pinning down.
struct Case {
    std::string name;
    std::function<void(tf::Output)> run;
    Values expected;
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

class ElementWise : public ::testing::TestWithParam<Case> {};

TEST_P(ElementWise, GivesTheExpectedRows) {
    const Case& c = GetParam();
    Values out(c.expected.size(), -12345.0);
    c.run(out);
    expect_same(out, c.expected);
}

// Inputs live as long as the test program, so the kernels' spans stay valid.
const Values& rows(Values values) {
    static std::vector<std::unique_ptr<Values>> kept;
    kept.push_back(std::make_unique<Values>(std::move(values)));
    return *kept.back();
}

INSTANTIATE_TEST_SUITE_P(
    Transforms, ElementWise,
    ::testing::Values(
        // a flat window divides by the guard alone
        Case{"mean_normalize",
             [](tf::Output out) {
                 tf::mean_normalize(rows({5, 6, 3, kNaN}), rows({5, 5, 2, 1}), rows({5, 5, 1, 1}), rows({5, 5, 3, 1}),
                                    out);
             },
             {0.0, 1.0 / 1e-09, 1.0 / (2.0 + 1e-09), kNaN}},
        Case{"minmax_normalize",
             [](tf::Output out) {
                 tf::minmax_normalize(rows({5, 1, 3, 2}), rows({5, 1, 1, kNaN}), rows({5, 3, 3, 4}), out);
             },
             {-1.0, -1.0, 2.0 * 2.0 / (2.0 + 1e-09) - 1.0, kNaN}},
        // no guard: a zero deviation gives infinity or NaN
        Case{"zscore",
             [](tf::Output out) { tf::zscore(rows({1, 2, 0, 4}), rows({1, 1, 1, 2}), rows({0, 0, 0, 2}), out); },
             {kNaN, kInf, -kInf, 1.0}},
        // the exponential of 0 gives 0, an infinite one -1, a vanishing one 1
        Case{"logistic_signal", [](tf::Output out) { tf::logistic_signal(rows({1, kInf, 0, kNaN, 3}), out); },
             {0.0, -1.0, 1.0, kNaN, -0.5}},
        Case{"l1_normalize", [](tf::Output out) { tf::l1_normalize(rows({2, -4, 0, 3}), rows({4, 4, 0, kNaN}), out); },
             {0.0, -3.0, kNaN, kNaN}},
        // a changeless window gives NaN, a lossless one 100, a gainless one 0
        Case{"rsi", [](tf::Output out) { tf::rsi(rows({0, 2, 0, 1, kNaN, 1e300}), rows({0, 0, 3, 1, 1, 1e-300}), out); },
             {kNaN, 100.0, 0.0, 50.0, kNaN, 100.0}},
        Case{"upper_band",
             [](tf::Output out) { tf::upper_band(rows({2, 2, 2}), 0.0, rows({1, 0.5, kInf}), out); },
             {2.0, 2.0, kNaN}},
        Case{"lower_band", [](tf::Output out) { tf::lower_band(rows({2, 2, kNaN}), 2.0, rows({1, 0.5, 1}), out); },
             {0.0, 1.0, kNaN}},
        // the first change is NaN and counts as neither; losses of no fall are -0.0
        Case{"gains", [](tf::Output out) { tf::gains(rows({1, 3, 2, 2, kNaN, 5}), out); },
             {0.0, 2.0, 0.0, 0.0, 0.0, 0.0}},
        Case{"losses", [](tf::Output out) { tf::losses(rows({1, 3, 2, 2, kNaN, 5}), out); },
             {-0.0, -0.0, 1.0, -0.0, -0.0, -0.0}}),
    [](const ::testing::TestParamInfo<Case>& info) { return info.param.name; });

TEST(Transforms, EmptyColumnsWriteNothing) {
    const Values none;
    Values out;
    tf::softmax_signal(none, out);
    tf::gains(none, out);
    tf::mean_normalize(none, none, none, none, out);
}

double total_share(const Values& signal) {
    double total = 0.0;
    for (double v : signal) total += std::isnan(v) ? 0.0 : (v + 1.0) / 2.0;
    return total;
}

TEST(Softmax, EqualValuesShareTheTotalAndNaNRowsAreSkipped) {
    Values e{kNaN, 1, 1, 1, kNaN, 1};
    tf::softmax_signal(e, e);
    expect_same(e, {kNaN, -0.5, -0.5, -0.5, kNaN, -0.5});
}

class SoftmaxLength : public ::testing::TestWithParam<std::size_t> {};

// Lengths on both sides of the blocks of the pairwise summation.
TEST_P(SoftmaxLength, SharesOfTheValidRowsAddUpToOne) {
    const std::size_t n = GetParam();
    Values e(n);
    for (std::size_t i = 0; i < n; ++i) e[i] = i % 17 == 3 ? kNaN : std::exp(-static_cast<double>(i % 7));
    Values out(n);
    tf::softmax_signal(e, out);
    EXPECT_NEAR(total_share(out), 1.0, 1e-12);
    for (std::size_t i = 0; i < n; ++i) {
        EXPECT_EQ(std::isnan(out[i]), std::isnan(e[i])) << i;
        if (!std::isnan(out[i])) {
            EXPECT_TRUE(out[i] >= -1.0 && out[i] <= 1.0) << i;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Transforms, SoftmaxLength, ::testing::Values(1, 7, 8, 9, 128, 129, 1000, 70001));

// ---- fused passes against their steps taken one by one ----

Values random_values(std::size_t n, double special_share, unsigned seed) {
    std::mt19937_64 rng(seed);
    std::normal_distribution<double> normal(100.0, 10.0);
    std::uniform_real_distribution<double> uniform(0.0, 1.0);
    const double specials[] = {kNaN, kInf, -kInf};
    Values x(n);
    for (double& v : x) v = uniform(rng) < special_share ? specials[static_cast<int>(uniform(rng) * 3.0)] : normal(rng);
    return x;
}

// rolling::ema with the all-NaN result of a window longer than the series.
Values series_ema(const Values& x, std::size_t window) {
    Values out(x.size(), kNaN);
    if (window <= x.size()) backtest::rolling::ema(x, window, backtest::rolling::EmaSeed::skip_nan, out);
    return out;
}

Values difference(const Values& a, const Values& b) {
    Values out(a.size());
    tf::difference(a, b, out);
    return out;
}

struct Fused {
    std::size_t rows;
    double special_share;
};

class FusedPasses : public ::testing::TestWithParam<Fused> {};

TEST_P(FusedPasses, MacdGivesTheBitsOfItsSteps) {
    const auto [n, share] = GetParam();
    const Values x = random_values(n, share, static_cast<unsigned>(n));
    for (const auto& [fast, slow, signal] : {std::array<std::size_t, 3>{1, 1, 1}, {2, 5, 3}, {5, 3, 9}, {12, 26, 9},
                                             {3, n + 1, 2}, {2, 4, n + 5}}) {
        SCOPED_TRACE(std::to_string(fast) + "," + std::to_string(slow) + "," + std::to_string(signal));
        std::array<Values, 5> out;
        for (Values& column : out) column.assign(n, -12345.0);
        tf::macd(x, fast, slow, signal, {out[0], out[1], out[2], out[3], out[4]});
        const Values macd = difference(series_ema(x, fast), series_ema(x, slow));
        const Values signal_line = series_ema(macd, signal);
        expect_same(out[0], series_ema(x, fast));
        expect_same(out[1], series_ema(x, slow));
        expect_same(out[2], macd);
        expect_same(out[3], signal_line);
        expect_same(out[4], difference(macd, signal_line));
    }
}

// Windows of a few rows, of more rows than a fused pass's chunk, of all rows
// and of more.
std::vector<std::size_t> windows_for(std::size_t rows) {
    return {1, 2, 3, 14, 2100, std::max<std::size_t>(rows, 1), rows + 1};
}

// rolling::mean with the all-NaN result of a window longer than the series.
Values rolling_mean(const Values& x, std::size_t window) {
    Values out(x.size(), kNaN);
    if (window <= x.size()) backtest::rolling::mean(x, window, out);
    return out;
}

TEST_P(FusedPasses, RelativeStrengthGivesTheBitsOfItsSteps) {
    const auto [n, share] = GetParam();
    const Values x = random_values(n, share, static_cast<unsigned>(n) + 1);
    for (std::size_t window : windows_for(n)) {
        SCOPED_TRACE(window);
        Values gains(n), losses(n), rsi(n), signal(n);
        tf::gains(x, gains);
        tf::losses(x, losses);
        tf::rsi(rolling_mean(gains, window), rolling_mean(losses, window), rsi);
        tf::rsi_signal(rsi, signal);
        Values fused_rsi(n, -12345.0), fused_signal(n, -12345.0);
        tf::relative_strength(x, window, fused_rsi, fused_signal);
        expect_same(fused_rsi, rsi);
        expect_same(fused_signal, signal);
    }
}

TEST_P(FusedPasses, RollingL1NormalizeGivesTheBitsOfItsSteps) {
    const auto [n, share] = GetParam();
    const Values x = random_values(n, share, static_cast<unsigned>(n) + 2);
    for (std::size_t window : windows_for(n)) {
        SCOPED_TRACE(window);
        Values magnitudes(n), expected(n, kNaN);
        tf::absolute(x, magnitudes);
        if (window <= n) backtest::rolling::sum(magnitudes, window, backtest::rolling::PrefixNan::skip, expected);
        tf::l1_normalize(x, expected, expected);
        Values fused(n, -12345.0);
        tf::rolling_l1_normalize(x, window, fused);
        expect_same(fused, expected);
    }
}

INSTANTIATE_TEST_SUITE_P(Transforms, FusedPasses,
                         ::testing::Values(Fused{0, 0.0}, Fused{7, 0.0}, Fused{300, 0.0}, Fused{300, 0.02},
                                           Fused{5000, 0.0}, Fused{5000, 0.001}, Fused{60, 0.5}));

}  // namespace
