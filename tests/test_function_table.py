"""The modules, their Python layer and the type stubs against the function
table (src/functions.def) they are made from."""

import ast
import inspect
import pathlib

import pytest

import varnelle
from function_table import ARRAY_NAMES, ROWS, SCALAR_NAMES

np = pytest.importorskip("numpy")
vnp = pytest.importorskip("varnelle_np")

PYTHON = pathlib.Path(__file__).resolve().parent.parent / "python"
KEYWORDS = ("out", "workers")


def stub(path):
    """__all__ and each function's parameters (of its first overload) in a stub."""
    tree = ast.parse((PYTHON / path).read_text())
    names, functions = [], {}
    for node in tree.body:
        if isinstance(node, ast.Assign) and node.targets[0].id == "__all__":
            names = ast.literal_eval(node.value)
        elif isinstance(node, ast.FunctionDef) and node.name not in functions:
            arguments = node.args
            functions[node.name] = tuple(a.arg for a in arguments.args + arguments.kwonlyargs)
        elif isinstance(node, ast.AnnAssign):
            functions[node.target.id] = None
    return names, functions


def test_scalar_module_keeps_its_thirteen_functions_in_order():
    assert SCALAR_NAMES == ["bs_delta", "bs_gamma", "bs_theta", "bs_vega", "bs_rho", "bs_greeks", "am_price",
                            "am_delta", "am_gamma", "am_theta", "am_vega", "am_rho", "am_greeks"]
    assert varnelle.__all__ == SCALAR_NAMES + ["PyGreeks"]


def test_array_module_registers_every_row_in_order():
    assert [name for name, _, _ in vnp._ufuncs.functions] == ARRAY_NAMES
    assert vnp.ufuncs.__all__ == ARRAY_NAMES
    assert vnp.__all__ == ARRAY_NAMES + ["Greeks", "ufuncs"]


@pytest.mark.parametrize("row", ROWS, ids=lambda row: row.name)
def test_array_function_signature_and_operands_follow_the_shape(row):
    function, ufunc = getattr(vnp, row.name), getattr(vnp.ufuncs, row.name)
    assert tuple(inspect.signature(function).parameters) == row.parameters + KEYWORDS
    assert ufunc.nin == len(row.parameters) and ufunc.nout == (5 if row.shape == "SidedGreeks" else 1)
    assert function.__doc__.startswith(dict((n, s) for n, _, s in vnp._ufuncs.functions)[row.name])


def test_stubs_name_every_function_of_the_table():
    names, functions = stub("varnelle_np/__init__.pyi")
    assert names == ARRAY_NAMES + ["Greeks", "ufuncs"]
    for row in ROWS:
        assert functions[row.name] == row.parameters + KEYWORDS, row.name
    names, functions = stub("varnelle_np/ufuncs.pyi")
    assert names == ARRAY_NAMES and set(functions) == set(ARRAY_NAMES)
    names, functions = stub("varnelle-stubs/__init__.pyi")
    assert names == SCALAR_NAMES + ["PyGreeks"]
    for row in ROWS:
        if row.scalar:
            assert functions[row.name] == row.parameters, row.name
