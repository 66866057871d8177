#include "backtest/signals.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <utility>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

// The pass runs over spans of rows. For each span it finds the levels of the
// rows (the one part compiled per level source), compares the values with them
// into bit planes (a bit per row: whether the comparison holds), combines the
// planes into one per clause as the mode's clauses say, and then walks the rows
// in order through transition tables built from the clauses.
namespace backtest::signals {

namespace {

constexpr std::size_t kWordRows = 64;
constexpr std::size_t kSpanRows = 1024;
constexpr std::size_t kSpanWords = kSpanRows / kWordRows;

// Bit r % 64 of word r / 64 stands for row r of a span.
using Plane = std::array<std::uint64_t, kSpanWords>;

// ---------------------------------------------------------------------------
// Levels

// One level of a span's rows: a column from the span's first row on, or, with
// no column, the same value on every row.
struct LevelRows {
    const double* column = nullptr;
    double value = 0.0;
};

// The lower, upper and centre levels of a span's rows.
using SpanLevels = std::array<LevelRows, 3>;

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

    SpanLevels at(std::size_t i, std::size_t count) {
        const LevelRows below{nullptr, -t_};
        const LevelRows above{nullptr, t_};
        const LevelRows zero{nullptr, 0.0};
        const LevelRows average{average_ + i};
        if constexpr (Source == LevelSource::fixed) {
            return {below, above, zero};
        } else if constexpr (Source == LevelSource::fixed_around_average) {
            return {below, above, average};
        } else if constexpr (Source == LevelSource::scaled_average ||
                             Source == LevelSource::scaled_average_ordered) {
            const double* m = average.column;
            for (std::size_t r = 0; r < count; ++r) {
                const double low = m[r] * one_minus_t_;
                const double high = m[r] * one_plus_t_;
                // keeps the upper level above the lower one for a negative average
                const bool keep = Source == LevelSource::scaled_average || m[r] > 0;
                low_[r] = keep ? low : high;
                high_[r] = keep ? high : low;
            }
            return {LevelRows{low_.data()}, LevelRows{high_.data()}, average};
        } else if constexpr (Source == LevelSource::average) {
            return {average, average, average};
        } else if constexpr (Source == LevelSource::bands) {
            return {LevelRows{lower_ + i}, LevelRows{upper_ + i}, zero};
        } else {
            return {LevelRows{lower_ + i}, LevelRows{upper_ + i}, average};
        }
    }

private:
    const double* average_;
    const double* upper_;
    const double* lower_;
    double t_;
    double one_plus_t_;
    double one_minus_t_;
    // the scaled levels of the span, written before they are read
    std::array<double, kSpanRows> low_;
    std::array<double, kSpanRows> high_;
};

// ---------------------------------------------------------------------------
// Comparisons

// A bound as one comparison of the row's value v with a level l. The ordered
// comparisons are false for NaN, in both forms below.
// v < l, l < v, v <= l, l <= v:
enum class Form : std::uint8_t { value_less, level_less, value_at_most, level_at_most };

struct Comparison {
    Form form = Form::value_less;
    Level level = Level::lower;

