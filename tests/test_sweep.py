"""Sweeps against the file route: every row is what the result file of its run gives."""

import contextlib
import io
import math
import os
import signal
import threading

import matplotlib.pyplot as plt
import numpy as np
import pandas as pd
import pytest
from matplotlib.figure import Figure

from Backtest import diagram, formula, sweep, tradecue

HOUR = pd.Timedelta(hours=1)
T0 = pd.Timestamp("2024-03-01", tz="UTC")


def hourly_prices(n, seed=0, drift=0.0):
    rng = np.random.default_rng(seed)
    close = 30_000 * np.exp(np.cumsum(drift + rng.normal(0, 0.006, n)))
    return pd.Series(close, index=pd.date_range("2024-03-01", periods=n, freq="h"))


PRICES = hourly_prices(400, seed=1)


# --- the file route -------------------------------------------------------------

def process(tmp_path, prices, positions, leverage=1.0, start=None, end=None):
    path = tmp_path / "run.csv"
    sweep.write_result_file(path, prices, positions)
    return path, diagram.process_file(str(path), leverage, start, end)


def reported(frame):
    """The pandas steps of plot_combined_equity for one strategy."""
    merged = pd.concat([frame[["datetime", "new_pnl"]]], axis=1).drop_duplicates(subset=["datetime"])
    total_pnl = merged.drop(columns=["datetime"]).sum(axis=1)
    std = total_pnl.std()
    sr = total_pnl.mean() / std * np.sqrt(8760) if std != 0 else 0
    ar = total_pnl.mean() * 365 * 24
    mdd, recovery = diagram.calculate_drawdown_and_recovery(total_pnl.cumsum())
    cr = ar / abs(mdd) if mdd != 0 else float("inf")
    return {"SR": sr, "CR": cr, "MDD": mdd, "Recovery Period (days)": recovery, "AR": ar}


def printed(path, leverage, start, end, monkeypatch):
    """The line that plot_combined_equity prints, its charts left unshown."""
    monkeypatch.setattr(plt, "show", lambda *args, **kwargs: None)
    out = io.StringIO()
    with contextlib.redirect_stdout(out), np.errstate(all="ignore"):
        diagram.plot_combined_equity({"run": (str(path), leverage)}, start, end)
    plt.close("all")
    return eval(out.getvalue(), {"np": np, "nan": math.nan, "inf": math.inf})  # noqa: S307 - our own printed line


def close_enough(actual, expected):
    if expected is None or (isinstance(expected, float) and math.isnan(expected)):
        return math.isnan(actual)
    return actual == expected or abs(actual - expected) <= max(1e-12 * abs(expected), 1e-15)


def assert_row_is_file_route(row, frame, positions, start_row):
    expected = reported(frame)
    assert row["MDD"] == expected["MDD"] or math.isnan(row["MDD"]) and math.isnan(expected["MDD"])
    for report_key, key in (("SR", "SR"), ("CR", "CR"), ("AR", "AR"), ("recovery_days", "Recovery Period (days)")):
        assert close_enough(row[report_key], expected[key]), (report_key, row[report_key], expected[key])
    cumu = frame["new_cumu"].to_numpy()
    assert (row["final_cumu"] == cumu[-1]) if len(cumu) else math.isnan(row["final_cumu"])
    held = np.nan_to_num(np.asarray(positions[:len(PRICES)], dtype=float))[start_row:start_row + len(frame)]
    assert row["trades"] == np.count_nonzero(held[1:] != held[:-1])


# Time windows: the whole series, a middle part, one row, no row, a window past the end.
WINDOWS_IN_TIME = {
    "all": (None, None),
    "middle": (T0 + 50 * HOUR, T0 + 300 * HOUR),
    "one row": (T0 + 10 * HOUR, T0 + 11 * HOUR),
    "no row": (T0 + 1000 * HOUR, None),
    "before start": (None, T0 - HOUR),
}


def start_row(bounds):
    begin = bounds[0]
    return 0 if begin is None else int(np.searchsorted(PRICES.index.tz_localize("UTC"), begin))


