"""varnelle_np: every element bit-identical to the scalar function of the same
name, NumPy's conventions for broadcasting, dtypes, scalars and out=, and
option_type in every form a book arrives in."""

import inspect
import math
import os
import struct
import subprocess
import sys
import warnings
import zlib

import pytest

np = pytest.importorskip("numpy")

import varnelle  # noqa: E402
import varnelle_np as vnp  # noqa: E402

from conftest import FUNCTION_NAMES, GREEK_FIELDS, NO_SIDE, VECTORS, vector_args  # noqa: E402

GREEKS = {"bs_greeks", "am_greeks"}


def bits(values):
    """Bit patterns with every NaN folded into one, for exact comparison."""
    array = np.asarray(values, dtype=np.float64)
    folded = np.where(np.isnan(array), np.nan, array)
    return folded.view(np.uint64)


def scalar_rows(name, columns, sides=None):
    """What the scalar module returns, row by row."""
    function = getattr(varnelle, name)
    rows = []
    for i, row in enumerate(zip(*columns)):
        extra = () if name in NO_SIDE else (sides[i] if sides is not None else "call",)
        result = function(*map(float, row), *extra)
        rows.append(tuple(getattr(result, f) for f in GREEK_FIELDS) if name in GREEKS else result)
    return np.array(rows, dtype=np.float64)


def array_result(name, columns, sides=None, **keywords):
    """The array function on whole columns; an American one with the scalar
    module's model, whose bits it must give."""
    function = getattr(vnp, name)
    if name.startswith("am_"):
        keywords.setdefault("model", "bs2002")
    extra = {} if name in NO_SIDE or sides is None else {"option_type": sides}
    result = function(*columns, **extra, **keywords)
    return np.stack(result, axis=-1) if name in GREEKS else np.asarray(result)


def random_book(rng, n, odd_share=0.2):
    """Ordinary rows, with a share of NaN, infinities, zeros and negative
    values scattered over every column."""
    columns = [rng.uniform(20, 200, n), rng.uniform(20, 200, n), rng.uniform(0, 5, n),
               rng.uniform(-0.03, 0.12, n), rng.uniform(0.01, 1.0, n), rng.uniform(-0.03, 0.2, n)]
    odd = np.array([np.nan, np.inf, -np.inf, 0.0, -0.0, -1.0, 1e-12, 1e300])
    for column in columns:
        hit = rng.random(n) < odd_share / 6
        column[hit] = rng.choice(odd, hit.sum())
    sides = rng.choice(np.array(["call", "put", "C", "P", "Put"]), n)
    return columns, sides


def book_seed(name):
    """The random book's seed for a function, the same in every process, so
    that a failing book can be replayed (hash() of a str is salted per
    process)."""
    return zlib.crc32(name.encode())


@pytest.mark.parametrize("name", ["bs_price", "am_price"])
def test_book_seeds_are_the_same_in_every_process(name):
    source = inspect.getsource(book_seed) + f"print(book_seed({name!r}))"
    seeds = {subprocess.run([sys.executable, "-c", "import zlib\n" + source], capture_output=True, text=True,
                            env={**os.environ, "PYTHONHASHSEED": salt}, check=True).stdout
             for salt in ("1", "2")}
    assert seeds == {f"{book_seed(name)}\n"}


# --- bit identity -----------------------------------------------------------


@pytest.mark.parametrize("name", FUNCTION_NAMES)
def test_stored_vectors_bit_for_bit(name):
    rows = [row for row in VECTORS if row["op"] == name]
    columns = [np.array(column) for column in zip(*(vector_args(row) for row in rows))]
    sides = None if name in NO_SIDE else np.array([row["option_type"] for row in rows])
    expected = scalar_rows(name, columns, sides)
    np.testing.assert_array_equal(bits(array_result(name, columns, sides)), bits(expected))


