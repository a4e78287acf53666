"""Shared data and helpers for the varnelle test suite."""

import json
import math
import os
import pathlib
import struct
import subprocess
import sys
import textwrap

import pytest

import varnelle

from function_table import ROWS, SCALAR_NAMES

# Registration order, which is also the order of __all__.
FUNCTION_NAMES = list(SCALAR_NAMES)
NO_SIDE = {row.name for row in ROWS if "option_type" not in row.parameters}  # bs_gamma and bs_vega
WITH_SIDE = [n for n in FUNCTION_NAMES if n not in NO_SIDE]
PARAMS7 = ("s", "k", "t", "r", "sigma", "q", "option_type")
GREEK_FIELDS = ("delta", "gamma", "theta", "vega", "rho")
BASE = (100.0, 100.0, 1.0, 0.05, 0.2)  # wherever the exact inputs do not matter

with (pathlib.Path(__file__).parent / "data" / "pricing_vectors.json").open() as _fh:
    VECTORS = json.load(_fh)["rows"]


def params_of(name):
    return PARAMS7[:6] if name in NO_SIDE else PARAMS7


def vector_args(row):
    return [float.fromhex(a) for a in row["args"]]


def vector_call(row):
    """Calls the module function of a vector row; returns its raw result."""
    side = [] if row["option_type"] is None else [row["option_type"]]
    return getattr(varnelle, row["op"])(*vector_args(row), *side)


def as_values(result):
    """A float stays a float; a PyGreeks becomes its five fields in order."""
    if isinstance(result, float):
        return result
    return tuple(getattr(result, f) for f in GREEK_FIELDS)


def same_double(a, b):
    """Bit-for-bit equality, except that any NaN matches any NaN."""
    if math.isnan(a) and math.isnan(b):
        return True
    return struct.pack("<d", a) == struct.pack("<d", b)


def same_values(a, b):
    if isinstance(a, float):
        return isinstance(b, float) and same_double(a, b)
    return len(a) == len(b) and all(same_double(x, y) for x, y in zip(a, b))


def greeks_text(values):
    """Reference text form of a PyGreeks. Python's fixed format rounds the
    exact binary value correctly, keeps the sign of -0.0 and writes inf/-inf;
    only NaN is spelled differently."""
    shown = ("NaN" if math.isnan(v) else f"{v:.6f}" for v in values)
    return "Greeks(" + ", ".join(f"{n}={v}" for n, v in zip(GREEK_FIELDS, shown)) + ")"


def run_python(code, timeout=60):
    """Runs code in a fresh interpreter like this one: for anything that could
    take the process down or that needs a pristine module state."""
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True,
                          text=True, timeout=timeout, env=dict(os.environ))


@pytest.fixture
def unraisable(monkeypatch):
    """Collects what the interpreter hands to sys.unraisablehook."""
    seen = []
    monkeypatch.setattr(sys, "unraisablehook", seen.append)
    return seen
