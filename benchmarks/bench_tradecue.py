"""Position generators of Backtest.tradecue against the straightforward Python loop and np.cumsum.

Ours runs on 1,000,000 rows with the list included; the Python loop, which is
slow, on the first 100,000 rows, compared per row. np.cumsum over the compared
column is the one-pass yardstick. Targets: at least 100x faster per row than
the loop, at most 5x the time of np.cumsum.
"""

import time

import numpy as np
import pandas as pd

import Backtest.formula as formula
from Backtest import tradecue

ROWS = 1_000_000
LOOP_ROWS = 100_000
WINDOW = 20
THRESHOLD = 0.5


def best_seconds(calls, repeat):
    """Best time of each call; the calls take turns so that a busy machine slows
    all alike, and the best run is what a call costs when nothing else gets in
    its way (medians moved by a third from run to run on a shared machine)."""
    times = [[] for _ in calls]
    for _ in range(repeat):
        for call, spent in zip(calls, times):
            start = time.perf_counter()
            call()
            spent.append(time.perf_counter() - start)
    return [min(spent) for spent in times]


# Each baseline is the rule written out as a plain Python loop over the rows.

def mr(df, w, t):
    s = df["processed_data"].values
    position = [0.0] * w
    for i in range(w, len(df)):
        if s[i] < -t:
            position.append(1)
        elif s[i] > t:
            position.append(-1)
        else:
            position.append(position[-1])
    return position


def mr_0(df, w, t):
    s = df["processed_data"].values
    position = [0.0] * w
    for i in range(w, len(df)):
        if s[i] < -t:
            position.append(1)
        elif s[i] > t:
            position.append(-1)
        elif (s[i] >= 0 and position[-1] == 1) or (s[i] <= 0 and position[-1] == -1):
            position.append(0)
        else:
            position.append(position[-1])
    return position


def momentum_sideline(df, w, t):
    s = df["processed_data"].values
    position = [0.0] * w
    for i in range(w, len(df)):
        if s[i] < -t:
            position.append(-1)
        elif s[i] > t:
            position.append(1)
        elif (s[i] <= t and position[-1] == 1) or (s[i] >= -t and position[-1] == -1):
            position.append(0)
        else:
            position.append(position[-1])
    return position


def zero_sideline(df, w, t):
    s = df["processed_data"].values
    position = [0.0] * w
    for i in range(w, len(df)):
        if s[i] > 0 and s[i] < t:
            position.append(1)
        elif s[i] < 0 and s[i] > -t:
            position.append(-1)
        elif (s[i] >= t and position[-1] == 1) or (s[i] <= -t and position[-1] == -1):
            position.append(0)
        else:
            position.append(position[-1])
    return position


def mr_ema_ema(df, w, t):
    df["processed_ema"] = formula.rolling_ema(df["processed_data"], w)
    s, m = df["processed_data"].values, df["processed_ema"].values
    position = [0.0] * w
    for i in range(w, len(df)):
        if m[i] > 0:
            upper, lower = m[i] * (1 + t), m[i] * (1 - t)
        else:
            upper, lower = m[i] * (1 - t), m[i] * (1 + t)
        if s[i] > upper:
            position.append(-1)
        elif s[i] < lower:
            position.append(1)
        else:
            position.append(position[-1])
    return position


def momentum_sma(df, w, t):
    df["processed_sma"] = formula.rolling_mean(df["processed_data"], w)
    s, m = df["processed_data"].values, df["processed_sma"].values
    position = [0.0] * w
    for i in range(w, len(df)):
        if s[i] < -t:
            position.append(-1)
        elif s[i] > t:
            position.append(1)
        elif (s[i] <= m[i] and position[-1] == 1) or (s[i] >= m[i] and position[-1] == -1):
            position.append(0)
        else:
            position.append(position[-1])
    return position


def cross_wma(df, w, t):
    df["processed_wma"] = formula.rolling_wma(df["processed_data"], w)
    s, m = df["processed_data"].values, df["processed_wma"].values
    position = [0.0] * w
    for i in range(w, len(df)):
        if s[i] > m[i]:
            position.append(1)
        elif s[i] < m[i]:
            position.append(-1)
        else:
            position.append(position[-1])
    return position


def mr_0_long(df, w, t):
    s = df["processed_data"].values
    position = [0.0] * w
    for i in range(w, len(df)):
        if s[i] < -t:
            position.append(1)
        elif s[i] >= 0 and position[-1] == 1:
            position.append(0)
        else:
            position.append(position[-1])
    return position


