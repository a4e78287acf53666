"""The raw ufuncs behind varnelle_np, for use where a real ``np.ufunc`` is
wanted (``ufunc.reduce`` excepted: they have no identity).

Each takes the six numbers (s, k, t, r, sigma, q) and, where the result
depends on the side, a seventh boolean operand ``put``; the implied
volatilities take (price, s, k, t, r, q, put); ``bs_greeks`` and
``am_greeks`` have five outputs (delta, gamma, theta, vega, rho). The
integral model's take ``tol`` last. Those named ``..._dividends`` are
generalized ufuncs: after the others' operands come a row's dividend times
and amounts along a core dimension, signature ``(),...,(),(n),(n)->()``.
"""

import numpy as np

from . import _ufuncs

# In registration order: the functions' ufuncs and their further models'.
__all__ = [name for name, value in vars(_ufuncs).items() if isinstance(value, np.ufunc)]
globals().update({name: getattr(_ufuncs, name) for name in __all__})
