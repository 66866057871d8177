"""Parameter sweeps in memory: whole grids of windows, thresholds and modes.

Every row of a sweep holds the figures that the file route gives for its
combination: the indicator of ``formula`` on ``pd.DataFrame({"data": close})``,
the positions of ``tradecue``, the strategy result file of
:func:`write_result_file`, ``diagram.process_file`` and the figures that
``diagram.plot_combined_equity`` prints. No file is written: the indicator is
computed once per window, and the native engine decides the positions of every
mode and threshold into a compact buffer and measures them in the next pass,
on worker threads.

Bar timing: a bar earns its price change on the position held at the end of
the previous bar, less 0.06 % of each unit of position change; the first bar of
the time window earns nothing and pays nothing.
"""

from __future__ import annotations

import io
import math
import numbers
import os
import sys
import tempfile
import threading
from concurrent.futures import ThreadPoolExecutor, wait
from concurrent.futures import TimeoutError as FuturesTimeout
from dataclasses import dataclass
from functools import partial
from typing import Any, Callable, Iterable, Sequence

import numpy as np
import pandas as pd

from Backtest import _sweep, _tables, formula

__all__ = [
    "THRESHOLD_MODES",
    "BAND_MODES",
    "INDICATORS",
    "Evaluation",
    "write_result_file",
    "evaluate",
    "threshold_sweep",
    "band_sweep",
    "macd_sweep",
    "plot_sweep",
    "plot_run",
]

THRESHOLD_MODES: tuple[str, ...] = _tables.THRESHOLD_MODES
BAND_MODES: tuple[str, ...] = _tables.BAND_MODES
# The frame functions of `formula` that write `processed_data` from (df, rolling_window).
INDICATORS: tuple[str, ...] = _tables.INDICATORS

# The average each mode reads: "sma", "ema", "wma" or None.
_THRESHOLD_AVERAGES = {name: average for name, average, _, _ in _tables.MODES["threshold"]}
_BAND_AVERAGES = {name: average for name, average, _, _ in _tables.MODES["band"]}
_AVERAGE_FUNCTIONS = {"sma": "rolling_mean", "ema": "rolling_ema", "wma": "rolling_wma"}
_DATETIME_FORMAT = "%Y-%m-%d %H:%M:%S"
_METRICS = ("SR", "CR", "MDD", "recovery_days", "AR", "trades", "final_cumu")
# Rough cost of one bar of one combination and of one indicator bar, for the
# decision to show a progress bar.
_SECONDS_PER_BAR = 3e-9
_SECONDS_PER_INDICATOR_BAR = 3e-8
# How often a waiting thread looks at signals, as the engine's own poll does.
_POLL_SECONDS = 0.05


def _read_back_exactly() -> bool:
    # pandas 3 reads every float of the CSV text it writes back exactly; the
    # parser of earlier versions can lose the last digits of long decimals.
    return int(pd.__version__.split(".")[0]) >= 3


_EXACT_READER = _read_back_exactly()
# The dtype that read_csv gives a text column such as `datetime`.
_TEXT_DTYPE = pd.read_csv(io.StringIO("datetime\nx\n"))["datetime"].dtype


def _as_read_back(values: np.ndarray) -> np.ndarray:
    """A float column as diagram reads it back from the result file."""
    if _EXACT_READER:
        return values
    text = pd.DataFrame({"v": values}).to_csv(index=False)
    return pd.read_csv(io.StringIO(text))["v"].to_numpy(dtype=np.float64)


# ---------------------------------------------------------------------------
# Prices


@dataclass(frozen=True)
class _Prices:
    """A validated price series: closes, bar start times in ms, their texts."""

    close: np.ndarray
    start_ms: np.ndarray
    texts: Callable[[], np.ndarray]

    @property
    def bars(self) -> int:
        return len(self.close)

    def rows(self, first: int, stop: int) -> "_Prices":
        texts = self.texts
        return _Prices(self.close[first:stop], self.start_ms[first:stop], lambda: texts()[first:stop])

    def price_chg(self) -> np.ndarray:
        """close.pct_change() with 0.0 in the first row, as the result file is written."""
        change = pd.Series(self.close).pct_change().to_numpy(dtype=np.float64, copy=True)
        change[0] = 0.0
        return change


def _utc_index(index: pd.DatetimeIndex) -> pd.DatetimeIndex:
    return index.tz_localize("UTC") if index.tz is None else index.tz_convert("UTC")


def _first_row(mask: np.ndarray) -> int:
    return int(np.flatnonzero(mask)[0])


def _numeric_close(values: Any) -> np.ndarray:
    series = pd.Series(values)
    if not pd.api.types.is_numeric_dtype(series.dtype) or pd.api.types.is_bool_dtype(series.dtype):
        raise TypeError(f"prices: the closes must be numbers, got dtype {series.dtype}")
    return series.to_numpy(dtype=np.float64, na_value=np.nan)


