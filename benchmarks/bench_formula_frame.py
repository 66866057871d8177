"""The twelve frame-level functions of Backtest.formula against the straightforward
pandas steps on a 1,000,000-row frame.

The pandas version runs the same steps over plain NumPy/pandas primitives (prefix
sums, np.convolve, pandas rolling extremes, and the EMA recursion as a Python loop
over the values). np.cumsum of the data column is the one-pass yardstick. Each run
gets a fresh frame; medians are printed and the results of both are compared.

    .venv/bin/python benchmarks/bench_formula_frame.py [rows] [runs]
"""

import importlib.util
import statistics
import sys
import time
import types
from pathlib import Path

import numpy as np
import pandas as pd

from Backtest import formula

WINDOW = 20
MACD_WINDOWS = (5, 8, 9)  # a signal window that reaches past MACD's warm-up


def load_oracle():
    path = Path(__file__).resolve().parent.parent / "tests" / "test_formula_frame.py"
    spec = importlib.util.spec_from_file_location("frame_oracle", path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module.oracle


def rolling_sum(x, window):
    cumsum = np.cumsum(x)
    sums = cumsum[window - 1:] - np.concatenate(([0], cumsum[:-window]))
    return np.concatenate(([np.nan] * (window - 1), sums))


def window_sums(array, window):
    cumsum = np.zeros(len(array) + 1)
    cumsum[1:] = np.cumsum(array)
    return cumsum[window:] - cumsum[:-window]


def rolling_mean(array, rolling_window):
    array = np.nan_to_num(array, nan=0)
    if rolling_window > len(array):
        return np.full_like(array, np.nan)
    means = window_sums(array, rolling_window) / rolling_window
    return np.concatenate((np.full(rolling_window - 1, np.nan), means))


def rolling_ema(data, window):
    if window > len(data):
        return np.full_like(data, np.nan)
    multiplier = 2 / (window + 1)
    values = np.asarray(data, dtype=np.float64)
    ema_values = np.zeros_like(values)
    ema_values[window - 1] = np.mean(data[:window])
    for i in range(window, len(values)):
        ema_values[i] = (values[i] - ema_values[i - 1]) * multiplier + ema_values[i - 1]
    ema_values[:window - 1] = np.nan
    return ema_values


def rolling_wma(data, window):
    if window > len(data):
        return np.full_like(data, np.nan)
    weights = np.arange(1, window + 1)
    wma = np.convolve(data, weights[::-1], mode="valid") / weights.sum()
    return np.concatenate((np.full(window - 1, np.nan), wma))


def rolling_std(array, rolling_window):
    array = np.nan_to_num(array, nan=0)
    if rolling_window > len(array):
        return np.full_like(array, np.nan)
    sums = window_sums(array, rolling_window)
    variance = (window_sums(array**2, rolling_window) - sums * (sums / rolling_window)) / rolling_window
    deviation = np.sqrt(np.clip(variance, 0, None))
    return np.concatenate((np.full(rolling_window - 1, np.nan), deviation))


PLAIN_PRIMITIVES = types.SimpleNamespace(
    rolling_sum=rolling_sum,
    rolling_mean=rolling_mean,
    rolling_ema=rolling_ema,
    rolling_wma=rolling_wma,
    rolling_std=rolling_std,
    rolling_min=lambda array, w: pd.Series(array).rolling(w).min().to_numpy(),
    rolling_max=lambda array, w: pd.Series(array).rolling(w).max().to_numpy(),
)

ARGUMENTS = {"rolling_bollinger_bands": (WINDOW, 2.0), "calculate_macd": MACD_WINDOWS}
NAMES = [
    "rolling_mean_normalize", "rolling_minmax_normalize", "rolling_zscore", "rolling_zscore_mean",
    "rolling_tanh_estimator", "rolling_sigmoid_zscore", "rolling_sigmoid", "rolling_softmax",
    "rolling_l1_normalization", "rolling_rsi", "rolling_bollinger_bands", "calculate_macd",
]


def median_seconds(calls, data, runs):
    """The median time of each call and its last result; the calls take turns,
    each on a fresh frame, so that they meet the same load of the machine."""
    times = [[] for _ in calls]
    results = [None] * len(calls)
    for _ in range(runs):
        for k, call in enumerate(calls):
            df = pd.DataFrame({"data": data})
            start = time.perf_counter()
            results[k] = call(df)
            times[k].append(time.perf_counter() - start)
    return [statistics.median(t) for t in times], results


def assert_same_results(ours, expected, name):
    assert list(ours.columns) == list(expected.columns), name
    for column in ours.columns:
        # the deviation is computed stably by our kernel, from prefix sums by the plain steps
        np.testing.assert_allclose(ours[column], expected[column], rtol=1e-9, atol=1e-10, equal_nan=True,
                                   err_msg=f"{name}: {column}")


def main(n=1_000_000, runs=7):
    data = np.random.default_rng(0).standard_normal(n)
    plain = load_oracle()(PLAIN_PRIMITIVES)
    print(f"{n:,} rows, window {WINDOW}, MACD windows {MACD_WINDOWS}, median of {runs} runs")
    print(f"{'function':<26}{'ours ms':>9}{'pandas ms':>11}{'cumsum ms':>11}{'pandas/ours':>13}{'ours/cumsum':>13}")
    smallest = np.inf
    for name in NAMES:
        args = ARGUMENTS.get(name, (WINDOW,))
        with np.errstate(all="ignore"):
            (ours, theirs, cumsum), (our_frame, their_frame, _) = median_seconds(
                [lambda df: getattr(formula, name)(df, *args), lambda df: getattr(plain, name)(df, *args),
                 lambda df: np.cumsum(df["data"])], data, runs)
        assert_same_results(our_frame, their_frame, name)
        smallest = min(smallest, theirs / ours)
        print(f"{name:<26}{ours * 1e3:>9.2f}{theirs * 1e3:>11.2f}{cumsum * 1e3:>11.2f}"
              f"{theirs / ours:>12.1f}x{ours / cumsum:>12.2f}x")
    print(f"smallest speed-up over pandas: {smallest:.1f}x (target: at least 3x)")


if __name__ == "__main__":
    main(*(int(arg) for arg in sys.argv[1:]))
