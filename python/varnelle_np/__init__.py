"""Option prices, Greeks and implied volatilities over whole arrays.

The array companion of :mod:`varnelle`: the same pricing core behind NumPy
ufuncs, so every element equals what the scalar function returns for that
row, to the last bit. Inputs broadcast like any NumPy arithmetic; scalars give
NumPy scalars, pandas Series give Series with their index, dask arrays stay
lazy and xarray DataArrays keep their coordinates.

``option_type`` is one text for every row ("call", "put", "c", "p", any letter
case) or an array-like of such texts per row. ``workers=`` splits one large
call across threads (1 by default, -1 for every core); the loops run without
the interpreter lock, so Python threads and Dask's threaded scheduler scale
as well. The raw ufuncs, with the side as a boolean ``put`` operand, are in
:mod:`varnelle_np.ufuncs`.

Ctrl-C stops a long call (with or without ``workers=``) within a fraction of
a second and raises KeyboardInterrupt; rows already written to ``out=`` stay
written. Only the main thread receives signals: a call made from another
thread runs to its end while the main thread gets the KeyboardInterrupt.
"""

from __future__ import annotations

import os
from typing import Any, Callable, NamedTuple

try:
    import numpy as np
except ImportError as _missing:  # pragma: no cover - depends on the environment
    raise ImportError(
        "varnelle_np needs NumPy 1.25 or later, which is not installed: "
        "pip install 'varnelle[numpy]'"
    ) from _missing

try:
    from . import _ufuncs
except ImportError as _failed:  # pragma: no cover - depends on the environment
    raise ImportError(
        f"varnelle_np could not load its ufuncs under NumPy {np.__version__}; "
        f"it needs NumPy 1.25 or later ({_failed})"
    ) from _failed

from . import ufuncs

# In registration order: the European functions, the American ones, then the
# implied volatilities (a further model's ufunc is in ufuncs only).
__all__ = [*(entry[0] for entry in _ufuncs.functions), "Greeks", "ufuncs"]


class Greeks(NamedTuple):
    """Delta, gamma, theta, vega and rho, each an array (or scalar, or Series)
    shaped like the broadcast inputs."""

    delta: Any
    gamma: Any
    theta: Any
    vega: Any
    rho: Any


_INVALID: str = _ufuncs.INVALID_OPTION_TYPE

# Longer values are cut in messages: a bad text can be a whole file.
_SHOWN_CHARACTERS = 60


# --- option_type ---------------------------------------------------------


def _module_of(value: object) -> str:
    return type(value).__module__ or ""


def _shown(value: object) -> str:
    if isinstance(value, np.str_):  # shown as the text it is, not np.str_('...')
        value = str(value)
    if isinstance(value, str) and len(value) > _SHOWN_CHARACTERS:
        return repr(value[:_SHOWN_CHARACTERS]) + "..."
    text = repr(value)
    return text if len(text) <= _SHOWN_CHARACTERS else text[:_SHOWN_CHARACTERS] + "..."


def _bad_side(texts: np.ndarray, flat: int, labels: Any = None, block: Any = None, partition: Any = None) -> ValueError:
    """The error for the first bad text; block, for one block of a lazy
    array, is ((start, stop) per axis, whole shape), so that the position is
    counted in the whole array. A partition of a lazy DataFrame does not know
    how many rows come before it: the position is then given within the
    partition, with its number and the index label."""
    index = np.unravel_index(flat, texts.shape) if texts.ndim else ()
    if block is not None:
        starts, whole = [start for start, _ in block[0]], block[1]
        index = tuple(int(i) + start for i, start in zip(index, starts))
        position: Any = index[0] if len(whole) == 1 else index
    else:
        position = flat if texts.ndim <= 1 else tuple(int(i) for i in index)
    where = f"at position {position}"
    if partition is not None:
        where += f" of partition {partition}"
    if labels is not None:
        where += f" (index label {labels[flat]!r})"
    return ValueError(f"{_INVALID} First bad value: {_shown(texts.flat[flat])} {where}.")


def _bad_text(text: object) -> ValueError:
    return ValueError(f"{_INVALID} Bad value: {_shown(text)}.")


def _parse_texts(texts: Any, labels: Any = None, block: Any = None, partition: Any = None) -> np.ndarray:
    """Sides (True for a put) of an array-like of texts, validated whole
    before any pricing starts."""
    array = np.asarray(texts)
    if array.size == 0 and array.dtype.kind == "f":  # an empty list: empty in, empty out
        return np.zeros(array.shape, dtype=bool)
    kind = array.dtype.kind
    if kind == "T":  # NumPy 2's variable-width strings
        array = array.astype(object)
    elif kind not in "UO":
        raise TypeError(
            "option_type must be 'call' or 'put', or an array-like of such texts, "
            f"not an array of dtype {array.dtype}"
        )
    array = np.ascontiguousarray(array)
    puts, first_bad = _ufuncs.parse_sides(array)
    if first_bad >= 0:
        raise _bad_side(array, first_bad, labels, block, partition)
    return puts


