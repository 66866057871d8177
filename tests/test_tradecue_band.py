"""entry_exit_band and entry_exit_macd against a plain Python reading of their rules."""

import sys

import numpy as np
import pandas as pd
import pytest
from test_tradecue_threshold import assert_same_entries, oracle_positions, parse_clauses

import Backtest.formula as formula
from Backtest import tradecue

NAN = np.nan
COLUMNS = ["upper_band", "lower_band", "sma", "ema", "wma", "data"]

MR_EXIT = "d < L: 1; d > U: -1; (d >= M and p == 1) or (d <= M and p == -1): 0"
SIDELINE = "d > M and d < U: 1; d < M and d > L: -1; (d >= U and p == 1) or (d <= L and p == -1): 0"
MOMENTUM_EXIT = "d < L: -1; d > U: 1; (d <= M and p == 1) or (d >= M and p == -1): 0"

BAND_MODES = {
    "mr": (None, "d < L: 1; d > U: -1"),
    "mr_sma": ("sma", MR_EXIT),
    "mr_ema": ("ema", MR_EXIT),
    "mr_wma": ("wma", MR_EXIT),
    "mr_0": (None, "d < L: 1; d > U: -1; (d >= 0 and p == 1) or (d <= 0 and p == -1): 0"),
    "0_sideline": (None, "d > 0 and d < U: 1; d < 0 and d > L: -1; (d >= U and p == 1) or (d <= L and p == -1): 0"),
    "momentum(sma)_sideline": ("sma", SIDELINE),
    "momentum(ema)_sideline": ("ema", SIDELINE),
    "momentum(wma)_sideline": ("wma", SIDELINE),
    "momentum": (None, "d < L: -1; d > U: 1"),
    "momentum_sideline": (None, "d < L: -1; d > U: 1; (d <= U and p == 1) or (d >= L and p == -1): 0"),
    "momentum_0": (None, "d < L: -1; d > U: 1; (d <= 0 and p == 1) or (d >= 0 and p == -1): 0"),
    "momentum_sma": ("sma", MOMENTUM_EXIT),
    "momentum_ema": ("ema", MOMENTUM_EXIT),
    "momentum_wma": ("wma", MOMENTUM_EXIT),
}


def oracle_band(df, window, mode):
    average, text = BAND_MODES[mode]
    _, clauses = parse_clauses(text)
    d, upper, lower = (df[name].to_numpy(dtype=np.float64) for name in ("data", "upper_band", "lower_band"))
    m = df[average].to_numpy(dtype=np.float64) if average else d

    return oracle_positions(clauses, window, len(df), np.nan,
                            lambda i: {"d": d[i], "U": upper[i], "L": lower[i], "M": m[i]})


def oracle_macd(df, rolling_window1, rolling_window2):
    rolling_window = rolling_window1 if rolling_window1 > rolling_window2 else rolling_window2
    position = [np.nan] * rolling_window
    macd, signal = df["MACD"].values, df["Signal"].values
    for i in range(rolling_window, len(df)):
        if macd[i] >= signal[i]:
            position.append(1)
        elif macd[i] <= signal[i]:
            position.append(-1)
        else:
            position.append(position[-1])
    return position


def random_band_frame(rng, n):
    """Data on the bands, on the averages, at zero or anywhere; some bands NaN or of zero width."""
    sma, ema, wma = (rng.choice([-1.0, 0.0, 1.0, 2.0], n) for _ in range(3))
    width = rng.choice([0.0, 1.0, 2.0, NAN], n)
    upper, lower = sma + width, sma - width
    data = np.choose(rng.integers(0, 7, n), [upper, lower, sma, ema, wma, np.zeros(n), rng.normal(0, 2, n)])
    return pd.DataFrame(dict(zip(COLUMNS, [upper, lower, sma, ema, wma, data])))


