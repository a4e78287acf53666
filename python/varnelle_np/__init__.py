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

The European functions run several rows at a time in AVX-512 or AVX2 lanes
where the processor has them and a check at the first call proves they give
the platform's bits; ``show_config()`` tells which path runs and why, and
VARNELLE_SCALAR=1 in the environment forces the scalar one. Every path gives
the same results.

Ctrl-C stops a long call (with or without ``workers=``) within a fraction of
a second and raises KeyboardInterrupt; rows already written to ``out=`` stay
written. Only the main thread receives signals: a call made from another
thread runs to its end while the main thread gets the KeyboardInterrupt.
"""

from __future__ import annotations

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

from . import _functions, ufuncs
from ._functions import *  # noqa: F403 - one function per row of the function table
from ._config import show_config
from ._runtime import Greeks

# The functions were written from the same table the ufuncs were compiled
# from; a build that mixes two tables would call ufuncs with the wrong
# operands.
if _functions.TABLE != _ufuncs.table:  # pragma: no cover - a broken build
    raise ImportError("varnelle_np's functions and its compiled ufuncs come from different builds: rebuild it")

# In registration order: the European functions, the American ones, then the
# implied volatilities (a further model's ufunc is in ufuncs only).
__all__ = [*_functions.__all__, "Greeks", "ufuncs", "show_config"]

for _name in [*_functions.__all__, "show_config"]:
    globals()[_name].__module__ = __name__
del _name
