"""bs_price at the edges of its domain, as the README's degenerate-input
table states it: the payoff at or after expiry, the discounted forward
payoff without volatility, NaN wherever a NaN enters the formula; and the
American price never below it while time remains."""

import math

import pytest

np = pytest.importorskip("numpy")

import varnelle_np as vnp  # noqa: E402

NAN = math.nan
R, Q = 0.05, 0.01


def discounted_forward_payoff(s, k, t, side):
    forward = s * math.exp((R - Q) * t)
    return math.exp(-R * t) * max(forward - k if side == "call" else k - forward, 0.0)


# (s, k, t, r, sigma, q), side, expected value (NaN: NaN expected), why
CASES = [
    ((110, 100, 0, R, 0.2, Q), "call", 10.0, "expiry: the payoff"),
    ((110, 100, 0, R, 0.2, Q), "put", 0.0, "expiry, out of the money"),
    ((90, 100, 0, R, 0.2, Q), "put", 10.0, "expiry: the payoff"),
    ((100, 100, 0, R, 0.2, Q), "call", 0.0, "expiry at the strike"),
    ((100, 100, 0, R, 0.2, Q), "put", 0.0, "expiry at the strike"),
    ((110, 100, -1, R, 0.2, Q), "call", 10.0, "after expiry: the payoff"),
    ((90, 100, -1, R, 0.2, Q), "put", 10.0, "after expiry: the payoff"),
    ((110, 100, 0, R, NAN, Q), "call", 10.0, "volatility does not enter the payoff"),
    ((110, 100, 0, NAN, 0.2, Q), "call", 10.0, "the rate does not enter the payoff"),
    ((90, 100, 0, R, 0.2, NAN), "put", 10.0, "the yield does not enter the payoff"),
    ((NAN, 100, 0, R, 0.2, Q), "call", NAN, "a NaN spot stays NaN at expiry"),
    ((100, NAN, 0, R, 0.2, Q), "put", NAN, "a NaN strike stays NaN at expiry"),
    ((110, 100, 1, R, 0.0, Q), "call", discounted_forward_payoff(110, 100, 1, "call"), "no volatility"),
    ((90, 100, 1, R, 0.0, Q), "put", discounted_forward_payoff(90, 100, 1, "put"), "no volatility"),
    ((90, 100, 1, R, 0.0, Q), "call", 0.0, "no volatility, forward below the strike"),
    ((100, 100, 1, R, 0.0, R), "call", NAN, "no volatility, forward exactly at the strike"),
    ((100, 100, 1, R, 0.0, R), "put", NAN, "no volatility, forward exactly at the strike"),
]


@pytest.mark.parametrize("inputs, side, expected, why", CASES, ids=[f"{c[3]}-{c[1]}" for c in CASES])
def test_edges_of_the_european_price(inputs, side, expected, why):
    price = float(vnp.bs_price(*inputs, option_type=side))
    if math.isnan(expected):
        assert math.isnan(price), why
    else:
        assert price == pytest.approx(expected, rel=1e-12, abs=1e-12), why


@pytest.mark.parametrize("side", ["call", "put"])
@pytest.mark.parametrize("where", range(6))
def test_any_nan_while_time_remains_gives_nan(where, side):
    inputs = [110.0, 100.0, 1.0, R, 0.2, Q]
    inputs[where] = NAN
    assert math.isnan(vnp.bs_price(*inputs, option_type=side))


@pytest.mark.parametrize("side", ["call", "put"])
def test_american_price_never_below_the_european_while_time_remains(side):
    rng = np.random.default_rng(8)
    n = 50_000
    inputs = (rng.uniform(20, 300, n), rng.uniform(20, 300, n), rng.uniform(0.001, 15, n),
              rng.uniform(-0.02, 0.15, n), rng.uniform(0.01, 1.0, n), rng.uniform(0, 0.3, n))
    european = vnp.bs_price(*inputs, option_type=side)
    assert (vnp.am_price(*inputs, option_type=side, model="bs2002") >= european).all()
    # The integral model computes the European part of its value in its own
    # way: it may fall below bs_price, but only within its target error.
    few = slice(0, 5_000)
    american = vnp.am_price(*(x[few] for x in inputs), option_type=side)
    below = (european[few] - american) / np.maximum(european[few], 0.005 * inputs[1][few])
    assert (below <= 1e-6).all()
