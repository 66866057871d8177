"""entry_exit_threshold against a plain Python reading of its rules, and its calling conventions."""

import decimal
import fractions
import types

import numpy as np
import pandas as pd
import pytest

import Backtest.formula as formula
from Backtest import tradecue

NAN = np.nan

# ---------------------------------------------------------------- oracle
# Every rule as its clauses in order, written as they are stated: the first
# clause that holds decides, none holding repeats the previous entry.

RULES = {
    1: "s < -t: 1; s > t: -1",
    2: "s < -t: -1; s > t: 1",
    3: "s < -t: 1; s > t: -1; (s >= 0 and p == 1) or (s <= 0 and p == -1): 0",
    4: "s < -t: -1; s > t: 1; (s <= 0 and p == 1) or (s >= 0 and p == -1): 0",
    5: "s < -t: -1; s > t: 1; (s <= t and p == 1) or (s >= -t and p == -1): 0",
    6: "s > 0 and s < t: 1; s < 0 and s > -t: -1; (s >= t and p == 1) or (s <= -t and p == -1): 0",
    7: "levels of rule 7; s > U: -1; s < L: 1",
    8: "levels of rule 7; s > U: 1; s < L: -1",
    9: "levels of rule 9; s > U: -1; s < L: 1",
    10: "levels of rule 9; s > U: 1; s < L: -1",
    11: "s < -t: 1; s > t: -1; (s >= m and p == 1) or (s <= m and p == -1): 0",
    12: "s < -t: -1; s > t: 1; (s <= m and p == 1) or (s >= m and p == -1): 0",
    13: "s > m and s < t: 1; s < m and s > -t: -1; (s >= t and p == 1) or (s <= -t and p == -1): 0",
    14: "s > m: 1; s < m: -1",
}

TWO_SIDED = [
    ("mr", None, 1), ("mr_0", None, 3), ("0_sideline", None, 6), ("momentum", None, 2),
    ("momentum_sideline", None, 5), ("momentum_0", None, 4),
    ("mr(sma)_sma", "sma", 9), ("mr(ema)_ema", "ema", 9), ("mr(wma)_wma", "wma", 9),
    ("momentum(sma)_sma", "sma", 10), ("momentum(ema)_ema", "ema", 10), ("momentum(wma)_wma", "wma", 10),
    ("mr(sma)", "sma", 7), ("mr(ema)", "ema", 7), ("mr(wma)", "wma", 7),
    ("momentum(sma)", "sma", 8), ("momentum(ema)", "ema", 8), ("momentum(wma)", "wma", 8),
    ("momentum_sma", "sma", 12), ("momentum_ema", "ema", 12), ("momentum_wma", "wma", 12),
    ("momentum(sma)_sideline", "sma", 13), ("momentum(ema)_sideline", "ema", 13),
    ("momentum(wma)_sideline", "wma", 13),
    ("mr_sma", "sma", 11), ("mr_ema", "ema", 11), ("mr_wma", "wma", 11),
    ("cross-sma", "sma", 14), ("cross-ema", "ema", 14), ("cross-wma", "wma", 14),
]

ONE_SIDED_SHAPES = {
    "mr-l": "s < -t: 1; s > t: 0",
    "mr-s": "s < -t: 0; s > t: -1",
    "mr_0-l": "s < -t: 1; s >= 0 and p == 1: 0",
    "mr_0-s": "s > t: -1; s <= 0 and p == -1: 0",
    "0_sideline-l": "s > 0 and s < t: 1; s >= t and p == 1: 0",
    "0_sideline-s": "s < 0 and s > -t: -1; s <= -t and p == -1: 0",
    "momentum-l": "s < -t: 0; s > t: 1",
    "momentum-s": "s < -t: -1; s > t: 0",
    "momentum_sideline-l": "s > t: 1; s <= t and p == 1: 0",
    "momentum_sideline-s": "s < -t: -1; s >= -t and p == -1: 0",
    "momentum_0-l": "s > t: 1; s <= 0 and p == 1: 0",
    "momentum_0-s": "s < -t: -1; s >= 0 and p == -1: 0",
    "mr(X)_X-l": "levels of rule 9; s > U: 0; s < L: 1",
    "mr(X)_X-s": "levels of rule 9; s > U: -1; s < L: 0",
    "momentum(X)_X-l": "levels of rule 9; s > U: 1; s < L: 0",
    "momentum(X)_X-s": "levels of rule 9; s > U: 0; s < L: -1",
    "mr(X)-l": "levels of rule 7; s > U: 0; s < L: 1",
    "mr(X)-s": "levels of rule 7; s > U: -1; s < L: 0",
    "momentum(X)-l": "levels of rule 7; s > U: 1; s < L: 0",
    "momentum(X)-s": "levels of rule 7; s > U: 0; s < L: -1",
    "momentum_X-l": "s > t: 1; s <= m and p == 1: 0",
    "momentum_X-s": "s < -t: -1; s >= m and p == -1: 0",
    "momentum(X)_sideline-l": "s > m and s < t: 1; s >= t and p == 1: 0",
    "momentum(X)_sideline-s": "s < m and s > -t: -1; s <= -t and p == -1: 0",
    "mr_X-l": "s < -t: 1; s >= m and p == 1: 0",
    "mr_X-s": "s > t: -1; s <= m and p == -1: 0",
}


