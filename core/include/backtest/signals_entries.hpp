// Position series as compact entries: one Entry (one byte) per decided row.
#pragma once

#include <cstddef>
#include <span>

#include "backtest/modes.hpp"
#include "backtest/signals.hpp"

namespace backtest::signals {

// Decides rows first .. columns.series.size() - 1 into out[0 ..], one Entry per decided row
// (out.size() must be series.size() - first, else std::invalid_argument before writing);
// the entry before row `first` is Entry::warm_up.
void decide_threshold(std::size_t mode, const Columns& columns, std::size_t first, std::span<Entry> out);
void decide_band(std::size_t mode, const Columns& columns, std::size_t first, std::span<Entry> out);
void decide_macd(const Columns& columns, std::size_t first, std::span<Entry> out);

}  // namespace backtest::signals