@pytest.mark.parametrize("name", FUNCTION_NAMES)
def test_random_sweep_with_degenerate_inputs_bit_for_bit(name):
    seed = book_seed(name)
    n = 600 if name.startswith("am_") else 3000
    columns, sides = random_book(np.random.default_rng(seed), n)
    expected = scalar_rows(name, columns, None if name in NO_SIDE else sides)
    got = array_result(name, columns, None if name in NO_SIDE else sides)
    mismatch = np.flatnonzero((bits(got) != bits(expected)).reshape(n, -1).any(axis=1))
    assert mismatch.size == 0, [f"seed {seed}, row {mismatch[0]}", tuple(c[mismatch[0]] for c in columns),
                                got[mismatch[0]], expected[mismatch[0]]]


def test_european_price_is_the_floor_of_the_american_price():
    rng = np.random.default_rng(7)
    columns, sides = random_book(rng, 20000, odd_share=0.0)
    columns[2] = rng.uniform(0.001, 15, 20000)
    european = vnp.bs_price(*columns, option_type=sides)
    american = vnp.am_price(*columns, option_type=sides, model="bs2002")
    both = ~np.isnan(european) & ~np.isnan(american)
    assert both.mean() > 0.99
    assert (american[both] >= european[both]).all()
    calls = np.char.lower(sides.astype(str)).astype("U1") == "c"
    parity = columns[0] * np.exp(-columns[5] * columns[2]) - columns[1] * np.exp(-columns[3] * columns[2])
    call = vnp.bs_price(*columns)
    put = vnp.bs_price(*columns, option_type="put")
    np.testing.assert_allclose(call - put, parity, rtol=0, atol=1e-9 * 400)
    np.testing.assert_array_equal(european[calls], call[calls])


@pytest.mark.parametrize("inputs, expected", [
    ((100, 100, 1, 0.05, 0.2, 0.0, "call"), 10.450583572185565),
    ((100, 100, 1, 0.05, 0.2, 0.0, "put"), 5.573526022256971),
    ((110, 100, 0, 0.05, 0.2, 0.0, "call"), 10.0),
    ((100, 100, -1, 0.05, 0.2, 0.0, "put"), 0.0),
])
def test_european_price_reference_values(inputs, expected):
    assert vnp.bs_price(*inputs) == pytest.approx(expected, rel=1e-12, abs=0)


# --- NumPy conventions ------------------------------------------------------


def test_scalars_in_give_numpy_scalars_out():
    result = vnp.bs_delta(100, 100, 1, 0.05, 0.2)
    assert isinstance(result, np.float64)
    assert struct.pack("<d", result) == struct.pack("<d", varnelle.bs_delta(100, 100, 1, 0.05, 0.2))
    greeks = vnp.am_greeks(100, 100, 1, 0.05, 0.2, option_type="p")
    assert isinstance(greeks, vnp.Greeks) and greeks._fields == GREEK_FIELDS
    assert all(isinstance(v, np.float64) for v in greeks)


def test_broadcasting_follows_numpy():
    spots = np.linspace(80, 120, 5)[:, None]
    vols = np.array([0.1, 0.2, 0.3])
    result = vnp.bs_vega(spots, 100, 1, 0.05, vols)
    assert result.shape == (5, 3)
    assert result[2, 1] == varnelle.bs_vega(100, 100, 1, 0.05, 0.2)
    sides = np.array([["call"], ["put"]])
    assert vnp.am_price(100, 100, 1, 0.05, vols, option_type=sides).shape == (2, 3)
    with pytest.raises(ValueError, match="broadcast"):
        vnp.bs_delta(np.ones(3), np.ones(4), 1, 0.05, 0.2)


@pytest.mark.parametrize("dtype", [np.float32, np.float16, np.int64, np.int32, np.uint8, np.bool_])
def test_any_real_dtype_is_read_as_double(dtype):
    spots = np.array([90, 100, 110]).astype(dtype)
    expected = vnp.bs_delta(spots.astype(np.float64), 100, 1, 0.05, 0.2)
    np.testing.assert_array_equal(vnp.bs_delta(spots, 100, 1, 0.05, 0.2), expected)


