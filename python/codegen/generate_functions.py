"""Writes varnelle_np/_functions.py, the package's public functions, from the
function table (src/functions.def): one plain function per row of it, with
its real signature, its docstring and its choice of ufunc written out, so a
call costs no more than a hand-written function and a traceback points at a
real file. The build runs it (src/CMakeLists.txt) and installs the result
beside the compiled ufuncs:

    python generate_functions.py src/functions.def build/.../_functions.py
"""

from __future__ import annotations

import argparse
import ast
import pathlib
import sys
import textwrap

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))

from table import Function, Table, Ufunc, read_table  # noqa: E402

# --- docstrings ------------------------------------------------------------
# One description of the parameters per kind of shape (the table's doc
# column); {side}, {models} and {keywords} are filled in per function.

KEYWORDS_DOC = """out : ndarray{tuple}, optional
    Where to write the result, as for any ufunc.
workers : int, optional
    Threads to split a large call across: 1 (the default), or -1 for every
    core, -2 for all but one.
"""

PARAMETERS_DOCS = {
    "pricing": """
Parameters
----------
s, k, t, r, sigma, q : array_like of numbers
    Spot, strike, years to expiry, risk-free rate, volatility and continuous
    dividend yield; they broadcast against each other. Numbers are not
    validated: NaN, infinities, zeros and negative values give what the
    scalar function of the same name gives.{side}{models}
{keywords}""",
    "implied": """
Parameters
----------
price, s, k, t, r, q : array_like of numbers
    Option price, spot, strike, years to expiry, risk-free rate and
    continuous dividend yield; they broadcast against each other.{side}{models}
{keywords}
Returns
-------
The volatility, per 1.0 (0.2 is 20 %). No input raises: a price outside the
no-arbitrage bounds, an expired option (t <= 0), a NaN input, or an American
price that a whole range of volatilities gives (the intrinsic value of an
option worth exercising, or any price am_price keeps over a range of
volatilities) gives NaN; a European price exactly at its lower bound gives
0.0.
""",
    "boundary": """
Parameters
----------
k, t, r, sigma, q : array_like of numbers
    Strike, years to expiry, risk-free rate, volatility and continuous
    dividend yield; they broadcast against each other.{side}{models}
{keywords}
Returns
-------
The critical spot price today under the integral model: a put is exercised
at once at or below it, a call at or above it. Where exercising early never
pays it is 0 for a put and +inf for a call. In the rare case of two
boundaries (a put with q < r < 0, a call with r < q < 0) it is the one
nearer the strike.
""",
}

SIDE_DOC = """
option_type : str or array_like of str
    "call"/"c" or "put"/"p" in any letter case, for every row or per row.
    A bad text raises ValueError naming the first one and its position,
    before anything is written."""

# What each model is, for the model= entry of a function with several.
MODEL_DOCS = {
    "bs2002": "the Bjerksund-Stensland 2002 flat-boundary approximation, the same to the bit as the "
              "scalar module, its Greeks finite differences with fixed steps.",
    "integral": "the early-exercise boundary solved by fixed-point iteration of its integral equation, "
                "accurate to tol, its Greeks derivatives (vega and rho with the boundary's own change).",
}

# Each keyword's entry: where only some of a function's models take it
# ({takers}, {default}), and where all of them do.
DIVIDENDS_DOC = """
    Cash dividends, a pair (times, amounts) of array_likes of one shape:
    ex-times in years from today (on the basis of t) and cash amounts. The
    last axis lists a row's dividends and the axes before it broadcast
    against the other arguments: a 1-D pair is one schedule for every row, a
    2-D pair one per row (pad short ones with zero amounts). With pandas
    rows, DataFrames of times and amounts are aligned with them by index
    label. On each ex-date the spot falls by the amount, floored at zero; a
    dividend counts when 0 < time <= t, a zero amount changes nothing and
    the order does not matter. A negative or NaN amount, or a NaN time with
    a non-zero amount, gives NaN for its row. None (the default), an empty
    schedule or one with no dividend that counts gives the same bits as the
    call without dividends. Shapes that differ or do not broadcast raise
    ValueError before anything is written."""

