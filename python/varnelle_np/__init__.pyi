# Types of varnelle_np. The functions are made at import time from one
# definition each, so their signatures are written out here.
#
# Numbers: scalars give NumPy scalars (np.float64); array-likes (lists, NumPy
# arrays, pandas Series, ...) give arrays. pandas, dask and xarray inputs
# come back as their own types at run time through NumPy's dispatch; they are
# typed as arrays here.

from collections.abc import Sequence
from typing import Any, Generic, NamedTuple, Protocol, TypeAlias, TypeVar, overload

import numpy as np
from numpy.typing import ArrayLike, NDArray

from . import ufuncs as ufuncs

_Number: TypeAlias = float | int | np.floating[Any] | np.integer[Any] | np.bool_
_Result = TypeVar("_Result")

class _SupportsArray(Protocol):
    def __array__(self) -> np.ndarray[Any, Any]: ...

# One text for every row, or texts per row.
_Sides: TypeAlias = str | Sequence[str] | _SupportsArray
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
    "bs_implied_vol",
    "am_implied_vol",
    "Greeks",
    "ufuncs",
]

class Greeks(NamedTuple, Generic[_Result]):
    """Delta, gamma, theta, vega and rho, each shaped like the broadcast inputs."""

    delta: _Result
    gamma: _Result
    theta: _Result
    vega: _Result
    rho: _Result