def _checked_close(values: Any, first_row: int = 0) -> np.ndarray:
    """The closes as float64; `first_row` numbers the rows of the caller's frame in messages."""
    close = _numeric_close(values)
    bad = ~(np.isfinite(close) & (close > 0))
    if bad.any():
        row = _first_row(bad)
        raise ValueError(f"prices: the close at row {first_row + row} is {float(close[row])!r}; "
                         "closes must be finite and positive")
    return close


def _checked_times(start_ms: np.ndarray) -> None:
    seconds = np.floor_divide(start_ms, 1000)
    if len(start_ms) > 1:
        # the texts hold whole seconds, and diagram tells bars apart by their text
        repeated = np.diff(seconds) <= 0
        if repeated.any():
            row = _first_row(repeated) + 1
            kind = "does not come after" if start_ms[row] <= start_ms[row - 1] else "falls in the same second as"
            raise ValueError(f"prices: the time at row {row} {kind} the time at row {row - 1}; "
                             "bar times must increase by at least one second")


def _index_times(index: Any) -> tuple[np.ndarray, Callable[[], np.ndarray]]:
    """Bar start times in ms and their texts, from a DatetimeIndex (not yet checked for order)."""
    if not isinstance(index, pd.DatetimeIndex):
        raise TypeError("prices need a DatetimeIndex (or 'start_time' and 'datetime' columns), got "
                        f"{type(index).__name__}")
    if index.hasnans:
        raise ValueError(f"prices: the time at row {_first_row(np.asarray(index.isna()))} is missing")
    utc = _utc_index(index)
    start_ms = np.floor_divide(utc.as_unit("ns").asi8, 1_000_000)

    def texts() -> np.ndarray:
        return np.asarray(utc.strftime(_DATETIME_FORMAT), dtype=object)

    return start_ms, texts


def _prices(prices: Any) -> _Prices:
    """The accepted forms of `prices`, checked (see threshold_sweep)."""
    if isinstance(prices, pd.Series):
        index, close_values, columns = prices.index, prices, None
    elif isinstance(prices, pd.DataFrame):
        if "close" not in prices.columns:
            raise ValueError("prices: a DataFrame needs a 'close' column")
        index, close_values = prices.index, prices["close"]
        has_times = "start_time" in prices.columns and "datetime" in prices.columns
        columns = prices[["start_time", "datetime"]] if has_times else None
    else:
        raise TypeError("prices must be a pandas Series of closes with a DatetimeIndex, or a DataFrame with a "
                        f"'close' column and such an index or 'start_time' and 'datetime' columns, not "
                        f"{type(prices).__name__}")
    if len(close_values) == 0:
        raise ValueError("prices must hold at least one bar")
    if columns is not None:
        if not pd.api.types.is_integer_dtype(columns["start_time"].dtype):
            raise TypeError("prices: 'start_time' must hold integer milliseconds since the epoch, got dtype "
                            f"{columns['start_time'].dtype}")
        start_ms = columns["start_time"].to_numpy(dtype=np.int64)
        texts_column = columns["datetime"].astype(str).to_numpy()
        duplicated = pd.Series(texts_column).duplicated().to_numpy()
        if duplicated.any():
            row = _first_row(duplicated)
            raise ValueError(f"prices: the datetime text at row {row} ({texts_column[row]!r}) appears twice")

        def texts() -> np.ndarray:
            return texts_column
    else:
        start_ms, texts = _index_times(index)
    close = _checked_close(close_values)
    if columns is not None:
        increasing = np.diff(start_ms) <= 0
        if increasing.any():
            row = _first_row(increasing) + 1
            raise ValueError(f"prices: the time at row {row} does not come after the time at row {row - 1}; "
                             "bar times must increase")
    else:
        _checked_times(start_ms)
    return _Prices(close, start_ms, texts)


@dataclass(frozen=True)
class _Instruments:
    """The instruments of a sweep, in the caller's order; `named` once prices came as a dict or a
    frame of close columns, whose reports start with an `instrument` column."""

    names: tuple
    prices: tuple[_Prices, ...]
    named: bool


def _named(name: Any, error: Exception) -> Exception:
    """The error of one instrument's prices, naming it: prices['BTC']: ..."""
    message = str(error)
    message = message[len("prices"):] if message.startswith("prices") else f": {message}"
    return type(error)(f"prices[{name!r}]{message}")


def _close_columns(frame: pd.DataFrame) -> list[tuple[Any, _Prices]]:
    """Each column one instrument's closes on the shared index, its leading and trailing NaN trimmed."""
    if len(frame) == 0:
        raise ValueError("prices must hold at least one bar")
    start_ms, texts = _index_times(frame.index)
    _checked_times(start_ms)
    shared = _Prices(np.empty(0), start_ms, texts)
    instruments = []
    for position, name in enumerate(frame.columns):
        try:
            values = _numeric_close(frame.iloc[:, position])
        except TypeError as error:
            raise _named(name, error) from None
        present = np.flatnonzero(~np.isnan(values))
        if len(present) == 0:
            raise ValueError(f"prices[{name!r}] holds no close")
        first, stop = int(present[0]), int(present[-1]) + 1
        gap = np.isnan(values[first:stop])
        if gap.any():
            row = first + _first_row(gap)
            raise ValueError(f"prices[{name!r}]: the close at row {row} ({frame.index[row]}) is missing; only "
                             "leading and trailing NaN are trimmed")
        try:
            close = _checked_close(values[first:stop], first)
        except ValueError as error:
            raise _named(name, error) from None
        rows = shared.rows(first, stop)
        instruments.append((name, _Prices(close, rows.start_ms, rows.texts)))
    return instruments