def bollinger_frame(data, window, multiplier):
    """rolling_bollinger_bands' frame, built from the primitives while the module lacks it."""
    df = pd.DataFrame({"data": data})
    if hasattr(formula, "rolling_bollinger_bands"):
        return formula.rolling_bollinger_bands(df, window, multiplier)
    df["sma"] = formula.rolling_mean(df["data"], window)
    df["ema"] = formula.rolling_ema(df["data"], window)
    df["wma"] = formula.rolling_wma(df["data"], window)
    df["upper_band"] = df["sma"] + multiplier * formula.rolling_std(df["data"], window)
    df["lower_band"] = df["sma"] - multiplier * formula.rolling_std(df["data"], window)
    return df


def macd_frame(data, short_window, long_window, signal_window):
    df = pd.DataFrame({"data": data})
    if hasattr(formula, "calculate_macd"):
        return formula.calculate_macd(df, short_window, long_window, signal_window)
    df["MACD"] = formula.rolling_ema(df["data"], short_window) - formula.rolling_ema(df["data"], long_window)
    df["Signal"] = formula.rolling_ema(df["MACD"], signal_window)
    return df


def random_walk(seed, n=300):
    return 100 + np.cumsum(np.random.default_rng(seed).normal(0, 1, n))


# ---------------------------------------------------------------- band rules


def test_band_modes_are_fifteen():
    assert len(BAND_MODES) == 15


@pytest.mark.parametrize("mode", BAND_MODES)
def test_every_band_mode_follows_its_rules_on_random_frames(mode):
    rng = np.random.default_rng(list(BAND_MODES).index(mode))
    for window in [1, 2, 4]:
        df = random_band_frame(rng, 60)
        before = df.copy()
        assert_same_entries(tradecue.entry_exit_band(df, window, mode), oracle_band(df, window, mode))
        pd.testing.assert_frame_equal(df, before)


@pytest.mark.parametrize("mode", BAND_MODES)
@pytest.mark.parametrize("window, multiplier", [(5, 1.0), (20, 2), (3, 0)])
def test_every_band_mode_on_bollinger_frames(mode, window, multiplier):
    df = bollinger_frame(random_walk(window), window, multiplier)
    assert_same_entries(tradecue.entry_exit_band(df, window, mode), oracle_band(df, window, mode))


BAND_EXAMPLE = pd.DataFrame({"data": [0, 0, -3, 0, 3, 0], "lower_band": -2, "upper_band": 2, "sma": 0, "ema": 0,
                             "wma": 0})


@pytest.mark.parametrize("mode, expected", [
    ("mr", [NAN, NAN, 1, 1, -1, -1]),
    ("mr_0", [NAN, NAN, 1, 0, -1, 0]),
    ("momentum", [NAN, NAN, -1, -1, 1, 1]),
    ("momentum_sideline", [NAN, NAN, -1, 0, 1, 0]),
    ("0_sideline", [NAN, NAN, NAN, NAN, NAN, NAN]),
])
def test_band_worked_examples(mode, expected):
    got = tradecue.entry_exit_band(BAND_EXAMPLE, 2, mode)
    assert_same_entries(got, expected)
    assert got[0] is np.nan


@pytest.mark.parametrize("rows", [0, 2, 3])
def test_band_frames_without_rows_to_decide_give_nan_entries(rows):
    got = tradecue.entry_exit_band(BAND_EXAMPLE.iloc[:rows], 3, "mr")
    assert len(got) == 3 and all(x is np.nan for x in got)


def test_band_reads_only_the_columns_its_rule_compares():
    df = BAND_EXAMPLE.assign(sma="text", ema="text")
    assert tradecue.entry_exit_band(df, 2, "mr_wma") == tradecue.entry_exit_band(BAND_EXAMPLE, 2, "mr_wma")
    with pytest.raises(TypeError):
        tradecue.entry_exit_band(df, 2, "mr_sma")


def test_band_unsupported_mode_warns(capsys):
    got = tradecue.entry_exit_band(BAND_EXAMPLE, 2, "cross-sma")
    assert len(got) == 2 and all(x is np.nan for x in got)
    assert capsys.readouterr().out == "Warning: Unsupported backtest_mode 'cross-sma' - skipping this iteration.\n"


@pytest.mark.parametrize("missing", [COLUMNS, COLUMNS[1:], COLUMNS[2:], ["ema", "data"], ["wma"], ["data"]])
def test_band_reports_the_first_missing_column_for_any_mode(capsys, missing):
    with pytest.raises(KeyError, match=missing[0]):
        tradecue.entry_exit_band(BAND_EXAMPLE.drop(columns=missing), 0, "no such mode")
    assert capsys.readouterr().out == ""


