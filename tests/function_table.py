"""The function table (src/functions.def) as the tests read it, through the
build's own reader (python/codegen/table.py): one row per exposed function,
in registration order. The compiled modules are held to the same rows by
their own reading of the table, the C++ preprocessor's."""

import pathlib
import sys
from dataclasses import dataclass

ROOT = pathlib.Path(__file__).resolve().parent.parent
DEFINITION = ROOT / "src" / "functions.def"
sys.path.insert(0, str(ROOT / "python" / "codegen"))

from table import read_table  # noqa: E402

TABLE = read_table(DEFINITION)


@dataclass(frozen=True)
class Row:
    name: str
    shape: str
    scalar: bool  # also a function of the scalar module
    parameters: tuple[str, ...]  # positional-or-keyword, without defaults
    keywords: tuple[str, ...]  # keyword-only, before out= and workers=
    inputs: int  # of its own ufunc
    outputs: int


def _row(function):
    shape = function.shape
    side = ("option_type",) if shape.side is not None else ()
    own = function.ufuncs[0]
    return Row(function.name, shape.name, function.scalar, shape.numbers + side,
               (("model",) if len(function.models) > 1 else ()) + function.keywords,
               len(shape.numbers) + len(side) + sum(TABLE.keywords[k].operands for k in own.keywords),
               shape.outputs)


ROWS = [_row(function) for function in TABLE.functions]
MODEL_ROWS = [u for u in TABLE.ufuncs if u.name != u.function]
SCALAR_NAMES = [row.name for row in ROWS if row.scalar]
ARRAY_NAMES = [row.name for row in ROWS]
UFUNC_NAMES = [u.name for u in TABLE.ufuncs]
