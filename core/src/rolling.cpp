#include "backtest/rolling.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

namespace backtest::rolling {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

void fill_warm_up(std::size_t window, std::span<double> out) {
    std::fill(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(window - 1), kNaN);
}

// np.nan_to_num: NaN to 0, infinities to the largest finite values.
double clean(double v) {
    if (std::isnan(v)) return 0.0;
    if (std::isinf(v)) return v > 0 ? std::numeric_limits<double>::max() : std::numeric_limits<double>::lowest();
    return v;
}

}  // namespace

void sum(std::span<const double> x, std::size_t window, PrefixNan nan, std::span<double> out) {
    const std::size_t n = x.size();
    std::vector<double> prefix(n);
    double running = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        if (nan == PrefixNan::skip && std::isnan(x[i])) {
            prefix[i] = kNaN;
            continue;
        }
        running = i == 0 ? x[i] : running + x[i];
        prefix[i] = running;
    }
    fill_warm_up(window, out);
    out[window - 1] = prefix[window - 1] - 0.0;
    for (std::size_t i = window; i < n; ++i) out[i] = prefix[i] - prefix[i - window];
}

void mean(std::span<const double> x, std::size_t window, std::span<double> out) {
    const std::size_t n = x.size();
    std::vector<double> prefix(n + 1);
    prefix[0] = 0.0;
    for (std::size_t i = 0; i < n; ++i) prefix[i + 1] = i == 0 ? clean(x[0]) : prefix[i] + clean(x[i]);
    const auto w = static_cast<double>(window);
    fill_warm_up(window, out);
    for (std::size_t i = window; i <= n; ++i) out[i - 1] = (prefix[i] - prefix[i - window]) / w;
}

double pairwise_sum(const double* a, std::size_t n) {
    if (n < 8) {
        double res = -0.0;
        for (std::size_t i = 0; i < n; ++i) res += a[i];
        return res;
    }
    if (n <= 128) {
        double r[8];
        for (std::size_t j = 0; j < 8; ++j) r[j] = a[j];
        std::size_t i = 8;
        for (; i < n - (n % 8); i += 8) {
            for (std::size_t j = 0; j < 8; ++j) r[j] += a[i + j];
        }
        double res = ((r[0] + r[1]) + (r[2] + r[3])) + ((r[4] + r[5]) + (r[6] + r[7]));
        for (; i < n; ++i) res += a[i];
        return res;
    }
    std::size_t n2 = n / 2;
    n2 -= n2 % 8;
    return pairwise_sum(a, n2) + pairwise_sum(a + n2, n - n2);
}

double pairwise_mean(std::span<const double> x, std::size_t count) {
    return pairwise_sum(x.data(), x.size()) / static_cast<double>(count);
}

void ema(std::span<const double> x, std::size_t window, EmaSeed seed, std::span<double> out) {
    const std::size_t n = x.size();
    const double multiplier = 2.0 / (static_cast<double>(window) + 1.0);
    std::size_t start = window - 1;
    if (seed == EmaSeed::with_nan) {
        out[start] = pairwise_mean(x.first(window), window);
    } else {
        std::vector<double> filled(x.begin(), x.begin() + static_cast<std::ptrdiff_t>(window));
        std::size_t valid = 0;
        for (double& v : filled) {
            if (std::isnan(v)) v = 0.0; else ++valid;
        }
        if (valid > 0) {
            out[start] = pairwise_mean(filled, valid);
        } else {
            while (start < n && std::isnan(x[start])) out[start++] = kNaN;
            if (start < n) out[start] = x[start];
        }
    }
    for (std::size_t i = start + 1; i < n; ++i) out[i] = (x[i] - out[i - 1]) * multiplier + out[i - 1];
    fill_warm_up(window, out);
}

void wma(std::span<const double> x, std::size_t window, std::span<double> out) {
    const double divisor = static_cast<double>(window) * static_cast<double>(window + 1) / 2.0;
    fill_warm_up(window, out);
    for (std::size_t i = window - 1; i < x.size(); ++i) {
        double total = 0.0;
        for (std::size_t k = 0; k < window; ++k) total += x[i + 1 - window + k] * static_cast<double>(k + 1);
        out[i] = total / divisor;
    }
}

void stddev(std::span<const double> x, std::size_t window, std::span<double> out) {
    const auto w = static_cast<double>(window);
    fill_warm_up(window, out);
    for (std::size_t i = window - 1; i < x.size(); ++i) {
        double total = 0.0;
        for (std::size_t k = i + 1 - window; k <= i; ++k) total += clean(x[k]);
        const double average = total / w;
        double squares = 0.0;
        for (std::size_t k = i + 1 - window; k <= i; ++k) squares += (clean(x[k]) - average) * (clean(x[k]) - average);
        out[i] = std::sqrt(std::max(squares / w, 0.0));
    }
}

namespace {

template <class Better>
void extreme(std::span<const double> x, std::size_t window, std::span<double> out, Better better) {
    fill_warm_up(window, out);
    for (std::size_t i = window - 1; i < x.size(); ++i) {
        double best = x[i + 1 - window];
        for (std::size_t k = i + 2 - window; k <= i; ++k) {
            if (std::isnan(x[k]) || better(x[k], best)) best = std::isnan(best) ? best : x[k];
        }
        out[i] = best;
    }
}

}  // namespace

void min(std::span<const double> x, std::size_t window, std::span<double> out) {
    extreme(x, window, out, [](double a, double b) { return a < b; });
}

void max(std::span<const double> x, std::size_t window, std::span<double> out) {
    extreme(x, window, out, [](double a, double b) { return a > b; });
}

}  // namespace backtest::rolling
