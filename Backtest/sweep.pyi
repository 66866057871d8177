"""Parameter sweeps in memory: whole grids of windows, thresholds and modes.

Every row of a sweep holds what the file route gives for its combination: the
indicator of ``formula`` on ``pd.DataFrame({"data": close})``, the positions of
``tradecue``, the result file of :func:`write_result_file`,
``diagram.process_file`` and the figures that ``diagram.plot_combined_equity``
prints. Bar timing: a bar earns its price change on the position held at the
end of the previous bar, less 0.06 % of each unit of position change.

``prices``, wherever it is taken: a pandas Series of closing prices with a
DatetimeIndex (naive times are UTC, tz-aware ones are converted to UTC), a
DataFrame with a ``close`` column and such an index, or a DataFrame with the
result file's ``start_time`` (integer ms since the epoch) and ``datetime``
columns plus ``close``. Closes must be finite and positive and bar times must
increase by at least one second (the file's ``datetime`` text holds whole
seconds); the first offending row is named in the ``ValueError``.

``start_time`` / ``end_time``: None for an open side, or a point in time with
``timestamp()`` (``datetime``, ``pd.Timestamp``), taken as ``process_file``
takes it; the rows kept are start inclusive, end exclusive.

Many instruments: the ``*_sweep`` functions also take ``prices`` as a dict
``{instrument name: prices}`` (each value in any form above) or as a DataFrame
without a ``close`` column, each of whose columns is one instrument's closes on
the shared DatetimeIndex (leading and trailing NaN trimmed per instrument; an
interior NaN raises ValueError naming the instrument and the row). The report
then starts with an ``instrument`` column, and the rows of each instrument, in
the input's order, are exactly those of a sweep of that instrument alone. An
empty dict, a DataFrame without columns or duplicate instrument names raise
ValueError; an instrument's invalid prices raise naming it (``prices['BTC']:
...``), before any work starts.

``client``: None runs on this machine's threads. A ``dask.distributed.Client``
or a scheduler address (``"tcp://host:8786"``, for which a client is opened and
closed again) runs the sweep on that cluster: each instrument's data is
scattered once, each task computes the columns of one instrument's block of
windows and runs the engine on them (one thread per task unless ``threads``
says otherwise), and the report is identical, row for row and bit for bit, to
the local one. ``progress`` then counts tasks. An exception of a task is not
retried: the remaining tasks are cancelled and it is raised here, with a note
naming the instrument and the block of windows (and the worker's traceback);
Ctrl-C cancels the submitted tasks too; nothing partial is returned. Tasks of a
lost worker are rescheduled by Dask itself. Without Dask installed a client
raises ImportError naming ``pip install Backtest[distributed]``; a closed client
raises Dask's ClosedClientError before any work starts.
"""

import os
from dataclasses import dataclass
from typing import Any, SupportsFloat, SupportsIndex

import pandas as pd
from matplotlib.figure import Figure

THRESHOLD_MODES: tuple[str, ...]
"""The 84 modes of ``tradecue.entry_exit_threshold``, in the mode table's order."""
BAND_MODES: tuple[str, ...]
"""The 15 modes of ``tradecue.entry_exit_band``, in the mode table's order."""
INDICATORS: tuple[str, ...]
"""The ``formula`` frame functions that write ``processed_data`` from ``(df, rolling_window)``."""

@dataclass(frozen=True)
class Evaluation:
    """One run: ``frame`` has the columns ``datetime``, ``new_pnl``, ``new_cumu`` and
    ``close``, bit for bit as ``diagram.process_file`` returns them for the run's
    result file; ``metrics`` holds ``SR``, ``CR``, ``MDD``, ``Recovery Period (days)``
    and ``AR`` as ``diagram.plot_combined_equity`` prints them for that one
    strategy (the integer 0 as ``SR`` when the returns do not vary, None as the
    recovery period when there is no drawdown or no recovery).
    """

    frame: pd.DataFrame
    metrics: dict[str, Any]

def write_result_file(path: str | os.PathLike[str], prices: Any, positions: Any) -> None:
    """Writes the strategy result file that ``diagram`` reads, one row per bar.

    Columns: ``start_time`` (integer ms since the epoch), ``datetime`` (UTC text
    ``%Y-%m-%d %H:%M:%S``), ``close``, ``pos`` (the positions as floats, NaN
    written as 0.0) and ``price_chg`` (``close.pct_change()``, 0.0 in the first
    row). ``positions`` is a list as the generators return it, or any 1-D
    sequence of numbers and NaN: one longer than the prices (a window longer
    than the data) is cut to them, a shorter one raises ValueError. The file is
    written under a temporary name in the target folder and then renamed, so an
    interrupted write never leaves a truncated file under ``path``.
    """

