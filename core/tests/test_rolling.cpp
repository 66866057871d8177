// Each kernel against a slow, obviously right twin over every window of
// random series sprinkled with NaN and infinities, plus the properties the
// kernels promise beyond agreement (exact zeros, accuracy at high levels,
// confinement of non-finite values).
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "backtest/rolling.hpp"

namespace {

namespace rolling = backtest::rolling;
using Series = std::vector<double>;
using Kernel = std::function<void(std::span<const double>, std::size_t, std::span<double>)>;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kMax = std::numeric_limits<double>::max();

Series run(const Kernel& kernel, const Series& x, std::size_t window) {
    Series out(x.size(), -12345.0);
    kernel(x, window, out);
    return out;
}

// ---- naive twins, one window at a time ----

Series per_window(const Series& x, std::size_t window, const std::function<double(const double*, std::size_t)>& f) {
    Series out(x.size(), kNaN);
    for (std::size_t i = window - 1; i < x.size(); ++i) out[i] = f(&x[i + 1 - window], window);
    return out;
}

double nan_to_num(double v) { return std::isnan(v) ? 0.0 : std::clamp(v, -kMax, kMax); }

double naive_wma(const double* a, std::size_t w) {
    double total = 0.0;
    for (std::size_t k = 0; k < w; ++k) total += static_cast<double>(k + 1) * a[k];
    return total / (static_cast<double>(w) * static_cast<double>(w + 1) / 2.0);
}

double naive_std(const double* a, std::size_t w) {
    double total = 0.0;
    for (std::size_t k = 0; k < w; ++k) {
        const double v = nan_to_num(a[k]);
        if (std::isinf(v * v)) return kNaN;
        total += v;
    }
    const double mean = total / static_cast<double>(w);
    double squares = 0.0;
    for (std::size_t k = 0; k < w; ++k) squares += (nan_to_num(a[k]) - mean) * (nan_to_num(a[k]) - mean);
    return std::sqrt(squares / static_cast<double>(w));
}

// pandas counts NaN and infinities as missing
double naive_extreme(const double* a, std::size_t w, bool is_max) {
    double best = a[0];
    for (std::size_t k = 0; k < w; ++k) {
        if (!std::isfinite(a[k])) return kNaN;
        if (is_max ? a[k] > best : a[k] < best) best = a[k];
    }
    return best;
}

// NumPy's cumsum followed by differences w apart (poisoning), or pandas'
// NaN-skipping cumsum.
Series naive_sum(const Series& x, std::size_t window, bool skip) {
    Series prefix(x.size());
    double running = 0.0;
    for (std::size_t i = 0; i < x.size(); ++i) {
        const bool missing = skip && std::isnan(x[i]);
        running = i == 0 ? (missing ? 0.0 : x[i]) : running + (missing ? 0.0 : x[i]);
        prefix[i] = missing ? kNaN : running;
    }
    Series out(x.size(), kNaN);
    for (std::size_t i = window - 1; i < x.size(); ++i) out[i] = prefix[i] - (i >= window ? prefix[i - window] : 0.0);
    return out;
}

Series naive_mean(const Series& x, std::size_t window) {
    Series cleaned(x.size());
    std::transform(x.begin(), x.end(), cleaned.begin(), nan_to_num);
    Series out = naive_sum(cleaned, window, false);
    for (double& v : out) v /= static_cast<double>(window);
    return out;
}

// ---- comparisons ----

bool same(double a, double b) { return (std::isnan(a) && std::isnan(b)) || a == b; }

void expect_same(const Series& got, const Series& expected, const std::string& where) {
    ASSERT_EQ(got.size(), expected.size()) << where;
    for (std::size_t i = 0; i < got.size(); ++i) {
        ASSERT_TRUE(same(got[i], expected[i])) << where << " at " << i << ": " << got[i] << " vs " << expected[i];
    }
}

void expect_close(const Series& got, const Series& expected, const Series& scale, double tolerance,
                  const std::string& where) {
    ASSERT_EQ(got.size(), expected.size()) << where;
    for (std::size_t i = 0; i < got.size(); ++i) {
        if (!std::isfinite(expected[i])) {
            ASSERT_TRUE(same(got[i], expected[i])) << where << " at " << i << ": " << got[i] << " vs " << expected[i];
            continue;
        }
        ASSERT_LE(std::abs(got[i] - expected[i]), tolerance * scale[i])
            << where << " at " << i << ": " << got[i] << " vs " << expected[i];
    }
}

Series random_series(std::mt19937_64& rng, std::size_t n, double special_share, double level = 0.0) {
    std::normal_distribution<double> normal(level, 100.0);
    std::uniform_real_distribution<double> uniform(0.0, 1.0);
    const double specials[] = {kNaN, kInf, -kInf};
    Series x(n);
    for (double& v : x) {
        v = uniform(rng) < special_share ? specials[static_cast<int>(uniform(rng) * 3.0)] : normal(rng);
    }
    return x;
}

Series random_walk(std::mt19937_64& rng, std::size_t n, double level, double step) {
    std::normal_distribution<double> normal(0.0, step);
    Series x(n);
    double v = level;
    for (double& value : x) value = v += normal(rng);
    return x;
}

// ---- every kernel against its twin ----

struct Case {
    const char* name;
    Kernel kernel;
    std::function<Series(const Series&, std::size_t)> naive;
    bool exact;  // bit for bit, else relative to the twin's scale
};

Series with_nan_seed_ema(const Series& x, std::size_t window) {
    Series out(x.size(), kNaN);
    const double multiplier = 2.0 / (static_cast<double>(window) + 1.0);
    double total = 0.0;
    for (std::size_t k = 0; k < window; ++k) total += x[k];
    double previous = total / static_cast<double>(window);
    out[window - 1] = previous;
    for (std::size_t i = window; i < x.size(); ++i) out[i] = previous = (x[i] - previous) * multiplier + previous;
    return out;
}

std::vector<Case> cases() {
    return {
        {"sum_poison", [](auto x, auto w, auto o) { rolling::sum(x, w, rolling::PrefixNan::poison, o); },
         [](const Series& x, std::size_t w) { return naive_sum(x, w, false); }, true},
        {"sum_skip", [](auto x, auto w, auto o) { rolling::sum(x, w, rolling::PrefixNan::skip, o); },
         [](const Series& x, std::size_t w) { return naive_sum(x, w, true); }, true},
        {"mean", rolling::mean, naive_mean, true},
        {"min", rolling::min,
         [](const Series& x, std::size_t w) {
             return per_window(x, w, [](const double* a, std::size_t n) { return naive_extreme(a, n, false); });
         },
         true},
        {"max", rolling::max,
         [](const Series& x, std::size_t w) {
             return per_window(x, w, [](const double* a, std::size_t n) { return naive_extreme(a, n, true); });
         },
         true},
        {"wma", rolling::wma, [](const Series& x, std::size_t w) { return per_window(x, w, naive_wma); }, false},
        {"stddev", rolling::stddev, [](const Series& x, std::size_t w) { return per_window(x, w, naive_std); },
         false},
        // sequential and pairwise sums agree below 8 values, so the seed is exact there
        {"ema_short", [](auto x, auto w, auto o) { rolling::ema(x, std::min<std::size_t>(w, 7), rolling::EmaSeed::with_nan, o); },
         [](const Series& x, std::size_t w) { return with_nan_seed_ema(x, std::min<std::size_t>(w, 7)); }, true},
    };
}

// The scale of a window's terms: the twin's own error bound is relative to it.
Series magnitude(const Series& x, std::size_t window) {
    return per_window(x, window, [](const double* a, std::size_t n) {
        double total = 1e-300;
        for (std::size_t k = 0; k < n; ++k) total += std::abs(nan_to_num(a[k]));
        return total / static_cast<double>(n);
    });
}

class AgainstNaive : public ::testing::TestWithParam<Case> {};

TEST_P(AgainstNaive, EveryWindowOfRandomSeriesWithSpecials) {
    const Case& c = GetParam();
    std::mt19937_64 rng(2024);
    for (std::size_t n : {1, 2, 3, 8, 13, 40, 129}) {
        for (double share : {0.0, 0.05, 0.3}) {
            const Series x = random_series(rng, n, share);
            for (std::size_t window = 1; window <= n; ++window) {
                const std::string where = std::string(c.name) + " n=" + std::to_string(n) +
                                          " w=" + std::to_string(window) + " share=" + std::to_string(share);
                const Series got = run(c.kernel, x, window);
                const Series expected = c.naive(x, window);
                if (c.exact) {
                    expect_same(got, expected, where);
                } else {
                    expect_close(got, expected, magnitude(x, window), 1e-13, where);
                }
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Rolling, AgainstNaive, ::testing::ValuesIn(cases()),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- the worked example: 1, 2, 3, 4 with a window of 2 ----

struct Worked {
    const char* name;
    Kernel kernel;
    Series expected;
};

class WorkedExample : public ::testing::TestWithParam<Worked> {};

TEST_P(WorkedExample, OneToFourWindowTwo) {
    const Series got = run(GetParam().kernel, {1, 2, 3, 4}, 2);
    expect_same(got, GetParam().expected, GetParam().name);
}

INSTANTIATE_TEST_SUITE_P(
    Rolling, WorkedExample,
    ::testing::Values(
        Worked{"sum", [](auto x, auto w, auto o) { rolling::sum(x, w, rolling::PrefixNan::poison, o); },
               {kNaN, 3, 5, 7}},
        Worked{"mean", rolling::mean, {kNaN, 1.5, 2.5, 3.5}},
        Worked{"wma", rolling::wma, {kNaN, 5.0 / 3.0, 8.0 / 3.0, 11.0 / 3.0}},
        Worked{"stddev", rolling::stddev, {kNaN, 0.5, 0.5, 0.5}},
        Worked{"ema", [](auto x, auto w, auto o) { rolling::ema(x, w, rolling::EmaSeed::with_nan, o); },
               {kNaN, 1.5, 2.5, 3.5}},
        Worked{"min", rolling::min, {kNaN, 1, 2, 3}}, Worked{"max", rolling::max, {kNaN, 2, 3, 4}}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- window 1 ----

TEST(RollingWindows, WindowOneReturnsTheInputWhereTheKernelsPromiseIt) {
    std::mt19937_64 rng(7);
    const Series x = random_series(rng, 300, 0.0, 1e4);
    expect_same(run(rolling::wma, x, 1), x, "wma");
    expect_same(run(rolling::min, x, 1), x, "min");
    expect_same(run(rolling::max, x, 1), x, "max");
    expect_same(run(rolling::stddev, x, 1), Series(x.size(), 0.0), "stddev");
}

// ---- ema seeds ----

TEST(RollingEma, NanSkippingSeedMovesToTheFirstValidValue) {
    const Kernel skipping = [](auto s, auto w, auto o) { rolling::ema(s, w, rolling::EmaSeed::skip_nan, o); };
    expect_same(run(skipping, {kNaN, kNaN, kNaN, 5.0, 8.0}, 2), {kNaN, kNaN, kNaN, 5.0, (8.0 - 5.0) * (2.0 / 3.0) + 5.0},
                "moved seed");
    expect_same(run(skipping, {kNaN, 4.0, 6.0, 9.0}, 3), {kNaN, kNaN, 5.0, (9.0 - 5.0) * 0.5 + 5.0}, "skipped NaN");
    expect_same(run(skipping, {kNaN, kNaN, kNaN}, 2), {kNaN, kNaN, kNaN}, "no valid value at all");
}

// ---- deviation: exactness and stability ----

TEST(RollingStddev, EqualValuesGiveExactlyZero) {
    std::mt19937_64 rng(11);
    const Series levels = {3.0, 3e4, 0.1, -7.3e9, 123456789.0};
    for (double level : levels) {
        Series x = random_walk(rng, 50, level, 0.5);
        std::fill(x.begin() + 20, x.begin() + 35, level);  // a constant stretch after varying values
        for (std::size_t window : {1, 2, 5, 15}) {
            const Series got = run(rolling::stddev, x, window);
            for (std::size_t i = 19 + window; i < 35; ++i) EXPECT_EQ(got[i], 0.0) << level << " w=" << window;
        }
    }
}

TEST(RollingStddev, AccurateOnARandomWalkAtAHighLevel) {
    std::mt19937_64 rng(3);
    const Series x = random_walk(rng, 1000000, 3e4, 0.5);
    for (std::size_t window : {2, 20}) {
        const Series got = run(rolling::stddev, x, window);
        const Series two_pass = per_window(x, window, naive_std);
        for (std::size_t i = window - 1; i < x.size(); ++i) {
            ASSERT_LE(std::abs(got[i] - two_pass[i]), 1e-9 * two_pass[i] + 1e-12 * 3e4) << window << " at " << i;
        }
    }
}

TEST(RollingStddev, LongSeriesAgreeWithTwoPassesAcrossChunkEdges) {
    std::mt19937_64 rng(13);
    const Series x = random_series(rng, 5000, 0.01, 50.0);
    for (std::size_t window : {3, 7, 2047, 2048, 2049, 4999}) {
        expect_close(run(rolling::stddev, x, window), per_window(x, window, naive_std), magnitude(x, window), 1e-13,
                     "stddev w=" + std::to_string(window));
    }
}

TEST(RollingStddev, OverflowingSquareMakesOnlyItsWindowsNan) {
    for (double huge : {kInf, -kInf, 1e200, -kMax}) {
        const Series x = {1, 2, 3, huge, 4, 5, 6, 7};
        const Series got = run(rolling::stddev, x, 3);
        for (std::size_t i = 3; i < 6; ++i) EXPECT_TRUE(std::isnan(got[i])) << huge << " at " << i;
        EXPECT_DOUBLE_EQ(got[7], std::sqrt(2.0 / 3.0)) << huge;
        EXPECT_DOUBLE_EQ(got[2], std::sqrt(2.0 / 3.0)) << huge;
    }
}

// ---- weighted average: accuracy and confinement ----

class RollingWmaAccuracy : public ::testing::TestWithParam<double> {};

TEST_P(RollingWmaAccuracy, WithinTinyShareOfTheWeightedMeanMagnitude) {
    std::mt19937_64 rng(5);
    std::normal_distribution<double> normal(GetParam(), 1.0);
    Series x(100000);
    for (double& v : x) v = normal(rng);
    x[5000] = 1e12;  // leaves no residue behind once it leaves the window
    for (std::size_t window : {2, 50, 300}) {
        expect_close(run(rolling::wma, x, window), per_window(x, window, naive_wma), magnitude(x, window), 1e-12,
                     "wma w=" + std::to_string(window));
    }
}

INSTANTIATE_TEST_SUITE_P(Rolling, RollingWmaAccuracy, ::testing::Values(0.0, 1e4));

TEST(RollingWma, NonFiniteValuesStayInTheirWindows) {
    const Series x = {1, 2, kInf, 3, 4, 5, kNaN, 6, 7, 8, -kInf, kInf, 9, 10, 11};
    const Series got = run(rolling::wma, x, 2);
    expect_same(got, {kNaN, 5.0 / 3, kInf, kInf, 11.0 / 3, 14.0 / 3, kNaN, kNaN, 20.0 / 3, 23.0 / 3, -kInf, kNaN,
                      kInf, 29.0 / 3, 32.0 / 3},
                "wma");
}

// ---- extremes ----

TEST(RollingExtremes, TiesGoToTheNewestValue) {
    const Series x = {0.0, -0.0, -1.0, -0.0, 0.0};
    const Series high = run(rolling::max, x, 2);
    EXPECT_TRUE(std::signbit(high[1]));
    EXPECT_FALSE(std::signbit(high[4]));
    const Series low = run(rolling::min, {-0.0, 0.0, 1.0}, 2);
    EXPECT_FALSE(std::signbit(low[1]));
}

}  // namespace
