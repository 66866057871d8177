#include "backtest/signals.hpp"

#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <stdexcept>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace backtest::signals {

namespace {

// How rows are read: one at a time, or (OneRow's twin below) two at a time.
struct OneRow {
    using Value = double;
    using Mask = bool;
    struct Levels {
        Value lower;
        Value upper;
        Value centre;
    };

    static Value load(const double* at) { return *at; }
    static Value broadcast(double value) { return value; }
    static Value times(Value a, Value b) { return a * b; }
    static Mask greater(Value value, Value level) { return value > level; }
    // Swaps a and b unless `keep` holds, with bit operations: a branch on the sign
    // of an average that hovers around zero would often be mispredicted.
    static void swap_unless(Mask keep, Value& a, Value& b) {
        const auto swap = std::uint64_t{0} - static_cast<std::uint64_t>(!keep);
        const auto x = std::bit_cast<std::uint64_t>(a);
        const auto y = std::bit_cast<std::uint64_t>(b);
        const auto differing = (x ^ y) & swap;
        a = std::bit_cast<double>(x ^ differing);
        b = std::bit_cast<double>(y ^ differing);
    }
};

#if defined(__SSE2__)
// The same operations on two rows; a mask is all ones where a row's comparison
// holds. The ordered comparisons are false for NaN, as the scalar ones are.
struct TwoRows {
    using Value = __m128d;
    using Mask = __m128d;
    struct Levels {
        Value lower;
        Value upper;
        Value centre;
    };

    static Value load(const double* at) { return _mm_loadu_pd(at); }
    static Value broadcast(double value) { return _mm_set1_pd(value); }
    static Value times(Value a, Value b) { return _mm_mul_pd(a, b); }
    static Mask greater(Value value, Value level) { return _mm_cmplt_pd(level, value); }
    static void swap_unless(Mask keep, Value& a, Value& b) {
        const __m128d differing = _mm_andnot_pd(keep, _mm_xor_pd(a, b));
        a = _mm_xor_pd(a, differing);
        b = _mm_xor_pd(b, differing);
    }
};
#endif

// The levels of the rows from i on. The factors 1 + t and 1 - t are the same
// for every row. The column pointers are copies, so that the compiler need not
// reload them after each write of an entry.
template <LevelSource Source>
class LevelReader {
public:
    explicit LevelReader(const Columns& columns)
        : average_(columns.average.data()),
          upper_(columns.upper.data()),
          lower_(columns.lower.data()),
          t_(columns.threshold),
          one_plus_t_(1.0 + t_),
          one_minus_t_(1.0 - t_) {}

