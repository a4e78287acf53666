"""The modules, their Python layer and the type stubs against the function
table (src/functions.def) they are made from, and the build's writing of the
Python layer from that table."""

import ast
import inspect
import pathlib
import re
import subprocess
import sys
import traceback

import pytest

import varnelle
from function_table import ARRAY_NAMES, DEFINITION, MODEL_ROWS, ROOT, ROWS, SCALAR_NAMES, TABLE, UFUNC_NAMES

np = pytest.importorskip("numpy")
vnp = pytest.importorskip("varnelle_np")

PYTHON = ROOT / "python"
GENERATOR = PYTHON / "codegen" / "generate_functions.py"
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
    assert vnp._ufuncs.table == tuple((u.name, u.function, u.model, ", ".join(u.keywords)) for u in TABLE.ufuncs)
    assert vnp.ufuncs.__all__ == UFUNC_NAMES
    assert vnp.__all__ == ARRAY_NAMES + ["Greeks", "ufuncs", "show_config"]


@pytest.mark.parametrize("row", ROWS, ids=lambda row: row.name)
def test_array_function_signature_and_operands_follow_the_shape(row):
    function, ufunc = getattr(vnp, row.name), getattr(vnp.ufuncs, row.name)
    assert tuple(inspect.signature(function).parameters) == row.parameters + row.keywords + KEYWORDS
    assert (ufunc.nin, ufunc.nout) == (row.inputs, row.outputs)
    summary = next(f.summary for f in TABLE.functions if f.name == row.name)
    assert function.__doc__.startswith(summary + "\n") and f"\n\n{summary} Operands (" in ufunc.__doc__


@pytest.mark.parametrize("model", MODEL_ROWS, ids=lambda model: model.name)
def test_a_model_has_its_functions_operands_then_its_keywords(model):
    own = next(r for r in ROWS if r.name == model.function)
    ufunc = getattr(vnp.ufuncs, model.name)
    own_keywords = next(u for u in TABLE.ufuncs if u.name == own.name).keywords
    operands = sum(TABLE.keywords[k].operands for k in model.keywords)
    assert (ufunc.nin, ufunc.nout) == (
        own.inputs - sum(TABLE.keywords[k].operands for k in own_keywords) + operands, own.outputs)
    # A schedule's two operands are named by their place along the core dimension.
    names = ["times (n), amounts (n)" if TABLE.keywords[k].operands == 2 else k for k in model.keywords]
    ending = "); put is True for a put." if "option_type" in own.parameters else ")."
    assert ufunc.__doc__.endswith(f", {', '.join(names)}{ending}")


def test_stubs_name_every_function_of_the_table():
    names, functions = stub("varnelle_np/__init__.pyi")
    assert names == ARRAY_NAMES + ["Greeks", "ufuncs", "show_config"]
    for row in ROWS:
        assert functions[row.name] == row.parameters + row.keywords + KEYWORDS, row.name
    names, functions = stub("varnelle_np/ufuncs.pyi")
    assert names == UFUNC_NAMES and set(functions) == set(UFUNC_NAMES)
    names, functions = stub("varnelle-stubs/__init__.pyi")
    assert names == SCALAR_NAMES + ["PyGreeks"]
    for row in ROWS:
        if row.scalar:
            assert functions[row.name] == row.parameters, row.name


def test_functions_live_in_a_real_file_and_fail_there():
    path = pathlib.Path(inspect.getsourcefile(vnp.am_price))
    assert path.name == "_functions.py" and path.is_file()
    with pytest.raises(ValueError) as failure:
        vnp.am_price(100, 100, 1, 0.05, 0.2, model="tree")
    frames = traceback.extract_tb(failure.tb)
    assert all(pathlib.Path(frame.filename).is_file() for frame in frames)
    line = next(frame for frame in frames if frame.name == "am_price").line
    assert line.startswith("raise _unknown_model(")


# --- writing the layer from other tables --------------------------------------


def generate(tmp_path, edit):
    """The layer the build would write from the table with edit applied."""
    definition = tmp_path / "functions.def"
    definition.write_text(edit(DEFINITION.read_text()))
    output = tmp_path / "_functions.py"
    result = subprocess.run([sys.executable, str(GENERATOR), str(definition), str(output)],
                            capture_output=True, text=True)
    return result, (output.read_text() if output.exists() else "")


def test_the_written_layer_is_the_one_installed(tmp_path):
    result, source = generate(tmp_path, lambda text: text)
    assert result.returncode == 0, result.stderr
    assert source == pathlib.Path(inspect.getsourcefile(vnp.am_price)).read_text()