def test_lists_and_nested_lists():
    result = vnp.bs_rho([[100, 110]], [90, 100], 1, 0.05, 0.2, option_type=[["put", "call"]])
    assert result.shape == (1, 2)
    assert result[0, 0] == varnelle.bs_rho(100, 90, 1, 0.05, 0.2, option_type="put")


def test_out_is_filled_and_returned():
    out = np.full(3, -1.0)
    returned = vnp.bs_delta([90, 100, 110], 100, 1, 0.05, 0.2, out=out)
    assert returned is out
    assert out[1] == varnelle.bs_delta(100, 100, 1, 0.05, 0.2)
    outs = tuple(np.empty(3) for _ in GREEK_FIELDS)
    greeks = vnp.bs_greeks([90, 100, 110], 100, 1, 0.05, 0.2, out=outs)
    assert all(a is b for a, b in zip(greeks, outs))
    strided = np.zeros(6)
    vnp.am_price([90, 100, 110], 100, 1, 0.05, 0.2, out=strided[::2], model="bs2002")
    assert strided[1::2].tolist() == [0.0, 0.0, 0.0] and strided[2] == varnelle.am_price(100, 100, 1, 0.05, 0.2)


LAYOUTS = ("contiguous", "broadcast", "strided", "reversed", "unaligned")


def laid_out(column, layout):
    """A column of n values as NumPy may hand it to a loop: in place, one
    value with step 0, every third of a wider array, backwards, or off the
    alignment of a double."""
    if layout == "contiguous":
        return column.copy()
    if layout == "broadcast":
        return np.broadcast_to(column[:1], column.shape)
    if layout == "strided":
        wide = np.zeros((3 * column.size,), dtype=column.dtype)
        wide[::3] = column
        return wide[::3]
    if layout == "reversed":
        return column[::-1].copy()[::-1]
    raw = np.zeros(column.nbytes + 1, dtype=np.uint8)
    unaligned = np.frombuffer(raw.data, dtype=column.dtype, count=column.size, offset=1)
    unaligned.flags.writeable = True
    unaligned[:] = column
    return unaligned


@pytest.mark.parametrize("name", ["bs_price", "bs_delta", "bs_greeks", "am_price", "bs_gamma"])
@pytest.mark.parametrize("shift", range(len(LAYOUTS)))
def test_every_layout_gives_the_bits_of_contiguous_columns(name, shift):
    # 200 rows: three whole batches of 64 and a part of one.
    columns, sides = random_book(np.random.default_rng(book_seed(name) + shift), 200)
    ufunc = getattr(vnp.ufuncs, name)
    operands = [*columns, np.char.lower(sides.astype(str)).astype("U1") == "p"][:ufunc.nin]
    laid = [laid_out(x, LAYOUTS[(i + shift) % len(LAYOUTS)]) for i, x in enumerate(operands)]
    assert_layouts_give(rows_of(ufunc(*(np.ascontiguousarray(x) for x in laid))), ufunc, laid)


def assert_layouts_give(expected, ufunc, laid):
    """The ufunc on operands laid out as they are gives the expected bits,
    into new arrays, into strided out= arrays, and written over its inputs
    (NumPy hands such an output over as it is: each row's results land where
    its inputs were)."""
    np.testing.assert_array_equal(rows_of(ufunc(*laid)), expected)
    outs = tuple(laid_out(np.zeros(len(expected)), "strided") for _ in range(ufunc.nout))
    ufunc(*laid, out=outs)
    np.testing.assert_array_equal(rows_of(outs), expected)
    in_place = tuple(np.array(x, dtype=np.float64) for x in laid[:ufunc.nout])
    ufunc(*in_place, *laid[ufunc.nout:], out=in_place)
    np.testing.assert_array_equal(rows_of(in_place), expected)


def rows_of(result):
    """Bits of a result, one row per input row, a row's results side by side."""
    array = np.stack(result, axis=-1) if isinstance(result, tuple) else np.asarray(result)
    return bits(array.reshape(array.shape[0], -1))


def read_only(shape):
    array = np.zeros(shape)
    array.flags.writeable = False
    return array