    template <class Rows>
    typename Rows::Levels at(std::size_t i) const {
        using V = typename Rows::Value;
        const auto column = [i](const double* values) { return Rows::load(values + i); };
        if constexpr (Source == LevelSource::fixed) {
            return {Rows::broadcast(-t_), Rows::broadcast(t_), Rows::broadcast(0.0)};
        } else if constexpr (Source == LevelSource::fixed_around_average) {
            return {Rows::broadcast(-t_), Rows::broadcast(t_), column(average_)};
        } else if constexpr (Source == LevelSource::scaled_average) {
            const V m = column(average_);
            return {Rows::times(m, Rows::broadcast(one_minus_t_)), Rows::times(m, Rows::broadcast(one_plus_t_)), m};
        } else if constexpr (Source == LevelSource::scaled_average_ordered) {
            // keeps the upper level above the lower one for a negative average
            const V m = column(average_);
            V low = Rows::times(m, Rows::broadcast(one_minus_t_));
            V high = Rows::times(m, Rows::broadcast(one_plus_t_));
            Rows::swap_unless(Rows::greater(m, Rows::broadcast(0.0)), low, high);
            return {low, high, m};
        } else if constexpr (Source == LevelSource::average) {
            const V m = column(average_);
            return {m, m, m};
        } else if constexpr (Source == LevelSource::bands) {
            return {column(lower_), column(upper_), Rows::broadcast(0.0)};
        } else {
            return {column(lower_), column(upper_), column(average_)};
        }
    }

private:
    const double* average_;
    const double* upper_;
    const double* lower_;
    double t_;
    double one_plus_t_;
    double one_minus_t_;
};

// Every bound is read from two comparisons of the row's value with its level,
// value <= level and value >= level: both hold on a tie and neither on NaN, so
// value < level is the first without the second. A row's comparisons are
// numbered 2 * level + (1 for >=); two more stand for never and always, so
// that every clause has the same shape: a and not b, and c and not d.
constexpr std::size_t kComparisons = 6;
constexpr std::uint8_t kNever = 6;
constexpr std::uint8_t kAlways = 7;

using Picks = std::array<std::uint8_t, 4>;  // a, b, c, d

constexpr std::uint8_t comparison(Level level, bool at_least) {
    return static_cast<std::uint8_t>(2 * static_cast<unsigned>(level) + (at_least ? 1u : 0u));
}

constexpr std::array<std::uint8_t, 2> picks_of(const Bound& bound) {
    const std::uint8_t at_most = comparison(bound.level, false);
    const std::uint8_t at_least = comparison(bound.level, true);
    switch (bound.compare) {
        case Compare::less: return {at_most, at_least};
        case Compare::greater: return {at_least, at_most};
        case Compare::less_equal: return {at_most, kNever};
        case Compare::greater_equal: return {at_least, kNever};
    }
    return {kNever, kNever};
}

// The rows on which a clause's comparisons hold, whatever the previous entry:
// bit r of compared[j] tells whether comparison j holds on row r.
constexpr std::uint8_t clause_rows(const Picks& picks, const std::array<std::uint8_t, 8>& compared) {
    return static_cast<std::uint8_t>(compared[picks[0]] & ~compared[picks[1]] & compared[picks[2]] &
                                     ~compared[picks[3]]);
}

constexpr std::array<std::uint8_t, 8> with_constants(std::array<std::uint8_t, 8> compared) {
    compared[kNever] = 0x00;
    compared[kAlways] = 0xFF;
    return compared;
}

constexpr std::size_t kMaxClauses = std::tuple_size_v<decltype(ClauseList::clauses)>;

// The first clause that holds decides; none holding keeps the previous entry.
// Bit k of `bits` is set when the comparisons of clause k hold.
constexpr Entry next_entry(const ClauseList& clauses, unsigned bits, Entry held) {
    for (std::size_t k = 0; k < clauses.size; ++k) {
        const Clause& clause = clauses.clauses[k];
        if (((bits >> k) & 1u) != 0 && (!clause.needs_held || clause.held == held)) return clause.result;
    }
    return held;
}

constexpr std::array kEntries{Entry::short_side, Entry::flat, Entry::long_side, Entry::warm_up};

// An entry as the place of its byte in a transition word: 8 * (entry + 1).
constexpr std::uint32_t shift_of(Entry entry) { return 8 * static_cast<std::uint32_t>(static_cast<int>(entry) + 1); }

constexpr std::uint32_t kShiftBits = 31;  // x86 shifts of 32-bit values read only these bits of the count

// The entry a shift stands for, from bits 3 and 4 of the shift.
constexpr Entry entry_of(std::uint32_t shift) { return static_cast<Entry>(static_cast<int>((shift & 24u) / 8) - 1); }

constexpr std::uint8_t byte_of(Entry entry) { return static_cast<std::uint8_t>(entry); }

// A rule as the pass reads it. A transition word holds, for one row, the next
// entry after each previous entry (short, flat, long, warm-up), one byte each,
// written as the shift of the next entry. From row to row only one shift
// remains: no branch to mispredict on a noisy signal. The shifts are below 32
// and each byte above them is zero, so the low five bits of `word >> shift` are
// the next shift whatever the bytes above it hold.
struct Program {
    std::array<Picks, kMaxClauses> picks{};  // clauses beyond the rule's never hold
    std::size_t clause_count = 0;
    std::array<std::uint32_t, std::size_t{1} << kMaxClauses> by_clause_bits{};
    std::array<std::uint32_t, std::size_t{1} << kComparisons> by_comparisons{};
};

Program compile(const ClauseList& clauses) {
    Program program;
    program.clause_count = clauses.size;
    for (std::size_t k = 0; k < kMaxClauses; ++k) {
        Picks& picks = program.picks[k];
        picks = {kNever, kNever, kNever, kNever};
        if (k >= clauses.size) continue;
        const Clause& clause = clauses.clauses[k];
        const auto first = picks_of(clause.bounds[0]);
        const auto second = clause.bound_count == 2 ? picks_of(clause.bounds[1]) : std::array{kAlways, kNever};
        picks = {first[0], first[1], second[0], second[1]};
    }
    for (unsigned bits = 0; bits < program.by_clause_bits.size(); ++bits) {
        for (const Entry held : kEntries) {
            program.by_clause_bits[bits] |= shift_of(next_entry(clauses, bits, held)) << shift_of(held);
        }
    }
    for (unsigned code = 0; code < program.by_comparisons.size(); ++code) {
        std::array<std::uint8_t, 8> compared{};
        for (std::size_t j = 0; j < kComparisons; ++j) compared[j] = (code >> j) & 1u ? 0xFF : 0x00;
        compared = with_constants(compared);
        unsigned bits = 0;
        for (std::size_t k = 0; k < kMaxClauses; ++k) bits |= (clause_rows(program.picks[k], compared) & 1u) << k;
        program.by_comparisons[code] = program.by_clause_bits[bits];
    }
    return program;
}

// Rows first + begin .. first + end - 1, one at a time; returns the shift of the
// last entry.
template <LevelSource Source>
std::uint32_t decide_each_row(const Program& program, const LevelReader<Source>& levels, const double* series,
                              std::size_t first, std::size_t begin, std::size_t end, std::uint32_t shift,
                              Entry* out) {
    for (std::size_t k = begin; k < end; ++k) {
        const std::size_t i = first + k;
        const double value = series[i];
        const OneRow::Levels at = levels.template at<OneRow>(i);
        const unsigned code = static_cast<unsigned>(value <= at.lower) | static_cast<unsigned>(value >= at.lower) << 1 |
                              static_cast<unsigned>(value <= at.upper) << 2 |
                              static_cast<unsigned>(value >= at.upper) << 3 |
                              static_cast<unsigned>(value <= at.centre) << 4 |
                              static_cast<unsigned>(value >= at.centre) << 5;
        shift = program.by_comparisons[code] >> (shift & kShiftBits);
        out[k] = entry_of(shift);
    }
    return shift;
}

#if defined(__SSE2__)
// Rows in chunks of eight, each split into steps: the clause bits of a step's
// rows, packed into one byte, select from tables the entries of all its rows
// and the entry it ends on, so the dependency from row to row becomes one from
// step to step. The comparisons run on two rows at a time.
constexpr std::size_t kChunkRows = 8;

// Bit k * rows + r of a step byte: clause k holds on row r of the step.
struct StepTable {
    std::size_t rows = 0;  // per step: 4 for up to two clauses, 2 for up to four
    // The entries of the step's rows after each previous entry, row r in byte r.
    std::array<std::array<std::uint32_t, kEntries.size()>, 256> entries{};
    // Like a transition word: the shift of the entry after the step's last row.
    std::array<std::uint32_t, 256> next{};
};

void build_steps(const Program& program, StepTable& table) {
    const std::size_t rows = program.clause_count <= 2 ? 4 : 2;
    const std::size_t clauses = 8 / rows;
    table.rows = rows;
    for (unsigned step = 0; step < 256; ++step) {
        std::uint32_t next = 0;
        for (std::size_t held = 0; held < kEntries.size(); ++held) {
            std::uint32_t shift = shift_of(kEntries[held]);
            std::uint32_t entries = 0;
            for (std::size_t r = 0; r < rows; ++r) {
                unsigned bits = 0;
                for (std::size_t k = 0; k < clauses; ++k) bits |= ((step >> (k * rows + r)) & 1u) << k;
                shift = (program.by_clause_bits[bits] >> shift) & kShiftBits;
                entries |= std::uint32_t{byte_of(entry_of(shift))} << (8 * r);
            }
            table.entries[step][held] = entries;
            next |= shift << shift_of(kEntries[held]);
        }
        table.next[step] = next;
    }
}

// Packs eight masks into sixteen bits, two per mask in order.
unsigned pack_masks(const __m128d (&masks)[8]) {
    // the low halves of two masks' rows, one 32-bit lane per row
    const auto rows = [](__m128d a, __m128d b) {
        return _mm_castps_si128(_mm_shuffle_ps(_mm_castpd_ps(a), _mm_castpd_ps(b), _MM_SHUFFLE(2, 0, 2, 0)));
    };
    const __m128i low = _mm_packs_epi32(rows(masks[0], masks[1]), rows(masks[2], masks[3]));
    const __m128i high = _mm_packs_epi32(rows(masks[4], masks[5]), rows(masks[6], masks[7]));
    return static_cast<unsigned>(_mm_movemask_epi8(_mm_packs_epi16(low, high)));
}

// The comparisons of the chunk of rows from i on: bit r of byte j tells
// whether comparison j holds on row i + r.
template <LevelSource Source>
std::array<std::uint8_t, 8> compare_chunk(const LevelReader<Source>& levels, const double* series, std::size_t i) {
    // per level: value <= level on the four row pairs, then value >= level
    __m128d masks[3][8];
    for (std::size_t pair = 0; pair < kChunkRows / 2; ++pair) {
        const std::size_t row = i + 2 * pair;
        const __m128d value = TwoRows::load(series + row);
        const TwoRows::Levels at = levels.template at<TwoRows>(row);
        const __m128d by_level[3] = {at.lower, at.upper, at.centre};
        for (std::size_t level = 0; level < 3; ++level) {
            masks[level][pair] = _mm_cmple_pd(value, by_level[level]);
            masks[level][4 + pair] = _mm_cmple_pd(by_level[level], value);
        }
    }
    std::array<std::uint8_t, 8> compared{};
    for (std::size_t level = 0; level < 3; ++level) {
        const unsigned bits = pack_masks(masks[level]);
        compared[2 * level] = static_cast<std::uint8_t>(bits);
        compared[2 * level + 1] = static_cast<std::uint8_t>(bits >> 8);
    }
    return with_constants(compared);
}

// The step bytes of a chunk from its clauses' row bits, the first step in the
// low byte.
std::uint32_t chunk_steps(std::size_t step_rows, const std::array<std::uint8_t, kMaxClauses>& held_on) {
    std::uint32_t by_clause = 0;  // clause k's rows in byte k
    for (std::size_t k = 0; k < kMaxClauses; ++k) by_clause |= std::uint32_t{held_on[k]} << (8 * k);
    std::uint32_t steps = 0;
    if (step_rows == 4) {
        // two steps: the low nibbles of the first two clauses, then the high ones
        for (std::uint32_t s = 0; s < 2; ++s) {
            const std::uint32_t x = (by_clause >> (4 * s)) & 0x0F0Fu;
            steps |= ((x | (x >> 4)) & 0xFFu) << (8 * s);
        }
    } else {
        // four steps of two rows each
        for (std::uint32_t s = 0; s < 4; ++s) {
            const std::uint32_t x = (by_clause >> (2 * s)) & 0x03030303u;
            const std::uint32_t y = x | (x >> 6);
            steps |= ((y | (y >> 12)) & 0xFFu) << (8 * s);
        }
    }
    return steps;
}

// Below this many rows, building the step table would cost more than it saves.
constexpr std::size_t kRowsForSteps = 4096;

// Whole chunks of rows from `first` on; returns the shift of the last entry.
template <LevelSource Source>
std::uint32_t decide_in_steps(const Program& program, const LevelReader<Source>& levels, const double* series,
                              std::size_t first, std::size_t chunks, Entry* out) {
    StepTable table;
    build_steps(program, table);
    const std::size_t step_rows = table.rows;
    const std::size_t steps_per_chunk = kChunkRows / step_rows;
    std::uint32_t shift = shift_of(Entry::warm_up);
    for (std::size_t chunk = 0; chunk < chunks; ++chunk) {
        const std::size_t k = chunk * kChunkRows;
        const std::array<std::uint8_t, 8> compared = compare_chunk(levels, series, first + k);
        std::array<std::uint8_t, kMaxClauses> held_on{};
        for (std::size_t c = 0; c < kMaxClauses; ++c) held_on[c] = clause_rows(program.picks[c], compared);
        const std::uint32_t steps = chunk_steps(step_rows, held_on);
        std::uint64_t entries = 0;
        for (std::size_t s = 0; s < steps_per_chunk; ++s) {
            const std::uint32_t step = (steps >> (8 * s)) & 0xFFu;
            entries |= std::uint64_t{table.entries[step][(shift & 24u) / 8]} << (8 * step_rows * s);
            shift = table.next[step] >> (shift & kShiftBits);
        }
        std::memcpy(out + k, &entries, sizeof entries);
    }
    return shift;
}
#endif

void check_sizes(LevelSource source, const Columns& columns, std::size_t first, std::span<Entry> out) {
    const std::size_t rows = columns.series.size();
    if (out.size() != (first < rows ? rows - first : 0)) {
        throw std::invalid_argument("the output must hold one entry per decided row");
    }
    const bool average_fits = !uses_average(source) || columns.average.size() == rows;
    const bool bands_fit = !uses_bands(source) || (columns.upper.size() == rows && columns.lower.size() == rows);
    if (!average_fits || !bands_fit) throw std::invalid_argument("every column must have one value per row");
}

template <LevelSource Source>
void decide_rows(const Program& program, const Columns& columns, std::size_t first, std::span<Entry> out) {
    const LevelReader<Source> levels(columns);
    const double* series = columns.series.data();
    std::size_t done = 0;
    std::uint32_t shift = shift_of(Entry::warm_up);
#if defined(__SSE2__)
    if (out.size() >= kRowsForSteps) {
        const std::size_t chunks = out.size() / kChunkRows;
        shift = decide_in_steps(program, levels, series, first, chunks, out.data());
        done = chunks * kChunkRows;
    }
#endif
    decide_each_row(program, levels, series, first, done, out.size(), shift, out.data());
}

void decide(const ClauseList& clauses, LevelSource source, const Columns& columns, std::size_t first,
            std::span<Entry> out) {
    check_sizes(source, columns, first, out);
    const Program program = compile(clauses);
    switch (source) {
        case LevelSource::fixed: return decide_rows<LevelSource::fixed>(program, columns, first, out);
        case LevelSource::fixed_around_average:
            return decide_rows<LevelSource::fixed_around_average>(program, columns, first, out);
        case LevelSource::scaled_average: return decide_rows<LevelSource::scaled_average>(program, columns, first, out);
        case LevelSource::scaled_average_ordered:
            return decide_rows<LevelSource::scaled_average_ordered>(program, columns, first, out);
        case LevelSource::average: return decide_rows<LevelSource::average>(program, columns, first, out);
        case LevelSource::bands: return decide_rows<LevelSource::bands>(program, columns, first, out);
        case LevelSource::bands_around_average:
            return decide_rows<LevelSource::bands_around_average>(program, columns, first, out);
    }
}

}  // namespace

void decide_threshold(std::size_t mode, const Columns& columns, std::size_t first, std::span<Entry> out) {
    const ThresholdMode& rule = kThresholdModes.at(mode);
    decide(rule.clauses(), rule.levels, columns, first, out);
}

void decide_band(std::size_t mode, const Columns& columns, std::size_t first, std::span<Entry> out) {
    const BandMode& rule = kBandModes.at(mode);
    decide(rule.clauses(), rule.levels(), columns, first, out);
}

void decide_macd(const Columns& columns, std::size_t first, std::span<Entry> out) {
    decide(kMacdClauses, kMacdLevels, columns, first, out);
}

}  // namespace backtest::signals
