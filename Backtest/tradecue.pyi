"""Position series from trading rules: long 1, short -1, flat 0, bar by bar.

Warm-up entries are floats (0.0 or NaN); decided entries are the ints 1, -1 and 0.
A mode is matched by exact, case-sensitive equality with its name; the README's
"Trading modes" section gives every mode's rule.
"""

from typing import Literal, SupportsFloat, SupportsIndex, TypeAlias

import pandas as pd

from Backtest import formula as formula

ThresholdMode: TypeAlias = Literal[
    "mr",
    "mr_0",
    "0_sideline",
    "momentum",
    "momentum_sideline",
    "momentum_0",
    "mr(sma)_sma",
    "mr(ema)_ema",
    "mr(wma)_wma",
    "momentum(sma)_sma",
    "momentum(ema)_ema",
    "momentum(wma)_wma",
    "mr(sma)",
    "mr(ema)",
    "mr(wma)",
    "momentum(sma)",
    "momentum(ema)",
    "momentum(wma)",
    "momentum_sma",
    "momentum_ema",
    "momentum_wma",
    "momentum(sma)_sideline",
    "momentum(ema)_sideline",
    "momentum(wma)_sideline",
    "mr_sma",
    "mr_ema",
    "mr_wma",
    "cross-sma",
    "cross-ema",
    "cross-wma",
    "mr-l",
    "mr-s",
    "mr_0-l",
    "mr_0-s",
    "0_sideline-l",
    "0_sideline-s",
    "momentum-l",
    "momentum-s",
    "momentum_sideline-l",
    "momentum_sideline-s",
    "momentum_0-l",
    "momentum_0-s",
    "mr(sma)_sma-l",
    "mr(sma)_sma-s",
    "mr(ema)_ema-l",
    "mr(ema)_ema-s",
    "mr(wma)_wma-l",
    "mr(wma)_wma-s",
    "momentum(sma)_sma-l",
    "momentum(sma)_sma-s",
    "momentum(ema)_ema-l",
    "momentum(ema)_ema-s",
    "momentum(wma)_wma-l",
    "momentum(wma)_wma-s",
    "mr(sma)-l",
    "mr(sma)-s",
    "mr(ema)-l",
    "mr(ema)-s",
    "mr(wma)-l",
    "mr(wma)-s",
    "momentum(sma)-l",
    "momentum(sma)-s",
    "momentum(ema)-l",
    "momentum(ema)-s",
    "momentum(wma)-l",
    "momentum(wma)-s",
    "momentum_sma-l",
    "momentum_sma-s",
    "momentum_ema-l",
    "momentum_ema-s",
    "momentum_wma-l",
    "momentum_wma-s",
    "momentum(sma)_sideline-l",
    "momentum(sma)_sideline-s",
    "momentum(ema)_sideline-l",
    "momentum(ema)_sideline-s",
    "momentum(wma)_sideline-l",
    "momentum(wma)_sideline-s",
    "mr_sma-l",
    "mr_sma-s",
    "mr_ema-l",
    "mr_ema-s",
    "mr_wma-l",
    "mr_wma-s",
]
BandMode: TypeAlias = Literal[
    "mr",
    "mr_sma",
    "mr_ema",
    "mr_wma",
    "mr_0",
    "0_sideline",
    "momentum(sma)_sideline",
    "momentum(ema)_sideline",
    "momentum(wma)_sideline",
    "momentum",
    "momentum_sideline",
    "momentum_0",
    "momentum_sma",
    "momentum_ema",
    "momentum_wma",
]

def entry_exit_threshold(
    df: pd.DataFrame,
    rolling_window: SupportsIndex,
    threshold: SupportsFloat,
    backtest_mode: ThresholdMode,
) -> list[float | int]:
    """Positions from processed_data under a threshold mode, bar by bar.

    Reads: processed_data
    Writes: processed_sma, processed_ema, processed_wma (the moving-average modes only, the one
        their name holds)
    Formula: for each row i from rolling_window on, with s = processed_data[i], t = float(threshold)
        and m the mode's average formula.rolling_mean/_ema/_wma(df['processed_data'],
        rolling_window) as bound at the call, the first of the mode's clauses that holds gives 1
        (long), -1 (short) or 0 (flat), and none holding repeats the previous entry (the README's
        Trading modes lists every mode's clauses).
    NaN: a comparison with NaN is false, so a NaN signal (or average) repeats the previous entry.
    Warm-up: rolling_window entries of the float 0.0, repeated by holds until a clause first fires.
    Returns: a new list of max(len(df), rolling_window) entries; an unknown mode prints "Warning:
        Unsupported backtest_mode '<mode>' - skipping this iteration." and gives the warm-up entries
        only.
    """

def entry_exit_band(
    df: pd.DataFrame,
    rolling_window: SupportsIndex,
    backtest_mode: BandMode,
) -> list[float | int]:
    """Positions from data against the frame's bands under a band mode, bar by bar.

    Reads: upper_band, lower_band, sma, ema, wma, data
    Formula: for each row i from rolling_window on, with d = data[i], U = upper_band[i], L =
        lower_band[i] and M the mode's centre (0, sma[i], ema[i] or wma[i]), the first of the mode's
        clauses that holds gives 1 (long), -1 (short) or 0 (flat), and none holding repeats the
        previous entry.
    NaN: a comparison with NaN is false, so a row with NaN bands opens nothing and holds unless an
        exit clause on the centre fires.
    Warm-up: rolling_window entries of NaN, repeated by holds until a clause first fires.
    Returns: a new list of max(len(df), rolling_window) entries; an unknown mode prints "Warning:
        Unsupported backtest_mode '<mode>' - skipping this iteration." and gives the warm-up entries
        only.
    """

def entry_exit_macd(
    df: pd.DataFrame,
    rolling_window1: SupportsIndex,
    rolling_window2: SupportsIndex,
) -> list[float | int]:
    """Positions from the MACD line against its signal line, bar by bar.

    Reads: MACD, Signal
    Formula: for each row i from the warm-up on: 1 where MACD[i] >= Signal[i], -1 where MACD[i] <
        Signal[i].
    NaN: a row with NaN in MACD or Signal repeats the previous entry.
    Warm-up: max(rolling_window1, rolling_window2) entries of NaN.
    Returns: a new list of max(len(df), warm-up) entries, the ints 1 and -1 after the warm-up.
    """