@pytest.mark.parametrize("out, error", [
    (np.empty(4), ValueError),              # wrong shape
    (np.empty(3, dtype=np.int64), TypeError),  # cannot hold doubles
    (read_only(3), ValueError),
])
def test_bad_out_is_refused(out, error):
    with pytest.raises(error):
        vnp.bs_delta([90, 100, 110], 100, 1, 0.05, 0.2, out=out)


@pytest.mark.parametrize("bad, error", [
    (["100", "x", "y"], TypeError),
    (np.array([100.0, None, 3.0], dtype=object), TypeError),
    (np.array([1 + 2j, 3, 4]), TypeError),
    ("spot", TypeError),
])
def test_non_numeric_data_raises_what_numpy_users_expect(bad, error):
    with pytest.raises(error):
        vnp.bs_delta(bad, 100, 1, 0.05, 0.2)


def test_degenerate_rows_raise_no_warning():
    columns = [np.array([0.0, -1.0, np.inf, np.nan, 100.0])] * 6
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        with np.errstate(all="raise"):
            for name in FUNCTION_NAMES:
                getattr(vnp, name)(*columns)
            vnp.bs_price(*columns, option_type="put")


def test_floating_point_status_is_left_as_found():
    with np.errstate(all="raise"):
        vnp.bs_delta(0.0, 0.0, 0.0, 0.0, 0.0)  # 0/0 inside
        with pytest.raises(FloatingPointError):
            np.divide(np.ones(1), np.zeros(1))  # NumPy still reports its own


# --- option_type ------------------------------------------------------------

SIDES = ["call", "put", "c", "p", "CALL", "Put", "C", "P", "cAlL", "pUt"]


@pytest.mark.parametrize("form", ["list", "str_array", "object_array", "tuple", "long_str_array"])
def test_option_type_per_row_in_every_form(form):
    texts = SIDES * 3
    value = {"list": texts, "str_array": np.array(texts), "object_array": np.array(texts, dtype=object),
             "tuple": tuple(texts), "long_str_array": np.array(texts, dtype="U12")}[form]
    expected = [varnelle.am_delta(95, 100, 1, 0.05, 0.2, option_type=t) for t in texts]
    np.testing.assert_array_equal(vnp.am_delta(95, 100, 1, 0.05, 0.2, option_type=value, model="bs2002"), expected)


@pytest.mark.parametrize("bad, shown", [
    (["call", "put", "cal", "x"], "'cal' at position 2"),
    (["call", None], "None at position 1"),
    (["call", "calls"], "'calls' at position 1"),
    (["", "put"], "'' at position 0"),
    (["call", "c\u0430ll"], "at position 1"),       # a Cyrillic a
    (["call", "\ud800"], "at position 1"),             # a lone surrogate
    (np.array([["call", "put"], ["put", "puts"]]), "'puts' at position (1, 1)"),
])
def test_a_bad_side_names_the_first_bad_value_and_writes_nothing(bad, shown):
    out = np.full(np.shape(bad), 7.0)
    with pytest.raises(ValueError) as raised:
        vnp.bs_delta(100, 100, 1, 0.05, 0.2, option_type=bad, out=out)
    message = str(raised.value)
    assert message.startswith("Invalid option type. Use 'call' or 'put'. First bad value: ")
    assert shown in message
    assert (out == 7.0).all()


@pytest.mark.parametrize("bad, error", [("cal", ValueError), ("", ValueError), (None, TypeError),
                                        (1, TypeError), (b"call", TypeError), ([1, 0], TypeError)])
def test_one_bad_side_for_all_rows(bad, error):
    with pytest.raises(error):
        vnp.am_price([100, 110], 100, 1, 0.05, 0.2, option_type=bad)