KEYWORD_DOCS = {
    "tol": (
        """
tol : float, optional
    For model={takers} only: the target error, relative to
    max(price, 0.005 k), from 1e-10 to 1e-3 ({default} when not given).""",
        """
tol : float, optional
    The target error of the boundary's price, relative to max(price,
    0.005 k), from 1e-10 to 1e-3.""",
    ),
    "dividends": (
        """
dividends : (array_like, array_like), optional
    For model={takers} only (others raise TypeError)."""
        + DIVIDENDS_DOC,
        """
dividends : (array_like, array_like), optional"""
        + DIVIDENDS_DOC,
    ),
}


def models_doc(function: Function) -> str:
    if len(function.models) < 2:
        return ""
    described = " ".join(
        f"{model!r}{' (the default)' if model == function.default_model else ''}: {MODEL_DOCS[model]}"
        for model in function.models)
    # Within 76 columns, as the rest of the docstring.
    return (f"\nmodel : {{{', '.join(map(repr, function.models))}}}, optional\n"
            + textwrap.fill(described, 76, initial_indent="    ", subsequent_indent="    "))


def docstring(table: Table, function: Function) -> str:
    parts = [models_doc(function)]
    for name in function.keywords:
        takers = takers_of(function, name)
        some, every = KEYWORD_DOCS[name]
        template = every if len(takers) == len(function.models) else some
        parts.append(template.format(takers=" or ".join(f"'{m}'" for m in takers),
                                     default=table.keywords[name].default))
    body = PARAMETERS_DOCS[function.shape.doc].format(
        side=SIDE_DOC if function.shape.side is not None else "",
        models="".join(parts),
        keywords=KEYWORDS_DOC.format(tuple=" or tuple of five" if function.shape.outputs == 5 else ""),
    )
    return function.summary + "\n" + body


# --- code --------------------------------------------------------------------


def takers_of(function: Function, keyword: str) -> tuple[str, ...]:
    """The models of a function whose rows take a keyword."""
    return tuple(m for m in function.models if any(keyword in u.keywords for u in function.ufuncs if u.model == m))


def optional(table: Table, keyword: str) -> bool:
    """A keyword whose default is None: not giving it runs the model's row
    without it, rather than passing a default value."""
    return table.keywords[keyword].default == "None"


def signature(table: Table, function: Function) -> str:
    """Its parameters: the shape's, option_type, then keyword-only model=,
    the keywords (None where only some models take one: it stands for the
    default) and those every function takes."""
    shape = function.shape
    parameters = [name if default is None else f"{name}={default}" for name, default in shape.parameters]
    if shape.side is not None:
        parameters.append(f"option_type={shape.side!r}")
    keyword_only = [f"model={function.default_model!r}"] if len(function.models) > 1 else []
    for name in function.keywords:
        every = len(takers_of(function, name)) == len(function.models)
        keyword_only.append(f"{name}={table.keywords[name].default if every else None}")
    return ", ".join([*parameters, "*", *keyword_only, "out=None", "workers=1"])


def apply_line(table: Table, function: Function, ufunc: Ufunc) -> str:
    """The call of one row's ufunc, its keywords converted (None meaning the
    default where only some models take one) into its trailing operands."""
    trailing = []
    for name in ufunc.keywords:
        every = len(takers_of(function, name)) == len(function.models)
        value = name
        if not every and not optional(table, name):
            value = f"{table.keywords[name].default} if {name} is None else {name}"
        splat = "*" if table.keywords[name].operands > 1 else ""
        trailing.append(f"{splat}_keyword_{name}({value})")
    numbers = ", ".join(function.shape.numbers) + ("," if len(function.shape.numbers) == 1 else "")
    side = "option_type" if function.shape.side is not None else "_NO_SIDE"
    operands = f"({', '.join(trailing)},)" if trailing else "()"
    return (f"return _apply(_ufunc_{ufunc.name}, ({numbers}), {side}, out, workers, {operands}, "
            f"{function.shape.numbers!r})")


