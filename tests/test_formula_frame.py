"""Frame-level indicators of Backtest.formula: normalisations, RSI, bands, MACD."""

import inspect
import types

import numpy as np
import pandas as pd
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import Backtest.formula as F

NAN = np.nan


def oracle(P):
    """The frame-level functions as plain pandas steps over the primitives of `P`."""

    def rolling_mean_normalize(df, rolling_window):
        df["sma"] = P.rolling_mean(df["data"], rolling_window)
        df["min"] = P.rolling_min(df["data"], rolling_window)
        df["max"] = P.rolling_max(df["data"], rolling_window)
        df["processed_data"] = (df["data"] - df["sma"]) / (df["max"] - df["min"] + 1e-9)
        return df

    def rolling_minmax_normalize(df, rolling_window):
        df["min"] = P.rolling_min(df["data"], rolling_window)
        df["max"] = P.rolling_max(df["data"], rolling_window)
        df["processed_data"] = 2 * (df["data"] - df["min"]) / (df["max"] - df["min"] + 1e-9) - 1
        return df

    def with_mean_and_deviation(signal):
        def transform(df, rolling_window):
            df["sma"] = P.rolling_mean(df["data"], rolling_window)
            df["stddev"] = P.rolling_std(df["data"], rolling_window)
            return signal(df, rolling_window)

        return transform

    def zscore(df, _):
        df["processed_data"] = (df["data"] - df["sma"]) / df["stddev"]
        return df

    def zscore_mean(df, rolling_window):
        df["zscore"] = (df["data"] - df["sma"]) / df["stddev"]
        df["processed_data"] = df["zscore"] - P.rolling_mean(df["zscore"], rolling_window)
        return df

    def tanh_estimator(df, _):
        df["processed_data"] = np.tanh(0.01 * (df["data"] - df["sma"]) / df["stddev"])
        return df

    def sigmoid_zscore(df, _):
        df["processed_data"] = 2 * (1 / (1 + np.exp(-(df["data"] - df["sma"]) / df["stddev"]))) - 1
        return df

    def sigmoid(df, _):
        df["processed_data"] = 2 * (1 / (1 + np.exp(df["data"]))) - 1
        return df

    def rolling_softmax(df, rolling_window):
        df["max"] = P.rolling_max(df["data"], rolling_window)
        e = np.exp(df["data"] - df["max"])
        total = np.sum(np.exp(df["data"] - df["max"]))
        df["processed_data"] = 2 * (e / total) - 1
        return df

    def rolling_l1_normalization(df, rolling_window):
        df["processed_data"] = 2 * (df["data"] / P.rolling_sum(np.abs(df["data"]), rolling_window)) - 1
        return df

    def rolling_rsi(df, rolling_window):
        def calculate_rsi(series):
            delta = series.diff()
            gain = P.rolling_mean(delta.where(delta > 0, 0), rolling_window)
            loss = P.rolling_mean(-delta.where(delta < 0, 0), rolling_window)
            rs = gain / loss
            return 100 - (100 / (1 + rs))

        df["rsi"] = calculate_rsi(df["data"])
        df["sma"] = P.rolling_mean(df["rsi"], rolling_window)
        df["ema"] = P.rolling_ema(df["rsi"], rolling_window)
        df["wma"] = P.rolling_wma(df["rsi"], rolling_window)
        df["processed_data"] = (df["rsi"] - 50) / 50
        return df

    def rolling_bollinger_bands(df, rolling_window, multiplier):
        df["sma"] = P.rolling_mean(df["data"], rolling_window)
        df["ema"] = P.rolling_ema(df["data"], rolling_window)
        df["wma"] = P.rolling_wma(df["data"], rolling_window)
        df["upper_band"] = df["sma"] + multiplier * P.rolling_std(df["data"], rolling_window)
        df["lower_band"] = df["sma"] - multiplier * P.rolling_std(df["data"], rolling_window)
        return df

    def calculate_macd(df, short_window, long_window, signal_window=9):
        df["EMA_short"] = P.rolling_ema(df["data"], short_window)
        df["EMA_long"] = P.rolling_ema(df["data"], long_window)
        df["MACD"] = df["EMA_short"] - df["EMA_long"]
        df["Signal"] = P.rolling_ema(df["MACD"], signal_window)
        df["Histogram"] = df["MACD"] - df["Signal"]
        return df

    return types.SimpleNamespace(
        rolling_mean_normalize=rolling_mean_normalize,
        rolling_minmax_normalize=rolling_minmax_normalize,
        rolling_zscore=with_mean_and_deviation(zscore),
        rolling_zscore_mean=with_mean_and_deviation(zscore_mean),
        rolling_tanh_estimator=with_mean_and_deviation(tanh_estimator),
        rolling_sigmoid_zscore=with_mean_and_deviation(sigmoid_zscore),
        rolling_sigmoid=with_mean_and_deviation(sigmoid),
        rolling_softmax=rolling_softmax,
        rolling_l1_normalization=rolling_l1_normalization,
        rolling_rsi=rolling_rsi,
        rolling_bollinger_bands=rolling_bollinger_bands,
        calculate_macd=calculate_macd,
    )