    constexpr bool operator==(const Comparison&) const = default;
};

constexpr Comparison comparison_of(const Bound& bound) {
    constexpr std::array kForms{Form::value_less, Form::level_less, Form::value_at_most, Form::level_at_most};
    return {kForms[static_cast<std::size_t>(bound.compare)], bound.level};
}

template <Form F>
bool holds(double value, double level) {
    if constexpr (F == Form::value_less) return value < level;
    if constexpr (F == Form::level_less) return level < value;
    if constexpr (F == Form::value_at_most) return value <= level;
    if constexpr (F == Form::level_at_most) return level <= value;
}

#if defined(__SSE2__)
template <Form F>
__m128d holds(__m128d value, __m128d level) {
    if constexpr (F == Form::value_less) return _mm_cmplt_pd(value, level);
    if constexpr (F == Form::level_less) return _mm_cmplt_pd(level, value);
    if constexpr (F == Form::value_at_most) return _mm_cmple_pd(value, level);
    if constexpr (F == Form::level_at_most) return _mm_cmple_pd(level, value);
}

// Sixteen bits from eight masks of two rows each, in order.
unsigned pack_masks(const __m128d (&masks)[8]) {
    // the low halves of two masks' rows, one 32-bit lane per row
    const auto rows = [](__m128d a, __m128d b) {
        return _mm_castps_si128(_mm_shuffle_ps(_mm_castpd_ps(a), _mm_castpd_ps(b), _MM_SHUFFLE(2, 0, 2, 0)));
    };
    const __m128i low = _mm_packs_epi32(rows(masks[0], masks[1]), rows(masks[2], masks[3]));
    const __m128i high = _mm_packs_epi32(rows(masks[4], masks[5]), rows(masks[6], masks[7]));
    return static_cast<unsigned>(_mm_movemask_epi8(_mm_packs_epi16(low, high)));
}
#endif

// The plane of a comparison on count <= kSpanRows rows; a level the same on
// every row stays in a register. Bits past the last row are zero.
template <Form F, bool Column>
void compare_rows(const double* values, const LevelRows& level, std::size_t count, Plane& plane) {
    const auto level_at = [&level](std::size_t r) { return Column ? level.column[r] : level.value; };
#if defined(__SSE2__)
    const __m128d same = _mm_set1_pd(level.value);
#endif
    for (std::size_t begin = 0; begin < count; begin += kWordRows) {
        const std::size_t end = std::min(count, begin + kWordRows);
        std::uint64_t bits = 0;
        std::size_t r = begin;
#if defined(__SSE2__)
        for (; r + 16 <= end; r += 16) {
            __m128d masks[8];
            for (std::size_t pair = 0; pair < 8; ++pair) {
                const std::size_t row = r + 2 * pair;
                masks[pair] = holds<F>(_mm_loadu_pd(values + row), Column ? _mm_loadu_pd(level.column + row) : same);
            }
            bits |= std::uint64_t{pack_masks(masks)} << (r - begin);
        }
#endif
        for (; r < end; ++r) bits |= std::uint64_t{holds<F>(values[r], level_at(r))} << (r - begin);
        plane[begin / kWordRows] = bits;
    }
}

template <Form F>
void compare_rows(const double* values, const LevelRows& level, std::size_t count, Plane& plane) {
    if (level.column != nullptr) return compare_rows<F, true>(values, level, count, plane);
    compare_rows<F, false>(values, level, count, plane);
}

void compare_rows(Form form, const double* values, const LevelRows& level, std::size_t count, Plane& plane) {
    switch (form) {
        case Form::value_less: return compare_rows<Form::value_less>(values, level, count, plane);
        case Form::level_less: return compare_rows<Form::level_less>(values, level, count, plane);
        case Form::value_at_most: return compare_rows<Form::value_at_most>(values, level, count, plane);
        case Form::level_at_most: return compare_rows<Form::level_at_most>(values, level, count, plane);
    }
}

// ---------------------------------------------------------------------------
// Clauses

constexpr std::size_t kMaxClauses = std::tuple_size_v<decltype(ClauseList::clauses)>;
constexpr std::size_t kMaxComparisons = 2 * kMaxClauses;
// Planes past the comparisons': one that never holds and one that always does.
constexpr std::uint8_t kNever = kMaxComparisons;
constexpr std::uint8_t kAlways = kMaxComparisons + 1;

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

// A rule as the pass reads it. A transition word holds the next entry after
// each previous entry (short, flat, long, warm-up), one byte each, written as
// the shift of the next entry. From row to row only one shift remains: no
// branch to mispredict on a noisy signal. The shifts are below 32 and each
// byte above them is zero, so the low five bits of `word >> shift` are the
// next shift whatever the bytes above it hold.
struct Program {
    std::array<Comparison, kMaxComparisons> comparisons{};  // distinct, each filling one plane
    std::size_t comparison_count = 0;
    std::array<std::array<std::uint8_t, 2>, kMaxClauses> clause_planes{};  // the planes each clause ANDs
    std::size_t clause_count = 0;
    std::array<std::uint32_t, std::size_t{1} << kMaxClauses> transitions{};  // by the bits of the clauses
};

Program compile(const ClauseList& clauses) {
    Program program;
    program.clause_count = clauses.size;
    const auto plane_of = [&program](const Bound& bound) {
        const Comparison comparison = comparison_of(bound);
        const auto begin = program.comparisons.begin();
        const auto end = begin + static_cast<std::ptrdiff_t>(program.comparison_count);
        const auto found = std::find(begin, end, comparison);
        if (found == end) program.comparisons[program.comparison_count++] = comparison;
        return static_cast<std::uint8_t>(found - begin);
    };
    for (std::size_t k = 0; k < kMaxClauses; ++k) {
        program.clause_planes[k] = {kNever, kNever};
        if (k >= clauses.size) continue;
        const Clause& clause = clauses.clauses[k];
        program.clause_planes[k][0] = plane_of(clause.bounds[0]);
        program.clause_planes[k][1] = clause.bound_count == 2 ? plane_of(clause.bounds[1]) : kAlways;
    }
    for (unsigned bits = 0; bits < program.transitions.size(); ++bits) {
        for (const Entry held : kEntries) {
            program.transitions[bits] |= shift_of(next_entry(clauses, bits, held)) << shift_of(held);
        }
    }
    return program;
}

// The planes of the clauses on a span's rows: whether the comparisons of
// clause k hold, whatever the previous entry.
using ClausePlanes = std::array<Plane, kMaxClauses>;

void clause_rows(const Program& program, const double* values, const SpanLevels& levels, std::size_t count,
                 ClausePlanes& clauses) {
    std::array<Plane, kMaxComparisons + 2> planes;
    planes[kNever].fill(0);
    planes[kAlways].fill(~std::uint64_t{0});
    for (std::size_t j = 0; j < program.comparison_count; ++j) {
        const Comparison& c = program.comparisons[j];
        compare_rows(c.form, values, levels[static_cast<std::size_t>(c.level)], count, planes[j]);
    }
    const std::size_t words = (count + kWordRows - 1) / kWordRows;
    for (std::size_t k = 0; k < kMaxClauses; ++k) {
        const Plane& first = planes[program.clause_planes[k][0]];
        const Plane& second = planes[program.clause_planes[k][1]];
        for (std::size_t w = 0; w < words; ++w) clauses[k][w] = first[w] & second[w];
    }
}

// ---------------------------------------------------------------------------
// Walking the rows

// Rows begin .. end - 1 of a span, one at a time; returns the shift of the
// last entry.
std::uint32_t walk_rows(const Program& program, const ClausePlanes& clauses, std::size_t begin, std::size_t end,
                        std::uint32_t shift, Entry* out) {
    for (std::size_t r = begin; r < end; ++r) {
        unsigned bits = 0;
        for (std::size_t k = 0; k < program.clause_count; ++k) {
            bits |= static_cast<unsigned>((clauses[k][r / kWordRows] >> (r % kWordRows)) & 1u) << k;
        }
        shift = program.transitions[bits] >> (shift & kShiftBits);
        out[r] = entry_of(shift);
    }
    return shift;
}

// Several rows at a time: the clause bits of a step's rows, packed into one
// byte, select from tables the entries of all its rows and the entry it ends
// on, so the dependency from row to row becomes one from step to step. A step
// of 4 rows has room for two clauses, one of 2 rows for four; bit k * rows + r
// of its byte is set when clause k holds on row r of the step.
struct StepTable {
    // The entries of the step's rows after each previous entry, row r in byte r.
    std::array<std::array<std::uint32_t, kEntries.size()>, 256> entries;
    // Like a transition word: the shift of the entry after the step's last row.
    std::array<std::uint32_t, 256> next;
};

// Only the steps that can occur: the bits past the rule's clauses stay zero.
template <std::size_t Rows>
void build_steps(const Program& program, StepTable& table) {
    constexpr std::size_t clauses = 8 / Rows;
    const unsigned steps = program.clause_count >= clauses ? 256u : 1u << (program.clause_count * Rows);
    for (unsigned step = 0; step < steps; ++step) {
        std::array<std::uint32_t, Rows> words{};  // the transition word of each row
        for (std::size_t r = 0; r < Rows; ++r) {
            unsigned bits = 0;
            for (std::size_t k = 0; k < clauses; ++k) bits |= ((step >> (k * Rows + r)) & 1u) << k;
            words[r] = program.transitions[bits];
        }
        std::uint32_t next = 0;
        for (std::size_t held = 0; held < kEntries.size(); ++held) {
            std::uint32_t shift = shift_of(kEntries[held]);
            std::uint32_t entries = 0;
            for (std::size_t r = 0; r < Rows; ++r) {
                shift = (words[r] >> shift) & kShiftBits;
                entries |= std::uint32_t{static_cast<std::uint8_t>(entry_of(shift))} << (8 * r);
            }
            table.entries[step][held] = entries;
            next |= shift << shift_of(kEntries[held]);
        }
        table.next[step] = next;
    }
}

#if defined(__SSE2__)
// Swaps the bits selected by `mask` with those `delta` places above them, in
// each 16-bit or 32-bit lane.
__m128i swap_bits16(__m128i x, int delta, std::uint16_t mask) {
    const __m128i t =
        _mm_and_si128(_mm_xor_si128(_mm_srli_epi16(x, delta), x), _mm_set1_epi16(static_cast<short>(mask)));
    return _mm_xor_si128(x, _mm_xor_si128(t, _mm_slli_epi16(t, delta)));
}

__m128i swap_bits32(__m128i x, int delta, std::uint32_t mask) {
    const __m128i t =
        _mm_and_si128(_mm_xor_si128(_mm_srli_epi32(x, delta), x), _mm_set1_epi32(static_cast<int>(mask)));
    return _mm_xor_si128(x, _mm_xor_si128(t, _mm_slli_epi32(t, delta)));
}

__m128i plane(std::uint64_t bits) { return _mm_cvtsi64_si128(static_cast<long long>(bits)); }

// The step bytes of 64 rows, from the clauses' words: the words' bytes are
// interleaved, then the bits of each lane are permuted into the step layout.
template <std::size_t Rows>
void step_bytes(const ClausePlanes& clauses, std::size_t w, std::uint8_t* steps) {
    if constexpr (Rows == 4) {
        // 16-bit lane: clause k's rows r = 0..7 at bit 8k + r; wanted 8(r / 4) + 4k + r % 4
        const __m128i lanes = _mm_unpacklo_epi8(plane(clauses[0][w]), plane(clauses[1][w]));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(steps), swap_bits16(lanes, 4, 0x00F0));
    } else {
        // 32-bit lane: clause k's rows r = 0..7 at bit 8k + r; wanted 8(r / 2) + 2k + r % 2,
        // which swaps bit 1 of the place with bit 3 and bit 2 with bit 4
        const __m128i low = _mm_unpacklo_epi8(plane(clauses[0][w]), plane(clauses[1][w]));
        const __m128i high = _mm_unpacklo_epi8(plane(clauses[2][w]), plane(clauses[3][w]));
        const auto permute = [](__m128i x) { return swap_bits32(swap_bits32(x, 6, 0x00CC00CCu), 12, 0x0000F0F0u); };
        _mm_storeu_si128(reinterpret_cast<__m128i*>(steps), permute(_mm_unpacklo_epi16(low, high)));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(steps + 16), permute(_mm_unpackhi_epi16(low, high)));
    }
}

