// The trading modes of the position generators, as one table.
//
// A mode is a rule family (how a position opens and closes), the levels it is
// read against and, for the threshold modes, a side. Every mode's ordered list
// of clauses is derived from these at compile time: the two-sided threshold
// modes, their long-only and short-only forms, the band modes (the same
// families over band columns) and the MACD rule.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace backtest::signals {

// What the position series holds at a row; `warm_up` means it still holds the
// warm-up value that precedes the first decision.
enum class Entry : std::int8_t { short_side = -1, flat = 0, long_side = 1, warm_up = 2 };

// The three reference levels of a row: the threshold levels, the band columns
// or values around a moving average, depending on the mode's level source.
enum class Level : std::uint8_t { lower, upper, centre };
enum class Compare : std::uint8_t { less, greater, less_equal, greater_equal };

// One comparison of the row's series value with one of its levels.
struct Bound {
    Compare compare = Compare::less;
    Level level = Level::lower;
};

// One clause of a rule: holds when every bound holds and, for a clause that
// closes a position, when the previous entry is the side it closes.
struct Clause {
    std::array<Bound, 2> bounds{};
    std::size_t bound_count = 0;
    bool needs_held = false;
    Entry held = Entry::flat;
    Entry result = Entry::flat;
};

// The clauses of a rule in order; the first that holds decides, none means hold.
struct ClauseList {
    std::array<Clause, 4> clauses{};
    std::size_t size = 0;

    constexpr void push(const Clause& clause) { clauses[size++] = clause; }
};

// breakout: beyond a level (below the lower, above the upper);
// zone: strictly between the centre and a level.
enum class EntryShape : std::uint8_t { breakout, zone };
// reverting opens a long on the low side, trending on the high side.
enum class Orientation : std::uint8_t { reverting, trending };
enum class Order : std::uint8_t { low_first, high_first };
// reverting closes a long at or above its level and a short at or below it;
// trending the other way round.
enum class ExitKind : std::uint8_t { none, reverting, trending };
// The exit level of both sides (centre), or the upper level for a long and the
// lower one for a short (bands).
enum class ExitLevel : std::uint8_t { centre, bands };

struct Family {
    EntryShape shape;
    Orientation orientation;
    Order order;
    ExitKind exit = ExitKind::none;
    ExitLevel exit_level = ExitLevel::centre;
};

namespace family {
inline constexpr Family mean_reversion{EntryShape::breakout, Orientation::reverting, Order::low_first};
inline constexpr Family momentum{EntryShape::breakout, Orientation::trending, Order::low_first};
inline constexpr Family mean_reversion_to_centre{EntryShape::breakout, Orientation::reverting, Order::low_first,
                                                 ExitKind::reverting, ExitLevel::centre};
inline constexpr Family momentum_to_centre{EntryShape::breakout, Orientation::trending, Order::low_first,
                                           ExitKind::trending, ExitLevel::centre};
// Long exactly while above the upper level, short while below the lower one.
inline constexpr Family momentum_outside{EntryShape::breakout, Orientation::trending, Order::low_first,
                                         ExitKind::trending, ExitLevel::bands};
inline constexpr Family sideline{EntryShape::zone, Orientation::trending, Order::high_first, ExitKind::reverting,
                                 ExitLevel::bands};
inline constexpr Family mean_reversion_around{EntryShape::breakout, Orientation::reverting, Order::high_first};
inline constexpr Family momentum_around{EntryShape::breakout, Orientation::trending, Order::high_first};
}  // namespace family

// Where a row's levels come from (t: threshold, m: the moving average at the row).
enum class LevelSource : std::uint8_t {
    fixed,                   // lower -t, upper t, centre 0
    fixed_around_average,    // lower -t, upper t, centre m
    scaled_average,          // lower m(1 - t), upper m(1 + t)
    scaled_average_ordered,  // the same, the factors swapped unless m > 0
    average,                 // lower and upper m
    bands,                   // the band columns, centre 0
    bands_around_average,    // the band columns, centre m
};

constexpr bool uses_threshold(LevelSource source) {
    return source != LevelSource::average && source != LevelSource::bands &&
           source != LevelSource::bands_around_average;
}
constexpr bool uses_average(LevelSource source) {
    return source != LevelSource::fixed && source != LevelSource::bands;
}
constexpr bool uses_bands(LevelSource source) {
    return source == LevelSource::bands || source == LevelSource::bands_around_average;
}

enum class Side : std::uint8_t { both, long_only, short_only };

