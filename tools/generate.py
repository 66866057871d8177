"""Writes the type stubs and the README's "Trading modes" section from the tables.

The tables are the mode table (core/include/backtest/modes.hpp) and the registry
of functions (bindings/<module>/registry.hpp), read through the private module
Backtest._tables of the installed package: change a table, rebuild, then run

    .venv/bin/python tools/generate.py          # rewrite the generated files
    .venv/bin/python tools/generate.py --check  # exit 1 when one is stale

tests/test_generated.py fails while a generated file is stale.
"""

import argparse
import re
import sys
import textwrap
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
WIDTH = 100

# ---------------------------------------------------------------- stubs

PREAMBLES = {
    "formula": '''\
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
''',
    "tradecue": '''\
"""Position series from trading rules: long 1, short -1, flat 0, bar by bar.

Warm-up entries are floats (0.0 or NaN); decided entries are the ints 1, -1 and 0.
A mode is matched by exact, case-sensitive equality with its name; the README's
"Trading modes" section gives every mode's rule.
"""

from typing import Literal, SupportsFloat, SupportsIndex, TypeAlias

import pandas as pd

from Backtest import formula as formula
''',
    "diagram": '''\
"""Strategy result files, performance figures, charts and correlation analyses.

Bars count as one hour (8760 to a year, 24 to a day); returns are additive
fractions, summed and never compounded; the fee is 0.06 % of each unit of
position change. Sibling functions and the libraries (plt, sns, pd, np, os,
MaxNLocator, stats) are looked up in this module's namespace at each call.
"""

import os
from collections.abc import Callable, Mapping, Sequence
from datetime import datetime
from typing import Any, SupportsFloat, TypeAlias

import pandas as pd

_Path: TypeAlias = str | os.PathLike[str]
_Bound: TypeAlias = datetime | pd.Timestamp | None
_StrategyMap: TypeAlias = Mapping[str, tuple[_Path, float]]
''',
}

DOC_FIELDS = [
    ("Reads", "reads"),
    ("Writes", "writes"),
    ("Formula", "formula"),
    ("NaN", "nan"),
    ("Warm-up", "warm_up"),
    ("Returns", "result"),
]


def literal_alias(name, values):
    lines = [f"{name}: TypeAlias = Literal["]
    lines += [f'    "{value}",' for value in values]
    return "\n".join(lines + ["]"])


def doc_lines(function):
    lines = [function["summary"], ""]
    for label, key in DOC_FIELDS:
        value = function[key]
        if isinstance(value, tuple):
            value = ", ".join(value)
            if value and key == "writes":
                value += f" ({function['writes_note']})" if function["writes_note"] else ", in this order"
        if value:
            lines += textwrap.wrap(f"{label}: {value}", WIDTH - 4, subsequent_indent="    ",
                                   break_long_words=False, break_on_hyphens=False)
    return lines


def signature(function):
    parameters = []
    for name, annotation, default in function["parameters"]:
        parameters.append(f"{name}: {annotation}" + ("" if default is None else f" = {default!r}"))
    head = f"def {function['name']}("
    tail = f") -> {function['returns']}:"
    one_line = head + ", ".join(parameters) + tail
    if len(one_line) <= WIDTH:
        return [one_line]
    return [head] + [f"    {p}," for p in parameters] + [tail]


def stub_function(function):
    body = ['    """' + doc_lines(function)[0]]
    body += [f"    {line}".rstrip() for line in doc_lines(function)[1:]]
    body += ['    """']
    return "\n".join(signature(function) + body)


def stub(module, tables):
    parts = [PREAMBLES[module]]
    if module == "tradecue":
        parts.append(literal_alias("ThresholdMode", tables.THRESHOLD_MODES) + "\n"
                     + literal_alias("BandMode", tables.BAND_MODES) + "\n")
    parts += [stub_function(function) + "\n" for function in tables.FUNCTIONS[module]]
    return "\n".join(parts)


# ---------------------------------------------------------------- trading modes

RESULT_WORDS = {1: "long", -1: "short", 0: "flat"}

# The name of each level, by level source, as the clauses are written.
LEVELS = {
    "fixed": {"lower": "-t", "upper": "t", "centre": "0"},
    "fixed_around_average": {"lower": "-t", "upper": "t", "centre": "m"},
    "scaled_average": {"lower": "L", "upper": "U", "centre": "m"},
    "scaled_average_ordered": {"lower": "L", "upper": "U", "centre": "m"},
    "average": {"lower": "m", "upper": "m", "centre": "m"},
    "bands": {"lower": "L", "upper": "U", "centre": "0"},
    "bands_around_average": {"lower": "L", "upper": "U", "centre": "M"},
}
LEVEL_NOTES = {
    "scaled_average": "U = m * (1 + t), L = m * (1 - t)",
    "scaled_average_ordered": "the same, swapped unless m > 0",
}
# The value each generator compares with the levels.
VALUE = {"threshold": "s", "band": "d", "macd": "MACD"}


def condition(bounds, value, levels):
    return " and ".join(f"{value} {compare} {levels[level]}" for compare, level in bounds)