def test_the_default_model_and_keyword_defaults_come_from_the_table(tmp_path):
    # A later default, model="integral": the signature, the docstring and the
    # order of the choice follow the one column; so does the default tol.
    def edit(text):
        text = re.sub(r"^(VARNELLE_BOTH\(am_price, Sided, bs2002), bs2002,", r"\1, integral,", text, flags=re.M)
        return text.replace("VARNELLE_KEYWORD(tol, 1, 1e-6)", "VARNELLE_KEYWORD(tol, 1, 1e-8)")

    result, source = generate(tmp_path, edit)
    assert result.returncode == 0, result.stderr
    module = ast.parse(source)
    am_price = next(node for node in module.body if isinstance(node, ast.FunctionDef) and node.name == "am_price")
    code = ast.unparse(am_price)
    assert "model='integral', tol=None" in code.splitlines()[0]
    assert "'integral' (the default)" in ast.get_docstring(am_price) and "(1e-08 when not given)" not in code
    assert "(1e-8 when not given)" in ast.get_docstring(am_price)
    choices = [ast.unparse(node.test) for node in am_price.body if isinstance(node, ast.If)]
    assert choices == ["model == 'integral' and isinstance(model, str)", "isinstance(model, str) and model == 'bs2002'"]
    assert "_keyword_tol(1e-08 if tol is None else tol)" in code
    assert "raise _unknown_model(('integral', 'bs2002'), model)" in code
    boundary = next(node for node in module.body if isinstance(node, ast.FunctionDef)
                    and node.name == "am_exercise_boundary")
    assert "tol=1e-08" in ast.unparse(boundary).splitlines()[0]


@pytest.mark.parametrize("edit, message", [
    (lambda text: text.replace("integral, integral, \"tol\"", "integral, bs2002, \"tol\""),
     "am_exercise_boundary: the default model 'bs2002' is none of its rows'"),
    (lambda text: text.replace("am_price, integral, \"tol\"", "am_price, integral, \"tol, depth\""),
     "am_price: the keyword 'depth' is not defined"),
    (lambda text: text.replace("VARNELLE_MODEL(am_rho_integral, am_rho,", "VARNELLE_MODEL(am_rho_integral, am_rhi,"),
     "am_rho_integral: a model of 'am_rhi', which is no function"),
])
def test_a_table_that_contradicts_itself_stops_the_build(tmp_path, edit, message):
    result, source = generate(tmp_path, edit)
    assert result.returncode != 0 and message in result.stderr and not source


FAKE_RUNTIME = '''
NO_SIDE = "no side"
def apply(ufunc, numbers, option_type, out, workers, trailing, names):
    return ufunc, trailing
def keyword_not_taken(keyword, takers, model):
    return TypeError(f"{keyword} for {takers}, not {model}")
def unknown_model(known, model):
    return ValueError(model)
def tol(value):
    return ("tol", value)
def dividends(value):
    return ("times", "amounts")
'''


def test_an_optional_keyword_picks_the_row_of_its_model_that_takes_it(tmp_path, monkeypatch):
    # A keyword whose default is None, as dividends=(times, amounts) is:
    # given, it runs the row of the model that takes it; not given, the
    # model's own row, with the same bits as before; a model without such a
    # row refuses it. The table's am_delta row with dividends is left out, so
    # that one function has no such row.
    monkeypatch.syspath_prepend(str(GENERATOR.parent))
    monkeypatch.syspath_prepend(str(tmp_path))
    import generate_functions
    import table

    text = DEFINITION.read_text()
    start = text.index("VARNELLE_MODEL(am_delta_dividends,")
    text = text[:start] + text[text.index("\nVARNELLE_", start) + 1:]
    assert "am_delta_dividends" not in text
    definition = tmp_path / "functions.def"
    definition.write_text(text)
    package = tmp_path / "fake_np"
    package.mkdir()
    (package / "__init__.py").write_text("")
    (package / "_ufuncs.py").write_text("def __getattr__(name):\n    return name\n")
    (package / "_runtime.py").write_text(FAKE_RUNTIME)
    (package / "_functions.py").write_text(generate_functions.module_source(table.read_table(definition)))
    from fake_np import _functions as f

    assert "tol=None, dividends=None, out=None" in str(inspect.signature(f.am_price))
    assert f.bs_price(1, 2, 3, 4, 5) == ("bs_price", ())
    assert f.bs_price(1, 2, 3, 4, 5, dividends=([0.5], [1.0])) == ("bs_price_dividends", ("times", "amounts"))
    assert f.am_price(1, 2, 3, 4, 5, model="integral") == ("am_price_integral", (("tol", 1e-6),))
    assert f.am_price(1, 2, 3, 4, 5, model="integral", tol=1e-4, dividends=([0.5], [1.0])) == (
        "am_price_dividends", (("tol", 1e-4), "times", "amounts"))
    with pytest.raises(TypeError, match=r"dividends for \('integral',\), not bs2002"):
        f.am_price(1, 2, 3, 4, 5, model="bs2002", dividends=([0.5], [1.0]))
    with pytest.raises(TypeError, match="unexpected keyword argument 'dividends'"):  # a function with no such row
        f.am_delta(1, 2, 3, 4, 5, model="integral", dividends=([0.5], [1.0]))