def run_oracle(P, name, df, *args):
    # NumPy warns where the plain steps divide by zero or overflow exp; the
    # values are what matter here
    with np.errstate(all="ignore"):
        return getattr(oracle(P), name)(df, *args)


FUNCTIONS = [
    "rolling_mean_normalize",
    "rolling_minmax_normalize",
    "rolling_zscore",
    "rolling_zscore_mean",
    "rolling_tanh_estimator",
    "rolling_sigmoid_zscore",
    "rolling_sigmoid",
    "rolling_softmax",
    "rolling_l1_normalization",
    "rolling_rsi",
    "rolling_bollinger_bands",
    "calculate_macd",
]
EXTRA_ARGUMENTS = {"rolling_bollinger_bands": (2.0,), "calculate_macd": (3,)}


def frame(values, **kwargs):
    return pd.DataFrame({"data": values}, **kwargs)


def assert_same_frames(ours, expected):
    assert list(ours.columns) == list(expected.columns)
    for name in ours.columns:
        assert ours[name].dtype == expected[name].dtype, name
        np.testing.assert_array_equal(ours[name], expected[name], err_msg=name)


# ---------------------------------------------------------------- agreement with the plain steps

values = st.one_of(
    st.floats(-1e3, 1e3, allow_nan=False),
    st.integers(-5, 5).map(float),
    st.sampled_from([NAN, np.inf, -np.inf]),
)


@st.composite
def calls(draw):
    name = draw(st.sampled_from(FUNCTIONS))
    data = draw(st.lists(values, max_size=40))
    windows = st.integers(1, len(data) + 3)
    if name == "calculate_macd":
        args = (draw(windows), draw(windows), draw(windows))
    elif name == "rolling_bollinger_bands":
        args = (draw(windows), draw(st.floats(-4, 4)))
    else:
        args = (draw(windows),)
    return name, data, args


@settings(max_examples=600, deadline=None)
@given(calls())
def test_matches_the_plain_pandas_steps(call):
    name, data, args = call
    df = frame(data)
    result = getattr(F, name)(df, *args)
    assert result is df
    assert_same_frames(df, run_oracle(F, name, frame(data), *args))


@pytest.mark.parametrize("name", FUNCTIONS)
@pytest.mark.parametrize("rows", [3000, 100_000])
def test_matches_the_plain_pandas_steps_on_long_walks(name, rows):
    # long enough for the pairwise summation of the softmax total to recurse
    # and for NumPy's reduction to work through several buffers
    rng = np.random.default_rng(rows)
    data = 100 + np.cumsum(rng.normal(size=rows))
    data[rng.random(data.size) < 0.01] = NAN
    args = EXTRA_ARGUMENTS.get(name, ()) if name != "calculate_macd" else (12, 26)
    df = frame(data)
    getattr(F, name)(df, 20, *args)
    assert_same_frames(df, run_oracle(F, name, frame(data), 20, *args))


@pytest.mark.parametrize("name", FUNCTIONS)
def test_reads_data_by_position_and_keeps_other_columns(name):
    data = [3.0, 1.0, 4.0, 1.0, 5.0, 9.0, 2.0, 6.0]
    args = (3, *EXTRA_ARGUMENTS.get(name, ()))
    dated = frame(data, index=pd.date_range("2024-01-01", periods=8, freq="h"))
    dated["sma"] = "old"
    dated.insert(0, "volume", np.arange(8))
    getattr(F, name)(dated, *args)
    plain = getattr(F, name)(frame(data), *args)
    assert list(dated.columns[:2]) == ["volume", "data"]
    for column in plain.columns:
        np.testing.assert_array_equal(dated[column].to_numpy(), plain[column].to_numpy(), err_msg=column)


