// The mode table against the written rules, and the row pass against a naive reading of them.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cctype>
#include <cmath>
#include <limits>
#include <random>
#include <stdexcept>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "backtest/signals.hpp"

namespace backtest::signals {
namespace {

// Writes a rule the way the trading rules are written down: "s < -t: 1; ...".
std::string render(const ClauseList& clauses, LevelSource source, const std::string& value) {
    struct Names {
        const char* lower;
        const char* upper;
        const char* centre;
        const char* prefix;
    };
    static const Names names[] = {{"-t", "t", "0", ""},     {"-t", "t", "m", ""},
                                  {"L", "U", "m", "levels of rule 7; "}, {"L", "U", "m", "levels of rule 9; "},
                                  {"m", "m", "m", ""},      {"L", "U", "0", ""},
                                  {"L", "U", "M", ""}};
    const Names& n = names[static_cast<int>(source)];
    static const char* const compares[] = {" < ", " > ", " <= ", " >= "};
    std::string text = n.prefix;
    for (std::size_t k = 0; k < clauses.size; ++k) {
        const Clause& clause = clauses.clauses[k];
        if (k > 0) text += "; ";
        for (std::size_t b = 0; b < clause.bound_count; ++b) {
            const Level level = clause.bounds[b].level;
            text += (b > 0 ? " and " : "") + value + compares[static_cast<int>(clause.bounds[b].compare)] +
                    (level == Level::lower ? n.lower : level == Level::upper ? n.upper : n.centre);
        }
        if (clause.needs_held) text += clause.held == Entry::long_side ? " and p == 1" : " and p == -1";
        text += ": " + std::to_string(static_cast<int>(clause.result));
    }
    return text;
}

const char* average_name(Average average) {
    static const char* const names[] = {"none", "sma", "ema", "wma"};
    return names[static_cast<int>(average)];
}

struct ModeRow {
    const char* name;
    const char* average;
    std::string clauses;
};

// The two-sided rules by number, as the threshold generator's rules state them.
const std::vector<std::string> kRules = {
    "",
    "s < -t: 1; s > t: -1",
    "s < -t: -1; s > t: 1",
    "s < -t: 1; s > t: -1; s >= 0 and p == 1: 0; s <= 0 and p == -1: 0",
    "s < -t: -1; s > t: 1; s <= 0 and p == 1: 0; s >= 0 and p == -1: 0",
    "s < -t: -1; s > t: 1; s <= t and p == 1: 0; s >= -t and p == -1: 0",
    "s > 0 and s < t: 1; s < 0 and s > -t: -1; s >= t and p == 1: 0; s <= -t and p == -1: 0",
    "levels of rule 7; s > U: -1; s < L: 1",
    "levels of rule 7; s > U: 1; s < L: -1",
    "levels of rule 9; s > U: -1; s < L: 1",
    "levels of rule 9; s > U: 1; s < L: -1",
    "s < -t: 1; s > t: -1; s >= m and p == 1: 0; s <= m and p == -1: 0",
    "s < -t: -1; s > t: 1; s <= m and p == 1: 0; s >= m and p == -1: 0",
    "s > m and s < t: 1; s < m and s > -t: -1; s >= t and p == 1: 0; s <= -t and p == -1: 0",
    "s > m: 1; s < m: -1",
};

const std::vector<ModeRow> kThresholdTable = {
    {"mr", "none", kRules[1]}, {"mr_0", "none", kRules[3]}, {"0_sideline", "none", kRules[6]},
    {"momentum", "none", kRules[2]}, {"momentum_sideline", "none", kRules[5]}, {"momentum_0", "none", kRules[4]},
    {"mr(sma)_sma", "sma", kRules[9]}, {"mr(ema)_ema", "ema", kRules[9]}, {"mr(wma)_wma", "wma", kRules[9]},
    {"momentum(sma)_sma", "sma", kRules[10]}, {"momentum(ema)_ema", "ema", kRules[10]},
    {"momentum(wma)_wma", "wma", kRules[10]}, {"mr(sma)", "sma", kRules[7]}, {"mr(ema)", "ema", kRules[7]},
    {"mr(wma)", "wma", kRules[7]}, {"momentum(sma)", "sma", kRules[8]}, {"momentum(ema)", "ema", kRules[8]},
    {"momentum(wma)", "wma", kRules[8]}, {"momentum_sma", "sma", kRules[12]}, {"momentum_ema", "ema", kRules[12]},
    {"momentum_wma", "wma", kRules[12]}, {"momentum(sma)_sideline", "sma", kRules[13]},
    {"momentum(ema)_sideline", "ema", kRules[13]}, {"momentum(wma)_sideline", "wma", kRules[13]},
    {"mr_sma", "sma", kRules[11]}, {"mr_ema", "ema", kRules[11]}, {"mr_wma", "wma", kRules[11]},
    {"cross-sma", "sma", kRules[14]}, {"cross-ema", "ema", kRules[14]}, {"cross-wma", "wma", kRules[14]},
    // the long-only and short-only modes, row by row
    {"mr-l", "none", "s < -t: 1; s > t: 0"},
    {"mr-s", "none", "s < -t: 0; s > t: -1"},
    {"mr_0-l", "none", "s < -t: 1; s >= 0 and p == 1: 0"},
    {"mr_0-s", "none", "s > t: -1; s <= 0 and p == -1: 0"},
    {"0_sideline-l", "none", "s > 0 and s < t: 1; s >= t and p == 1: 0"},
    {"0_sideline-s", "none", "s < 0 and s > -t: -1; s <= -t and p == -1: 0"},
    {"momentum-l", "none", "s < -t: 0; s > t: 1"},
    {"momentum-s", "none", "s < -t: -1; s > t: 0"},
    {"momentum_sideline-l", "none", "s > t: 1; s <= t and p == 1: 0"},
    {"momentum_sideline-s", "none", "s < -t: -1; s >= -t and p == -1: 0"},
    {"momentum_0-l", "none", "s > t: 1; s <= 0 and p == 1: 0"},
    {"momentum_0-s", "none", "s < -t: -1; s >= 0 and p == -1: 0"},
    {"mr(sma)_sma-l", "sma", "levels of rule 9; s > U: 0; s < L: 1"},
    {"mr(sma)_sma-s", "sma", "levels of rule 9; s > U: -1; s < L: 0"},
    {"mr(ema)_ema-l", "ema", "levels of rule 9; s > U: 0; s < L: 1"},
    {"mr(ema)_ema-s", "ema", "levels of rule 9; s > U: -1; s < L: 0"},
    {"mr(wma)_wma-l", "wma", "levels of rule 9; s > U: 0; s < L: 1"},
    {"mr(wma)_wma-s", "wma", "levels of rule 9; s > U: -1; s < L: 0"},
    {"momentum(sma)_sma-l", "sma", "levels of rule 9; s > U: 1; s < L: 0"},
    {"momentum(sma)_sma-s", "sma", "levels of rule 9; s > U: 0; s < L: -1"},
    {"momentum(ema)_ema-l", "ema", "levels of rule 9; s > U: 1; s < L: 0"},
    {"momentum(ema)_ema-s", "ema", "levels of rule 9; s > U: 0; s < L: -1"},
    {"momentum(wma)_wma-l", "wma", "levels of rule 9; s > U: 1; s < L: 0"},
    {"momentum(wma)_wma-s", "wma", "levels of rule 9; s > U: 0; s < L: -1"},
    {"mr(sma)-l", "sma", "levels of rule 7; s > U: 0; s < L: 1"},
    {"mr(sma)-s", "sma", "levels of rule 7; s > U: -1; s < L: 0"},
    {"mr(ema)-l", "ema", "levels of rule 7; s > U: 0; s < L: 1"},
    {"mr(ema)-s", "ema", "levels of rule 7; s > U: -1; s < L: 0"},
    {"mr(wma)-l", "wma", "levels of rule 7; s > U: 0; s < L: 1"},
    {"mr(wma)-s", "wma", "levels of rule 7; s > U: -1; s < L: 0"},
    {"momentum(sma)-l", "sma", "levels of rule 7; s > U: 1; s < L: 0"},
    {"momentum(sma)-s", "sma", "levels of rule 7; s > U: 0; s < L: -1"},
    {"momentum(ema)-l", "ema", "levels of rule 7; s > U: 1; s < L: 0"},
    {"momentum(ema)-s", "ema", "levels of rule 7; s > U: 0; s < L: -1"},
    {"momentum(wma)-l", "wma", "levels of rule 7; s > U: 1; s < L: 0"},
    {"momentum(wma)-s", "wma", "levels of rule 7; s > U: 0; s < L: -1"},
    {"momentum_sma-l", "sma", "s > t: 1; s <= m and p == 1: 0"},
    {"momentum_sma-s", "sma", "s < -t: -1; s >= m and p == -1: 0"},
    {"momentum_ema-l", "ema", "s > t: 1; s <= m and p == 1: 0"},
    {"momentum_ema-s", "ema", "s < -t: -1; s >= m and p == -1: 0"},
    {"momentum_wma-l", "wma", "s > t: 1; s <= m and p == 1: 0"},
    {"momentum_wma-s", "wma", "s < -t: -1; s >= m and p == -1: 0"},
    {"momentum(sma)_sideline-l", "sma", "s > m and s < t: 1; s >= t and p == 1: 0"},
    {"momentum(sma)_sideline-s", "sma", "s < m and s > -t: -1; s <= -t and p == -1: 0"},
    {"momentum(ema)_sideline-l", "ema", "s > m and s < t: 1; s >= t and p == 1: 0"},
    {"momentum(ema)_sideline-s", "ema", "s < m and s > -t: -1; s <= -t and p == -1: 0"},
    {"momentum(wma)_sideline-l", "wma", "s > m and s < t: 1; s >= t and p == 1: 0"},
    {"momentum(wma)_sideline-s", "wma", "s < m and s > -t: -1; s <= -t and p == -1: 0"},
    {"mr_sma-l", "sma", "s < -t: 1; s >= m and p == 1: 0"},
    {"mr_sma-s", "sma", "s > t: -1; s <= m and p == -1: 0"},
    {"mr_ema-l", "ema", "s < -t: 1; s >= m and p == 1: 0"},
    {"mr_ema-s", "ema", "s > t: -1; s <= m and p == -1: 0"},
    {"mr_wma-l", "wma", "s < -t: 1; s >= m and p == 1: 0"},
    {"mr_wma-s", "wma", "s > t: -1; s <= m and p == -1: 0"},
};

const std::string kBandMr = "d < L: 1; d > U: -1";
const std::string kBandMomentum = "d < L: -1; d > U: 1";
const std::string kBandSideline = "d > C and d < U: 1; d < C and d > L: -1; d >= U and p == 1: 0; d <= L and p == -1: 0";
const std::string kBandMrExit = kBandMr + "; d >= C and p == 1: 0; d <= C and p == -1: 0";
const std::string kBandMomentumExit = kBandMomentum + "; d <= C and p == 1: 0; d >= C and p == -1: 0";

std::string with_centre(std::string text, const std::string& centre) {
    for (std::size_t at = text.find('C'); at != std::string::npos; at = text.find('C')) text.replace(at, 1, centre);
    return text;
}

const std::vector<ModeRow> kBandTable = {
    {"mr", "none", kBandMr},
    {"mr_sma", "sma", with_centre(kBandMrExit, "M")},
    {"mr_ema", "ema", with_centre(kBandMrExit, "M")},
    {"mr_wma", "wma", with_centre(kBandMrExit, "M")},
    {"mr_0", "none", with_centre(kBandMrExit, "0")},
    {"0_sideline", "none", with_centre(kBandSideline, "0")},
    {"momentum(sma)_sideline", "sma", with_centre(kBandSideline, "M")},
    {"momentum(ema)_sideline", "ema", with_centre(kBandSideline, "M")},
    {"momentum(wma)_sideline", "wma", with_centre(kBandSideline, "M")},
    {"momentum", "none", kBandMomentum},
    {"momentum_sideline", "none", kBandMomentum + "; d <= U and p == 1: 0; d >= L and p == -1: 0"},
    {"momentum_0", "none", with_centre(kBandMomentumExit, "0")},
    {"momentum_sma", "sma", with_centre(kBandMomentumExit, "M")},
    {"momentum_ema", "ema", with_centre(kBandMomentumExit, "M")},
    {"momentum_wma", "wma", with_centre(kBandMomentumExit, "M")},
};

TEST(SignalModes, ThresholdTableDerivesEveryWrittenRuleInOrder) {
    ASSERT_EQ(kThresholdModes.size(), kThresholdTable.size());
    for (std::size_t i = 0; i < kThresholdTable.size(); ++i) {
        const ThresholdMode& mode = kThresholdModes[i];
        const ModeRow& row = kThresholdTable[i];
        EXPECT_EQ(mode.name(), row.name) << "mode " << i + 1;
        EXPECT_STREQ(average_name(mode.average), row.average) << row.name;
        EXPECT_EQ(render(mode.clauses(), mode.levels, "s"), row.clauses) << row.name;
        EXPECT_EQ(find_threshold_mode(row.name), i) << row.name;
    }
}

TEST(SignalModes, BandTableUsesTheSameFamiliesOverBandColumns) {
    ASSERT_EQ(kBandModes.size(), kBandTable.size());
    for (std::size_t i = 0; i < kBandTable.size(); ++i) {
        const BandMode& mode = kBandModes[i];
        const ModeRow& row = kBandTable[i];
        EXPECT_EQ(mode.name, row.name);
        EXPECT_STREQ(average_name(mode.centre), row.average) << row.name;
        EXPECT_EQ(render(mode.clauses(), mode.levels(), "d"), row.clauses) << row.name;
        EXPECT_EQ(find_band_mode(row.name), i) << row.name;
    }
    EXPECT_EQ(render(kMacdClauses, kMacdLevels, "d"), "d >= m: 1; d <= m: -1");
}

TEST(SignalModes, NamesMatchExactlyOnly) {
    for (const char* name : {"MR", " mr", "mr ", "", "cross-sma-l", "cross-ema-s", "mr-", "mr-x", "mr-l-l"}) {
        EXPECT_FALSE(find_threshold_mode(name).has_value()) << '"' << name << '"';
    }
    EXPECT_FALSE(find_threshold_mode(std::string_view("mr\0", 3)).has_value());
    EXPECT_FALSE(find_band_mode("mr-l").has_value());
    EXPECT_FALSE(find_band_mode("cross-sma").has_value());
}

constexpr double kNan = std::numeric_limits<double>::quiet_NaN();
constexpr Entry W = Entry::warm_up, F = Entry::flat, B = Entry::long_side, S = Entry::short_side;

using Pass = void (*)(std::size_t, const Columns&, std::size_t, std::span<Entry>);

void macd_pass(std::size_t, const Columns& columns, std::size_t first, std::span<Entry> out) {
    decide_macd(columns, first, out);
}

// Every rule of the three generators, with what the naive reading needs.
struct Rule {
    std::string name;
    ClauseList clauses;
    LevelSource levels;
    Pass pass;
    std::size_t mode;
};

std::vector<Rule> all_rules() {
    std::vector<Rule> rules;
    for (std::size_t i = 0; i < kThresholdModes.size(); ++i) {
        const ThresholdMode& mode = kThresholdModes[i];
        rules.push_back({mode.name(), mode.clauses(), mode.levels, &decide_threshold, i});
    }
    for (std::size_t i = 0; i < kBandModes.size(); ++i) {
        const BandMode& mode = kBandModes[i];
        rules.push_back({"band " + std::string(mode.name), mode.clauses(), mode.levels(), &decide_band, i});
    }
    rules.push_back({"macd", kMacdClauses, kMacdLevels, &macd_pass, 0});
    return rules;
}

const std::vector<Rule> kRulesToTest = all_rules();

std::vector<Entry> decide(const Rule& rule, const Columns& columns, std::size_t first) {
    std::vector<Entry> out(first < columns.series.size() ? columns.series.size() - first : 0, F);
    rule.pass(rule.mode, columns, first, out);
    return out;
}

std::vector<Entry> decide_named(const char* name, const Columns& columns, std::size_t first) {
    const std::size_t index = find_threshold_mode(name).value();
    return decide(kRulesToTest[index], columns, first);
}

struct PassCase {
    const char* mode;
    std::vector<double> series;
    std::vector<double> average;
    double threshold;
    std::vector<Entry> expected;  // from row 2 on
};

class SignalThresholdPass : public testing::TestWithParam<PassCase> {};

TEST_P(SignalThresholdPass, DecidesRowsCarryingTheWarmUp) {
    const PassCase& c = GetParam();
    EXPECT_EQ(decide_named(c.mode, {c.series, c.average, {}, {}, c.threshold}, 2), c.expected);
}

const std::vector<double> kSignal = {5, 5, -2, 0.5, 3, -0.2};

INSTANTIATE_TEST_SUITE_P(
    Signal, SignalThresholdPass,
    testing::Values(PassCase{"mr", kSignal, {}, 1, {B, B, S, S}}, PassCase{"0_sideline", kSignal, {}, 1, {W, B, F, S}},
                    PassCase{"mr_0-s", kSignal, {}, 1, {W, W, S, F}},
                    PassCase{"momentum_sideline", kSignal, {}, 1, {S, F, B, F}},
                    PassCase{"mr(sma)_sma", {-10, -10, -12, -9.5}, {kNan, -10, -11, -10.75}, 0.1, {W, S}},
                    PassCase{"mr(sma)", {-10, -10, -12, -9.5}, {kNan, -10, -11, -10.75}, 0.1, {S, S}},
                    PassCase{"mr(sma)_sma", {1, 1, 5, -5}, {kNan, 1, kNan, 2}, 0.1, {W, B}},
                    PassCase{"mr", {1, 1, kNan, -3, kNan}, {}, 1, {W, B, B}},
                    PassCase{"cross-sma", {1, 3, 2, 5}, {kNan, 2, 2.5, 3.5}, kNan, {S, B}},
                    PassCase{"mr", {0, 0, 0, -1}, {}, 0, {W, B}}));

TEST(SignalPass, BandAndMacdRules) {
    const std::vector<double> data = {0, 0, -3, 0, 3, 0}, upper(6, 2), lower(6, -2);
    std::vector<Entry> out(4);
    decide_band(find_band_mode("mr_0").value(), {data, {}, upper, lower}, 2, out);
    EXPECT_EQ(out, (std::vector{B, F, S, F}));
    const std::vector<double> macd = {0, 0, 0, 1, -1, kNan, 0}, signal(7, 0);
    decide_macd({macd, signal}, 3, out);
    EXPECT_EQ(out, (std::vector{B, S, S, B}));
    EXPECT_NO_THROW(decide_macd({macd, signal}, 7, {}));
}

TEST(SignalPass, RefusesColumnsOrOutputOfTheWrongSize) {
    const std::vector<double> series(5, 1.0), short_column(4, 1.0);
    std::vector<Entry> out(3, F);
    const std::size_t mr_sma = find_threshold_mode("mr_sma").value();
    EXPECT_THROW(decide_threshold(mr_sma, {series, short_column}, 2, out), std::invalid_argument);
    EXPECT_THROW(decide_band(0, {series, {}, series, short_column}, 2, out), std::invalid_argument);
    EXPECT_THROW(decide_macd({series, short_column}, 2, out), std::invalid_argument);
    EXPECT_THROW(decide_threshold(0, {series}, 1, out), std::invalid_argument);
    EXPECT_THROW(decide_threshold(0, {series}, 9, out), std::invalid_argument);
    EXPECT_THROW(decide_threshold(kThresholdModes.size(), {series}, 2, out), std::out_of_range);
    EXPECT_THROW(decide_band(kBandModes.size(), {series, {}, series, series}, 2, out), std::out_of_range);
    EXPECT_EQ(out, std::vector<Entry>(3, F)) << "nothing is written before the sizes are checked";
    EXPECT_NO_THROW(decide_threshold(0, {series}, 2, out));
}

// The rules read row by row, straight from a mode's clauses and levels.
struct NaiveLevels {
    double lower;
    double upper;
    double centre;
};

NaiveLevels naive_levels(LevelSource source, const Columns& c, std::size_t i) {
    const double t = c.threshold;
    const double m = c.average.empty() ? 0.0 : c.average[i];
    switch (source) {
        case LevelSource::fixed: return {-t, t, 0.0};
        case LevelSource::fixed_around_average: return {-t, t, m};
        case LevelSource::scaled_average: return {m * (1 - t), m * (1 + t), m};
        case LevelSource::scaled_average_ordered:
            return m > 0 ? NaiveLevels{m * (1 - t), m * (1 + t), m} : NaiveLevels{m * (1 + t), m * (1 - t), m};
        case LevelSource::average: return {m, m, m};
        case LevelSource::bands: return {c.lower[i], c.upper[i], 0.0};
        case LevelSource::bands_around_average: return {c.lower[i], c.upper[i], m};
    }
    return {};
}

bool naive_holds(const Clause& clause, double s, const NaiveLevels& levels) {
    for (std::size_t b = 0; b < clause.bound_count; ++b) {
        const Bound bound = clause.bounds[b];
        const double level = bound.level == Level::lower   ? levels.lower
                             : bound.level == Level::upper ? levels.upper
                                                           : levels.centre;
        const bool holds = bound.compare == Compare::less         ? s < level
                           : bound.compare == Compare::greater    ? s > level
                           : bound.compare == Compare::less_equal ? s <= level
                                                                  : s >= level;
        if (!holds) return false;
    }
    return true;
}

std::vector<Entry> naive_pass(const Rule& rule, const Columns& c, std::size_t first) {
    std::vector<Entry> out;
    Entry held = Entry::warm_up;
    for (std::size_t i = first; i < c.series.size(); ++i) {
        const NaiveLevels levels = naive_levels(rule.levels, c, i);
        for (std::size_t k = 0; k < rule.clauses.size; ++k) {
            const Clause& clause = rule.clauses.clauses[k];
            if (naive_holds(clause, c.series[i], levels) && (!clause.needs_held || clause.held == held)) {
                held = clause.result;
                break;
            }
        }
        out.push_back(held);
    }
    return out;
}

// Values on a coarse grid, so that they often tie with the levels, with some
// NaN and infinities.
std::vector<double> grid_values(std::mt19937_64& random, std::size_t n, double scale) {
    constexpr double kInf = std::numeric_limits<double>::infinity();
    std::uniform_int_distribution<int> grid(-8, 8);
    std::vector<double> values(n);
    for (double& v : values) {
        const auto pick = random() % 64;
        v = pick == 0 ? kNan : pick == 1 ? kInf : pick == 2 ? -kInf : scale * grid(random) / 4.0;
    }
    return values;
}

struct Frame {
    std::vector<double> series, average, upper, lower;