// The step bytes of a span's rows.
template <std::size_t Rows>
void span_steps(const ClausePlanes& clauses, std::size_t count, std::uint8_t* steps) {
    for (std::size_t w = 0; w * kWordRows < count; ++w) step_bytes<Rows>(clauses, w, steps + w * (kWordRows / Rows));
}

// The rows of a span, a step at a time as far as whole steps go; returns the
// shift of the last entry.
template <std::size_t Rows>
std::uint32_t walk_steps(const Program& program, const StepTable& table, const ClausePlanes& clauses,
                         std::size_t count, std::uint32_t shift, Entry* out) {
    alignas(16) std::uint8_t steps[kSpanRows / Rows];
    span_steps<Rows>(clauses, count, steps);
    const std::size_t whole = count / Rows;
    for (std::size_t s = 0; s < whole; ++s) {
        const std::uint32_t entries = table.entries[steps[s]][(shift & 24u) / 8];
        std::memcpy(out + s * Rows, &entries, Rows);
        shift = table.next[steps[s]] >> (shift & kShiftBits);
    }
    return walk_rows(program, clauses, whole * Rows, count, shift, out);
}

// The clause bits of the two rows of a two-row step byte.
constexpr auto kRowsOfStep = [] {
    std::array<std::array<std::uint8_t, 2>, 256> rows{};
    for (unsigned step = 0; step < 256; ++step) {
        for (unsigned k = 0; k < 4; ++k) {
            rows[step][0] = static_cast<std::uint8_t>(rows[step][0] | ((step >> (2 * k)) & 1u) << k);
            rows[step][1] = static_cast<std::uint8_t>(rows[step][1] | ((step >> (2 * k + 1)) & 1u) << k);
        }
    }
    return rows;
}();

