"""Backtest.sweep against the file route, vectorbt, one thread and np.cumsum.

On 100,000 hourly bars, in one run:
- the grid: rolling_zscore, 10 windows x 10 thresholds x 10 modes = 1,000
  combinations with threads=None, per combination against one np.cumsum of the
  closes (target: at most 2x);
- the file route on 10 of those combinations (indicator, positions, result
  file written, process_file, the five figures from its frame, no charts),
  per combination (target: at least 1,000x slower than the sweep); its figures
  are checked against the sweep's rows;
- vectorbt, warm (compiled on a small grid first), on 10 windows x 10
  thresholds of one mean-reverting rule: pandas z-scores per window,
  Portfolio.from_signals broadcast over the grid, then Sharpe ratio, annualised
  return and maximum drawdown, per combination against our sweep of the same
  subset with the rule "mr_0" (target: at least 100x);
- 1 thread against 2 on the whole grid (target: 2 threads at least 1.7x faster);
- the growth of ru_maxrss in a fresh process during the grid, after one
  warm-up sweep (target: below 64 bytes x bars x threads plus the report);
- the delay from Ctrl-C (SIGINT) to KeyboardInterrupt during a sweep (target:
  under half a second).

The peers come with the package's `bench` extra: pip install -e '.[bench]'.

    .venv/bin/python benchmarks/bench_sweep.py [bars]
"""

import math
import os
import signal
import statistics
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

import numpy as np
import pandas as pd

from Backtest import diagram, formula, sweep, tradecue

BARS = 100_000
MODES = ["mr", "mr_0", "momentum", "momentum_sideline", "0_sideline", "mr(sma)_sma", "cross-ema", "mr_wma",
         "momentum(ema)-l", "mr_sma-s"]
WINDOWS = [12, 24, 36, 48, 72, 96, 120, 168, 240, 336]
THRESHOLDS = [round(t, 3) for t in np.linspace(0.25, 2.5, 10)]


def hourly_prices(bars, seed=0):
    rng = np.random.default_rng(seed)
    close = 30_000 * np.exp(np.cumsum(rng.normal(0.0, 0.006, bars)))
    return pd.Series(close, index=pd.date_range("2015-01-01", periods=bars, freq="h"))


def best_seconds(call, repeat):
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        call()
        times.append(time.perf_counter() - start)
    return min(times)


def file_route(prices, window, threshold, mode, folder):
    """The road of today: indicator, positions, result file, process_file, the five figures."""
    frame = formula.rolling_zscore(pd.DataFrame({"data": prices.to_numpy()}), window)
    positions = tradecue.entry_exit_threshold(frame, window, threshold, mode)
    path = Path(folder) / "run.csv"
    sweep.write_result_file(path, prices, positions)
    total_pnl = diagram.process_file(str(path), 1.0, None, None)[["datetime", "new_pnl"]].drop_duplicates(
        subset=["datetime"]).drop(columns=["datetime"]).sum(axis=1)
    std = total_pnl.std()
    sr = total_pnl.mean() / std * np.sqrt(8760) if std != 0 else 0
    ar = total_pnl.mean() * 365 * 24
    mdd, recovery = diagram.calculate_drawdown_and_recovery(total_pnl.cumsum())
    cr = ar / abs(mdd) if mdd != 0 else float("inf")
    return {"SR": sr, "CR": cr, "MDD": mdd, "recovery_days": np.nan if recovery is None else recovery, "AR": ar}


def vectorbt_grid(close, windows, thresholds):
    import vectorbt as vbt

    z_by_window = {}
    for window in windows:
        mean = close.rolling(window).mean()
        z_by_window[window] = (close - mean) / close.rolling(window).std(ddof=0)
    columns = pd.MultiIndex.from_product([windows, thresholds], names=["window", "threshold"])
    z = pd.concat([z_by_window[window] for window, _ in columns], axis=1)
    z.columns = columns
    t = np.tile(thresholds, len(windows))
    portfolio = vbt.Portfolio.from_signals(close, entries=z.lt(-t), exits=z.gt(0), short_entries=z.gt(t),
                                           short_exits=z.lt(0), fees=0.0006, freq="1h")
    return portfolio.sharpe_ratio(), portfolio.annualized_return(), portfolio.max_drawdown()


MEMORY_SCRIPT = """
import resource, sys
import numpy as np, pandas as pd
sys.path.insert(0, {root!r})
from benchmarks.bench_sweep import hourly_prices, MODES, WINDOWS, THRESHOLDS
from Backtest import sweep
prices = hourly_prices({bars})
sweep.threshold_sweep(prices, WINDOWS, THRESHOLDS, MODES, progress=False)
before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
report = sweep.threshold_sweep(prices, WINDOWS, THRESHOLDS, MODES, progress=False)
after = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
print((after - before) * 1024, int(report.memory_usage(deep=True).sum()))
"""


