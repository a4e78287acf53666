"""Ordinary use of varnelle; the type checkers must accept all of it, and it
must also run."""

from decimal import Decimal
from typing import assert_type

import numpy as np
import varnelle
from varnelle import PyGreeks

S, K, T, R, SIGMA = 100.0, 100.0, 1.0, 0.05, 0.2

assert_type(varnelle.bs_delta(S, K, T, R, SIGMA), float)
assert_type(varnelle.bs_delta(S, K, T, R, SIGMA, 0.02, "put"), float)
assert_type(varnelle.bs_gamma(s=S, k=K, t=T, r=R, sigma=SIGMA, q=0.01), float)
assert_type(varnelle.bs_theta(S, K, T, R, SIGMA, option_type="p"), float)
assert_type(varnelle.bs_vega(100, 100, 1, 0, 1), float)
assert_type(varnelle.bs_rho(S, K, T, R, SIGMA, q=0, option_type="CALL"), float)
assert_type(varnelle.am_price(S, K, T, R, SIGMA, 0.0, "put"), float)
assert_type(varnelle.am_delta(S, K, T, R, SIGMA), float)
assert_type(varnelle.am_gamma(S, K, T, R, SIGMA), float)
assert_type(varnelle.am_theta(S, K, T, R, SIGMA), float)
assert_type(varnelle.am_vega(S, K, T, R, SIGMA), float)
assert_type(varnelle.am_rho(S, K, T, R, SIGMA), float)

# Anything with __float__ or __index__ is a number.
varnelle.bs_delta(np.float64(100), np.float32(100), Decimal("1"), True, np.int64(1))

european = varnelle.bs_greeks(S, K, T, R, SIGMA)
american = varnelle.am_greeks(S, K, T, R, SIGMA, option_type="put")
assert_type(european, PyGreeks)
assert_type(american, varnelle.PyGreeks)
assert_type(european.delta, float)
assert_type(american.rho, float)


def total_vega(book: list[PyGreeks]) -> float:
    return sum(g.vega for g in book)


def side_from_data(row: dict[str, str]) -> float:
    # Sides read from data are plain str.
    return varnelle.am_price(S, K, T, R, SIGMA, option_type=row["side"])


assert isinstance(european, PyGreeks)
assert total_vega([european, american]) > 0.0
assert side_from_data({"side": "call"}) > 0.0
assert repr(european).startswith("Greeks(delta=")
assert "am_greeks" in varnelle.__all__
