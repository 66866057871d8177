// Every instruction-set path of the kernels against the baseline path, bit
// for bit, and the extremes' methods against a naive scan on the series
// that are their worst cases.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "backtest/rolling.hpp"
#include "backtest/transforms.hpp"
#include "simd/dispatch.hpp"

namespace {

namespace rolling = backtest::rolling;
namespace simd = backtest::simd;
using Series = std::vector<double>;
using Kernel = std::function<void(std::span<const double>, std::size_t, std::span<double>)>;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

// Runs with the path's kernels, and puts back the ones in use before.
Series run_on(simd::Path path, const Kernel& kernel, const Series& x, std::size_t window) {
    const simd::Path before = simd::active().path;
    EXPECT_TRUE(simd::use(path));
    Series out(x.size(), -12345.0);
    kernel(x, window, out);
    simd::use(before);
    return out;
}

bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

std::size_t first_difference(const Series& a, const Series& b) {
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (!same_bits(a[i], b[i])) return i;
    }
    return a.size();
}

// A walk at a price level with a sprinkling of NaN, infinities and signed zeros.
Series walk_with_specials(std::size_t n, std::uint64_t seed) {
    std::mt19937_64 rng(seed);
    std::normal_distribution<double> step;
    std::uniform_int_distribution<int> pick(0, 400);
    Series x(n);
    double level = 1000.0;
    for (double& v : x) {
        level += step(rng);
        const int special = pick(rng);
        v = special == 0 ? kNaN : special == 1 ? kInf : special == 2 ? -kInf : special == 3 ? -0.0
            : special == 4 ? 0.0 : level;
    }
    return x;
}

struct Case {
    const char* name;
    Kernel kernel;
};

std::vector<Case> kernels() {
    return {
        {"sum_poison", [](auto x, auto w, auto o) { rolling::sum(x, w, rolling::PrefixNan::poison, o); }},
        {"sum_skip", [](auto x, auto w, auto o) { rolling::sum(x, w, rolling::PrefixNan::skip, o); }},
        {"magnitude_sums", [](auto x, auto w, auto o) { rolling::magnitude_sums(x, w, o, [](auto, auto) {}); }},
        {"mean", rolling::mean},
        {"ema", [](auto x, auto w, auto o) { rolling::ema(x, w, rolling::EmaSeed::skip_nan, o); }},
        {"wma", rolling::wma},
        {"stddev", rolling::stddev},
        {"min", rolling::min},
        {"max", rolling::max},
        {"rsi", [](auto x, auto w, auto o) {
             Series signal(o.size());
             backtest::transforms::relative_strength(x, w, o, signal);
         }},
        {"l1", backtest::transforms::rolling_l1_normalize},
    };
}

class EveryPath : public ::testing::TestWithParam<Case> {};

