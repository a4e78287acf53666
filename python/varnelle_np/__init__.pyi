# Types of varnelle_np. The functions are made at import time from one
# definition each, so their signatures are written out here.
#
# Numbers: scalars give NumPy scalars (np.float64); array-likes of real
# numbers (lists, nested lists, NumPy arrays of a real dtype, pandas Series,
# ...) give float64 arrays. pandas, dask and xarray inputs come back as their
# own types at run time through NumPy's dispatch; they are typed as arrays
# here. Texts where numbers belong are refused, as they are at run time
# (NumPy's ArrayLike would let a str through).

from collections.abc import Sequence
from typing import Any, Literal, Generic, NamedTuple, Protocol, TypeAlias, TypeVar, overload

import numpy as np
from numpy.typing import NDArray

from . import ufuncs as ufuncs

_Number: TypeAlias = float | int | np.floating[Any] | np.integer[Any] | np.bool_
_Result = TypeVar("_Result")

class _SupportsRealArray(Protocol):
    def __array__(self) -> np.ndarray[Any, np.dtype[np.floating[Any] | np.integer[Any] | np.bool_]]: ...

class _SupportsArray(Protocol):
    def __array__(self) -> np.ndarray[Any, Any]: ...

# Nested lists to three levels, written out: a recursive alias would let a str
# through, since a str is a sequence of str.
_Item: TypeAlias = _Number | _SupportsRealArray
_Numbers: TypeAlias = _Item | Sequence[_Item] | Sequence[Sequence[_Item]] | Sequence[Sequence[Sequence[_Item]]]
# One text for every row, or texts per row (nested for more dimensions).
# Arrays of texts have no dtype common to NumPy 1 and 2 (str_, object,
# StringDType), so any array is accepted here and its contents are checked
# at run time.
_Sides: TypeAlias = str | _SupportsArray | Sequence[_Sides]
# The American models: the flat-boundary approximation (the default) and the
# early-exercise boundary integral, solved to tol.
_Model: TypeAlias = Literal["bs2002", "integral"]
_Workers: TypeAlias = int | np.integer[Any]
# Cash dividends: (times, amounts) of one shape, a row's dividends along the
# last axis.
_Dividends: TypeAlias = tuple[_Numbers, _Numbers]
# pandas Series and DataFrames (and their dask counterparts) come back as
# their own type, with their index: typed through the index they carry, so
# that these stubs need no pandas. The element type is not narrowed to float.
class _Labels(Protocol):
    def __len__(self) -> int: ...

class _Indexed(Protocol):  # a list's index is a method, not labels
    @property
    def index(self) -> _Labels: ...

_IndexedT = TypeVar("_IndexedT", bound=_Indexed)
_Out: TypeAlias = NDArray[np.float64]
_Outs: TypeAlias = tuple[_Out, _Out, _Out, _Out, _Out]

__all__ = [
    "bs_price",
    "bs_delta",
    "bs_gamma",
    "bs_theta",
    "bs_vega",
    "bs_rho",
    "bs_greeks",
    "am_price",
    "am_delta",
    "am_gamma",
    "am_theta",
    "am_vega",
    "am_rho",
    "am_greeks",
    "am_exercise_boundary",
    "bs_implied_vol",
    "am_implied_vol",
    "Greeks",
    "ufuncs",
    "show_config",
]

class Greeks(NamedTuple, Generic[_Result]):
    """Delta, gamma, theta, vega and rho, each shaped like the broadcast inputs."""

    delta: _Result
    gamma: _Result
    theta: _Result
    vega: _Result
    rho: _Result