// The rows of a span, a row at a time from the two-row step bytes, without a
// step table; returns the shift of the last entry.
std::uint32_t walk_pairs(const Program& program, const ClausePlanes& clauses, std::size_t count, std::uint32_t shift,
                         Entry* out) {
    alignas(16) std::uint8_t steps[kSpanRows / 2];
    span_steps<2>(clauses, count, steps);
    const std::size_t whole = count / 2;
    for (std::size_t s = 0; s < whole; ++s) {
        for (std::size_t r = 0; r < 2; ++r) {
            shift = program.transitions[kRowsOfStep[steps[s]][r]] >> (shift & kShiftBits);
            out[2 * s + r] = entry_of(shift);
        }
    }
    return walk_rows(program, clauses, whole * 2, count, shift, out);
}
#endif

// How the rows are walked. A step table takes time to build in proportion to
// the steps that can occur: 16 two-row steps for a rule of two clauses, else
// all 256; a full table pays from about kRowsForFullTable rows on.
enum class Walk : std::uint8_t { rows, pairs, two_row_steps, four_row_steps };

constexpr std::size_t kRowsForFullTable = 16384;

Walk walk_for(const Program& program, std::size_t rows) {
#if defined(__SSE2__)
    const bool long_input = rows >= kRowsForFullTable;
    if (program.clause_count <= 2) return long_input ? Walk::four_row_steps : Walk::two_row_steps;
    return long_input ? Walk::two_row_steps : Walk::pairs;
#else
    (void)program;
    (void)rows;
    return Walk::rows;
#endif
}

