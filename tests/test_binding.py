"""Argument binding and conversion: which error wins, and its exact text."""

import ctypes
import math

import pytest

import varnelle
from conftest import BASE, FUNCTION_NAMES, params_of


def raised(func, *args, **kwargs):
    with pytest.raises(BaseException) as info:
        func(*args, **kwargs)
    return info.value


def interpreter_float_error(obj):
    """The error the interpreter itself gives when obj is used as a float."""
    try:
        math.copysign(obj, 1.0)
    except Exception as exc:  # noqa: BLE001
        return exc
    raise AssertionError(f"{obj!r} converted")


def call_with_dict(func, args, kwargs):
    """Calls func with a keyword dict that Python syntax could not build
    (non-str keys), the way C code may."""
    call = ctypes.pythonapi.PyObject_Call
    call.restype = ctypes.py_object
    call.argtypes = [ctypes.py_object, ctypes.py_object, ctypes.py_object]
    return call(func, tuple(args), kwargs)


# --- binding -------------------------------------------------------------

@pytest.mark.parametrize("args, kwargs, message", [
    ((), {}, "missing 5 required positional arguments: 's', 'k', 't', 'r', and 'sigma'"),
    ((1, 2, 3, 4), {}, "missing 1 required positional argument: 'sigma'"),
    ((1, 2, 3), {}, "missing 2 required positional arguments: 'r' and 'sigma'"),
    ((1, 2), {}, "missing 3 required positional arguments: 't', 'r', and 'sigma'"),
    ((1,), {"sigma": 5}, "missing 3 required positional arguments: 'k', 't', and 'r'"),
    ((), {"s": 1, "t": 3, "sigma": 5}, "missing 2 required positional arguments: 'k' and 'r'"),
    ((), {"s": 1, "k": 2, "t": 3, "r": 4}, "missing 1 required positional argument: 'sigma'"),
    # optional arguments do not count, and nothing is converted before binding
    (("bad", None), {"q": "not a number"},
     "missing 3 required positional arguments: 't', 'r', and 'sigma'"),
])
@pytest.mark.parametrize("name", ["bs_delta", "bs_vega", "am_greeks"])
def test_missing_arguments(name, args, kwargs, message):
    exc = raised(getattr(varnelle, name), *args, **kwargs)
    assert type(exc) is TypeError
    assert str(exc) == f"{name}() {message}"


@pytest.mark.parametrize("name", FUNCTION_NAMES)
def test_too_many_positional(name):
    n = len(params_of(name))
    func = getattr(varnelle, name)
    expected = f"{name}() takes from 5 to {n} positional arguments but {n + 1} were given"
    too_many = (*BASE, 0.0, "call", 1.0)[: n + 1]
    assert str(raised(func, *too_many)) == expected
    # counted before any keyword is looked at, and before any conversion
    assert str(raised(func, *(["x"] * (n + 1)), x=1, s=2)) == expected
    assert str(raised(func, *range(12))) == expected.replace(f"{n + 1} were", "12 were")


@pytest.mark.parametrize("args, kwargs, message", [
    (BASE, {"s": 1}, "got multiple values for argument 's'"),
    (BASE, {"q": 0.0, "sigma": 1}, "got multiple values for argument 'sigma'"),
    (BASE, {"x": 1}, "got an unexpected keyword argument 'x'"),
    # the first offending entry, in the order passed, decides
    (BASE, {"y": 1, "x": 2}, "got an unexpected keyword argument 'y'"),
    (BASE, {"x": 1, "y": 2}, "got an unexpected keyword argument 'x'"),
    (BASE, {"s": 1, "x": 2}, "got multiple values for argument 's'"),
    (BASE, {"x": 1, "s": 2}, "got an unexpected keyword argument 'x'"),
    (BASE, {"S": 1}, "got an unexpected keyword argument 'S'"),
    (BASE, {"option_type ": "call"}, "got an unexpected keyword argument 'option_type '"),
    (BASE, {"q\ud800": 1}, "got an unexpected keyword argument 'q\ufffd\ufffd\ufffd'"),
    # keyword errors are found before missing arguments are counted
    ((), {"x": 1}, "got an unexpected keyword argument 'x'"),
    ((1, 2), {"option_type": "put", "k": 3}, "got multiple values for argument 'k'"),
])
def test_keyword_errors(args, kwargs, message):
    exc = raised(varnelle.bs_delta, *args, **kwargs)
    assert type(exc) is TypeError
    assert str(exc) == "bs_delta() " + message


