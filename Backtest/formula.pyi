"""Rolling-window indicators over one series and frame-level transforms.

The frame-level functions look the primitives up in this module's namespace at
each call: a replaced ``rolling_mean`` changes what ``rolling_zscore`` computes.
Every series is read by position and computed in float64 (None and pd.NA as NaN);
windows are integers of at least 1 (TypeError without ``__index__``, ValueError
below 1).
"""

from typing import SupportsFloat, SupportsIndex, TypeAlias

import numpy as np
import numpy.typing as npt
import pandas as pd

_Series: TypeAlias = npt.ArrayLike | pd.Series
_Array: TypeAlias = npt.NDArray[np.floating]

def rolling_sum(x: _Series, window: SupportsIndex) -> _Array:
    """Rolling sums of x over window values.

    Formula: out[i] = x[i - window + 1] + ... + x[i], as differences of running sums in NumPy's
        order.
    NaN: an array or list is NaN from its first NaN on; a pandas Series is NaN only in the window
        ending at a NaN and in the one ending window values later, and the windows between count it
        as 0.
    Warm-up: the first w - 1 values are NaN, w being the window; a window longer than the input
        gives all NaN.
    Returns: a new float64 array as long as the input.
    """

def rolling_mean(array: _Series, rolling_window: SupportsIndex) -> _Array:
    """Simple moving average of array over rolling_window values.

    Formula: out[i] = (array[i - w + 1] + ... + array[i]) / w, with w = rolling_window.
    NaN: NaN counts as 0 and an infinity as the largest finite double of its sign.
    Warm-up: the first w - 1 values are NaN, w being the window; a window longer than the input
        gives all NaN.
    Returns: a new array as long as the input: float64, or the input's floating dtype for a window
        longer than the input.
    """

def rolling_ema(data: _Series, window: SupportsIndex) -> _Array:
    """Exponential moving average of data with the multiplier 2 / (window + 1).

    Formula: out[w - 1] = mean(data[:w]); out[i] = (data[i] - out[i - 1]) * 2 / (w + 1) + out[i -
        1], with w = window.
    NaN: the seed of an array or list is NaN when a NaN is among the first w values; the seed of a
        pandas Series leaves NaN out, and when its whole first window is NaN the average starts at
        the first valid value; a NaN after the start makes every later value NaN.
    Warm-up: the first w - 1 values are NaN, w being the window; a window longer than the input
        gives all NaN.
    Returns: a new array as long as the input: float64, or the input's floating dtype for a window
        longer than the input.
    """

def rolling_wma(data: _Series, window: SupportsIndex) -> _Array:
    """Linearly weighted moving average of data, the newest value weighing most.

    Formula: out[i] = (1 * data[i - w + 1] + 2 * data[i - w + 2] + ... + w * data[i]) / (w * (w + 1)
        / 2), with w = window.
    NaN: a window holding NaN or an infinity gives what its weighted sum gives (NaN or an infinity);
        no other window is affected.
    Warm-up: the first w - 1 values are NaN, w being the window; a window longer than the input
        gives all NaN.
    Returns: a new array as long as the input: float64, or the input's floating dtype for a window
        longer than the input.
    """

def rolling_std(array: _Series, rolling_window: SupportsIndex) -> _Array:
    """Rolling population standard deviation (divisor rolling_window) of array.

    Formula: out[i] = sqrt(sum((array[j] - mean) ** 2) / w) over the window's w values, computed
        stably: exactly 0 for a window of equal values.
    NaN: NaN counts as 0 and an infinity as the largest finite double of its sign; a window holding
        a value whose square overflows gives NaN.
    Warm-up: the first w - 1 values are NaN, w being the window; a window longer than the input
        gives all NaN.
    Returns: a new array as long as the input: float64, or the input's floating dtype for a window
        longer than the input.
    """

def rolling_min(array: _Series, rolling_window: SupportsIndex) -> _Array:
    """Rolling minimum of array over rolling_window values.

    Formula: out[i] = min(array[i - w + 1], ..., array[i]), with w = rolling_window.
    NaN: a window holding NaN or an infinity gives NaN (both count as missing, as in pandas' rolling
        windows).
    Warm-up: the first w - 1 values are NaN, w being the window; a window longer than the input
        gives all NaN.
    Returns: a new float64 array as long as the input.
    """

def rolling_max(array: _Series, rolling_window: SupportsIndex) -> _Array:
    """Rolling maximum of array over rolling_window values.

    Formula: out[i] = max(array[i - w + 1], ..., array[i]), with w = rolling_window.
    NaN: a window holding NaN or an infinity gives NaN (both count as missing, as in pandas' rolling
        windows).
    Warm-up: the first w - 1 values are NaN, w being the window; a window longer than the input
        gives all NaN.
    Returns: a new float64 array as long as the input.
    """

