"""dividends=(times, amounts): a schedule of cash dividends, and the calls of
the generalized ufuncs that take one.

The last axis of times and amounts lists a row's dividends (the ufuncs' core
dimension); the axes before it broadcast against the other arguments. A 1-D
pair is one schedule for every row, a 2-D pair one schedule per row. With
pandas rows, a DataFrame pair is aligned with the rows by index label (each
label's schedule is its row of the frames), anything else by position. A
dask DataFrame takes a shared schedule, pandas frames aligned by label in
every partition, or dask frames partitioned like its rows; dask arrays take
any of them, per-row schedules chunked along the rows like them.
"""

from __future__ import annotations

from functools import reduce
from typing import Any

import numpy as np

from . import _runtime

_PAIR = "dividends must be a pair (times, amounts) of array_likes of numbers"


def _module_of(value: object) -> str:
    return type(value).__module__ or ""


def _is_pandas(value: object) -> bool:
    return _module_of(value).startswith("pandas")


def _is_dask(value: object) -> bool:
    return _module_of(value).startswith("dask")


def _is_xarray(value: object) -> bool:
    return _module_of(value).startswith("xarray")


def _numbers(name: str, value: Any) -> Any:
    """One half of the pair: pandas, dask and xarray objects as they are
    (checked for real numbers), anything else as a float array with at least
    one axis (a number is one dividend)."""
    if _is_pandas(value) or _is_dask(value) or _is_xarray(value):
        dtypes = value.dtypes if hasattr(value, "columns") else [value.dtype]
        # NumPy's real dtypes and pandas' nullable ones (Float64, Int64: NA is NaN here)
        bad = [d for d in dtypes if getattr(d, "kind", "O") not in "biuf"]
        if bad:
            raise TypeError(f"dividends: {name} must hold real numbers, not values of dtype {bad[0]}")
        return value
    try:
        array = np.asarray(value)
    except Exception:
        raise TypeError(f"{_PAIR}; {name} is a {type(value).__name__}") from None
    if array.dtype.kind not in "biuf":
        got = "an array of dtype " + str(array.dtype) if hasattr(value, "dtype") or array.ndim else type(value).__name__
        raise TypeError(f"dividends: {name} must hold real numbers, not {got}")
    return np.atleast_1d(array.astype(np.float64, copy=False))


def dividends(value: Any) -> tuple[Any, Any]:
    """The converter of the dividends keyword: the pair, each half checked
    for real numbers, both of one shape."""
    if not isinstance(value, (tuple, list)):
        raise TypeError(f"{_PAIR}, not {type(value).__name__}")
    if len(value) != 2:
        raise TypeError(f"{_PAIR}, not a {type(value).__name__} of {len(value)}")
    times, amounts = _numbers("times", value[0]), _numbers("amounts", value[1])
    shapes = tuple(_known_shape(x) for x in (times, amounts))
    if shapes[0] != shapes[1]:
        raise ValueError(f"dividends: times and amounts must have one shape, not {shapes[0]} and {shapes[1]}")
    if _is_pandas(times) and _is_pandas(amounts) and not times.index.equals(amounts.index):
        raise ValueError("dividends: times and amounts must have the same index")
    return times, amounts


def _known_shape(value: Any) -> tuple[Any, ...]:
    """The shape as far as it is known before computing: a lazy frame's
    rows, or a lazy array's unknown lengths, are left out."""
    if _is_dask(value):
        if hasattr(value, "columns"):
            return ("?", len(value.columns))
        return tuple(n if n == n else "?" for n in value.shape)
    return tuple(value.shape)


# --- pandas ------------------------------------------------------------------


def _rows_index(values: tuple[Any, ...]) -> Any:
    """The index pandas gives the result: that of the Series among the
    operands (their union where they differ, as pandas aligns them), or None."""
    indexes = [v.index for v in values if _is_pandas(v) and hasattr(v, "index") and v.ndim == 1]
    if not indexes:
        return None
    return reduce(lambda a, b: a if a.equals(b) else a.union(b), indexes)


def _aligned(frame: Any, index: Any) -> np.ndarray:
    """A pandas schedule's rows in the order of `index`: a DataFrame (one row
    of dividends per label) reindexed by label; a Series is one shared
    schedule."""
    values = frame.to_numpy(dtype=np.float64, na_value=np.nan)
    if frame.ndim == 1 or index is None:
        return values
    if not frame.index.is_unique:
        first = frame.index[frame.index.duplicated()][0]
        raise ValueError(f"dividends: the schedule's index holds the label {first!r} more than once")
    positions = frame.index.get_indexer(index)
    if (positions < 0).any():
        label = index[int(np.argmax(positions < 0))]
        raise ValueError(f"dividends: no schedule for the row labelled {label!r}")
    return values[positions]


def _schedule_arrays(times: Any, amounts: Any, index: Any) -> tuple[Any, Any]:
    if _is_pandas(times):
        return _aligned(times, index), _aligned(amounts, index)
    return times, amounts


# --- the call ----------------------------------------------------------------


def _check_broadcast(scalars: tuple[Any, ...], times: Any) -> None:
    """A schedule's leading axes must broadcast against the other operands:
    said here, naming it, rather than by NumPy's remapped shapes. Operands
    that do not broadcast among themselves are left to NumPy's own error."""
    shapes = [np.shape(x) for x in scalars]
    try:
        others = np.broadcast_shapes(*shapes)
    except ValueError:
        return
    rows = tuple(times.shape[:-1])
    try:
        np.broadcast_shapes(others, rows)
    except ValueError:
        raise ValueError(
            f"dividends: schedules of shape {tuple(times.shape)} (one per row of shape {rows}) do not "
            f"broadcast against the other arguments (shape {others})"
        ) from None