def one_sided_modes():
    """The 54 one-sided modes in their order of matching, as (name, average, clauses)."""
    rows = []
    for shape, clauses in ONE_SIDED_SHAPES.items():
        averages = ["sma", "ema", "wma"] if "X" in shape else [None]
        rows += [(shape.replace("X", a or ""), a, clauses) for a in averages]
    order = [name for name, _, _ in TWO_SIDED]
    return sorted(rows, key=lambda row: (order.index(row[0][:-2]), row[0][-1] == "s"))


MODES = [(name, average, RULES[rule]) for name, average, rule in TWO_SIDED] + one_sided_modes()
MODE_NAMES = [name for name, _, _ in MODES]


def levels_7(m, t):
    return m * (1 + t), m * (1 - t)


def levels_9(m, t):
    return (m * (1 + t), m * (1 - t)) if m > 0 else (m * (1 - t), m * (1 + t))


def parse_clauses(text):
    """'levels of rule 9; s > U: 1; ...' -> (level function or None, [(code, entry), ...])."""
    parts = text.split("; ")
    levels = None
    if parts[0].startswith("levels of rule"):
        levels = {"7": levels_7, "9": levels_9}[parts.pop(0)[-1]]
    clauses = [(compile(cond, "<rule>", "eval"), int(entry)) for cond, entry in (p.rsplit(": ", 1) for p in parts)]
    return levels, clauses


def oracle_positions(clauses, window, rows, warm, row_values):
    """The literal pass: `window` warm-up entries, then one decision per row."""
    position = [warm] * window
    for i in range(window, rows):
        names = dict(row_values(i), p=position[-1])
        for condition, entry in clauses:
            if eval(condition, {}, names):
                position.append(entry)
                break
        else:
            position.append(position[-1])
    return position


def oracle_threshold(df, window, threshold, mode):
    """Positions of `mode`, reading the average column the call has written into `df`."""
    _, average, text = MODES[MODE_NAMES.index(mode)]
    levels, clauses = parse_clauses(text)
    data = df["processed_data"].to_numpy(dtype=np.float64)
    m = df[f"processed_{average}"].to_numpy(dtype=np.float64) if average else np.zeros(len(df))

    def row_values(i):
        values = {"s": data[i], "m": m[i], "t": threshold}
        if levels:
            values["U"], values["L"] = levels(m[i], threshold)
        return values

    return oracle_positions(clauses, window, len(df), 0.0, row_values)


def assert_same_entries(got, want):
    """Equal entry by entry, with equal types, and the warm-up object repeated where expected."""
    assert type(got) is list
    assert [(type(x), "nan" if x != x else x) for x in got] == [(type(x), "nan" if x != x else x) for x in want]
    assert [x is got[0] for x in got] == [x is want[0] for x in want]


# ---------------------------------------------------------------- rules


def random_signal(rng, n):
    """Small integers and halves in constant runs (ties with ±t, 0 and the averages), some NaN."""
    values = rng.choice([-3, -2, -1, -0.5, 0, 0.5, 1, 2, 3, NAN], size=n)
    runs = rng.integers(1, 5, size=n)
    signal = np.repeat(values, runs)[:n]
    noisy = rng.random(n) < 0.2
    signal[noisy] = rng.normal(0, 2, noisy.sum())
    return signal


def test_mode_list_has_84_names_in_order():
    assert len(MODES) == 84 and len(set(MODE_NAMES)) == 84
    assert MODE_NAMES[30:36] == ["mr-l", "mr-s", "mr_0-l", "mr_0-s", "0_sideline-l", "0_sideline-s"]
    assert MODE_NAMES[-1] == "mr_wma-s"


