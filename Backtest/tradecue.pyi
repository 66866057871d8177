"""Position series from trading rules: long 1, short -1, flat 0, bar by bar."""

from typing import SupportsFloat, SupportsIndex

import pandas as pd

from Backtest import formula as formula

# Warm-up entries are floats (0.0 or NaN); decided entries are the ints 1, -1 and 0.
def entry_exit_threshold(
    df: pd.DataFrame, rolling_window: SupportsIndex, threshold: SupportsFloat, backtest_mode: object
) -> list[float | int]: ...
def entry_exit_band(df: pd.DataFrame, rolling_window: SupportsIndex, backtest_mode: object) -> list[float | int]: ...
def entry_exit_macd(
    df: pd.DataFrame, rolling_window1: SupportsIndex, rolling_window2: SupportsIndex
) -> list[float | int]: ...
