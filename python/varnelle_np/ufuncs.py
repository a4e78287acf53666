"""The raw ufuncs behind varnelle_np, for use where a real ``np.ufunc`` is
wanted (``ufunc.reduce`` excepted: they have no identity).

Each takes the six numbers (s, k, t, r, sigma, q) and, where the result
depends on the side, a seventh boolean operand ``put``; the implied
volatilities take (price, s, k, t, r, q, put); ``bs_greeks`` and
``am_greeks`` have five outputs (delta, gamma, theta, vega, rho).
"""

from ._ufuncs import (
    am_delta,
    am_implied_vol,
    am_gamma,
    am_greeks,
    am_price,
    am_rho,
    am_theta,
    am_vega,
    bs_delta,
    bs_gamma,
    bs_greeks,
    bs_implied_vol,
    bs_price,
    bs_rho,
    bs_theta,
    bs_vega,
)

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
]