@pytest.mark.parametrize("mode", MODE_NAMES)
def test_every_mode_follows_its_rules_on_random_signals(mode):
    rng = np.random.default_rng(MODE_NAMES.index(mode))
    for threshold in [1, 0.5, 0, -0.5, 2.0]:
        for window in [1, 3]:
            df = pd.DataFrame({"processed_data": random_signal(rng, 40)})
            got = tradecue.entry_exit_threshold(df, window, threshold, mode)
            assert_same_entries(got, oracle_threshold(df, window, threshold, mode))
            if mode.endswith("-l"):
                assert -1 not in got
            if mode.endswith("-s"):
                assert 1 not in got


@pytest.mark.parametrize("index", [None, [7, 3, 3, 0, 5, 1, 2, 9]], ids=["range", "labels"])
@pytest.mark.parametrize("average, function", [("sma", "rolling_mean"), ("ema", "rolling_ema"),
                                               ("wma", "rolling_wma")])
def test_averages_equal_formulas_own_functions_and_are_stored(average, function, index):
    signal = pd.Series([NAN, NAN, 4.0, 1.0, NAN, 2.0, 6.0, 5.0], index=index)
    df = pd.DataFrame({"processed_data": signal, "other": 1})
    column = f"processed_{average}"
    expected = getattr(formula, function)(signal, 3)
    for _ in range(2):  # the second call replaces the stored column
        tradecue.entry_exit_threshold(df, 3, 0.2, f"momentum({average})")
        np.testing.assert_array_equal(df[column].to_numpy(), expected)
        assert df[column].dtype == expected.dtype
        assert list(df.columns) == ["processed_data", "other", column]


# ---------------------------------------------------------------- worked examples

SIGNAL = [5, 5, -2, 0.5, 3, -0.2]


@pytest.mark.parametrize("mode, expected", [
    ("mr", [0.0, 0.0, 1, 1, -1, -1]),
    ("mr_0", [0.0, 0.0, 1, 0, -1, 0]),
    ("momentum", [0.0, 0.0, -1, -1, 1, 1]),
    ("momentum_0", [0.0, 0.0, -1, 0, 1, 0]),
    ("momentum_sideline", [0.0, 0.0, -1, 0, 1, 0]),
    ("0_sideline", [0.0, 0.0, 0.0, 1, 0, -1]),
    ("mr-l", [0.0, 0.0, 1, 1, 0, 0]),
    ("mr-s", [0.0, 0.0, 0, 0, -1, -1]),
    ("mr_0-l", [0.0, 0.0, 1, 0, 0, 0]),
    ("mr_0-s", [0.0, 0.0, 0.0, 0.0, -1, 0]),
    ("momentum-l", [0.0, 0.0, 0, 0, 1, 1]),
    ("momentum_sideline-s", [0.0, 0.0, -1, 0, 0, 0]),
])
def test_worked_examples_on_fixed_levels(mode, expected):
    df = pd.DataFrame({"processed_data": SIGNAL})
    assert_same_entries(tradecue.entry_exit_threshold(df, 2, 1, mode), expected)


@pytest.mark.parametrize("signal, threshold, mode, column, average, expected", [
    ([1, 3, 2, 5], 1, "cross-sma", "processed_sma", [NAN, 2, 2.5, 3.5], [0.0, 0.0, -1, 1]),
    ([10, 10, 12, 9.5], 0.1, "mr(sma)", "processed_sma", [NAN, 10, 11, 10.75], [0.0, 0.0, 0.0, 1]),
    ([-10, -10, -12, -9.5], 0.1, "mr(sma)_sma", "processed_sma", [NAN, -10, -11, -10.75], [0.0, 0.0, 0.0, -1]),
    ([-10, -10, -12, -9.5], 0.1, "mr(sma)", "processed_sma", [NAN, -10, -11, -10.75], [0.0, 0.0, -1, -1]),
    ([0, 0, 0, 0.1, 0], 0, "mr", None, None, [0.0, 0.0, 0.0, -1, -1]),
    ([1, 1, NAN, 3, NAN], 1, "momentum", None, None, [0.0, 0.0, 0.0, 1, 1]),
    ([1, 1, 0.5, 2, 0.5], 1, "mr-s", None, None, [0.0, 0.0, 0.0, -1, -1]),
    ([1, 1, 0.5, -2, 0.5], 1, "mr-s", None, None, [0.0, 0.0, 0.0, 0, 0]),
])
def test_worked_examples_on_averages(signal, threshold, mode, column, average, expected):
    df = pd.DataFrame({"processed_data": signal})
    assert_same_entries(tradecue.entry_exit_threshold(df, 2, threshold, mode), expected)
    if column:
        np.testing.assert_array_equal(df[column].to_numpy(), average)


