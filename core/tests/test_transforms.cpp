#include "backtest/transforms.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <memory>
#include <string>
#include <vector>

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

}  // namespace