def _instruments(prices: Any) -> _Instruments:
    """One instrument in any accepted form, or several: a dict of them, or a frame of close columns."""
    if isinstance(prices, dict):
        if not prices:
            raise ValueError("prices: the dict holds no instrument")
        named = []
        for name, value in prices.items():
            try:
                named.append((name, _prices(value)))
            except (TypeError, ValueError) as error:
                raise _named(name, error) from None
    elif isinstance(prices, pd.DataFrame) and "close" not in prices.columns:
        if "start_time" in prices.columns and "datetime" in prices.columns:
            raise ValueError("prices: a DataFrame with 'start_time' and 'datetime' columns needs a 'close' column")
        if len(prices.columns) == 0:
            raise ValueError("prices: the DataFrame has no close columns")
        duplicated = prices.columns[prices.columns.duplicated()]
        if len(duplicated):
            raise ValueError(f"prices: the instrument {duplicated[0]!r} appears more than once")
        named = _close_columns(prices)
    else:
        return _Instruments((None,), (_prices(prices),), named=False)
    return _Instruments(tuple(name for name, _ in named), tuple(p for _, p in named), named=True)


# ---------------------------------------------------------------------------
# Parameters


def _is_integer(value: Any) -> bool:
    return isinstance(value, numbers.Integral) and not isinstance(value, (bool, np.bool_))


def _is_real(value: Any) -> bool:
    return isinstance(value, numbers.Real) and not isinstance(value, (bool, np.bool_))


def _as_list(values: Any) -> list:
    if isinstance(values, (str, bytes)) or not isinstance(values, Iterable):
        return [values]
    return list(np.asarray(values).tolist()) if isinstance(values, np.ndarray) else list(values)


def _unique(values: list, name: str) -> list:
    if not values:
        raise ValueError(f"{name} must not be empty")
    seen = set()
    for value in values:
        if value in seen:
            raise ValueError(f"{name} holds {value!r} more than once")
        seen.add(value)
    return values


def _windows(values: Any, name: str) -> list[int]:
    windows = _as_list(values)
    for window in windows:
        if not _is_integer(window):
            raise TypeError(f"{name} must hold integers, got {window!r}")
        if window < 1:
            raise ValueError(f"{name} must be at least 1, got {window}")
    return _unique([int(w) for w in windows], name)


def _reals(values: Any, name: str) -> list[float]:
    reals = _as_list(values)
    for value in reals:
        if not _is_real(value):
            raise TypeError(f"{name} must hold real numbers, got {value!r}")
        if not math.isfinite(value):
            raise ValueError(f"{name} must be finite, got {value!r}")
    return _unique([float(v) for v in reals], name)


def _modes(modes: Any, table: tuple[str, ...]) -> list[int]:
    names = list(table) if modes is None else _as_list(modes)
    for mode in names:
        if not isinstance(mode, str) or mode not in table:
            raise ValueError(f"modes: unknown mode {mode!r}; valid names: {', '.join(table)}")
    return [table.index(mode) for mode in _unique(names, "modes")]


def _indicator(indicator: Any) -> str:
    if not isinstance(indicator, str) or indicator not in INDICATORS:
        raise ValueError(f"indicator: unknown indicator {indicator!r}; valid names: {', '.join(INDICATORS)}")
    return indicator


def _leverage(leverage: Any) -> float:
    if not _is_real(leverage):
        raise TypeError(f"leverage must be a real number, got {leverage!r}")
    if not math.isfinite(leverage):
        raise ValueError(f"leverage must be finite, got {leverage!r}")
    return float(leverage)


def _bound_ms(bound: Any, name: str) -> int | None:
    """int(bound.timestamp() * 1000), as process_file takes a bound."""
    if bound is None:
        return None
    timestamp = getattr(bound, "timestamp", None)
    if not callable(timestamp):
        raise TypeError(f"{name} must be None or a point in time with timestamp() (datetime, pandas Timestamp), "
                        f"got {bound!r}")
    return int(timestamp() * 1000)


def _cores() -> int:
    return len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else (os.cpu_count() or 1)


def _threads(threads: Any) -> int | None:
    """None stays None: the cores of this process locally, one thread per task on a cluster."""
    if threads is None:
        return None
    if not _is_integer(threads):
        raise TypeError(f"threads must be an integer or None, got {threads!r}")
    if threads < 1:
        raise ValueError(f"threads must be at least 1, got {threads}")
    return int(threads)


