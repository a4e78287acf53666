"""The function table, src/functions.def, read as Python sees it.

The table is a list of C preprocessor macro calls, one per row; the C++ side
expands them, and this reader takes the same rows apart as text: each row a
macro name and its arguments, string literals joined and unescaped, anything
else kept as written (a name, a number, a kernel type).
"""

from __future__ import annotations

import ast
import pathlib
import re
from dataclasses import dataclass

ROW_MACROS = ("SHAPE", "KEYWORD", "ARRAY", "BOTH", "MODEL")
_ROW_START = re.compile(r"^VARNELLE_(" + "|".join(ROW_MACROS) + r")\(", re.M)
_STRINGS = re.compile(r'\s*(?:"(?:[^"\\\n]|\\.)*"\s*)+')


@dataclass(frozen=True)
class Shape:
    name: str
    parameters: tuple[tuple[str, str | None], ...]  # (name, default as written)
    side: str | None  # the default option_type, or None for no side
    outputs: int
    doc: str  # which description of the parameters: pricing, implied or boundary

    @property
    def numbers(self) -> tuple[str, ...]:
        return tuple(name for name, _ in self.parameters)


@dataclass(frozen=True)
class Keyword:
    name: str
    operands: int
    default: str  # a Python literal, as written


@dataclass(frozen=True)
class Ufunc:
    name: str
    function: str
    model: str
    keywords: tuple[str, ...]
    summary: str


@dataclass(frozen=True)
class Function:
    name: str
    shape: Shape
    default_model: str
    summary: str
    scalar: bool  # also a function of the scalar module
    ufuncs: tuple[Ufunc, ...]  # its own row first, then its further models in table order

    @property
    def models(self) -> tuple[str, ...]:
        """The models model= names, the default first."""
        others = [u.model for u in self.ufuncs if u.model != self.default_model]
        return (self.default_model, *dict.fromkeys(others))

    @property
    def keywords(self) -> tuple[str, ...]:
        """The keywords of any of its rows, in the order they first appear."""
        return tuple(dict.fromkeys(k for u in self.ufuncs for k in u.keywords))


@dataclass(frozen=True)
class Table:
    shapes: dict[str, Shape]
    keywords: dict[str, Keyword]
    functions: tuple[Function, ...]
    ufuncs: tuple[Ufunc, ...]  # in registration order


def _split_arguments(text: str, start: int) -> tuple[list[str], int]:
    """The top-level arguments of a macro call whose '(' is just before
    start, and the position after its ')'."""
    arguments, depth, at, begin = [], 0, start, start
    while True:
        c = text[at]
        if c == '"':
            at = _STRINGS.match(text, at).end()
            continue
        if c == "(":
            depth += 1
        elif c == ")" and depth:
            depth -= 1
        elif c in ",)" and depth == 0:
            arguments.append(text[begin:at].strip())
            begin = at + 1
            if c == ")":
                return arguments, at + 1
        at += 1


def _value(argument: str) -> str:
    """A string literal argument's text (adjacent literals joined, as C and
    Python both join them); any other argument as written."""
    if _STRINGS.fullmatch(argument):
        return ast.literal_eval(argument)
    return argument


def _names(text: str) -> tuple[str, ...]:
    return tuple(name.strip() for name in text.split(",")) if text.strip() else ()


def read_rows(path: pathlib.Path) -> list[tuple[str, list[str]]]:
    """(macro, arguments) of every row, in order."""
    text = path.read_text()
    rows = []
    for match in _ROW_START.finditer(text):
        arguments, _ = _split_arguments(text, match.end())
        rows.append((match.group(1), [_value(a) for a in arguments]))
    return rows


def read_table(path: pathlib.Path) -> Table:
    shapes: dict[str, Shape] = {}
    keywords: dict[str, Keyword] = {}
    heads: list[tuple[str, Shape, str, bool, Ufunc]] = []
    ufuncs: list[Ufunc] = []
    for macro, a in read_rows(path):
        if macro == "SHAPE":
            name, parameters, side, outputs, doc = a
            pairs = tuple((p.partition("=")[0].strip(), p.partition("=")[2].strip() or None)
                          for p in _names(parameters))
            shapes[name] = Shape(name, pairs, None if side == "none" else side, int(outputs), doc)
        elif macro == "KEYWORD":
            name, operands, default = a
            keywords[name] = Keyword(name, int(operands), default)
        elif macro in ("ARRAY", "BOTH"):
            name, shape, model, default_model, names = a[:5]
            ufunc = Ufunc(name, name, model, _names(names), a[7])
            heads.append((name, shapes[shape], default_model, macro == "BOTH", ufunc))
            ufuncs.append(ufunc)
        else:
            name, function, model, names, _, _, summary = a
            ufuncs.append(Ufunc(name, function, model, _names(names), summary))
    functions = []
    for name, shape, default_model, scalar, own in heads:
        family = (own, *(u for u in ufuncs if u.function == name and u is not own))
        function = Function(name, shape, default_model, own.summary, scalar, family)
        if default_model not in {u.model for u in family}:
            raise ValueError(f"{name}: the default model {default_model!r} is none of its rows'")
        for keyword in function.keywords:
            if keyword not in keywords:
                raise ValueError(f"{name}: the keyword {keyword!r} is not defined")
        functions.append(function)
    known = {f.name for f in functions}
    for ufunc in ufuncs:
        if ufunc.function not in known:
            raise ValueError(f"{ufunc.name}: a model of {ufunc.function!r}, which is no function")
    return Table(shapes, keywords, tuple(functions), tuple(ufuncs))
