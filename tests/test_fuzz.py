"""Generated calls, well-formed and hostile, against the binder model.

Every function is called with generated positional tuples and keyword dicts
of any length and content: numbers of every kind (huge ints, NaN, infinities,
subnormals, -0.0), texts and str subclasses, bytes, None, and objects whose
__float__, __index__ or __str__ return the wrong type or raise. Each call must
do exactly what binder_model.predict says: return a float or PyGreeks equal,
bit for bit, to the call with the converted inputs, or raise exactly the
predicted exception type with exactly the predicted message; it must hand
the unraisable hook exactly the objects the model names, and leave every
argument with the reference count it had. Keyword dicts with keys Python
syntax cannot pass go through PyObject_Call, as C code would.

The run is derandomised (the same examples every time); VARNELLE_FUZZ_EXAMPLES
sets the number of examples per function (make stress raises it).
"""

import ctypes
import gc
import math
import os
import struct
import sys
import warnings
import weakref
from decimal import Decimal
from fractions import Fraction

import pytest

try:
    from hypothesis import HealthCheck, event, given, settings
    from hypothesis import strategies as st
except ImportError:
    if os.environ.get("CI"):
        raise
    pytest.skip("hypothesis is not installed (pip install 'varnelle[test]')", allow_module_level=True)

import binder_model as model
import varnelle
from conftest import BASE, FUNCTION_NAMES, GREEK_FIELDS

EXAMPLES = int(os.environ.get("VARNELLE_FUZZ_EXAMPLES", "150"))
EXAMPLES_RUN = {"count": 0, "returned": 0, "raised": 0}

FUZZ = settings(max_examples=EXAMPLES, derandomize=True, database=None, deadline=None,
                suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large,
                                       HealthCheck.filter_too_much])


def call_with_dict(func, args, kwargs):
    """func(*args, **kwargs) the way C code calls it: the dict itself is
    passed, so its keys may be of any type."""
    call = ctypes.pythonapi.PyObject_Call
    call.restype = ctypes.py_object
    call.argtypes = [ctypes.py_object, ctypes.py_object, ctypes.py_object]
    return call(func, tuple(args), kwargs)


def bits(x):
    return struct.pack("<d", x)


# --- hostile objects ---------------------------------------------------------

class Cause(Exception):
    pass


CAUSE = Cause("the cause a renamed TypeError keeps")


class Escape(BaseException):
    """Not an Exception: must pass through untouched all the same."""


class TypeErrorSub(TypeError):
    """A TypeError subclass is not renamed."""


class FloatSub(float):
    """Returned from __float__: accepted with a DeprecationWarning."""


class GivesBack:
    """Hands back a given result from its conversion method, named in its
    repr so a failing case says what was returned."""

    def __init__(self, result):
        self.result = result

    def __repr__(self):
        return f"{type(self).__name__}({self.result!r})"


class FloatReturns(GivesBack):
    def __float__(self):
        return self.result


class FloatRaises:
    def __init__(self, kind, message, with_cause):
        self.kind, self.message, self.with_cause = kind, message, with_cause

    def __float__(self):
        if self.with_cause:
            raise self.kind(self.message) from CAUSE
        raise self.kind(self.message)

    def __repr__(self):
        return f"FloatRaises({self.kind.__name__}, {self.message!r}, {self.with_cause})"


class IndexReturns(GivesBack):
    def __index__(self):
        return self.result


class IndexRaises:
    def __index__(self):
        raise ValueError("no index today")


class FloatIsNone:
    __float__ = None


class FloatAndIndex:
    def __float__(self):
        return 2.5

    def __index__(self):
        return 7


class FloatSubIgnoringFloat(float):
    def __float__(self):
        raise AssertionError("never called for a float subclass")


class IntSubWithFloat(int):
    def __float__(self):
        return 0.125


class UnprintableTypeError:
    """__float__ raises a TypeError whose text cannot be made."""

    class Text:
        def __str__(self):
            raise RuntimeError("no text")

    def __float__(self):
        raise TypeError(self.Text())


class Side(str):
    """A str subclass: its characters count, not what its methods say."""

    def __str__(self):
        return "put"

    def lower(self):
        return "call"


class Key(str):
    """A str key that equals nothing: it binds by its characters all the same."""

    def __eq__(self, other):
        return False

    __hash__ = str.__hash__

    def __str__(self):
        return "shown-" + str.__str__(self)


