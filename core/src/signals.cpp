#include "backtest/signals.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <stdexcept>
#include <utility>
#include <vector>

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
    static Mask both(Mask a, Mask b) { return a & b; }
    template <Compare C>
    static Mask compare(Value value, Value level) {
        if constexpr (C == Compare::less) return value < level;
        if constexpr (C == Compare::greater) return value > level;
        if constexpr (C == Compare::less_equal) return value <= level;
        if constexpr (C == Compare::greater_equal) return value >= level;
    }
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
    static Mask both(Mask a, Mask b) { return _mm_and_pd(a, b); }
    template <Compare C>
    static Mask compare(Value value, Value level) {
        if constexpr (C == Compare::less) return _mm_cmplt_pd(value, level);
        if constexpr (C == Compare::greater) return _mm_cmplt_pd(level, value);
        if constexpr (C == Compare::less_equal) return _mm_cmple_pd(value, level);
        if constexpr (C == Compare::greater_equal) return _mm_cmple_pd(level, value);
    }
    static void swap_unless(Mask keep, Value& a, Value& b) {
        const __m128d differing = _mm_andnot_pd(keep, _mm_xor_pd(a, b));
        a = _mm_xor_pd(a, differing);
        b = _mm_xor_pd(b, differing);
    }
};
#endif

// The levels of the rows from i on. The factors 1 + t and 1 - t are the same
// for every row. The column pointers are copies: the rows are written as
// pointers, which could alias a Columns object, so pointers read through it
// would be reloaded on every row.
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
            Rows::swap_unless(Rows::template compare<Compare::greater>(m, Rows::broadcast(0.0)), low, high);
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

template <class Rows, Bound B>
auto bound_holds(typename Rows::Value value, const typename Rows::Levels& levels) {
    if constexpr (B.level == Level::lower) return Rows::template compare<B.compare>(value, levels.lower);
    if constexpr (B.level == Level::upper) return Rows::template compare<B.compare>(value, levels.upper);
    if constexpr (B.level == Level::centre) return Rows::template compare<B.compare>(value, levels.centre);
}

// Whether the comparisons of a test hold, whatever the previous entry.
template <class Rows, Test T>
auto test_holds(typename Rows::Value value, const typename Rows::Levels& levels) {
    const auto first = bound_holds<Rows, T.bounds[0]>(value, levels);
    if constexpr (T.bound_count == 2) return Rows::both(first, bound_holds<Rows, T.bounds[1]>(value, levels));
    else return first;
}

