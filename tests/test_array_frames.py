"""varnelle_np with the containers books live in: pandas Series and
DataFrame columns (option_type as object, string or categorical), lazy dask
arrays, xarray DataArrays with coordinates."""

import pytest

np = pytest.importorskip("numpy")
pd = pytest.importorskip("pandas")

import varnelle_np as vnp  # noqa: E402


@pytest.fixture
def book():
    rng = np.random.default_rng(3)
    n = 500
    return pd.DataFrame({
        "s": rng.uniform(50, 150, n), "k": rng.uniform(50, 150, n), "t": rng.uniform(0.1, 3, n),
        "r": rng.uniform(0, 0.08, n), "sigma": rng.uniform(0.05, 0.6, n), "q": rng.uniform(0, 0.05, n),
        "side": rng.choice(["call", "put", "C", "p"], n),
    }, index=pd.Index([f"opt{i}" for i in range(n)], name="id"))


def columns(frame):
    return frame.s, frame.k, frame.t, frame.r, frame.sigma, frame.q


def expected_on(frame, name):
    sides = frame.side.to_numpy(dtype=str)
    return getattr(vnp, name)(*(c.to_numpy() for c in columns(frame)), option_type=sides)


@pytest.mark.parametrize("dtype", [object, "string", "category", "string[pyarrow]"])
def test_series_in_series_out_with_every_kind_of_side_column(book, dtype):
    if dtype == "string[pyarrow]":
        pytest.importorskip("pyarrow")
    book = book.assign(side=book.side.astype(dtype))
    price = vnp.am_price(*columns(book), option_type=book.side)
    assert isinstance(price, pd.Series)
    assert price.index.equals(book.index)
    np.testing.assert_array_equal(price.to_numpy(), expected_on(book, "am_price"))


def test_greeks_of_a_frame_are_series(book):
    greeks = vnp.bs_greeks(*columns(book), option_type=book.side)
    assert all(isinstance(g, pd.Series) and g.index.equals(book.index) for g in greeks)
    frame = pd.DataFrame(greeks._asdict())
    assert list(frame.columns) == ["delta", "gamma", "theta", "vega", "rho"]
    np.testing.assert_array_equal(frame.delta.to_numpy(), expected_on(book, "bs_greeks").delta)


@pytest.mark.parametrize("dtype", [object, "category"])
def test_a_bad_side_in_a_column_names_its_position_and_label(book, dtype):
    side = book.side.copy()
    side.iloc[7] = "straddle"
    with pytest.raises(ValueError, match=r"'straddle' at position 7 \(index label 'opt7'\)"):
        vnp.bs_delta(*columns(book), option_type=side.astype(dtype))


def test_a_missing_side_in_a_categorical_column(book):
    side = book.side.astype("category")
    side.iloc[3] = np.nan
    with pytest.raises(ValueError, match="at position 3"):
        vnp.am_price(*columns(book), option_type=side)


def test_unused_bad_categories_are_harmless(book):
    side = pd.Categorical(book.side, categories=["call", "put", "C", "p", "never used"])
    np.testing.assert_array_equal(vnp.am_price(*(c.to_numpy() for c in columns(book)), option_type=side),
                                  expected_on(book, "am_price"))


def test_dask_stays_lazy_and_matches(book):
    da = pytest.importorskip("dask.array")
    chunks = 128
    lazy = [da.from_array(c.to_numpy(), chunks=chunks) for c in columns(book)]
    sides = da.from_array(book.side.to_numpy(dtype=object), chunks=chunks)
    price = vnp.am_price(*lazy, option_type=sides)
    greeks = vnp.bs_greeks(*lazy, option_type=sides)
    assert isinstance(price, da.Array) and all(isinstance(g, da.Array) for g in greeks)
    np.testing.assert_array_equal(price.compute(scheduler="threads"), expected_on(book, "am_price"))
    np.testing.assert_array_equal(greeks.rho.compute(), expected_on(book, "bs_greeks").rho)


def test_xarray_keeps_coordinates():
    xr = pytest.importorskip("xarray")
    spots = xr.DataArray(np.linspace(80, 120, 5), dims="spot", coords={"spot": np.linspace(80, 120, 5)})
    vols = xr.DataArray([0.1, 0.2, 0.3], dims="vol", coords={"vol": [0.1, 0.2, 0.3]})
    price = vnp.am_price(spots, 100, 1, 0.05, vols, option_type="put")
    assert isinstance(price, xr.DataArray)
    assert price.dims == ("spot", "vol")
    assert price.sel(spot=100.0, vol=0.2).item() == vnp.am_price(100, 100, 1, 0.05, 0.2, option_type="put")
    greeks = vnp.bs_greeks(spots, 100, 1, 0.05, vols)
    assert isinstance(greeks.vega, xr.DataArray) and greeks.vega.dims == ("spot", "vol")


def test_dask_dataframe_columns_are_priced_per_partition(book):
    dd = pytest.importorskip("dask.dataframe")
    lazy = dd.from_pandas(book, npartitions=4)
    price = vnp.am_price(lazy.s, lazy.k, lazy.t, lazy.r, lazy.sigma, lazy.q, option_type=lazy.side)
    greeks = vnp.bs_greeks(lazy.s, lazy.k, lazy.t, 0.03, lazy.sigma, option_type=lazy.side)
    assert type(price).__module__.startswith("dask")
    # from_pandas sorts the index; compare label by label.
    expected = pd.Series(expected_on(book, "am_price"), index=book.index)
    np.testing.assert_array_equal(price.compute().sort_index(), expected.sort_index())
    theta = vnp.bs_greeks(book.s, book.k, book.t, 0.03, book.sigma, option_type=book.side).theta
    np.testing.assert_array_equal(greeks.theta.compute().sort_index(), theta.sort_index())
    bad = lazy.side.where(lazy.index != "opt9", "straddle")
    with pytest.raises(ValueError, match="'straddle'"):
        vnp.bs_delta(lazy.s, 100, 1, 0.05, 0.2, option_type=bad).compute()


def test_series_with_other_labels_give_nan_rows_not_prices():
    # pandas aligns Series on their labels first; a label in only some of
    # them becomes a row of NaN inputs. The integral model, the default,
    # prices it as NaN; the scalar module's model would give 0.0 there,
    # a number that looks like a price.
    spots = pd.Series([100.0, 95.0], index=["a", "b"])
    strikes = pd.Series([100.0, 100.0], index=["a", "c"])
    price = vnp.am_price(spots, strikes, 1.0, 0.05, 0.2, 0.0, "put")
    assert list(price.index) == ["a", "b", "c"]
    assert price["a"] == vnp.am_price(100.0, 100.0, 1.0, 0.05, 0.2, 0.0, "put")
    assert price[["b", "c"]].isna().all()
    assert (vnp.am_price(spots, strikes, 1.0, 0.05, 0.2, 0.0, "put", model="bs2002")[["b", "c"]] == 0.0).all()
    assert vnp.am_greeks(spots, strikes, 1.0, 0.05, 0.2, 0.0, "put").delta[["b", "c"]].isna().all()