class FakeStr:
    """Claims to be a str through __class__; its real type is not one."""

    @property
    def __class__(self):
        return str

    def __str__(self):
        return "call"


class Unprintable:
    def __str__(self):
        raise RuntimeError("no text")


class StrReturnsInt:
    def __str__(self):
        return 5


# --- strategies ----------------------------------------------------------------

SPECIAL_FLOATS = [0.0, -0.0, 1.0, -1.0, math.inf, -math.inf, math.nan, -math.nan, 5e-324, -5e-324,
                  2.2250738585072014e-308, float.fromhex("0x0.fffffffffffffp-1022"),
                  1.7976931348623157e308, 100.0, 0.05, 0.2]
HUGE_INTS = [10 ** 400, -10 ** 400, 2 ** 1024, 2 ** 1024 - 1, 2 ** 1023, -(2 ** 1023), 2 ** 53 + 1,
             True, False]
SIDE_TEXTS = ["call", "put", "c", "p", "CALL", "Put", "pUt", "C", "P", "", " call", "put ", "calls",
              "pu", "ca", "x", "\ud800", "put\udfff", "p\u00fct", "\u0131", "CALL\x00", "call\n"]
KEY_TEXTS = ["S", "option_type ", "q\ud800", "", "sigma2", "x", "Q", "\u00df", "option-type"]
NON_STR_KEYS = [1, None, b"q", 2.5, ("s",)]
FLOAT_RESULTS = st.one_of(st.floats(), st.sampled_from(SPECIAL_FLOATS), st.integers(-3, 3),
                          st.sampled_from(["1.5", None, b"1", 1j]), st.builds(FloatSub, st.floats()))
INDEX_RESULTS = st.one_of(st.integers(-2 ** 60, 2 ** 60), st.sampled_from(HUGE_INTS),
                          st.sampled_from(["3", 2.0, None]))

plain_numbers = st.one_of(st.floats(), st.sampled_from(SPECIAL_FLOATS),
                          st.integers(-(2 ** 70), 2 ** 70), st.sampled_from(HUGE_INTS))
hostile_numbers = st.one_of(
    st.builds(FloatReturns, FLOAT_RESULTS),
    st.builds(FloatRaises, st.sampled_from([TypeError, ValueError, ZeroDivisionError, OverflowError,
                                            TypeErrorSub, Escape, ArithmeticError]),
              st.sampled_from(["", "bad", "lone \udc80"]), st.booleans()),
    st.builds(IndexReturns, INDEX_RESULTS),
    st.builds(IndexRaises), st.builds(FloatIsNone), st.builds(FloatAndIndex),
    st.builds(FloatSubIgnoringFloat, st.floats()), st.builds(IntSubWithFloat, st.integers(-5, 5)),
    st.builds(UnprintableTypeError),
    st.sampled_from([Decimal("1.5"), Decimal("NaN"), Fraction(1, 3), 1 + 2j, None, [], {}]),
    st.text(max_size=3), st.binary(max_size=3), st.builds(bytearray, st.binary(max_size=2)),
)
side_values = st.one_of(st.sampled_from(SIDE_TEXTS), st.builds(Side, st.sampled_from(SIDE_TEXTS)),
                        st.text(max_size=5), st.builds(FakeStr), st.builds(Unprintable),
                        st.sampled_from([None, 1, 1.5, b"call", bytearray(b"put"), ["call"]]))
any_value = st.one_of(plain_numbers, hostile_numbers, side_values)
keys = st.one_of(st.sampled_from(model.PARAMS), st.builds(Key, st.sampled_from(model.PARAMS)),
                 st.sampled_from(KEY_TEXTS), st.text(max_size=4), st.sampled_from(NON_STR_KEYS),
                 st.builds(Unprintable), st.builds(StrReturnsInt))


good_numbers = st.one_of(st.floats(), st.sampled_from(SPECIAL_FLOATS), st.integers(-(2 ** 70), 2 ** 70))
good_sides = st.sampled_from(["call", "put", "c", "p", "CALL", "Put", "P", "C"])


def value_for(param):
    """Mostly a value the parameter takes, sometimes one of its odd kind,
    now and then anything at all."""
    good, usual = (good_sides, side_values) if param == "option_type" else (good_numbers, plain_numbers)
    return st.integers(0, 19).flatmap(lambda i: good if i < 16 else usual if i < 18 else any_value)


