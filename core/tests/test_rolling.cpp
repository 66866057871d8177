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

// A window's sum accurate far beyond double precision (long double, and no
// overflow there), with what the kernels may differ from it: (w - 1) * 2^-53
// times the sum of the magnitudes, plus the reference's own rounding. NaN as
// tolerance where any result goes: the magnitudes overflow a double, so the
// order of the additions decides whether a partial sum does.
struct WindowSum {
    double value;
    double tolerance;
};

WindowSum naive_window_sum(const double* a, std::size_t w) {
    long double total = 0.0L;
    long double magnitude = 0.0L;
    bool nan = false, up = false, down = false;
    for (std::size_t k = 0; k < w; ++k) {
        nan = nan || std::isnan(a[k]);
        up = up || a[k] == kInf;
        down = down || a[k] == -kInf;
        if (std::isfinite(a[k])) {
            total += a[k];
            magnitude += std::fabs(static_cast<long double>(a[k]));
        }
    }
    if (nan || (up && down)) return {kNaN, 0.0};
    if (up || down) return {up ? kInf : -kInf, 0.0};
    if (magnitude > kMax) return {0.0, kNaN};
    const auto bound = static_cast<double>(magnitude) * (static_cast<double>(w - 1) * 0x1p-53 + 0x1p-60);
    return {static_cast<double>(total), bound};
}

struct Reference {
    Series value;
    Series tolerance;  // 0: bit for bit; NaN: anything goes
};

// Each window summed on its own from read(x[k]); NaN where the rule of a
// series marks it.
Reference naive_sums(const Series& x, std::size_t window, const std::function<double(double)>& read,
                     const std::function<bool(std::size_t)>& marked) {
    Series values(x.size());
    std::transform(x.begin(), x.end(), values.begin(), read);
    Reference ref{Series(x.size(), kNaN), Series(x.size(), 0.0)};
    for (std::size_t i = window - 1; i < x.size(); ++i) {
        const WindowSum sum = naive_window_sum(&values[i + 1 - window], window);
        ref.value[i] = marked(i) ? kNaN : sum.value;
        ref.tolerance[i] = marked(i) ? 0.0 : sum.tolerance;
    }
    return ref;
}

// NumPy's cumsum: NaN from the first NaN on.
Reference naive_sum_poison(const Series& x, std::size_t window) {
    const auto first = static_cast<std::size_t>(std::find_if(x.begin(), x.end(), [](double v) { return std::isnan(v); }) -
                                                x.begin());
    return naive_sums(x, window, [](double v) { return v; }, [first](std::size_t i) { return i >= first; });
}

// pandas' cumsum: NaN counts as 0, but the two windows reading the NaN prefix sum are NaN.
Reference naive_sum_skip(const Series& x, std::size_t window) {
    return naive_sums(
        x, window, [](double v) { return std::isnan(v) ? 0.0 : v; },
        [&x, window](std::size_t i) { return std::isnan(x[i]) || (i >= window && std::isnan(x[i - window])); });
}

