"""The raw ufuncs behind varnelle_np, for use where a real ``np.ufunc`` is
wanted (``ufunc.reduce`` excepted: they have no identity).

Each takes the six numbers (s, k, t, r, sigma, q) and, where the result
depends on the side, a seventh boolean operand ``put``; the implied
volatilities take (price, s, k, t, r, q, put); ``bs_greeks`` and
``am_greeks`` have five outputs (delta, gamma, theta, vega, rho).
"""

from . import _ufuncs

__all__ = [name for name, _parameters, _summary in _ufuncs.functions]
globals().update({name: getattr(_ufuncs, name) for name in __all__})
