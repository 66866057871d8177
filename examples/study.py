"""An end-to-end study on generated hourly prices.

The road of a typical study: sweep whole grids in memory with `sweep` (every
threshold mode of `tradecue` over windows and thresholds of a `formula`
indicator, then the band and MACD rules), print the best runs and save the
sweeps' heatmaps; then write strategy result files for the best few only and
report them with `diagram`: the sweep heatmap, the combined equity of the best
strategies, their correlation, the best run's chart and the correlation of
indicator features with the forward return.

Every figure is saved as PNG into the output folder (``out/`` unless
BACKTEST_DEMO_OUT says otherwise), next to the result files and correlation
tables. BACKTEST_DEMO_QUICK=1 runs a reduced grid.
"""

from __future__ import annotations

import os
import sys
import time
from pathlib import Path

import matplotlib

matplotlib.use("Agg")  # a batch study: figures go to files, never to a screen

import matplotlib.pyplot as plt
import numpy as np
import pandas as pd

from Backtest import diagram, formula, sweep, tradecue

OUT = Path(os.environ.get("BACKTEST_DEMO_OUT", "out"))
QUICK = os.environ.get("BACKTEST_DEMO_QUICK") == "1"

BARS = 24 * 365
MODES = ["mr", "mr_0", "momentum", "momentum_sideline"] if QUICK else None  # None: every threshold mode
WINDOWS = [24, 96] if QUICK else [12, 24, 36, 48, 72, 96, 120, 168, 240, 336]
THRESHOLDS = [1.0, 2.0] if QUICK else [0.25, 0.5, 0.75, 1.0, 1.25, 1.5, 1.75, 2.0, 2.5, 3.0]
BAND_WINDOWS = [20, 50] if QUICK else [10, 20, 30, 50, 100, 200]
MULTIPLIERS = [1.5, 2.0] if QUICK else [1.0, 1.5, 2.0, 2.5, 3.0]
MACD_WINDOWS = ([6, 12], [26], [9]) if QUICK else ([6, 8, 12, 16, 24], [20, 26, 34, 50, 72], [5, 9, 14])
BEST_COUNT = 3
HEATMAP_MODES = 4
MAX_LAG = 2 if QUICK else 6
HOUR_MS = 3_600_000


def generated_prices(bars: int, seed: int = 7) -> pd.DataFrame:
    """Hourly bars of a random walk whose drift and volatility drift slowly."""
    rng = np.random.default_rng(seed)
    hours = np.arange(bars)
    volatility = 0.006 * np.exp(0.3 * np.sin(hours / 500))
    drift = 0.0002 * np.sin(hours / 900)
    close = 30_000 * np.exp(np.cumsum(drift + volatility * rng.standard_normal(bars)))
    start_ms = int(pd.Timestamp("2024-01-01", tz="UTC").timestamp() * 1000)
    start_time = start_ms + hours * HOUR_MS
    stamps = pd.to_datetime(start_time, unit="ms", utc=True).strftime("%Y-%m-%d %H:%M:%S")
    return pd.DataFrame({"start_time": start_time, "datetime": stamps, "close": close})


class FigureFiles:
    """Stands in for plt.show under Agg: saves the open figures as PNG and closes them.

    The diagram functions show their figures but never save or close them.
    """

    def __init__(self) -> None:
        self.saved: list[Path] = []
        self.stem = "figure"
        self.count = 0

    def named(self, stem: str) -> "FigureFiles":
        self.stem, self.count = stem, 0
        return self

    def show(self) -> None:
        for number in plt.get_fignums():
            self.count += 1
            path = OUT / f"{self.stem}_{self.count}.png"
            plt.figure(number).savefig(path, dpi=72)
            self.saved.append(path)
        plt.close("all")

    def __enter__(self) -> "FigureFiles":
        return self

    def __exit__(self, *exc_info) -> None:
        self.show()  # anything left open by a call that failed half-way


def sweeps(prices: pd.DataFrame) -> dict[str, pd.DataFrame]:
    """The three grids in memory: one report row per combination."""
    began = time.perf_counter()
    reports = {
        "threshold": sweep.threshold_sweep(prices, WINDOWS, THRESHOLDS, MODES),
        "band": sweep.band_sweep(prices, BAND_WINDOWS, MULTIPLIERS),
        "macd": sweep.macd_sweep(prices, *MACD_WINDOWS),
    }
    counts = ", ".join(f"{kind} {len(report):,}" for kind, report in reports.items())
    print(f"sweep: {sum(len(r) for r in reports.values()):,} runs ({counts}) in {time.perf_counter() - began:.1f} s")
    return reports


def top_runs(reports: dict[str, pd.DataFrame]) -> pd.DataFrame:
    """The best runs by Sharpe ratio: BEST_COUNT threshold runs, the best band and the best MACD run."""
    picks = [reports["threshold"].nlargest(BEST_COUNT, "SR"), reports["band"].nlargest(1, "SR"),
             reports["macd"].nlargest(1, "SR")]
    return pd.concat(picks, ignore_index=True)


def run_name(run) -> str:
    if run.indicator == "calculate_macd":
        return f"macd_{run.short_window:.0f}_{run.long_window:.0f}_{run.signal_window:.0f}"
    if run.indicator == "rolling_bollinger_bands":
        return f"band_{run.mode}_w{run.window:.0f}_m{run.multiplier:g}"
    return f"{run.mode}_w{run.window:.0f}_t{run.threshold:g}"


