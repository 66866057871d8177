"""The seven rolling primitives of Backtest.formula against the straightforward
NumPy/pandas versions, on 1,000,000 float64 values (a random walk) and window 50.

Baselines: prefix-sum differences of np.cumsum (sum; mean after np.nan_to_num),
np.convolve with the reversed weights (wma), prefix sums of values and squares
(std), pandas' rolling min/max, and for the EMA pandas' ewm(adjust=False) started
at the simple-mean seed (the vectorised form of the recursion; the Python loop is
not used). np.cumsum of the same array is the one-pass yardstick. Each run times
the yardstick, ours and the baseline one after the other, so that load on the
machine hits all three alike; medians are printed, and every result is checked
against its baseline.

    .venv/bin/python benchmarks/bench_formula_primitives.py [runs]
"""

import statistics
import sys
import time

import numpy as np
import pandas as pd

from Backtest import formula

N = 1_000_000
WINDOW = 50


def baseline_sum(x, window):
    cumsum = np.cumsum(x)
    sums = cumsum[window - 1 :] - np.concatenate(([0], cumsum[:-window]))
    return np.concatenate(([np.nan] * (window - 1), sums))


def window_sums(values, window):
    cumsum = np.zeros(len(values) + 1)
    cumsum[1:] = np.cumsum(values)
    return cumsum[window:] - cumsum[:-window]


def baseline_mean(array, window):
    array = np.nan_to_num(array, nan=0)
    return np.concatenate((np.full(window - 1, np.nan), window_sums(array, window) / window))


def baseline_ema(data, window):
    seeded = data[window - 1 :].copy()
    seeded[0] = np.mean(data[:window])
    ema = pd.Series(seeded).ewm(alpha=2 / (window + 1), adjust=False).mean().to_numpy()
    return np.concatenate((np.full(window - 1, np.nan), ema))


def baseline_wma(data, window):
    weights = np.arange(1, window + 1)
    wma = np.convolve(data, weights[::-1], mode="valid") / weights.sum()
    return np.concatenate((np.full(window - 1, np.nan), wma))


def baseline_std(array, window):
    array = np.nan_to_num(array, nan=0)
    sums = window_sums(array, window)
    squares = window_sums(array**2, window)
    variance = np.clip((squares - sums * (sums / window)) / window, 0, None)
    return np.concatenate((np.full(window - 1, np.nan), np.sqrt(variance)))


def baseline_min(array, window):
    return pd.Series(array).rolling(window).min().to_numpy()


def baseline_max(array, window):
    return pd.Series(array).rolling(window).max().to_numpy()


def exact(ours, theirs):
    np.testing.assert_array_equal(ours, theirs)


def close(rtol, atol=0.0):
    return lambda ours, theirs: np.testing.assert_allclose(ours, theirs, rtol=rtol, atol=atol)


# name, baseline, check, target (ours / cumsum at most), pandas factor (baseline / ours at least)
CASES = [
    ("rolling_sum", baseline_sum, exact, 2, None),
    ("rolling_mean", baseline_mean, exact, 2, None),
    ("rolling_ema", baseline_ema, close(1e-12, 1e-9), 3, None),
    ("rolling_wma", baseline_wma, close(1e-12, 1e-9), 2, None),
    # the prefix-sum baseline itself is only accurate to ~1e-6 at this walk's level
    ("rolling_std", baseline_std, close(1e-4, 1e-6), 3, None),
    ("rolling_min", baseline_min, exact, 4, 2),
    ("rolling_max", baseline_max, exact, 4, 2),
]


def seconds(function, *args):
    start = time.perf_counter()
    function(*args)
    return time.perf_counter() - start


def measure(name, baseline, x, runs):
    ours, theirs, yardstick = [], [], []
    for _ in range(runs):
        yardstick.append(seconds(np.cumsum, x))
        ours.append(seconds(getattr(formula, name), x, WINDOW))
        theirs.append(seconds(baseline, x, WINDOW))
    return statistics.median(ours), statistics.median(theirs), statistics.median(yardstick)


def main():
    runs = int(sys.argv[1]) if len(sys.argv) > 1 else 21
    x = np.cumsum(np.random.default_rng(2024).standard_normal(N))
    print(f"n = {N:,} float64, window {WINDOW}, median of {runs} runs (ms)")
    header = f"{'primitive':<13}{'ours':>8}{'baseline':>10}{'cumsum':>8}{'ours/cumsum':>13}{'target':>8}{'baseline/ours':>15}"
    print(header)
    missed = []
    for name, baseline, check, target, pandas_factor in CASES:
        check(getattr(formula, name)(x, WINDOW), baseline(x, WINDOW))
        ours, theirs, yardstick = measure(name, baseline, x, runs)
        ratio, speedup = ours / yardstick, theirs / ours
        met = ratio <= target and (pandas_factor is None or speedup >= pandas_factor)
        goal = f"<={target}x" + (f", >={pandas_factor}x" if pandas_factor else "")
        print(f"{name:<13}{ours * 1e3:8.2f}{theirs * 1e3:10.2f}{yardstick * 1e3:8.2f}{ratio:13.2f}"
              f"{'<=' + str(target) + 'x':>8}{speedup:15.2f}  {'met' if met else 'MISSED'} ({goal})")
        if not met:
            missed.append(name)
    if missed:
        print("targets missed:", ", ".join(missed))


if __name__ == "__main__":
    main()
