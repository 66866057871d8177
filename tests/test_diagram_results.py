"""Strategy result files, drawdown and recovery, and the combined equity report."""

import types
from datetime import datetime, timezone

import matplotlib.pyplot as plt
import numpy as np
import pandas as pd
import pytest
from matplotlib.ticker import MaxNLocator

from Backtest import diagram

HOUR_MS = 3_600_000
T0 = 1_700_000_000_000  # 2023-11-14 22:13:20 UTC


def write_result(folder, name, pos, price_chg, start_time=None, drop=()):
    n = len(pos)
    frame = pd.DataFrame({
        "start_time": T0 + HOUR_MS * np.arange(n) if start_time is None else start_time,
        "datetime": [f"2023-11-{14 + (22 + h) // 24:02d} {(22 + h) % 24:02d}:00" for h in range(n)],
        "close": 100.0 + np.arange(n), "pos": pos, "price_chg": price_chg,
    }).drop(columns=list(drop))
    path = folder / f"{name}.csv"
    frame.to_csv(path)  # with the unnamed row-index column a writer may add
    return str(path)


def at(ms):
    return pd.Timestamp(ms, unit="ms", tz="UTC")


def pandas_process_file(file_path, leverage, start_time, end_time):
    """The column-wise pandas steps; an empty window yields the empty four-column frame."""
    df = pd.read_csv(file_path)
    if start_time is not None:
        start_time_ms = int(start_time.timestamp() * 1000)
    if end_time is not None:
        end_time_ms = int(end_time.timestamp() * 1000)
    if start_time is not None:
        df = df[df["start_time"] >= start_time_ms]
    if end_time is not None:
        df = df[df["start_time"] < end_time_ms]
    df = df.reset_index(drop=True)
    df.loc[:, "new_pos"] = df["pos"] * leverage
    if df.empty:
        df["price_chg"]
        df = df[["datetime", "close"]].copy()
        df.insert(1, "new_pnl", np.zeros(0))
        df.insert(2, "new_cumu", np.zeros(0))
        return df
    df.loc[:, "new_trades"] = 0.0
    df.loc[1:, "new_trades"] = abs(df["new_pos"].iloc[1:].values - df["new_pos"].iloc[:-1].values)
    df.loc[:, "new_pnl"] = 0.0
    df.loc[1:, "new_pnl"] = (df["price_chg"].iloc[1:].values * df["new_pos"].iloc[:-1].values
                             - df["new_trades"].iloc[1:].values * 0.06 / 100)
    df.loc[:, "new_cumu"] = df["new_pnl"].cumsum()
    return df[["datetime", "new_pnl", "new_cumu", "close"]]


def assert_same_frame(actual, expected):
    pd.testing.assert_frame_equal(actual, expected, check_exact=True)
    for column in ("new_pnl", "new_cumu"):  # bit for bit, signed zeros and NaN included
        assert np.array_equal(actual[column].to_numpy().view(np.int64), expected[column].to_numpy().view(np.int64))


def outcome(call, *args):
    try:
        return call(*args)
    except Exception as error:  # noqa: BLE001 - the failure itself is compared
        return type(error), str(error)


# --- process_file -------------------------------------------------------------

def test_process_file_worked_example(tmp_path):
    path = write_result(tmp_path, "s", [0, 1, 1, -1, 0], [0.0, 0.01, 0.02, -0.01, 0.03])
    result = diagram.process_file(path, 2, None, None)
    assert list(result.columns) == ["datetime", "new_pnl", "new_cumu", "close"]
    assert isinstance(result.index, pd.RangeIndex)
    np.testing.assert_allclose(result["new_pnl"], [0.0, -0.0012, 0.04, -0.0224, -0.0612], atol=1e-15)
    np.testing.assert_allclose(result["new_cumu"], [0.0, -0.0012, 0.0388, 0.0164, -0.0448], atol=1e-15)
    assert_same_frame(result, pandas_process_file(path, 2, None, None))
    assert diagram.process_file.__doc__ == "Process a single file to calculate PnL and cumulative returns."
    assert diagram.calculate_drawdown_and_recovery.__doc__ == "Calculate max drawdown and recovery period."