def _progress(progress: Any) -> bool | None:
    if progress is not None and not isinstance(progress, bool):
        raise TypeError(f"progress must be True, False or None, got {progress!r}")
    return progress


@dataclass(frozen=True)
class _Market:
    """What every block of a sweep shares: the price series and the time window."""

    close: np.ndarray
    price_chg: np.ndarray
    begin: int
    end: int
    leverage: float

    def native(self) -> tuple:
        return (self.price_chg, self.begin, self.end, self.leverage)


def _window_rows(start_ms: np.ndarray, begin_ms: int | None, end_ms: int | None) -> tuple[int, int]:
    """The rows that process_file keeps: begin_ms <= start_time < end_ms."""
    begin = 0 if begin_ms is None else int(np.searchsorted(start_ms, begin_ms, side="left"))
    end = len(start_ms) if end_ms is None else int(np.searchsorted(start_ms, end_ms, side="left"))
    return begin, max(begin, end)


def _market(prices: _Prices, leverage: float, begin_ms: int | None, end_ms: int | None) -> _Market:
    begin, end = _window_rows(prices.start_ms, begin_ms, end_ms)
    return _Market(prices.close, _as_read_back(prices.price_chg()), begin, end, leverage)


# ---------------------------------------------------------------------------
# One run


@dataclass(frozen=True)
class Evaluation:
    """One run: its processed frame and the figures of the combined equity report.

    ``frame`` has the columns ``datetime``, ``new_pnl``, ``new_cumu`` and ``close``,
    exactly as ``diagram.process_file`` returns them for the run's result file;
    ``metrics`` holds ``SR``, ``CR``, ``MDD``, ``Recovery Period (days)`` and ``AR``
    as ``diagram.plot_combined_equity`` prints them for that one strategy.
    """

    frame: pd.DataFrame
    metrics: dict[str, Any]


def _positions(positions: Any, bars: int) -> np.ndarray:
    try:
        values = np.asarray(positions, dtype=np.float64)
    except (TypeError, ValueError) as error:
        raise TypeError(f"positions must be a sequence of numbers, NaN allowed: {error}") from None
    if values.ndim != 1:
        raise ValueError(f"positions must be one-dimensional, got {values.ndim} dimensions")
    if len(values) < bars:
        raise ValueError(f"positions holds {len(values)} entries for {bars} bars of prices")
    # a window longer than the data leaves more warm-up entries than bars
    values = values[:bars]
    return np.where(np.isnan(values), 0.0, values)


def write_result_file(path: str | os.PathLike, prices: Any, positions: Any) -> None:
    """Writes the strategy result file of a run (see the stub for the contract)."""
    checked = _prices(prices)
    pos = _positions(positions, checked.bars)
    frame = pd.DataFrame({
        "start_time": checked.start_ms,
        "datetime": checked.texts(),
        "close": checked.close,
        "pos": pos,
        "price_chg": checked.price_chg(),
    })
    target = os.fspath(path)
    folder = os.path.dirname(os.path.abspath(target))
    handle, temporary = tempfile.mkstemp(prefix=".", suffix=".tmp", dir=folder)
    try:
        with os.fdopen(handle, "w", newline="") as stream:
            frame.to_csv(stream, index=False)
        os.replace(temporary, target)
    except BaseException:
        os.unlink(temporary)
        raise


def evaluate(prices: Any, positions: Any, leverage: float = 1.0, start_time: Any = None,
             end_time: Any = None) -> Evaluation:
    """One run's processed frame and figures, with no file written (see the stub)."""
    leverage = _leverage(leverage)
    begin_ms, end_ms = _bound_ms(start_time, "start_time"), _bound_ms(end_time, "end_time")
    checked = _prices(prices)
    pos = _as_read_back(_positions(positions, checked.bars))
    market = _market(checked, leverage, begin_ms, end_ms)
    pnl, cumu, figures = _sweep.returns(market.native(), pos)
    rows = slice(market.begin, market.end)
    frame = pd.DataFrame({
        "datetime": pd.Series(checked.texts()[rows]).astype(_TEXT_DTYPE),
        "new_pnl": pnl,
        "new_cumu": cumu,
        "close": _as_read_back(checked.close)[rows],
    })
    return Evaluation(frame, _printed_metrics(figures))


def _printed_metrics(figures: dict) -> dict[str, Any]:
    """The report's objects: the integer 0 as SR for no deviation, None for no recovery."""
    recovery = float(figures["recovery_days"][0])
    return {
        "SR": 0 if figures["deviation"] == 0 else float(figures["SR"][0]),
        "CR": float(figures["CR"][0]),
        "MDD": float(figures["MDD"][0]),
        "Recovery Period (days)": None if math.isnan(recovery) else recovery,
        "AR": float(figures["AR"][0]),
    }


# ---------------------------------------------------------------------------
# Work: the columns of some units of an instrument, then the native engine over them


def _frame(close: np.ndarray) -> pd.DataFrame:
    return pd.DataFrame({"data": close})


