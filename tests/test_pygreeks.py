"""The PyGreeks result class."""

import copy
import gc
import math
import pickle
import re
import struct
import weakref

import pytest

import varnelle
from conftest import BASE, GREEK_FIELDS, VECTORS, greeks_text, vector_call

PyGreeks = varnelle.PyGreeks


@pytest.fixture
def g():
    return varnelle.bs_greeks(*BASE)


def test_type_identity_and_metadata(g):
    assert type(g) is PyGreeks
    assert type(varnelle.am_greeks(*BASE)) is PyGreeks
    assert PyGreeks.__name__ == "PyGreeks"
    assert PyGreeks.__qualname__ == "PyGreeks"
    assert PyGreeks.__module__ == "builtins"
    assert repr(PyGreeks) == "<class 'builtins.PyGreeks'>"
    assert PyGreeks.__doc__ == "Container for all option Greeks returned to Python"
    assert PyGreeks.__text_signature__ is None
    assert PyGreeks.__mro__ == (PyGreeks, object)
    assert PyGreeks.__itemsize__ == 0
    if struct.calcsize("P") == 8:
        assert PyGreeks.__basicsize__ == 64
    for field in GREEK_FIELDS:
        assert getattr(PyGreeks, field).__doc__ == ""


@pytest.mark.parametrize("args, kwargs", [((), {}), ((1, 2, 3, 4, 5), {}), ((), {"delta": 1}),
                                          (range(100), {"x": None})])
def test_no_constructor(args, kwargs):
    for make in (PyGreeks, lambda *a, **k: PyGreeks.__new__(PyGreeks, *a, **k)):
        with pytest.raises(TypeError) as info:
            make(*args, **kwargs)
        assert type(info.value) is TypeError
        assert str(info.value) == "No constructor defined for PyGreeks"


def test_no_other_way_to_make_one(g):
    for make in (lambda: object.__new__(PyGreeks), lambda: copy.copy(g), lambda: pickle.dumps(g)):
        with pytest.raises(TypeError):
            make()


def test_attributes_are_read_only(g):
    before = tuple(getattr(g, f) for f in GREEK_FIELDS)
    for field in GREEK_FIELDS:
        with pytest.raises(AttributeError):
            setattr(g, field, 1.0)
        with pytest.raises(AttributeError):
            delattr(g, field)
        with pytest.raises(AttributeError):
            getattr(PyGreeks, field).__set__(g, 1.0)
    with pytest.raises(AttributeError):
        g.other = 1.0
    assert not hasattr(g, "__dict__")
    assert tuple(getattr(g, f) for f in GREEK_FIELDS) == before
    assert all(type(v) is float for v in before)


def test_not_subclassable_and_no_weakref(g):
    with pytest.raises(TypeError):
        class Sub(PyGreeks):
            pass
    with pytest.raises(TypeError):
        weakref.ref(g)
    assert not gc.is_tracked(g)


def test_identity_semantics():
    a = varnelle.bs_greeks(*BASE)
    b = varnelle.bs_greeks(*BASE)
    assert a is not b
    assert repr(a) == repr(b)
    assert a == a and a != b and not (a == b)
    assert hash(a) == object.__hash__(a)
    assert len({a, b}) == 2
    with pytest.raises(TypeError):
        a < b


def test_text_form_example():
    g = varnelle.am_greeks(100, 100, 1, 0.05, 0.2)
    assert repr(g) == str(g) == format(g, "") == greeks_text([getattr(g, f) for f in GREEK_FIELDS])
    assert re.fullmatch(r"Greeks\(delta=0\.636831, gamma=0\.01876\d, theta=-0\.017581, "
                        r"vega=37\.524034, rho=0\.532325\)", repr(g))


NUMBER = re.compile(r"NaN|-?inf|-?(0|[1-9][0-9]*)\.[0-9]{6}")


def _check_text(g):
    values = [getattr(g, f) for f in GREEK_FIELDS]
    text = repr(g)
    assert text == str(g)
    assert text == greeks_text(values)
    shown = re.fullmatch(r"Greeks\(delta=(.*), gamma=(.*), theta=(.*), vega=(.*), rho=(.*)\)", text)
    assert all(NUMBER.fullmatch(s) for s in shown.groups()), text


# Every result of the reference vectors, NaN and infinities included.
@pytest.mark.parametrize("op", ["bs_greeks", "am_greeks"])
def test_text_form_of_all_vector_results(op):
    for row in VECTORS:
        if row["op"] == op:
            _check_text(vector_call(row))


# Inputs chosen to reach the special renderings.
@pytest.mark.parametrize("args, field, text", [
    ((math.nan, *BASE[1:]), "delta", "NaN"),
    ((-math.nan, *BASE[1:]), "delta", "NaN"),              # NaN with its sign bit set
    ((1e300, *BASE[1:], 0.0, "put"), "delta", "-0.000000"),  # N(-d1) == 0
    ((1e308, 1e308, 10.0, 0.0, 0.2, 0.0, "call"), "rho", "inf"),
    ((1e308, 1e308, 10.0, 0.0, 0.2, 0.0, "put"), "rho", "-inf"),
    ((100.0, 100.0, 1.0, 0.0, 0.2, -1000.0), "delta", "inf"),
])
def test_special_values(args, field, text):
    g = varnelle.bs_greeks(*args)
    assert re.search(rf"\b{field}={re.escape(text)}[,)]", repr(g)), repr(g)
    _check_text(g)


def _greeks_with_rho(x):
    """With r = 0 and the option deep in the money, rho is exactly +-k/100;
    pick a strike near 100*|x| that makes it x."""
    k = abs(x) * 100.0
    lower = upper = k
    for _ in range(50):
        if k / 100.0 == abs(x):
            break
        lower, upper = math.nextafter(lower, 0.0), math.nextafter(upper, math.inf)
        k = lower if lower / 100.0 == abs(x) else upper
    assert k / 100.0 == abs(x), "value not reachable as k/100"
    side, s = ("call", k * 1e12) if x > 0 else ("put", k * 1e-12)
    g = varnelle.bs_greeks(s, k, 1.0, 0.0, 0.2, 0.0, side)
    assert g.rho == x and math.copysign(1.0, g.rho) == math.copysign(1.0, x)
    return g


@pytest.mark.parametrize("value, text", [
    (0.5, "0.500000"),
    (1e-7, "0.000000"),
    (-1e-7, "-0.000000"),
    (4e-7, "0.000000"),
    (6e-7, "0.000001"),
    (0.0078125, "0.007812"),       # exact ties go to the even digit
    (0.0234375, "0.023438"),
    (-0.0234375, "-0.023438"),
    (2.0 ** -20, "0.000001"),
    (5e-7, "0.000000"),            # the double lies just below the half
    (2.5e-6, "0.000003"),          # ... and this one just above it
    (123.4567895, "123.456789"),
    (1e23 / 100.0, "999999999999999868928.000000"),
    (2.0 ** 70, "1180591620717411303424.000000"),
    (1e22, "10000000000000000000000.000000"),
    (1e23, "99999999999999991611392.000000"),
    (-2.0 ** 80, "-1208925819614629174706176.000000"),
])
def test_fixed_six_decimals(value, text):
    g = _greeks_with_rho(value)
    assert repr(g).endswith(f", rho={text})")
    _check_text(g)


def test_new_object_per_call():
    results = [varnelle.am_greeks(*BASE) for _ in range(3)] + [varnelle.bs_greeks(*BASE) for _ in range(3)]
    assert len({id(r) for r in results}) == len(results)