def _parse_block(texts: Any, block_info: Any = None) -> np.ndarray:
    """_parse_texts for one block of a dask array, counting positions in the
    whole array."""
    where = None
    if block_info is not None and 0 in block_info:
        where = (block_info[0]["array-location"], block_info[0]["shape"])
    return _parse_texts(texts, block=where)


def _parse_categorical(column: Any, labels: Any = None, partition: Any = None) -> np.ndarray:
    # Categories are few: read them once, then index by code.
    categorical = column.array if hasattr(column, "array") else column
    categories = np.asarray(categorical.categories, dtype=object)
    codes = np.asarray(categorical.codes)
    puts, first_bad = _ufuncs.parse_sides(np.ascontiguousarray(categories))
    usable = np.ones(len(categories) + 1, dtype=bool)
    usable[-1] = False  # code -1: a missing value
    if first_bad >= 0:
        usable[:-1] = [_ufuncs.parse_sides(np.array([c], dtype=object))[1] < 0 for c in categories]
    if not usable[codes].all():
        flat = int(np.argmin(usable[codes]))
        raise _bad_side(np.asarray(categorical, dtype=object), flat, labels, partition=partition)
    return puts[codes]


def _sides(option_type: Any, partition: Any = None) -> Any:
    """The side operand of the ufuncs: a bool, or a bool array-like shaped
    like option_type (a Series keeps its index, a dask array stays lazy)."""
    if isinstance(option_type, str):
        try:
            return _ufuncs.side_of(option_type)
        except ValueError:
            raise _bad_text(option_type) from None
    module = _module_of(option_type)
    if module.startswith("pandas"):
        import pandas as pd

        labels = option_type.index if isinstance(option_type, pd.Series) else None
        if isinstance(option_type.dtype, pd.CategoricalDtype):
            puts = _parse_categorical(option_type, labels, partition)
        else:
            puts = _parse_texts(option_type.to_numpy(dtype=object), labels, partition=partition)
        return pd.Series(puts, index=labels, copy=False) if labels is not None else puts
    if module.startswith("dask"):
        return option_type.map_blocks(_parse_block, dtype=bool)
    if module.startswith("xarray"):
        return option_type.copy(data=_parse_texts(option_type.values))
    if option_type is None or isinstance(option_type, (bool, int, float, complex, bytes)):
        raise TypeError(
            "option_type must be 'call' or 'put', or an array-like of such texts, "
            f"not {type(option_type).__name__}"
        )
    return _parse_texts(option_type)


# --- workers= ------------------------------------------------------------


def _cores() -> int:
    try:
        return len(os.sched_getaffinity(0))
    except (AttributeError, OSError):  # pragma: no cover - not Linux
        return os.cpu_count() or 1


def _resolve_workers(workers: Any) -> int:
    """scipy.fft's convention: a positive count, or -1 for every core, -2
    for all but one, and so on."""
    if isinstance(workers, bool) or not isinstance(workers, (int, np.integer)):
        raise TypeError(f"workers must be an int, not {type(workers).__name__}")
    workers = int(workers)
    if workers > 0:
        return min(workers, _ufuncs.MAX_WORKERS)
    cores = _cores()
    if workers == 0 or workers < -cores:
        raise ValueError(f"workers must be a positive count or from -1 to -{cores} here, not {workers}")
    return cores + 1 + workers


def _call(ufunc: np.ufunc, operands: tuple[Any, ...], out: Any, threads: int) -> Any:
    keywords = {} if out is None else {"out": out}
    if threads == 1:
        return ufunc(*operands, **keywords)
    previous = _ufuncs.set_workers(threads)
    try:
        return ufunc(*operands, **keywords)
    finally:
        _ufuncs.set_workers(previous)


def _is_dask_frame(value: object) -> bool:
    return _module_of(value).startswith("dask.dataframe")


