"""What a call of a varnelle function must do, written as plain Python.

predict(name, args, kwargs) says, without calling the module, whether the call
returns a value (and from which converted inputs) or raises (which type and
which exact message). It encodes the binding rules of the thirteen functions
once: positional count first, then the keyword entries in the order passed,
then the missing required arguments, then the conversions in parameter order
(numbers with the interpreter's own float(), the option text only from a real
str), and last the option word.

Where a message is the interpreter's own (a float() conversion error, a
UnicodeEncodeError), the model obtains it by doing the same conversion itself,
so user code with side effects runs once here and once in the module.
"""

from __future__ import annotations

import math
from dataclasses import dataclass, field

from function_table import ROWS, SCALAR_NAMES

FUNCTION_NAMES = tuple(SCALAR_NAMES)
GREEKS_FUNCTIONS = frozenset({"bs_greeks", "am_greeks"})
PARAMS = ("s", "k", "t", "r", "sigma", "q", "option_type")
REQUIRED = 5
SIDES = {"c": "call", "call": "call", "p": "put", "put": "put"}
INVALID_SIDE = "Invalid option type. Use 'call' or 'put'."
_MISSING = object()


def parameters(name):
    return next(row.parameters for row in ROWS if row.name == name)


@dataclass
class Returns:
    """The call succeeds with these converted inputs."""
    values: tuple  # s, k, t, r, sigma, q as floats (q defaulted to 0.0)
    side: str | None  # "call" or "put"; None for the functions without a side
    unraisable: list = field(default_factory=list)


@dataclass
class Raises:
    """The call raises exactly this type with exactly this message."""
    type: type
    message: str
    cause: object = _MISSING  # when set, the raised exception's __cause__ must be this object
    unraisable: list = field(default_factory=list)  # objects whose str() failed on the way


def interpreter_float(obj):
    """float(obj) as the C API's PyFloat_AsDouble performs it: a float (or
    subclass) gives its value without calling anything, otherwise __float__,
    then __index__. math.ldexp(x, 0) converts its argument exactly that way
    and returns it unchanged, NaN payload and the sign of zero included."""
    return math.ldexp(obj, 0)


def display_text(obj, unraisable):
    """The text a message shows for obj: str(obj), with characters that UTF-8
    cannot hold replaced; when str() fails, a placeholder and an unraisable
    report naming obj."""
    try:
        text = str(obj)
    except BaseException:  # noqa: BLE001 - the module reports any failure the same way
        unraisable.append(obj)
        try:
            return f"<unprintable {type(obj).__name__} object>"
        except BaseException:  # noqa: BLE001
            return "<unprintable object>"
    return text.encode("utf-8", "surrogatepass").decode("utf-8", "replace")


def keyword_text(key):
    """The parameter name a keyword key spells, or None when it spells none:
    only str keys count, by their characters (not by __eq__ or __str__), and
    only when UTF-8 can hold them."""
    if not issubclass(type(key), str):
        return None
    try:
        str.__str__(key).encode("utf-8")
    except UnicodeEncodeError:
        return None
    return str.__str__(key)


def missing_message(names):
    quoted = [f"'{n}'" for n in names]
    if len(quoted) == 1:
        listed = quoted[0]
    elif len(quoted) == 2:
        listed = f"{quoted[0]} and {quoted[1]}"
    else:
        listed = ", ".join(quoted[:-1]) + ", and " + quoted[-1]
    word = "argument" if len(names) == 1 else "arguments"
    return f"missing {len(names)} required positional {word}: {listed}"


def convert_number(param, obj, unraisable):
    """(value, None) or (None, Raises)."""
    try:
        return interpreter_float(obj), None
    except BaseException as exc:  # noqa: BLE001 - whatever __float__ raises passes through
        if type(exc) is not TypeError:
            return None, Raises(type(exc), str(exc), unraisable=unraisable)
        text = display_text(exc, unraisable)
        return None, Raises(TypeError, f"argument '{param}': {text}", cause=exc.__cause__,
                            unraisable=unraisable)


def convert_side(obj, unraisable):
    """("call" | "put", None) or (None, Raises)."""
    if not issubclass(type(obj), str):
        return None, Raises(TypeError, f"argument 'option_type': '{type(obj).__qualname__}' object "
                                       "cannot be converted to 'PyString'", unraisable=unraisable)
    text = str.__str__(obj)
    try:
        text.encode("utf-8")
    except UnicodeEncodeError as exc:
        return None, Raises(UnicodeEncodeError, str(exc), unraisable=unraisable)
    lowered = "".join(chr(ord(c) + 32) if "A" <= c <= "Z" else c for c in text)
    if lowered not in SIDES:
        return None, Raises(ValueError, INVALID_SIDE, unraisable=unraisable)
    return SIDES[lowered], None


def predict(name, args, kwargs):
    """Returns or Raises for name(*args, **kwargs); kwargs may hold keys of
    any type (a C caller can pass such a dict)."""
    params = parameters(name)
    n = len(params)
    full = f"{name}()"
    unraisable = []
    if len(args) > n:
        return Raises(TypeError, f"{full} takes from {REQUIRED} to {n} positional arguments "
                                 f"but {len(args)} were given")
    slots = list(args) + [_MISSING] * (n - len(args))
    for key, value in kwargs.items():
        text = keyword_text(key)
        if text not in params:
            shown = display_text(key, unraisable)
            return Raises(TypeError, f"{full} got an unexpected keyword argument '{shown}'",
                          unraisable=unraisable)
        index = params.index(text)
        if slots[index] is not _MISSING:
            return Raises(TypeError, f"{full} got multiple values for argument '{text}'",
                          unraisable=unraisable)
        slots[index] = value
    absent = [p for p, v in zip(params[:REQUIRED], slots) if v is _MISSING]
    if absent:
        return Raises(TypeError, f"{full} {missing_message(absent)}", unraisable=unraisable)

    values = []
    for param, obj in zip(params[:6], slots[:6]):
        if obj is _MISSING:
            values.append(0.0)  # only q can be absent here
            continue
        value, error = convert_number(param, obj, unraisable)
        if error is not None:
            return error
        values.append(value)
    if n == 6:
        return Returns(tuple(values), None, unraisable)
    side = "call"
    if slots[6] is not _MISSING:
        side, error = convert_side(slots[6], unraisable)
        if error is not None:
            return error
    return Returns(tuple(values), side, unraisable)
