"""Backtest.sweep on a Dask cluster against the same sweep on local threads.

8 instruments x 100,000 hourly bars x 1,000 combinations each (rolling_zscore,
10 windows x 10 thresholds x 10 modes), in one run:
- local: threshold_sweep(dict of instruments) on this machine's threads;
- cluster: the same call with client= a LocalCluster of 2 worker processes of
  one thread each (the machine's two cores either way), started outside the
  timing and warmed by one sweep;
- the overhead of the cluster, (cluster - local) / local (target: under 10 %),
  and per task, from Dask's task stream: wall time x worker threads less the
  time the tasks computed, over the tasks;
- np.cumsum of one instrument's closes, the one-pass yardstick, per combination;
- from these: the estimated wall time of 500 such instruments on 64 cores.

Dask comes with the package's `distributed` extra: pip install -e '.[distributed]'.

    .venv/bin/python benchmarks/bench_sweep_distributed.py [bars]
"""

import math
import sys
import time

import numpy as np
import pandas as pd
from distributed import Client, LocalCluster, get_task_stream

from Backtest import _cluster, sweep

INSTRUMENTS = 8
BARS = 100_000
MODES = ["mr", "mr_0", "momentum", "momentum_sideline", "0_sideline", "mr(sma)_sma", "cross-ema", "mr_wma",
         "momentum(ema)-l", "mr_sma-s"]
WINDOWS = [12, 24, 36, 48, 72, 96, 120, 168, 240, 336]
THRESHOLDS = [round(t, 3) for t in np.linspace(0.25, 2.5, 10)]
COMBINATIONS = len(MODES) * len(WINDOWS) * len(THRESHOLDS)
# the estimate's cluster
CORES, MANY = 64, 500


def instruments(bars):
    index = pd.date_range("2015-01-01", periods=bars, freq="h")
    return {f"I{k}": pd.Series(30_000 * np.exp(np.cumsum(np.random.default_rng(k).normal(0.0, 0.006, bars))),
                               index=index) for k in range(INSTRUMENTS)}


def best(call, repeat=2):
    times, result = [], None
    for _ in range(repeat):
        start = time.perf_counter()
        result = call()
        times.append(time.perf_counter() - start)
    return min(times), result


def main(bars):
    prices = instruments(bars)
    close = prices["I0"].to_numpy()
    cumsum = min(best(lambda: np.cumsum(close), 20)[0] for _ in range(3))

    def run(**kw):
        return sweep.threshold_sweep(prices, WINDOWS, THRESHOLDS, MODES, progress=False, **kw)

    run()  # warm
    local, expected = best(run)

    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None) as cluster, \
            Client(cluster) as client:
        run(client=client)  # warm: workers import the package and compile nothing more
        remote_times = []
        for _ in range(2):
            with get_task_stream(client) as stream:
                start = time.perf_counter()
                report = run(client=client)
                remote_times.append(time.perf_counter() - start)
            tasks = [r for r in stream.data if str(r["key"]).startswith("threshold_sweep-")]
            computed = sum(s["stop"] - s["start"] for r in tasks for s in r["startstops"] if s["action"] == "compute")
            if remote_times[-1] == min(remote_times):
                best_tasks, best_computed = tasks, computed
        remote = min(remote_times)
        slots = sum(client.nthreads().values())
    pd.testing.assert_frame_equal(report, expected, check_exact=True)  # the same report, bit for bit

    combinations = INSTRUMENTS * COMBINATIONS
    per_combination = best_computed / combinations  # one thread, the indicator included
    per_task = (remote * slots - best_computed) / len(best_tasks)
    overhead = (remote - local) / local

    work = sweep._Work(None, None, tuple(WINDOWS), "windows", len(MODES) * len(THRESHOLDS), 1)
    per_instrument = _cluster.units_per_task(work.seconds_per_unit(bars, 1), MANY * len(WINDOWS), CORES)
    many_tasks = MANY * math.ceil(len(WINDOWS) / per_instrument)
    estimate = (MANY * COMBINATIONS * per_combination + many_tasks * per_task) / CORES

    print(f"{INSTRUMENTS} instruments x {bars:,} bars x {COMBINATIONS:,} combinations; "
          f"cluster: {slots} worker processes x 1 thread, {len(best_tasks)} tasks")
    print(f"{'measure':58s} {'result':>12s} {'target':>10s}")
    print(f"{'local threads, wall time':58s} {local:11.2f}s")
    print(f"{'LocalCluster, wall time':58s} {remote:11.2f}s")
    print(f"{'cluster overhead, (cluster - local) / local':58s} {overhead:11.1%} {'< 10 %':>10s}")
    print(f"{'per task: wall x threads - computed, over the tasks':58s} {per_task * 1e3:9.1f} ms")
    print(f"{'task time computed (mean)':58s} {best_computed / len(best_tasks) * 1e3:9.1f} ms")
    print(f"{'one combination on one thread, indicator included':58s} {per_combination * 1e3:9.3f} ms")
    print(f"{'  / one np.cumsum of the closes':58s} {per_combination / cumsum:11.2f}")
    print(f"{'local wall per combination / np.cumsum':58s} {local / combinations / cumsum:11.2f}")
    print(f"estimate: {MANY} instruments x {COMBINATIONS:,} combinations on {CORES} cores, {many_tasks:,} tasks: "
          f"{estimate:.1f} s ({MANY * COMBINATIONS * per_combination / CORES:.1f} s of work per core + "
          f"{many_tasks * per_task / CORES:.2f} s of task overhead per core)")
    if overhead >= 0.10:
        print("the cluster's overhead is above its target")


if __name__ == "__main__":
    main(int(sys.argv[1]) if len(sys.argv) > 1 else BARS)
