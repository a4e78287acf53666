# Type information for the varnelle extension module. The module is a single
# compiled file, so its types ship beside it as a stub-only package
# (varnelle-stubs), which mypy, pyright and editors pick up on their own.
#
# Numbers: anything the interpreter can turn into a float (float, int, bool,
# numpy scalars, Decimal, objects with __float__ or __index__) is accepted.
# Sides: option_type is a plain str because sides usually come from data;
# "call"/"c" and "put"/"p" in any letter case are accepted, anything else
# raises ValueError when the call runs.

from typing import Never, Self, SupportsFloat, SupportsIndex, TypeAlias, final

_Number: TypeAlias = SupportsFloat | SupportsIndex

__all__ = [
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
    "PyGreeks",
]

@final
class PyGreeks:
    """Delta, gamma, theta, vega and rho of one option, returned by
    bs_greeks() and am_greeks(). Read-only; it cannot be created directly."""

    # There is no constructor: PyGreeks() raises TypeError. The keyword-only
    # parameter that no value can satisfy makes type checkers reject the call.
    def __new__(cls, *, no_constructor_defined: Never) -> Self: ...
    @property
    def delta(self) -> float:
        """Change in price per 1.00 change in the underlying price."""
    @property
    def gamma(self) -> float:
        """Change in delta per 1.00 change in the underlying price."""
    @property
    def theta(self) -> float:
        """Change in price per calendar day that passes."""
    @property
    def vega(self) -> float:
        """Change in price per 1.00 (100 points) of volatility."""
    @property
    def rho(self) -> float:
        """Change in price per 1 % (0.01) of interest rate."""

def bs_delta(
    s: _Number, k: _Number, t: _Number, r: _Number, sigma: _Number, q: _Number = 0.0, option_type: str = "call"
) -> float:
    """Delta of a European option under Black-Scholes with dividend yield q."""

def bs_gamma(s: _Number, k: _Number, t: _Number, r: _Number, sigma: _Number, q: _Number = 0.0) -> float:
    """Gamma of a European option (the same for calls and puts)."""

def bs_theta(
    s: _Number, k: _Number, t: _Number, r: _Number, sigma: _Number, q: _Number = 0.0, option_type: str = "call"
) -> float:
    """Theta of a European option, per calendar day (the yearly rate / 365)."""

def bs_vega(s: _Number, k: _Number, t: _Number, r: _Number, sigma: _Number, q: _Number = 0.0) -> float:
    """Vega of a European option per 1.00 of volatility (the same for calls and puts)."""

def bs_rho(
    s: _Number, k: _Number, t: _Number, r: _Number, sigma: _Number, q: _Number = 0.0, option_type: str = "call"
) -> float:
    """Rho of a European option per 1 % of interest rate."""

def bs_greeks(
    s: _Number, k: _Number, t: _Number, r: _Number, sigma: _Number, q: _Number = 0.0, option_type: str = "call"
) -> PyGreeks:
    """All five Greeks of a European option in one call."""

def am_price(
    s: _Number, k: _Number, t: _Number, r: _Number, sigma: _Number, q: _Number = 0.0, option_type: str = "call"
) -> float:
    """Price of an American option (Bjerksund-Stensland 2002, flat boundary);
    never below the intrinsic value."""

def am_delta(
    s: _Number, k: _Number, t: _Number, r: _Number, sigma: _Number, q: _Number = 0.0, option_type: str = "call"
) -> float:
    """Delta of an American option: central difference of am_price, step 0.0001 * s."""

def am_gamma(
    s: _Number, k: _Number, t: _Number, r: _Number, sigma: _Number, q: _Number = 0.0, option_type: str = "call"
) -> float:
    """Gamma of an American option: second difference of am_price, step 0.0001 * s."""

def am_theta(
    s: _Number, k: _Number, t: _Number, r: _Number, sigma: _Number, q: _Number = 0.0, option_type: str = "call"
) -> float:
    """Theta of an American option: am_price one calendar day later minus am_price now."""

def am_vega(
    s: _Number, k: _Number, t: _Number, r: _Number, sigma: _Number, q: _Number = 0.0, option_type: str = "call"
) -> float:
    """Vega of an American option per 1.00 of volatility: central difference, step 0.0001."""

def am_rho(
    s: _Number, k: _Number, t: _Number, r: _Number, sigma: _Number, q: _Number = 0.0, option_type: str = "call"
) -> float:
    """Rho of an American option per 1 % of rate: central difference, step 0.0001."""

def am_greeks(
    s: _Number, k: _Number, t: _Number, r: _Number, sigma: _Number, q: _Number = 0.0, option_type: str = "call"
) -> PyGreeks:
    """All five finite-difference Greeks of an American option in one call."""