def _on_dask_arrays(ufunc: np.ufunc, operands: tuple[Any, ...], threads: int, names: tuple[str, ...]) -> Any:
    """Block by block, the core axis of a lazy schedule in one chunk; the
    rows of a per-row schedule are chunked like the other operands."""
    import dask.array as da

    def on_blocks(*blocks: Any) -> Any:
        return _runtime._call(ufunc, blocks, None, threads, names)

    operands = tuple(x.rechunk({x.ndim - 1: -1}) if i >= len(operands) - 2 and _is_dask(x) else x
                     for i, x in enumerate(operands))
    dtypes: Any = (float,) * ufunc.nout if ufunc.nout > 1 else float
    # allow_rechunk lets a per-row schedule take the rows' chunks (the core axes are
    # one chunk already).
    result = da.apply_gufunc(on_blocks, ufunc.signature, *operands, output_dtypes=dtypes, allow_rechunk=True)
    return _runtime.Greeks(*result) if ufunc.nout > 1 else result


def _on_dask_frames(ufunc: np.ufunc, numbers: tuple[Any, ...], option_type: Any, threads: int,
                    scalars: tuple[Any, ...], times: Any, amounts: Any, names: tuple[str, ...]) -> Any:
    """Dask DataFrame columns, partition by partition: a pandas schedule is
    aligned with each partition's rows by label, a lazy one is partitioned
    like them."""
    import dask.dataframe as dd
    import pandas as pd

    with_side = option_type is not _runtime.NO_SIDE
    lazy_schedule = _is_dask(times)
    if not lazy_schedule and not _is_pandas(times) and np.ndim(times) > 1:
        raise ValueError("dividends: a dask DataFrame takes one schedule for every row, pandas DataFrames "
                         "of times and amounts indexed like its rows, or dask DataFrames partitioned like them")

    def on_partition(*parts: Any, partition_info: Any = None) -> Any:
        number = None if partition_info is None else partition_info.get("number")
        schedule: tuple[Any, ...]
        if lazy_schedule:
            schedule = tuple(x.to_numpy(dtype=np.float64, na_value=np.nan) for x in parts[-2:])
            parts = parts[:-2]
        else:
            schedule = _schedule_arrays(times, amounts, _rows_index(parts))
        operands = (*parts[:-1], _runtime._sides(parts[-1], number)) if with_side else tuple(parts)
        result = _runtime._call(ufunc, (*operands, *scalars, *schedule), None, threads, names)
        if ufunc.nout == 1:
            return pd.Series(result, index=parts[0].index) if np.ndim(result) else result
        return pd.DataFrame(dict(zip(_runtime.Greeks._fields, result)), index=parts[0].index)

    operands = (*numbers, option_type) if with_side else numbers
    if lazy_schedule:
        operands = (*operands, times, amounts)
    if ufunc.nout == 1:
        meta: Any = pd.Series(dtype=float)
    else:
        meta = pd.DataFrame({field: pd.Series(dtype=float) for field in _runtime.Greeks._fields})
    result = dd.map_partitions(on_partition, *operands, meta=meta, align_dataframes=False)
    return result if ufunc.nout == 1 else _runtime.Greeks(*(result[f] for f in _runtime.Greeks._fields))


def _on_xarray(ufunc: np.ufunc, operands: tuple[Any, ...], times: Any, amounts: Any, threads: int,
               names: tuple[str, ...]) -> Any:
    """xarray DataArrays through xarray.apply_ufunc: a 1-D schedule is shared,
    a DataArray schedule lists each row's dividends along its last
    dimension."""
    import xarray as xr

    if not _is_xarray(times):
        if np.ndim(times) > 1:
            raise ValueError("dividends: with xarray arguments give a per-row schedule as DataArrays whose "
                             "last dimension lists the dividends")
        times, amounts = xr.DataArray(times, dims=["dividend"]), xr.DataArray(amounts, dims=["dividend"])
    core = times.dims[-1]
    if amounts.dims != times.dims:
        raise ValueError("dividends: times and amounts must have the same dimensions")

    def run(*arrays: Any) -> Any:
        return _runtime._call(ufunc, arrays, None, threads, names)

    result = xr.apply_ufunc(run, *operands, times, amounts,
                            input_core_dims=[[]] * len(operands) + [[core], [core]],
                            output_core_dims=[[]] * ufunc.nout, dask="allowed")
    return _runtime.Greeks(*result) if ufunc.nout > 1 else result


def apply(ufunc: np.ufunc, numbers: tuple[Any, ...], option_type: Any, out: Any, workers: Any,
          trailing: tuple[Any, ...], names: tuple[str, ...]) -> Any:
    """_runtime.apply for a ufunc whose last two operands are a schedule."""
    threads = 1 if workers == 1 and type(workers) is int else _runtime._resolve_workers(workers)
    *scalars, times, amounts = trailing
    with_side = option_type is not _runtime.NO_SIDE
    if out is None and any(_module_of(x).startswith("dask.dataframe") for x in (*numbers, option_type)):
        return _on_dask_frames(ufunc, numbers, option_type, threads, tuple(scalars), times, amounts, names)
    sides = (_runtime._sides(option_type),) if with_side else ()
    front = (*numbers, *sides, *scalars)
    if any(_is_xarray(x) for x in (*front, times)):
        return _on_xarray(ufunc, front, times, amounts, threads, names)
    times, amounts = _schedule_arrays(times, amounts, _rows_index((*numbers, *sides)))
    operands = (*front, times, amounts)
    if out is None and any(_is_dask(x) for x in operands):
        return _on_dask_arrays(ufunc, operands, threads, names)
    _check_broadcast(front, times)
    result = _runtime._call(ufunc, operands, out, threads, names)
    return _runtime.Greeks(*result) if ufunc.nout > 1 else result
