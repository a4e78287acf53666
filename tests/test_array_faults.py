"""varnelle_np faults found by trying it hard: each test failed before its
fix."""

import decimal
import math

import pytest

np = pytest.importorskip("numpy")

import varnelle_np as vnp  # noqa: E402

INVALID = "Invalid option type. Use 'call' or 'put'."


def test_bs_price_is_never_negative_and_inverts_to_zero():
    row = (100.0, 80.83932500806077, 0.08138946008925012, 0.09353825333303238, 0.020214925684902168,
           -0.012087651247033454)
    price = vnp.bs_price(*row, "p")
    assert price == 0.0 and not math.copysign(1.0, price) < 0
    s, k, t, r, _, q = row
    assert vnp.bs_implied_vol(price, s, k, t, r, q, "p") == 0.0  # the lower bound's rule
    assert math.isnan(vnp.bs_price(math.nan, k, t, r, 0.02, q, "p"))


@pytest.mark.parametrize(
    "row, side",
    [
        ((36.72022780974967, 791.5684284835153, 10.0, -0.008088563286287438, 1.0085580945677208,
          0.04210079585023782), "put"),
        ((100.0, 10.0, 10.0, 0.05, 1.0, -0.02), "call"),
    ],
)
def test_am_implied_vol_answers_under_negative_rate_or_yield(row, side):
    s, k, t, r, sigma, q = row
    price = vnp.am_price(*row, side)
    assert price > (k if side == "put" else s)
    vol = vnp.am_implied_vol(price, s, k, t, r, q, side)
    assert vnp.am_price(s, k, t, r, vol, q, side) == pytest.approx(price, rel=1e-9)


def test_empty_list_of_sides_gives_empty_result():
    assert vnp.bs_price([], [], [], [], [], [], []).shape == (0,)
    assert vnp.am_greeks([], [], [], [], [], [], []).delta.shape == (0,)


@pytest.mark.parametrize(
    "side, shown",
    [("puts", "'puts'"), ("x" * 3_000_000, "'" + "x" * 60 + "'...")],
)
def test_a_bad_single_text_is_named_and_cut(side, shown):
    with pytest.raises(ValueError) as caught:
        vnp.bs_price(100, 100, 1, 0.05, 0.2, 0.0, side)
    assert str(caught.value) == f"{INVALID} Bad value: {shown}."
    with pytest.raises(ValueError) as caught:
        vnp.bs_price(100, 100, 1, 0.05, 0.2, 0.0, ["call", side])
    assert str(caught.value) == f"{INVALID} First bad value: {shown} at position 1."


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: vnp.bs_gamma(100, 100, 1, 0.05, 0.2, "put"), "argument 'q': must be real number, not str"),
        (lambda: vnp.bs_price(np.array(["1"]), 100, 1, 0.05, 0.2),
         "argument 's': must be real number, not an array of dtype <U1"),
        (lambda: vnp.am_price(100, 100, 1, 0.05, [decimal.Decimal(1)]),
         "argument 'sigma': must be real number, not an array of dtype object"),
        (lambda: vnp.bs_implied_vol(np.array([1], dtype="m8[s]"), 100, 100, 1, 0.05),
         "argument 'price': must be real number, not an array of dtype timedelta64[s]"),
    ],
)
def test_type_errors_name_the_argument(call, message):
    with pytest.raises(TypeError) as caught:
        call()
    assert str(caught.value) == message


def test_lazy_error_positions_count_in_the_whole_array():
    da = pytest.importorskip("dask.array")
    texts = np.array(["call"] * 120, dtype=object)
    texts[99] = "bad"
    lazy = da.from_array(texts, chunks=30)
    with pytest.raises(ValueError, match=r"First bad value: 'bad' at position 99\."):
        vnp.bs_delta(100.0, 100.0, 1.0, 0.05, 0.2, 0.0, lazy).compute()
    grid = texts.reshape(12, 10)
    with pytest.raises(ValueError, match=r"at position \(9, 9\)\."):
        vnp.bs_delta(100.0, 100.0, 1.0, 0.05, 0.2, 0.0, da.from_array(grid, chunks=(4, 4))).compute()


def test_dask_paths_check_and_apply_workers():
    da = pytest.importorskip("dask.array")
    dd = pytest.importorskip("dask.dataframe")
    pd = pytest.importorskip("pandas")
    spots = np.linspace(50, 150, 40)
    lazy = da.from_array(spots, chunks=10)
    frame = dd.from_pandas(pd.DataFrame({"s": spots, "side": ["call", "put"] * 20}), npartitions=4)
    for call in (lambda w: vnp.bs_price(lazy, 100, 1, 0.05, 0.2, workers=w),
                 lambda w: vnp.bs_price(frame.s, 100, 1, 0.05, 0.2, 0.0, frame.side, workers=w)):
        with pytest.raises(ValueError, match="workers must be"):
            call(0)
        with pytest.raises(TypeError, match="workers must be an int"):
            call(1.5)
    eager = vnp.bs_price(spots, 100, 1, 0.05, 0.2)
    np.testing.assert_array_equal(vnp.bs_price(lazy, 100, 1, 0.05, 0.2, workers=2).compute(), eager)
    greeks = vnp.bs_greeks(lazy, 100, 1, 0.05, 0.2, workers=-1)
    np.testing.assert_array_equal(greeks.delta.compute(), vnp.bs_delta(spots, 100, 1, 0.05, 0.2))