def evaluate(
    prices: Any, positions: Any, leverage: SupportsFloat = 1.0, start_time: Any = None, end_time: Any = None
) -> Evaluation:
    """One run's processed frame and figures, with no file written.

    The same as ``write_result_file`` followed by ``diagram.process_file(path,
    leverage, start_time, end_time)`` and the summary line of
    ``diagram.plot_combined_equity({name: (path, leverage)}, start_time, end_time)``.
    """

def threshold_sweep(
    prices: Any,
    windows: Any,
    thresholds: Any,
    modes: Any = None,
    indicator: str = "rolling_zscore",
    leverage: SupportsFloat = 1.0,
    start_time: Any = None,
    end_time: Any = None,
    threads: SupportsIndex | None = None,
    progress: bool | None = None,
    client: Any = None,
) -> pd.DataFrame:
    """Every window x mode x threshold of ``tradecue.entry_exit_threshold``.

    One row per combination, windows outermost and thresholds innermost, with
    the columns ``indicator``, ``window``, ``threshold``, ``mode``, then
    ``SR`` (annualised Sharpe ratio of the hourly net returns, 0.0 when they do
    not vary, NaN below two bars), ``CR`` (``AR / |MDD|``, +inf without a
    drawdown), ``MDD`` (the deepest fall of the cumulative return below its
    running maximum, a negative fraction or 0), ``recovery_days`` (bars from the
    trough back to that maximum, / 24; NaN without drawdown or recovery),
    ``AR`` (mean hourly return x 8760), ``trades`` (bars of the time window, its
    first excluded, whose position differs from the previous bar's) and
    ``final_cumu`` (the cumulative return at the window's last bar; NaN for an
    empty window). Each row is what the file route gives: ``formula.<indicator>``
    on ``pd.DataFrame({"data": close})``, ``entry_exit_threshold``,
    ``write_result_file``, ``process_file`` and the figures of
    ``plot_combined_equity`` (None as NaN, the integer 0 as 0.0).

    ``windows``: integers from 1; ``thresholds``: finite numbers; ``modes``:
    names of ``THRESHOLD_MODES`` (None: all of them); ``indicator``: a name of
    ``INDICATORS``. Grids must be non-empty and free of duplicates. ``threads``:
    the engine's worker threads (None: the cores this process may run on; on a
    cluster, one per task); reports are identical for any count. ``prices`` may
    hold many instruments and ``client`` runs the sweep on a Dask cluster (see
    the module's docstring). ``progress``: a progress bar on stderr
    (None: when stderr is a terminal and the sweep should last more than about a
    second). Every parameter is checked before any work starts (ValueError or
    TypeError naming it); Ctrl-C stops the sweep with KeyboardInterrupt and no
    report; a failure anywhere raises with no partial report.
    """

def band_sweep(
    prices: Any,
    windows: Any,
    multipliers: Any,
    modes: Any = None,
    leverage: SupportsFloat = 1.0,
    start_time: Any = None,
    end_time: Any = None,
    threads: SupportsIndex | None = None,
    progress: bool | None = None,
    client: Any = None,
) -> pd.DataFrame:
    """Every window x mode x multiplier of ``formula.rolling_bollinger_bands`` and
    ``tradecue.entry_exit_band``, with the contract of :func:`threshold_sweep`.

    Columns ``indicator`` ("rolling_bollinger_bands"), ``window``, ``multiplier``,
    ``mode`` (a name of ``BAND_MODES``), then the figures.
    """

def macd_sweep(
    prices: Any,
    short_windows: Any,
    long_windows: Any,
    signal_windows: Any,
    leverage: SupportsFloat = 1.0,
    start_time: Any = None,
    end_time: Any = None,
    threads: SupportsIndex | None = None,
    progress: bool | None = None,
    client: Any = None,
) -> pd.DataFrame:
    """Every short x long x signal window of ``formula.calculate_macd(df, short,
    long, signal)`` and ``tradecue.entry_exit_macd(df, short, long)`` (a short
    window not below the long one included), with the contract of
    :func:`threshold_sweep`.

    Columns ``indicator`` ("calculate_macd"), ``short_window``, ``long_window``,
    ``signal_window``, then the figures.
    """

def plot_sweep(report: pd.DataFrame, metric: str = "SR", x: str | None = None, y: str | None = None) -> Figure:
    """Annotated heatmaps of ``metric`` over the parameters ``x`` and ``y``, one per
    mode (one panel for a MACD report), on a diverging colour map centred at 0.

    ``x`` / ``y`` default to ``threshold`` / ``window``, ``multiplier`` / ``window``
    or ``long_window`` / ``short_window``. A cell that several rows share (a
    third parameter) shows their best value, as the colour bar says. The figure
    is not registered with pyplot and nothing is shown: save it with
    ``savefig`` or let a notebook display it.
    """

def plot_run(evaluation: Evaluation) -> Figure:
    """One run of :func:`evaluate`: its cumulative return with the maximum drawdown
    marked (peak, trough and the span between) and the close price on a second
    axis. Not registered with pyplot; nothing is shown."""
