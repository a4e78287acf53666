"""The European ufuncs on every path this processor runs (AVX-512 lanes, AVX2
lanes, one row at a time): the scalar module's bits on each, whatever the
layout, out=, workers= or thread; the path chosen at the first European
call, not at import, and VARNELLE_SCALAR=1 forcing the scalar one;
show_config() telling which."""

import json
import os
import subprocess
import sys
import textwrap
import zlib
from concurrent.futures import ThreadPoolExecutor

import pytest

np = pytest.importorskip("numpy")

import varnelle  # noqa: E402
import varnelle_np as vnp  # noqa: E402

from conftest import GREEK_FIELDS, VECTORS, run_python, vector_args  # noqa: E402
from test_array import LAYOUTS, assert_layouts_give, laid_out, rows_of  # noqa: E402

EUROPEAN = ["bs_price", "bs_delta", "bs_gamma", "bs_theta", "bs_vega", "bs_rho", "bs_greeks", "bs_implied_vol"]
# The scalar module's own functions; bs_price and bs_implied_vol it lacks, and
# their reference is the scalar path, the pricing core's single-row functions.
SCALAR = [name for name in EUROPEAN if hasattr(varnelle, name)]
SIDELESS = {"bs_gamma", "bs_vega"}

_PROCESSOR = vnp._ufuncs.vector_config()["processor"]
PATHS = ["scalar"] + [p for p in ("avx2", "avx512") if _PROCESSOR[p]]


@pytest.fixture(params=PATHS)
def path(request):
    """Runs the test with the European ufuncs forced onto one path."""
    previous = vnp._ufuncs.force_vector_path(request.param)
    yield request.param
    vnp._ufuncs.force_vector_path(previous)


def on_path(name, run):
    previous = vnp._ufuncs.force_vector_path(name)
    try:
        return run()
    finally:
        vnp._ufuncs.force_vector_path(previous)


def call(name, columns, puts):
    """The raw ufunc on columns (s, k, t, r, sigma, q), or (price, s, k, t, r, q)."""
    ufunc = getattr(vnp.ufuncs, name)
    return ufunc(*columns) if name in SIDELESS else ufunc(*columns, puts)


def scalar_module(name, columns, puts):
    function = getattr(varnelle, name)
    rows = []
    for row, put in zip(zip(*(c.tolist() for c in columns)), puts.tolist()):
        result = function(*row) if name in SIDELESS else function(*row, "put" if put else "call")
        rows.append(tuple(getattr(result, f) for f in GREEK_FIELDS) if name == "bs_greeks" else result)
    return np.array(rows, dtype=np.float64)


# --- the domain ---------------------------------------------------------------

def log_uniform(rng, a, b, n):
    return np.exp(rng.uniform(np.log(a), np.log(b), n))


def domain(seed, n):
    """Rows across everything the functions promise the scalar bits on, in
    regimes: the whole domain (spot and strike 1e-300 to 1e300, t 1e-6 to 50
    years, sigma 1e-4 to 5, rates and yields within +-50 %), ordinary books,
    spot next to strike, far out of the money and short (prices through the
    subnormal range to zero), subnormal prices, and ordinary rows with a NaN,
    infinity, zero, negative or subnormal input."""
    rng = np.random.default_rng(seed)
    regime = rng.integers(0, 6, n)
    s = log_uniform(rng, 1e-300, 1e300, n)
    k = log_uniform(rng, 1e-300, 1e300, n)
    t = log_uniform(rng, 1e-6, 50.0, n)
    r, q = rng.uniform(-0.5, 0.5, n), rng.uniform(-0.5, 0.5, n)
    sigma = log_uniform(rng, 1e-4, 5.0, n)
    ordinary = regime == 1
    m = ordinary.sum()
    s[ordinary], k[ordinary] = rng.uniform(20, 200, m), rng.uniform(20, 200, m)
    t[ordinary], sigma[ordinary] = log_uniform(rng, 1 / 365, 5.0, m), rng.uniform(0.05, 1.0, m)
    r[ordinary], q[ordinary] = rng.uniform(-0.01, 0.1, m), rng.uniform(0.0, 0.05, m)
    near = regime == 2
    s[near] = k[near] * (1.0 + rng.uniform(-0.07, 0.07, near.sum()) * 10.0 ** -rng.uniform(0, 12, near.sum()))
    far = regime == 3
    m = far.sum()
    s[far] = log_uniform(rng, 1e-3, 1e3, m)
    k[far] = s[far] * np.exp(rng.uniform(1.0, 40.0, m))
    t[far], sigma[far] = log_uniform(rng, 1e-6, 1e-2, m), log_uniform(rng, 1e-4, 1.0, m)
    swap = far & (rng.random(n) < 0.5)
    s[swap], k[swap] = k[swap], s[swap].copy()
    # The strike 37.3 to 38.9 standard deviations out of the money: a
    # subnormal price (a call, or the mirrored put).
    sub = regime == 5
    m = sub.sum()
    t[sub], sigma[sub], r[sub], q[sub] = rng.uniform(0.01, 2.0, m), rng.uniform(0.05, 0.5, m), 0.0, 0.0
    s[sub] = rng.uniform(50.0, 150.0, m)
    k[sub] = s[sub] * np.exp(rng.uniform(37.3, 38.9, m) * sigma[sub] * np.sqrt(t[sub]))
    puts = rng.random(n) < 0.5
    s[sub & puts], k[sub & puts] = k[sub & puts], s[sub & puts].copy()
    columns = [s, k, t, r, sigma, q]
    specials = np.array([0.0, -0.0, np.nan, np.inf, -np.inf, -1.0, -100.0, 1e-320, 1e308, 1e-300])
    odd, which = regime == 4, rng.integers(0, 6, n)
    value = rng.choice(specials, n)
    for j, column in enumerate(columns):
        hit = odd & (which == j)
        column[hit] = value[hit]
    return columns, puts


