"""An end-to-end study on generated hourly prices.

The road of a typical study: normalise prices with `formula`, sweep the
threshold rules of `tradecue` over windows and thresholds, turn every position
series into a strategy result file, then report with `diagram`: the sweep
heatmap, the combined equity of the best strategies, their correlation, the
best run's chart and the correlation of indicator features with the forward
return.

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

from Backtest import diagram, formula, tradecue

OUT = Path(os.environ.get("BACKTEST_DEMO_OUT", "out"))
QUICK = os.environ.get("BACKTEST_DEMO_QUICK") == "1"

BARS = 24 * 365
MODES = ["mr", "momentum"] if QUICK else ["mr", "mr_0", "momentum", "momentum_sideline"]
WINDOWS = [24, 96] if QUICK else [24, 48, 96, 168, 336]
THRESHOLDS = [1.0, 2.0] if QUICK else [0.5, 1.0, 1.5, 2.0, 2.5]
BEST_COUNT = 3
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


def write_result_file(prices: pd.DataFrame, positions: list, path: Path) -> None:
    """The caller-side backtest: one row per bar with the position held in it."""
    pos = pd.Series(positions[: len(prices)], dtype="float64").fillna(0.0)
    result = prices[["start_time", "datetime", "close"]].copy()
    result["pos"] = pos.to_numpy()
    result["price_chg"] = prices["close"].pct_change().fillna(0.0)
    result.to_csv(path, index=False)


def sharpe_ratio(path: Path) -> float:
    pnl = diagram.process_file(path, 1, None, None)["new_pnl"]
    deviation = pnl.std()
    return float(pnl.mean() / deviation * np.sqrt(8760)) if deviation else 0.0


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


def sweep(prices: pd.DataFrame, results_dir: Path) -> pd.DataFrame:
    runs = []
    total = len(MODES) * len(WINDOWS) * len(THRESHOLDS)
    frame = pd.DataFrame({"data": prices["close"].to_numpy()})
    for window in WINDOWS:
        formula.rolling_zscore(frame, window)
        for mode in MODES:
            for threshold in THRESHOLDS:
                positions = tradecue.entry_exit_threshold(frame, window, threshold, mode)
                name = f"{mode}_w{window}_t{threshold:g}"
                path = results_dir / f"{name}.csv"
                write_result_file(prices, positions, path)
                runs.append({"name": name, "mode": mode, "param1": window, "param2": threshold,
                             "SR": sharpe_ratio(path), "path": path})
                print(f"\rsweep: {len(runs)}/{total} runs", end="", flush=True)
    print()
    return pd.DataFrame(runs)


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
    runs = sweep(prices, results_dir)

    best_mode = runs.groupby("mode")["SR"].max().idxmax()
    report = runs.loc[runs["mode"] == best_mode, ["param1", "param2", "SR"]]
    with figures.named(f"heatmap_{best_mode}"):
        diagram.plot_heatmap(report)

    best = runs.sort_values("SR", ascending=False).head(BEST_COUNT)
    strategies = {row.name: (str(row.path), 1) for row in best.itertuples(index=False)}
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
    print(f"Study finished in {time.perf_counter() - began:.1f} s: {len(runs)} runs over {len(MODES)} modes; "
          f"best {top['name']} (SR {top['SR']:.2f}); {len(figures.saved)} figures, {len(runs)} result files and "
          f"{len(tables)} correlation tables in {OUT}/")


if __name__ == "__main__":
    sys.exit(main())
