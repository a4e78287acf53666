# The raw ufuncs: six numbers, a boolean put operand where the side matters.
import numpy as np

bs_price: np.ufunc
bs_delta: np.ufunc
bs_gamma: np.ufunc
bs_theta: np.ufunc
bs_vega: np.ufunc
bs_rho: np.ufunc
bs_greeks: np.ufunc
am_price: np.ufunc
am_price_integral: np.ufunc
am_delta: np.ufunc
am_delta_integral: np.ufunc
am_gamma: np.ufunc
am_gamma_integral: np.ufunc
am_theta: np.ufunc
am_theta_integral: np.ufunc
am_vega: np.ufunc
am_vega_integral: np.ufunc
am_rho: np.ufunc
am_rho_integral: np.ufunc
am_greeks: np.ufunc
am_greeks_integral: np.ufunc
am_exercise_boundary: np.ufunc
bs_implied_vol: np.ufunc
am_implied_vol: np.ufunc
am_implied_vol_integral: np.ufunc

__all__ = [
    "bs_price",
    "bs_delta",
    "bs_gamma",
    "bs_theta",
    "bs_vega",
    "bs_rho",
    "bs_greeks",
    "am_price",
    "am_price_integral",
    "am_delta",
    "am_delta_integral",
    "am_gamma",
    "am_gamma_integral",
    "am_theta",
    "am_theta_integral",
    "am_vega",
    "am_vega_integral",
    "am_rho",
    "am_rho_integral",
    "am_greeks",
    "am_greeks_integral",
    "am_exercise_boundary",
    "bs_implied_vol",
    "am_implied_vol",
    "am_implied_vol_integral",
]