@pytest.mark.parametrize("seed", range(12))
def test_process_file_equals_the_column_wise_pandas_steps(tmp_path, seed):
    rng = np.random.default_rng(seed)
    n = int(rng.choice([1, 2, 3, 40, 500]))
    pos = rng.integers(-3, 4, n).astype(float if seed % 2 else np.int64)
    price_chg = rng.normal(0, 0.02, n)
    if seed % 2:
        pos[rng.random(n) < 0.1] = np.nan
        price_chg[rng.random(n) < 0.1] = np.nan
    start_time = (T0 + HOUR_MS * np.arange(n)).astype(float)
    start_time[rng.random(n) < 0.05] = np.nan
    path = write_result(tmp_path, "s", pos, price_chg, start_time=start_time)
    leverage = [3, 0.7, np.float32(1.3), True][seed % 4]
    bounds = [(None, None), (at(T0 + HOUR_MS * int(rng.integers(0, n + 1))), None),
              (None, at(T0 + HOUR_MS * int(rng.integers(0, n + 1)))), (at(T0 + HOUR_MS), at(T0))][seed % 4]
    assert_same_frame(diagram.process_file(path, leverage, *bounds), pandas_process_file(path, leverage, *bounds))


@pytest.mark.parametrize("start, end, kept", [
    (None, None, [0, 1, 2, 3, 4]),
    (at(T0 + HOUR_MS), at(T0 + 3 * HOUR_MS), [1, 2]),  # start inclusive, end exclusive
    (at(T0 + HOUR_MS - 1), None, [1, 2, 3, 4]),
    (None, at(T0 + 3 * HOUR_MS + 1), [0, 1, 2, 3]),
    (datetime.fromtimestamp((T0 + 2 * HOUR_MS) / 1000, timezone.utc), None, [2, 3, 4]),
    (at(T0 + 9 * HOUR_MS), None, []),
    (at(T0 + 3 * HOUR_MS), at(T0 + HOUR_MS), []),
])
def test_process_file_window(tmp_path, start, end, kept):
    path = write_result(tmp_path, "s", [1, 1, 2, 2, 0], [0.5, 0.01, 0.02, 0.03, 0.04])
    result = diagram.process_file(path, 1, start, end)
    assert list(result["close"]) == [100.0 + k for k in kept]
    assert list(result.columns) == ["datetime", "new_pnl", "new_cumu", "close"]
    assert list(result.index) == list(range(len(kept)))
    if kept:  # the window's first bar neither pays for its position nor earns
        assert (result["new_pnl"].iloc[0], result["new_cumu"].iloc[0]) == (0.0, 0.0)


@pytest.mark.parametrize("drop, bounds, error", [
    ((), ("2024-01-01", None), AttributeError),
    (("start_time",), (None, at(T0)), KeyError),
    (("pos",), (None, None), KeyError),
    (("price_chg",), (None, None), KeyError),
    (("datetime",), (None, None), KeyError),
    (("close", "datetime"), (None, None), KeyError),
    (("close", "pos"), (None, None), KeyError),
    (("start_time",), (object(), None), AttributeError),  # the bounds go first
])
def test_process_file_raises_what_pandas_raises_at_the_same_step(tmp_path, drop, bounds, error):
    path = write_result(tmp_path, "s", [0, 1, 1], [0.0, 0.01, 0.02], drop=drop)
    expected = outcome(pandas_process_file, path, 2, *bounds)
    assert expected[0] is error
    assert outcome(diagram.process_file, path, 2, *bounds) == expected


def test_process_file_without_start_time_needs_no_bounds(tmp_path):
    path = write_result(tmp_path, "s", [1, 1], [0.0, 0.5], drop=("start_time",))
    assert list(diagram.process_file(path, 1, None, None)["new_pnl"]) == [0.0, 0.5]


@pytest.mark.parametrize("path, leverage, error", [
    ("missing.csv", 1, FileNotFoundError), (None, "2", TypeError), (None, 1j, TypeError), (None, [2], TypeError),
])
def test_process_file_refuses_bad_input(tmp_path, path, leverage, error):
    path = path and str(tmp_path / path) or write_result(tmp_path, "s", [0, 1], [0.0, 0.5])
    with pytest.raises(error):
        diagram.process_file(path, leverage, None, None)