def test_a_plain_mapping_of_columns_receives_arrays():
    columns = {"data": [1.0, 2.0, 4.0, 3.0]}
    assert F.rolling_zscore(columns, 2) is columns
    assert list(columns) == ["data", "sma", "stddev", "processed_data"]
    np.testing.assert_array_equal(columns["processed_data"], [NAN, 1.0, 1.0, -1.0])


@pytest.mark.parametrize("name", FUNCTIONS)
@pytest.mark.parametrize(
    "data",
    [
        pd.Series([3, 1, 4, 1, 5, 9, 2, 6], dtype="int64"),
        pd.Series([3, 1, 4, 1, 5, 9, 2, 6], dtype="float32"),
        pd.Series([3, 1, 4, None, 5, 9, 2, 6], dtype="Int64"),
        pd.Series([3.0, 1, 4, None, 5, 9, 2, 6], dtype=object),
        pd.Series([True, False, True, True, False, True, False, False]),
    ],
    ids=["int64", "float32", "Int64", "object", "bool"],
)
def test_any_numeric_dtype_gives_the_float64_result(name, data):
    args = (3, *EXTRA_ARGUMENTS.get(name, ()))
    df = frame(data)
    getattr(F, name)(df, *args)
    as_float = getattr(F, name)(frame(data.astype("float64").to_numpy(dtype="float64", na_value=NAN)), *args)
    assert df["data"].dtype == data.dtype
    for column in as_float.columns.drop("data"):
        assert df[column].dtype == np.float64
        np.testing.assert_array_equal(df[column], as_float[column], err_msg=column)


# ---------------------------------------------------------------- worked examples

def warm_up_then(window, value, rows=8):
    return [NAN] * (window - 1) + [value] * (rows - window + 1)


FLAT, FOUR = [7] * 8, [3.0, -1.0, 4.0, 1.5]
EXAMPLES = [
    # flat windows of integers: the guard keeps the range from dividing by
    # zero, the deviation is exactly 0 and the RSI sees no change
    ("rolling_mean_normalize", FLAT, (3,), "processed_data", warm_up_then(3, 0.0)),
    ("rolling_minmax_normalize", FLAT, (3,), "processed_data", warm_up_then(3, -1.0)),
    ("rolling_zscore", FLAT, (3,), "processed_data", [NAN] * 8),
    ("rolling_tanh_estimator", FLAT, (3,), "processed_data", [NAN] * 8),
    ("rolling_sigmoid_zscore", FLAT, (3,), "processed_data", [NAN] * 8),
    ("rolling_l1_normalization", FLAT, (3,), "processed_data", warm_up_then(3, 2 / 3 - 1)),
    ("rolling_softmax", FLAT, (3,), "processed_data", warm_up_then(3, 2 / 6 - 1)),
    ("rolling_rsi", FLAT, (3,), "processed_data", [NAN] * 8),
    ("rolling_rsi", FLAT, (3,), "sma", warm_up_then(3, 0.0)),
    ("rolling_rsi", FLAT, (3,), "ema", [NAN] * 8),
    ("rolling_rsi", FLAT, (3,), "wma", [NAN] * 8),
    # data alone, without warm-up
    ("rolling_sigmoid", [0.0] * 8, (3,), "processed_data", [0.0] * 8),
    ("rolling_sigmoid", [0.0] * 8, (10,), "processed_data", [0.0] * 8),
    # a window of one value
    ("rolling_minmax_normalize", FOUR, (1,), "processed_data", [-1.0] * 4),
    ("rolling_mean_normalize", FOUR, (1,), "processed_data", [0.0] * 4),
    ("rolling_mean_normalize", FOUR, (1,), "sma", FOUR),
    ("rolling_mean_normalize", FOUR, (1,), "min", FOUR),
    ("rolling_mean_normalize", FOUR, (1,), "max", FOUR),
    ("rolling_zscore", FOUR, (1,), "stddev", [0.0] * 4),
    # the leading NaN z-score counts as 0 in its average
    ("rolling_zscore_mean", [1.0, 2.0, 4.0, 3.0, 5.0], (2,), "zscore", [NAN, 1.0, 1.0, -1.0, 1.0]),
    ("rolling_zscore_mean", [1.0, 2.0, 4.0, 3.0, 5.0], (2,), "processed_data", [NAN, 0.5, 0.0, -1.0, 1.0]),
    # a NaN spoils the two windows that use its prefix sum: its own and the one w rows later
    ("rolling_l1_normalization", [1.0, 2.0, 3.0, NAN, 5.0, 6.0, 7.0, 8.0], (2,), "processed_data",
     [NAN, 2 * (2 / 3) - 1, 2 * (3 / 5) - 1, NAN, 1.0, NAN, 2 * (7 / 13) - 1, 2 * (8 / 15) - 1]),
    # changes +2, -1, +3: gain 5/3 and loss 1/3 over three rows
    ("rolling_rsi", [10.0, 12.0, 11.0, 14.0], (3,), "rsi", [NAN, NAN, 100 - 100 / (1 + 2 / 1), 100 - 100 / (1 + (5 / 3) / (1 / 3))]),
    # with a window of 1 the first row has neither gain nor loss
    ("rolling_rsi", [1.0, 2.0, 1.0, 1.0], (1,), "rsi", [NAN, 100.0, 0.0, NAN]),
    *[("rolling_bollinger_bands", [1.0, 2.0, 3.0, 4.0], (2, m), band, [NAN] + [v + sign * m * 0.5 for v in (1.5, 2.5, 3.5)])
      for m in (0, 2, -1.5) for band, sign in (("upper_band", 1), ("lower_band", -1))],
]