@pytest.mark.parametrize("rows, mode, column", [
    (3, "mr", None), (2, "mr", None), (0, "momentum_0", None), (2, "cross-ema", "processed_ema"),
    (3, "mr(wma)", "processed_wma"),
])
def test_frames_without_rows_to_decide_give_the_warm_up_entries(rows, mode, column):
    df = pd.DataFrame({"processed_data": np.arange(rows, dtype=float)})
    assert_same_entries(tradecue.entry_exit_threshold(df, 3, "never read", mode), [0.0] * 3)
    assert list(df.columns) == ["processed_data"] + ([column] if column else [])


def test_holds_repeat_the_previous_entry_object():
    df = pd.DataFrame({"processed_data": [0.0] * 5 + [2.0, 0.5, 0.5]})
    got = tradecue.entry_exit_threshold(df, 2, 1, "momentum")
    assert all(x is got[0] for x in got[:5]) and got[5:] == [1, 1, 1]


# ---------------------------------------------------------------- conventions


@pytest.mark.parametrize("mode, shown", [
    ("MR", "MR"), (" mr", " mr"), ("mr ", "mr "), ("", ""), ("cross-sma-l", "cross-sma-l"),
    ("momentum(sma)_ema", "momentum(sma)_ema"), (None, "None"), (1, "1"), (b"mr", "b'mr'"),
])
def test_unsupported_mode_warns_and_returns_the_warm_up_entries(capsys, mode, shown):
    df = pd.DataFrame({"processed_data": [1.0, -5.0, 5.0, -5.0]})
    got = tradecue.entry_exit_threshold(df, 2, 1, mode)
    assert_same_entries(got, [0.0, 0.0])
    out = capsys.readouterr().out
    assert out == f"Warning: Unsupported backtest_mode '{shown}' - skipping this iteration.\n"
    assert list(df.columns) == ["processed_data"]


def test_text_that_cannot_be_encoded_is_an_unsupported_mode(monkeypatch):
    printed = []
    monkeypatch.setattr("builtins.print", printed.append)
    assert tradecue.entry_exit_threshold(pd.DataFrame({"processed_data": [1.0]}), 1, 1, "mr\ud800") == [0.0]
    assert printed == ["Warning: Unsupported backtest_mode 'mr\ud800' - skipping this iteration."]


def test_averages_are_looked_up_on_formula_at_each_call(monkeypatch):
    df = pd.DataFrame({"processed_data": [1.0, 2.0, 3.0, 4.0]})
    window = np.int64(2)
    calls = []

    def fake(series, w):
        calls.append((type(series), w))
        return np.array([0.0, 0.0, 9.0, -9.0])

    monkeypatch.setattr(tradecue.formula, "rolling_wma", fake)
    assert_same_entries(tradecue.entry_exit_threshold(df, window, 0, "cross-wma"), [0.0, 0.0, -1, 1])
    assert calls == [(pd.Series, window)] and calls[0][1] is window
    np.testing.assert_array_equal(df["processed_wma"], [0.0, 0.0, 9.0, -9.0])

    monkeypatch.setattr(tradecue.formula, "rolling_mean", formula.rolling_ema)
    curved = pd.DataFrame({"processed_data": [1.0, 5.0, 2.0, 8.0]})
    tradecue.entry_exit_threshold(curved, 2, 0, "cross-sma")
    np.testing.assert_array_equal(curved["processed_sma"], formula.rolling_ema(curved["processed_data"], 2))

    monkeypatch.setattr(tradecue, "formula", types.SimpleNamespace(rolling_mean=lambda series, w: series * 0 + 10))
    assert tradecue.entry_exit_threshold(df, 2, 0, "cross-sma")[2:] == [-1, -1]


@pytest.mark.parametrize("function, mode", [("rolling_mean", "mr(sma)"), ("rolling_ema", "mr_ema"),
                                            ("rolling_wma", "momentum(wma)_wma")])