@st.composite
def calls(draw, name):
    params = model.parameters(name)
    mode = draw(st.integers(0, 9))
    if mode < 7:
        # Near a well-formed call: a prefix by position, the rest by keyword in
        # any order. In the first kind every parameter is bound and one value
        # at most is odd (conversion and option errors); in the second some
        # are left out and an extra of either kind may join (binding errors).
        odd = draw(st.integers(0, len(params) - 1))
        values = [draw(value_for(p) if i != odd else st.one_of(good_numbers, plain_numbers, hostile_numbers,
                                                               side_values))
                  for i, p in enumerate(params)]
        npos = draw(st.integers(0, len(params)))
        args = values[:npos]
        named = list(zip(params[npos:], values[npos:]))
        if mode >= 4:
            named = [pair for pair in named if draw(st.integers(0, 9)) > 0]
            if draw(st.integers(0, 3)) == 0:
                args.append(draw(any_value))
            if draw(st.integers(0, 2)) == 0:
                named.insert(draw(st.integers(0, len(named))), (draw(keys), draw(any_value)))
        kwargs = dict(draw(st.permutations(named)))
    else:
        args = draw(st.lists(any_value, max_size=9))
        kwargs = dict(draw(st.lists(st.tuples(keys, any_value), max_size=8)))
    only_c = any(not isinstance(k, str) for k in kwargs)
    via_c = only_c or draw(st.booleans())
    warnings_mode = draw(st.sampled_from(["ignore", "error"]))
    return tuple(args), kwargs, via_c, warnings_mode


# --- the property ------------------------------------------------------------

def call_outcome(name, args, kwargs, via_c):
    """What the call did, kept as plain values so that no object the call
    made (an exception with its traceback) outlives this function."""
    func = getattr(varnelle, name)
    try:
        result = call_with_dict(func, args, kwargs) if via_c else func(*args, **kwargs)
    except BaseException as exc:  # noqa: BLE001 - every exception type is checked
        return ("raised", type(exc), str(exc), exc.__cause__, exc.__context__)
    if type(result) is varnelle.PyGreeks:
        return ("returned", type(result), [bits(getattr(result, f)) for f in GREEK_FIELDS])
    return ("returned", type(result), [bits(result)] if type(result) is float else result)


def expected_outcome(name, expected):
    func = getattr(varnelle, name)
    canonical = func(*expected.values) if expected.side is None else func(*expected.values, expected.side)
    kind = varnelle.PyGreeks if name in model.GREEKS_FUNCTIONS else float
    values = [bits(getattr(canonical, f)) for f in GREEK_FIELDS] if kind is varnelle.PyGreeks else [bits(canonical)]
    return ("returned", kind, values)


def check_raised(got, expected):
    _, kind, message, cause, context = got
    assert (kind, message) == (expected.type, expected.message)
    if kind is TypeError and message.startswith("argument '"):
        # A renamed conversion error keeps only the original's cause.
        assert context is None
        if expected.cause is not model._MISSING:
            assert cause is expected.cause


@pytest.mark.parametrize("name", FUNCTION_NAMES)
@FUZZ
@given(data=st.data())
def test_generated_calls_follow_the_binder_model(name, data):
    args, kwargs, via_c, warnings_mode = data.draw(calls(name))
    # Objects of this file's classes are referenced only by the call's
    # arguments; shared ones (small ints, one-byte bytes) are not watched.
    watched = [o for o in (*args, *kwargs, *kwargs.values()) if type(o).__module__ == __name__]
    seen = []
    hook = sys.unraisablehook
    sys.unraisablehook = lambda u: seen.append(type(u.object))
    # The drawing machinery can leave a cycle that holds an argument; a
    # collection inside the call would free it and blur the counts, so the
    # collector waits while the call runs (collecting first would cost a
    # full collection per example).
    gc.disable()
    try:
        with warnings.catch_warnings():
            warnings.simplefilter(warnings_mode)
            before = [sys.getrefcount(o) for o in watched]
            got = call_outcome(name, args, kwargs, via_c)
            after = [sys.getrefcount(o) for o in watched]
            gc.enable()
            # The model runs second: the conversion methods it calls again
            # make garbage of their own, which must not blur the counts.
            expected = model.predict(name, args, kwargs)
    finally:
        gc.enable()
        sys.unraisablehook = hook
    EXAMPLES_RUN["count"] += 1
    # Shown by --hypothesis-show-statistics: how the examples spread over outcomes.
    event(ascii(got[0] if got[0] == "returned" else f"{got[1].__name__}: {got[2][:34]}"))
    event("called through PyObject_Call" if via_c else "called from Python")
    if isinstance(expected, model.Returns):
        assert got == expected_outcome(name, expected)
        EXAMPLES_RUN["returned"] += 1
    else:
        assert got[0] == "raised", f"expected {expected.type.__name__}: {expected.message}, got {got}"
        check_raised(got, expected)
        EXAMPLES_RUN["raised"] += 1
    assert seen == [type(o) for o in expected.unraisable]
    # Nothing the call touched keeps a reference once its outcome is gone.
    assert after == before


