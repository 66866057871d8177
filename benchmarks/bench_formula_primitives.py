"""The seven rolling primitives of Backtest.formula against the straightforward
NumPy/pandas versions and against the peers TA-Lib and bottleneck, on random
walks of 100,000 and 1,000,000 float64 values and windows 14, 50 and 200.

Baselines: prefix-sum differences of np.cumsum (sum; mean after np.nan_to_num),
np.convolve with the reversed weights (wma), prefix sums of values and squares
(std), pandas' rolling min/max, and for the EMA pandas' ewm(adjust=False) started
at the simple-mean seed (the vectorised form of the recursion). Peers: TA-Lib's
SUM, SMA, EMA, WMA, STDDEV (factor 1), MIN and MAX, and bottleneck's move_sum,
move_mean, move_std, move_min and move_max, whose definitions coincide with
ours on finite data; each is timed on the array and on the Series that ours
gets. np.cumsum of the same array is the one-pass yardstick. Each run times
the yardstick and every contender one after the other, so that load on the
machine hits all alike; each run makes 2e6 / n calls in a row, and the best
runs are printed (the EMA's median), and every result is checked
against the baseline and the peers first. The extremes also run on rising
and falling series, the worst cases of the peers' methods. A last table
times calls on 1,000 values, where the per-call overhead rules, and a last one
calls on a million values fresh from memory.

BACKTEST_SIMD=sse2|avx2|avx512 times one instruction-set path of ours.

The peers come with the package's `bench` extra (pip install -e '.[bench]');
without them the script stops with an error rather than skip a comparison.

    .venv/bin/python benchmarks/bench_formula_primitives.py [runs]
"""

import statistics
import sys
import time

import numpy as np
import pandas as pd

from Backtest import formula

try:
    import bottleneck
    import talib
except ImportError as error:  # no comparison is skipped silently
    raise SystemExit(f"{error}: install the peers with pip install -e '.[bench]'") from error

SIZES = [100_000, 1_000_000]
WINDOWS = [14, 50, 200]


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


# The prefix-sum formulas and the peers' running totals carry the walk's level
# in their errors (about 1e-9 of the walk's range at this length); ours does not.
RUNNING_TOTALS = close(1e-9, 1e-6)

# name, baseline, peers {label: function(x, window)}, check, target (ours / cumsum at most),
# pandas factor (baseline / ours at least)
CASES = [
    ("rolling_sum", baseline_sum, {"TA-Lib": talib.SUM, "bottleneck": bottleneck.move_sum}, RUNNING_TOTALS, 2, None),
    ("rolling_mean", baseline_mean, {"TA-Lib": talib.SMA, "bottleneck": bottleneck.move_mean}, RUNNING_TOTALS, 2,
     None),
    ("rolling_ema", baseline_ema, {"TA-Lib": talib.EMA}, close(1e-12, 1e-9), 3, None),
    ("rolling_wma", baseline_wma, {"TA-Lib": talib.WMA}, close(1e-12, 1e-9), 2, None),
    # the prefix-sum baseline itself is only accurate to ~1e-6 at this walk's level
    ("rolling_std", baseline_std,
     {"TA-Lib": lambda x, w: talib.STDDEV(x, w, 1), "bottleneck": bottleneck.move_std}, close(1e-4, 1e-6), 3, None),
    ("rolling_min", baseline_min, {"TA-Lib": talib.MIN, "bottleneck": bottleneck.move_min}, exact, 4, 2),
    ("rolling_max", baseline_max, {"TA-Lib": talib.MAX, "bottleneck": bottleneck.move_max}, exact, 4, 2),
]


def seconds(function, args, calls):
    """Seconds per call over `calls` calls in a row: each call's result is freed
    before the next, so that every contender reuses its memory as a loop in a
    user's script would, whatever the contender before it left behind."""
    start = time.perf_counter()
    for _ in range(calls):
        function(*args)
    return (time.perf_counter() - start) / calls


def measure(contenders, runs, summary=min, calls=1):
    """Seconds per call of each (label, function, args), timed in turn within
    each run: the best run, what the function costs when nothing else on the
    machine gets in its way (single calls here moved by 30 % and more from run
    to run, mostly with the page faults of fresh output memory)."""
    times = {label: [] for label, _, _ in contenders}
    for _ in range(runs):
        for label, function, args in contenders:
            times[label].append(seconds(function, args, calls))
    return {label: summary(values) for label, values in times.items()}


# The EMA is a latency-bound recursion whose time varies little but whose
# ratio is close to 1: it gets more runs, and its goal is set on their median.
EMA_RUNS = 21

PEERS = ["TA-Lib", "bottleneck"]


def ratios(t, prefix):
    """Each peer's time over ours, for the input kind `prefix` ('' or 'Series ')."""
    return {peer: t[prefix + peer] / t[prefix + "ours"] for peer in PEERS if prefix + peer in t}


def row(name, n, window, t, shape="walk"):
    """One printed line: times, ratios to the yardstick and pandas, and to each
    peer for the array and for the Series; the peers' misses (below 1) listed."""
    array, series = ratios(t, ""), ratios(t, "Series ")
    peers = "".join(f"{array[p]:8.2f}{series[p]:8.2f}" if p in array else f"{'-':>8}{'-':>8}" for p in PEERS)
    missed = [f"{p}{' (Series)' if kind else ''}" for kind, got in ((0, array), (1, series))
              for p, ratio in got.items() if ratio < 1.0]
    print(f"{name:<13}{shape:<8}{n:>10,}{window:>5}{t['ours'] * 1e3:9.3f}{t['Series ours'] / t['ours']:8.2f}"
          f"{t['ours'] / t['cumsum']:8.2f}{t['baseline'] / t['ours']:9.2f}{peers}"
          f"  {'behind ' + ', '.join(missed) if missed else 'ahead'}")
    return [f"{name} {shape} n={n} w={window} vs {m}" for m in missed]