def test_a_wrapped_average_gives_what_the_direct_one_gives(monkeypatch, function, mode):
    signal = [NAN, NAN, 3.0, 1.0, 4.0, -1.0, 5.0, -9.0, 2.0, 6.0]
    direct = pd.DataFrame({"processed_data": signal})
    expected = tradecue.entry_exit_threshold(direct, 3, 0.5, mode)
    original = getattr(formula, function)
    monkeypatch.setattr(formula, function, lambda series, w: original(series, w))
    wrapped = pd.DataFrame({"processed_data": signal})
    assert_same_entries(tradecue.entry_exit_threshold(wrapped, 3, 0.5, mode), expected)
    pd.testing.assert_frame_equal(wrapped, direct)


@pytest.mark.parametrize("threshold", [1, 1.0, np.float32(1), decimal.Decimal(1), fractions.Fraction(1), True])
def test_any_real_threshold_is_read_as_a_float(threshold):
    df = pd.DataFrame({"processed_data": SIGNAL})
    assert tradecue.entry_exit_threshold(df, 2, threshold, "mr") == [0.0, 0.0, 1, 1, -1, -1]


@pytest.mark.parametrize("column, expected", [
    # float32(0.1) lies above the float64 threshold 0.1
    (np.array([0, 0, 0.1, 0.2], dtype=np.float32), [0.0, 0.0, 1, 1]),
    (np.array([0, 0, 0.1, 0.2], dtype=object), [0.0, 0.0, 0.0, 1]),
    (pd.array([0, 0, None, 0.1, 0.2], dtype="Float64"), [0.0, 0.0, 0.0, 0.0, 1]),
    (np.array([0, 0, 1, -1]), [0.0, 0.0, 1, -1]),
])
def test_signals_of_other_dtypes_compare_as_float64(column, expected):
    df = pd.DataFrame({"processed_data": column})
    assert_same_entries(tradecue.entry_exit_threshold(df, 2, 0.1, "momentum"), expected)


@pytest.mark.parametrize("df, window, threshold, mode, error", [
    (pd.DataFrame({"x": [1.0]}), 1, 1, "no such mode", KeyError),
    (pd.DataFrame({"processed_data": [1.0]}), 1.5, 1, "no such mode", TypeError),
    (pd.DataFrame({"processed_data": [1.0]}), 0, 1, "no such mode", ValueError),
    (pd.DataFrame({"processed_data": [1.0]}), 2**70, 1, "mr", OverflowError),
    (pd.DataFrame({"processed_data": ["a", "b", "c"]}), 2, 1, "mr", TypeError),
    (pd.DataFrame({"processed_data": [1.0, 2.0, 3.0]}), 2, "1", "mr", TypeError),
    (pd.DataFrame({"processed_data": ["a", "b", "c"]}), 2, 1, "mr_sma", TypeError),
])
def test_errors_come_in_the_order_of_the_steps(capsys, df, window, threshold, mode, error):
    with pytest.raises(error):
        tradecue.entry_exit_threshold(df, window, threshold, mode)
    assert capsys.readouterr().out == ""


def test_the_threshold_and_text_are_read_only_when_a_rule_needs_them():
    df = pd.DataFrame({"processed_data": [1.0, 3.0, 2.0, 5.0]})
    assert tradecue.entry_exit_threshold(df, 2, "unused", "cross-sma") == [0.0, 0.0, -1, 1]
    assert tradecue.entry_exit_threshold(pd.DataFrame({"processed_data": ["a"]}), 1, "x", "mr") == [0.0]


def test_a_stored_average_stays_when_a_later_step_fails(monkeypatch):
    df = pd.DataFrame({"processed_data": [1.0, 2.0, 3.0]})
    monkeypatch.setattr(tradecue.formula, "rolling_mean", lambda series, w: ["x", "y", "z"])
    with pytest.raises(TypeError):
        tradecue.entry_exit_threshold(df, 1, 0, "cross-sma")
    assert list(df["processed_sma"]) == ["x", "y", "z"]
    monkeypatch.setattr(tradecue.formula, "rolling_mean", lambda series, w: [1.0])
    with pytest.raises(ValueError):
        tradecue.entry_exit_threshold(df, 1, 0, "cross-sma")


def test_arguments_are_all_required():
    with pytest.raises(TypeError, match=r"entry_exit_threshold\(\) takes exactly 4 positional arguments \(3 given\)"):
        tradecue.entry_exit_threshold(pd.DataFrame({"processed_data": [1.0]}), 1, 1)
    df = pd.DataFrame({"processed_data": SIGNAL})
    assert tradecue.entry_exit_threshold(backtest_mode="mr", threshold=1, rolling_window=2, df=df)[2] == 1
