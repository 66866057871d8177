// Entries from the pass that writes list items: four distinct addresses stand
// for the entries, and each decided item is mapped back to its entry.
#include "backtest/signals_entries.hpp"

#include <array>
#include <stdexcept>
#include <vector>

namespace backtest::signals {

namespace {

// Indexed by entry + 1, as EntryItems is.
constexpr std::array kEntryOrder{Entry::short_side, Entry::flat, Entry::long_side, Entry::warm_up};

std::array<char, 4> sentinels;

void decide_entries(Decider decide, const Columns& columns, std::size_t first, std::span<Entry> out) {
    if (first > columns.series.size() || out.size() != columns.series.size() - first) {
        throw std::invalid_argument("the output must hold one entry per decided row");
    }
    const EntryItems items{&sentinels[0], &sentinels[1], &sentinels[2], &sentinels[3]};
    thread_local std::vector<void*> scratch;
    scratch.resize(out.size());
    decide(columns, first, items, scratch);
    for (std::size_t k = 0; k < out.size(); ++k) {
        out[k] = kEntryOrder[static_cast<std::size_t>(static_cast<char*>(scratch[k]) - sentinels.data())];
    }
}

}  // namespace

void decide_threshold(std::size_t mode, const Columns& columns, std::size_t first, std::span<Entry> out) {
    decide_entries(threshold_decider(mode), columns, first, out);
}

void decide_band(std::size_t mode, const Columns& columns, std::size_t first, std::span<Entry> out) {
    decide_entries(band_decider(mode), columns, first, out);
}

void decide_macd(const Columns& columns, std::size_t first, std::span<Entry> out) {
    decide_entries(macd_decider(), columns, first, out);
}

}  // namespace backtest::signals