@pytest.mark.parametrize("indicator", sweep.INDICATORS)
def test_threshold_rows_are_the_file_route_for_every_indicator(tmp_path, indicator):
    rng = np.random.default_rng(len(indicator))
    modes = list(rng.choice(sweep.THRESHOLD_MODES, 4, replace=False))
    bounds = list(WINDOWS_IN_TIME.values())[len(indicator) % 3]
    leverage = [1.0, 2.5, -1.0][len(indicator) % 3]
    report = sweep.threshold_sweep(PRICES, [3, 40, 450], [0.2, 1.0], modes, indicator, leverage, *bounds, threads=2)
    assert len(report) == 3 * 4 * 2
    for row in report.to_dict("records"):
        frame = formula.__dict__[indicator](pd.DataFrame({"data": PRICES.to_numpy()}), row["window"])
        positions = tradecue.entry_exit_threshold(frame, row["window"], row["threshold"], row["mode"])
        _, processed = process(tmp_path, PRICES, positions, leverage, *bounds)
        assert_row_is_file_route(row, processed, positions, start_row(bounds))


@pytest.mark.parametrize("bounds", WINDOWS_IN_TIME.values(), ids=WINDOWS_IN_TIME.keys())
def test_band_and_macd_rows_are_the_file_route(tmp_path, bounds):
    bands = sweep.band_sweep(PRICES, [5, 30], [0.5, 2.0], ["mr", "mr_ema", "momentum(wma)_sideline", "0_sideline"],
                             leverage=1.5, start_time=bounds[0], end_time=bounds[1])
    for row in bands.to_dict("records"):
        frame = formula.rolling_bollinger_bands(pd.DataFrame({"data": PRICES.to_numpy()}), row["window"],
                                                row["multiplier"])
        positions = tradecue.entry_exit_band(frame, row["window"], row["mode"])
        _, processed = process(tmp_path, PRICES, positions, 1.5, *bounds)
        assert_row_is_file_route(row, processed, positions, start_row(bounds))
    macd = sweep.macd_sweep(PRICES, [3, 12], [12, 26], [4, 9], start_time=bounds[0], end_time=bounds[1])
    assert len(macd) == 8  # a short window not below the long one included
    for row in macd.to_dict("records"):
        frame = formula.calculate_macd(pd.DataFrame({"data": PRICES.to_numpy()}), row["short_window"],
                                       row["long_window"], row["signal_window"])
        positions = tradecue.entry_exit_macd(frame, row["short_window"], row["long_window"])
        _, processed = process(tmp_path, PRICES, positions, 1.0, *bounds)
        assert_row_is_file_route(row, processed, positions, start_row(bounds))


def study_prices():
    """The generated year of the study (examples/study.py), in its start_time/datetime/close form."""
    import importlib.util
    from pathlib import Path

    spec = importlib.util.spec_from_file_location("study", Path(__file__).parents[1] / "examples" / "study.py")
    study = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(study)
    return study.generated_prices(study.BARS)


def test_rows_on_the_study_data_are_the_file_route(tmp_path):
    prices = study_prices()
    rng = np.random.default_rng(13)
    modes = list(rng.choice(sweep.THRESHOLD_MODES, 3, replace=False))
    report = sweep.threshold_sweep(prices, [48, 168], [0.75], modes, "rolling_tanh_estimator",
                                   start_time=pd.Timestamp("2024-03-01", tz="UTC"))
    begin = int(np.searchsorted(prices["start_time"], pd.Timestamp("2024-03-01", tz="UTC").timestamp() * 1000))
    for row in report.to_dict("records"):
        frame = formula.rolling_tanh_estimator(pd.DataFrame({"data": prices["close"].to_numpy()}), row["window"])
        positions = tradecue.entry_exit_threshold(frame, row["window"], row["threshold"], row["mode"])
        path = tmp_path / "run.csv"
        sweep.write_result_file(path, prices, positions)
        processed = diagram.process_file(str(path), 1.0, pd.Timestamp("2024-03-01", tz="UTC"), None)
        expected = reported(processed)
        for key, name in (("SR", "SR"), ("AR", "AR"), ("CR", "CR"), ("recovery_days", "Recovery Period (days)")):
            assert close_enough(row[key], expected[name]), key
        assert row["MDD"] == expected["MDD"] and row["final_cumu"] == processed["new_cumu"].iloc[-1]
        held = np.nan_to_num(np.asarray(positions, dtype=float))[begin:]
        assert row["trades"] == np.count_nonzero(held[1:] != held[:-1])