@dataclass(frozen=True)
class _Grid:
    """What every block of a sweep crosses its windows' columns with: modes and values (none for MACD)."""

    kind: str  # "threshold", "band" or "macd"
    modes: tuple[int, ...]
    values: tuple[float, ...]

    def rows(self, windows: int) -> int:
        return windows * len(self.modes) * len(self.values)


def _threshold_columns(market: _Market, windows: Sequence[int], *, indicator: str, modes: Sequence[int]) -> list:
    """Per window: the indicator's signal and, as entry_exit_threshold computes them, its averages."""
    averages = sorted({_THRESHOLD_AVERAGES[THRESHOLD_MODES[m]] for m in modes} - {None})
    columns = []
    for window in windows:
        signal = getattr(formula, indicator)(_frame(market.close), window)["processed_data"]
        computed = {name: getattr(formula, _AVERAGE_FUNCTIONS[name])(signal, window) for name in averages}
        columns.append((window, signal.to_numpy(), computed.get("sma"), computed.get("ema"), computed.get("wma")))
    return columns


def _band_columns(market: _Market, windows: Sequence[int], *, modes: Sequence[int]) -> list:
    """Per window: the columns of rolling_bollinger_bands, from the same primitives; the engine forms the bands."""
    averages = {_BAND_AVERAGES[BAND_MODES[m]] for m in modes} - {None}
    data = _frame(market.close)["data"]
    columns = []
    for window in windows:
        ema = formula.rolling_ema(data, window) if "ema" in averages else None
        wma = formula.rolling_wma(data, window) if "wma" in averages else None
        columns.append((window, market.close, formula.rolling_mean(data, window), ema, wma,
                        formula.rolling_std(data, window)))
    return columns


def _macd_columns(market: _Market, pairs: Sequence[tuple[int, int]], *, signal_windows: Sequence[int]) -> list:
    """Per (short, long) pair and signal window: the warm-up, MACD and Signal of calculate_macd."""
    runs = []
    for short_window, long_window in pairs:
        for signal_window in signal_windows:
            frame = formula.calculate_macd(_frame(market.close), short_window, long_window, signal_window)
            warm_up = short_window if short_window > long_window else long_window
            runs.append((warm_up, frame["MACD"].to_numpy(), frame["Signal"].to_numpy()))
    return runs


def _figures(market: _Market, grid: _Grid, columns: list, threads: int, poll: Callable | None) -> dict:
    """The engine over prepared columns: the figures of the block's rows, in order."""
    control = (threads, poll)
    if grid.kind == "macd":
        return _sweep.macd(market.native(), columns, control)
    engine = _sweep.threshold if grid.kind == "threshold" else _sweep.band
    return engine(market.native(), columns, (list(grid.modes), list(grid.values)), control)


@dataclass(frozen=True)
class _Work:
    """What a sweep does with each instrument, unit by unit (a window; a short and long window pair for MACD).

    A block of units is the smallest piece of work: the columns of its units are
    computed once and the engine crosses them with the grid. The object is sent
    to cluster workers as it is, so `prepare` is a partial of a module function.
    """

    grid: _Grid
    prepare: Callable[..., list]  # (market, units) -> the engine's columns
    units: tuple
    unit_name: str  # how a block of units is named in messages
    rows_per_unit: int
    indicator_runs_per_unit: int

    def figures(self, market: _Market, units: Sequence, threads: int, poll: Callable | None = None) -> dict:
        return _figures(market, self.grid, self.prepare(market, units), threads, poll)

    def seconds_per_unit(self, bars: int, threads: int) -> float:
        """A rough cost of one unit, for progress bars and the size of cluster tasks."""
        return bars * (self.rows_per_unit * _SECONDS_PER_BAR / threads
                       + self.indicator_runs_per_unit * _SECONDS_PER_INDICATOR_BAR)


def _block_label(name: Any, named: bool, unit_name: str, units: Sequence) -> str:
    block = f"{unit_name} {list(units)}"
    return f"instrument {name!r}, {block}" if named else block


# ---------------------------------------------------------------------------
# Running the blocks of a sweep on this machine


class _Cancelled(Exception):
    """Raised into the engine's poll to stop a block whose sweep was interrupted."""


class _Progress:
    """The rows done so far, shown as a progress bar when asked, and the switch that cancels a sweep."""

    def __init__(self, total: int, shown: bool, unit: str = "run") -> None:
        self.bar = None
        self.done = 0
        self.cancelled = threading.Event()
        if shown:
            from tqdm.auto import tqdm

            self.bar = tqdm(total=total, unit=unit, file=sys.stderr, leave=False, dynamic_ncols=True)

    def poll(self) -> Callable[[int], None]:
        """The engine's poll for the next block: raises once the sweep is cancelled."""
        offset = self.done

        def poll(done: int) -> None:
            if self.cancelled.is_set():
                raise _Cancelled
            if self.bar is not None:
                self.bar.n = offset + done
                self.bar.refresh()

        return poll

    def finished(self, rows: int) -> None:
        self.done += rows
        if self.bar is not None:
            self.bar.n = self.done
            self.bar.refresh()

    def close(self) -> None:
        if self.bar is not None:
            self.bar.close()


