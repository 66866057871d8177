// The block folds of simd/dispatch.hpp for one instruction set: this file is
// compiled once per set with BACKTEST_ISA naming it (and the compiler's flags
// for it), each copy in a namespace of its own.
#include "block_windows.hpp"
#include "simd/dispatch.hpp"
#include "summands.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <limits>
#include <utility>

namespace backtest::simd::BACKTEST_ISA {

namespace {

// The lanes of the block folds: one register's worth (wider vectors are
// split by the compiler into code far slower than the registers they stand
// for); the AVX-512 path keeps 256-bit lanes, whose transpositions cost less
// than the 512-bit ones (measured), and uses the wide registers where no
// values cross lanes.
#if defined(__AVX512F__)
constexpr std::size_t kVectorBytes = 32;
constexpr std::size_t kWideBytes = 64;
constexpr Path kPath = Path::avx512;
#elif defined(__AVX2__)
constexpr std::size_t kVectorBytes = 32;
constexpr std::size_t kWideBytes = 32;
constexpr Path kPath = Path::avx2;
#else
constexpr std::size_t kVectorBytes = 16;
constexpr std::size_t kWideBytes = 16;
constexpr Path kPath = Path::sse2;
#endif

using Vector = double __attribute__((vector_size(kVectorBytes)));
using Wide = double __attribute__((vector_size(kWideBytes)));
constexpr std::size_t kLanes = blocks::kLanesOf<Vector>;

// The transposed values and rows stay within the cache a core has to itself.
constexpr std::size_t kScratchCap = std::size_t{1} << 16;

// Windows up to this long take the extremes by doubling (log2 w passes over
// a chunk); longer ones fold blocks, whose cost does not grow with w. Where
// each pass handles only two values a step, the folds are faster already.
constexpr std::size_t kDoublingWindows = kPath == Path::sse2 ? 0 : 24;

std::size_t scratch(std::size_t window) {
    const std::size_t chunk = blocks::chunk_values(window, blocks::kChunkValues, kLanes);
    const std::size_t lanes = blocks::lanes_scratch<Vector>(window);
    const std::size_t doubling = window <= kDoublingWindows ? 2 * (chunk + window) : 0;
    return std::max(window >= 2 && lanes <= kScratchCap ? lanes : 0, doubling);
}

// Sums and extremes, one operation a value, gain from lanes only when a lane
// holds more than two values; with two, blocks folded four side by side are
// faster (measured).
double* plain_lanes(double* scratch) { return kLanes > 2 ? scratch : nullptr; }

template <class Fold>
void fold(const Fold& fold, const double* x, std::size_t n, std::size_t window, std::size_t begin, std::size_t end,
          double* out, double* scratch) {
    blocks::fold_range<Vector>(fold, window, n, begin, end, out, scratch, x);
}

void sums(const double* x, std::size_t n, std::size_t window, std::size_t begin, std::size_t end, double* out,
          double* scratch) {
    fold(blocks::SumFold{blocks::ReadAt{x}}, x, n, window, begin, end, out, plain_lanes(scratch));
}

void summand_sums(Summand summand, const double* x, std::size_t n, std::size_t window, std::size_t begin,
                  std::size_t end, double* out, double* scratch) {
    double* lanes = plain_lanes(scratch);
    switch (summand) {
        case Summand::magnitude:
            return fold(blocks::SumFold{summands::Magnitude{x}}, x, n, window, begin, end, out, lanes);
        case Summand::gain: return fold(blocks::SumFold{summands::Gain{x}}, x, n, window, begin, end, out, lanes);
        case Summand::loss: return fold(blocks::SumFold{summands::Loss{x}}, x, n, window, begin, end, out, lanes);
    }
}

void means(const double* x, std::size_t n, std::size_t window, std::size_t begin, std::size_t end, double* out,
           double* scratch) {
    fold(blocks::MeanFold{{{x}}, static_cast<double>(window)}, x, n, window, begin, end, out, scratch);
}

// Rolling extremes by doubling: level s holds the extreme of the s values
// ending at each position, level 2s pairs two of level s, and a window is
// the pair of its two overlapping power-of-two parts. Every step is one
// comparison of an older and a newer value, ties going to the newer, which
// gives the newest extreme value whatever the grouping: the same bits as
// the block folds, from loops that run along the series in whole vectors.
template <bool Max>
void doubling(const double* x, std::size_t window, std::size_t begin, std::size_t end, double* out,
              double* scratch) {
    using Pick = blocks::ExtremeFold<Max>;
    const std::size_t first = std::max(begin, window - 1);
    if (first >= end) return;
    const std::size_t low = first + 1 - window;  // the oldest value a window here reads
    const std::size_t count = end - low;
    const double* level = x + low;
    double* next = scratch;
    std::size_t span = 1;
    for (; span * 2 <= window; span *= 2) {
        // valid from position 2 span - 1 on, reading level's valid values only
        for (std::size_t i = 2 * span - 1; i < count; ++i) next[i] = Pick::pick(level[i - span], level[i]);
        level = next;
        next = next == scratch ? scratch + count : scratch;
    }
    const std::size_t rest = window - span;
    for (std::size_t i = first; i < end; ++i) out[i] = Pick::pick(level[i - low - rest], level[i - low]);
}

void minima(const double* x, std::size_t n, std::size_t window, std::size_t begin, std::size_t end, double* out,
            double* scratch) {
    if (window <= kDoublingWindows) return doubling<false>(x, window, begin, end, out, scratch);
    fold(blocks::ExtremeFold<false>{x}, x, n, window, begin, end, out, plain_lanes(scratch));
}

void maxima(const double* x, std::size_t n, std::size_t window, std::size_t begin, std::size_t end, double* out,
            double* scratch) {
    if (window <= kDoublingWindows) return doubling<true>(x, window, begin, end, out, scratch);
    fold(blocks::ExtremeFold<true>{x}, x, n, window, begin, end, out, plain_lanes(scratch));
}

void weighted(const double* x, std::size_t n, std::size_t window, std::size_t begin, std::size_t end, double* out,
              double* scratch) {
    const auto w = static_cast<double>(window);
    fold(blocks::WeightedFold{x, w * (w + 1.0) / 2.0}, x, n, window, begin, end, out, scratch);
}

// The value as the deviation sees it (rolling.cpp's deviation_input, a
// vector at a time): NaN counts as 0, a value whose square overflows
// becomes NaN.
Vector deviation_input(Vector v) {
    constexpr double largest = std::numeric_limits<double>::max();
    const Vector kept = v * v > largest ? std::numeric_limits<double>::quiet_NaN() : v;
    return v != v ? Vector{} : kept;
}

// Scratch for deviation_groups, 0 when it takes no lanes for the window.
std::size_t deviation_scratch(std::size_t window) {
    const std::size_t values = 6 * kLanes * window + window + kLanes;
    return kLanes > 2 && window >= kLanes && values <= kScratchCap ? values : 0;
}

// The variances of the windows ending in groups of kLanes whole blocks from
// `start` (a multiple of the window, at least one window in) to `end`, block
// j of a group in lane j, by the method of rolling.cpp's short_deviations:
// deviations from the first value of the window's newer block, summed from
// 0 forward over the newer prefix and backward over the older suffix, S1
// and S2 the older sums plus the newer; then the square roots in place.
void deviation_groups(const double* x, std::size_t window, std::size_t start, std::size_t end, double inverse,
                      double* out, double* scratch) {
    constexpr std::size_t N = kLanes;
    const auto address = reinterpret_cast<std::uintptr_t>(scratch);
    double* rows = scratch + (-address / sizeof(double)) % N;
    double* newer_plain = rows + N * window;
    double* newer_squares = newer_plain + N * window;
    double* older_plain = newer_squares + N * window;  // entry o: the suffix from offset o; entry window: 0
    double* older_squares = older_plain + N * (window + 1);
    double* newest = older_squares + N * (window + 1);
    std::array<Vector, N> tile;
    for (; start + N * window <= end; start += N * window) {
        const double* base = x + (start - window);
        blocks::for_each_tile<N>(window, [&](std::size_t k) {
            for (std::size_t j = 0; j < N; ++j) tile[j] = deviation_input(blocks::load<Vector>(base + j * window + k));
            blocks::transpose(tile);
            for (std::size_t t = 0; t < N; ++t) blocks::store(rows + (k + t) * N, tile[t]);
        });
        for (std::size_t k = 0; k < window; ++k) {
            const double v = base[N * window + k];
            newest[k] = deviation_input(Vector{} + v)[0];
        }
        const auto older = [rows](std::size_t k) { return blocks::load<Vector>(rows + k * N); };
        const auto own = [&](std::size_t k) {
            return blocks::shift_in(older(k), newest[k], std::make_index_sequence<N>());
        };
        const Vector anchor = own(0);
        Vector forward_plain{}, forward_squares{}, backward_plain{}, backward_squares{};
        blocks::store(older_plain + N * window, Vector{});
        blocks::store(older_squares + N * window, Vector{});
        for (std::size_t k = 0; k < window; ++k) {
            const Vector d = own(k) - anchor;
            forward_plain = forward_plain + d;
            forward_squares = forward_squares + d * d;
            blocks::store(newer_plain + k * N, forward_plain);
            blocks::store(newer_squares + k * N, forward_squares);
            const std::size_t o = window - 1 - k;  // the older block's offsets 1 .. window - 1, back to front
            if (o == 0) break;
            const Vector e = older(o) - anchor;
            backward_plain = backward_plain + e;
            backward_squares = backward_squares + e * e;
            blocks::store(older_plain + o * N, backward_plain);
            blocks::store(older_squares + o * N, backward_squares);
        }
        for (std::size_t k = 0; k < window; ++k) {
            const Vector plain = blocks::load<Vector>(older_plain + (k + 1) * N) + blocks::load<Vector>(newer_plain + k * N);
            const Vector squares =
                blocks::load<Vector>(older_squares + (k + 1) * N) + blocks::load<Vector>(newer_squares + k * N);
            blocks::store(newer_plain + k * N, (squares - plain * (plain * inverse)) * inverse);
        }
        double* block = out + start;
        blocks::for_each_tile<N>(window, [&](std::size_t k) {
            for (std::size_t t = 0; t < N; ++t) tile[t] = blocks::load<Vector>(newer_plain + (k + t) * N);
            blocks::transpose(tile);
            for (std::size_t j = 0; j < N; ++j) blocks::store(block + j * window + k, tile[j]);
        });
        for (std::size_t i = 0; i < N * window; ++i) block[i] = __builtin_sqrt(block[i] < 0.0 ? 0.0 : block[i]);
    }
}

// max(0, v) is v < 0 ? 0 : v, NaN kept; sqrt is exactly rounded on every
// path, and the file is built without errno for it, so that it vectorises.
void deviations(const double* older_plain, const double* older_squares, const double* newer_plain,
                const double* newer_squares, std::size_t size, double inverse, double* out) {
    for (std::size_t k = 0; k < size; ++k) {
        const double plain = older_plain[k] + newer_plain[k];
        const double squares = older_squares[k] + newer_squares[k];
        const double variance = (squares - plain * (plain * inverse)) * inverse;
        out[k] = __builtin_sqrt(variance < 0.0 ? 0.0 : variance);
    }
}

void map(formulas::Formula formula, const double* a, const double* b, const double* c, const double* d,
         double parameter, std::size_t n, double* out) {
    using enum formulas::Formula;
    switch (formula) {
        case mean_normalize: return formulas::apply<mean_normalize>(a, b, c, d, parameter, n, out);
        case minmax_normalize: return formulas::apply<minmax_normalize>(a, b, c, d, parameter, n, out);
        case zscore: return formulas::apply<zscore>(a, b, c, d, parameter, n, out);
        case tanh_argument: return formulas::apply<tanh_argument>(a, b, c, d, parameter, n, out);
        case sigmoid_exponent: return formulas::apply<sigmoid_exponent>(a, b, c, d, parameter, n, out);
        case logistic: return formulas::apply<logistic>(a, b, c, d, parameter, n, out);
        case share: return formulas::apply<share>(a, b, c, d, parameter, n, out);
        case share_of_total: return formulas::apply<share_of_total>(a, b, c, d, parameter, n, out);
        case strength: return formulas::apply<strength>(a, b, c, d, parameter, n, out);
        case strength_of_sums: return formulas::apply<strength_of_sums>(a, b, c, d, parameter, n, out);
        case strength_signal: return formulas::apply<strength_signal>(a, b, c, d, parameter, n, out);
        case upper_band: return formulas::apply<upper_band>(a, b, c, d, parameter, n, out);
        case lower_band: return formulas::apply<lower_band>(a, b, c, d, parameter, n, out);
        case difference: return formulas::apply<difference>(a, b, c, d, parameter, n, out);
    }
}

bool holds(const double* x, std::size_t count, bool infinite) { return blocks::holds<Wide>(x, count, infinite); }

void divide(double* values, std::size_t count, double divisor) {
    for (std::size_t i = 0; i < count; ++i) values[i] = values[i] / divisor;
}

}  // namespace

extern const Kernels kernels{kPath, kLanes, scratch, holds, sums, summand_sums, means, minima, maxima, weighted, deviations, deviation_scratch, deviation_groups, map, divide};

}  // namespace backtest::simd::BACKTEST_ISA