@pytest.mark.parametrize("name", ["bs_gamma", "bs_vega"])
def test_option_type_is_not_a_parameter_of(name):
    exc = raised(getattr(varnelle, name), *BASE, option_type="call")
    assert str(exc) == f"{name}() got an unexpected keyword argument 'option_type'"


def test_keyword_names_compare_by_text():
    class Key(str):
        def __eq__(self, other):
            return False

        __hash__ = str.__hash__

        def __str__(self):
            return "shown"

    values = dict(zip(("s", "k", "t", "r", "sigma", "q", "option_type"), (*BASE, 0.03, "put")))
    expected = varnelle.bs_delta(**values)
    # names built at run time are equal texts but not the interned objects
    fresh = {"".join(list(name)): v for name, v in values.items()}
    assert all(a is not b for a, b in zip(fresh, values) if len(a) > 1)
    assert varnelle.bs_delta(**fresh) == expected
    # a str subclass binds by its characters, whatever its __eq__ says ...
    assert varnelle.bs_delta(**{Key(n): v for n, v in values.items()}) == expected
    # ... and an unknown one is named with its str()
    assert str(raised(varnelle.bs_delta, *BASE, **{Key("x"): 0.0})) == \
        "bs_delta() got an unexpected keyword argument 'shown'"


class Unprintable:
    def __str__(self):
        raise RuntimeError("no text")


@pytest.mark.parametrize("key, shown", [
    (1, "1"), (None, "None"), (b"q", "b'q'"), (Unprintable(), "<unprintable Unprintable object>"),
])
def test_non_text_keyword_keys(key, shown, unraisable):
    exc = raised(call_with_dict, varnelle.bs_delta, BASE, {key: 1.0})
    assert type(exc) is TypeError
    assert str(exc) == f"bs_delta() got an unexpected keyword argument '{shown}'"
    if isinstance(key, Unprintable):
        assert len(unraisable) == 1 and unraisable[0].object is key
        assert unraisable[0].exc_type is RuntimeError
    else:
        assert unraisable == []


# --- numeric conversion ----------------------------------------------------

@pytest.mark.parametrize("bad", ["100", None, [], 1j, b"1", object()], ids=repr)
@pytest.mark.parametrize("index, param", list(enumerate(("s", "k", "t", "r", "sigma", "q"))))
def test_numeric_type_error_names_the_argument(index, param, bad):
    args = [*BASE, 0.0, "call"]
    args[index] = bad
    exc = raised(varnelle.am_delta, *args)
    assert type(exc) is TypeError
    assert str(exc) == f"argument '{param}': {interpreter_float_error(bad)}"
    assert exc.__cause__ is None and exc.__context__ is None


def test_first_bad_argument_in_declaration_order_wins():
    exc = raised(varnelle.bs_theta, s=1, sigma="x", k=None, t=1, r=1)
    assert str(exc).startswith("argument 'k': ")
    # a bad number beats both a bad option text and an invalid one
    assert str(raised(varnelle.bs_delta, *BASE[:4], "x", option_type=5)).startswith("argument 'sigma': ")
    assert str(raised(varnelle.bs_delta, *BASE, None, "bogus")).startswith("argument 'q': ")


