"""The seven rolling primitives of Backtest.formula against plain NumPy/pandas
versions of their formulas, for arrays, Series and lists."""

import math

import numpy as np
import pandas as pd
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from numpy.lib.stride_tricks import sliding_window_view

import Backtest.formula as F

NAN = np.nan
INF = np.inf


# ---- oracles: the formulas written out in NumPy and pandas ----
# Each takes float64 data (array or Series with the default index) and a
# window no longer than the data.


def naive_window_sums(values, window):
    """Each window's exactly rounded sum (math.fsum), NaN with a NaN or both
    infinities, the infinity otherwise; and what a sum in double precision
    may differ from it: (w - 1) * 2**-53 times the window's magnitudes, inf
    where they overflow (the order of the additions then decides)."""
    sums, bounds = np.full(len(values), NAN), np.zeros(len(values))
    for i, w in enumerate(sliding_window_view(values, window), start=window - 1):
        up, down = np.isposinf(w).any(), np.isneginf(w).any()
        if np.isnan(w).any() or (up and down):
            continue
        if up or down:
            sums[i] = INF if up else -INF
            continue
        try:
            magnitude = math.fsum(np.abs(w))
        except OverflowError:
            sums[i], bounds[i] = 0.0, INF
            continue
        sums[i] = math.fsum(w)
        bounds[i] = (window - 1) * 2.0**-53 * magnitude
    return sums, bounds


def oracle_sum(x, window):
    """For an array NaN from the first NaN on; for a Series NaN counts as 0 but
    the windows ending at it and `window` rows later are NaN."""
    values = np.asarray(x, dtype=float)
    missing = np.isnan(values)
    if isinstance(x, pd.Series):
        sums, bounds = naive_window_sums(np.where(missing, 0.0, values), window)
        sums[missing] = NAN
        sums[window:][missing[:-window]] = NAN
    else:
        sums, bounds = naive_window_sums(values, window)
        sums[np.maximum.accumulate(missing)] = NAN
    sums[: window - 1] = NAN
    return sums, bounds


def oracle_mean(x, window):
    """NaN counted as 0, infinities clamped, each window on its own."""
    sums, bounds = naive_window_sums(np.nan_to_num(np.asarray(x, dtype=float), nan=0), window)
    sums[: window - 1] = NAN
    return sums / window, bounds / window


def oracle_ema(data, window):
    """Seeded by np.mean of the first window (pandas' NaN-skipping mean for a
    Series); a Series whose first window is all NaN starts at its first valid value."""
    multiplier = 2 / (window + 1)
    ema = np.full(len(data), NAN)
    start = window - 1
    seed = np.mean(data[:window])
    if isinstance(data, pd.Series) and data.iloc[:window].isna().all():
        valid = np.flatnonzero(data.notna().to_numpy())
        if len(valid) == 0:
            return ema
        start = valid[0]
        seed = data.iloc[start]
    values = np.asarray(data)
    ema[start] = seed
    for i in range(start + 1, len(values)):
        ema[i] = (values[i] - ema[i - 1]) * multiplier + ema[i - 1]
    return ema


def oracle_wma(data, window):
    weights = np.arange(1, window + 1)
    wma = np.convolve(data, weights[::-1], mode="valid") / weights.sum()
    return np.concatenate((np.full(window - 1, NAN), wma))


def oracle_std(x, window):
    """Two passes per window over the cleaned values; a value whose square
    overflows makes its windows NaN."""
    x = np.nan_to_num(np.asarray(x, dtype=float), nan=0)
    windows = sliding_window_view(x, window)
    std = windows.std(axis=1)
    std[np.isinf(windows**2).any(axis=1)] = NAN
    return np.concatenate((np.full(window - 1, NAN), std))


def oracle_min(x, window):
    return pd.Series(x).rolling(window).min().to_numpy()


def oracle_max(x, window):
    return pd.Series(x).rolling(window).max().to_numpy()