// Windows on both sides of every switch between methods (doubling, lanes,
// one block at a time) and lengths that end inside a group of lanes; runs
// with and without specials, so that clean chunks and cleaned ones both meet
// the vector code.
TEST_P(EveryPath, GivesTheBitsOfTheBaseline) {
    const Case& c = GetParam();
    for (std::size_t n : {1000, 4099, 30011}) {
        for (std::uint64_t seed : {1, 2}) {
            Series x = walk_with_specials(n, seed);
            if (seed == 2) {
                for (double& v : x) v = std::isfinite(v) ? v : 1.0;
            }
            for (std::size_t window : {1, 2, 3, 7, 14, 23, 24, 25, 50, 200, 999, 2500, 7000}) {
                if (window > n) continue;
                const Series baseline = run_on(simd::Path::sse2, c.kernel, x, window);
                for (simd::Path path : simd::kPaths) {
                    if (!simd::supported(path)) continue;
                    const Series got = run_on(path, c.kernel, x, window);
                    const std::size_t at = first_difference(got, baseline);
                    EXPECT_EQ(at, n) << c.name << " on " << simd::name_of(path) << " n=" << n << " w=" << window
                                     << " seed=" << seed << " first differs at " << at << ": "
                                     << (at < n ? got[at] : 0.0) << " against " << (at < n ? baseline[at] : 0.0);
                }
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Simd, EveryPath, ::testing::ValuesIn(kernels()),
                         [](const auto& info) { return std::string(info.param.name); });

// The sums of magnitudes read |x| a vector at a time: they are the Series
// sums of a column of |x|, with its NaN rule, on every path.
TEST(Simd, MagnitudeSumsAreTheSeriesSumsOfMagnitudes) {
    const Series x = walk_with_specials(4099, 3);
    Series magnitudes(x.size());
    for (std::size_t i = 0; i < x.size(); ++i) magnitudes[i] = std::fabs(x[i]);
    for (std::size_t window : {1, 2, 3, 5, 14, 50, 200, 999}) {
        const Series expected = run_on(simd::Path::sse2, [](auto v, auto w, auto o) {
            rolling::sum(v, w, rolling::PrefixNan::skip, o);
        }, magnitudes, window);
        for (simd::Path path : simd::kPaths) {
            if (!simd::supported(path)) continue;
            const Series got = run_on(path, [](auto v, auto w, auto o) {
                rolling::magnitude_sums(v, w, o, [](auto, auto) {});
            }, x, window);
            EXPECT_EQ(first_difference(got, expected), x.size()) << simd::name_of(path) << " w=" << window;
        }
    }
}

// ---- extremes: the data that cost a deque or a rescan most ----

Series naive_extremes(const Series& x, std::size_t window, bool is_max) {
    Series out(x.size(), kNaN);
    for (std::size_t i = window - 1; i < x.size(); ++i) {
        double best = x[i + 1 - window];
        for (std::size_t k = i + 2 - window; k <= i; ++k) {
            // ties to the newest, as in the kernels
            if (is_max ? !(best > x[k]) : !(best < x[k])) best = x[k];
        }
        out[i] = best;
    }
    return out;
}

Series shaped(const std::string& shape, std::size_t n) {
    Series x(n);
    for (std::size_t i = 0; i < n; ++i) {
        const auto t = static_cast<double>(i);
        if (shape == "rising") x[i] = t;
        if (shape == "falling") x[i] = -t;
        if (shape == "zeros") x[i] = i % 3 == 0 ? -0.0 : 0.0;
        if (shape == "sawtooth") x[i] = static_cast<double>(i % 37);
        if (shape == "valley") x[i] = std::fabs(t - static_cast<double>(n) / 2);
    }
    return x;
}

class Extremes : public ::testing::TestWithParam<const char*> {};

TEST_P(Extremes, MatchANaiveScanOnEveryPath) {
    const Series x = shaped(GetParam(), 3001);
    for (bool is_max : {false, true}) {
        const Kernel kernel = is_max ? Kernel(rolling::max) : Kernel(rolling::min);
        for (std::size_t window : {1, 2, 5, 16, 24, 25, 64, 200, 1500}) {
            const Series expected = naive_extremes(x, window, is_max);
            for (simd::Path path : simd::kPaths) {
                if (!simd::supported(path)) continue;
                const Series got = run_on(path, kernel, x, window);
                const std::size_t at = first_difference(got, expected);
                EXPECT_EQ(at, x.size()) << GetParam() << (is_max ? " max" : " min") << " on "
                                        << simd::name_of(path) << " w=" << window << " first differs at " << at;
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Simd, Extremes, ::testing::Values("rising", "falling", "zeros", "sawtooth", "valley"));

// ---- the choice of a path ----

struct Choice {
    simd::Path widest;
    const char* requested;
    simd::Path chosen;
};

class Choose : public ::testing::TestWithParam<Choice> {};

TEST_P(Choose, TakesTheRequestedPathOnlyWhenSupported) {
    EXPECT_EQ(simd::choose(GetParam().widest, GetParam().requested), GetParam().chosen);
}

INSTANTIATE_TEST_SUITE_P(
    Simd, Choose,
    ::testing::Values(Choice{simd::Path::avx512, nullptr, simd::Path::avx512},
                      Choice{simd::Path::avx512, "sse2", simd::Path::sse2},
                      Choice{simd::Path::avx512, "avx2", simd::Path::avx2},
                      Choice{simd::Path::avx2, "avx512", simd::Path::avx2},
                      Choice{simd::Path::avx2, "AVX2", simd::Path::avx2},
                      Choice{simd::Path::sse2, "", simd::Path::sse2}));

TEST(Simd, EveryPathTheProcessorSupportsHasItsKernels) {
    EXPECT_TRUE(simd::supported(simd::Path::sse2));
    for (simd::Path path : simd::kPaths) {
        const simd::Kernels* kernels = simd::kernels_for(path);
        EXPECT_EQ(kernels != nullptr, simd::supported(path)) << simd::name_of(path);
        if (kernels != nullptr) {
            EXPECT_EQ(kernels->path, path);
        }
    }
}

}  // namespace