@pytest.mark.parametrize("index", [0, 1, 5])
def test_int_too_large_raises_overflow_unprefixed(index):
    huge = 10 ** 400
    args = [*BASE, 0.0, "put"]
    args[index] = huge
    exc = raised(varnelle.bs_rho, *args)
    assert type(exc) is OverflowError
    assert str(exc) == str(interpreter_float_error(huge))


class Cause(Exception):
    pass


def raising_float(exc):
    class Raising:
        def __float__(self):
            raise exc
    return Raising()


def test_float_method_error_other_than_type_error_passes_as_itself():
    for original in (ValueError("bad value"), ZeroDivisionError(), KeyboardInterrupt(),
                     type("TypeErrorSub", (TypeError,), {})("subclass")):
        exc = raised(varnelle.bs_vega, *BASE[:2], raising_float(original), *BASE[3:])
        assert exc is original


def test_float_method_type_error_is_renamed_keeping_its_cause():
    cause = Cause("underlying")
    original = TypeError("not today")
    original.__cause__ = cause
    exc = raised(varnelle.bs_vega, *BASE[:4], raising_float(original))
    assert type(exc) is TypeError and exc is not original
    assert str(exc) == "argument 'sigma': not today"
    assert exc.__cause__ is cause
    assert exc.__context__ is None


@pytest.mark.parametrize("original, text", [
    (TypeError(), ""),
    (TypeError("a", "b"), "('a', 'b')"),
    (TypeError("lone \ud800"), "lone \ufffd\ufffd\ufffd"),
])
def test_renamed_type_error_text(original, text):
    exc = raised(varnelle.bs_gamma, raising_float(original), *BASE[1:])
    assert str(exc) == f"argument 's': {text}"
    assert exc.__cause__ is None


def test_renamed_type_error_with_unprintable_message(unraisable):
    original = TypeError(Unprintable())
    exc = raised(varnelle.bs_gamma, raising_float(original), *BASE[1:])
    assert str(exc) == "argument 's': <unprintable TypeError object>"
    assert [u.object for u in unraisable] == [original]


def test_error_from_a_nested_call_is_renamed():
    class Nested:
        def __float__(self):
            return varnelle.bs_delta(1, 2)

    exc = raised(varnelle.bs_delta, Nested(), *BASE[1:])
    assert str(exc) == ("argument 's': bs_delta() missing 3 required positional "
                        "arguments: 't', 'r', and 'sigma'")

    class Reentrant:
        def __float__(self):
            return varnelle.bs_delta(*BASE) * 0.0 + 100.0

    assert varnelle.bs_delta(Reentrant(), *BASE[1:]) == varnelle.bs_delta(*BASE)


# --- option text conversion -------------------------------------------------

class Holder:
    class OnlyStr:  # the message names the qualified name, Holder.OnlyStr
        def __str__(self):
            return "call"


@pytest.mark.parametrize("value", [None, 1, 1.5, b"call", bytearray(b"put"), ["call"],
                                   Holder.OnlyStr()],
                         ids=lambda v: type(v).__name__)
@pytest.mark.parametrize("name", ["bs_delta", "am_gamma"])
def test_option_type_must_be_a_str(name, value):
    exc = raised(getattr(varnelle, name), *BASE, 0.0, value)
    assert type(exc) is TypeError
    assert str(exc) == (f"argument 'option_type': '{type(value).__qualname__}' "
                        "object cannot be converted to 'PyString'")


def test_option_type_str_subclass_uses_its_characters():
    class Side(str):
        def __str__(self):
            return "call"

        def lower(self):
            return "call"

    assert varnelle.bs_delta(*BASE, 0.0, Side("PUT")) == varnelle.bs_delta(*BASE, 0.0, "put")


@pytest.mark.parametrize("text", ["\ud800", "put\udfff", "\udc80call"])
def test_option_type_lone_surrogate(text):
    exc = raised(varnelle.am_price, *BASE, option_type=text)
    assert type(exc) is UnicodeEncodeError
    assert exc.encoding == "utf-8" and exc.reason == "surrogates not allowed"
    assert not str(exc).startswith("argument")
