"""The function table (src/functions.def) as the tests read it: one row per
exposed function, in registration order."""

import pathlib
import re
from dataclasses import dataclass

TABLE = pathlib.Path(__file__).resolve().parent.parent / "src" / "functions.def"

# Parameters of each operand shape (src/function_shape.hpp), without defaults.
SHAPE_PARAMETERS = {
    "Sided": ("s", "k", "t", "r", "sigma", "q", "option_type"),
    "Sideless": ("s", "k", "t", "r", "sigma", "q"),
    "SidedGreeks": ("s", "k", "t", "r", "sigma", "q", "option_type"),
    "Implied": ("price", "s", "k", "t", "r", "q", "option_type"),
    "Boundary": ("k", "t", "r", "sigma", "q", "option_type"),
}
# A model's shape: its function's, with a trailing target error.
MODEL_SHAPES = {"SidedTol": "Sided", "SidedGreeksTol": "SidedGreeks", "ImpliedTol": "Implied"}


@dataclass(frozen=True)
class Row:
    name: str
    shape: str
    scalar: bool  # also a function of the scalar module

    @property
    def parameters(self):
        return SHAPE_PARAMETERS[self.shape]


@dataclass(frozen=True)
class ModelRow:
    name: str  # of the ufunc
    function: str
    model: str
    shape: str


_TEXT = TABLE.read_text()
ROWS = [Row(name, shape, macro == "BOTH")
        for macro, name, shape in re.findall(r"^VARNELLE_(ARRAY|BOTH)\((\w+), (\w+),", _TEXT, re.M)]
MODEL_ROWS = [ModelRow(*fields) for fields in re.findall(r"^VARNELLE_MODEL\((\w+), (\w+), (\w+), (\w+),", _TEXT, re.M)]
SCALAR_NAMES = [row.name for row in ROWS if row.scalar]
ARRAY_NAMES = [row.name for row in ROWS]
UFUNC_NAMES = [name for name in re.findall(r"^VARNELLE_(?:ARRAY|BOTH|MODEL)\((\w+),", _TEXT, re.M)]
