#include "backtest/modes.hpp"

namespace backtest::signals {

namespace {

template <class Modes, class Named>
std::optional<std::size_t> find_first(const Modes& modes, Named is_named) {
    for (std::size_t i = 0; i < modes.size(); ++i) {
        if (is_named(modes[i])) return i;
    }
    return std::nullopt;
}

}  // namespace

std::optional<std::size_t> find_threshold_mode(std::string_view name) {
    return find_first(kThresholdModes, [name](const ThresholdMode& mode) { return mode.is_named(name); });
}

std::optional<std::size_t> find_band_mode(std::string_view name) {
    return find_first(kBandModes, [name](const BandMode& mode) { return mode.name == name; });
}

}  // namespace backtest::signals