def band_mr_sma(df, w):
    d, upper, lower, m = (df[c].values for c in ("data", "upper_band", "lower_band", "sma"))
    position = [np.nan] * w
    for i in range(w, len(df)):
        if d[i] < lower[i]:
            position.append(1)
        elif d[i] > upper[i]:
            position.append(-1)
        elif (d[i] >= m[i] and position[-1] == 1) or (d[i] <= m[i] and position[-1] == -1):
            position.append(0)
        else:
            position.append(position[-1])
    return position


def band_zero_sideline(df, w):
    d, upper, lower = (df[c].values for c in ("data", "upper_band", "lower_band"))
    position = [np.nan] * w
    for i in range(w, len(df)):
        if d[i] > 0 and d[i] < upper[i]:
            position.append(1)
        elif d[i] < 0 and d[i] > lower[i]:
            position.append(-1)
        elif (d[i] >= upper[i] and position[-1] == 1) or (d[i] <= lower[i] and position[-1] == -1):
            position.append(0)
        else:
            position.append(position[-1])
    return position


def macd(df, w):
    m, s = df["MACD"].values, df["Signal"].values
    position = [np.nan] * w
    for i in range(w, len(df)):
        if m[i] >= s[i]:
            position.append(1)
        elif m[i] <= s[i]:
            position.append(-1)
        else:
            position.append(position[-1])
    return position


def same_entries(ours, baseline):
    return len(ours) == len(baseline) and all(
        type(a) is type(b) and (a == b or (a != a and b != b)) for a, b in zip(ours, baseline))


def frames(rng):
    signal = np.round(rng.normal(0, 1, ROWS), 2)  # rounding makes ties with the levels
    threshold_frame = pd.DataFrame({"processed_data": signal})
    walk = 100 + np.cumsum(rng.normal(0, 1, ROWS))
    band_frame = pd.DataFrame({"data": walk - 100})
    band_frame["sma"] = formula.rolling_mean(band_frame["data"], WINDOW)
    band_frame["ema"] = formula.rolling_ema(band_frame["data"], WINDOW)
    band_frame["wma"] = formula.rolling_wma(band_frame["data"], WINDOW)
    deviation = formula.rolling_std(band_frame["data"], WINDOW)
    band_frame["upper_band"] = band_frame["sma"] + 2 * deviation
    band_frame["lower_band"] = band_frame["sma"] - 2 * deviation
    macd_frame = pd.DataFrame({"data": walk})
    macd_frame["MACD"] = formula.rolling_ema(walk, 12) - formula.rolling_ema(walk, 26)
    macd_frame["Signal"] = formula.rolling_ema(pd.Series(macd_frame["MACD"]), 9)
    return threshold_frame, band_frame, macd_frame


def main():
    threshold_frame, band_frame, macd_frame = frames(np.random.default_rng(0))
    cases = [(f"threshold {mode}", threshold_frame, "processed_data",
              lambda df, mode=mode: tradecue.entry_exit_threshold(df, WINDOW, THRESHOLD, mode),
              lambda df, baseline=baseline: baseline(df, WINDOW, THRESHOLD))
             for mode, baseline in [("mr", mr), ("mr_0", mr_0), ("momentum_sideline", momentum_sideline),
                                    ("0_sideline", zero_sideline), ("mr(ema)_ema", mr_ema_ema),
                                    ("momentum_sma", momentum_sma), ("cross-wma", cross_wma),
                                    ("mr_0-l", mr_0_long)]]
    cases += [(f"band {mode}", band_frame, "data", lambda df, mode=mode: tradecue.entry_exit_band(df, WINDOW, mode),
               lambda df, baseline=baseline: baseline(df, WINDOW))
              for mode, baseline in [("mr_sma", band_mr_sma), ("0_sideline", band_zero_sideline)]]
    cases.append(("macd", macd_frame, "MACD", lambda df: tradecue.entry_exit_macd(df, 12, 26),
                  lambda df: macd(df, 26)))

    print(f"{'generator':<30}{'ours 1M (ms)':>14}{'loop 100k (ms)':>16}{'per row x':>11}{'cumsum (ms)':>13}"
          f"{'/ cumsum':>10}")
    for name, df, column, ours, baseline in cases:
        part = df.iloc[:LOOP_ROWS].copy()
        assert same_entries(ours(part), baseline(part.copy())), name
        values = df[column].values
        ours_seconds, loop_seconds, cumsum_seconds = best_seconds(
            [lambda: ours(df), lambda: baseline(part), lambda: np.cumsum(values)], 7)
        per_row = (loop_seconds / LOOP_ROWS) / (ours_seconds / ROWS)
        print(f"{name:<30}{ours_seconds * 1e3:>14.2f}{loop_seconds * 1e3:>16.1f}{per_row:>11.0f}"
              f"{cumsum_seconds * 1e3:>13.2f}{ours_seconds / cumsum_seconds:>10.2f}")


if __name__ == "__main__":
    main()
