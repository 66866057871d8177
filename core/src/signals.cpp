#include "backtest/signals.hpp"

#include <array>
#include <bit>
#include <cstdint>
#include <stdexcept>
#include <utility>

namespace backtest::signals {

namespace {

// condition ? when_true : otherwise, computed with bit operations: a branch on
// the sign of an average that hovers around zero would often be mispredicted.
double select(bool condition, double when_true, double otherwise) {
    const auto mask = std::uint64_t{0} - static_cast<std::uint64_t>(condition);
    const auto a = std::bit_cast<std::uint64_t>(when_true);
    const auto b = std::bit_cast<std::uint64_t>(otherwise);
    return std::bit_cast<double>(b ^ ((b ^ a) & mask));
}

struct Levels {
    double lower;
    double upper;
    double centre;
};

// The levels of row i. The factors 1 + t and 1 - t are the same for every row.
template <LevelSource Source>
class LevelReader {
public:
    explicit LevelReader(const Columns& columns)
        : columns_(columns), t_(columns.threshold), one_plus_t_(1.0 + t_), one_minus_t_(1.0 - t_) {}

    Levels at(std::size_t i) const {
        if constexpr (Source == LevelSource::fixed) {
            return {-t_, t_, 0.0};
        } else if constexpr (Source == LevelSource::fixed_around_average) {
            return {-t_, t_, columns_.average[i]};
        } else if constexpr (Source == LevelSource::scaled_average) {
            const double m = columns_.average[i];
            return {m * one_minus_t_, m * one_plus_t_, m};
        } else if constexpr (Source == LevelSource::scaled_average_ordered) {
            // keeps the upper level above the lower one for a negative average
            const double m = columns_.average[i];
            const double low = m * one_minus_t_;
            const double high = m * one_plus_t_;
            const bool positive = m > 0;
            return {select(positive, low, high), select(positive, high, low), m};
        } else if constexpr (Source == LevelSource::average) {
            const double m = columns_.average[i];
            return {m, m, m};
        } else if constexpr (Source == LevelSource::bands) {
            return {columns_.lower[i], columns_.upper[i], 0.0};
        } else {
            return {columns_.lower[i], columns_.upper[i], columns_.average[i]};
        }
    }

private:
    const Columns& columns_;
    double t_;
    double one_plus_t_;
    double one_minus_t_;
};

template <Compare C>
bool compare(double value, double level) {
    if constexpr (C == Compare::less) return value < level;
    if constexpr (C == Compare::greater) return value > level;
    if constexpr (C == Compare::less_equal) return value <= level;
    if constexpr (C == Compare::greater_equal) return value >= level;
}

template <Level L>
double level_value(const Levels& levels) {
    if constexpr (L == Level::lower) return levels.lower;
    if constexpr (L == Level::upper) return levels.upper;
    if constexpr (L == Level::centre) return levels.centre;
}

template <Bound B>
bool bound_holds(double value, const Levels& levels) {
    return compare<B.compare>(value, level_value<B.level>(levels));
}

// Bit k is set when the comparisons of test k hold on the row, whatever the
// previous entry.
template <TestList Tests, std::size_t K = 0>
unsigned row_bits(double value, const Levels& levels) {
    if constexpr (K == Tests.size) {
        return 0;
    } else {
        constexpr Test test = Tests.tests[K];
        bool holds = bound_holds<test.bounds[0]>(value, levels);
        if constexpr (test.bound_count == 2) holds = holds & bound_holds<test.bounds[1]>(value, levels);
        return (static_cast<unsigned>(holds) << K) | row_bits<Tests, K + 1>(value, levels);
    }
}

// The first test that holds decides; none holding keeps the previous entry.
constexpr Entry next_entry(const TestList& tests, unsigned bits, Entry held) {
    for (std::size_t k = 0; k < tests.size; ++k) {
        const Test& test = tests.tests[k];
        if (((bits >> k) & 1u) != 0 && (!test.needs_held || test.held == held)) return test.result;
    }
    return held;
}

// An entry as the position of its byte in a transition: 8 * (entry + 1).
constexpr std::uint32_t shift_of(Entry entry) { return 8 * static_cast<std::uint32_t>(static_cast<int>(entry) + 1); }

// For each combination of row bits, the next entry after each previous entry
// (short, flat, long, warm-up), one byte each, written as the shift of the next
// entry. From row to row only a shift and a mask remain: no branch to mispredict
// on a noisy signal, and the comparisons of later rows overlap with them.
template <TestList Tests>
constexpr auto kTransitions = [] {
    std::array<std::uint32_t, std::size_t{1} << Tests.size> table{};
    for (unsigned bits = 0; bits < table.size(); ++bits) {
        for (const Entry held : {Entry::short_side, Entry::flat, Entry::long_side, Entry::warm_up}) {
            table[bits] |= shift_of(next_entry(Tests, bits, held)) << shift_of(held);
        }
    }
    return table;
}();

void check_sizes(LevelSource source, const Columns& columns, std::size_t first, std::span<Entry> out) {
    const std::size_t rows = columns.series.size();
    if (out.size() != (first < rows ? rows - first : 0)) {
        throw std::invalid_argument("the output must hold one entry per decided row");
    }
    const bool average_fits = !uses_average(source) || columns.average.size() == rows;
    const bool bands_fit = !uses_bands(source) || (columns.upper.size() == rows && columns.lower.size() == rows);
    if (!average_fits || !bands_fit) throw std::invalid_argument("every column must have one value per row");
}

template <TestList Tests, LevelSource Source>
void decide_rows(const Columns& columns, std::size_t first, std::span<Entry> out) {
    check_sizes(Source, columns, first, out);
    const LevelReader<Source> levels(columns);
    const std::span<const double> series = columns.series;
    std::uint32_t shift = shift_of(Entry::warm_up);  // the previous entry, as its shift
    for (std::size_t i = first; i < series.size(); ++i) {
        shift = (kTransitions<Tests>[row_bits<Tests>(series[i], levels.at(i))] >> shift) & 0xFFu;
        out[i - first] = static_cast<Entry>(static_cast<int>(shift / 8) - 1);
    }
}

template <std::size_t... I>
constexpr auto threshold_deciders(std::index_sequence<I...>) {
    return std::array<Decider, sizeof...(I)>{&decide_rows<kThresholdModes[I].tests(), kThresholdModes[I].levels>...};
}

template <std::size_t... I>
constexpr auto band_deciders(std::index_sequence<I...>) {
    return std::array<Decider, sizeof...(I)>{&decide_rows<kBandModes[I].tests(), kBandModes[I].levels()>...};
}

constexpr auto kThresholdDeciders = threshold_deciders(std::make_index_sequence<kThresholdModes.size()>{});
constexpr auto kBandDeciders = band_deciders(std::make_index_sequence<kBandModes.size()>{});

}  // namespace

Decider threshold_decider(std::size_t mode) { return kThresholdDeciders.at(mode); }

Decider band_decider(std::size_t mode) { return kBandDeciders.at(mode); }

Decider macd_decider() { return &decide_rows<kMacdTests, kMacdLevels>; }

}  // namespace backtest::signals