std::uint32_t walk_span(Walk walk, const Program& program, const StepTable& table, const ClausePlanes& clauses,
                        std::size_t count, std::uint32_t shift, Entry* out) {
    switch (walk) {
#if defined(__SSE2__)
        case Walk::pairs: return walk_pairs(program, clauses, count, shift, out);
        case Walk::two_row_steps: return walk_steps<2>(program, table, clauses, count, shift, out);
        case Walk::four_row_steps: return walk_steps<4>(program, table, clauses, count, shift, out);
#endif
        default: return walk_rows(program, clauses, 0, count, shift, out);
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

// The columns as seen from row `first`: row k of the pass is row first + k.
Columns from_row(const Columns& columns, std::size_t first) {
    const auto tail = [first](std::span<const double> column) {
        return column.empty() ? column : column.subspan(first);
    };
    return {tail(columns.series), tail(columns.average), tail(columns.upper), tail(columns.lower), columns.threshold};
}

template <LevelSource Source>
void decide_rows(const Program& program, const Columns& columns, std::span<Entry> out) {
    LevelReader<Source> levels(columns);
    const double* series = columns.series.data();
    const Walk walk = walk_for(program, out.size());
    StepTable table;
#if defined(__SSE2__)
    if (walk == Walk::two_row_steps) build_steps<2>(program, table);
    if (walk == Walk::four_row_steps) build_steps<4>(program, table);
#endif
    ClausePlanes clauses;
    std::uint32_t shift = shift_of(Entry::warm_up);
    for (std::size_t k = 0; k < out.size(); k += kSpanRows) {
        const std::size_t count = std::min(kSpanRows, out.size() - k);
        clause_rows(program, series + k, levels.at(k, count), count, clauses);
        shift = walk_span(walk, program, table, clauses, count, shift, out.data() + k);
    }
}

void decide(const ClauseList& clauses, LevelSource source, const Columns& columns, std::size_t first,
            std::span<Entry> out) {
    check_sizes(source, columns, first, out);
    if (out.empty()) return;
    const Program program = compile(clauses);
    const Columns rows = from_row(columns, first);
    switch (source) {
        case LevelSource::fixed: return decide_rows<LevelSource::fixed>(program, rows, out);
        case LevelSource::fixed_around_average:
            return decide_rows<LevelSource::fixed_around_average>(program, rows, out);
        case LevelSource::scaled_average: return decide_rows<LevelSource::scaled_average>(program, rows, out);
        case LevelSource::scaled_average_ordered:
            return decide_rows<LevelSource::scaled_average_ordered>(program, rows, out);
        case LevelSource::average: return decide_rows<LevelSource::average>(program, rows, out);
        case LevelSource::bands: return decide_rows<LevelSource::bands>(program, rows, out);
        case LevelSource::bands_around_average:
            return decide_rows<LevelSource::bands_around_average>(program, rows, out);
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
