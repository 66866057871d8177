// The functions of Backtest.diagram, in the order of its function table.
#pragma once

#include "boundary/registry.hpp"

namespace backtest::diagram {

namespace detail {

using namespace registry::types;

// The stub's aliases.
inline constexpr const char* kPath = "_Path";
inline constexpr const char* kBound = "_Bound";
inline constexpr const char* kStrategyMap = "_StrategyMap";

inline constexpr const char* kShown = "None; the figures are drawn with pyplot and shown with plt.show(), never saved "
                                      "or closed.";
inline constexpr const char* kLoaded =
    "each strategy of the map ({name: (file_path, leverage)}, in order) goes through process_file as bound at the "
    "call; one that fails prints \"Error processing file <path>: <error>\" and is left out.";

}  // namespace detail

inline constexpr registry::Function kPlotSingleDiagram{
    .name = "plot_single_diagram",
    .parameters = {{{"df", detail::kFrame}, {"report_df", detail::kFrame}}},
    .summary = "The sweep heatmap (plot_heatmap(report_df)), then one run's cumulative return and close price on twin "
               "axes, the maximum drawdown's peak and trough marked.",
    .reads = {"datetime", "cumu", "close", "drawdown"},
    .formula = "trough = the first minimum of drawdown; peak = the first maximum of cumu before it (by position).",
    .nan = "NaN is skipped in finding the trough and the peak; a run whose deepest drawdown is its first row gets no "
           "marks.",
    .result = detail::kShown,
};

inline constexpr registry::Function kPlotHeatmap{
    .name = "plot_heatmap",
    .parameters = {{{"report_df", detail::kFrame}}},
    .summary = "The Sharpe ratio of a two-parameter sweep as an annotated heatmap.",
    .reads = {"param1", "param2", "SR"},
    .formula = "report_df.pivot(index='param1', columns='param2', values='SR'), white below 1.",
    .result = detail::kShown,
};

inline constexpr registry::Function kPlotDataSpread{
    .name = "plot_data_spread",
    .parameters = {{{"df", detail::kFrame}}},
    .summary = "data as a scatter against time, with the close price on a twin axis.",
    .reads = {"datetime", "data", "close"},
    .result = detail::kShown,
};

inline constexpr registry::Function kPlotCorrelation{
    .name = "plot_correlation",
    .parameters = {{{"file_paths", detail::kStrategyMap},
                    {"start_time", detail::kBound},
                    {"end_time", detail::kBound}}},
    .summary = "Correlation heatmaps of several strategies' returns and PnL, joined on their common times.",
    .reads = {"datetime", "new_cumu", "new_pnl"},
    .formula = "returns = new_cumu[1:] / new_cumu[:-1] - 1 per strategy; one heatmap each of returns and of new_pnl, "
               "drawn by plot_correlation_helper.",
    .nan = detail::kLoaded,
    .result = detail::kShown,
};

inline constexpr registry::Function kPlotCorrelationHelper{
    .name = "plot_correlation_helper",
    .parameters = {{{"data_list", "Sequence[pd.DataFrame]"}, {"title", "str"}}},
    .summary = "One correlation heatmap of frames merged on datetime.",
    .reads = {"datetime"},
    .formula = "the frames merged on datetime (inner join), datetime dropped, then DataFrame.corr().",
    .result = detail::kShown,
    .doc = "Helper function to plot correlation matrix.",
};

inline constexpr registry::Function kProcessFile{
    .name = "process_file",
    .parameters = {{{"file_path", detail::kPath},
                    {"leverage", detail::kReal},
                    {"start_time", detail::kBound},
                    {"end_time", detail::kBound}}},
    .returns = detail::kFrame,
    .summary = "One strategy result file over a time window: net returns after fees and their running sum.",
    .reads = {"start_time", "datetime", "close", "pos", "price_chg"},
    .formula = "new_pos = pos * leverage; new_pnl[i] = price_chg[i] * new_pos[i - 1] - abs(new_pos[i] - new_pos[i - "
               "1]) * 0.06 / 100, new_pnl[0] = 0; new_cumu = cumsum(new_pnl).",
    .nan = "a NaN position or price change is NaN in new_pnl at the rows using it; new_cumu is NaN there and sums on.",
    .warm_up = "the window's first row earns nothing and pays no fee.",
    .result = "a new DataFrame of datetime, new_pnl, new_cumu, close, indexed 0..n-1, of the rows with start_time "
              "in [start, end) (bounds in ms, None for an open side).",
    .doc = "Process a single file to calculate PnL and cumulative returns.",
};

inline constexpr registry::Function kCalculateDrawdownAndRecovery{
    .name = "calculate_drawdown_and_recovery",
    .parameters = {{{"cumu_series", "pd.Series"}}},
    .returns = "tuple[Any, float | None]",
    .summary = "Maximum drawdown of a cumulative series and the time it took to recover.",
    .formula = "mdd = min(cumu - cummax(cumu)); recovery = the first label after the trough where cumu is back at its "
               "prior peak, less the trough's label, in days (a DatetimeIndex) or bars / 24.",
    .nan = "NaN is skipped by the minimum; an empty or all-NaN series gives (NaN, None).",
    .result = "(mdd, recovery_period_days): mdd <= 0 in the series' units; None when there is no drawdown or no "
              "recovery.",
    .doc = "Calculate max drawdown and recovery period.",
};

inline constexpr registry::Function kPlotCombinedEquity{
    .name = "plot_combined_equity",
    .parameters = {{{"file_paths", detail::kStrategyMap},
                    {"start_time", detail::kBound},
                    {"end_time", detail::kBound}}},
    .summary = "Several strategies as one portfolio: its summary figures on one line, then two equity charts.",
    .reads = {"datetime", "new_pnl", "new_cumu", "close"},
    .formula = "total_pnl = per-row sum of new_pnl; SR = mean / std * sqrt(8760) (0 if std == 0); AR = mean * 365 * "
               "24; MDD and recovery of total_pnl.cumsum(); CR = AR / abs(MDD) (inf if MDD == 0).",
    .nan = detail::kLoaded,
    .result = "None; prints {'SR': ..., 'CR': ..., 'MDD': ..., 'Recovery Period (days)': ..., 'AR': ...} and shows "
              "the charts with plt.show().",
};

inline constexpr registry::Function kPlotBellCurve{
    .name = "plot_bell_curve",
    .parameters = {{{"df", detail::kFrame}}},
    .summary = "The normal distribution fitted to data, drawn as a curve.",
    .reads = {"data"},
    .formula = "mu, std = scipy.stats.norm.fit(data); norm.pdf at 100 points from min(data) to max(data).",
    .nan = "NaN rows of data are dropped first.",
    .result = detail::kShown,
};

inline constexpr registry::Function kPlotCustomCorrelation{
    .name = "plot_custom_correlation",
    .parameters = {{{"file_path", detail::kPath},
                    {"output_file_prefix", detail::kPath},
                    {"target_series_func", "Callable[[pd.DataFrame], Any]"},
                    {"max_lag", "int", 24}}},
    .summary = "Pearson, Spearman and Kendall correlation of every numeric column of a table with a target of "
               "yours, without and with forward lags.",
    .formula = "target = target_series_func(copy of the table); each method correlates every numeric column but "
               "start_time and end_time with the target, then with the target shifted 1..max_lag rows ahead.",
    .nan = "rows holding NaN in a candidate column or the target are dropped before each correlation.",
    .result = "None; shows a heatmap and writes <prefix>_<method>_no_lag.csv and <prefix>_<method>_lag_<k>.csv per "
              "correlation, printing a line for each.",
};

inline constexpr std::array<const registry::Function*, 10> kFunctions{
    &kPlotSingleDiagram, &kPlotHeatmap,         &kPlotDataSpread,
    &kPlotCorrelation,   &kPlotCorrelationHelper, &kProcessFile,
    &kCalculateDrawdownAndRecovery, &kPlotCombinedEquity, &kPlotBellCurve,
    &kPlotCustomCorrelation,
};
static_assert(registry::is_well_formed(kFunctions));

}  // namespace backtest::diagram