RUNS = {
    "flat": (PRICES, [0.0] * len(PRICES)),
    "generator list": (PRICES, [np.nan] * 7 + [1, -1, 0] * 131),
    "longer than the prices": (PRICES, [0.0, 1.0, -1.0, 0.5] * 120),
    "never recovers": (hourly_prices(300, seed=2, drift=-0.002), [1] * 300),
    "always rising": (pd.Series(100.0 + np.arange(200.0), index=PRICES.index[:200]), [1] * 200),
}


@pytest.mark.parametrize("name", RUNS)
@pytest.mark.parametrize("bounds", WINDOWS_IN_TIME.values(), ids=WINDOWS_IN_TIME.keys())
def test_evaluate_is_process_file_and_the_printed_figures(tmp_path, monkeypatch, name, bounds):
    prices, positions = RUNS[name]
    path, processed = process(tmp_path, prices, positions, 2.0, *bounds)
    evaluation = sweep.evaluate(prices, positions, 2.0, *bounds)
    pd.testing.assert_frame_equal(evaluation.frame, processed, check_exact=True)
    for column in ("new_pnl", "new_cumu"):
        assert np.array_equal(evaluation.frame[column].to_numpy().view(np.int64),
                              processed[column].to_numpy().view(np.int64))
    expected = printed(path, 2.0, *bounds, monkeypatch)
    assert list(evaluation.metrics) == list(expected)
    for key, value in expected.items():
        assert type(evaluation.metrics[key]) is type(value) or isinstance(value, float), key
        if value is None or isinstance(value, int):
            assert evaluation.metrics[key] == value, key
        else:
            assert close_enough(evaluation.metrics[key], value), key


# --- the engine's own guarantees ------------------------------------------------

def test_reports_are_identical_for_any_thread_count():
    prices = hourly_prices(3000, seed=5)
    reports = [sweep.threshold_sweep(prices, [10, 50], [0.5, 1.0, 2.0], threads=t) for t in (1, 2, 5)]
    reports += [sweep.band_sweep(prices, [20, 60], [1.0, 2.5], threads=t) for t in (1, 3)]
    for first, other in ((reports[0], reports[1]), (reports[0], reports[2]), (reports[3], reports[4])):
        pd.testing.assert_frame_equal(first, other, check_exact=True)
    assert len(reports[0]) == 2 * 84 * 3 and list(reports[0]["mode"][:3]) == ["mr"] * 3


def test_ctrl_c_stops_a_sweep_with_no_report():
    prices = hourly_prices(200_000, seed=6)
    timer = threading.Timer(0.3, os.kill, (os.getpid(), signal.SIGINT))
    timer.start()
    try:
        with pytest.raises(KeyboardInterrupt):
            sweep.threshold_sweep(prices, [24], np.linspace(0.1, 4.0, 40), threads=1, progress=False)
    finally:
        timer.cancel()
    small = sweep.threshold_sweep(PRICES, [24], [1.0], ["mr"])  # the engine is usable afterwards
    assert len(small) == 1


def test_progress_bar_goes_to_stderr(capsys):
    report = sweep.threshold_sweep(PRICES, [24, 48], [1.0], ["mr", "momentum"], progress=True)
    assert "run" in capsys.readouterr().err
    pd.testing.assert_frame_equal(report, sweep.threshold_sweep(PRICES, [24, 48], [1.0], ["mr", "momentum"],
                                                                progress=False))


# --- inputs ---------------------------------------------------------------------

def test_every_accepted_price_form_gives_the_same_report(tmp_path):
    eastern = PRICES.tz_localize("UTC").tz_convert("America/New_York")
    path = tmp_path / "run.csv"
    sweep.write_result_file(path, PRICES, [0.0] * len(PRICES))
    forms = [eastern, PRICES.to_frame("close"), pd.read_csv(path)[["start_time", "datetime", "close"]]]
    expected = sweep.threshold_sweep(PRICES, [24], [1.0, 2.0])
    for form in forms:
        pd.testing.assert_frame_equal(sweep.threshold_sweep(form, [24], [1.0, 2.0]), expected, check_exact=True)


def bad_prices(change):
    prices = PRICES.copy()
    change(prices)
    return prices