@overload
def bs_price(s: _Number, k: _Number, t: _Number, r: _Number, sigma: _Number, q: _Number = ..., option_type: str = ..., *, dividends: _Dividends | None = ..., out: None = ..., workers: _Workers = ...) -> np.float64: ...  # type: ignore[overload-overlap]
@overload
def bs_price(s: _IndexedT, k: _Numbers, t: _Numbers, r: _Numbers, sigma: _Numbers, q: _Numbers = ..., option_type: _Sides = ..., *, dividends: _Dividends | None = ..., out: None = ..., workers: _Workers = ...) -> _IndexedT: ...  # type: ignore[overload-overlap]
@overload
def bs_price(s: _Numbers, k: _Numbers, t: _Numbers, r: _Numbers, sigma: _Numbers, q: _Numbers = ..., option_type: _Sides = ..., *, dividends: _Dividends | None = ..., out: _Out | None = ..., workers: _Workers = ...) -> NDArray[np.float64]: ...
@overload
def bs_delta(s: _Number, k: _Number, t: _Number, r: _Number, sigma: _Number, q: _Number = ..., option_type: str = ..., *, dividends: _Dividends | None = ..., out: None = ..., workers: _Workers = ...) -> np.float64: ...  # type: ignore[overload-overlap]
@overload
def bs_delta(s: _IndexedT, k: _Numbers, t: _Numbers, r: _Numbers, sigma: _Numbers, q: _Numbers = ..., option_type: _Sides = ..., *, dividends: _Dividends | None = ..., out: None = ..., workers: _Workers = ...) -> _IndexedT: ...  # type: ignore[overload-overlap]
@overload
def bs_delta(s: _Numbers, k: _Numbers, t: _Numbers, r: _Numbers, sigma: _Numbers, q: _Numbers = ..., option_type: _Sides = ..., *, dividends: _Dividends | None = ..., out: _Out | None = ..., workers: _Workers = ...) -> NDArray[np.float64]: ...
@overload
def bs_gamma(s: _Number, k: _Number, t: _Number, r: _Number, sigma: _Number, q: _Number = ..., *, dividends: _Dividends | None = ..., out: None = ..., workers: _Workers = ...) -> np.float64: ...  # type: ignore[overload-overlap]
@overload
def bs_gamma(s: _IndexedT, k: _Numbers, t: _Numbers, r: _Numbers, sigma: _Numbers, q: _Numbers = ..., *, dividends: _Dividends | None = ..., out: None = ..., workers: _Workers = ...) -> _IndexedT: ...  # type: ignore[overload-overlap]
@overload
def bs_gamma(s: _Numbers, k: _Numbers, t: _Numbers, r: _Numbers, sigma: _Numbers, q: _Numbers = ..., *, dividends: _Dividends | None = ..., out: _Out | None = ..., workers: _Workers = ...) -> NDArray[np.float64]: ...
@overload
def bs_theta(s: _Number, k: _Number, t: _Number, r: _Number, sigma: _Number, q: _Number = ..., option_type: str = ..., *, dividends: _Dividends | None = ..., out: None = ..., workers: _Workers = ...) -> np.float64: ...  # type: ignore[overload-overlap]
@overload
def bs_theta(s: _IndexedT, k: _Numbers, t: _Numbers, r: _Numbers, sigma: _Numbers, q: _Numbers = ..., option_type: _Sides = ..., *, dividends: _Dividends | None = ..., out: None = ..., workers: _Workers = ...) -> _IndexedT: ...  # type: ignore[overload-overlap]
@overload
def bs_theta(s: _Numbers, k: _Numbers, t: _Numbers, r: _Numbers, sigma: _Numbers, q: _Numbers = ..., option_type: _Sides = ..., *, dividends: _Dividends | None = ..., out: _Out | None = ..., workers: _Workers = ...) -> NDArray[np.float64]: ...
@overload
def bs_vega(s: _Number, k: _Number, t: _Number, r: _Number, sigma: _Number, q: _Number = ..., *, dividends: _Dividends | None = ..., out: None = ..., workers: _Workers = ...) -> np.float64: ...  # type: ignore[overload-overlap]
@overload
def bs_vega(s: _IndexedT, k: _Numbers, t: _Numbers, r: _Numbers, sigma: _Numbers, q: _Numbers = ..., *, dividends: _Dividends | None = ..., out: None = ..., workers: _Workers = ...) -> _IndexedT: ...  # type: ignore[overload-overlap]
@overload
def bs_vega(s: _Numbers, k: _Numbers, t: _Numbers, r: _Numbers, sigma: _Numbers, q: _Numbers = ..., *, dividends: _Dividends | None = ..., out: _Out | None = ..., workers: _Workers = ...) -> NDArray[np.float64]: ...
@overload
def bs_rho(s: _Number, k: _Number, t: _Number, r: _Number, sigma: _Number, q: _Number = ..., option_type: str = ..., *, dividends: _Dividends | None = ..., out: None = ..., workers: _Workers = ...) -> np.float64: ...  # type: ignore[overload-overlap]
@overload
def bs_rho(s: _IndexedT, k: _Numbers, t: _Numbers, r: _Numbers, sigma: _Numbers, q: _Numbers = ..., option_type: _Sides = ..., *, dividends: _Dividends | None = ..., out: None = ..., workers: _Workers = ...) -> _IndexedT: ...  # type: ignore[overload-overlap]
@overload
def bs_rho(s: _Numbers, k: _Numbers, t: _Numbers, r: _Numbers, sigma: _Numbers, q: _Numbers = ..., option_type: _Sides = ..., *, dividends: _Dividends | None = ..., out: _Out | None = ..., workers: _Workers = ...) -> NDArray[np.float64]: ...
@overload
def bs_greeks(s: _Number, k: _Number, t: _Number, r: _Number, sigma: _Number, q: _Number = ..., option_type: str = ..., *, dividends: _Dividends | None = ..., out: None = ..., workers: _Workers = ...) -> Greeks[np.float64]: ...  # type: ignore[overload-overlap]
@overload
def bs_greeks(s: _IndexedT, k: _Numbers, t: _Numbers, r: _Numbers, sigma: _Numbers, q: _Numbers = ..., option_type: _Sides = ..., *, dividends: _Dividends | None = ..., out: None = ..., workers: _Workers = ...) -> Greeks[_IndexedT]: ...  # type: ignore[overload-overlap]
@overload
def bs_greeks(s: _Numbers, k: _Numbers, t: _Numbers, r: _Numbers, sigma: _Numbers, q: _Numbers = ..., option_type: _Sides = ..., *, dividends: _Dividends | None = ..., out: _Outs | None = ..., workers: _Workers = ...) -> Greeks[NDArray[np.float64]]: ...
@overload
def am_price(s: _Number, k: _Number, t: _Number, r: _Number, sigma: _Number, q: _Number = ..., option_type: str = ..., *, model: _Model = ..., tol: float | None = ..., dividends: _Dividends | None = ..., out: None = ..., workers: _Workers = ...) -> np.float64: ...  # type: ignore[overload-overlap]
@overload
def am_price(s: _IndexedT, k: _Numbers, t: _Numbers, r: _Numbers, sigma: _Numbers, q: _Numbers = ..., option_type: _Sides = ..., *, model: _Model = ..., tol: float | None = ..., dividends: _Dividends | None = ..., out: None = ..., workers: _Workers = ...) -> _IndexedT: ...  # type: ignore[overload-overlap]
@overload
def am_price(s: _Numbers, k: _Numbers, t: _Numbers, r: _Numbers, sigma: _Numbers, q: _Numbers = ..., option_type: _Sides = ..., *, model: _Model = ..., tol: float | None = ..., dividends: _Dividends | None = ..., out: _Out | None = ..., workers: _Workers = ...) -> NDArray[np.float64]: ...
@overload
def am_delta(s: _Number, k: _Number, t: _Number, r: _Number, sigma: _Number, q: _Number = ..., option_type: str = ..., *, model: _Model = ..., tol: float | None = ..., dividends: _Dividends | None = ..., out: None = ..., workers: _Workers = ...) -> np.float64: ...  # type: ignore[overload-overlap]
@overload
def am_delta(s: _IndexedT, k: _Numbers, t: _Numbers, r: _Numbers, sigma: _Numbers, q: _Numbers = ..., option_type: _Sides = ..., *, model: _Model = ..., tol: float | None = ..., dividends: _Dividends | None = ..., out: None = ..., workers: _Workers = ...) -> _IndexedT: ...  # type: ignore[overload-overlap]
@overload
def am_delta(s: _Numbers, k: _Numbers, t: _Numbers, r: _Numbers, sigma: _Numbers, q: _Numbers = ..., option_type: _Sides = ..., *, model: _Model = ..., tol: float | None = ..., dividends: _Dividends | None = ..., out: _Out | None = ..., workers: _Workers = ...) -> NDArray[np.float64]: ...
@overload
def am_gamma(s: _Number, k: _Number, t: _Number, r: _Number, sigma: _Number, q: _Number = ..., option_type: str = ..., *, model: _Model = ..., tol: float | None = ..., dividends: _Dividends | None = ..., out: None = ..., workers: _Workers = ...) -> np.float64: ...  # type: ignore[overload-overlap]
@overload
def am_gamma(s: _IndexedT, k: _Numbers, t: _Numbers, r: _Numbers, sigma: _Numbers, q: _Numbers = ..., option_type: _Sides = ..., *, model: _Model = ..., tol: float | None = ..., dividends: _Dividends | None = ..., out: None = ..., workers: _Workers = ...) -> _IndexedT: ...  # type: ignore[overload-overlap]
@overload
def am_gamma(s: _Numbers, k: _Numbers, t: _Numbers, r: _Numbers, sigma: _Numbers, q: _Numbers = ..., option_type: _Sides = ..., *, model: _Model = ..., tol: float | None = ..., dividends: _Dividends | None = ..., out: _Out | None = ..., workers: _Workers = ...) -> NDArray[np.float64]: ...
@overload
def am_theta(s: _Number, k: _Number, t: _Number, r: _Number, sigma: _Number, q: _Number = ..., option_type: str = ..., *, model: _Model = ..., tol: float | None = ..., dividends: _Dividends | None = ..., out: None = ..., workers: _Workers = ...) -> np.float64: ...  # type: ignore[overload-overlap]
@overload
def am_theta(s: _IndexedT, k: _Numbers, t: _Numbers, r: _Numbers, sigma: _Numbers, q: _Numbers = ..., option_type: _Sides = ..., *, model: _Model = ..., tol: float | None = ..., dividends: _Dividends | None = ..., out: None = ..., workers: _Workers = ...) -> _IndexedT: ...  # type: ignore[overload-overlap]
@overload
def am_theta(s: _Numbers, k: _Numbers, t: _Numbers, r: _Numbers, sigma: _Numbers, q: _Numbers = ..., option_type: _Sides = ..., *, model: _Model = ..., tol: float | None = ..., dividends: _Dividends | None = ..., out: _Out | None = ..., workers: _Workers = ...) -> NDArray[np.float64]: ...
@overload
def am_vega(s: _Number, k: _Number, t: _Number, r: _Number, sigma: _Number, q: _Number = ..., option_type: str = ..., *, model: _Model = ..., tol: float | None = ..., dividends: _Dividends | None = ..., out: None = ..., workers: _Workers = ...) -> np.float64: ...  # type: ignore[overload-overlap]
@overload
def am_vega(s: _IndexedT, k: _Numbers, t: _Numbers, r: _Numbers, sigma: _Numbers, q: _Numbers = ..., option_type: _Sides = ..., *, model: _Model = ..., tol: float | None = ..., dividends: _Dividends | None = ..., out: None = ..., workers: _Workers = ...) -> _IndexedT: ...  # type: ignore[overload-overlap]
@overload
def am_vega(s: _Numbers, k: _Numbers, t: _Numbers, r: _Numbers, sigma: _Numbers, q: _Numbers = ..., option_type: _Sides = ..., *, model: _Model = ..., tol: float | None = ..., dividends: _Dividends | None = ..., out: _Out | None = ..., workers: _Workers = ...) -> NDArray[np.float64]: ...
@overload
def am_rho(s: _Number, k: _Number, t: _Number, r: _Number, sigma: _Number, q: _Number = ..., option_type: str = ..., *, model: _Model = ..., tol: float | None = ..., dividends: _Dividends | None = ..., out: None = ..., workers: _Workers = ...) -> np.float64: ...  # type: ignore[overload-overlap]
@overload
def am_rho(s: _IndexedT, k: _Numbers, t: _Numbers, r: _Numbers, sigma: _Numbers, q: _Numbers = ..., option_type: _Sides = ..., *, model: _Model = ..., tol: float | None = ..., dividends: _Dividends | None = ..., out: None = ..., workers: _Workers = ...) -> _IndexedT: ...  # type: ignore[overload-overlap]
@overload
def am_rho(s: _Numbers, k: _Numbers, t: _Numbers, r: _Numbers, sigma: _Numbers, q: _Numbers = ..., option_type: _Sides = ..., *, model: _Model = ..., tol: float | None = ..., dividends: _Dividends | None = ..., out: _Out | None = ..., workers: _Workers = ...) -> NDArray[np.float64]: ...
@overload
def am_greeks(s: _Number, k: _Number, t: _Number, r: _Number, sigma: _Number, q: _Number = ..., option_type: str = ..., *, model: _Model = ..., tol: float | None = ..., dividends: _Dividends | None = ..., out: None = ..., workers: _Workers = ...) -> Greeks[np.float64]: ...  # type: ignore[overload-overlap]
@overload
def am_greeks(s: _IndexedT, k: _Numbers, t: _Numbers, r: _Numbers, sigma: _Numbers, q: _Numbers = ..., option_type: _Sides = ..., *, model: _Model = ..., tol: float | None = ..., dividends: _Dividends | None = ..., out: None = ..., workers: _Workers = ...) -> Greeks[_IndexedT]: ...  # type: ignore[overload-overlap]
@overload
def am_greeks(s: _Numbers, k: _Numbers, t: _Numbers, r: _Numbers, sigma: _Numbers, q: _Numbers = ..., option_type: _Sides = ..., *, model: _Model = ..., tol: float | None = ..., dividends: _Dividends | None = ..., out: _Outs | None = ..., workers: _Workers = ...) -> Greeks[NDArray[np.float64]]: ...
@overload
def am_exercise_boundary(k: _Number, t: _Number, r: _Number, sigma: _Number, q: _Number = ..., option_type: str = ..., *, tol: float = ..., dividends: _Dividends | None = ..., out: None = ..., workers: _Workers = ...) -> np.float64: ...  # type: ignore[overload-overlap]
@overload
def am_exercise_boundary(k: _IndexedT, t: _Numbers, r: _Numbers, sigma: _Numbers, q: _Numbers = ..., option_type: _Sides = ..., *, tol: float = ..., dividends: _Dividends | None = ..., out: None = ..., workers: _Workers = ...) -> _IndexedT: ...  # type: ignore[overload-overlap]
@overload
def am_exercise_boundary(k: _Numbers, t: _Numbers, r: _Numbers, sigma: _Numbers, q: _Numbers = ..., option_type: _Sides = ..., *, tol: float = ..., dividends: _Dividends | None = ..., out: _Out | None = ..., workers: _Workers = ...) -> NDArray[np.float64]: ...
@overload
def bs_implied_vol(price: _Number, s: _Number, k: _Number, t: _Number, r: _Number, q: _Number = ..., option_type: str = ..., *, dividends: _Dividends | None = ..., out: None = ..., workers: _Workers = ...) -> np.float64: ...  # type: ignore[overload-overlap]
@overload
def bs_implied_vol(price: _IndexedT, s: _Numbers, k: _Numbers, t: _Numbers, r: _Numbers, q: _Numbers = ..., option_type: _Sides = ..., *, dividends: _Dividends | None = ..., out: None = ..., workers: _Workers = ...) -> _IndexedT: ...  # type: ignore[overload-overlap]
@overload
def bs_implied_vol(price: _Numbers, s: _Numbers, k: _Numbers, t: _Numbers, r: _Numbers, q: _Numbers = ..., option_type: _Sides = ..., *, dividends: _Dividends | None = ..., out: _Out | None = ..., workers: _Workers = ...) -> NDArray[np.float64]: ...
@overload
def am_implied_vol(price: _Number, s: _Number, k: _Number, t: _Number, r: _Number, q: _Number = ..., option_type: str = ..., *, model: _Model = ..., tol: float | None = ..., dividends: _Dividends | None = ..., out: None = ..., workers: _Workers = ...) -> np.float64: ...  # type: ignore[overload-overlap]
@overload
def am_implied_vol(price: _IndexedT, s: _Numbers, k: _Numbers, t: _Numbers, r: _Numbers, q: _Numbers = ..., option_type: _Sides = ..., *, model: _Model = ..., tol: float | None = ..., dividends: _Dividends | None = ..., out: None = ..., workers: _Workers = ...) -> _IndexedT: ...  # type: ignore[overload-overlap]
@overload
def am_implied_vol(price: _Numbers, s: _Numbers, k: _Numbers, t: _Numbers, r: _Numbers, q: _Numbers = ..., option_type: _Sides = ..., *, model: _Model = ..., tol: float | None = ..., dividends: _Dividends | None = ..., out: _Out | None = ..., workers: _Workers = ...) -> NDArray[np.float64]: ...

# Which path the European functions take (AVX-512 or AVX2 lanes, or scalar),
# why, the CPU, the proof's result and time, NumPy's version and how to force
# the scalar path: printed (mode="stdout") or returned as a dict
# (mode="dicts"; keys as in its docstring).
@overload
def show_config(mode: Literal["stdout"] = ...) -> None: ...
@overload
def show_config(mode: Literal["dicts"]) -> dict[str, Any]: ...