def rule_in_words(kind, levels, clauses):
    """'long when s < -t; flat when s >= 0 while long; ...': the clauses in order."""
    names = {"lower": "Signal", "upper": "Signal"} if kind == "macd" else LEVELS[levels]
    words = []
    for bounds, held, entry in clauses:
        clause = f"{RESULT_WORDS[entry]} when {condition(bounds, VALUE[kind], names)}"
        words.append(clause + (f" while {RESULT_WORDS[held]}" if held is not None else ""))
    return "; ".join(words)


NAME_KEY = """\
A mode name is a family, a reference level and, for the threshold modes, an optional side:

- `mr` (mean reversion): long when the value is low (below the lower level), short when it is
  high (above the upper level).
- `momentum`: the other way round: long when high, short when low. The `_sideline` and `cross-`
  families are momentum-like: long on the high side.
- no suffix (`mr`, `momentum`, `mr(sma)`, ...): no exit; a position only flips or holds.
- `_0`: a position is closed (flat) when the value comes back to zero (`mr_0`) or passes it
  (`momentum_0`).
- `_sideline`: `momentum_sideline` is long exactly while above the upper level and short while
  below the lower one; `0_sideline` and `momentum(sma)_sideline` are long while the value lies
  between zero (or the average) and the upper level, short while it lies between the lower level
  and zero (or the average), and close a position beyond its level.
- `_sma`, `_ema`, `_wma` after `mr` or `momentum`: the entries at the fixed levels, the exit at the
  moving average.
- `(sma)`, `(ema)`, `(wma)`: levels around the moving average, `m * (1 - t)` and `m * (1 + t)`; in
  the `mr(sma)_sma` form the two are swapped unless `m > 0`, so that the upper level stays the
  higher one for a negative average.
- `cross-sma`, `cross-ema`, `cross-wma`: long above the moving average, short below it.
- `-l` (long only) and `-s` (short only), on every threshold name but `cross-`: without an exit the
  opposite entry gives flat instead; with an exit only the own entry and the own exit remain.

The clauses of a rule are tried in order and the first that holds decides; when none holds the
previous entry repeats (after the warm-up, the warm-up value: 0.0 or NaN). A comparison with NaN
is false. "while long" and "while short" ask for the previous entry.
"""


def mode_table(kind, modes, average_column):
    with_levels = any(levels in LEVEL_NOTES for _, _, levels, _ in modes)
    rows = ["| Mode | Average | Levels | Rule |" if with_levels else "| Mode | Average | Rule |",
            "|---|---|---|---|" if with_levels else "|---|---|---|"]
    for name, average, levels, clauses in modes:
        cells = [f"`{name}`", f"`{average_column(average)}`" if average else "none"]
        cells += [LEVEL_NOTES.get(levels, "")] if with_levels else []
        cells.append(rule_in_words(kind, levels, clauses))
        rows.append("| " + " | ".join(cells) + " |")
    return "\n".join(rows)


def paragraph(text):
    return textwrap.fill(text, WIDTH, break_long_words=False, break_on_hyphens=False)


def trading_modes(tables):
    threshold = tables.MODES["threshold"]
    band = tables.MODES["band"]
    (_, _, _, macd), = tables.MODES["macd"]
    return "\n\n".join([
        "## Trading modes",
        "<!-- Generated by tools/generate.py from the mode table; edit that, not this section. -->",
        NAME_KEY.rstrip(),
        f"### Threshold modes ({len(threshold)})",
        paragraph("`entry_exit_threshold`: `s` is `processed_data` at the row, `t` is `threshold`, `m` is "
                  "the mode's moving average of `processed_data` over `rolling_window` values, computed by "
                  "`formula.rolling_mean`, `rolling_ema` or `rolling_wma` and stored in the frame."),
        mode_table("threshold", threshold, lambda average: f"processed_{average}"),
        f"### Band modes ({len(band)})",
        paragraph("`entry_exit_band`: `d` is `data` at the row, `U` and `L` are `upper_band` and "
                  "`lower_band`, `M` is the frame's average column that the name holds."),
        mode_table("band", band, lambda average: average),
        "### MACD",
        paragraph(f"`entry_exit_macd`, no mode: {rule_in_words('macd', None, macd)}."),
    ]) + "\n"


# ---------------------------------------------------------------- files

SECTION = re.compile(r"^## Trading modes\n.*?(?=^## )", re.S | re.M)


def readme(current, tables):
    if not SECTION.search(current):
        raise SystemExit("README.md has no '## Trading modes' section followed by another section")
    return SECTION.sub(lambda _: trading_modes(tables) + "\n", current, count=1)


def outputs(tables=None):
    """{path: text} of every generated file, from the tables of the installed package."""
    if tables is None:
        import Backtest._tables as tables
    files = {ROOT / "Backtest" / f"{module}.pyi": stub(module, tables) for module in ("formula", "tradecue", "diagram")}
    readme_path = ROOT / "README.md"
    files[readme_path] = readme(readme_path.read_text(), tables)
    return files


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--check", action="store_true", help="exit 1 when a generated file is stale")
    check = parser.parse_args().check
    generated = outputs()
    stale = [path for path, text in generated.items() if path.read_text() != text]
    for path in stale:
        if check:
            print(f"stale: {path.relative_to(ROOT)}")
        else:
            path.write_text(generated[path])
            print(f"wrote {path.relative_to(ROOT)}")
    return 1 if check and stale else 0


if __name__ == "__main__":
    sys.exit(main())
