"""process_file against the straightforward pandas steps on a 1,000,000-row result file.

Two timings: the whole call (both read the same CSV file) and the part after
reading, from the filtered frame to the returned frame (both fed one in-memory
frame; for process_file its module's `pd.read_csv` hands that frame back).
np.cumsum over the close column is the one-pass yardstick.

    MPLBACKEND=Agg .venv/bin/python benchmarks/bench_diagram.py [rows] [runs]
"""

import statistics
import sys
import tempfile
import time
import types
from pathlib import Path

import numpy as np
import pandas as pd

from Backtest import diagram

HOUR_MS = 3_600_000
T0 = 1_600_000_000_000


def write_result_file(path, n, seed=0):
    rng = np.random.default_rng(seed)
    pd.DataFrame({
        "start_time": T0 + HOUR_MS * np.arange(n),
        "datetime": pd.date_range("2020-09-13 12:00", periods=n, freq="h").strftime("%Y-%m-%d %H:%M:%S"),
        "close": 10_000 + rng.standard_normal(n).cumsum(),
        "pos": rng.integers(-1, 2, n),
        "price_chg": rng.normal(0.0, 0.01, n),
    }).to_csv(path)


def pandas_after_reading(df, leverage):
    df = df.reset_index(drop=True)
    df.loc[:, "new_pos"] = df["pos"] * leverage
    df.loc[:, "new_trades"] = 0.0
    df.loc[1:, "new_trades"] = abs(df["new_pos"].iloc[1:].values - df["new_pos"].iloc[:-1].values)
    df.loc[:, "new_pnl"] = 0.0
    df.loc[1:, "new_pnl"] = (df["price_chg"].iloc[1:].values * df["new_pos"].iloc[:-1].values
                             - df["new_trades"].iloc[1:].values * 0.06 / 100)
    df.loc[:, "new_cumu"] = df["new_pnl"].cumsum()
    return df[["datetime", "new_pnl", "new_cumu", "close"]]


def pandas_process_file(file_path, leverage, start_time, end_time):
    df = pd.read_csv(file_path)
    if start_time is not None:
        df = df[df["start_time"] >= int(start_time.timestamp() * 1000)]
    if end_time is not None:
        df = df[df["start_time"] < int(end_time.timestamp() * 1000)]
    return pandas_after_reading(df, leverage)


def median_seconds(calls, runs):
    """Median time of each call; the calls take turns so that load on the machine hits all alike."""
    times = [[] for _ in calls]
    results = [None] * len(calls)
    for _ in range(runs):
        for k, call in enumerate(calls):
            results[k] = None  # the previous result is freed outside the timing
            start = time.perf_counter()
            result = call()
            times[k].append(time.perf_counter() - start)
            results[k] = result
    return [statistics.median(t) for t in times], results


def from_memory(frame, leverage):
    """process_file with the module's pd.read_csv handing back `frame`."""
    shim = types.SimpleNamespace(read_csv=lambda _path: frame, DataFrame=pd.DataFrame)
    bound, diagram.pd = diagram.pd, shim
    try:
        return diagram.process_file("in-memory", leverage, None, None)
    finally:
        diagram.pd = bound


def main(n=1_000_000, runs=7):
    leverage = 3
    with tempfile.TemporaryDirectory() as folder:
        path = str(Path(folder) / "result.csv")
        write_result_file(path, n)
        bounds = (pd.Timestamp(T0 + 500 * HOUR_MS, unit="ms", tz="UTC"),
                  pd.Timestamp(T0 + (n - 500) * HOUR_MS, unit="ms", tz="UTC"))
        (whole_ours, whole_base), (ours, base) = median_seconds(
            [lambda: diagram.process_file(path, leverage, *bounds),
             lambda: pandas_process_file(path, leverage, *bounds)], runs)
        pd.testing.assert_frame_equal(ours, base, check_exact=True)
        frame = pd.read_csv(path)

    close = frame["close"].to_numpy()
    (after_ours, after_base, yardstick), (ours, base, _) = median_seconds(
        [lambda: from_memory(frame, leverage), lambda: pandas_after_reading(frame, leverage), lambda: np.cumsum(close)],
        runs * 3)
    pd.testing.assert_frame_equal(ours, base, check_exact=True)

    print(f"process_file, {n:,} rows, median of {runs} runs (after reading: {runs * 3})")
    print(f"{'part':<16}{'ours ms':>10}{'pandas ms':>11}{'pandas/ours':>13}{'target':>10}")
    for part, ours_s, base_s, target in [("whole call", whole_ours, whole_base, ">= 0.91"),
                                         ("after reading", after_ours, after_base, ">= 5")]:
        print(f"{part:<16}{ours_s * 1e3:>10.2f}{base_s * 1e3:>11.2f}{base_s / ours_s:>13.2f}{target:>10}")
    print(f"{'np.cumsum(close)':<16}{yardstick * 1e3:>10.2f}   (after reading / cumsum: {after_ours / yardstick:.2f})")


if __name__ == "__main__":
    main(*(int(arg) for arg in sys.argv[1:]))