ORACLES = {
    "rolling_sum": oracle_sum,
    "rolling_mean": oracle_mean,
    "rolling_ema": oracle_ema,
    "rolling_wma": oracle_wma,
    "rolling_std": oracle_std,
    "rolling_min": oracle_min,
    "rolling_max": oracle_max,
}
EXACT = ["rolling_ema", "rolling_min", "rolling_max"]
WINDOW_SUMS = ["rolling_sum", "rolling_mean"]  # oracles with their own error bounds
PRIMITIVES = list(ORACLES)


def expected(name, data, window):
    """The oracle's result, including the all-NaN result of a window longer than the data."""
    if window > len(data):
        nothing = np.full(len(data), NAN)
        return (nothing, np.zeros(len(data))) if name in WINDOW_SUMS else nothing
    with np.errstate(all="ignore"):
        return ORACLES[name](data, window)


def window_scale(x, window):
    """Per result, the largest magnitude in its window (0 before the first window)."""
    magnitude = np.abs(np.nan_to_num(np.asarray(x, dtype=float), nan=0))
    if window > len(x):
        return np.zeros(len(x))
    return np.concatenate((np.zeros(window - 1), sliding_window_view(magnitude, window).max(axis=1)))


def assert_matches(name, got, want, data, window):
    assert got.dtype == np.float64
    if name in EXACT:
        np.testing.assert_array_equal(got, want)
    else:
        if name in WINDOW_SUMS:
            want, bound = want
            # the bound of the sum, and the rounding of the result itself
            tolerance = bound + 2.0**-52 * np.abs(np.nan_to_num(want))
        else:
            # what the two-pass deviation and the convolution themselves round
            tolerance = 1e-9 * np.abs(np.nan_to_num(want)) + 1e-12 * window_scale(data, window)
        checked = tolerance < INF
        got, want, tolerance = got[checked], want[checked], tolerance[checked]
        np.testing.assert_array_equal(np.isnan(got), np.isnan(want))
        finite = np.isfinite(want)
        np.testing.assert_array_equal(got[~finite & ~np.isnan(want)], want[~finite & ~np.isnan(want)])
        assert np.all(np.abs(got[finite] - want[finite]) <= tolerance[finite])


# ---- worked examples ----


@pytest.mark.parametrize(
    ("name", "want"),
    [
        ("rolling_sum", [NAN, 3, 5, 7]),
        ("rolling_mean", [NAN, 1.5, 2.5, 3.5]),
        ("rolling_wma", [NAN, 5 / 3, 8 / 3, 11 / 3]),
        ("rolling_std", [NAN, 0.5, 0.5, 0.5]),
        ("rolling_ema", [NAN, 1.5, 2.5, 3.5]),
        ("rolling_min", [NAN, 1, 2, 3]),
        ("rolling_max", [NAN, 2, 3, 4]),
    ],
)
@pytest.mark.parametrize("make", [np.array, pd.Series, list], ids=["array", "series", "list"])
def test_worked_example_one_to_four_window_two(name, want, make):
    got = getattr(F, name)(make([1, 2, 3, 4]), 2)
    assert isinstance(got, np.ndarray) and got.dtype == np.float64
    np.testing.assert_array_equal(got, want)


# ---- randomized comparison with the oracles ----

special = st.sampled_from([NAN, INF, -INF])


@st.composite
def series_and_window(draw):
    n = draw(st.integers(0, 300))
    if draw(st.booleans()):
        values = np.array(draw(st.lists(st.integers(-1000, 1000), min_size=n, max_size=n)), dtype=np.int64)
    else:
        finite = st.floats(-1e6, 1e6, allow_nan=False) | st.sampled_from([0.0, -0.0, 1e6])
        share = draw(st.sampled_from([0.0, 0.02, 0.2]))
        values = np.array(draw(st.lists(finite, min_size=n, max_size=n)), dtype=np.float64)
        mask = np.array(draw(st.lists(st.floats(0, 1), min_size=n, max_size=n))) < share
        values[mask] = draw(st.lists(special, min_size=int(mask.sum()), max_size=int(mask.sum())))
    window = draw(st.integers(1, n + 3))
    return values, window