BAD_CALLS = [
    ({"windows": [24, 0]}, ValueError, "windows must be at least 1"),
    ({"windows": [24, 24]}, ValueError, "windows holds 24 more than once"),
    ({"windows": []}, ValueError, "windows must not be empty"),
    ({"windows": [2.5]}, TypeError, "windows must hold integers"),
    ({"thresholds": [1.0, math.inf]}, ValueError, "thresholds must be finite"),
    ({"thresholds": [1, 1.0]}, ValueError, "thresholds holds 1.0 more than once"),
    ({"modes": ["mr", "MR"]}, ValueError, r"unknown mode 'MR'; valid names: mr, mr_0, 0_sideline"),
    ({"modes": []}, ValueError, "modes must not be empty"),
    ({"indicator": "rolling_mean"}, ValueError, r"unknown indicator 'rolling_mean'; valid names: rolling_mean_norm"),
    ({"threads": 0}, ValueError, "threads must be at least 1"),
    ({"leverage": math.nan}, ValueError, "leverage must be finite"),
    ({"start_time": "2024-03-01"}, TypeError, "start_time must be None or a point in time"),
    ({"progress": "yes"}, TypeError, "progress must be True, False or None"),
    ({"prices": PRICES.to_numpy()}, TypeError, "prices must be a pandas Series"),
    ({"prices": PRICES.reset_index(drop=True)}, TypeError, "prices need a DatetimeIndex"),
    ({"prices": PRICES.to_frame("close").assign(start_time=0, datetime="")[["start_time", "datetime"]]},
     ValueError, "needs a 'close' column"),
    ({"prices": {}}, ValueError, "the dict holds no instrument"),
    ({"prices": pd.DataFrame(index=PRICES.index)}, ValueError, "the DataFrame has no close columns"),
    ({"prices": pd.concat([PRICES, PRICES * 2, PRICES], axis=1, keys=["a", "b", "a"])}, ValueError,
     "the instrument 'a' appears more than once"),
    ({"prices": {"x": PRICES, "y": bad_prices(lambda p: p.__setitem__(p.index[3], -1.0))}}, ValueError,
     r"prices\['y'\]: the close at row 3 is -1.0"),
    ({"prices": {"x": PRICES, 7: PRICES.to_numpy()}}, TypeError, r"prices\[7\] must be a pandas Series"),
    # rows are the frame's: the NaN of a column's first rows are trimmed, not its interior ones
    ({"prices": pd.DataFrame({"a": PRICES, "b": PRICES.where(PRICES.index != PRICES.index[9]).shift(2)})},
     ValueError, r"prices\['b'\]: the close at row 11 \(2024-03-01 11:00:00\) is missing"),
    ({"prices": pd.DataFrame({"a": PRICES.shift(3) * np.where(np.arange(400) == 5, -1, 1)})},
     ValueError, r"prices\['a'\]: the close at row 5 is -"),
    ({"prices": pd.DataFrame({"a": PRICES, "b": np.nan})}, ValueError, r"prices\['b'\] holds no close"),
    ({"prices": pd.DataFrame({"a": PRICES, "b": "x"})}, TypeError, r"prices\['b'\]: the closes must be numbers"),
    ({"client": 8786}, TypeError, "client must be None, a dask.distributed.Client or a scheduler address"),
    ({"prices": bad_prices(lambda p: p.__setitem__(p.index[7], np.nan))}, ValueError, "close at row 7 is nan"),
    ({"prices": bad_prices(lambda p: p.__setitem__(p.index[3], -1.0))}, ValueError, "close at row 3"),
    ({"prices": PRICES.iloc[[0, 2, 1, 3]]}, ValueError, "time at row 2 does not come after"),
    ({"prices": PRICES.set_axis(PRICES.index.insert(5, PRICES.index[4] + pd.Timedelta("500ms"))[:400])},
     ValueError, "time at row 5 falls in the same second as the time at row 4"),
]


@pytest.mark.parametrize(("change", "error", "message"), BAD_CALLS, ids=[str(c[0])[:40] for c in BAD_CALLS])
def test_bad_input_is_refused_before_any_work(monkeypatch, change, error, message):
    def no_work(*args, **kwargs):
        raise AssertionError("work started")

    monkeypatch.setattr(sweep, "_threshold_columns", no_work)
    arguments = {"prices": PRICES, "windows": [24], "thresholds": [1.0], **change}
    with pytest.raises(error, match=message):
        sweep.threshold_sweep(**arguments)


