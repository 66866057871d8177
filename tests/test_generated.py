"""The generated stubs and README section are current and say what the tables say, and the
tables say what the modules do."""

import ast
import importlib
import importlib.util
import inspect
import re
import types
from pathlib import Path

import numpy as np
import pandas as pd
import pytest
from test_tradecue_band import BAND_MODES as BAND_ORACLE
from test_tradecue_threshold import MODES as THRESHOLD_ORACLE

import Backtest._tables as tables

ROOT = Path(__file__).resolve().parent.parent
_spec = importlib.util.spec_from_file_location("generate", ROOT / "tools" / "generate.py")
generate = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(generate)
GENERATED = generate.outputs(tables)


@pytest.mark.parametrize("path", sorted(GENERATED), ids=lambda path: path.name)
def test_generated_file_is_current(path):
    assert path.read_text() == GENERATED[path], "stale: run tools/generate.py"


@pytest.mark.parametrize("module_name", ["formula", "tradecue", "diagram"])
def test_registry_rows_are_the_module_functions_in_order(module_name):
    module = importlib.import_module(f"Backtest.{module_name}")
    builtins = [name for name, value in vars(module).items() if isinstance(value, types.BuiltinFunctionType)]
    rows = tables.FUNCTIONS[module_name]
    assert [row["name"] for row in rows] == builtins
    for row in rows:
        function = getattr(module, row["name"])
        parameters = inspect.signature(function).parameters.values()
        assert [(name, default) for name, _, default in row["parameters"]] == [
            (p.name, None if p.default is p.empty else p.default) for p in parameters]
        assert function.__doc__ == row["doc"]


def stub_literal(alias):
    tree = ast.parse((ROOT / "Backtest" / "tradecue.pyi").read_text())
    (value,) = [node.value for node in tree.body if isinstance(node, ast.AnnAssign) and node.target.id == alias]
    return tuple(ast.literal_eval(element) for element in value.slice.elts)


def test_mode_names_match_the_rules_the_tests_read_and_the_stub():
    assert tables.THRESHOLD_MODES == tuple(name for name, _, _ in THRESHOLD_ORACLE)
    assert tables.BAND_MODES == tuple(BAND_ORACLE)
    assert stub_literal("ThresholdMode") == tables.THRESHOLD_MODES
    assert stub_literal("BandMode") == tables.BAND_MODES


def readme_rows(heading):
    """{mode: (average, levels, rule)} of the README table under `heading`."""
    text = (ROOT / "README.md").read_text()
    section = text.split(f"\n### {heading}")[1].split("\n#")[0]
    rows = {}
    for line in section.splitlines():
        cells = [cell.strip() for cell in line.strip("|").split("|")]
        if line.startswith("| `"):
            levels = cells[2] if len(cells) == 4 else ""
            rows[cells[0].strip("`")] = (cells[1].strip("`"), levels, cells[-1])
    return rows


ENTRY = {"long": "1", "short": "-1", "flat": "0"}


def as_tests(levels, rule):
    """README words ('flat when s >= 0 while long; ...') as the tests' notation ('s >= 0 and p == 1: 0; ...')."""
    tests = []
    for clause in rule.split("; "):
        entry, condition, held = re.fullmatch(r"(long|short|flat) when (.*?)(?: while (long|short))?", clause).groups()
        tests.append(condition + (f" and p == {ENTRY[held]}" if held else "") + f": {ENTRY[entry]}")
    prefix = {"": [], generate.LEVEL_NOTES["scaled_average"]: ["levels of rule 7"],
              generate.LEVEL_NOTES["scaled_average_ordered"]: ["levels of rule 9"]}[levels]
    return "; ".join(prefix + tests)


def split_exits(text):
    """'(A and p == 1) or (B and p == -1): 0' as two tests, as the mode table lists them."""
    return re.sub(r"\((.*?)\) or \((.*?)\): 0", r"\1: 0; \2: 0", text)


README_THRESHOLD = readme_rows("Threshold modes")
README_BAND = readme_rows("Band modes")


@pytest.mark.parametrize("name, average, text", THRESHOLD_ORACLE, ids=[row[0] for row in THRESHOLD_ORACLE])
def test_readme_states_each_threshold_rule(name, average, text):
    readme_average, levels, rule = README_THRESHOLD[name]
    assert readme_average == (f"processed_{average}" if average else "none")
    assert as_tests(levels, rule) == split_exits(text)


@pytest.mark.parametrize("name", BAND_ORACLE)
def test_readme_states_each_band_rule(name):
    average, text = BAND_ORACLE[name]
    readme_average, levels, rule = README_BAND[name]
    assert readme_average == (average or "none")
    assert as_tests(levels, rule) == split_exits(text)


def test_readme_lists_every_mode_once():
    assert tuple(README_THRESHOLD) == tables.THRESHOLD_MODES
    assert tuple(README_BAND) == tables.BAND_MODES


@pytest.mark.parametrize("name", [row["name"] for row in tables.FUNCTIONS["formula"]])
def test_indicators_are_the_frame_functions_writing_the_signal(name):
    from Backtest import formula

    row = next(row for row in tables.FUNCTIONS["formula"] if row["name"] == name)
    if row["reads"]:
        frame = pd.DataFrame({"data": np.linspace(1.0, 2.0, 30) ** 2})
        arguments = [frame] + [3] * (len(row["parameters"]) - 1)
        getattr(formula, name)(*arguments)
        assert list(frame.columns)[1:] == list(dict.fromkeys(row["writes"]))
    assert (name in tables.INDICATORS) == (
        [p[0] for p in row["parameters"]] == ["df", "rolling_window"] and "processed_data" in row["writes"])


ROWS = [(module, row) for module, rows in tables.FUNCTIONS.items() for row in rows]


@pytest.mark.parametrize("module, row", ROWS, ids=[f"{module}.{row['name']}" for module, row in ROWS])
def test_every_row_documents_what_the_stub_promises(module, row):
    required = ["summary", "result"] + (["formula", "nan", "warm_up"] if module != "diagram" else [])
    assert all(row[field] for field in required), [field for field in required if not row[field]]
    frame_function = [p[0] for p in row["parameters"]][:1] == ["df"]
    if module != "diagram":
        assert bool(row["reads"]) == frame_function  # a frame function names the columns it reads
    assert all(annotation for _, annotation, _ in row["parameters"])