// The moving average a mode reads: computed from the signal by the threshold
// generator, a frame column in the band generator.
enum class Average : std::uint8_t { none, sma, ema, wma };

namespace detail {

constexpr Clause entry_clause(const Family& family, bool high_side) {
    Clause clause;
    if (family.shape == EntryShape::breakout) {
        clause.bounds[0] = high_side ? Bound{Compare::greater, Level::upper} : Bound{Compare::less, Level::lower};
        clause.bound_count = 1;
    } else {
        clause.bounds = high_side
                            ? std::array{Bound{Compare::greater, Level::centre}, Bound{Compare::less, Level::upper}}
                            : std::array{Bound{Compare::less, Level::centre}, Bound{Compare::greater, Level::lower}};
        clause.bound_count = 2;
    }
    const bool long_when_high = family.orientation == Orientation::trending;
    clause.result = high_side == long_when_high ? Entry::long_side : Entry::short_side;
    return clause;
}

// The half of the exit clause that closes `side`.
constexpr Clause exit_clause(const Family& family, Entry side) {
    const bool is_long = side == Entry::long_side;
    const bool at_or_above = (family.exit == ExitKind::reverting) == is_long;
    const Level level = family.exit_level == ExitLevel::centre ? Level::centre : (is_long ? Level::upper : Level::lower);
    Clause clause;
    clause.bounds[0] = {at_or_above ? Compare::greater_equal : Compare::less_equal, level};
    clause.bound_count = 1;
    clause.needs_held = true;
    clause.held = side;
    clause.result = Entry::flat;
    return clause;
}

}  // namespace detail

// The ordered clauses of a family on one side. Two-sided: both entry clauses in
// the family's order, then the exit halves. One-sided without an exit: both
// entry clauses stay, the opposite one gives flat. One-sided with an exit: only
// the own entry clause and the own exit half.
constexpr ClauseList clauses_of(const Family& family, Side side) {
    const bool low_first = family.order == Order::low_first;
    const std::array entries{detail::entry_clause(family, !low_first), detail::entry_clause(family, low_first)};
    const bool has_exit = family.exit != ExitKind::none;
    ClauseList list;
    if (side == Side::both) {
        for (const Clause& clause : entries) list.push(clause);
        if (has_exit) {
            list.push(detail::exit_clause(family, Entry::long_side));
            list.push(detail::exit_clause(family, Entry::short_side));
        }
        return list;
    }
    const Entry own = side == Side::long_only ? Entry::long_side : Entry::short_side;
    for (Clause clause : entries) {
        if (clause.result == own) {
            list.push(clause);
        } else if (!has_exit) {
            clause.result = Entry::flat;
            list.push(clause);
        }
    }
    if (has_exit) list.push(detail::exit_clause(family, own));
    return list;
}

// Long while the MACD line is at or above its signal line, short while below;
// both levels are the signal line.
inline constexpr ClauseList kMacdClauses = [] {
    ClauseList list;
    list.push({{Bound{Compare::greater_equal, Level::upper}}, 1, false, Entry::flat, Entry::long_side});
    list.push({{Bound{Compare::less_equal, Level::lower}}, 1, false, Entry::flat, Entry::short_side});
    return list;
}();
inline constexpr LevelSource kMacdLevels = LevelSource::average;

struct ThresholdMode {
    std::string_view base;
    Family family{};
    LevelSource levels = LevelSource::fixed;
    Average average = Average::none;
    bool has_one_sided = true;
    Side side = Side::both;

    constexpr std::string_view suffix() const {
        return side == Side::both ? "" : side == Side::long_only ? "-l" : "-s";
    }
    constexpr bool is_named(std::string_view name) const {
        return name.size() == base.size() + suffix().size() && name.starts_with(base) && name.ends_with(suffix());
    }
    std::string name() const { return std::string(base) + std::string(suffix()); }
    constexpr ClauseList clauses() const { return clauses_of(family, side); }
};

struct BandMode {
    std::string_view name;
    Family family;
    Average centre = Average::none;

    constexpr LevelSource levels() const {
        return centre == Average::none ? LevelSource::bands : LevelSource::bands_around_average;
    }
    constexpr ClauseList clauses() const { return clauses_of(family, Side::both); }
};

