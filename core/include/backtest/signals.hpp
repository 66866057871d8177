// Position series of the trading modes: one sequential pass over the rows,
// since every decision may depend on the previous one. The pass is compiled
// once per level source and reads the mode's clauses as data.
#pragma once

#include <cstddef>
#include <span>

#include "backtest/modes.hpp"

namespace backtest::signals {

// The columns a rule reads, by row. `series` is the value compared (signal,
// data, MACD line); `average` the moving average, the band centre column or
// the MACD signal line; `upper` and `lower` the band columns. Columns the
// mode's level source does not use may be empty; the others must have
// series.size() values.
struct Columns {
    std::span<const double> series{};
    std::span<const double> average{};
    std::span<const double> upper{};
    std::span<const double> lower{};
    double threshold = 0.0;
};

// Each decides the rows first .. series.size() - 1 into out[0 ..], one entry per
// decided row, by the rule of a mode (`mode` indexes kThresholdModes or
// kBandModes) or the MACD rule; the entry before row `first` is
// Entry::warm_up, and a row where no clause holds keeps the entry before it.
// Throws std::invalid_argument before writing anything when out does not hold
// exactly those rows (none when first >= series.size()) or a column the rule
// reads has another length, and std::out_of_range for a mode beyond its table.
// Reentrant: the passes allocate nothing (about 24 KiB of stack) and keep no
// state between calls.
void decide_threshold(std::size_t mode, const Columns& columns, std::size_t first, std::span<Entry> out);
void decide_band(std::size_t mode, const Columns& columns, std::size_t first, std::span<Entry> out);
void decide_macd(const Columns& columns, std::size_t first, std::span<Entry> out);

}  // namespace backtest::signals
