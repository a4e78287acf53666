"""Results of the thirteen functions: reference vectors and calling conventions."""

import math

import pytest

import varnelle
from conftest import (BASE, FUNCTION_NAMES, GREEK_FIELDS, NO_SIDE, VECTORS, as_values, params_of,
                      same_double, same_values, vector_args, vector_call)


@pytest.mark.parametrize("row", VECTORS, ids=lambda row: row["op"])
def test_reference_vector(row):
    got = as_values(vector_call(row))
    expected = row["expected"]
    if isinstance(expected, list):
        expected = tuple(float.fromhex(e) for e in expected)
    else:
        expected = float.fromhex(expected)
    assert type(got) is type(expected)
    if row["exact"]:
        assert same_values(got, expected), (got, expected)
        return
    one = isinstance(expected, float)
    for g, e, t in [(got, expected, row["abs_tol"])] if one else zip(got, expected, row["abs_tol"]):
        assert (math.isnan(g) and math.isnan(e)) or abs(g - e) <= t, (g, e, t)


# The all-at-once functions must agree with the single ones to the bit,
# including on degenerate inputs (the vectors contain NaN and infinities).
@pytest.mark.parametrize("prefix", ["bs", "am"])
def test_greeks_equal_single_functions(prefix):
    greeks = getattr(varnelle, prefix + "_greeks")
    rows = [r for r in VECTORS if r["op"] == prefix + "_greeks"]
    assert rows
    for row in rows:
        args = vector_args(row)
        side = row["option_type"]
        g = greeks(*args, side)
        for field in GREEK_FIELDS:
            single = getattr(varnelle, f"{prefix}_{field}")
            value = single(*args) if single.__name__ in NO_SIDE else single(*args, side)
            assert same_double(getattr(g, field), value), (field, args, side)


@pytest.mark.parametrize("name", FUNCTION_NAMES)
@pytest.mark.parametrize("side", ["call", "put"])
def test_positional_and_keyword_mixes_agree(name, side):
    func = getattr(varnelle, name)
    names = params_of(name)
    values = (101.5, 97.25, 0.75, 0.031, 0.27, 0.012, side)[: len(names)]
    expected = as_values(func(*values))
    for split in range(len(names) + 1):
        positional = values[:split]
        keywords = dict(zip(names[split:], values[split:]))
        assert same_values(as_values(func(*positional, **keywords)), expected), split
    # keyword order is irrelevant
    reversed_kw = dict(reversed(list(zip(names, values))))
    assert same_values(as_values(func(**reversed_kw)), expected)


@pytest.mark.parametrize("name", FUNCTION_NAMES)
def test_defaults_are_zero_dividend_and_call(name):
    func = getattr(varnelle, name)
    explicit = (0.0,) if name in NO_SIDE else (0.0, "call")
    assert same_values(as_values(func(*BASE)), as_values(func(*BASE, *explicit)))
    if name not in NO_SIDE:
        assert same_values(as_values(func(*BASE, option_type="call")),
                           as_values(func(*BASE, q=0.0)))


@pytest.mark.parametrize("name", FUNCTION_NAMES)
@pytest.mark.parametrize("inputs", [
    (100.0, 100.0, 0.0, 0.05, 0.2),            # at expiry
    (100.0, 100.0, 1.0, 0.05, 0.0),            # no volatility
    (0.0, 100.0, 1.0, 0.05, 0.2),              # zero spot
    (100.0, 0.0, 1.0, 0.05, 0.2),              # zero strike
    (-100.0, 100.0, -1.0, -0.05, -0.2),        # all negative
    (math.nan, 100.0, 1.0, 0.05, 0.2),
    (math.inf, 100.0, 1.0, 0.05, 0.2),
    (100.0, 100.0, math.inf, -math.inf, math.inf),
], ids=["t0", "sigma0", "s0", "k0", "negative", "nan", "inf", "infs"])
def test_degenerate_inputs_return_numbers(name, inputs):
    result = getattr(varnelle, name)(*inputs)
    assert type(result) is (varnelle.PyGreeks if name.endswith("_greeks") else float)


def _normal_cdf(x):
    return 0.5 * math.erfc(-x / math.sqrt(2.0))


def _delta_reference(s, k, t, r, sigma, q):
    d1 = (math.log(s / k) + (r - q + 0.5 * sigma * sigma) * t) / (sigma * math.sqrt(t))
    return math.exp(-q * t) * _normal_cdf(d1)


# -1.0 doubles as the failure marker of the interpreter's float conversion;
# as a real argument it must be taken at face value in every position.
@pytest.mark.parametrize("position, inputs", [
    ("s,k", (-1.0, -1.0, 1.0, 0.05, 0.2, 0.0)),
    ("r", (100.0, 90.0, 0.5, -1.0, 0.3, 0.0)),
    ("sigma", (100.0, 90.0, 0.5, 0.05, -1.0, 0.0)),
    ("q", (100.0, 90.0, 0.5, 0.05, 0.3, -1.0)),
])
def test_minus_one_is_an_ordinary_value(position, inputs):
    got = varnelle.bs_delta(*inputs)
    assert math.isclose(got, _delta_reference(*inputs), rel_tol=1e-8)
    # the same value from an int and from an object with __float__
    class MinusOne:
        def __float__(self):
            return -1.0
    swapped = [MinusOne() if v == -1.0 else v for v in inputs]
    as_int = [-1 if v == -1.0 else v for v in inputs]
    assert same_double(varnelle.bs_delta(*swapped), got)
    assert same_double(varnelle.bs_delta(*as_int), got)


def test_numeric_protocols_are_accepted():
    class Index:
        def __index__(self):
            return 100

    class Float:
        def __float__(self):
            return 100.0

    class FloatSub(float):
        pass

    expected = varnelle.am_price(*BASE, 0.01, "put")
    for s in (100, Index(), Float(), FloatSub(100.0)):
        assert same_double(varnelle.am_price(s, *BASE[1:], 0.01, "put"), expected), s


def test_american_call_never_below_european():
    # The exercise trigger lies below the strike here; the European value holds.
    assert varnelle.am_price(90, 100, 3, 0.01, 0.15, 0.21, "call") == pytest.approx(
        0.017760129184619, rel=1e-12)