def implied_domain(seed, n):
    """Quotes to invert: the prices of domain rows, the same nudged by a few
    ulps or a relative 1e-3, and prices outside the bounds, zero, negative,
    NaN or infinite."""
    (s, k, t, r, sigma, q), puts = domain(seed, n)
    rng = np.random.default_rng(seed + 1)
    price = on_path("scalar", lambda: vnp.ufuncs.bs_price(s, k, t, r, sigma, q, puts))
    how = rng.integers(0, 4, n)
    price = np.where(how == 1, price * (1.0 + rng.integers(-4, 5, n) * 2.0 ** -52), price)
    price = np.where(how == 2, price * (1.0 + rng.uniform(-1e-3, 1e-3, n)), price)
    odd = how == 3
    price[odd] = rng.choice(np.array([0.0, -1.0, np.nan, np.inf, 1e300, 5e-324]), odd.sum())
    return [price, s, k, t, r, q], puts


def inputs_for(name, seed, n):
    return implied_domain(seed, n) if name == "bs_implied_vol" else domain(seed, n)


def seed_of(name):
    return zlib.crc32(name.encode())


# --- bit identity ---------------------------------------------------------------


@pytest.mark.parametrize("name", SCALAR)
def test_stored_vectors_on_every_path(name, path):
    rows = [row for row in VECTORS if row["op"] == name]
    columns = [np.array(c) for c in zip(*(vector_args(row) for row in rows))]
    puts = np.array([row["option_type"] == "put" for row in rows])
    got = rows_of(call(name, columns, puts))
    np.testing.assert_array_equal(got, rows_of(scalar_module(name, columns, puts)))
    exact = [i for i, row in enumerate(rows) if row["exact"]]
    stored = [[float.fromhex(x) for x in (row["expected"] if isinstance(row["expected"], list) else [row["expected"]])]
              for row in rows]
    np.testing.assert_array_equal(got[exact], rows_of(np.array(stored))[exact])


@pytest.mark.parametrize("name", EUROPEAN)
def test_random_rows_across_the_domain_on_every_path(name, path):
    # 1,000 rows and a part of a batch: every regime, the lanes' ragged end.
    columns, puts = inputs_for(name, seed_of(name), 4099)
    got = rows_of(call(name, columns, puts))
    if name in SCALAR:
        expected = rows_of(scalar_module(name, columns, puts))
    else:
        expected = rows_of(on_path("scalar", lambda: call(name, columns, puts)))
    mismatch = np.flatnonzero((got != expected).any(axis=-1))
    assert mismatch.size == 0, (f"{name} on {path}, row {mismatch[0]}:",
                                [c[mismatch[0]] for c in columns], bool(puts[mismatch[0]]))