def _shown(progress: bool | None, expected_seconds: float) -> bool:
    if progress is not None:
        return progress
    return expected_seconds > 1.0 and bool(getattr(sys.stderr, "isatty", lambda: False)())


def _result(future):
    """The future's result, waited for in short steps: a signal may reach another
    thread, and this one runs Python's handlers only between steps."""
    while True:
        try:
            return future.result(timeout=_POLL_SECONDS)
        except FuturesTimeout:
            continue


@dataclass(frozen=True)
class _Block:
    market: _Market
    units: tuple
    label: str  # the instrument and units, for messages


def _run_blocks(work: _Work, blocks: Sequence[_Block], threads: int, progress: _Progress) -> list[dict]:
    """The figures of every block, in order.

    The engine runs a block on a helper thread (it releases the GIL) while this
    thread prepares the columns of the next one. Ctrl-C reaches this thread;
    the block running is then cancelled at its next poll and waited for, so no
    engine thread outlives the call, and KeyboardInterrupt is raised.
    """
    parts = []
    rows = [len(block.units) * work.rows_per_unit for block in blocks]
    with ThreadPoolExecutor(max_workers=1, thread_name_prefix="Backtest.sweep") as helper:
        running = None
        current = None  # the block of the step under way, named if it fails
        try:
            for index, block in enumerate(blocks):
                current = block
                columns = work.prepare(block.market, block.units)
                if running is not None:
                    current = blocks[index - 1]
                    parts.append(_result(running))
                    progress.finished(rows[index - 1])
                running = helper.submit(_figures, block.market, work.grid, columns, threads, progress.poll())
                del columns
            if running is not None:
                current = blocks[-1]
                parts.append(_result(running))
                progress.finished(rows[-1])
        except BaseException as error:
            progress.cancelled.set()
            if running is not None:
                wait([running])
            if isinstance(error, Exception) and current is not None:
                error.add_note(f"in the sweep block of {current.label}")
            raise
        finally:
            progress.close()
    return parts


def _local(work: _Work, markets: Sequence[_Market], names: Sequence, named: bool, threads: int,
           progress: bool | None) -> list[dict]:
    blocks = [_Block(market, (unit,), _block_label(name, named, work.unit_name, (unit,)))
              for name, market in zip(names, markets) for unit in work.units]
    expected = sum(len(work.units) * work.seconds_per_unit(len(market.close), threads) for market in markets)
    total = len(markets) * len(work.units) * work.rows_per_unit
    return _run_blocks(work, blocks, threads, _Progress(total, _shown(progress, expected)))


@dataclass(frozen=True)
class _Options:
    leverage: float
    begin_ms: int | None
    end_ms: int | None
    threads: int | None
    progress: bool | None
    client: Any


def _options(leverage: Any, start_time: Any, end_time: Any, threads: Any, progress: Any, client: Any) -> _Options:
    if client is not None:
        from Backtest import _cluster

        _cluster.check_client(client)
    return _Options(_leverage(leverage), _bound_ms(start_time, "start_time"), _bound_ms(end_time, "end_time"),
                    _threads(threads), _progress(progress), client)


def _sweep_figures(work: _Work, instruments: _Instruments, options: _Options) -> dict:
    """The figures of every row: instruments in order, then the units of each."""
    markets = [_market(prices, options.leverage, options.begin_ms, options.end_ms) for prices in instruments.prices]
    if options.client is None:
        threads = _cores() if options.threads is None else options.threads
        parts = _local(work, markets, instruments.names, instruments.named, threads, options.progress)
    else:
        from Backtest import _cluster

        parts = _cluster.run(options.client, work, markets, instruments.names, instruments.named,
                             1 if options.threads is None else options.threads, options.progress)
    return {name: np.concatenate([part[name] for part in parts]) for name in _METRICS}


def _report(instruments: _Instruments, parameters: dict[str, Any], figures: dict) -> pd.DataFrame:
    """The report: the parameter columns of one instrument's rows, repeated for each instrument."""
    rows = len(next(value for value in parameters.values() if isinstance(value, np.ndarray)))
    count = len(instruments.names)
    columns = {}
    if instruments.named:
        names = np.empty(count, dtype=object)
        names[:] = instruments.names
        column = pd.Series(np.repeat(names, rows))
        columns["instrument"] = column.astype(str) if all(isinstance(n, str) for n in instruments.names) else column
    for name, value in parameters.items():
        columns[name] = np.tile(value, count) if isinstance(value, np.ndarray) else value
    report = pd.DataFrame(columns)
    for name in _METRICS:
        report[name] = figures[name]
    return report


def _grid_columns(*levels: Sequence) -> list[np.ndarray]:
    """The columns of the full grid of `levels`, the first varying slowest."""
    mesh = np.meshgrid(*[np.arange(len(level)) for level in levels], indexing="ij")
    return [np.asarray(level, dtype=object)[index.ravel()] for level, index in zip(levels, mesh)]


