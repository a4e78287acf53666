# The raw ufuncs: six numbers, a boolean put operand where the side matters;
# the ones named _dividends are generalized ufuncs whose last two operands
# are each row's dividend times and amounts along a core dimension.
import numpy as np

bs_price: np.ufunc
bs_price_dividends: np.ufunc
bs_delta: np.ufunc
bs_delta_dividends: np.ufunc
bs_gamma: np.ufunc
bs_gamma_dividends: np.ufunc
bs_theta: np.ufunc
bs_theta_dividends: np.ufunc
bs_vega: np.ufunc
bs_vega_dividends: np.ufunc
bs_rho: np.ufunc
bs_rho_dividends: np.ufunc
bs_greeks: np.ufunc
bs_greeks_dividends: np.ufunc
am_price: np.ufunc
am_price_integral: np.ufunc
am_price_dividends: np.ufunc
am_delta: np.ufunc
am_delta_integral: np.ufunc
am_delta_dividends: np.ufunc
am_gamma: np.ufunc
am_gamma_integral: np.ufunc
am_gamma_dividends: np.ufunc
am_theta: np.ufunc
am_theta_integral: np.ufunc
am_theta_dividends: np.ufunc
am_vega: np.ufunc
am_vega_integral: np.ufunc
am_vega_dividends: np.ufunc
am_rho: np.ufunc
am_rho_integral: np.ufunc
am_rho_dividends: np.ufunc
am_greeks: np.ufunc
am_greeks_integral: np.ufunc
am_greeks_dividends: np.ufunc
am_exercise_boundary: np.ufunc
am_exercise_boundary_dividends: np.ufunc
bs_implied_vol: np.ufunc
bs_implied_vol_dividends: np.ufunc
am_implied_vol: np.ufunc
am_implied_vol_integral: np.ufunc
am_implied_vol_dividends: np.ufunc

__all__ = [
    "bs_price",
    "bs_price_dividends",
    "bs_delta",
    "bs_delta_dividends",
    "bs_gamma",
    "bs_gamma_dividends",
    "bs_theta",
    "bs_theta_dividends",
    "bs_vega",
    "bs_vega_dividends",
    "bs_rho",
    "bs_rho_dividends",
    "bs_greeks",
    "bs_greeks_dividends",
    "am_price",
    "am_price_integral",
    "am_price_dividends",
    "am_delta",
    "am_delta_integral",
    "am_delta_dividends",
    "am_gamma",
    "am_gamma_integral",
    "am_gamma_dividends",
    "am_theta",
    "am_theta_integral",
    "am_theta_dividends",
    "am_vega",
    "am_vega_integral",
    "am_vega_dividends",
    "am_rho",
    "am_rho_integral",
    "am_rho_dividends",
    "am_greeks",
    "am_greeks_integral",
    "am_greeks_dividends",
    "am_exercise_boundary",
    "am_exercise_boundary_dividends",
    "bs_implied_vol",
    "bs_implied_vol_dividends",
    "am_implied_vol",
    "am_implied_vol_integral",
    "am_implied_vol_dividends",
]
