"""The hand-written stub of the sweep module describes exactly what it defines (the
stubs of the extension modules are generated from their registries, which
test_generated.py checks against the modules)."""

import ast
import importlib
import inspect
from pathlib import Path

import Backtest

PACKAGE_DIR = Path(Backtest.__file__).parent


def stub_functions(module_name):
    tree = ast.parse((PACKAGE_DIR / f"{module_name}.pyi").read_text())
    return {node.name: node for node in tree.body if isinstance(node, ast.FunctionDef)}


def stub_parameters(node):
    names = [arg.arg for arg in node.args.args]
    defaults = [ast.literal_eval(d) for d in node.args.defaults]
    return names, dict(zip(names[len(names) - len(defaults):], defaults))


def defined_functions(module):
    return [name for name in module.__all__ if inspect.isfunction(getattr(module, name))]


def test_sweep_stub_names_every_function_in_order_with_its_parameters():
    module_name = "sweep"
    module = importlib.import_module(f"Backtest.{module_name}")
    defined = defined_functions(module)
    stubs = stub_functions(module_name)
    assert list(stubs) == defined
    for name in defined:
        parameters = inspect.signature(getattr(module, name)).parameters.values()
        names, defaults = stub_parameters(stubs[name])
        assert names == [p.name for p in parameters]
        assert defaults == {p.name: p.default for p in parameters if p.default is not p.empty}


def test_package_is_marked_typed():
    assert (PACKAGE_DIR / "py.typed").exists()