@pytest.mark.parametrize("name", PRIMITIVES)
@settings(max_examples=150, deadline=None)
@given(case=series_and_window(), kind=st.sampled_from(["array", "series", "list"]))
def test_agrees_with_the_plain_formula(name, case, kind):
    values, window = case
    data = {"array": values, "series": pd.Series(values), "list": values.tolist()}[kind]
    as_float = values.astype(np.float64)
    reference = pd.Series(as_float) if kind == "series" else as_float
    got = getattr(F, name)(data, window)
    want = expected(name, reference, window)
    assert got.shape == (len(values),)
    assert_matches(name, got, want, as_float, window)


# ---- arrays, Series and lists differ where the formulas use NumPy or pandas ----


@pytest.mark.parametrize(
    ("make", "want"),
    [
        (np.array, [NAN, NAN, NAN, NAN, NAN]),  # cumsum stays NaN from the NaN on
        (list, [NAN, NAN, NAN, NAN, NAN]),
        (pd.Series, [NAN, NAN, 2, NAN, 7]),  # pandas' cumsum is NaN at the NaN only
    ],
    ids=["array", "list", "series"],
)
def test_rolling_sum_nan_poisons_arrays_but_only_two_series_results(make, want):
    np.testing.assert_array_equal(F.rolling_sum(make([1, NAN, 2, 3, 4]), 2), want)


# ---- each window summed from its own values ----

M = np.finfo(float).max


@pytest.mark.parametrize("make", [np.array, pd.Series, list], ids=["array", "series", "list"])
@pytest.mark.parametrize(
    ("name", "data", "want"),
    [
        # a spike leaves no residue once it leaves the window
        ("rolling_mean", [0.1] * 5 + [1e15] + [0.1] * 5, [NAN] + [0.1] * 4 + [(0.1 + 1e15) / 2] * 2 + [0.1] * 4),
        # infinity is clamped in its own windows only
        ("rolling_mean", [1, 2, INF, 3, 4, 5, 6], [NAN, 1.5, M / 2, M / 2, 3.5, 4.5, 5.5]),
        ("rolling_sum", [1, 2, INF, 3, 4, 5, 6], [NAN, 3, INF, INF, 7, 9, 11]),
        ("rolling_sum", [1, INF, -INF, 2, 3], [NAN, INF, NAN, -INF, 5]),
        ("rolling_mean", [1, NAN, 3, 5], [NAN, 0.5, 1.5, 4]),
    ],
)
def test_a_bad_tick_stays_in_its_windows(name, data, want, make):
    np.testing.assert_array_equal(getattr(F, name)(make(data), 2), want)


@pytest.mark.parametrize("kind", ["array", "series", "list"])
@pytest.mark.parametrize("name", WINDOW_SUMS)
@pytest.mark.parametrize("spike", [1e15, -1e300, INF, -INF, NAN])
@pytest.mark.parametrize("window", [1, 3, 14, 50, 200])
def test_windows_without_the_spike_give_the_bits_of_a_quiet_series(kind, name, spike, window):
    walk = 3e4 + np.cumsum(np.random.default_rng(window).normal(0, 0.5, 600))
    at = 100
    noisy, quiet = walk.copy(), walk.copy()
    noisy[at], quiet[at] = spike, 0.0
    make = {"array": np.asarray, "series": pd.Series, "list": list}[kind]
    got, twin = getattr(F, name)(make(noisy), window), getattr(F, name)(make(quiet), window)
    rows = np.arange(len(walk))
    untouched = (rows < at) | (rows >= at + window)
    if np.isnan(spike) and name == "rolling_sum":
        if kind == "series":  # NaN in the two windows that read its prefix sum, 0 elsewhere
            assert np.isnan(got[[at, at + window]]).all()
            untouched = ~np.isin(rows, [at, at + window])
        else:  # NaN from the NaN on
            assert np.isnan(got[at:]).all()
            untouched = rows < at
    elif np.isnan(spike):  # the mean counts it as 0 everywhere
        untouched = rows >= 0
    np.testing.assert_array_equal(got[untouched], twin[untouched])
    assert np.isfinite(got[window - 1 :][untouched[window - 1 :]]).all()


