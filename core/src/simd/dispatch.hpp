// The kernels that gain from wider vectors, compiled once for each
// instruction set (simd/kernels.cpp) and chosen once, when the library is
// loaded, for the processor it runs on: the widest it supports, or the one
// the environment variable BACKTEST_SIMD names (sse2, avx2 or avx512) when
// the processor supports that one.
//
// Every path gives the same bits: a vector lane folds one window with the
// operations of the scalar fold in their order, and no path fuses a
// multiplication into an addition.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

#include "formulas.hpp"

namespace backtest::simd {

enum class Path { sse2, avx2, avx512 };

// What a window sum adds up besides x itself: |x[i]|, and the gain and the
// loss of the change x[i] - x[i - 1] as the RSI's averages read them.
enum class Summand { magnitude, gain, loss };

inline constexpr Path kPaths[] = {Path::sse2, Path::avx2, Path::avx512};

struct Kernels {
    Path path;
    // blocks of `window` values folded side by side
    std::size_t lanes;
    // scratch values the kernels below take for a window, over the chunks of
    // blocks::for_each_chunk (blocks::kChunkValues values, `lanes` blocks at
    // least), or 0 when they need none for that window (they then fold one
    // block at a time, with the same results)
    std::size_t (*scratch)(std::size_t window);
    // blocks::holds
    bool (*holds)(const double* x, std::size_t count, bool infinite);
    // blocks::fold_range of the window sums of x[i], of its extremes, and of
    // its weighted mean, over the windows ending at [begin, end)
    void (*sums)(const double* x, std::size_t n, std::size_t window, std::size_t begin, std::size_t end, double* out,
                 double* scratch);
    // the same sums of the summand read from x (summands.hpp)
    void (*summand_sums)(Summand summand, const double* x, std::size_t n, std::size_t window, std::size_t begin,
                         std::size_t end, double* out, double* scratch);
    // the same sums, each divided by the window as it is made
    void (*means)(const double* x, std::size_t n, std::size_t window, std::size_t begin, std::size_t end,
                  double* out, double* scratch);
    void (*minima)(const double* x, std::size_t n, std::size_t window, std::size_t begin, std::size_t end,
                   double* out, double* scratch);
    void (*maxima)(const double* x, std::size_t n, std::size_t window, std::size_t begin, std::size_t end,
                   double* out, double* scratch);
    void (*weighted)(const double* x, std::size_t n, std::size_t window, std::size_t begin, std::size_t end,
                     double* out, double* scratch);
    // The population deviations of `size` windows from the sums of their
    // deviations from an anchor, S1 = older_plain + newer_plain and S2 the
    // same of the squares: sqrt(max((S2 - S1 (S1 / w)) / w, 0)), NaN kept,
    // with inverse = 1 / w. older_plain may be out itself.
    void (*deviations)(const double* older_plain, const double* older_squares, const double* newer_plain,
                       const double* newer_squares, std::size_t size, double inverse, double* out);
    // The deviations of the windows ending in [start, end), both multiples of
    // `lanes` windows from the first window on, with deviation_scratch(window)
    // values of scratch (0: this path has no lanes for the window): the bits
    // of the scalar passes.
    std::size_t (*deviation_scratch)(std::size_t window);
    void (*deviation_groups)(const double* x, std::size_t window, std::size_t start, std::size_t end,
                             double inverse, double* out, double* scratch);
    // formulas::apply of the formula
    void (*map)(formulas::Formula formula, const double* a, const double* b, const double* c, const double* d,
                double parameter, std::size_t n, double* out);
    // values[i] / divisor for `count` values
    void (*divide)(double* values, std::size_t count, double divisor);
};

const char* name_of(Path path);
std::optional<Path> path_named(std::string_view name);

// Whether this processor (and its operating system) runs the path.
bool supported(Path path);

// The path chosen for a processor supporting up to `widest` and an
// environment variable's value (nullptr when unset): the named path when it
// is supported, else the widest.
Path choose(Path widest, const char* requested);

// The kernels in use, and those of one path when the processor supports it.
const Kernels& active();
const Kernels* kernels_for(Path path);

// Switches every later call to the path's kernels, for tests; false (and
// nothing changed) when the processor does not support it.
bool use(Path path);

}  // namespace backtest::simd
