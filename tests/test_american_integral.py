"""varnelle_np's second American model, model="integral": accuracy against
the stored high-precision reference book, its keywords, its array semantics
and its exercise boundary."""

import json
import math
import pathlib
from fractions import Fraction

import pytest

np = pytest.importorskip("numpy")
vnp = pytest.importorskip("varnelle_np")

DATA = pathlib.Path(__file__).parent / "data" / "american_reference.json"
COLUMNS = ("s", "k", "t", "r", "sigma", "q")


@pytest.fixture(scope="module")
def book():
    rows = json.loads(DATA.read_text())["rows"]
    columns = {c: np.array([row[c] for row in rows]) for c in (*COLUMNS, "price", "european")}
    columns["side"] = np.array([row["option_type"] for row in rows])
    return columns


def relative_error(values, book):
    return np.abs(values - book["price"]) / np.maximum(book["price"], 0.005 * book["k"])


@pytest.mark.parametrize("tol", [1e-4, 1e-6])
def test_reference_book_within_tol(book, tol):
    values = vnp.am_price(*(book[c] for c in COLUMNS), book["side"], model="integral", tol=tol)
    error = relative_error(values, book)
    assert error.max() <= tol, book["s"][error.argmax()]


def test_the_default_is_the_integral_model_at_tol_1e_6(book):
    numbers = [book[c][:200] for c in COLUMNS]
    side = book["side"][:200]
    default = vnp.am_price(*numbers, side)
    np.testing.assert_array_equal(default, vnp.am_price(*numbers, side, model="integral", tol=1e-6))
    np.testing.assert_array_equal(default, vnp.am_price(*numbers, side, tol=None))
    assert relative_error(default, {c: book[c][:200] for c in ("price", "k")}).max() <= 1e-6
    # The at-the-money put of the README: the flat-boundary model misses its
    # early-exercise premium.
    assert round(float(vnp.am_price(100.0, 100.0, 1.0, 0.05, 0.2, 0.0, "put")), 6) == 6.090371
    assert round(float(vnp.am_price(100.0, 100.0, 1.0, 0.05, 0.2, 0.0, "put", model="bs2002")), 6) == 5.573526


@pytest.mark.parametrize("s, expected", [(80.0, 23.22834), (100.0, 12.60521), (120.0, 6.482425)])
def test_published_values(s, expected):
    value = vnp.am_price(s, 100.0, 3.0, 0.04, 0.2, 0.04, "put", model="integral", tol=1e-10)
    assert round(float(value), 6 if expected < 10 else 5) == expected


def test_published_premium():
    american = vnp.am_price(100.0, 100.0, 1.0, 0.05, 0.25, 0.05, "put", model="integral", tol=1e-10)
    european = vnp.bs_price(100.0, 100.0, 1.0, 0.05, 0.25, 0.05, "put")
    assert abs(american - 9.569445298914) < 1e-10
    assert abs((american - european) - 0.106952702747) < 2e-10


@pytest.mark.parametrize("keywords, error, text", [
    ({"model": "binomial"}, ValueError, "model must be one of 'integral', 'bs2002', not 'binomial'"),
    ({"model": None}, TypeError, "model must be one text for the whole call, one of 'integral', 'bs2002'; not NoneType"),
    ({"model": np.array(["integral", "bs2002"])}, TypeError, "one text for the whole call, one of 'integral', "
                                                             "'bs2002'; not an array of shape (2,)"),
    ({"model": "bs2002", "tol": 1e-6}, TypeError, "tol applies to model='integral' only, not to model='bs2002'"),
    ({"tol": 1e-2}, ValueError, "0.01"),
    ({"tol": 0.0}, ValueError, "0.0"),
    ({"tol": float("nan")}, ValueError, "nan"),
    ({"tol": "1e-6"}, TypeError, "str"),
    ({"tol": True}, TypeError, "bool"),
    ({"tol": np.array([1e-6, 1e-4])}, TypeError, "one real number, not an array of shape (2,)"),
    ({"tol": 1e-6 + 0j}, TypeError, "complex"),
])
def test_bad_model_or_tol_is_refused_by_name(keywords, error, text):
    with pytest.raises(error, match=text.replace("(", r"\(").replace(")", r"\)").replace(".", r"\.")):
        vnp.am_price(100.0, 100.0, 1.0, 0.05, 0.2, 0.0, "put", **keywords)


ROWS = ((100.0, 100.0, 1.0, 0.05, 0.2, 0.0), (90.0, 100.0, 0.5, 0.06, 0.25, 0.0), (100.0, 100.0, 1.0, -0.001, 0.1, -0.005),
        (120.0, 100.0, 3.0, 0.03, 0.3, 0.05))