def test_rolling_ema_seed_skips_nan_for_series_only():
    data = [NAN, 2.0, 4.0, 6.0]
    second = (4 - 2) * (2 / 3) + 2
    np.testing.assert_array_equal(F.rolling_ema(pd.Series(data), 2), [NAN, 2, second, (6 - second) * (2 / 3) + second])
    assert np.isnan(F.rolling_ema(np.array(data), 2)).all()
    assert np.isnan(F.rolling_ema(data, 2)).all()


def test_rolling_ema_series_with_all_nan_first_window_starts_at_first_valid_value():
    data = [NAN, NAN, NAN, 5.0, 8.0, 2.0]
    got = F.rolling_ema(pd.Series(data), 3)
    first = (8 - 5) * 0.5 + 5
    np.testing.assert_array_equal(got, [NAN, NAN, NAN, 5.0, first, (2 - first) * 0.5 + first])
    assert np.isnan(F.rolling_ema(np.array(data), 3)).all()
    assert np.isnan(F.rolling_ema(pd.Series([NAN, NAN]), 1)).all()


def test_rolling_ema_nan_after_the_seed_still_poisons_the_rest():
    got = F.rolling_ema(pd.Series([1.0, 2.0, NAN, 3.0]), 2)
    np.testing.assert_array_equal(got, [NAN, 1.5, NAN, NAN])


@pytest.mark.parametrize("window", range(1, 301))
def test_ema_seed_is_numpy_and_pandas_mean_to_the_last_bit(window):
    rng = np.random.default_rng(window)
    values = rng.standard_normal(window + 2) * 10.0 ** rng.uniform(-3, 6, window + 2)
    values[rng.random(window + 2) < 0.1] = NAN
    values[0] = 1.5  # at least one valid value in the first window
    with_nan = F.rolling_ema(values, window)[window - 1]
    assert with_nan == np.mean(values[:window]) or (np.isnan(with_nan) and np.isnan(values[:window]).any())
    assert F.rolling_ema(pd.Series(values), window)[window - 1] == pd.Series(values[:window]).mean()
    zeros = np.full(window, -0.0)  # np.add.reduce starts from +0.0
    assert np.signbit(F.rolling_ema(zeros, window)[window - 1]) == np.signbit(np.mean(zeros))


@pytest.mark.parametrize("name", PRIMITIVES)
@pytest.mark.parametrize(
    "index",
    [pd.date_range("2024-01-01", periods=30, freq="h"), pd.RangeIndex(30, 0, -1), pd.Index(list("abcdefghijklmnopqrstuvwxyz0123"))],
    ids=["dates", "reversed", "labels"],
)
def test_series_are_read_by_position_whatever_their_index(name, index):
    values = np.random.default_rng(1).standard_normal(30)
    values[[4, 17]] = NAN
    got = getattr(F, name)(pd.Series(values, index=index), 5)
    np.testing.assert_array_equal(got, getattr(F, name)(pd.Series(values), 5))


@pytest.mark.parametrize("name", PRIMITIVES)
@pytest.mark.parametrize("layout", ["F", "C"])
def test_a_column_of_a_two_dimensional_frame_reads_as_its_own_series(name, layout):
    # the column's values are a view into the frame's block, strided in one of the layouts
    values = np.array([[3.0, 1.0], [NAN, 2.0], [-1.0, INF], [2.0, 4.0], [7.0, -3.0], [0.5, 8.0]], order=layout)
    df = pd.DataFrame(values, columns=["a", "b"])
    before = df.copy()
    for k, column in enumerate(df.columns):
        got = getattr(F, name)(df[column], 3)
        np.testing.assert_array_equal(got, getattr(F, name)(pd.Series(values[:, k].copy()), 3))
    pd.testing.assert_frame_equal(df, before)