@pytest.mark.parametrize("name, data, args, column, expected", EXAMPLES,
                         ids=[f"{e[0]}-{e[3]}-{i}" for i, e in enumerate(EXAMPLES)])
def test_worked_example(name, data, args, column, expected):
    df = getattr(F, name)(frame(data), *args)
    np.testing.assert_array_equal(df[column], expected)


def test_sigmoid_saturates_silently_where_exp_overflows():
    settings = np.geterr()
    signal = F.rolling_sigmoid(frame([1e300, 1e3, 710.0, -1e300, -np.inf, np.inf]), 2)["processed_data"]
    np.testing.assert_array_equal(signal, [-1.0, -1.0, -1.0, 1.0, 1.0, -1.0])
    assert np.geterr() == settings


def test_softmax_shares_of_the_valid_rows_add_up_to_one():
    df = F.rolling_softmax(frame([1.0, 5.0, 2.0, NAN, 3.0, 0.5, 4.0, 4.0]), 2)
    shares = (df["processed_data"] + 1) / 2
    assert shares.count() == 5
    assert shares.sum() == pytest.approx(1.0, rel=1e-15)


# Functions whose columns are built from windows of data only (the
# exponential averages carry every value on by definition, the softmax
# divides by a total over all rows).
WINDOWED = ["rolling_mean_normalize", "rolling_zscore", "rolling_zscore_mean", "rolling_tanh_estimator",
            "rolling_sigmoid_zscore", "rolling_l1_normalization", "rolling_rsi", "rolling_bollinger_bands"]


@pytest.mark.parametrize("name", WINDOWED)
@pytest.mark.parametrize("tick", [np.inf, -np.inf, 1e15, NAN])
def test_a_bad_tick_reaches_only_the_rows_whose_windows_hold_it(name, tick):
    window, at = 48, 1000
    prices = 30_000 * np.exp(np.cumsum(np.random.default_rng(1).normal(0, 0.005, 3000)))
    bad, good = prices.copy(), prices.copy()
    bad[at] = tick
    args = EXTRA_ARGUMENTS.get(name, ())
    with np.errstate(all="ignore"):
        got, quiet = getattr(F, name)(frame(bad), window, *args), getattr(F, name)(frame(good), window, *args)
    # a window of windows (the z-score's mean, the RSI's averages) reaches 2 * window rows
    later = slice(at + 2 * window, None)
    for column in got.columns.drop(["data", "ema"], errors="ignore"):
        np.testing.assert_array_equal(got[column][later], quiet[column][later], err_msg=column)
        assert got[column][later].notna().all(), column


@pytest.mark.parametrize("name", FUNCTIONS)
def test_window_longer_than_the_frame_gives_nan_columns(name):
    extra = (5, 6) if name == "calculate_macd" else EXTRA_ARGUMENTS.get(name, ())
    df = getattr(F, name)(frame([1.0, 2.0, 3.0]), 4, *extra)
    for column in df.columns.drop("data"):
        assert df[column].dtype == np.float64
        if not (name == "rolling_sigmoid" and column == "processed_data"):
            assert df[column].isna().all(), column