def rolling_mean_normalize(df: pd.DataFrame, rolling_window: SupportsIndex) -> pd.DataFrame:
    """Distance of data from its rolling mean, relative to the window's range.

    Reads: data
    Writes: sma, min, max, processed_data, in this order
    Formula: processed_data = (data - sma) / (max - min + 1e-09).
    NaN: sma counts NaN in data as 0; min and max, and so processed_data, are NaN in the windows
        holding NaN or an infinity.
    Warm-up: the first rolling_window - 1 rows of every column written are NaN.
    Returns: df itself, its columns written in place in this order.
    """

def rolling_minmax_normalize(df: pd.DataFrame, rolling_window: SupportsIndex) -> pd.DataFrame:
    """data scaled onto -1..1 by the window's minimum and maximum.

    Reads: data
    Writes: min, max, processed_data, in this order
    Formula: processed_data = 2 * (data - min) / (max - min + 1e-09) - 1: -1 at the window's
        minimum, nearly 1 at its maximum.
    NaN: min and max, and so processed_data, are NaN in the windows holding NaN or an infinity.
    Warm-up: the first rolling_window - 1 rows of every column written are NaN.
    Returns: df itself, its columns written in place in this order.
    """

def rolling_zscore(df: pd.DataFrame, rolling_window: SupportsIndex) -> pd.DataFrame:
    """Rolling z-score of data.

    Reads: data
    Writes: sma, stddev, processed_data, in this order
    Formula: processed_data = (data - sma) / stddev, with sma = rolling_mean(data) and stddev =
        rolling_std(data).
    NaN: sma and stddev count NaN in data as 0 (and infinities as the largest finite doubles); a NaN
        in data is NaN in processed_data at its row; a zero deviation gives NaN or an infinity
        (there is no guard).
    Warm-up: the first rolling_window - 1 rows of every column written are NaN.
    Returns: df itself, its columns written in place in this order.
    """

def rolling_zscore_mean(df: pd.DataFrame, rolling_window: SupportsIndex) -> pd.DataFrame:
    """Rolling z-score of data less the rolling mean of the z-score.

    Reads: data
    Writes: sma, stddev, zscore, processed_data, in this order
    Formula: zscore = (data - sma) / stddev; processed_data = zscore - rolling_mean(zscore).
    NaN: zscore as processed_data of rolling_zscore; the inner rolling_mean counts NaN z-scores as 0
        and infinite ones as the largest finite doubles, so its first windows average in zeros for
        the warm-up rows.
    Warm-up: the first rolling_window - 1 rows of every column written are NaN.
    Returns: df itself, its columns written in place in this order.
    """

def rolling_tanh_estimator(df: pd.DataFrame, rolling_window: SupportsIndex) -> pd.DataFrame:
    """Tanh estimator of data: a damped z-score in -1..1.

    Reads: data
    Writes: sma, stddev, processed_data, in this order
    Formula: processed_data = tanh(0.01 * (data - sma) / stddev), the product with 0.01 taken first.
    NaN: sma and stddev count NaN in data as 0 (and infinities as the largest finite doubles); a NaN
        in data is NaN in processed_data at its row; a zero deviation gives NaN or an infinity
        (there is no guard).
    Warm-up: the first rolling_window - 1 rows of every column written are NaN.
    Returns: df itself, its columns written in place in this order.
    """

def rolling_sigmoid_zscore(df: pd.DataFrame, rolling_window: SupportsIndex) -> pd.DataFrame:
    """Logistic function of the rolling z-score, mapped onto -1..1 (rising with data).

    Reads: data
    Writes: sma, stddev, processed_data, in this order
    Formula: processed_data = 2 * (1 / (1 + exp(-(data - sma) / stddev))) - 1.
    NaN: sma and stddev count NaN in data as 0 (and infinities as the largest finite doubles); a NaN
        in data is NaN in processed_data at its row; a zero deviation gives NaN or an infinity
        (there is no guard).
    Warm-up: the first rolling_window - 1 rows of every column written are NaN.
    Returns: df itself, its columns written in place in this order.
    """