@pytest.mark.parametrize("name", PRIMITIVES)
@pytest.mark.parametrize("kind", ["array", "series", "list", "int array", "readonly strided"])
def test_inputs_are_left_unchanged(name, kind):
    values = np.array([3.0, NAN, -1.0, INF, 2.0, 7.0, 0.5])
    data = {
        "array": values.copy(),
        "series": pd.Series(values),
        "list": values.tolist(),
        "int array": np.arange(7),
        "readonly strided": np.repeat(values, 2)[::2],
    }[kind]
    if kind == "readonly strided":
        data.flags.writeable = False
    before = pd.Series(data).copy()
    got = getattr(F, name)(data, 3)
    pd.testing.assert_series_equal(pd.Series(data), before)
    assert len(got) == len(before)


# ---- early return for a window longer than the data ----


@pytest.mark.parametrize("name", PRIMITIVES)
@pytest.mark.parametrize(
    "data",
    [
        np.array([1.5, 2.5, 3.5], dtype=np.float32),
        np.array([1.5, 2.5, 3.5], dtype=np.float16),
        np.array([1.5, 2.5, 3.5]),
        np.array([1, 2, 3]),
        np.array([True, False, True]),
        pd.Series([1, 2, 3], dtype=np.int8),
        pd.Series([1.0, 2.0, 3.0], dtype=np.float32),
        [1, 2, 3],
        np.array([], dtype=np.float32),
    ],
    ids=["float32", "float16", "float64", "int64", "bool", "int8 series", "float32 series", "list", "empty"],
)
@pytest.mark.parametrize("window", [4, 5, 10**30])
def test_window_longer_than_data_gives_all_nan_of_the_data_length(name, data, window):
    got = getattr(F, name)(data, window)
    assert isinstance(got, np.ndarray) and got.shape == (len(data),)
    assert np.isnan(got).all()
    floating = np.asarray(data).dtype if np.asarray(data).dtype.kind == "f" else np.dtype(np.float64)
    keeps_dtype = name in ("rolling_mean", "rolling_std", "rolling_ema", "rolling_wma")
    assert got.dtype == (floating if keeps_dtype else np.float64)


# ---- input conversion ----


@pytest.mark.parametrize("name", PRIMITIVES)
@pytest.mark.parametrize(
    ("data", "as_float64"),
    [
        (np.array([1, 5, 2, 8, 3], dtype=np.int16), [1, 5, 2, 8, 3]),
        (np.array([200, 100, 255, 0, 7], dtype=np.uint8), [200, 100, 255, 0, 7]),  # squares overflow uint8
        (np.array([True, False, True, True, False]), [1, 0, 1, 1, 0]),
        (np.array([0.1, 0.2, 0.3, 0.4, 0.7], dtype=np.float32), np.array([0.1, 0.2, 0.3, 0.4, 0.7], np.float32)),
        (np.array([1, None, 2.5, pd.NA, 4], dtype=object), [1, NAN, 2.5, NAN, 4]),
        ([1, None, 2.5, 3, 4], [1, NAN, 2.5, 3, 4]),
        ([True, 2, 3.5, np.float32(4), np.int64(5)], [1, 2, 3.5, 4, 5]),
    ],
    ids=["int16", "uint8", "bool", "float32", "object with None and NA", "list with None", "mixed list"],
)
def test_numeric_input_of_any_dtype_is_computed_as_float64(name, data, as_float64):
    got = getattr(F, name)(data, 2)
    np.testing.assert_array_equal(got, getattr(F, name)(np.asarray(as_float64, dtype=np.float64), 2))


@pytest.mark.parametrize("name", PRIMITIVES)
@pytest.mark.parametrize("dtype", ["Int64", "Float64", "boolean", "UInt16"])
def test_pandas_nullable_series_convert_with_na_as_nan(name, dtype):
    values = [1, 0, None, 1, 1, 0]
    got = getattr(F, name)(pd.Series(values, dtype=dtype), 2)
    np.testing.assert_array_equal(got, getattr(F, name)(pd.Series(values, dtype=np.float64), 2))