@pytest.mark.parametrize("window", [2, 3, 4])
def test_rsi_of_a_rising_column(window):
    df = F.rolling_rsi(frame(np.arange(8) ** 2), window)
    np.testing.assert_array_equal(df["rsi"], warm_up_then(window, 100.0))
    np.testing.assert_array_equal(df["processed_data"], warm_up_then(window, 1.0))
    # the RSI's warm-up counts as 0 in its average, the EMA seed skips it, and
    # its WMA needs a second full window
    assert df["sma"][window - 1] == 100.0 / window
    assert df["ema"].first_valid_index() == window - 1 and df["ema"][window - 1] == 100.0
    assert df["wma"].first_valid_index() == 2 * window - 2


def test_macd_signal_of_the_standard_windows_starts_with_the_first_macd_value():
    df = F.calculate_macd(frame(np.sin(np.arange(60) / 5) * 10 + 50), 12, 26)
    assert df["MACD"].first_valid_index() == 25
    assert df["Signal"].first_valid_index() == 25
    assert df["Signal"][25] == df["MACD"][25] and df["Histogram"][25] == 0.0


def test_macd_signal_seeded_by_the_valid_values_of_its_first_window():
    df = F.calculate_macd(frame(np.arange(20.0) ** 1.5), 3, 5, 9)
    assert df["Signal"].first_valid_index() == 8
    assert df["Signal"][8] == pytest.approx(df["MACD"][4:9].mean(), rel=1e-15)


def test_swapped_macd_windows_negate_macd():
    data = np.cos(np.arange(50) / 3) + np.arange(50) / 10
    usual = F.calculate_macd(frame(data), 4, 10, 5)
    swapped = F.calculate_macd(frame(data), 10, 4, 5)
    np.testing.assert_array_equal(swapped["MACD"], -usual["MACD"])


def test_later_transform_overwrites_the_shared_columns():
    df = F.rolling_zscore(frame([1.0, 3.0, 2.0, 5.0, 4.0]), 2)
    F.rolling_mean_normalize(df, 3)
    assert list(df.columns) == ["data", "sma", "stddev", "processed_data", "min", "max"]
    np.testing.assert_array_equal(df["sma"], [NAN, NAN, 2.0, 10 / 3, 11 / 3])
    np.testing.assert_array_equal(df["processed_data"], F.rolling_mean_normalize(frame(df["data"]), 3)["processed_data"])


# ---------------------------------------------------------------- errors

@pytest.mark.parametrize("name", FUNCTIONS)
@pytest.mark.parametrize(
    "columns, window, error",
    [
        ({"price": [1.0, 2.0, 3.0]}, 2, KeyError),
        ({"data": [1.0, 2.0, 3.0]}, 0, ValueError),
        ({"data": [1.0, 2.0, 3.0]}, -3, ValueError),
        ({"data": [1.0, 2.0, 3.0]}, 2.0, TypeError),
        ({"data": ["1", "2", "3"]}, 2, TypeError),
    ],
)
def test_bad_frame_or_window_raises_before_anything_is_written(name, columns, window, error):
    df = pd.DataFrame(columns)
    with pytest.raises(error) as raised:
        getattr(F, name)(df, window, *EXTRA_ARGUMENTS.get(name, ()))
    if error is KeyError:
        assert raised.value.args == ("data",)
    assert list(df.columns) == list(columns)


@pytest.mark.parametrize(
    "args, error",
    [((2, 3, 0), ValueError), ((2, 3, "9"), TypeError), ((2, 0), ValueError)],
)
def test_bad_macd_windows_raise_before_anything_is_written(args, error):
    df = frame([1.0, 2.0, 3.0])
    with pytest.raises(error):
        F.calculate_macd(df, *args)
    assert list(df.columns) == ["data"]


@pytest.mark.parametrize("multiplier", ["2", None, 1j])
def test_bad_multiplier_raises_before_anything_is_written(multiplier):
    df = frame([1.0, 2.0, 3.0])
    with pytest.raises(TypeError):
        F.rolling_bollinger_bands(df, 2, multiplier)
    assert list(df.columns) == ["data"]


@pytest.mark.parametrize("name", FUNCTIONS)
def test_signature(name):
    parameters = inspect.signature(getattr(F, name)).parameters
    expected = {"rolling_bollinger_bands": ["df", "rolling_window", "multiplier"],
                "calculate_macd": ["df", "short_window", "long_window", "signal_window"]}
    assert list(parameters) == expected.get(name, ["df", "rolling_window"])
    assert all(p.kind is p.POSITIONAL_OR_KEYWORD for p in parameters.values())
    if name == "calculate_macd":
        assert parameters["signal_window"].default == 9
    assert getattr(F, name).__doc__ is None