def choose(table: Table, function: Function, rows: list[Ufunc], optionals: list[str]) -> list[str]:
    """The row of one model that the optional keywords given pick: for each,
    the rows without it when it is None, those with it otherwise."""
    if not optionals:
        if len(rows) != 1:
            raise ValueError(f"{function.name}: the rows {[u.name for u in rows]} of one model differ in no "
                             "optional keyword")
        return [apply_line(table, function, rows[0])]
    name, rest = optionals[0], optionals[1:]
    given = [u for u in rows if name in u.keywords]
    absent = [u for u in rows if name not in u.keywords]
    if not absent:
        raise ValueError(f"{function.name}: {name} is optional, but a model has no row without it")
    return [f"if {name} is None:", *("    " + line for line in choose(table, function, absent, rest)),
            *choose(table, function, given, rest)]


def call(table: Table, function: Function, model: str) -> list[str]:
    """The lines that run one model: keywords it does not take refused, then
    the row the others pick applied."""
    rows = [u for u in function.ufuncs if u.model == model]
    lines = []
    for name in function.keywords:
        if not any(name in u.keywords for u in rows):
            takers = takers_of(function, name)
            lines += [f"if {name} is not None:", f"    raise _keyword_not_taken({name!r}, {takers!r}, model)"]
    optionals = [k for k in function.keywords if optional(table, k) and any(k in u.keywords for u in rows)]
    return lines + choose(table, function, rows, optionals)


def body(table: Table, function: Function) -> list[str]:
    if len(function.models) == 1:
        return call(table, function, function.default_model)
    lines = []
    for model in function.models:
        # The default first, compared as the text it must be; any other
        # model only once model is known to be a text.
        if model == function.default_model:
            lines.append(f"if model == {model!r} and isinstance(model, str):")
        else:
            lines.append(f"if isinstance(model, str) and model == {model!r}:")
        lines += ["    " + line for line in call(table, function, model)]
    lines.append(f"raise _unknown_model({function.models!r}, model)")
    return lines


def docstring_literal(text: str) -> str:
    """text as a triple-quoted literal that reads back as exactly text."""
    escaped = text.replace("\\", "\\\\").replace('"""', '\\"\\"\\"')
    if escaped.endswith('"'):
        escaped = escaped[:-1] + '\\"'
    literal = f'"""{escaped}"""'
    assert ast.literal_eval(literal) == text
    return literal


def module_source(table: Table) -> str:
    keywords = ", ".join(f"{name} as _keyword_{name}" for name in table.keywords)
    lines = [
        "# Written by python/codegen/generate_functions.py from src/functions.def when the",
        "# package is built: change those, not this file.",
        '"""The public functions of varnelle_np, one per function of the function',
        'table, each over its ufuncs."""',
        "",
        "from . import _ufuncs  # type: ignore[attr-defined]  # compiled, without a stub of its own",
        "from ._runtime import NO_SIDE as _NO_SIDE, apply as _apply, keyword_not_taken as _keyword_not_taken",
        "from ._runtime import unknown_model as _unknown_model" + (f", {keywords}" if keywords else ""),
        "",
        "__all__ = [",
        *(f"    {f.name!r}," for f in table.functions),
        "]",
        "",
        "# The rows these functions were written from: (ufunc, function, model,",
        "# keywords), as the compiled module lists them.",
        "TABLE = (",
        *(f"    {(u.name, u.function, u.model, ', '.join(u.keywords))!r}," for u in table.ufuncs),
        ")",
        "",
        *(f"_ufunc_{u.name} = _ufuncs.{u.name}" for u in table.ufuncs),
    ]
    for function in table.functions:
        # The docstring's lines start at the margin, so that __doc__ is the
        # same text whether or not the interpreter strips its indentation.
        lines += ["", "", f"def {function.name}({signature(table, function)}):",
                  "    " + docstring_literal(docstring(table, function))]
        lines += ["    " + line for line in body(table, function)]
    source = "\n".join(lines) + "\n"
    compile(source, "_functions.py", "exec")
    return source


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("table", type=pathlib.Path, help="src/functions.def")
    parser.add_argument("output", type=pathlib.Path, help="the _functions.py to write")
    args = parser.parse_args()
    source = module_source(read_table(args.table))
    args.output.parent.mkdir(parents=True, exist_ok=True)
    args.output.write_text(source)


if __name__ == "__main__":
    main()