# --- calculate_drawdown_and_recovery -------------------------------------------

def pandas_drawdown(cumu_series):
    cumu_max = cumu_series.cummax()
    drawdown = cumu_series - cumu_max
    mdd = drawdown.min()
    if not mdd < 0:
        return mdd, None
    mdd_start_idx = drawdown.idxmin()
    recovery_idxs = cumu_series[(cumu_series.index > mdd_start_idx)
                                & (cumu_series >= cumu_max[mdd_start_idx])].index
    if len(recovery_idxs) == 0:
        return mdd, None
    recovery_period = recovery_idxs[0] - mdd_start_idx
    if isinstance(cumu_series.index, pd.DatetimeIndex):
        return mdd, recovery_period.total_seconds() / 86400
    return mdd, recovery_period / 24


HOURLY = pd.date_range("2024-01-01", periods=40, freq="h")


@pytest.mark.parametrize("values, index, expected", [
    ([0, 1, 3, 2, 1, 2, 3, 4], None, (-2, 2 / 24)),
    ([0, 2, 1], None, (-1, None)),
    ([0, 1, 1, 2], None, (0, None)),
    ([], None, (np.nan, None)),
    ([np.nan, np.nan], None, (np.nan, None)),
    ([0, 2, 1, 2], None, (-1, 1 / 24)),  # back exactly at the peak counts
    ([3, 1, 3, 1, 4], None, (-2, 1 / 24)),  # equal minima: the first is the trough
    ([0, 2, 1, 0, 3], [10, 20, 30, 40, 50], (-2, 10 / 24)),
    ([0.0] * 5 + [-1.0] + [-0.5] * 29 + [0.0], HOURLY[:36], (-1, 1.25)),
    ([1, 0, 0.5, 1], pd.DatetimeIndex(["2024-01-01 00:00", "2024-01-01 05:00", "2024-01-02 12:00",
                                       "2024-01-02 17:00"]), (-1, 1.5)),
])
def test_drawdown_and_recovery(values, index, expected):
    series = pd.Series(values, index=index, dtype=float)
    result = diagram.calculate_drawdown_and_recovery(series)
    reference = pandas_drawdown(series)
    np.testing.assert_equal(result, expected)
    np.testing.assert_equal(result, reference)
    assert [type(v) for v in result] == [type(v) for v in reference]
    assert type(result) is tuple


# --- plot_combined_equity ------------------------------------------------------

@pytest.fixture
def shown(monkeypatch):
    """The figures open at each plt.show(); every figure closed afterwards."""
    calls = []
    monkeypatch.setattr(plt, "show", lambda: calls.append([plt.figure(n) for n in plt.get_fignums()]))
    yield calls
    plt.close("all")


def report_lines(capsys, file_paths, start=None, end=None):
    diagram.plot_combined_equity(file_paths, start, end)
    return capsys.readouterr().out.splitlines()


def pandas_summary(frames):
    pnl_merge = pd.concat(frames, axis=1).drop_duplicates(subset=["datetime"])
    total_pnl = pnl_merge.drop(columns=["datetime"]).sum(axis=1)
    sharp_ratio = total_pnl.mean() / total_pnl.std() * np.sqrt(8760) if total_pnl.std() != 0 else 0
    ar = total_pnl.mean() * 365 * 24
    mdd, recovery_period = pandas_drawdown(total_pnl.cumsum())
    cr = ar / abs(mdd) if mdd != 0 else float("inf")
    return str({"SR": sharp_ratio, "CR": cr, "MDD": mdd, "Recovery Period (days)": recovery_period, "AR": ar})