@overload
def bs_price(s: _Number, k: _Number, t: _Number, r: _Number, sigma: _Number, q: _Number = ..., option_type: str = ..., *, out: None = ..., workers: int = ...) -> np.float64: ...
@overload
def bs_price(s: ArrayLike, k: ArrayLike, t: ArrayLike, r: ArrayLike, sigma: ArrayLike, q: ArrayLike = ..., option_type: _Sides = ..., *, out: _Out | None = ..., workers: int = ...) -> NDArray[np.float64]: ...
@overload
def bs_delta(s: _Number, k: _Number, t: _Number, r: _Number, sigma: _Number, q: _Number = ..., option_type: str = ..., *, out: None = ..., workers: int = ...) -> np.float64: ...
@overload
def bs_delta(s: ArrayLike, k: ArrayLike, t: ArrayLike, r: ArrayLike, sigma: ArrayLike, q: ArrayLike = ..., option_type: _Sides = ..., *, out: _Out | None = ..., workers: int = ...) -> NDArray[np.float64]: ...
@overload
def bs_gamma(s: _Number, k: _Number, t: _Number, r: _Number, sigma: _Number, q: _Number = ..., *, out: None = ..., workers: int = ...) -> np.float64: ...
@overload
def bs_gamma(s: ArrayLike, k: ArrayLike, t: ArrayLike, r: ArrayLike, sigma: ArrayLike, q: ArrayLike = ..., *, out: _Out | None = ..., workers: int = ...) -> NDArray[np.float64]: ...
@overload
def bs_theta(s: _Number, k: _Number, t: _Number, r: _Number, sigma: _Number, q: _Number = ..., option_type: str = ..., *, out: None = ..., workers: int = ...) -> np.float64: ...
@overload
def bs_theta(s: ArrayLike, k: ArrayLike, t: ArrayLike, r: ArrayLike, sigma: ArrayLike, q: ArrayLike = ..., option_type: _Sides = ..., *, out: _Out | None = ..., workers: int = ...) -> NDArray[np.float64]: ...
@overload
def bs_vega(s: _Number, k: _Number, t: _Number, r: _Number, sigma: _Number, q: _Number = ..., *, out: None = ..., workers: int = ...) -> np.float64: ...
@overload
def bs_vega(s: ArrayLike, k: ArrayLike, t: ArrayLike, r: ArrayLike, sigma: ArrayLike, q: ArrayLike = ..., *, out: _Out | None = ..., workers: int = ...) -> NDArray[np.float64]: ...
@overload
def bs_rho(s: _Number, k: _Number, t: _Number, r: _Number, sigma: _Number, q: _Number = ..., option_type: str = ..., *, out: None = ..., workers: int = ...) -> np.float64: ...
@overload
def bs_rho(s: ArrayLike, k: ArrayLike, t: ArrayLike, r: ArrayLike, sigma: ArrayLike, q: ArrayLike = ..., option_type: _Sides = ..., *, out: _Out | None = ..., workers: int = ...) -> NDArray[np.float64]: ...
@overload
def bs_greeks(s: _Number, k: _Number, t: _Number, r: _Number, sigma: _Number, q: _Number = ..., option_type: str = ..., *, out: None = ..., workers: int = ...) -> Greeks[np.float64]: ...
@overload
def bs_greeks(s: ArrayLike, k: ArrayLike, t: ArrayLike, r: ArrayLike, sigma: ArrayLike, q: ArrayLike = ..., option_type: _Sides = ..., *, out: _Outs | None = ..., workers: int = ...) -> Greeks[NDArray[np.float64]]: ...
@overload
def am_price(s: _Number, k: _Number, t: _Number, r: _Number, sigma: _Number, q: _Number = ..., option_type: str = ..., *, out: None = ..., workers: int = ...) -> np.float64: ...
@overload
def am_price(s: ArrayLike, k: ArrayLike, t: ArrayLike, r: ArrayLike, sigma: ArrayLike, q: ArrayLike = ..., option_type: _Sides = ..., *, out: _Out | None = ..., workers: int = ...) -> NDArray[np.float64]: ...
@overload
def am_delta(s: _Number, k: _Number, t: _Number, r: _Number, sigma: _Number, q: _Number = ..., option_type: str = ..., *, out: None = ..., workers: int = ...) -> np.float64: ...
@overload
def am_delta(s: ArrayLike, k: ArrayLike, t: ArrayLike, r: ArrayLike, sigma: ArrayLike, q: ArrayLike = ..., option_type: _Sides = ..., *, out: _Out | None = ..., workers: int = ...) -> NDArray[np.float64]: ...
@overload
def am_gamma(s: _Number, k: _Number, t: _Number, r: _Number, sigma: _Number, q: _Number = ..., option_type: str = ..., *, out: None = ..., workers: int = ...) -> np.float64: ...
@overload
def am_gamma(s: ArrayLike, k: ArrayLike, t: ArrayLike, r: ArrayLike, sigma: ArrayLike, q: ArrayLike = ..., option_type: _Sides = ..., *, out: _Out | None = ..., workers: int = ...) -> NDArray[np.float64]: ...
@overload
def am_theta(s: _Number, k: _Number, t: _Number, r: _Number, sigma: _Number, q: _Number = ..., option_type: str = ..., *, out: None = ..., workers: int = ...) -> np.float64: ...
@overload
def am_theta(s: ArrayLike, k: ArrayLike, t: ArrayLike, r: ArrayLike, sigma: ArrayLike, q: ArrayLike = ..., option_type: _Sides = ..., *, out: _Out | None = ..., workers: int = ...) -> NDArray[np.float64]: ...
@overload
def am_vega(s: _Number, k: _Number, t: _Number, r: _Number, sigma: _Number, q: _Number = ..., option_type: str = ..., *, out: None = ..., workers: int = ...) -> np.float64: ...
@overload
def am_vega(s: ArrayLike, k: ArrayLike, t: ArrayLike, r: ArrayLike, sigma: ArrayLike, q: ArrayLike = ..., option_type: _Sides = ..., *, out: _Out | None = ..., workers: int = ...) -> NDArray[np.float64]: ...
@overload
def am_rho(s: _Number, k: _Number, t: _Number, r: _Number, sigma: _Number, q: _Number = ..., option_type: str = ..., *, out: None = ..., workers: int = ...) -> np.float64: ...
@overload
def am_rho(s: ArrayLike, k: ArrayLike, t: ArrayLike, r: ArrayLike, sigma: ArrayLike, q: ArrayLike = ..., option_type: _Sides = ..., *, out: _Out | None = ..., workers: int = ...) -> NDArray[np.float64]: ...
@overload
def am_greeks(s: _Number, k: _Number, t: _Number, r: _Number, sigma: _Number, q: _Number = ..., option_type: str = ..., *, out: None = ..., workers: int = ...) -> Greeks[np.float64]: ...
@overload
def am_greeks(s: ArrayLike, k: ArrayLike, t: ArrayLike, r: ArrayLike, sigma: ArrayLike, q: ArrayLike = ..., option_type: _Sides = ..., *, out: _Outs | None = ..., workers: int = ...) -> Greeks[NDArray[np.float64]]: ...
@overload
def bs_implied_vol(price: _Number, s: _Number, k: _Number, t: _Number, r: _Number, q: _Number = ..., option_type: str = ..., *, out: None = ..., workers: int = ...) -> np.float64: ...
@overload
def bs_implied_vol(price: ArrayLike, s: ArrayLike, k: ArrayLike, t: ArrayLike, r: ArrayLike, q: ArrayLike = ..., option_type: _Sides = ..., *, out: _Out | None = ..., workers: int = ...) -> NDArray[np.float64]: ...
@overload
def am_implied_vol(price: _Number, s: _Number, k: _Number, t: _Number, r: _Number, q: _Number = ..., option_type: str = ..., *, out: None = ..., workers: int = ...) -> np.float64: ...
@overload
def am_implied_vol(price: ArrayLike, s: ArrayLike, k: ArrayLike, t: ArrayLike, r: ArrayLike, q: ArrayLike = ..., option_type: _Sides = ..., *, out: _Out | None = ..., workers: int = ...) -> NDArray[np.float64]: ...