@pytest.mark.parametrize("window, error", [(1.5, TypeError), ("2", TypeError), (0, ValueError), (-3, ValueError)])
def test_band_window_is_checked_before_the_mode(capsys, window, error):
    with pytest.raises(error, match="rolling_window" if error is ValueError else None):
        tradecue.entry_exit_band(BAND_EXAMPLE, window, "no such mode")
    assert capsys.readouterr().out == ""


# ---------------------------------------------------------------- MACD


def random_macd_frame(rng, n):
    return pd.DataFrame({"MACD": rng.choice([-1.0, 0.0, 0.5, 1.0, NAN], n),
                         "Signal": rng.choice([-1.0, 0.0, 0.5, NAN], n)})


@pytest.mark.parametrize("windows", [(2, 3), (3, 2), (1, 1), (np.int64(4), 2), (True, 1), (5, 60)])
def test_macd_follows_its_rule_on_random_frames(windows):
    df = random_macd_frame(np.random.default_rng(7), 50)
    before = df.copy()
    assert_same_entries(tradecue.entry_exit_macd(df, *windows), oracle_macd(df, *windows))
    pd.testing.assert_frame_equal(df, before)


@pytest.mark.parametrize("short_window, long_window, signal_window", [(3, 5, 4), (12, 26, 9), (26, 12, 9)])
def test_macd_on_calculate_macd_frames(short_window, long_window, signal_window):
    df = macd_frame(random_walk(short_window), short_window, long_window, signal_window)
    got = tradecue.entry_exit_macd(df, short_window, long_window)
    assert_same_entries(got, oracle_macd(df, short_window, long_window))
    assert len(got) == len(df) and got[max(short_window, long_window)] in (1, -1)


def test_macd_worked_examples():
    df = pd.DataFrame({"MACD": [0, 0, 0, 1, -1, NAN, 0], "Signal": 0.0})
    assert_same_entries(tradecue.entry_exit_macd(df, 2, 3), [NAN, NAN, NAN, 1, -1, -1, 1])
    all_nan = pd.DataFrame({"MACD": np.arange(40.0), "Signal": NAN})
    got = tradecue.entry_exit_macd(all_nan, 12, 26)
    assert len(got) == 40 and all(x is np.nan for x in got)
    got = tradecue.entry_exit_macd(pd.DataFrame({"MACD": np.arange(30.0), "Signal": 0.0}), 12, 26)
    assert got[25] is np.nan and got[26:] == [1, 1, 1, 1]


@pytest.mark.parametrize("df, windows, error, match", [
    (pd.DataFrame(), ("a", 1), TypeError, "not supported"),
    (pd.DataFrame(), (2.5, 1), TypeError, None),
    (pd.DataFrame(), (1, 2.5), TypeError, None),
    (pd.DataFrame(), (0, -1), ValueError, "rolling_window1"),
    (pd.DataFrame(), (-1, 0), ValueError, "rolling_window2"),
    (pd.DataFrame({"Signal": [1.0]}), (1, 1), KeyError, "MACD"),
    (pd.DataFrame({"MACD": [1.0]}), (1, 1), KeyError, "Signal"),
    (pd.DataFrame({"MACD": ["a", "b"], "Signal": 0}), (1, 1), TypeError, None),
])
def test_macd_errors_come_in_the_order_of_the_steps(df, windows, error, match):
    with pytest.raises(error, match=match):
        tradecue.entry_exit_macd(df, *windows)


def test_entries_hold_exactly_one_reference_each():
    df = pd.DataFrame({"MACD": [NAN] * 5 + [1.0, -1.0, NAN], "Signal": 0.0})
    tradecue.entry_exit_macd(df, 2, 1)  # pandas keeps a reference to NaN once a column is read
    before = sys.getrefcount(np.nan)
    got = tradecue.entry_exit_macd(df, 2, 1)
    held = sys.getrefcount(np.nan) - before
    del got
    assert (held, sys.getrefcount(np.nan)) == (5, before)