def test_combined_equity_worked_example(tmp_path, shown, capsys):
    paths = {name: (write_result(tmp_path, name, [1, 1, 1, 1], chg), 1) for name, chg in
             [("A", [0.0, 0.004, -0.01, 0.012]), ("B", [0.0, 0.006, -0.01, 0.018])]}
    [line] = report_lines(capsys, paths)
    frames = [diagram.process_file(p, 1, None, None)[["datetime", "new_pnl"]].rename(columns={"new_pnl": n})
              for n, (p, _) in paths.items()]
    assert line == pandas_summary(frames)
    figures = eval(line, {"np": np, "inf": np.inf, "nan": np.nan})
    assert figures["SR"] == pytest.approx(22.48, abs=0.01) and figures["AR"] == pytest.approx(43.8)
    assert figures["MDD"] == pytest.approx(-0.02) and figures["CR"] == pytest.approx(2190)
    assert figures["Recovery Period (days)"] == pytest.approx(1 / 24)

    [[fig, fig1]] = shown
    assert [f.get_size_inches().tolist() for f in (fig, fig1)] == [[20, 8], [20, 8]]
    ax1, ax2 = fig.axes
    axa, axb = fig1.axes
    assert (ax1.get_title(), ax1.get_xlabel(), ax1.get_ylabel(), ax2.get_ylabel()) == (
        "Total Cumulative Returns and Close Price", "Time", "Cumulative Return", "Close Price")
    assert (axa.get_title(), axa.get_xlabel(), axa.get_ylabel(), axb.get_ylabel()) == (
        "Cumulative Returns of Each Strategy and BTC Close", "Time", "Cumulative Return", "Close Price")
    [total] = ax1.get_lines()
    assert list(total.get_xdata()) == ["2023-11-14 22:00", "2023-11-14 23:00", "2023-11-15 00:00", "2023-11-15 01:00"]
    np.testing.assert_allclose(total.get_ydata(), [0.0, 0.01, -0.01, 0.02], atol=1e-15)
    assert (total.get_color(), total.get_linewidth()) == ("red", 2)
    assert [l.get_linestyle() for l in axa.get_lines()] == ["--", "--"]
    for ax in (ax2, axb):
        [close] = ax.get_lines()
        assert (close.get_color(), close.get_linewidth(), list(close.get_ydata())) == ("blue", 2, [100, 101, 102, 103])
        assert list(close.get_xdata()) == list(total.get_xdata())
    for ax, texts in [(ax1, ["Total Cumulative Returns"]), (ax2, ["Close"]), (axa, ["A", "B"]), (axb, ["Close"])]:
        assert [t.get_text() for t in ax.get_legend().get_texts()] == texts
    for ax in (ax1, axa):
        locator = ax.xaxis.get_major_locator()
        assert isinstance(locator, MaxNLocator)
        assert (locator._nbins, locator._integer, locator._prune) == (12, True, "lower")
        assert {label.get_rotation() for label in ax.get_xticklabels()} == {45}


@pytest.mark.parametrize("pos, chg, fragment", [
    ([0, 0, 0], [0.0, 0.1, -0.1],  # never holds a position
     "{'SR': 0, 'CR': inf, 'MDD': np.float64(0.0), 'Recovery Period (days)': None, 'AR': np.float64(0.0)}"),
    ([1], [0.3], "{'SR': np.float64(nan), 'CR': inf, 'MDD': np.float64(0.0), 'Recovery Period (days)': None, "),
    ([1, 1, 1], [0.0, 0.25, 0.5], "'CR': inf, 'MDD': np.float64(0.0), 'Recovery Period (days)': None, 'AR': "),
    ([1, 1, 1], [0.0, 0.25, -0.5], "'CR': np.float64(-1460.0), 'MDD': np.float64(-0.5), 'Recovery Period (days)': None"),
])
def test_combined_equity_summary_line(tmp_path, shown, capsys, pos, chg, fragment):
    path = write_result(tmp_path, "s", pos, chg)
    # pandas' reductions through bottleneck (when installed) return Python floats,
    # which print without the NumPy type: the fragments pin NumPy's own reductions.
    with pd.option_context("compute.use_bottleneck", False):
        [line] = report_lines(capsys, {"only": (path, 1)})
        assert line == pandas_summary([diagram.process_file(path, 1, None, None)[["datetime", "new_pnl"]]])
    assert fragment in line
    assert len(shown) == 1