Reference naive_mean(const Series& x, std::size_t window) {
    Reference ref = naive_sums(x, window, nan_to_num, [](std::size_t) { return false; });
    const auto w = static_cast<double>(window);
    for (std::size_t i = 0; i < x.size(); ++i) {
        ref.value[i] /= w;
        ref.tolerance[i] = ref.tolerance[i] / w + std::abs(ref.value[i]) * 0x1p-53;
    }
    return ref;
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

// Finite results within the reference's tolerance, the others the same.
void expect_within(const Series& got, const Reference& ref, const std::string& where) {
    ASSERT_EQ(got.size(), ref.value.size()) << where;
    for (std::size_t i = 0; i < got.size(); ++i) {
        if (std::isnan(ref.tolerance[i])) continue;
        if (!std::isfinite(ref.value[i]) || ref.tolerance[i] == 0.0) {
            ASSERT_TRUE(same(got[i], ref.value[i])) << where << " at " << i << ": " << got[i] << " vs " << ref.value[i];
            continue;
        }
        ASSERT_LE(std::abs(got[i] - ref.value[i]), ref.tolerance[i])
            << where << " at " << i << ": " << got[i] << " vs " << ref.value[i];
    }
}

// ---- every kernel against its twin ----

using Naive = std::function<Reference(const Series&, std::size_t)>;

struct Case {
    const char* name;
    Kernel kernel;
    Naive naive;
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

// The scale of a window's terms: the twin's own error bound is relative to it.
Series magnitude(const Series& x, std::size_t window) {
    return per_window(x, window, [](const double* a, std::size_t n) {
        double total = 1e-300;
        for (std::size_t k = 0; k < n; ++k) total += std::abs(nan_to_num(a[k]));
        return total / static_cast<double>(n);
    });
}

Naive bit_for_bit(std::function<Series(const Series&, std::size_t)> naive) {
    return [naive](const Series& x, std::size_t w) { return Reference{naive(x, w), Series(x.size(), 0.0)}; };
}

// within 1e-13 of the mean magnitude of the window's terms
Naive close_to(std::function<double(const double*, std::size_t)> naive) {
    return [naive](const Series& x, std::size_t w) {
        Reference ref{per_window(x, w, naive), magnitude(x, w)};
        for (double& t : ref.tolerance) t *= 1e-13;
        return ref;
    };
}

Naive extreme_of(bool is_max) {
    return bit_for_bit([is_max](const Series& x, std::size_t w) {
        return per_window(x, w, [is_max](const double* a, std::size_t n) { return naive_extreme(a, n, is_max); });
    });
}

void sum_poison(std::span<const double> x, std::size_t w, std::span<double> o) {
    rolling::sum(x, w, rolling::PrefixNan::poison, o);
}

void sum_skip(std::span<const double> x, std::size_t w, std::span<double> o) {
    rolling::sum(x, w, rolling::PrefixNan::skip, o);
}

std::vector<Case> cases() {
    return {
        {"sum_poison", sum_poison, naive_sum_poison},
        {"sum_skip", sum_skip, naive_sum_skip},
        {"mean", rolling::mean, naive_mean},
        {"min", rolling::min, extreme_of(false)},
        {"max", rolling::max, extreme_of(true)},
        {"wma", rolling::wma, close_to(naive_wma)},
        {"stddev", rolling::stddev, close_to(naive_std)},
        // sequential and pairwise sums agree below 8 values, so the seed is exact there
        {"ema_short", [](auto x, auto w, auto o) { rolling::ema(x, std::min<std::size_t>(w, 7), rolling::EmaSeed::with_nan, o); },
         bit_for_bit([](const Series& x, std::size_t w) { return with_nan_seed_ema(x, std::min<std::size_t>(w, 7)); })},
    };
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
                expect_within(run(c.kernel, x, window), c.naive(x, window), where);
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
        Worked{"sum", sum_poison, {kNaN, 3, 5, 7}},
        Worked{"mean", rolling::mean, {kNaN, 1.5, 2.5, 3.5}},
        Worked{"wma", rolling::wma, {kNaN, 5.0 / 3.0, 8.0 / 3.0, 11.0 / 3.0}},
        Worked{"stddev", rolling::stddev, {kNaN, 0.5, 0.5, 0.5}},
        Worked{"ema", [](auto x, auto w, auto o) { rolling::ema(x, w, rolling::EmaSeed::with_nan, o); },
               {kNaN, 1.5, 2.5, 3.5}},
        Worked{"min", rolling::min, {kNaN, 1, 2, 3}}, Worked{"max", rolling::max, {kNaN, 2, 3, 4}}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- window sums: each window from its own values ----

class WindowSums : public ::testing::TestWithParam<Case> {};

// A spike, an infinity or a NaN among ordinary prices reaches only the
// windows holding it: every other window gives the bits it gives when the
// spike is 0 (NaN as each rule places it), and every window agrees with the
// naive sum.
TEST_P(WindowSums, ASpikeReachesOnlyTheWindowsHoldingIt) {
    const Case& c = GetParam();
    const bool poison = std::string(c.name) == "sum_poison";
    const bool skip = std::string(c.name) == "sum_skip";
    std::mt19937_64 rng(17);
    const Series walk = random_walk(rng, 700, 3e4, 0.5);
    const std::size_t at = 123;
    for (double spike : {1e15, -1e15, 1e300, kInf, -kInf, kNaN}) {
        Series x = walk;
        x[at] = spike;
        Series twin = walk;
        twin[at] = 0.0;
        for (std::size_t window : {1, 2, 3, 14, 50, 200, 699, 700}) {
            const std::string where = std::string(c.name) + " spike=" + std::to_string(spike) +
                                      " w=" + std::to_string(window);
            const Series got = run(c.kernel, x, window);
            expect_within(got, c.naive(x, window), where);
            const Series quiet = run(c.kernel, twin, window);
            for (std::size_t i = window - 1; i < x.size(); ++i) {
                const bool holds = i >= at && i < at + window;
                if (std::isnan(spike) && poison && i >= at) {
                    ASSERT_TRUE(std::isnan(got[i])) << where << " at " << i;
                } else if (std::isnan(spike) && skip && (i == at || i == at + window)) {
                    ASSERT_TRUE(std::isnan(got[i])) << where << " at " << i;
                } else if (!holds || std::isnan(spike)) {
                    ASSERT_TRUE(same(got[i], quiet[i])) << where << " at " << i << ": " << got[i] << " vs " << quiet[i];
                }
            }
        }
    }
}

// Sums of small integers are exact whatever the order of the additions, so
// every window gives exactly the naive sum (and the mean its correctly
// rounded quotient).
TEST_P(WindowSums, SmallIntegersAreExact) {
    const Case& c = GetParam();
    std::mt19937_64 rng(23);
    std::uniform_int_distribution<int> draw(-1000, 1000);
    Series x(3000);
    for (double& v : x) v = draw(rng);
    for (std::size_t window : {1, 2, 7, 14, 50, 200, 2048, 2999, 3000}) {
        Reference exact = c.naive(x, window);
        std::fill(exact.tolerance.begin(), exact.tolerance.end(), 0.0);
        expect_within(run(c.kernel, x, window), exact, std::string(c.name) + " w=" + std::to_string(window));
    }
}

// Long walks at a price level, where running totals lose digits to the level:
// every window within the bound of its own exactly rounded sum.
TEST_P(WindowSums, AccurateOnALongWalkAtAPriceLevel) {
    const Case& c = GetParam();
    std::mt19937_64 rng(29);
    const Series x = random_walk(rng, 200000, 3e4, 0.5);
    for (std::size_t window : {14, 50, 200}) {
        expect_within(run(c.kernel, x, window), c.naive(x, window), std::string(c.name) + " w=" + std::to_string(window));
    }
}

// the first three cases: the window sums
std::vector<Case> sum_cases() {
    std::vector<Case> all = cases();
    all.resize(3);
    return all;
}

INSTANTIATE_TEST_SUITE_P(Rolling, WindowSums, ::testing::ValuesIn(sum_cases()),
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