// Bit k is set when the comparisons of test k hold on the row.
template <TestList Tests, std::size_t K = 0>
unsigned row_bits(double value, const OneRow::Levels& levels) {
    if constexpr (K == Tests.size) {
        return 0;
    } else {
        const bool holds = test_holds<OneRow, Tests.tests[K]>(value, levels);
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

constexpr std::array kEntries{Entry::short_side, Entry::flat, Entry::long_side, Entry::warm_up};

// An entry as the position of its byte in a transition: 8 * (entry + 1), which
// is also 8 times its index in EntryItems.
constexpr std::uint32_t shift_of(Entry entry) { return 8 * static_cast<std::uint32_t>(static_cast<int>(entry) + 1); }

constexpr std::uint32_t kShiftBits = 31;  // x86 shifts of 32-bit values read only these bits of the count

// The entry a shift stands for, as its index in EntryItems: bits 3 and 4 of the shift.
constexpr std::size_t item_of(std::uint32_t shift) { return (shift & 24u) / 8; }

// For each combination of row bits, the next entry after each previous entry
// (short, flat, long, warm-up), one byte each, written as the shift of the next
// entry. From row to row only one shift remains: no branch to mispredict on a
// noisy signal. The shifts are below 32 and each byte above them is zero, so
// the low five bits of `transition >> shift` are the next shift whatever the
// bytes above it hold.
template <TestList Tests>
constexpr auto kTransitions = [] {
    std::array<std::uint32_t, std::size_t{1} << Tests.size> table{};
    for (unsigned bits = 0; bits < table.size(); ++bits) {
        for (const Entry held : kEntries) table[bits] |= shift_of(next_entry(Tests, bits, held)) << shift_of(held);
    }
    return table;
}();

// Rows first + begin .. first + end - 1, one at a time; returns the shift of the
// last entry.
template <TestList Tests, LevelSource Source>
std::uint32_t decide_each_row(const LevelReader<Source>& levels, const double* series, std::size_t first,
                              std::size_t begin, std::size_t end, std::uint32_t shift, const EntryItems& items,
                              void** out) {
    for (std::size_t k = begin; k < end; ++k) {
        const std::size_t i = first + k;
        shift = kTransitions<Tests>[row_bits<Tests>(series[i], levels.template at<OneRow>(i))] >> (shift & kShiftBits);
        out[k] = items[item_of(shift)];
    }
    return shift;
}

#if defined(__SSE2__)
// Rows in steps of kStepRows: the comparisons of a step's rows, packed into one
// byte, select from tables the items of all its rows and the entry it ends on,
// so the dependency from row to row becomes one from step to step. The tests'
// comparisons run on two rows at a time.
template <TestList Tests>
constexpr std::size_t kStepRows = 8 / Tests.size;  // bit k * kStepRows + r: test k holds on row r

// Two steps, whose sixteen bits are packed at once.
template <TestList Tests>
constexpr std::size_t kChunkRows = 2 * kStepRows<Tests>;

// The row bits of row r of a step.
template <TestList Tests>
constexpr unsigned bits_in_step(unsigned step, std::size_t r) {
    unsigned bits = 0;
    for (std::size_t k = 0; k < Tests.size; ++k) bits |= ((step >> (k * kStepRows<Tests> + r)) & 1u) << k;
    return bits;
}

// For each step byte, the entries of its rows after each previous entry (as
// indices in EntryItems) and, like kTransitions, the shift of the entry after
// its last row.
template <TestList Tests>
struct StepTable {
    std::array<std::array<std::array<std::uint8_t, kStepRows<Tests>>, kEntries.size()>, 256> entries{};
    std::array<std::uint32_t, 256> next{};
};

template <TestList Tests>
constexpr StepTable<Tests> kSteps = [] {
    static_assert(Tests.size == 2 || Tests.size == 4, "a step must fill its byte with whole rows");
    StepTable<Tests> table;
    for (unsigned step = 0; step < 256; ++step) {
        for (std::size_t held = 0; held < kEntries.size(); ++held) {
            Entry entry = kEntries[held];
            for (std::size_t r = 0; r < kStepRows<Tests>; ++r) {
                entry = next_entry(Tests, bits_in_step<Tests>(step, r), entry);
                table.entries[step][held][r] = static_cast<std::uint8_t>(shift_of(entry) / 8);
            }
            table.next[step] |= shift_of(entry) << shift_of(kEntries[held]);
        }
    }
    return table;
}();

// The items of the rows of every step and previous entry, for this call's items.
template <TestList Tests>
std::vector<void*> step_items(const EntryItems& items) {
    std::vector<void*> table(256 * kEntries.size() * kStepRows<Tests>);
    auto next = table.begin();
    for (const auto& by_previous : kSteps<Tests>.entries) {
        for (const auto& rows : by_previous) {
            next = std::transform(rows.begin(), rows.end(), next,
                                  [&items](std::uint8_t entry) { return items[entry]; });
        }
    }
    return table;
}

// The masks of the eight row pairs of a chunk (a plain array: vector types
// lose their alignment attribute as template arguments).
struct ChunkMasks {
    __m128d pairs[8];
};

// Packs the masks into sixteen bits, two per mask in order.
unsigned pack_masks(const ChunkMasks& chunk) {
    const __m128d* masks = chunk.pairs;
    // the low halves of two masks' rows, one 32-bit lane per row
    const auto rows = [](__m128d a, __m128d b) {
        return _mm_castps_si128(_mm_shuffle_ps(_mm_castpd_ps(a), _mm_castpd_ps(b), _MM_SHUFFLE(2, 0, 2, 0)));
    };
    const __m128i low = _mm_packs_epi32(rows(masks[0], masks[1]), rows(masks[2], masks[3]));
    const __m128i high = _mm_packs_epi32(rows(masks[4], masks[5]), rows(masks[6], masks[7]));
    return static_cast<unsigned>(_mm_movemask_epi8(_mm_packs_epi16(low, high)));
}

// The step bytes of the chunk of rows from i on, the first step in the low byte.
template <TestList Tests, LevelSource Source>
unsigned chunk_steps(const LevelReader<Source>& levels, const double* series, std::size_t i) {
    constexpr std::size_t pairs_per_step = kStepRows<Tests> / 2;
    ChunkMasks masks;
    for (std::size_t pair = 0; pair < 2 * pairs_per_step; ++pair) {
        const std::size_t row = i + 2 * pair;
        const __m128d value = TwoRows::load(series + row);
        const TwoRows::Levels at = levels.template at<TwoRows>(row);
        const std::size_t step = pair / pairs_per_step;
        [&]<std::size_t... K>(std::index_sequence<K...>) {
            ((masks.pairs[(step * Tests.size + K) * pairs_per_step + pair % pairs_per_step] =
                  test_holds<TwoRows, Tests.tests[K]>(value, at)),
             ...);
        }(std::make_index_sequence<Tests.size>{});
    }
    return pack_masks(masks);
}

// Below this many rows, building the step items would cost more than it saves.
constexpr std::size_t kRowsForSteps = 4096;

// Whole chunks of rows from `first` on; returns the shift of the last entry.
template <TestList Tests, LevelSource Source>
std::uint32_t decide_in_steps(const LevelReader<Source>& levels, const double* series, std::size_t first,
                              std::size_t chunks, const EntryItems& items, void** out) {
    constexpr std::size_t rows = kStepRows<Tests>;
    const std::vector<void*> table = step_items<Tests>(items);
    std::uint32_t shift = shift_of(Entry::warm_up);
    for (std::size_t chunk = 0; chunk < chunks; ++chunk) {
        const std::size_t k = chunk * kChunkRows<Tests>;
        const unsigned steps = chunk_steps<Tests>(levels, series, first + k);
        for (std::size_t half = 0; half < 2; ++half) {
            const unsigned step = (steps >> (8 * half)) & 0xFFu;
            void* const* step_rows = &table[(step * kEntries.size() + item_of(shift)) * rows];
            std::copy_n(step_rows, rows, out + k + half * rows);
            shift = kSteps<Tests>.next[step] >> (shift & kShiftBits);
        }
    }
    return shift;
}
#endif

void check_sizes(LevelSource source, const Columns& columns, std::size_t first, std::span<void*> out) {
    const std::size_t rows = columns.series.size();
    if (out.size() != (first < rows ? rows - first : 0)) {
        throw std::invalid_argument("the output must hold one entry per decided row");
    }
    const bool average_fits = !uses_average(source) || columns.average.size() == rows;
    const bool bands_fit = !uses_bands(source) || (columns.upper.size() == rows && columns.lower.size() == rows);
    if (!average_fits || !bands_fit) throw std::invalid_argument("every column must have one value per row");
}

template <TestList Tests, LevelSource Source>
void decide_rows(const Columns& columns, std::size_t first, const EntryItems& items, std::span<void*> out) {
    check_sizes(Source, columns, first, out);
    const LevelReader<Source> levels(columns);
    const double* series = columns.series.data();
    std::size_t done = 0;
    std::uint32_t shift = shift_of(Entry::warm_up);
#if defined(__SSE2__)
    if (out.size() >= kRowsForSteps) {
        const std::size_t chunks = out.size() / kChunkRows<Tests>;
        shift = decide_in_steps<Tests>(levels, series, first, chunks, items, out.data());
        done = chunks * kChunkRows<Tests>;
    }
#endif
    decide_each_row<Tests>(levels, series, first, done, out.size(), shift, items, out.data());
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