def test_write_result_file_columns_lengths_and_atomic_replace(tmp_path, monkeypatch):
    path = tmp_path / "run.csv"
    sweep.write_result_file(path, PRICES.iloc[:3], [np.nan, 1, -1, 0, 1])
    c = PRICES.iloc[:3].tolist()
    assert path.read_text().splitlines() == [
        "start_time,datetime,close,pos,price_chg",
        f"1709251200000,2024-03-01 00:00:00,{c[0]!r},0.0,0.0",
        f"1709254800000,2024-03-01 01:00:00,{c[1]!r},1.0,{c[1] / c[0] - 1!r}",
        f"1709258400000,2024-03-01 02:00:00,{c[2]!r},-1.0,{c[2] / c[1] - 1!r}",
    ]
    with pytest.raises(ValueError, match="positions holds 2 entries for 3 bars"):
        sweep.write_result_file(path, PRICES.iloc[:3], [0, 1])

    def interrupted(self, stream, **kwargs):
        stream.write("start_time,dat")
        raise KeyboardInterrupt

    monkeypatch.setattr(pd.DataFrame, "to_csv", interrupted)
    with pytest.raises(KeyboardInterrupt):
        sweep.write_result_file(path, PRICES.iloc[:3], [0, 0, 0])
    assert path.read_text().startswith("start_time,datetime,close,pos,price_chg\n")  # the old file, whole
    assert [p.name for p in tmp_path.iterdir()] == ["run.csv"]


def test_constants_come_from_the_mode_and_indicator_tables():
    assert len(sweep.THRESHOLD_MODES) == 84 and sweep.THRESHOLD_MODES[-1] == "mr_wma-s"
    assert sweep.BAND_MODES[:2] == ("mr", "mr_sma") and len(sweep.BAND_MODES) == 15
    assert sweep.INDICATORS == ("rolling_mean_normalize", "rolling_minmax_normalize", "rolling_zscore",
                                "rolling_zscore_mean", "rolling_tanh_estimator", "rolling_sigmoid_zscore",
                                "rolling_sigmoid", "rolling_softmax", "rolling_l1_normalization", "rolling_rsi")


# --- figures --------------------------------------------------------------------

@pytest.mark.parametrize("kind", ["threshold", "macd"])
def test_plot_sweep_draws_one_labelled_panel_per_mode(kind):
    if kind == "threshold":
        report = sweep.threshold_sweep(PRICES, [12, 24], [0.5, 1.0, 2.0], ["mr", "momentum", "mr_0"])
        titles, x, y = ["mr", "momentum", "mr_0"], "threshold", "window"
    else:
        report = sweep.macd_sweep(PRICES, [3, 6], [12, 26], [5, 9])
        titles, x, y = [""], "long_window", "short_window"
    figure = sweep.plot_sweep(report, "AR")
    assert isinstance(figure, Figure) and not plt.get_fignums()
    panels = [ax for ax in figure.axes if ax.get_visible() and ax.get_label() != "<colorbar>"]
    assert [ax.get_title() for ax in panels] == titles
    assert {(ax.get_xlabel(), ax.get_ylabel()) for ax in panels} == {(x, y)}
    colorbar = figure.axes[-1]
    assert colorbar.get_ylabel().startswith("AR")
    image = panels[0].images[0]
    assert image.norm.vcenter == 0 and image.norm.vmin == -image.norm.vmax
    assert len(panels[0].texts) == len(report) // len(titles) // (2 if kind == "macd" else 1)


def test_plot_run_marks_the_maximum_drawdown():
    prices, positions = RUNS["never recovers"]
    evaluation = sweep.evaluate(prices, positions)
    figure = sweep.plot_run(evaluation)
    ax, twin = figure.axes
    assert ax.get_ylabel() == "Cumulative return" and twin.get_ylabel() == "Close price"
    marks = ax.collections[-1].get_offsets()
    assert marks[1][1] - marks[0][1] == pytest.approx(evaluation.metrics["MDD"])