def positions_of(prices: pd.DataFrame, run) -> list:
    """The run's positions as the generators give them, for its result file."""
    frame = pd.DataFrame({"data": prices["close"].to_numpy()})
    if run.indicator == "calculate_macd":
        frame = formula.calculate_macd(frame, int(run.short_window), int(run.long_window), int(run.signal_window))
        return tradecue.entry_exit_macd(frame, int(run.short_window), int(run.long_window))
    if run.indicator == "rolling_bollinger_bands":
        frame = formula.rolling_bollinger_bands(frame, int(run.window), run.multiplier)
        return tradecue.entry_exit_band(frame, int(run.window), run.mode)
    frame = getattr(formula, run.indicator)(frame, int(run.window))
    return tradecue.entry_exit_threshold(frame, int(run.window), run.threshold, run.mode)


def save(figure, name: str, saved: list) -> None:
    path = OUT / f"{name}.png"
    figure.savefig(path, dpi=72)
    saved.append(path)


def best_run_frame(path: Path) -> pd.DataFrame:
    processed = diagram.process_file(path, 1, None, None)
    cumu = processed["new_cumu"]
    return pd.DataFrame({"datetime": processed["datetime"], "cumu": cumu,
                         "close": processed["close"], "drawdown": cumu - cumu.cummax()})


def feature_table(prices: pd.DataFrame, path: Path) -> None:
    """Indicator features of the prices, for the custom target correlation."""
    frame = pd.DataFrame({"data": prices["close"].to_numpy()})
    features = prices[["start_time", "datetime", "close"]].copy()
    features["zscore_24"] = formula.rolling_zscore(frame, 24)["processed_data"].to_numpy()
    features["minmax_48"] = formula.rolling_minmax_normalize(frame, 48)["processed_data"].to_numpy()
    features["rsi_14"] = formula.rolling_rsi(frame, 14)["processed_data"].to_numpy()
    features["macd_histogram"] = formula.calculate_macd(frame, 12, 26)["Histogram"].to_numpy()
    bands = formula.rolling_bollinger_bands(frame, 20, 2)
    features["band_position"] = ((bands["data"] - bands["lower_band"])
                                 / (bands["upper_band"] - bands["lower_band"])).to_numpy()
    features.to_csv(path)  # with its index, read back without "Unnamed: 0"


def main() -> None:
    began = time.perf_counter()
    OUT.mkdir(parents=True, exist_ok=True)
    results_dir = OUT / "results"
    results_dir.mkdir(exist_ok=True)
    figures = FigureFiles()
    plt.switch_backend("Agg")  # resolve the backend before pyplot.show is replaced

    def show(*args, **kwargs):  # Agg only warns on show: the figures are saved instead
        figures.show()

    plt.show = show

    prices = generated_prices(BARS)
    print(f"prices: {len(prices)} hourly bars, close {prices['close'].iloc[0]:.0f} -> {prices['close'].iloc[-1]:.0f}")
    reports = sweeps(prices)
    best = top_runs(reports)
    best.insert(0, "name", [run_name(run) for run in best.itertuples(index=False)])
    columns = ["name", "SR", "CR", "MDD", "recovery_days", "AR", "trades", "final_cumu"]
    print(best[columns].to_string(index=False, float_format=lambda v: f"{v:.3f}"))

    for kind, report in reports.items():
        if "mode" in report.columns:
            # the modes of the best runs, one panel each
            modes = report.groupby("mode", sort=False)["SR"].max().nlargest(HEATMAP_MODES).index
            report = report[report["mode"].isin(modes)]
        save(sweep.plot_sweep(report, "SR"), f"sweep_{kind}", figures.saved)

    best["path"] = [results_dir / f"{name}.csv" for name in best["name"]]
    for run in best.itertuples(index=False):
        sweep.write_result_file(run.path, prices, positions_of(prices, run))

    threshold = reports["threshold"]
    best_mode = best.iloc[0]["mode"]
    report = threshold.loc[threshold["mode"] == best_mode, ["window", "threshold", "SR"]]
    report = report.set_axis(["param1", "param2", "SR"], axis=1)
    with figures.named(f"heatmap_{best_mode}"):
        diagram.plot_heatmap(report)

    strategies = {run.name: (str(run.path), 1) for run in best.itertuples(index=False)}
    with figures.named("combined_equity"):
        diagram.plot_combined_equity(strategies, None, None)
    with figures.named("strategy_correlation"), np.errstate(divide="ignore", invalid="ignore"):
        # every run starts at a cumulative return of 0, so its first growth rate is infinite
        diagram.plot_correlation(strategies, None, None)

    top = best.iloc[0]
    with figures.named("best_run"):
        diagram.plot_single_diagram(best_run_frame(top["path"]), report)

    features_path = OUT / "features.csv"
    feature_table(prices, features_path)
    with figures.named("forward_return_correlation"):
        diagram.plot_custom_correlation(str(features_path), str(OUT / "tables" / "forward_return"),
                                        lambda df: df["close"].pct_change().shift(-1), MAX_LAG)

    tables = sorted((OUT / "tables").glob("*.csv"))
    runs = sum(len(r) for r in reports.values())
    print(f"Study finished in {time.perf_counter() - began:.1f} s: {runs:,} runs swept; best {top['name']} "
          f"(SR {top['SR']:.2f}); {len(figures.saved)} figures, {len(best)} result files and "
          f"{len(tables)} correlation tables in {OUT}/")


if __name__ == "__main__":
    sys.exit(main())
