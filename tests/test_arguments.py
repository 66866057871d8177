"""Calling conventions of Backtest.formula's primitives: argument messages,
text signatures, documentation strings and the module's namespace."""

import inspect
import re
import types

import numpy as np
import pandas as pd
import pytest

import Backtest.formula as F

PARAMETERS = {
    "rolling_sum": ("x", "window"),
    "rolling_mean": ("array", "rolling_window"),
    "rolling_ema": ("data", "window"),
    "rolling_wma": ("data", "window"),
    "rolling_std": ("array", "rolling_window"),
    "rolling_min": ("array", "rolling_window"),
    "rolling_max": ("array", "rolling_window"),
}
TABLE_ORDER = [
    *PARAMETERS,
    "rolling_mean_normalize",
    "rolling_minmax_normalize",
    "rolling_zscore",
    "rolling_zscore_mean",
    "rolling_tanh_estimator",
    "rolling_sigmoid_zscore",
    "rolling_sigmoid",
    "rolling_softmax",
    "rolling_l1_normalization",
    "rolling_rsi",
    "rolling_bollinger_bands",
    "calculate_macd",
]
ROLLING_SUM_DOC = """
    Compute the rolling sum of a 1D array using NumPy.

    Parameters:
    x (numpy array): Input 1D array.
    window (int): Window size for the rolling sum.

    Returns:
    numpy array: Rolling sum array.
"""
DATA = [1.0, 2.0, 3.0]


def call_cases(name):
    """(positional arguments, keyword arguments, message) for every way a call can go wrong."""
    series, window = PARAMETERS[name]
    takes = f"{name}() takes exactly 2 positional argument"
    return [
        ((), {}, f"{takes}s (0 given)"),
        ((DATA,), {}, f"{takes}s (1 given)"),
        ((DATA, 2, 3), {}, f"{takes}s (3 given)"),
        ((DATA, 2, 3, 4, 5), {window: 2}, f"{takes}s (5 given)"),
        ((), {window: 2}, f"{takes}s (0 given)"),  # the first missing parameter's position
        ((), {series: DATA}, f"{takes}s (1 given)"),
        ((), {"bogus": 1}, f"{takes}s (0 given)"),  # missing arguments are reported first
        ((DATA, 2), {"bogus": 1}, f"{name}() got an unexpected keyword argument 'bogus'"),
        ((DATA,), {series: DATA, window: 2}, f"{name}() got multiple values for keyword argument '{series}'"),
        ((DATA, 2), {window: 2}, f"{name}() got multiple values for keyword argument '{window}'"),
    ]


@pytest.mark.parametrize(
    ("name", "args", "kwargs", "message"),
    [(name, *case) for name in PARAMETERS for case in call_cases(name)],
)
def test_argument_errors_raise_the_package_messages(name, args, kwargs, message):
    with pytest.raises(TypeError, match=f"^{re.escape(message)}$"):
        getattr(F, name)(*args, **kwargs)


@pytest.mark.parametrize("name", PARAMETERS)
def test_every_parameter_is_positional_or_keyword(name):
    series, window = PARAMETERS[name]
    function = getattr(F, name)
    expected = function(DATA, 2)
    for args, kwargs in [((DATA,), {window: 2}), ((), {series: DATA, window: 2}), ((), {window: 2, series: DATA})]:
        np.testing.assert_array_equal(function(*args, **kwargs), expected)


@pytest.mark.parametrize("name", PARAMETERS)
def test_text_signature_names_the_parameters(name):
    function = getattr(F, name)
    parameters = list(inspect.signature(function).parameters.values())
    assert [p.name for p in parameters] == list(PARAMETERS[name])
    assert all(p.kind is p.POSITIONAL_OR_KEYWORD and p.default is p.empty for p in parameters)


@pytest.mark.parametrize("name", PARAMETERS)
def test_only_rolling_sum_has_a_documentation_string(name):
    assert getattr(F, name).__doc__ == (ROLLING_SUM_DOC if name == "rolling_sum" else None)


def test_module_binds_numpy_and_pandas_then_the_functions_in_table_order():
    names = list(vars(F))
    assert F.np is np and F.pd is pd
    functions = [n for n, value in vars(F).items() if isinstance(value, types.BuiltinFunctionType)]
    assert names.index("np") < names.index("pd") < min(names.index(n) for n in functions)
    assert functions == [n for n in TABLE_ORDER if n in functions]
    assert set(PARAMETERS) <= set(functions)


@pytest.mark.parametrize(
    ("args", "message"),
    [
        ((), "takes at least 3 positional arguments (0 given)"),
        ((DATA, 2), "takes at least 3 positional arguments (2 given)"),
        ((DATA, 2, 3, 4, 5), "takes at most 4 positional arguments (5 given)"),
    ],
)
def test_a_parameter_with_a_default_makes_the_count_at_least_or_at_most(args, message):
    with pytest.raises(TypeError, match=f"^{re.escape('calculate_macd() ' + message)}$"):
        F.calculate_macd(*args)