def test_the_domain_reaches_the_edges_it_promises():
    (s, k, t, r, sigma, q), puts = domain(seed_of("bs_price"), 4099)
    price = on_path("scalar", lambda: vnp.ufuncs.bs_price(s, k, t, r, sigma, q, puts))
    tiny = np.abs(price[np.isfinite(price)])
    assert ((tiny > 0) & (tiny < np.finfo(float).tiny)).sum() >= 300  # subnormal prices
    assert np.isnan(price).sum() >= 20 and (price == 0).sum() >= 20
    assert min(np.nanmin(s), np.nanmin(k)) < 1e-290 and max(np.nanmax(s), np.nanmax(k)) > 1e290
    assert puts.any() and (~puts).any()


@pytest.mark.parametrize("name", EUROPEAN)
@pytest.mark.parametrize("shift", range(len(LAYOUTS)))
def test_every_layout_and_out_on_every_path(name, shift, path):
    # 600 rows: more than one batch of every kernel but the implied
    # volatility's, and a ragged end.
    columns, puts = inputs_for(name, seed_of(name) + shift, 600)
    ufunc = getattr(vnp.ufuncs, name)
    operands = (columns if name in SIDELESS else [*columns, puts])
    laid = [laid_out(x, LAYOUTS[(i + shift) % len(LAYOUTS)]) for i, x in enumerate(operands)]
    expected = rows_of(on_path("scalar", lambda: ufunc(*(np.ascontiguousarray(x) for x in laid))))
    assert_layouts_give(expected, ufunc, laid)


@pytest.mark.parametrize("name", ["bs_price", "bs_greeks", "bs_implied_vol"])
def test_workers_and_threads_give_the_same_bits_on_every_path(name, path):
    columns, puts = inputs_for(name, seed_of(name) + 99, 60000)
    expected = rows_of(call(name, columns, puts))
    function = getattr(vnp, name)
    sides = np.where(puts, "put", "call")
    for workers in (2, 3):
        np.testing.assert_array_equal(rows_of(function(*columns, sides, workers=workers)), expected)
    with ThreadPoolExecutor(3) as pool:
        for got in pool.map(lambda _: rows_of(call(name, columns, puts)), range(3)):
            np.testing.assert_array_equal(got, expected)


# make stress: a hundred million rows, through every European function on
# every lane path, against the scalar path (the single-row functions the
# scalar module calls), a million rows at a time.
LONG_ROWS = int(os.environ.get("VARNELLE_LANE_ROWS", 100_000_000 if os.environ.get("VARNELLE_STRESS") else 200_000))


@pytest.mark.skipif(len(PATHS) == 1, reason="no lane path on this processor")
def test_long_run_of_random_rows_on_every_lane_path():
    chunk = min(LONG_ROWS, 1_000_000)
    differing = {}
    for start in range(0, LONG_ROWS, chunk):
        seed = 1000 + start // chunk
        rows_in = {"bs_price": domain(seed, chunk), "bs_implied_vol": implied_domain(seed, chunk)}
        for name in EUROPEAN:
            columns, puts = rows_in["bs_implied_vol" if name == "bs_implied_vol" else "bs_price"]
            expected = rows_of(on_path("scalar", lambda: call(name, columns, puts)))
            for path in PATHS[1:]:
                got = rows_of(on_path(path, lambda: call(name, columns, puts)))
                rows = np.flatnonzero((got != expected).any(axis=-1))
                if rows.size:
                    differing.setdefault((name, path), [c[rows[0]] for c in columns] + [bool(puts[rows[0]])])
    print(f"\n{LONG_ROWS:,} rows on {', '.join(PATHS[1:])}: {len(differing)} functions differ")
    assert not differing


# --- choosing the path ----------------------------------------------------------

DIGEST = """
    import hashlib, json, sys
    sys.path.insert(0, {tests!r})
    import numpy as np
    import varnelle_np as vnp
    from test_lanes import EUROPEAN, call, inputs_for, seed_of
    digest = hashlib.sha256()
    for name in EUROPEAN:
        columns, puts = inputs_for(name, seed_of(name) + 7, 3000)
        result = call(name, columns, puts)
        for part in (result if isinstance(result, tuple) else (result,)):
            digest.update(np.where(np.isnan(part), np.nan, part).tobytes())
    print(json.dumps({{"digest": digest.hexdigest(), "config": vnp.show_config("dicts")}}))
"""