@pytest.mark.parametrize("written", [
    np.float32(1e-6), np.float16(1e-4), np.array(1e-6), np.array(1e-6, dtype=np.float32), Fraction(1, 10**6),
    np.longdouble("1e-6"), np.int64(0) + 1e-6,
])
def test_any_real_tol_means_the_decimal_it_was_written_as(written):
    # A single-precision 1e-6 is 9.99999997e-7: read as written it takes the
    # scheme and the bits of 1e-6 (it once took the next finer scheme).
    exact = 1e-4 if np.asarray(written).dtype == np.float16 else 1e-6
    for row in ROWS:
        assert vnp.am_price(*row, "put", tol=written) == vnp.am_price(*row, "put", tol=exact)


def test_a_ufunc_tol_just_below_a_decade_takes_that_decades_scheme():
    # The raw ufuncs take the single-precision value as it is; the scheme is
    # chosen with a relative slack, so only the continuous uses of tol move
    # (none on these rows).
    ufunc = vnp.ufuncs.am_price_integral
    for tol in (1e-4, 1e-5, 1e-6, 1e-8):
        below = float(np.float32(tol)) if float(np.float32(tol)) < tol else np.nextafter(tol, 0.0)
        for row in ROWS:
            assert ufunc(*row, True, below) == ufunc(*row, True, tol), (tol, row)


@pytest.mark.parametrize("function, arguments", [
    ("am_price", (100.0, 100.0, 1.0, 0.05, 0.2, 0.0)),
    ("am_greeks", (100.0, 100.0, 1.0, 0.05, 0.2, 0.0)),
    ("am_implied_vol", (6.0, 100.0, 100.0, 1.0, 0.05, 0.0)),
    ("am_exercise_boundary", (100.0, 1.0, 0.05, 0.2, 0.0)),
])
def test_tol_none_is_the_default_everywhere(function, arguments):
    f = getattr(vnp, function)
    assert np.array_equal(f(*arguments, "put", tol=None), f(*arguments, "put", tol=1e-6))


def test_a_row_alone_and_in_a_chain_and_across_workers_give_the_same_bits():
    strikes = np.linspace(60.0, 140.0, 41)
    chain = vnp.am_price(100.0, strikes, 0.75, 0.04, 0.3, 0.01, "put", model="integral")
    alone = [vnp.am_price(100.0, k, 0.75, 0.04, 0.3, 0.01, "put", model="integral") for k in strikes]
    np.testing.assert_array_equal(chain, alone)
    rng = np.random.default_rng(7)
    n = 3000
    numbers = (rng.uniform(50, 150, n), 100.0, rng.choice([0.1, 0.5, 2.0], n), 0.05, rng.choice([0.2, 0.4], n), 0.02)
    sides = rng.choice(["call", "put"], n)
    one = vnp.am_price(*numbers, sides, model="integral", tol=1e-4)
    np.testing.assert_array_equal(one, vnp.am_price(*numbers, sides, model="integral", tol=1e-4, workers=2))
    order = rng.permutation(n)
    shuffled = vnp.am_price(*(x[order] if np.ndim(x) else x for x in numbers), sides[order], model="integral",
                            tol=1e-4)
    np.testing.assert_array_equal(one[order], shuffled)


def test_scalars_give_numpy_scalars_and_no_warnings():
    import warnings

    with warnings.catch_warnings():
        warnings.simplefilter("error")
        value = vnp.am_price(100.0, 100.0, 1.0, 0.05, 0.2, 0.0, "put", model="integral")
        edge = vnp.am_price([100.0, np.nan, 1e-300, 1e300], 100.0, [1.0, 1.0, 0.0, 1e-9], 0.05, [0.2, 0.2, 0.0, 5.0],
                            0.0, "put", model="integral")
    assert type(value) is np.float64 and abs(value - 6.090371) < 1e-6
    assert np.isnan(edge[1]) and edge[2] == 100.0 and np.isfinite(edge).sum() == 3


def test_bad_text_raises_before_anything_is_written():
    out = np.full(3, -1.0)
    with pytest.raises(ValueError, match="'cal'"):
        vnp.am_price(100.0, 100.0, 1.0, 0.05, 0.2, 0.0, ["put", "call", "cal"], model="integral", out=out)
    np.testing.assert_array_equal(out, -1.0)