def rolling_sigmoid(df: pd.DataFrame, rolling_window: SupportsIndex) -> pd.DataFrame:
    """Logistic function of data itself, mapped onto -1..1 (falling as data rises).

    Reads: data
    Writes: sma, stddev, processed_data, in this order
    Formula: processed_data = 2 * (1 / (1 + exp(data))) - 1; sma and stddev are written but not
        used.
    NaN: a NaN in data is NaN in processed_data at its row only; sma and stddev count it as 0.
    Warm-up: the first rolling_window - 1 rows of sma and stddev are NaN; processed_data has no
        warm-up.
    Returns: df itself, its columns written in place in this order.
    """

def rolling_softmax(df: pd.DataFrame, rolling_window: SupportsIndex) -> pd.DataFrame:
    """Each row's share of the exponentials of data less its rolling maximum, mapped onto -1..1.

    Reads: data
    Writes: max, processed_data, in this order
    Formula: e = exp(data - max); processed_data = 2 * (e / sum(e)) - 1, the sum taken over every
        row of the frame (later rows included).
    NaN: max is NaN in the windows holding NaN or an infinity; rows whose e is NaN are NaN and left
        out of the sum.
    Warm-up: the first rolling_window - 1 rows of every column written are NaN.
    Returns: df itself, its columns written in place in this order.
    """

def rolling_l1_normalization(df: pd.DataFrame, rolling_window: SupportsIndex) -> pd.DataFrame:
    """data relative to the rolling sum of its magnitudes, mapped to 2x - 1.

    Reads: data
    Writes: processed_data, in this order
    Formula: processed_data = 2 * (data / rolling_sum(abs(data))) - 1: in -3..1, and in -1..1 for
        data >= 0.
    NaN: the rolling sum is that of a pandas Series: a NaN in data makes NaN the window ending at it
        and the one ending rolling_window rows later, and the windows between count it as 0.
    Warm-up: the first rolling_window - 1 rows are NaN; a window longer than the frame gives all
        NaN.
    Returns: df itself, its columns written in place in this order.
    """

def rolling_rsi(df: pd.DataFrame, rolling_window: SupportsIndex) -> pd.DataFrame:
    """Relative strength index of data with simple averages of rises and falls, its averages and a signal in -1..1.

    Reads: data
    Writes: rsi, sma, ema, wma, processed_data, in this order
    Formula: rsi = 100 - 100 / (1 + gain / loss), gain and loss the rolling_mean of the rises and of
        the falls' magnitudes; sma, ema, wma = the three averages of rsi; processed_data = (rsi -
        50) / 50.
    NaN: the first change (and a NaN one) counts as 0; a window without rises and falls gives NaN (0
        / 0), one with rises only 100.
    Warm-up: rsi and processed_data: the first rolling_window - 1 rows are NaN, which sma counts as
        0 and ema skips (it starts at row rolling_window - 1); wma is NaN up to row 2 *
        rolling_window - 3.
    Returns: df itself, its columns written in place in this order.
    """

def rolling_bollinger_bands(
    df: pd.DataFrame,
    rolling_window: SupportsIndex,
    multiplier: SupportsFloat,
) -> pd.DataFrame:
    """Moving averages of data and bands multiplier standard deviations around the simple one.

    Reads: data
    Writes: sma, ema, wma, upper_band, lower_band, in this order
    Formula: upper_band = sma + multiplier * rolling_std(data); lower_band = sma - multiplier *
        rolling_std(data); sma, ema, wma = rolling_mean, rolling_ema, rolling_wma of data.
    NaN: sma and the deviation count NaN as 0; ema and wma follow rolling_ema of a Series and
        rolling_wma.
    Warm-up: the first rolling_window - 1 rows of every column written are NaN.
    Returns: df itself, its columns written in place in this order.
    """

def calculate_macd(
    df: pd.DataFrame,
    short_window: SupportsIndex,
    long_window: SupportsIndex,
    signal_window: SupportsIndex = 9,
) -> pd.DataFrame:
    """Moving-average convergence/divergence of data, its signal line and histogram.

    Reads: data
    Writes: EMA_short, EMA_long, MACD, Signal, Histogram, in this order
    Formula: EMA_short, EMA_long = rolling_ema(data, short_window), rolling_ema(data, long_window);
        MACD = EMA_short - EMA_long; Signal = rolling_ema(MACD, signal_window); Histogram = MACD -
        Signal.
    NaN: every average is that of a pandas Series: its seed leaves NaN out (Signal starts at the
        first MACD value when its whole first window is NaN), and a NaN after the start makes every
        later value NaN.
    Warm-up: EMA_short and EMA_long: the first short_window - 1 and long_window - 1 rows; MACD: the
        first max(short_window, long_window) - 1; Signal and Histogram: the first max(short_window,
        long_window, signal_window) - 1.
    Returns: df itself, its columns written in place in this order.
    """
