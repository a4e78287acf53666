"""The modules, their Python layer and the type stubs against the function
table (src/functions.def) they are made from."""

import ast
import inspect
import pathlib

import pytest

import varnelle
from function_table import ARRAY_NAMES, MODEL_ROWS, MODEL_SHAPES, ROWS, SCALAR_NAMES, SHAPE_PARAMETERS, UFUNC_NAMES

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
    assert [name for name, *_ in vnp._ufuncs.functions] == ARRAY_NAMES
    assert [tuple(entry) for entry in vnp._ufuncs.models] == [(m.name, m.function, m.model) for m in MODEL_ROWS]
    assert vnp.ufuncs.__all__ == UFUNC_NAMES
    assert vnp.__all__ == ARRAY_NAMES + ["Greeks", "ufuncs"]


def keywords_of(row):
    if any(m.function == row.name for m in MODEL_ROWS):
        return ("model", "tol")
    return ("tol",) if row.shape == "Boundary" else ()


@pytest.mark.parametrize("row", ROWS, ids=lambda row: row.name)
def test_array_function_signature_and_operands_follow_the_shape(row):
    function, ufunc = getattr(vnp, row.name), getattr(vnp.ufuncs, row.name)
    assert tuple(inspect.signature(function).parameters) == row.parameters + keywords_of(row) + KEYWORDS
    trailing = 1 if row.shape == "Boundary" else 0
    assert ufunc.nin == len(row.parameters) + trailing and ufunc.nout == (5 if "Greeks" in row.shape else 1)
    assert function.__doc__.startswith(dict((n, s) for n, *_, s in vnp._ufuncs.functions)[row.name])


@pytest.mark.parametrize("row", MODEL_ROWS, ids=lambda row: row.name)
def test_a_model_has_its_functions_operands_and_a_target_error(row):
    ufunc = getattr(vnp.ufuncs, row.name)
    base = next(r for r in ROWS if r.name == row.function)
    assert MODEL_SHAPES[row.shape] == base.shape
    assert (ufunc.nin, ufunc.nout) == (len(SHAPE_PARAMETERS[base.shape]) + 1, getattr(vnp.ufuncs, row.function).nout)


def test_stubs_name_every_function_of_the_table():
    names, functions = stub("varnelle_np/__init__.pyi")
    assert names == ARRAY_NAMES + ["Greeks", "ufuncs"]
    for row in ROWS:
        assert functions[row.name] == row.parameters + keywords_of(row) + KEYWORDS, row.name
    names, functions = stub("varnelle_np/ufuncs.pyi")
    assert names == UFUNC_NAMES and set(functions) == set(UFUNC_NAMES)
    names, functions = stub("varnelle-stubs/__init__.pyi")
    assert names == SCALAR_NAMES + ["PyGreeks"]
    for row in ROWS:
        if row.scalar:
            assert functions[row.name] == row.parameters, row.name