def test_combined_equity_skips_a_failing_first_strategy(tmp_path, shown, capsys):
    bad = str(tmp_path / "missing.csv")
    good = write_result(tmp_path, "good", [1, 1, 1], [0.0, 0.1, 0.1])
    lines = report_lines(capsys, {"bad": (bad, 1), "good": (good, 2), "cols": (write_result(
        tmp_path, "cols", [1], [0.0], drop=("pos",)), 1)})
    assert lines[0].startswith(f"Error processing file {bad}: [Errno 2] No such file or directory")
    assert lines[1] == f"Error processing file {tmp_path / 'cols.csv'}: 'pos'"
    assert lines[2].startswith("{'SR': ") and len(lines) == 3
    [[fig, fig1]] = shown
    assert list(fig.axes[1].get_lines()[0].get_ydata()) == [100, 101, 102]
    assert [t.get_text() for t in fig1.axes[0].get_legend().get_texts()] == ["good"]


def test_combined_equity_strategies_of_different_lengths(tmp_path, shown, capsys):
    paths = {"long": (write_result(tmp_path, "long", [1] * 4, [0.0, 0.1, 0.1, 0.1]), 1),
             "short": (write_result(tmp_path, "short", [1] * 2, [0.0, 0.2]), 1)}
    report_lines(capsys, paths)
    [[fig, fig1]] = shown
    # Returns add up by position, the charts keep the common times only.
    np.testing.assert_allclose(fig.axes[0].get_lines()[0].get_ydata(), [0.0, 0.3])
    assert [len(l.get_ydata()) for l in fig1.axes[0].get_lines()] == [2, 2]
    assert len(fig.axes[1].get_lines()[0].get_ydata()) == 4


def test_combined_equity_looks_up_siblings_and_libraries_in_the_module(tmp_path, shown, capsys, monkeypatch):
    calls = []
    monkeypatch.setattr(diagram, "process_file", lambda *args: calls.append(args) or pandas_process_file(*args))
    monkeypatch.setattr(diagram, "MaxNLocator", lambda **kw: calls.append(kw) or MaxNLocator(**kw))
    monkeypatch.setattr(diagram, "plt", types.SimpleNamespace(
        subplots=plt.subplots, tight_layout=lambda: calls.append("tight_layout"), show=lambda: calls.append("show")))
    path = write_result(tmp_path, "s", [1, 1], [0.0, 0.1])
    report_lines(capsys, {"s": [path, 3]}, at(T0), None)
    locator = {"integer": True, "prune": "lower", "nbins": 12}
    assert calls == [(path, 3, at(T0), None), locator, locator, "tight_layout", "show"]
    assert shown == []

    calls.clear()
    with pytest.raises(ValueError, match=r"^too many values to unpack \(expected 2\)$"):
        report_lines(capsys, {"missing": ("nope.csv", 1), "s": (path, 1, 2)})
    assert capsys.readouterr().out.startswith("Error processing file nope.csv: ")
    assert [args[0] for args in calls] == ["nope.csv"]
    with pytest.raises(ValueError, match=r"^not enough values to unpack \(expected 2, got 1\)$"):
        diagram.plot_combined_equity({"s": [path]}, None, None)
    with pytest.raises(TypeError, match="^cannot unpack non-iterable float object$"):
        diagram.plot_combined_equity({"s": 1.5}, None, None)

    monkeypatch.setattr(diagram, "process_file", lambda *args: (_ for _ in ()).throw(KeyboardInterrupt))
    with pytest.raises(KeyboardInterrupt):
        diagram.plot_combined_equity({"s": (path, 1)}, None, None)


def test_combined_equity_with_nothing_loaded(tmp_path, shown, capsys):
    with pytest.raises(ValueError, match="No objects to concatenate"):
        diagram.plot_combined_equity({"a": ("a.csv", 1), "b": ("b.csv", 1)}, None, None)
    assert [line.split(":")[0] for line in capsys.readouterr().out.splitlines()] == [
        "Error processing file a.csv", "Error processing file b.csv"]
    assert shown == [] and plt.get_fignums() == []