@pytest.mark.parametrize("name", PRIMITIVES)
@pytest.mark.parametrize(
    "data",
    [
        np.array([1 + 2j, 3j]),
        [1.0, 2j],
        np.array(["1", "2"]),
        ["a", "b"],
        np.array([1.0, "x"], dtype=object),
        "12345",
        pd.Series(["1", "2"], dtype="string"),
        pd.Series(pd.date_range("2024-01-01", periods=3)),
        pd.Series(["a", "b"], dtype="category"),
        np.array([np.datetime64("2024-01-01")]),
    ],
    ids=["complex", "complex list", "text", "text list", "text object", "str", "string series", "datetime series",
         "category", "datetime64"],
)
def test_non_numeric_input_raises_type_error(name, data):
    with pytest.raises(TypeError):
        getattr(F, name)(data, 1)


@pytest.mark.parametrize("name", PRIMITIVES)
@pytest.mark.parametrize("data", [np.ones((3, 2)), [[1, 2], [3, 4]], pd.DataFrame({"a": [1, 2]}), 5.0],
                         ids=["2-D array", "nested list", "frame", "scalar"])
def test_input_that_is_not_one_dimensional_raises_value_error(name, data):
    with pytest.raises(ValueError, match="one-dimensional"):
        getattr(F, name)(data, 1)


@pytest.mark.parametrize("name", PRIMITIVES)
@pytest.mark.parametrize("window", [2.0, "5", None, [3], np.float64(2)])
def test_window_without_index_raises_type_error(name, window):
    with pytest.raises(TypeError):
        getattr(F, name)([1.0, 2.0, 3.0], window)


@pytest.mark.parametrize("name", PRIMITIVES)
@pytest.mark.parametrize("window", [0, -1, -(10**30)])
def test_window_below_one_raises_value_error_naming_the_parameter(name, window):
    parameter = "window" if name in ("rolling_sum", "rolling_ema", "rolling_wma") else "rolling_window"
    with pytest.raises(ValueError, match=f"^{parameter} must be a positive integer, got {window}$"):
        getattr(F, name)([1.0, 2.0, 3.0], window)


@pytest.mark.parametrize("name", PRIMITIVES)
def test_integer_like_windows_are_accepted(name):
    data = np.arange(6.0)
    np.testing.assert_array_equal(getattr(F, name)(data, np.int32(3)), getattr(F, name)(data, 3))


# ---- behaviours stated on their own ----


def test_rolling_std_agrees_with_the_prefix_formula_where_that_is_accurate():
    x = np.random.default_rng(3).standard_normal(500)
    window = 10
    cumsum, cumsum_sq = np.zeros(len(x) + 1), np.zeros(len(x) + 1)
    cumsum[1:], cumsum_sq[1:] = np.cumsum(x), np.cumsum(x**2)
    total, squares = cumsum[window:] - cumsum[:-window], cumsum_sq[window:] - cumsum_sq[:-window]
    literal = np.sqrt(np.clip((squares - total * (total / window)) / window, 0, None))
    np.testing.assert_allclose(F.rolling_std(x, window)[window - 1 :], literal, rtol=1e-12)


@pytest.mark.parametrize("make", [np.array, pd.Series, list], ids=["array", "series", "list"])
def test_rolling_extremes_count_infinities_as_missing_like_pandas(make):
    data = make([1.0, INF, 3.0, -INF, 2.0, 5.0])
    np.testing.assert_array_equal(F.rolling_max(data, 2), [NAN, NAN, NAN, NAN, NAN, 5.0])
    np.testing.assert_array_equal(F.rolling_min(data, 1), [1.0, NAN, 3.0, NAN, 2.0, 5.0])


# ---- consistency properties ----


@settings(max_examples=200, deadline=None)
@given(case=series_and_window())
def test_consistency_properties(case):
    values, window = case
    x = values.astype(np.float64)
    if window > len(x):
        return
    np.testing.assert_array_equal(F.rolling_wma(x, 1), x)
    np.testing.assert_array_equal(F.rolling_min(x, 1), np.where(np.isfinite(x), x, NAN))
    std = F.rolling_std(x, window)
    assert not np.any(std < 0)
    assert np.all(F.rolling_std(np.full(len(x), x[0] if np.isfinite(x[0]) else 3.0), window)[window - 1 :] == 0)
    low, high = F.rolling_min(x, window), F.rolling_max(x, window)
    assert not np.any(low > high)