def memory_growth(bars):
    """ru_maxrss growth (bytes) in a fresh process during a sweep after a warm-up one, and the report's size."""
    script = MEMORY_SCRIPT.format(root=str(Path(__file__).resolve().parents[1]), bars=bars)
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, check=True)
    growth, report = done.stdout.split()
    return int(growth), int(report)


def interrupt_delay(prices):
    """Seconds from SIGINT to KeyboardInterrupt, with the engine running."""
    sent = []

    def interrupt():
        sent.append(time.perf_counter())
        os.kill(os.getpid(), signal.SIGINT)

    timer = threading.Timer(0.5, interrupt)
    timer.start()
    try:
        sweep.threshold_sweep(prices, WINDOWS, np.linspace(0.1, 5.0, 20), progress=False)
    except KeyboardInterrupt:
        return time.perf_counter() - sent[0]
    finally:
        timer.cancel()
    raise RuntimeError("the sweep ended before the interrupt")


def main(bars=BARS):
    prices = hourly_prices(bars)
    close = prices.to_numpy()
    threads = len(os.sched_getaffinity(0))
    grid = len(WINDOWS) * len(THRESHOLDS) * len(MODES)

    sweep.threshold_sweep(prices, WINDOWS[:2], THRESHOLDS, MODES)  # warm
    report = sweep.threshold_sweep(prices, WINDOWS, THRESHOLDS, MODES, progress=False)
    ours = best_seconds(lambda: sweep.threshold_sweep(prices, WINDOWS, THRESHOLDS, MODES, progress=False), 3) / grid
    one_thread = best_seconds(
        lambda: sweep.threshold_sweep(prices, WINDOWS, THRESHOLDS, MODES, threads=1, progress=False), 3) / grid
    two_threads = best_seconds(
        lambda: sweep.threshold_sweep(prices, WINDOWS, THRESHOLDS, MODES, threads=2, progress=False), 3) / grid
    cumsum = best_seconds(lambda: np.cumsum(close), 50)

    picks = report.sample(10, random_state=1)
    with tempfile.TemporaryDirectory() as folder:
        start = time.perf_counter()
        routes = [file_route(prices, row.window, row.threshold, row.mode, folder) for row in picks.itertuples()]
        route = (time.perf_counter() - start) / len(picks)
    for row, figures in zip(picks.to_dict("records"), routes):
        for key, value in figures.items():
            assert row[key] == value or (math.isnan(row[key]) and math.isnan(value)) or \
                abs(row[key] - value) <= max(1e-12 * abs(value), 1e-15), (row, key, value)

    import vectorbt  # noqa: F401 - imported outside the timing

    vectorbt_grid(prices.iloc[:2_000], WINDOWS[:2], THRESHOLDS[:2])  # compiles its kernels
    peer = best_seconds(lambda: vectorbt_grid(prices, WINDOWS, THRESHOLDS), 1) / 100
    subset = best_seconds(lambda: sweep.threshold_sweep(prices, WINDOWS, THRESHOLDS, ["mr_0"], progress=False), 3) / 100

    growth, report_bytes = memory_growth(bars)
    bound = 64 * bars * threads + report_bytes
    delay = interrupt_delay(prices)

    print(f"Backtest.sweep, {bars:,} hourly bars, {grid:,} combinations, {threads} threads available")
    print(f"{'measure':<44}{'value':>14}{'target':>12}")
    rows = [
        ("sweep per combination / np.cumsum", f"{ours / cumsum:.2f}", "<= 2"),
        ("file route / sweep, per combination", f"{route / ours:,.0f}x", ">= 1000x"),
        ("vectorbt / sweep (100 combinations, mr_0)", f"{peer / subset:,.0f}x", ">= 100x"),
        ("1 thread / 2 threads", f"{one_thread / two_threads:.2f}x", ">= 1.7x"),
        ("ru_maxrss growth / bound", f"{growth / bound:.2f}", "< 1"),
        ("Ctrl-C to KeyboardInterrupt (s)", f"{delay:.3f}", "< 0.5"),
    ]
    for name, value, target in rows:
        print(f"{name:<44}{value:>14}{target:>12}")
    print(f"per combination: sweep {ours * 1e3:.3f} ms, np.cumsum {cumsum * 1e3:.3f} ms, file route "
          f"{route * 1e3:.0f} ms, vectorbt {peer * 1e3:.1f} ms (sweep of its subset {subset * 1e3:.3f} ms); "
          f"ru_maxrss growth {growth / 2**20:.1f} MiB of {bound / 2**20:.1f} MiB")


if __name__ == "__main__":
    main(*(int(arg) for arg in sys.argv[1:]))