def test_pandas_and_dask_keep_their_types():
    pd = pytest.importorskip("pandas")
    spots = pd.Series([90.0, 100.0, 110.0], index=["a", "b", "c"])
    sides = pd.Series(["put", "call", "put"], index=spots.index)
    result = vnp.am_price(spots, 100.0, 1.0, 0.05, 0.2, 0.01, sides, model="integral")
    assert isinstance(result, pd.Series) and list(result.index) == ["a", "b", "c"]
    np.testing.assert_array_equal(result.to_numpy(),
                                  vnp.am_price(spots.to_numpy(), 100.0, 1.0, 0.05, 0.2, 0.01, sides.to_numpy(),
                                               model="integral"))
    da = pytest.importorskip("dask.array")
    lazy = vnp.am_price(da.from_array(spots.to_numpy(), chunks=2), 100.0, 1.0, 0.05, 0.2, 0.01, "put",
                        model="integral", tol=1e-4)
    assert type(lazy).__module__.startswith("dask")
    np.testing.assert_array_equal(lazy.compute(), vnp.am_price(spots.to_numpy(), 100.0, 1.0, 0.05, 0.2, 0.01, "put",
                                                               model="integral", tol=1e-4))


class TestExerciseBoundary:
    def test_put_is_exercised_at_and_below_it_and_not_above(self):
        k, t, r, sigma, q = 100.0, 1.0, 0.06, 0.25, 0.02
        b = float(vnp.am_exercise_boundary(k, t, r, sigma, q, "put"))
        assert 0 < b < k
        below = vnp.am_price([b * 0.999, b], k, t, r, sigma, q, "put", model="integral")
        np.testing.assert_allclose(below, k - np.array([b * 0.999, b]), rtol=0, atol=1e-12)
        assert vnp.am_price(b * 1.01, k, t, r, sigma, q, "put", model="integral") > k - b * 1.01 + 1e-6

    def test_call_boundary_is_the_mirrored_put_boundary(self):
        # C(S, K, r, q) = P(K, S, q, r): the call's critical spot S* satisfies K/S* = B_put(strike 1) with r, q swapped.
        call = vnp.am_exercise_boundary(100.0, 2.0, 0.02, 0.3, 0.06, "call", tol=1e-8)
        put = vnp.am_exercise_boundary(1.0, 2.0, 0.06, 0.3, 0.02, "put", tol=1e-8)
        assert call == pytest.approx(100.0 / put, rel=1e-12)

    @pytest.mark.parametrize("r, q, side, expected", [(0.0, 0.02, "put", 0.0), (-0.01, 0.0, "put", 0.0),
                                                      (0.05, 0.0, "call", np.inf), (0.05, -0.01, "call", np.inf)])
    def test_where_exercise_never_pays(self, r, q, side, expected):
        assert vnp.am_exercise_boundary(100.0, 1.0, r, 0.2, q, side) == expected

    def test_boundary_falls_with_time_to_expiry_and_starts_at_the_strike(self):
        t = np.linspace(0.01, 5.0, 50)
        b = vnp.am_exercise_boundary(100.0, t, 0.05, 0.3, 0.0, "put")
        assert np.all(np.diff(b) < 0) and b[0] < 100.0 and b[0] > 90.0


