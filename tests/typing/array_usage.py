"""Ordinary use of varnelle_np; the type checkers must accept all of it, and it
must also run."""

from typing import Any, assert_type

import numpy as np
import pandas as pd
import varnelle_np as vnp
from numpy.typing import NDArray
from varnelle_np import Greeks

S, K, T, R, SIGMA = 100.0, 100.0, 1.0, 0.05, 0.2
spots = np.linspace(80.0, 120.0, 5)
Vector = NDArray[np.float64]

# Scalars in, NumPy scalars out.
assert_type(vnp.bs_price(S, K, T, R, SIGMA), np.float64)
assert_type(vnp.bs_delta(S, K, T, R, SIGMA, 0.02, "put"), np.float64)
assert_type(vnp.bs_gamma(s=S, k=K, t=T, r=R, sigma=SIGMA, q=0.01), np.float64)
assert_type(vnp.bs_vega(100, 100, 1, 0, np.float64(0.3)), np.float64)
assert_type(vnp.am_price(S, K, T, R, SIGMA, option_type="p"), np.float64)
assert_type(vnp.am_rho(np.float32(S), np.int64(100), T, R, SIGMA), np.float64)

# Arrays and lists in, float64 arrays out; everything broadcasts.
assert_type(vnp.bs_theta(spots, K, T, R, SIGMA), Vector)
assert_type(vnp.bs_rho([90.0, 100.0, 110.0], K, T, R, SIGMA, option_type="put"), Vector)
assert_type(vnp.bs_vega(spots[:, None], K, T, R, [0.1, 0.2, 0.3]), Vector)
assert_type(vnp.am_delta(S, [90, 100], T, R, SIGMA), Vector)
assert_type(vnp.am_delta(np.arange(80, 121, 10), K, T, R, np.float32(0.2)), Vector)
assert_type(vnp.bs_rho([[100, 110]], [90, 100], T, R, SIGMA, option_type=[["put", "call"]]), Vector)
assert_type(vnp.am_gamma(spots, K, T, R, SIGMA, workers=2), Vector)
assert_type(vnp.am_theta(spots, K, T, R, SIGMA, workers=-1), Vector)

# option_type: one text, or texts per row in a list, a NumPy array or a Series.
sides = ["call", "put", "C", "p", "Put"]
assert_type(vnp.am_vega(spots, K, T, R, SIGMA, option_type=sides), Vector)
assert_type(vnp.am_price(spots, K, T, R, SIGMA, 0.0, np.array(sides)), Vector)
assert_type(vnp.bs_price(spots, K, T, R, SIGMA, option_type=pd.Series(sides)), Vector)

# out= is filled and returned.
out = np.empty(5)
assert_type(vnp.bs_delta(spots, K, T, R, SIGMA, out=out), Vector)

# The Greeks of a book at once, as a named tuple.
european = vnp.bs_greeks(S, K, T, R, SIGMA)
assert_type(european, Greeks[np.float64])
assert_type(european.delta, np.float64)
book = vnp.am_greeks(spots, K, T, R, SIGMA, option_type=sides, workers=2)
assert_type(book, vnp.Greeks[Vector])
assert_type(book.gamma, Vector)
assert_type(book.rho, Vector)
outs = (np.empty(5), np.empty(5), np.empty(5), np.empty(5), np.empty(5))
assert_type(vnp.bs_greeks(spots, K, T, R, SIGMA, out=outs), Greeks[Vector])
delta, gamma, theta, vega, rho = book
assert_type(vega, Vector)


def net_vega(book: Greeks[Vector], positions: Vector) -> float:
    return float((book.vega * positions).sum())


def priced(frame: pd.DataFrame) -> Any:
    return vnp.am_price(frame["s"], frame["k"], frame["t"], frame["r"], frame["sigma"], option_type=frame["side"])


# A Series in (as s, or price for the implied volatilities) is a Series out,
# index and all.
column = pd.Series([90.0, 100.0, 110.0], index=["a", "b", "c"])
assert_type(vnp.bs_price(column, K, T, R, SIGMA), "pd.Series[float]")
assert list(vnp.am_price(column, K, T, R, SIGMA, 0.0, "put").index) == ["a", "b", "c"]
assert_type(vnp.bs_greeks(column, K, T, R, SIGMA).delta, "pd.Series[float]")
assert_type(vnp.bs_implied_vol(column / 10, S, K, T, R), "pd.Series[float]")


# Implied volatilities: the price first, no sigma.
assert_type(vnp.bs_implied_vol(10.45, S, K, T, R), np.float64)
assert_type(vnp.am_implied_vol([5.6, 6.0], S, K, T, R, 0.0, ["put", "p"]), Vector)

# Cash dividends: one schedule for every row, or one per row.
assert_type(vnp.am_price(S, K, T, R, SIGMA, model="integral", dividends=([0.25, 0.5], [1.0, 1.0])), np.float64)
assert_type(vnp.bs_price(spots, K, T, R, SIGMA, dividends=(np.full((5, 2), 0.5), np.ones((5, 2)))), Vector)
assert_type(vnp.am_exercise_boundary(K, T, R, SIGMA, dividends=([0.5], [2.0])), np.float64)

# The raw ufuncs.
assert isinstance(vnp.ufuncs.bs_price, np.ufunc)
assert vnp.ufuncs.bs_price(S, K, T, R, SIGMA, 0.0, True) == vnp.bs_price(S, K, T, R, SIGMA, 0.0, "put")

frame = pd.DataFrame({"s": spots, "k": K, "t": T, "r": R, "sigma": SIGMA, "side": sides})
assert isinstance(european, Greeks) and isinstance(european.delta, np.float64)
assert net_vega(book, np.ones(5)) > 0.0
assert isinstance(priced(frame), pd.Series)
assert delta.shape == (5,) and gamma.shape == theta.shape == rho.shape == (5,)
assert "am_greeks" in vnp.__all__