def test_the_same_texts_as_the_scalar_module():
    candidates = SIDES + ["ca", "pu", "calll", " call", "call ", "PUT\x00", "\u212a", "cal\u0130"]
    for text in candidates:
        try:
            expected = varnelle.bs_delta(90, 100, 1, 0.05, 0.2, option_type=text)
        except ValueError:
            with pytest.raises(ValueError):
                vnp.bs_delta(90, 100, 1, 0.05, 0.2, option_type=text)
            with pytest.raises(ValueError):
                vnp.bs_delta(90, 100, 1, 0.05, 0.2, option_type=np.array([text], dtype=object))
            if not text.endswith("\x00"):  # NumPy's fixed-width str pads with NUL
                with pytest.raises(ValueError):
                    vnp.bs_delta(90, 100, 1, 0.05, 0.2, option_type=np.array([text]))
            continue
        assert vnp.bs_delta(90, 100, 1, 0.05, 0.2, option_type=text) == expected
        assert vnp.bs_delta(90, 100, 1, 0.05, 0.2, option_type=[text])[0] == expected


# --- workers= and threads ---------------------------------------------------


# A large book of the cheap model splits into many parts; a smaller one of the
# default (integral) model checks that its chains keep their bits across parts.
@pytest.mark.parametrize("workers", [1, 2, 3, -1, np.int64(2)])
@pytest.mark.parametrize("model, rows", [("bs2002", 40000), ("integral", 1500)])
def test_workers_give_the_same_bits(workers, model, rows):
    rng = np.random.default_rng(11)
    columns, sides = random_book(rng, rows)
    serial = vnp.am_greeks(*columns, option_type=sides, model=model)
    parallel = vnp.am_greeks(*columns, option_type=sides, model=model, workers=workers)
    for a, b in zip(serial, parallel):
        np.testing.assert_array_equal(bits(a), bits(b))


@pytest.mark.parametrize("workers, error", [(0, ValueError), (-100000, ValueError), (1.5, TypeError),
                                            (True, TypeError), ("2", TypeError)])
def test_bad_workers_are_refused(workers, error):
    with pytest.raises(error, match="workers"):
        vnp.bs_delta([100], 100, 1, 0.05, 0.2, workers=workers)


def test_python_threads_share_nothing():
    from concurrent.futures import ThreadPoolExecutor

    rng = np.random.default_rng(5)
    books = [random_book(rng, 5000) for _ in range(8)]
    expected = [vnp.am_price(*c, option_type=s, model="bs2002") for c, s in books]
    with ThreadPoolExecutor(4) as pool:
        got = list(pool.map(lambda b: vnp.am_price(*b[0], option_type=b[1], model="bs2002", workers=2), books))
    for a, b in zip(got, expected):
        np.testing.assert_array_equal(bits(a), bits(b))


# --- the raw ufuncs and the module's face --------------------------------------


def test_raw_ufuncs_are_real_ufuncs():
    for name in vnp.ufuncs.__all__:
        ufunc = getattr(vnp.ufuncs, name)
        assert isinstance(ufunc, np.ufunc) and ufunc.__name__ == name  # operands: test_function_table.py
    assert vnp.ufuncs.bs_price(100, 100, 1, 0.05, 0.2, 0.0, True) == vnp.bs_price(100, 100, 1, 0.05, 0.2, 0, "p")


def test_signatures_match_the_scalar_module():
    import inspect

    for name in FUNCTION_NAMES:
        scalar = list(inspect.signature(getattr(varnelle, name)).parameters)
        array = list(inspect.signature(getattr(vnp, name)).parameters)
        models = ["model", "tol", "dividends"] if name.startswith("am_") else ["dividends"]
        assert array == scalar + models + ["out", "workers"], name
    assert set(vnp.__all__) >= set(FUNCTION_NAMES) | {"bs_price", "Greeks"}


def test_scalar_module_does_not_import_numpy():
    from conftest import run_python

    done = run_python("import sys, varnelle; print('numpy' in sys.modules)")
    assert done.stdout.strip() == "False", done.stderr


def test_missing_numpy_gives_a_clear_import_error():
    from conftest import run_python

    done = run_python("""
        import sys
        sys.modules["numpy"] = None
        try:
            import varnelle_np
        except ImportError as error:
            print(error)
    """)
    assert "varnelle_np needs NumPy 1.25 or later" in done.stdout and "varnelle[numpy]" in done.stdout
    assert math.isfinite(1.0)