def run_child(code, scalar=None):
    """Runs code in a fresh interpreter with VARNELLE_SCALAR set to `scalar`
    (unset for None), whatever this process's environment holds."""
    env = {name: value for name, value in os.environ.items() if name != "VARNELLE_SCALAR"}
    if scalar is not None:
        env["VARNELLE_SCALAR"] = scalar
    done = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, timeout=300,
                          env=env)
    assert done.returncode == 0, done.stderr
    return done.stdout


def digest_in_child(scalar):
    return json.loads(run_child(DIGEST.format(tests=os.path.dirname(__file__)), scalar))


def test_varnelle_scalar_forces_the_scalar_path_with_the_same_bits():
    lanes, forced = digest_in_child(None), digest_in_child("1")
    assert forced["config"]["path"] == "scalar" and forced["config"]["proof"] == "not run"
    assert forced["config"]["why"] == "forced by VARNELLE_SCALAR=1" and forced["config"]["VARNELLE_SCALAR"] == "1"
    assert lanes["config"]["path"] == ("avx512" if "avx512" in PATHS else "avx2" if "avx2" in PATHS else "scalar")
    assert lanes["digest"] == forced["digest"]
    # Only "1" forces it.
    assert digest_in_child("0")["config"]["path"] == lanes["config"]["path"]


def test_the_path_is_chosen_at_the_first_european_call_not_at_import():
    # Set after the import, VARNELLE_SCALAR still counts: nothing was decided
    # yet. After the first call, it no longer does: the choice is kept.
    printed = run_child("""
        import os
        import varnelle_np as vnp
        os.environ["VARNELLE_SCALAR"] = "1"
        vnp.bs_price(100.0, 100.0, 1.0, 0.05, 0.2)
        os.environ["VARNELLE_SCALAR"] = "0"
        print(vnp.show_config("dicts")["path"])
    """)
    assert printed.split() == ["scalar"]


def test_threads_racing_to_the_first_call_share_one_choice():
    printed = run_child("""
        import threading
        import numpy as np
        import varnelle_np as vnp
        s = np.linspace(50.0, 150.0, 200_000)
        results, start = [None] * 6, threading.Barrier(6)
        def price(i):
            start.wait()
            results[i] = vnp.bs_implied_vol(10.0, s, 100.0, 1.0, 0.05, 0.01, "put") if i % 2 else \\
                vnp.bs_greeks(s, 100.0, 1.0, 0.05, 0.2, 0.01, "put", workers=2).delta
        threads = [threading.Thread(target=price, args=(i,)) for i in range(6)]
        for thread in threads: thread.start()
        for thread in threads: thread.join()
        same = all(np.array_equal(results[i], results[i % 2], equal_nan=True) for i in range(6))
        print(same, vnp.show_config("dicts")["proof"])
    """)
    assert printed.split() == ["True", "passed" if len(PATHS) > 1 else "not"]


@pytest.mark.parametrize("name, error", [("sse", "no vector path"), (3, None)])
def test_forcing_an_unknown_path_is_refused(name, error):
    with pytest.raises((ValueError, TypeError), match=error):
        vnp._ufuncs.force_vector_path(name)
    assert vnp._ufuncs.vector_config()["test_override"] is None


# --- show_config ------------------------------------------------------------------


def test_show_config_prints_the_path_and_how_to_change_it(capsys):
    assert vnp.show_config() is None
    text = capsys.readouterr().out
    config = vnp.show_config("dicts")
    for expected in (f"path:     {config['path']}", config["cpu"], f"numpy:    {np.__version__}", "VARNELLE_SCALAR=1",
                     "proof:"):
        assert expected in text
    assert set(config) >= {"path", "why", "cpu", "proof", "proof_ms", "numpy", "force_scalar"}
    if config["path"] != "scalar":
        assert config["proof"] == "passed" and config["proof_ms"] > 0
    with pytest.raises(ValueError, match="mode"):
        vnp.show_config("json")


# --- Ctrl-C -----------------------------------------------------------------------------


def test_sigint_stops_a_long_lane_call():
    from test_array_interrupt import CHILD

    # Broadcast inputs: only out= takes memory. About two seconds of work on
    # the lanes, far more on the scalar path.
    rows_call = ('bs_implied_vol(np.broadcast_to(10.0, rows * 10), 100.0, np.broadcast_to(105.0, rows * 10), 1.0, '
                 '0.05, 0.0, "put", out=out)')
    child = CHILD.replace("out = np.full(rows, np.nan)", "out = np.full(rows * 10, np.nan)")
    assert child != CHILD
    result = run_python(child.format(call=rows_call))
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["interrupted", "True", "True"]
