"""Python code that runs while the boundary reads a container (a computed
`__class__`, `__float__`) may replace or free what it reads. Each hostile case
runs in a child interpreter, so that a fault fails its test instead of the run;
under the sanitized build the child inherits the preloaded runtime."""

import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import Backtest.formula as F

HOSTILE_ITEMS = """
import numpy as np, pandas as pd
from Backtest import formula
class E2: __slots__ = ("a", "b")
keep, idx, armed = [], {}, []
def hostile(replace):
    class Evil:
        __slots__ = ("a", "b")
        @property
        def __class__(self):
            if armed: replace(idx[id(self)])
            return Evil
        def __float__(self): keep.extend(E2() for _ in range(200)); return 5.0
    return Evil
"""

CASES = {
    # the item examined is replaced in the array, and freed, by its own __class__
    "object array": """
        arr = np.empty(64, dtype=object); arr[:] = 1.0
        Evil = hostile(lambda i: arr.__setitem__(i, 0.0))
        for i in range(0, 64, 2): e = Evil(); arr[i] = e; idx[id(e)] = i
        del e; armed.append(1)
        print(list(formula.rolling_sum(arr, 1)))
    """,
    # the same through the Series that shares the array
    "object series": """
        s = pd.Series(np.full(64, 1.0), dtype=object)
        Evil = hostile(lambda i: s.iloc.__setitem__(i, 0.0))
        for i in range(0, 64, 2): e = Evil(); s.iloc[i] = e; idx[id(e)] = i
        del e; armed.append(1)
        print(list(formula.rolling_mean(s, 1)))
    """,
    # the array's buffer is reallocated while an item converts
    "buffer reallocated": """
        arr = np.empty(64, dtype=object); arr[:] = 1.0
        class Grow:
            def __float__(self): arr.resize(1 << 16, refcheck=False); return 5.0
        for i in range(0, 64, 2): arr[i] = Grow()
        print(list(formula.rolling_sum(arr, 1)))
    """,
}


def run_child(code):
    env = dict(os.environ, PYTHONFAULTHANDLER="1")
    return subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True, timeout=300)


@pytest.mark.parametrize("case", CASES)
def test_items_replaced_while_examined_are_read_from_our_own_reference(case):
    done = run_child(HOSTILE_ITEMS + textwrap.dedent(CASES[case]))
    assert done.returncode == 0, done.stderr[-3000:]
    # the values as they were when the call began: a float item and 5.0 in turn
    assert eval(done.stdout) == [5.0, 1.0] * 32


class Complex(complex):
    pass


@pytest.mark.parametrize(
    ("item", "type_name"),
    [(1 + 2j, "complex"), (Complex(3), "Complex"), (np.complex64(1), "numpy.complex64"),
     (np.clongdouble(1), "numpy.clongdouble")],
)
def test_complex_items_are_refused_by_their_own_type(item, type_name):
    message = f"^expected a series of real numbers, got an item of type '{type_name}'$"
    with pytest.raises(TypeError, match=message):
        F.rolling_sum(np.array([1.0, item, 4.0], dtype=object), 1)


def test_a_computed_class_is_never_consulted():
    asked = []

    class Liar:
        @property
        def __class__(self):
            asked.append(self)
            return complex

        def __float__(self):
            return 2.5

    np.testing.assert_array_equal(F.rolling_sum(np.array([1.0, Liar(), 4.0], dtype=object), 1), [1.0, 2.5, 4.0])
    assert asked == []


@pytest.mark.parametrize("average, mode", [("rolling_mean", "cross-sma"), ("rolling_wma", "cross-wma")])
def test_an_average_replaced_before_tradecue_is_loaded_is_called(average, mode):
    done = run_child(textwrap.dedent(f"""
        import pandas as pd
        from Backtest import formula
        formula.{average} = formula.rolling_ema
        from Backtest import tradecue
        df = pd.DataFrame({{"processed_data": [1.0, 5.0, 2.0, 8.0, 3.0]}})
        tradecue.entry_exit_threshold(df, 2, 0, "{mode}")
        print(df.iloc[:, 1].equals(pd.Series(formula.rolling_ema(df["processed_data"], 2))))
    """))
    assert done.returncode == 0, done.stderr[-3000:]
    assert done.stdout.strip() == "True"