def shapes(n):
    walk = np.cumsum(np.random.default_rng(2024).standard_normal(n))
    yield "walk", walk
    # the extremes' worst cases for a deque or a rescan
    yield "rising", np.arange(n, dtype=float)
    yield "falling", np.arange(n, 0, -1, dtype=float)


def main():
    runs = int(sys.argv[1]) if len(sys.argv) > 1 else 11
    print(f"best of {runs} runs (rolling_ema: median of {EMA_RUNS}) of 2e6 / n calls in a row; times in ms per call,"
          " ratios of times")
    print("Series: ours on a Series over ours on the array; peers: their time over ours, array then Series input")
    print(f"{'primitive':<13}{'data':<8}{'n':>10}{'w':>5}{'ours':>9}{'Series':>8}{'/cumsum':>8}{'pandas/':>9}"
          + "".join(f"{peer + '/ours':>16}" for peer in PEERS))
    missed = []
    for n in SIZES:
        for shape, x in shapes(n):
            series = pd.Series(x)
            for name, baseline, functions, check, target, pandas_factor in CASES:
                if shape != "walk" and name not in ("rolling_min", "rolling_max"):
                    continue
                ours = getattr(formula, name)
                for window in WINDOWS:
                    result = ours(x, window)
                    check(result, baseline(x, window))
                    np.testing.assert_array_equal(ours(series, window), result)
                    for peer in functions.values():
                        check(result, peer(x, window))
                    contenders = [("cumsum", np.cumsum, (x,)), ("ours", ours, (x, window)),
                                  ("Series ours", ours, (series, window)), ("baseline", baseline, (x, window))]
                    for label, peer in functions.items():
                        contenders += [(label, peer, (x, window)), ("Series " + label, peer, (series, window))]
                    ema = name == "rolling_ema"
                    t = measure(contenders, EMA_RUNS if ema else runs, statistics.median if ema else min,
                                calls=max(1, 2_000_000 // n))
                    missed += row(name, n, window, t, shape)
    small(runs)
    from_memory(runs)
    if missed:
        print("behind a peer:", "; ".join(missed))


def small(runs, n=1_000, repeat=200):
    """Per-call overhead: n = 1,000 (four years of daily bars), each primitive on
    a Series against the same call on the array (target: at most 2x)."""
    x = np.cumsum(np.random.default_rng(5).standard_normal(n))
    series = pd.Series(x)
    print(f"\nsmall input, n = {n:,}: microseconds per call (best of {runs} runs of {repeat} calls)")
    print(f"{'primitive':<13}{'array':>9}{'Series':>9}{'Series/array':>14}{'TA-Lib':>9}{'bottleneck':>12}")
    for name, _, functions, *_ in CASES:
        ours = getattr(formula, name)

        def per_call(function, arg):
            best = np.inf
            for _ in range(runs):
                start = time.perf_counter()
                for _ in range(repeat):
                    function(arg, 14)
                best = min(best, (time.perf_counter() - start) / repeat)
            return best * 1e6

        array, on_series = per_call(ours, x), per_call(ours, series)
        peers = [per_call(functions[p], x) if p in functions else None for p in PEERS]
        print(f"{name:<13}{array:9.2f}{on_series:9.2f}{on_series / array:13.2f}x"
              + "".join(f"{v:9.2f}" if v is not None else f"{'-':>9}" for v in peers[:1])
              + (f"{peers[1]:12.2f}" if peers[1] is not None else f"{'-':>12}")
              + ("" if on_series <= 2 * array else "  MISSED (Series at most 2x the array)"))


def from_memory(runs, n=1_000_000):
    """The walk of 1,000,000 values fresh from memory, as a first call on a large
    series meets it: the caches are flushed by reading 64 MB before each timed
    call. Not a target: the table above times calls in a row, where the series
    and the output memory a contender reuses stay in the processor's cache."""
    x = np.cumsum(np.random.default_rng(2024).standard_normal(n))
    flush = np.ones(8_000_000)
    print(f"\nfrom memory, n = {n:,}: ms per call, caches flushed before each (best of {runs}); peers' time over ours")
    print(f"{'primitive':<13}{'w':>5}{'ours':>9}" + "".join(f"{peer + '/ours':>16}" for peer in PEERS))
    for name, _, functions, *_ in CASES:
        contenders = {"ours": getattr(formula, name), **functions}
        for window in WINDOWS:
            best = dict.fromkeys(contenders, np.inf)
            for _ in range(runs):
                for label, function in contenders.items():
                    flush.sum()
                    start = time.perf_counter()
                    function(x, window)
                    best[label] = min(best[label], time.perf_counter() - start)
            print(f"{name:<13}{window:>5}{best['ours'] * 1e3:9.3f}"
                  + "".join(f"{best[p] / best['ours']:16.2f}" if p in best else f"{'-':>16}" for p in PEERS))


if __name__ == "__main__":
    main()