def test_report_examples_run():
    """Runs after the generated calls (file order) and shows their number;
    it also proves the generator reaches both outcomes."""
    print(f"\nfuzz: {EXAMPLES_RUN['count']} generated calls "
          f"({EXAMPLES_RUN['returned']} returned, {EXAMPLES_RUN['raised']} raised)")
    if EXAMPLES_RUN["count"] >= 13 * EXAMPLES:
        assert EXAMPLES_RUN["returned"] > EXAMPLES_RUN["count"] // 20
        assert EXAMPLES_RUN["raised"] > EXAMPLES_RUN["count"] // 20


# --- the model against hand-picked cases ------------------------------------------
# A few fixed cases pin the model itself to the documented texts, so that a
# model and module wrong in the same way cannot agree unnoticed.

@pytest.mark.parametrize("name, args, kwargs, message", [
    ("bs_delta", (), {}, "bs_delta() missing 5 required positional arguments: 's', 'k', 't', 'r', and 'sigma'"),
    ("bs_delta", (1, 2, 3), {}, "bs_delta() missing 2 required positional arguments: 'r' and 'sigma'"),
    ("bs_vega", (*BASE, 0.0, "call"), {}, "bs_vega() takes from 5 to 6 positional arguments but 7 were given"),
    ("bs_delta", BASE, {"s": 1}, "bs_delta() got multiple values for argument 's'"),
    ("bs_delta", (), {"x": 1}, "bs_delta() got an unexpected keyword argument 'x'"),
    ("bs_gamma", BASE, {"option_type": "call"}, "bs_gamma() got an unexpected keyword argument 'option_type'"),
    ("am_price", (*BASE, 0.0, None), {},
     "argument 'option_type': 'NoneType' object cannot be converted to 'PyString'"),
    ("am_price", (*BASE, 0.0, "puts"), {}, "Invalid option type. Use 'call' or 'put'."),
    ("bs_rho", ("x", *BASE[1:]), {}, "argument 's': must be real number, not str"),
])
def test_model_gives_the_documented_texts(name, args, kwargs, message):
    expected = model.predict(name, args, kwargs)
    assert expected.message == message
    with pytest.raises(expected.type) as info:
        getattr(varnelle, name)(*args, **kwargs)
    assert str(info.value) == message


# --- arguments that user code frees in the middle of a call --------------------------

class Victim:
    def __float__(self):
        return 110.0


def _kwargs_by_gc(marker_type):
    for o in gc.get_objects():
        if type(o) is dict and type(o.get("k")) is marker_type:
            return o
    return None


@pytest.mark.parametrize("route", ["c_caller_dict", "python_call_dict_found_by_gc"])
def test_argument_stays_alive_while_the_call_uses_it(route):
    """A __float__ that empties the keyword dict of the running call must not
    free the arguments the call has yet to convert. If 'k' is already gone
    when 's' is converted, the check raises before the module touches it, so
    the bug shows as a failure here and never as a read of freed memory."""
    alive = []
    own = {}

    def fresh_kwargs():
        victim = Victim()
        alive.append(weakref.ref(victim))
        made = {"k": victim, "t": 1.0, "r": 0.05, "sigma": 0.2}
        if route == "c_caller_dict":
            own["dict"] = made  # the very dict the call receives
        return made

    class Clearer:
        def __float__(self):
            target = own.pop("dict") if route == "c_caller_dict" else _kwargs_by_gc(Victim)
            assert target is not None and "k" in target
            target.clear()
            if alive[0]() is None:
                raise RuntimeError("argument 'k' was freed while the call still holds it")
            return 100.0

    expected = varnelle.bs_delta(100.0, 110.0, 1.0, 0.05, 0.2)
    if route == "c_caller_dict":
        result = call_with_dict(varnelle.bs_delta, (Clearer(),), fresh_kwargs())
    else:
        # The interpreter copies the dict; the copy is the only holder of 'k'.
        result = varnelle.bs_delta(Clearer(), **fresh_kwargs())
    assert bits(result) == bits(expected)