def _on_dask_frames(
    ufunc: np.ufunc, numbers: tuple[Any, ...], option_type: Any, threads: int, trailing: tuple[Any, ...]
) -> Any:
    """Dask DataFrame columns: the whole call, sides included, runs on each
    partition, where the columns are pandas Series."""
    import dask.dataframe as dd
    import pandas as pd

    with_side = option_type is not _NO_SIDE

    def on_partition(*parts: Any, partition_info: Any = None) -> Any:
        number = None if partition_info is None else partition_info.get("number")
        operands = (*parts[:-1], _sides(parts[-1], number)) if with_side else parts
        result = _call(ufunc, (*operands, *trailing), None, threads)
        if ufunc.nout == 1:
            return result
        return pd.DataFrame(dict(zip(Greeks._fields, result)))

    operands = (*numbers, option_type) if with_side else numbers
    if ufunc.nout == 1:
        meta: Any = pd.Series(dtype=float)
    else:
        meta = pd.DataFrame({field: pd.Series(dtype=float) for field in Greeks._fields})
    result = dd.map_partitions(on_partition, *operands, meta=meta, align_dataframes=False)
    return result if ufunc.nout == 1 else Greeks(*(result[field] for field in Greeks._fields))


def _any_dask(operands: tuple[Any, ...]) -> bool:
    return any(_module_of(x).startswith("dask") for x in operands)


def _on_dask_arrays(ufunc: np.ufunc, operands: tuple[Any, ...], threads: int) -> Any:
    """Dask arrays, block by block, each block with the workers asked for.
    (Dask maps single-output ufuncs itself, but not five-output ones, and
    not with workers=.)"""
    import dask.array as da

    def on_blocks(*blocks: Any) -> Any:
        return _call(ufunc, blocks, None, threads)

    outputs = ",".join(["()"] * ufunc.nout)
    signature = ",".join(["()"] * len(operands)) + "->" + outputs
    dtypes: Any = (float,) * ufunc.nout if ufunc.nout > 1 else float
    result = da.apply_gufunc(on_blocks, signature, *operands, output_dtypes=dtypes)
    return Greeks(*result) if ufunc.nout > 1 else result


def _argument_type_error(names: tuple[str, ...], numbers: tuple[Any, ...]) -> TypeError | None:
    """After NumPy found no loop: the first argument that holds no real
    numbers, named as the scalar module names it, or None."""
    for name, value in zip(names, numbers):
        dtype = getattr(value, "dtype", None)
        if dtype is None:
            try:
                dtype = np.asarray(value).dtype
            except Exception:  # not even an array: named below by its type
                dtype = np.dtype(object)
        if isinstance(dtype, np.dtype) and dtype.kind in "biuf":
            continue
        if hasattr(value, "dtype") or isinstance(value, (list, tuple)):
            got = f"an array of dtype {dtype}"
        else:
            got = type(value).__name__
        return TypeError(f"argument '{name}': must be real number, not {got}")
    return None


# Marks a function without option_type.
_NO_SIDE: Any = object()


def _apply(
    ufunc: np.ufunc,
    numbers: tuple[Any, ...],
    option_type: Any,
    out: Any,
    workers: Any,
    trailing: tuple[Any, ...],
    names: tuple[str, ...],
) -> Any:
    """Validates option_type and workers= whole, then runs the ufunc on the
    numbers (named `names`), the sides and the trailing operands (a model's
    tol); five outputs come back as Greeks."""
    threads = 1 if workers == 1 and type(workers) is int else _resolve_workers(workers)
    try:
        if any(_is_dask_frame(x) for x in (*numbers, option_type)) and out is None:
            return _on_dask_frames(ufunc, numbers, option_type, threads, trailing)
        operands = (*numbers, *(() if option_type is _NO_SIDE else (_sides(option_type),)), *trailing)
        if ufunc.nout == 1:
            if threads != 1 and out is None and _any_dask(operands):
                return _on_dask_arrays(ufunc, operands, threads)
            return _call(ufunc, operands, out, threads)
        if out is None and _any_dask(operands):
            return _on_dask_arrays(ufunc, operands, threads)
        return Greeks(*_call(ufunc, operands, out, threads))
    except TypeError:
        named = _argument_type_error(names, numbers)
        if named is None:
            raise
        raise named from None


# --- model= and tol= -------------------------------------------------------

# The model of each function's own row; further models come from the table.
_DEFAULT_MODEL = "bs2002"
_TOL_RANGE = (1e-10, 1e-3)


def _tol(tol: Any) -> float:
    """A target error: a real number from 1e-10 to 1e-3."""
    if isinstance(tol, bool) or not isinstance(tol, (int, float, np.integer, np.floating)):
        raise TypeError(f"tol must be a real number, not {type(tol).__name__}")
    low, high = _TOL_RANGE
    if not low <= tol <= high:
        raise ValueError(f"tol must lie between {low:g} and {high:g}, not {tol!r}")
    return float(tol)