def test_black_76_is_the_generalised_model_with_q_equal_r():
    f, k, t, r, sigma = 102.0, 100.0, 0.5, 0.04, 0.25
    n = lambda x: 0.5 * math.erfc(-x / math.sqrt(2))  # noqa: E731
    phi = lambda x: math.exp(-0.5 * x * x) / math.sqrt(2 * math.pi)  # noqa: E731
    d1 = (math.log(f / k) + 0.5 * sigma * sigma * t) / (sigma * math.sqrt(t))
    d2 = d1 - sigma * math.sqrt(t)
    disc = math.exp(-r * t)
    price = disc * (f * n(d1) - k * n(d2))
    greeks = vnp.bs_greeks(f, k, t, r, sigma, r, "call")
    assert vnp.bs_price(f, k, t, r, sigma, r, "call") == pytest.approx(price, rel=1e-9)
    assert greeks.delta == pytest.approx(disc * n(d1), rel=1e-9)
    assert greeks.gamma == pytest.approx(disc * phi(d1) / (f * sigma * math.sqrt(t)), rel=1e-9)
    assert greeks.vega == pytest.approx(disc * f * phi(d1) * math.sqrt(t), rel=1e-9)
    theta = -disc * f * phi(d1) * sigma / (2 * math.sqrt(t)) + r * price
    assert greeks.theta * 365 == pytest.approx(theta, rel=1e-6)
    # Black-76's rho holds f: -t * price; varnelle's moves r alone.
    assert -t * vnp.bs_price(f, k, t, r, sigma, r) / 100 == pytest.approx(-t * price / 100, rel=1e-9)
    assert greeks.rho != pytest.approx(-t * price / 100, rel=1e-3)


def test_lazy_frame_errors_name_the_partition():
    dd = pytest.importorskip("dask.dataframe")
    pd = pytest.importorskip("pandas")
    sides = ["call"] * 120
    sides[99] = "bad"
    frame = dd.from_pandas(pd.DataFrame({"s": np.full(120, 100.0), "side": sides}), npartitions=4)
    with pytest.raises(ValueError, match=r"at position 9 of partition 3 \(index label 99\)\."):
        vnp.bs_delta(frame.s, 100.0, 1.0, 0.05, 0.2, 0.0, frame.side).compute()


def test_workers_reach_every_dask_block(monkeypatch):
    da = pytest.importorskip("dask.array")
    asked = []
    real = vnp._ufuncs.set_workers
    monkeypatch.setattr(vnp._ufuncs, "set_workers", lambda n: asked.append(n) or real(n))
    lazy = da.from_array(np.linspace(50, 150, 40), chunks=10)
    vnp.am_price(lazy, 100, 1, 0.05, 0.2, workers=3).compute(scheduler="sync")
    assert asked.count(3) == 4  # once per block


def test_the_scalar_and_array_modules_share_the_invalid_side_message():
    import varnelle

    with pytest.raises(ValueError) as scalar:
        varnelle.am_price(100, 100, 1, 0.05, 0.2, 0.0, "x")
    assert str(scalar.value) == vnp._ufuncs.INVALID_OPTION_TYPE == INVALID


@pytest.mark.parametrize("lazy", [False, True])
def test_a_bad_side_shows_its_index_label_as_written(lazy):
    pd = pytest.importorskip("pandas")
    book = pd.DataFrame({"s": np.full(20, 100.0), "side": ["call"] * 20}, index=np.arange(1090, 1110))
    book.loc[1097, "side"] = "bad"
    if lazy:
        book = pytest.importorskip("dask.dataframe").from_pandas(book, npartitions=2)
    with pytest.raises(ValueError, match=r"\(index label 1097\)\.$"):
        result = vnp.bs_delta(book.s, 100.0, 1.0, 0.05, 0.2, 0.0, book.side)
        if lazy:
            result.compute()


@pytest.mark.parametrize("graph", ["dask.array.apply_gufunc", "dask.dataframe.map_partitions"])
def test_a_type_error_from_building_a_graph_is_not_taken_for_a_bad_argument(monkeypatch, graph):
    module, _, name = graph.rpartition(".")
    module = pytest.importorskip(module)
    pd = pytest.importorskip("pandas")

    def refuse(*args, **kwargs):
        raise TypeError("no graph today")

    monkeypatch.setattr(module, name, refuse)
    spots = np.linspace(50, 150, 40)
    if "array" in graph:
        s = pytest.importorskip("dask.array").from_array(spots, chunks=10)
    else:
        s = pytest.importorskip("dask.dataframe").from_pandas(pd.Series(spots), npartitions=4)
    with pytest.raises(TypeError, match="^no graph today$"):
        vnp.bs_price(s, ["x"] * 40, 1, 0.05, 0.2, workers=2)


def test_a_bad_argument_found_inside_a_dask_block_is_named():
    da = pytest.importorskip("dask.array")
    lazy = da.from_array(np.linspace(50, 150, 40), chunks=10)
    strikes = da.from_array(np.array(["x"] * 40, dtype=object), chunks=10)
    with pytest.raises(TypeError, match="^argument 'k': must be real number, not an array of dtype object$"):
        vnp.bs_price(lazy, strikes, 1, 0.05, 0.2, workers=2).compute(scheduler="sync")