    Frame(std::mt19937_64& random, std::size_t rows)
        : series(grid_values(random, rows, 1.0)),
          average(grid_values(random, rows, 0.5)),
          upper(grid_values(random, rows, 1.0)),
          lower(grid_values(random, rows, 1.0)) {}

    Columns columns(double threshold) const { return {series, average, upper, lower, threshold}; }
};

std::size_t first_difference(const std::vector<Entry>& got, const std::vector<Entry>& expected) {
    if (got.size() != expected.size()) return 0;
    return static_cast<std::size_t>(std::mismatch(got.begin(), got.end(), expected.begin()).first - got.begin());
}

class SignalRule : public testing::TestWithParam<std::size_t> {};

// Inputs of several spans of rows, short ones walked with small tables or
// none, long ones with tables of all steps; the first rows leave every
// possible number of rows in the last step and span.
TEST_P(SignalRule, InputsFollowTheRulesRowByRow) {
    const Rule& rule = kRulesToTest[GetParam()];
    std::mt19937_64 random(GetParam());
    const std::vector<std::size_t> firsts = {0, 1, 2, 3, 5, 7, 8, 116};
    for (const std::size_t rows : {std::size_t{2100}, std::size_t{16500}}) {
        const Frame frame(random, rows);
        for (double threshold : {0.5, 0.0, -0.25, 1.0}) {  // 1 - 1 times an infinite average is NaN
            const Columns columns = frame.columns(threshold);
            for (const std::size_t first : firsts) {
                const std::vector<Entry> got = decide(rule, columns, first);
                const std::vector<Entry> expected = naive_pass(rule, columns, first);
                const std::size_t row = first_difference(got, expected);
                ASSERT_EQ(row, expected.size()) << rule.name << " differs at row " << first + row << " of " << rows
                                                << ", threshold " << threshold << ", first " << first;
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Every, SignalRule, testing::Range(std::size_t{0}, kRulesToTest.size()),
                         [](const testing::TestParamInfo<std::size_t>& info) {
                             std::string name = kRulesToTest[info.param].name;
                             for (char& c : name) c = std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
                             return std::to_string(info.param) + "_" + name;
                         });

// What the sweep engine relies on: passes running at once on several threads
// give what they give one at a time.
TEST(SignalPass, ConcurrentPassesAgreeWithOneAtATime) {
    std::mt19937_64 random(11);
    const Frame frame(random, 20000);
    const Columns columns = frame.columns(0.5);
    std::vector<std::vector<Entry>> expected;
    for (const Rule& rule : kRulesToTest) expected.push_back(decide(rule, columns, 3));
    std::atomic<int> differing{0};
    std::vector<std::thread> threads;
    for (std::size_t t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (std::size_t k = 0; k < kRulesToTest.size(); ++k) {
                const std::size_t i = (k + t * 29) % kRulesToTest.size();
                if (decide(kRulesToTest[i], columns, 3) != expected[i]) ++differing;
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(differing.load(), 0);
}

}  // namespace
}  // namespace backtest::signals