class TestGreeksAndImpliedVol:
    ROWS = [(90.0, 100.0, 1.0, 0.05, 0.3, 0.01, "put"), (110.0, 100.0, 0.5, 0.03, 0.2, 0.06, "call"),
            (100.0, 100.0, 2.0, 0.08, 0.25, 0.0, "put")]

    @pytest.mark.parametrize("row", ROWS)
    def test_greeks_are_derivatives_of_the_models_own_price(self, row):
        s, k, t, r, sigma, q, side = row
        tol = 1e-8

        def price(**moved):
            inputs = dict(s=s, k=k, t=t, r=r, sigma=sigma, q=q) | moved
            return float(vnp.am_price(**inputs, option_type=side, model="integral", tol=tol))

        g = vnp.am_greeks(*row, model="integral", tol=tol)
        h = 1e-3 * s
        assert g.delta == pytest.approx((price(s=s + h) - price(s=s - h)) / (2 * h), abs=1e-5)
        assert g.gamma == pytest.approx((price(s=s + h) - 2 * price() + price(s=s - h)) / h**2, abs=1e-5)
        assert g.theta == pytest.approx(-(price(t=t + 1e-4) - price(t=t - 1e-4)) / 2e-4 / 365, abs=1e-5)
        assert g.vega == pytest.approx((price(sigma=sigma + 1e-4) - price(sigma=sigma - 1e-4)) / 2e-4, abs=1e-4)
        assert g.rho == pytest.approx((price(r=r + 1e-5) - price(r=r - 1e-5)) / 2e-5 / 100, abs=1e-5)
        for name in ("delta", "gamma", "theta", "vega", "rho"):
            single = getattr(vnp, f"am_{name}")(*row, model="integral", tol=tol)
            assert single == getattr(g, name), name

    def test_greeks_vanish_in_the_exercise_region_and_agree_across_workers(self):
        deep = vnp.am_greeks(50.0, 100.0, 1.0, 0.05, 0.2, 0.0, "put", model="integral")
        assert (deep.delta, deep.gamma, deep.theta) == (-1.0, 0.0, 0.0)
        spots = np.linspace(60.0, 140.0, 2001)
        one = vnp.am_greeks(spots, 100.0, 1.0, 0.05, 0.2, 0.01, "put", model="integral", tol=1e-4)
        two = vnp.am_greeks(spots, 100.0, 1.0, 0.05, 0.2, 0.01, "put", model="integral", tol=1e-4, workers=2)
        for a, b in zip(one, two):
            np.testing.assert_array_equal(a, b)

    @pytest.mark.parametrize("row", ROWS)
    def test_implied_vol_gives_back_sigma(self, row):
        s, k, t, r, sigma, q, side = row
        price = vnp.am_price(*row, model="integral")
        back = vnp.am_implied_vol(price, s, k, t, r, q, side, model="integral")
        assert back == pytest.approx(sigma, rel=1e-9)

    def test_implied_vol_is_nan_outside_the_bounds_and_where_the_price_is_flat(self):
        args = (100.0, 1.0, 0.05, 0.0, "put")
        prices = [5.0, 100.0, 120.0, 50.0]  # below intrinsic, at the strike, above it, intrinsic deep in the money
        spots = [90.0, 90.0, 90.0, 50.0]
        assert np.isnan(vnp.am_implied_vol(prices, spots, *args, model="integral")).all()


def test_double_boundary_rows_are_answered():
    # q < r < 0: exercised between two boundaries, solved on a finite-difference grid.
    row = (70.0, 100.0, 1.0, -0.01, 0.2, -0.02, "put")
    american = vnp.am_price(*row, model="integral")
    assert vnp.bs_price(*row) < american < 100.0
    greeks = vnp.am_greeks(*row, model="integral")
    assert np.isfinite(greeks).all() and -1.0 < greeks.delta < 0.0
    mirrored = vnp.am_price(100.0, 70.0, 1.0, -0.02, 0.2, -0.01, "call", model="integral")
    assert mirrored == american


# Rows where exercise never pays (r < 0, r < q for a put) and the spot is
# nothing against the strike, or the strike nothing against the spot: the
# value is linear in the spot, not NaN.
@pytest.mark.parametrize("row, value", [
    ((0.0, 100.0, 1.0, -0.05, 0.2, -0.01, "put"), 100.0 * math.exp(0.05)),
    ((1e-300, 1e300, 1.0, -0.05, 0.2, -0.01, "put"), 1e300 * math.exp(0.05)),
    ((1e300, 1e-300, 1.0, -0.01, 0.2, -0.05, "call"), 1e300 * math.exp(0.05)),
    ((0.0, 100.0, 1.0, -0.05, 0.2, -0.01, "call"), 0.0),
])
def test_a_spot_out_of_reach_of_the_strike_gives_the_linear_value(row, value):
    assert vnp.am_price(*row, model="integral") == pytest.approx(value, rel=1e-15)
    greeks = vnp.am_greeks(*row, model="integral")
    assert np.isfinite(greeks).all()
    assert greeks.gamma == 0.0 and greeks.vega == 0.0
    side = 1.0 if row[-1] == "call" else -1.0
    held = value > 0.0
    # The C library's exp, as the core's (NumPy 1.x has an exp of its own).
    assert greeks.delta == (side * math.exp(-row[5] * row[2]) if held else 0.0)


@pytest.mark.parametrize("k, t, r, sigma, q", [
    (100.0, np.inf, -0.01, 0.2, -0.05),
    (100.0, 1.0, -0.01, np.inf, -0.05),
    (100.0, 1.0, -0.01, 0.2, -np.inf),
    (100.0, 1e300, -0.01, 0.2, -0.05),
    (100.0, 1.0, -0.01, 1e200, -0.05),
])
def test_two_boundary_rows_no_grid_can_mesh_give_nan(k, t, r, sigma, q):
    # A mesh over an infinite life or a spread of ln S past 1e100 deviations
    # would have sizes of no meaning; such rows answer NaN at once.
    assert np.isnan(vnp.am_price(100.0, k, t, r, sigma, q, "put"))
    assert np.isnan(vnp.am_greeks(100.0, k, t, r, sigma, q, "put")).all()
    assert np.isnan(vnp.am_exercise_boundary(k, t, r, sigma, q, "put"))
