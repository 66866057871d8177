#include "backtest/signals.hpp"

#include <array>
#include <stdexcept>
#include <utility>

namespace backtest::signals {

namespace {

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
        : columns_(columns), t_(columns.threshold), raise_(1.0 + t_), lower_(1.0 - t_) {}

    Levels at(std::size_t i) const {
        if constexpr (Source == LevelSource::fixed) {
            return {-t_, t_, 0.0};
        } else if constexpr (Source == LevelSource::fixed_around_average) {
            return {-t_, t_, columns_.average[i]};
        } else if constexpr (Source == LevelSource::scaled_average) {
            const double m = columns_.average[i];
            return {m * lower_, m * raise_, m};
        } else if constexpr (Source == LevelSource::scaled_average_ordered) {
            // keeps the upper level above the lower one for a negative average
            const double m = columns_.average[i];
            return m > 0 ? Levels{m * lower_, m * raise_, m} : Levels{m * raise_, m * lower_, m};
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
    double raise_;
    double lower_;
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

template <Test T>
bool test_holds(double value, const Levels& levels, Entry held) {
    if constexpr (T.needs_held) {
        if (held != T.held) return false;
    }
    if constexpr (T.bound_count == 1) return bound_holds<T.bounds[0]>(value, levels);
    return bound_holds<T.bounds[0]>(value, levels) && bound_holds<T.bounds[1]>(value, levels);
}

// The first test that holds decides; none holding keeps the previous entry.
template <TestList Tests, std::size_t K = 0>
Entry decide_row(double value, const Levels& levels, Entry held) {
    if constexpr (K == Tests.size) {
        return held;
    } else {
        if (test_holds<Tests.tests[K]>(value, levels, held)) return Tests.tests[K].result;
        return decide_row<Tests, K + 1>(value, levels, held);
    }
}

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
    Entry held = Entry::warm_up;
    for (std::size_t i = first; i < series.size(); ++i) {
        held = decide_row<Tests>(series[i], levels.at(i), held);
        out[i - first] = held;
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
