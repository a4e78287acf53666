"""Implied volatilities through varnelle_np: round trips through the module's
own prices, the no-arbitrage bounds, and the array conventions of the rest of
the module. (The pricing core's own tests sweep a million rows; these check
that the ufuncs reach the solvers row for row.)"""

import os

import pytest

np = pytest.importorskip("numpy")

import varnelle_np as vnp  # noqa: E402

STRESS = os.environ.get("VARNELLE_STRESS") == "1"


def random_quotes(rng, n):
    s = rng.uniform(50, 150, n)
    k = s * np.exp(rng.uniform(-1.0, 1.0, n))  # deep in to deep out of the money
    t = np.exp(rng.uniform(np.log(1 / 365), np.log(30), n))
    r = rng.uniform(-0.02, 0.1, n)
    q = rng.uniform(-0.02, 0.08, n)
    sigma = np.exp(rng.uniform(np.log(0.005), np.log(3.0), n))
    sides = rng.choice(np.array(["call", "put"]), n)
    return s, k, t, r, q, sigma, sides


def price_noise(s, k, t, r, q):
    """A few units in the last place of the larger of the two discounted legs."""
    return 8 * np.spacing(np.maximum(s * np.exp(-q * t), k * np.exp(-r * t)))


@pytest.mark.parametrize("model, american_model, rows, tolerance", [
    ("bs", None, 1_000_000 if STRESS else 100_000, 1e-12),
    ("am", "bs2002", 100_000 if STRESS else 5_000, 1e-10),
    ("am", "integral", 3_000 if STRESS else 300, 1e-10),
])
def test_round_trip_recovers_sigma_or_reproduces_the_price(model, american_model, rows, tolerance):
    rng = np.random.default_rng(2024)
    s, k, t, r, q, sigma, sides = random_quotes(rng, rows)
    keywords = {} if american_model is None else {"model": american_model}

    def price_of(*arguments):
        return getattr(vnp, f"{model}_price")(*arguments, **keywords)

    def implied(*arguments, **more):
        return getattr(vnp, f"{model}_implied_vol")(*arguments, **keywords, **more)

    price = price_of(s, k, t, r, sigma, q, sides)
    found = implied(price, s, k, t, r, q, sides, workers=-1)
    noise = price_noise(s, k, t, r, q) * (4 if model == "am" else 1)
    if american_model == "integral":
        noise = np.maximum(noise, 1e-9 * price)  # the residual its search accepts as a root
        # Two boundaries that close are priced on a grid, whose price moves
        # with sigma in small steps: there the answer is held to a quarter of
        # the default tol in the model's error unit.
        puts = sides == "put"
        two_boundaries = np.where(puts, (q < r) & (r <= 0), (r < q) & (q <= 0))
        noise = np.where(two_boundaries, np.maximum(noise, 0.25e-6 * np.maximum(price, 0.005 * k)), noise)
    # Where a 1e-12 relative move of sigma moves the price by more than its
    # noise, sigma itself must come back; elsewhere the price must.
    moved = np.abs(price_of(s, k, t, r, sigma * (1 + tolerance), q, sides) - price)
    identifiable = moved > noise
    inside = np.isfinite(found)
    error = np.abs(found - sigma) / sigma
    repriced = np.abs(price_of(s, k, t, r, np.where(inside, found, 0.2), q, sides) - price)
    sound = np.where(identifiable, error <= tolerance, repriced <= noise)
    if model == "am":
        # The American price is not monotone in sigma everywhere: another
        # sigma with the same price is an answer too.
        sound |= inside & (repriced <= noise)
    # Rows whose price sits on a bound (zero time value, or an American
    # price at its intrinsic value) give NaN or 0 by rule; all others answer.
    on_bound = ~inside
    bad = ~sound & ~on_bound
    assert not bad.any(), [x[bad][:3] for x in (s, k, t, r, q, sigma, sides, found, price, error, repriced, noise)]
    assert inside.mean() > 0.5


@pytest.mark.parametrize("side", ["call", "put"])
def test_bounds(side):
    s, k, t, r, q = 100.0, 90.0 if side == "call" else 110.0, 1.0, 0.05, 0.02
    lower = vnp.bs_price(s, k, t, r, 1e-9, q, side)  # the discounted intrinsic value
    upper = s * np.exp(-q * t) if side == "call" else k * np.exp(-r * t)
    quotes = np.array([np.nan, lower * (1 - 1e-9), lower, (lower + upper) / 2, upper, upper * 2, -1.0])
    found = vnp.bs_implied_vol(quotes, s, k, t, r, q, side)
    assert np.isnan(found[[0, 1, 4, 5, 6]]).all()
    assert found[2] == 0.0
    assert 0 < found[3] < np.inf
    expired = vnp.bs_implied_vol(10.0, 110, 100, 0.0, 0.05, 0.0, "call")
    assert np.isnan(expired)


def test_american_intrinsic_plateau_is_not_identifiable():
    # A deep in-the-money put with a high rate is worth its intrinsic value
    # over a whole range of volatilities.
    assert vnp.am_price(50, 100, 1, 0.1, 0.2, 0, "put") == 50.0
    assert np.isnan(vnp.am_implied_vol(50.0, 50, 100, 1, 0.1, 0, "put"))
    assert np.isnan(vnp.am_implied_vol(49.0, 50, 100, 1, 0.1, 0, "put"))  # below intrinsic


def test_quotes_to_vols_to_greeks():
    spots = np.array([95.0, 100.0, 105.0])
    quotes = np.array([4.1, 7.9, 12.3])
    vols = vnp.bs_implied_vol(quotes, spots, 100, 0.5, 0.03, option_type="call")
    np.testing.assert_allclose(vnp.bs_price(spots, 100, 0.5, 0.03, vols), quotes, rtol=1e-13)
    greeks = vnp.bs_greeks(spots, 100, 0.5, 0.03, vols)
    assert (greeks.vega > 0).all() and (np.diff(greeks.delta) > 0).all()


def test_array_conventions():
    pd = pytest.importorskip("pandas")
    book = pd.DataFrame({"price": [5.0, 6.0, 7.0], "s": 100.0, "k": 100.0, "side": ["c", "P", "call"]},
                        index=["a", "b", "c"])
    vols = vnp.bs_implied_vol(book.price, book.s, book.k, 1.0, 0.01, option_type=book.side)
    assert isinstance(vols, pd.Series) and list(vols.index) == ["a", "b", "c"]
    out = np.empty(3)
    assert vnp.am_implied_vol(book.price.to_numpy(), 100, 100, 1, 0.01, out=out) is out
    assert isinstance(vnp.bs_implied_vol(5.0, 100, 100, 1, 0.01), np.float64)
    with pytest.raises(ValueError, match="'x' at position 1"):
        vnp.bs_implied_vol(book.price.to_numpy(), 100, 100, 1, 0.01, option_type=["c", "x", "p"])
