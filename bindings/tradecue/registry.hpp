// The functions of Backtest.tradecue, in the order of its function table. The
// rules of the modes are the mode table's (backtest/modes.hpp).
#pragma once

#include "boundary/registry.hpp"

namespace backtest::tradecue {

namespace detail {

using namespace registry::types;

// The stub's aliases: the mode names as Literal types, made from the mode table.
inline constexpr const char* kThresholdMode = "ThresholdMode";
inline constexpr const char* kBandMode = "BandMode";
inline constexpr const char* kPositions = "list[float | int]";

}  // namespace detail

inline constexpr registry::Function kEntryExitThreshold{
    .name = "entry_exit_threshold",
    .parameters = {{{"df", detail::kFrame},
                    {"rolling_window", detail::kWindow},
                    {"threshold", detail::kReal},
                    {"backtest_mode", detail::kThresholdMode}}},
    .returns = detail::kPositions,
    .summary = "Positions from processed_data under a threshold mode, bar by bar.",
    .reads = {"processed_data"},
    .writes = {"processed_sma", "processed_ema", "processed_wma"},
    .writes_note = "the moving-average modes only, the one their name holds",
    .formula = "for each row i from rolling_window on, with s = processed_data[i], t = float(threshold) and m the "
               "mode's average formula.rolling_mean/_ema/_wma(df['processed_data'], rolling_window) as bound at the "
               "call, the first of the mode's clauses that holds gives 1 (long), -1 (short) or 0 (flat), and none "
               "holding repeats the previous entry (the README's Trading modes lists every mode's clauses).",
    .nan = "a comparison with NaN is false, so a NaN signal (or average) repeats the previous entry.",
    .warm_up = "rolling_window entries of the float 0.0, repeated by holds until a clause first fires.",
    .result = "a new list of max(len(df), rolling_window) entries; an unknown mode prints \"Warning: Unsupported "
              "backtest_mode '<mode>' - skipping this iteration.\" and gives the warm-up entries only.",
};

inline constexpr registry::Function kEntryExitBand{
    .name = "entry_exit_band",
    .parameters = {{{"df", detail::kFrame}, {"rolling_window", detail::kWindow}, {"backtest_mode", detail::kBandMode}}},
    .returns = detail::kPositions,
    .summary = "Positions from data against the frame's bands under a band mode, bar by bar.",
    .reads = {"upper_band", "lower_band", "sma", "ema", "wma", "data"},
    .formula = "for each row i from rolling_window on, with d = data[i], U = upper_band[i], L = lower_band[i] and M "
               "the mode's centre (0, sma[i], ema[i] or wma[i]), the first of the mode's clauses that holds gives 1 "
               "(long), -1 (short) or 0 (flat), and none holding repeats the previous entry.",
    .nan = "a comparison with NaN is false, so a row with NaN bands opens nothing and holds unless an exit clause on "
           "the centre fires.",
    .warm_up = "rolling_window entries of NaN, repeated by holds until a clause first fires.",
    .result = "a new list of max(len(df), rolling_window) entries; an unknown mode prints \"Warning: Unsupported "
              "backtest_mode '<mode>' - skipping this iteration.\" and gives the warm-up entries only.",
};

inline constexpr registry::Function kEntryExitMacd{
    .name = "entry_exit_macd",
    .parameters = {{{"df", detail::kFrame}, {"rolling_window1", detail::kWindow}, {"rolling_window2", detail::kWindow}}},
    .returns = detail::kPositions,
    .summary = "Positions from the MACD line against its signal line, bar by bar.",
    .reads = {"MACD", "Signal"},
    .formula = "for each row i from the warm-up on: 1 where MACD[i] >= Signal[i], -1 where MACD[i] < Signal[i].",
    .nan = "a row with NaN in MACD or Signal repeats the previous entry.",
    .warm_up = "max(rolling_window1, rolling_window2) entries of NaN.",
    .result = "a new list of max(len(df), warm-up) entries, the ints 1 and -1 after the warm-up.",
};

inline constexpr std::array<const registry::Function*, 3> kFunctions{&kEntryExitThreshold, &kEntryExitBand,
                                                                     &kEntryExitMacd};
static_assert(registry::is_well_formed(kFunctions));

}  // namespace backtest::tradecue