def threshold_sweep(prices: Any, windows: Any, thresholds: Any, modes: Any = None, indicator: str = "rolling_zscore",
                    leverage: float = 1.0, start_time: Any = None, end_time: Any = None, threads: int | None = None,
                    progress: bool | None = None, client: Any = None) -> pd.DataFrame:
    """Every window x mode x threshold of entry_exit_threshold (see the stub)."""
    windows = _windows(windows, "windows")
    thresholds = _reals(thresholds, "thresholds")
    mode_indices = _modes(modes, THRESHOLD_MODES)
    indicator = _indicator(indicator)
    options = _options(leverage, start_time, end_time, threads, progress, client)
    instruments = _instruments(prices)

    grid = _Grid("threshold", tuple(mode_indices), tuple(thresholds))
    work = _Work(grid, partial(_threshold_columns, indicator=indicator, modes=tuple(mode_indices)), tuple(windows),
                 "windows", grid.rows(1), 1)
    figures = _sweep_figures(work, instruments, options)
    window_column, mode_column, threshold_column = _grid_columns(
        windows, [THRESHOLD_MODES[m] for m in mode_indices], thresholds)
    return _report(instruments, {"indicator": indicator, "window": window_column.astype(np.int64),
                                 "threshold": threshold_column.astype(np.float64),
                                 "mode": mode_column.astype(str)}, figures)


def band_sweep(prices: Any, windows: Any, multipliers: Any, modes: Any = None, leverage: float = 1.0,
               start_time: Any = None, end_time: Any = None, threads: int | None = None,
               progress: bool | None = None, client: Any = None) -> pd.DataFrame:
    """Every window x mode x multiplier of rolling_bollinger_bands and entry_exit_band (see the stub)."""
    windows = _windows(windows, "windows")
    multipliers = _reals(multipliers, "multipliers")
    mode_indices = _modes(modes, BAND_MODES)
    options = _options(leverage, start_time, end_time, threads, progress, client)
    instruments = _instruments(prices)

    grid = _Grid("band", tuple(mode_indices), tuple(multipliers))
    work = _Work(grid, partial(_band_columns, modes=tuple(mode_indices)), tuple(windows), "windows", grid.rows(1), 1)
    figures = _sweep_figures(work, instruments, options)
    window_column, mode_column, multiplier_column = _grid_columns(
        windows, [BAND_MODES[m] for m in mode_indices], multipliers)
    return _report(instruments, {"indicator": "rolling_bollinger_bands", "window": window_column.astype(np.int64),
                                 "multiplier": multiplier_column.astype(np.float64),
                                 "mode": mode_column.astype(str)}, figures)


def macd_sweep(prices: Any, short_windows: Any, long_windows: Any, signal_windows: Any, leverage: float = 1.0,
               start_time: Any = None, end_time: Any = None, threads: int | None = None,
               progress: bool | None = None, client: Any = None) -> pd.DataFrame:
    """Every short x long x signal window of calculate_macd and entry_exit_macd (see the stub)."""
    short_windows = _windows(short_windows, "short_windows")
    long_windows = _windows(long_windows, "long_windows")
    signal_windows = _windows(signal_windows, "signal_windows")
    options = _options(leverage, start_time, end_time, threads, progress, client)
    instruments = _instruments(prices)

    pairs = tuple((short, long) for short in short_windows for long in long_windows)
    work = _Work(_Grid("macd", (), ()), partial(_macd_columns, signal_windows=tuple(signal_windows)), pairs,
                 "(short, long) windows", len(signal_windows), len(signal_windows))
    figures = _sweep_figures(work, instruments, options)
    short_column, long_column, signal_column = _grid_columns(short_windows, long_windows, signal_windows)
    return _report(instruments, {"indicator": "calculate_macd", "short_window": short_column.astype(np.int64),
                                 "long_window": long_column.astype(np.int64),
                                 "signal_window": signal_column.astype(np.int64)}, figures)


# ---------------------------------------------------------------------------
# Figures


_DEFAULT_AXES = (("threshold", "window"), ("multiplier", "window"), ("long_window", "short_window"))


def _default_axes(report: pd.DataFrame) -> tuple[str, str]:
    for x, y in _DEFAULT_AXES:
        if x in report.columns and y in report.columns:
            return x, y
    raise ValueError("report: not a sweep report (no threshold, multiplier or MACD window columns)")


def _label(value: Any) -> str:
    return f"{value:g}" if _is_real(value) else str(value)


