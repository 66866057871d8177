"""Strategy result files, performance figures, charts and correlation analyses.

Bars count as one hour (8760 to a year, 24 to a day); returns are additive
fractions, summed and never compounded; the fee is 0.06 % of each unit of
position change. Sibling functions and the libraries (plt, sns, pd, np, os,
MaxNLocator, stats) are looked up in this module's namespace at each call.
"""

import os
from collections.abc import Callable, Mapping, Sequence
from datetime import datetime
from typing import Any, SupportsFloat, TypeAlias

import pandas as pd

_Path: TypeAlias = str | os.PathLike[str]
_Bound: TypeAlias = datetime | pd.Timestamp | None
_StrategyMap: TypeAlias = Mapping[str, tuple[_Path, float]]

def plot_single_diagram(df: pd.DataFrame, report_df: pd.DataFrame) -> None:
    """The sweep heatmap (plot_heatmap(report_df)), then one run's cumulative return and close price on twin axes, the maximum drawdown's peak and trough marked.

    Reads: datetime, cumu, close, drawdown
    Formula: trough = the first minimum of drawdown; peak = the first maximum of cumu before it (by
        position).
    NaN: NaN is skipped in finding the trough and the peak; a run whose deepest drawdown is its
        first row gets no marks.
    Returns: None; the figures are drawn with pyplot and shown with plt.show(), never saved or
        closed.
    """

def plot_heatmap(report_df: pd.DataFrame) -> None:
    """The Sharpe ratio of a two-parameter sweep as an annotated heatmap.

    Reads: param1, param2, SR
    Formula: report_df.pivot(index='param1', columns='param2', values='SR'), white below 1.
    Returns: None; the figures are drawn with pyplot and shown with plt.show(), never saved or
        closed.
    """

def plot_data_spread(df: pd.DataFrame) -> None:
    """data as a scatter against time, with the close price on a twin axis.

    Reads: datetime, data, close
    Returns: None; the figures are drawn with pyplot and shown with plt.show(), never saved or
        closed.
    """

def plot_correlation(file_paths: _StrategyMap, start_time: _Bound, end_time: _Bound) -> None:
    """Correlation heatmaps of several strategies' returns and PnL, joined on their common times.

    Reads: datetime, new_cumu, new_pnl
    Formula: returns = new_cumu[1:] / new_cumu[:-1] - 1 per strategy; one heatmap each of returns
        and of new_pnl, drawn by plot_correlation_helper.
    NaN: each strategy of the map ({name: (file_path, leverage)}, in order) goes through
        process_file as bound at the call; one that fails prints "Error processing file <path>:
        <error>" and is left out.
    Returns: None; the figures are drawn with pyplot and shown with plt.show(), never saved or
        closed.
    """

def plot_correlation_helper(data_list: Sequence[pd.DataFrame], title: str) -> None:
    """One correlation heatmap of frames merged on datetime.

    Reads: datetime
    Formula: the frames merged on datetime (inner join), datetime dropped, then DataFrame.corr().
    Returns: None; the figures are drawn with pyplot and shown with plt.show(), never saved or
        closed.
    """

def process_file(
    file_path: _Path,
    leverage: SupportsFloat,
    start_time: _Bound,
    end_time: _Bound,
) -> pd.DataFrame:
    """One strategy result file over a time window: net returns after fees and their running sum.

    Reads: start_time, datetime, close, pos, price_chg
    Formula: new_pos = pos * leverage; new_pnl[i] = price_chg[i] * new_pos[i - 1] - abs(new_pos[i] -
        new_pos[i - 1]) * 0.06 / 100, new_pnl[0] = 0; new_cumu = cumsum(new_pnl).
    NaN: a NaN position or price change is NaN in new_pnl at the rows using it; new_cumu is NaN
        there and sums on.
    Warm-up: the window's first row earns nothing and pays no fee.
    Returns: a new DataFrame of datetime, new_pnl, new_cumu, close, indexed 0..n-1, of the rows with
        start_time in [start, end) (bounds in ms, None for an open side).
    """

def calculate_drawdown_and_recovery(cumu_series: pd.Series) -> tuple[Any, float | None]:
    """Maximum drawdown of a cumulative series and the time it took to recover.

    Formula: mdd = min(cumu - cummax(cumu)); recovery = the first label after the trough where cumu
        is back at its prior peak, less the trough's label, in days (a DatetimeIndex) or bars / 24.
    NaN: NaN is skipped by the minimum; an empty or all-NaN series gives (NaN, None).
    Returns: (mdd, recovery_period_days): mdd <= 0 in the series' units; None when there is no
        drawdown or no recovery.
    """

def plot_combined_equity(file_paths: _StrategyMap, start_time: _Bound, end_time: _Bound) -> None:
    """Several strategies as one portfolio: its summary figures on one line, then two equity charts.

    Reads: datetime, new_pnl, new_cumu, close
    Formula: total_pnl = per-row sum of new_pnl; SR = mean / std * sqrt(8760) (0 if std == 0); AR =
        mean * 365 * 24; MDD and recovery of total_pnl.cumsum(); CR = AR / abs(MDD) (inf if MDD ==
        0).
    NaN: each strategy of the map ({name: (file_path, leverage)}, in order) goes through
        process_file as bound at the call; one that fails prints "Error processing file <path>:
        <error>" and is left out.
    Returns: None; prints {'SR': ..., 'CR': ..., 'MDD': ..., 'Recovery Period (days)': ..., 'AR':
        ...} and shows the charts with plt.show().
    """

def plot_bell_curve(df: pd.DataFrame) -> None:
    """The normal distribution fitted to data, drawn as a curve.

    Reads: data
    Formula: mu, std = scipy.stats.norm.fit(data); norm.pdf at 100 points from min(data) to
        max(data).
    NaN: NaN rows of data are dropped first.
    Returns: None; the figures are drawn with pyplot and shown with plt.show(), never saved or
        closed.
    """

def plot_custom_correlation(
    file_path: _Path,
    output_file_prefix: _Path,
    target_series_func: Callable[[pd.DataFrame], Any],
    max_lag: int = 24,
) -> None:
    """Pearson, Spearman and Kendall correlation of every numeric column of a table with a target of yours, without and with forward lags.

    Formula: target = target_series_func(copy of the table); each method correlates every numeric
        column but start_time and end_time with the target, then with the target shifted 1..max_lag
        rows ahead.
    NaN: rows holding NaN in a candidate column or the target are dropped before each correlation.
    Returns: None; shows a heatmap and writes <prefix>_<method>_no_lag.csv and
        <prefix>_<method>_lag_<k>.csv per correlation, printing a line for each.
    """
