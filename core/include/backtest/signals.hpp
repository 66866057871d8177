// Position series of the trading modes: one sequential pass over the rows,
// compiled per mode, since every decision may depend on the previous one.
#pragma once

#include <array>
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

// What a decided row is written as: the item of its entry, indexed by entry + 1
// (short, flat, long, warm-up). The generators pass the objects of their lists.
using EntryItems = std::array<void*, 4>;

// Decides the rows first .. series.size() - 1 into out[0 ..], which must hold
// exactly those rows, each as the item of its entry; the entry before row
// `first` is the warm-up value. Throws std::invalid_argument, before writing
// anything, when a size does not fit.
using Decider = void (*)(const Columns& columns, std::size_t first, const EntryItems& items,
                         std::span<void*> out);

Decider threshold_decider(std::size_t mode);  // index into kThresholdModes
Decider band_decider(std::size_t mode);       // index into kBandModes
Decider macd_decider();

}  // namespace backtest::signals