def plot_sweep(report: pd.DataFrame, metric: str = "SR", x: str | None = None, y: str | None = None):
    """Annotated heatmaps of a metric over two parameters, one per mode (see the stub)."""
    from matplotlib.colors import TwoSlopeNorm
    from matplotlib.figure import Figure

    if not isinstance(report, pd.DataFrame):
        raise TypeError(f"report must be a DataFrame returned by a sweep, not {type(report).__name__}")
    default_x, default_y = _default_axes(report)
    x = default_x if x is None else x
    y = default_y if y is None else y
    for name, value in (("metric", metric), ("x", x), ("y", y)):
        if value not in report.columns:
            raise ValueError(f"{name}: {value!r} is not a column of the report; columns: {', '.join(report.columns)}")
    if len(report) == 0:
        raise ValueError("report must hold at least one row")
    by_mode = "mode" in report.columns and "mode" not in (x, y)
    panels = list(dict.fromkeys(report["mode"])) if by_mode else [None]
    others = [c for c in report.columns if c not in (x, y, metric, "mode", "indicator") and c not in _METRICS]
    grouped = report.groupby(([] if panels == [None] else ["mode"]) + [y, x], sort=False)[metric]
    several = bool((grouped.size() > 1).any())
    values = grouped.max() if several else grouped.first()

    finite = values.to_numpy(dtype=np.float64)
    finite = finite[np.isfinite(finite)]
    span = float(np.abs(finite).max()) if finite.size else 1.0
    span = span if span > 0 else 1.0
    norm = TwoSlopeNorm(vcenter=0.0, vmin=-span, vmax=span)

    columns = math.ceil(math.sqrt(len(panels)))
    rows = math.ceil(len(panels) / columns)
    figure = Figure(figsize=(4.2 * columns + 1.2, 3.6 * rows), layout="constrained")
    axes = figure.subplots(rows, columns, squeeze=False)
    x_levels = sorted(report[x].unique())
    y_levels = sorted(report[y].unique())
    image = None
    for k, panel in enumerate(panels):
        ax = axes.flat[k]
        cells = values.loc[panel] if panel is not None else values
        grid = cells.unstack(x).reindex(index=y_levels, columns=x_levels).to_numpy(dtype=np.float64)
        image = ax.imshow(np.ma.masked_invalid(grid), cmap="RdBu_r", norm=norm, aspect="auto", origin="lower")
        for (i, j), value in np.ndenumerate(grid):
            if not math.isnan(value):
                # light text on the deep ends of the colour map (infinities stay uncoloured)
                dark = math.isfinite(value) and abs(float(norm(value)) - 0.5) > 0.3
                ax.text(j, i, f"{value:.3g}", ha="center", va="center", fontsize=7,
                        color="white" if dark else "black")
        ax.set_xticks(range(len(x_levels)), [_label(v) for v in x_levels], rotation=45)
        ax.set_yticks(range(len(y_levels)), [_label(v) for v in y_levels])
        ax.set_xlabel(x)
        ax.set_ylabel(y)
        if panel is not None:
            ax.set_title(panel)
    for ax in list(axes.flat)[len(panels):]:
        ax.set_visible(False)
    label = metric if not several else f"{metric} (best over {', '.join(others) or 'repeated rows'})"
    figure.colorbar(image, ax=axes, label=label)
    return figure


def plot_run(evaluation: Evaluation):
    """Cumulative return with its maximum drawdown marked, and the close price (see the stub)."""
    from matplotlib.figure import Figure

    if not isinstance(evaluation, Evaluation):
        raise TypeError(f"evaluation must be an Evaluation returned by evaluate, not {type(evaluation).__name__}")
    frame = evaluation.frame
    times = pd.to_datetime(frame["datetime"], format=_DATETIME_FORMAT, errors="coerce")
    times = times if not times.isna().any() else pd.Series(np.arange(len(frame)))
    cumu = frame["new_cumu"].to_numpy(dtype=np.float64)

    figure = Figure(figsize=(12, 5), layout="constrained")
    ax = figure.add_subplot()
    ax.plot(times, cumu, color="tab:red", linewidth=1.5, label="Cumulative return")
    if len(cumu) and np.isfinite(cumu).any():
        peak = np.fmax.accumulate(np.where(np.isnan(cumu), -np.inf, cumu))
        drawdown = cumu - peak
        trough = int(np.nanargmin(drawdown))
        if drawdown[trough] < 0:
            top = int(np.flatnonzero(cumu[: trough + 1] == peak[trough])[0])
            ax.axvspan(times.iloc[top], times.iloc[trough], color="tab:red", alpha=0.1)
            ax.scatter([times.iloc[top], times.iloc[trough]], [cumu[top], cumu[trough]], color="black", zorder=3,
                       label=f"Maximum drawdown {drawdown[trough]:.4g}")
    ax.set_xlabel("Time")
    ax.set_ylabel("Cumulative return")
    ax.grid(True)
    twin = ax.twinx()
    twin.plot(times, frame["close"], color="tab:blue", linewidth=1.0, label="Close")
    twin.set_ylabel("Close price")
    metrics = evaluation.metrics
    ax.set_title(f"SR {metrics['SR']:.3g}   AR {metrics['AR']:.3g}   MDD {metrics['MDD']:.3g}")
    handles = ax.get_legend_handles_labels()
    twin_handles = twin.get_legend_handles_labels()
    ax.legend(handles[0] + twin_handles[0], handles[1] + twin_handles[1], loc="upper left")
    return figure