namespace detail {

using enum Average;
using L = LevelSource;

// The two-sided threshold modes in their order of matching.
inline constexpr std::array<ThresholdMode, 30> kTwoSidedModes{{
    {"mr", family::mean_reversion, L::fixed},
    {"mr_0", family::mean_reversion_to_centre, L::fixed},
    {"0_sideline", family::sideline, L::fixed},
    {"momentum", family::momentum, L::fixed},
    {"momentum_sideline", family::momentum_outside, L::fixed},
    {"momentum_0", family::momentum_to_centre, L::fixed},
    {"mr(sma)_sma", family::mean_reversion_around, L::scaled_average_ordered, sma},
    {"mr(ema)_ema", family::mean_reversion_around, L::scaled_average_ordered, ema},
    {"mr(wma)_wma", family::mean_reversion_around, L::scaled_average_ordered, wma},
    {"momentum(sma)_sma", family::momentum_around, L::scaled_average_ordered, sma},
    {"momentum(ema)_ema", family::momentum_around, L::scaled_average_ordered, ema},
    {"momentum(wma)_wma", family::momentum_around, L::scaled_average_ordered, wma},
    {"mr(sma)", family::mean_reversion_around, L::scaled_average, sma},
    {"mr(ema)", family::mean_reversion_around, L::scaled_average, ema},
    {"mr(wma)", family::mean_reversion_around, L::scaled_average, wma},
    {"momentum(sma)", family::momentum_around, L::scaled_average, sma},
    {"momentum(ema)", family::momentum_around, L::scaled_average, ema},
    {"momentum(wma)", family::momentum_around, L::scaled_average, wma},
    {"momentum_sma", family::momentum_to_centre, L::fixed_around_average, sma},
    {"momentum_ema", family::momentum_to_centre, L::fixed_around_average, ema},
    {"momentum_wma", family::momentum_to_centre, L::fixed_around_average, wma},
    {"momentum(sma)_sideline", family::sideline, L::fixed_around_average, sma},
    {"momentum(ema)_sideline", family::sideline, L::fixed_around_average, ema},
    {"momentum(wma)_sideline", family::sideline, L::fixed_around_average, wma},
    {"mr_sma", family::mean_reversion_to_centre, L::fixed_around_average, sma},
    {"mr_ema", family::mean_reversion_to_centre, L::fixed_around_average, ema},
    {"mr_wma", family::mean_reversion_to_centre, L::fixed_around_average, wma},
    {"cross-sma", family::momentum_around, L::average, sma, false},
    {"cross-ema", family::momentum_around, L::average, ema, false},
    {"cross-wma", family::momentum_around, L::average, wma, false},
}};

constexpr std::size_t count_one_sided() {
    std::size_t count = 0;
    for (const ThresholdMode& mode : kTwoSidedModes) count += mode.has_one_sided ? 1 : 0;
    return count;
}

// The two-sided modes, then the long-only and short-only form of each in turn.
constexpr auto derive_threshold_modes() {
    std::array<ThresholdMode, kTwoSidedModes.size() + 2 * count_one_sided()> modes{};
    std::size_t next = 0;
    for (const ThresholdMode& mode : kTwoSidedModes) modes[next++] = mode;
    for (const ThresholdMode& mode : kTwoSidedModes) {
        if (!mode.has_one_sided) continue;
        for (const Side side : {Side::long_only, Side::short_only}) {
            modes[next] = mode;
            modes[next++].side = side;
        }
    }
    return modes;
}

}  // namespace detail

inline constexpr auto kThresholdModes = detail::derive_threshold_modes();

inline constexpr std::array<BandMode, 15> kBandModes{{
    {"mr", family::mean_reversion},
    {"mr_sma", family::mean_reversion_to_centre, Average::sma},
    {"mr_ema", family::mean_reversion_to_centre, Average::ema},
    {"mr_wma", family::mean_reversion_to_centre, Average::wma},
    {"mr_0", family::mean_reversion_to_centre},
    {"0_sideline", family::sideline},
    {"momentum(sma)_sideline", family::sideline, Average::sma},
    {"momentum(ema)_sideline", family::sideline, Average::ema},
    {"momentum(wma)_sideline", family::sideline, Average::wma},
    {"momentum", family::momentum},
    {"momentum_sideline", family::momentum_outside},
    {"momentum_0", family::momentum_to_centre},
    {"momentum_sma", family::momentum_to_centre, Average::sma},
    {"momentum_ema", family::momentum_to_centre, Average::ema},
    {"momentum_wma", family::momentum_to_centre, Average::wma},
}};

// Exact, case-sensitive match; the first equal name wins.
std::optional<std::size_t> find_threshold_mode(std::string_view name);
std::optional<std::size_t> find_band_mode(std::string_view name);

}  // namespace backtest::signals