def _model(models: dict[str, np.ufunc], default: np.ufunc, model: Any, tol: Any) -> tuple[np.ufunc, tuple[Any, ...]]:
    """The ufunc of a model and its trailing operands."""
    if model == _DEFAULT_MODEL and isinstance(model, str):
        if tol is not None:
            raise TypeError(f"tol applies to the models {', '.join(map(repr, models))}, not to model={model!r}")
        return default, ()
    if isinstance(model, str) and model in models:
        return models[model], (_tol(1e-6 if tol is None else tol),)
    known = ", ".join(repr(m) for m in (_DEFAULT_MODEL, *models))
    raise ValueError(f"model must be one of {known}, not {model!r}")


# --- the public functions ------------------------------------------------

_KEYWORDS_DOC = """out : ndarray{tuple}, optional
    Where to write the result, as for any ufunc.
workers : int, optional
    Threads to split a large call across: 1 (the default), or -1 for every
    core, -2 for all but one.
"""

_PARAMETERS_DOC = """
Parameters
----------
s, k, t, r, sigma, q : array_like of numbers
    Spot, strike, years to expiry, risk-free rate, volatility and continuous
    dividend yield; they broadcast against each other. Numbers are not
    validated: NaN, infinities, zeros and negative values give what the
    scalar function of the same name gives.{side}{models}
{keywords}"""

_IMPLIED_DOC = """
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
"""

_BOUNDARY_DOC = """
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
"""

_MODELS_DOC = """
model : {'bs2002', 'integral'}, optional
    'bs2002' (the default): the Bjerksund-Stensland 2002 flat-boundary
    approximation, the same to the bit as the scalar module, its Greeks
    finite differences with fixed steps. 'integral': the early-exercise
    boundary solved by fixed-point iteration of its integral equation,
    accurate to tol, its Greeks derivatives (vega and rho with the
    boundary's own change).
tol : float, optional
    For model='integral' only: the target error, relative to
    max(price, 0.005 k), from 1e-10 to 1e-3 (1e-6 when not given)."""

_TOL_DOC = """
tol : float, optional
    The target error of the boundary's price, relative to max(price,
    0.005 k), from 1e-10 to 1e-3."""

_SIDE_DOC = """
option_type : str or array_like of str
    "call"/"c" or "put"/"p" in any letter case, for every row or per row.
    A bad text raises ValueError naming the first one and its position,
    before anything is written."""


def _define(name: str, parameters: str, keywords: str, summary: str) -> Callable[..., Any]:
    """A pricing function over its ufunc, made from its row of the function
    table: parameters such as "s, k, t, r, sigma, q=0.0, option_type='call'"
    become a real signature (written out and compiled, as namedtuple does, so
    a call costs no more than a hand-written function), with the row's
    keyword-only parameters, model= and tol= where the function has further
    models, and the keywords every function takes."""
    ufunc: np.ufunc = getattr(_ufuncs, name)
    models = {model: getattr(_ufuncs, ufunc_name) for ufunc_name, function, model in _ufuncs.models if function == name}
    names = [parameter.partition("=")[0] for parameter in parameters.split(", ")]
    number_names = tuple(n for n in names if n != "option_type")
    numbers = ", ".join(number_names)
    side = "option_type" if "option_type" in names else "_NO_SIDE"
    if models:
        keywords = f"model={_DEFAULT_MODEL!r}, tol=None"
        body = "_ufunc, _trailing = _model(_models, _default, model, tol)\n    "
    elif keywords:
        body = "_ufunc, _trailing = _default, (_tol(tol),)\n    "
    else:
        body = "_ufunc, _trailing = _default, ()\n    "
    source = (
        f"def {name}({parameters}, *, {keywords + ', ' if keywords else ''}out=None, workers=1):\n"
        f"    {body}return _apply(_ufunc, ({numbers},), {side}, out, workers, _trailing, _names)\n"
    )
    namespace: dict[str, Any] = {
        "_apply": _apply, "_model": _model, "_tol": _tol, "_default": ufunc, "_models": models, "_NO_SIDE": _NO_SIDE,
        "_names": number_names,
    }
    exec(source, namespace)  # noqa: S102 - the text comes from the module's own table
    function = namespace[name]
    template = {"price": _IMPLIED_DOC, "k": _BOUNDARY_DOC}.get(names[0], _PARAMETERS_DOC)
    doc = template.format(
        side=_SIDE_DOC if side != "_NO_SIDE" else "",
        models=_MODELS_DOC if models else (_TOL_DOC if keywords else ""),
        keywords=_KEYWORDS_DOC.format(tuple=" or tuple of five" if ufunc.nout == 5 else ""),
    )
    function.__module__ = __name__
    function.__doc__ = summary + "\n" + doc
    return function


# One function per row of the function table, in its order.
for _name, _parameters, _keywords, _summary in _ufuncs.functions:
    globals()[_name] = _define(_name, _parameters, _keywords, _summary)
del _name, _parameters, _keywords, _summary