def test_keyword_call_and_argument_count_message():
    df = F.calculate_macd(df=frame(np.arange(12.0)), long_window=4, short_window=2, signal_window=3)
    # the first signal window holds no MACD value: the signal starts with the first one
    assert df["Signal"].first_valid_index() == 3 and df["Signal"][3] == df["MACD"][3]
    with pytest.raises(TypeError, match=r"calculate_macd\(\) takes at least 3 positional arguments \(1 given\)"):
        F.calculate_macd(df)


# ---------------------------------------------------------------- late binding

PRIMITIVES_USED = {
    "rolling_mean_normalize": ["rolling_mean", "rolling_min", "rolling_max"],
    "rolling_minmax_normalize": ["rolling_min", "rolling_max"],
    "rolling_zscore": ["rolling_mean", "rolling_std"],
    "rolling_zscore_mean": ["rolling_mean", "rolling_std"],
    "rolling_tanh_estimator": ["rolling_mean", "rolling_std"],
    "rolling_sigmoid_zscore": ["rolling_mean", "rolling_std"],
    "rolling_sigmoid": ["rolling_mean", "rolling_std"],
    "rolling_softmax": ["rolling_max"],
    "rolling_l1_normalization": ["rolling_sum"],
    "rolling_rsi": ["rolling_mean", "rolling_ema", "rolling_wma"],
    "rolling_bollinger_bands": ["rolling_mean", "rolling_ema", "rolling_wma", "rolling_std"],
    "calculate_macd": ["rolling_ema"],
}


def recording(original, calls):
    def replacement(series, window):
        calls.append((series.copy(), window))
        return np.asarray(original(series, window)) + 1.0

    return replacement


@pytest.mark.parametrize("name, primitive", [(n, p) for n, used in PRIMITIVES_USED.items() for p in used])
def test_replaced_primitive_receives_the_series_and_its_result_is_used(monkeypatch, name, primitive):
    data = [2.0, 5.0, 3.0, NAN, 4.0, 8.0, 7.0, 9.0, 6.0, 1.0]
    window = np.int64(3)
    args = (window, *EXTRA_ARGUMENTS.get(name, ())) if name != "calculate_macd" else (window, np.int64(5))
    ours, theirs = [], []
    original = getattr(F, primitive)
    monkeypatch.setattr(F, primitive, recording(original, ours))
    df = getattr(F, name)(frame(data), *args)
    monkeypatch.setattr(F, primitive, recording(original, theirs))
    expected = run_oracle(F, name, frame(data), *args)

    assert_same_frames(df, expected)
    assert len(ours) == len(theirs) > 0
    for (series, window_given), (expected_series, expected_window) in zip(ours, theirs):
        assert type(series) is pd.Series
        pd.testing.assert_series_equal(series, expected_series)
        assert window_given is expected_window


def test_replaced_primitive_with_the_wrong_length_raises(monkeypatch):
    monkeypatch.setattr(F, "rolling_sum", lambda x, window: np.zeros(2))
    with pytest.raises(ValueError, match="2 values for a frame of 4 rows"):
        F.rolling_l1_normalization(frame([1.0, 2.0, 3.0, 4.0]), 2)


def test_replaced_primitive_result_is_written_as_returned(monkeypatch):
    monkeypatch.setattr(F, "rolling_max", lambda x, window: [1, 2, 3, 4])
    df = F.rolling_minmax_normalize(frame([1.0, 2.0, 3.0, 4.0]), 2)
    assert df["max"].dtype == np.int64
    np.testing.assert_array_equal(df["processed_data"], 2 * (df["data"] - df["min"]) / (df["max"] - df["min"] + 1e-9) - 1)


def test_replaced_primitive_result_is_never_written_over(monkeypatch):
    returned = []
    original = F.rolling_mean

    def keeping(series, window):
        result = original(series, window)
        returned.append((result, result.copy()))
        return result

    monkeypatch.setattr(F, "rolling_mean", keeping)
    F.rolling_rsi(frame([1.0, 3.0, 2.0, 5.0, 4.0, 4.5]), 2)
    assert len(returned) == 3
    for result, as_returned in returned:
        np.testing.assert_array_equal(result, as_returned)
