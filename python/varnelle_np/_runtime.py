"""What every function of varnelle_np does around its ufunc: option_type
read into sides, workers= resolved, pandas, dask and xarray in and out, wrong
argument types named, and the keywords' values checked. The functions
themselves are written from the function table when the package is built
(_functions.py); they call apply() here.
"""

from __future__ import annotations

import os
from typing import Any, NamedTuple

import numpy as np

from . import _ufuncs  # type: ignore[attr-defined]  # compiled, without a stub of its own

class Greeks(NamedTuple):
    """Delta, gamma, theta, vega and rho, each an array (or scalar, or Series)
    shaped like the broadcast inputs."""

    delta: Any
    gamma: Any
    theta: Any
    vega: Any
    rho: Any


# Public as varnelle_np.Greeks, and pickled under that name.
Greeks.__module__ = __package__


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
        label = labels[flat]
        if isinstance(label, np.generic):  # 1097, not np.int64(1097)
            label = label.item()
        where += f" (index label {label!r})"
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


def _call(ufunc: np.ufunc, operands: tuple[Any, ...], out: Any, threads: int, names: tuple[str, ...]) -> Any:
    """The ufunc on the operands, the first len(names) of them the numbers
    named `names`: a TypeError from the ufunc names the argument at fault."""
    keywords = {} if out is None else {"out": out}
    previous = 1 if threads == 1 else _ufuncs.set_workers(threads)
    try:
        return ufunc(*operands, **keywords)
    except TypeError:
        named = _argument_type_error(names, operands[: len(names)])
        if named is None:
            raise
        raise named from None
    finally:
        if threads != 1:
            _ufuncs.set_workers(previous)


def _is_dask_frame(value: object) -> bool:
    return _module_of(value).startswith("dask.dataframe")


def _on_dask_frames(
    ufunc: np.ufunc,
    numbers: tuple[Any, ...],
    option_type: Any,
    threads: int,
    trailing: tuple[Any, ...],
    names: tuple[str, ...],
) -> Any:
    """Dask DataFrame columns: the whole call, sides included, runs on each
    partition, where the columns are pandas Series."""
    import dask.dataframe as dd
    import pandas as pd

    with_side = option_type is not NO_SIDE

    def on_partition(*parts: Any, partition_info: Any = None) -> Any:
        number = None if partition_info is None else partition_info.get("number")
        operands = (*parts[:-1], _sides(parts[-1], number)) if with_side else parts
        result = _call(ufunc, (*operands, *trailing), None, threads, names)
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


def _on_dask_arrays(ufunc: np.ufunc, operands: tuple[Any, ...], threads: int, names: tuple[str, ...]) -> Any:
    """Dask arrays, block by block, each block with the workers asked for.
    (Dask maps single-output ufuncs itself, but not five-output ones, and
    not with workers=.)"""
    import dask.array as da

    def on_blocks(*blocks: Any) -> Any:
        return _call(ufunc, blocks, None, threads, names)

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
NO_SIDE: Any = object()


def apply(
    ufunc: np.ufunc,
    numbers: tuple[Any, ...],
    option_type: Any,
    out: Any,
    workers: Any,
    trailing: tuple[Any, ...],
    names: tuple[str, ...],
) -> Any:
    """Validates option_type and workers= whole, then runs the ufunc on the
    numbers (named `names`), the sides and the trailing operands (the values
    of a row's keywords); five outputs come back as Greeks."""
    if ufunc.signature is not None:  # a schedule of cash dividends along a core dimension
        return _dividends.apply(ufunc, numbers, option_type, out, workers, trailing, names)
    threads = 1 if workers == 1 and type(workers) is int else _resolve_workers(workers)
    if any(_is_dask_frame(x) for x in (*numbers, option_type)) and out is None:
        return _on_dask_frames(ufunc, numbers, option_type, threads, trailing, names)
    operands = (*numbers, *(() if option_type is NO_SIDE else (_sides(option_type),)), *trailing)
    if ufunc.nout == 1:
        if threads != 1 and out is None and _any_dask(operands):
            return _on_dask_arrays(ufunc, operands, threads, names)
        return _call(ufunc, operands, out, threads, names)
    if out is None and _any_dask(operands):
        return _on_dask_arrays(ufunc, operands, threads, names)
    return Greeks(*_call(ufunc, operands, out, threads, names))


# --- model= and the keywords ---------------------------------------------
# One converter per keyword of the function table, named as the keyword.

_TOL_RANGE = (1e-10, 1e-3)


def tol(value: Any) -> float:
    """A target error: a real number from 1e-10 to 1e-3."""
    if isinstance(value, bool) or not isinstance(value, (int, float, np.integer, np.floating)):
        raise TypeError(f"tol must be a real number, not {type(value).__name__}")
    low, high = _TOL_RANGE
    if not low <= value <= high:
        raise ValueError(f"tol must lie between {low:g} and {high:g}, not {value!r}")
    return float(value)


def keyword_not_taken(keyword: str, takers: tuple[str, ...], model: Any) -> TypeError:
    """A keyword given to a model that does not take it."""
    return TypeError(f"{keyword} applies to the models {', '.join(map(repr, takers))}, not to model={model!r}")


def unknown_model(known: tuple[str, ...], model: Any) -> ValueError:
    return ValueError(f"model must be one of {', '.join(map(repr, known))}, not {model!r}")


# --- dividends= ----------------------------------------------------------
# The converter of the dividends keyword and the calls of the ufuncs that
# take a schedule live in their own module, which uses the helpers above.

from . import _dividends  # noqa: E402
from ._dividends import dividends  # noqa: E402,F401
