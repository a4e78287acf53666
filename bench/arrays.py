"""Whole books at once: varnelle_np against NumPy/SciPy written by hand, the
scalar module in a Python loop, and a pure-Python implied-volatility solver,
all measured side by side in this one run, and the European functions on
each path this processor runs (AVX-512 lanes, AVX2 lanes, scalar). Prints
nanoseconds per option and the ratios each target is stated in, with the
path that ran and the CPU.

Run by `make bench` after compare.py; --quick for fewer rows and repeats.
"""

from __future__ import annotations

import argparse
import datetime
import gc
import os
import platform
import sys
import time
import tracemalloc
from typing import Any, Callable

import numpy as np
from scipy.special import ndtr
from scipy.stats import norm

import varnelle
import varnelle_np as vnp
from report import cpu_name, table

try:
    from py_lets_be_rational import implied_volatility_from_a_transformed_rational_guess as lbr_vol
except ImportError:  # measured only where the bench environment has it
    lbr_vol = None


def book(n: int, seed: int = 1) -> dict[str, Any]:
    """A random book: spots, strikes, one day to five years, rates, yields,
    volatilities, and calls and puts mixed."""
    rng = np.random.default_rng(seed)
    return {
        "s": rng.uniform(50, 150, n), "k": rng.uniform(50, 150, n), "t": rng.uniform(1 / 365, 5, n),
        "r": rng.uniform(0.0, 0.08, n), "sigma": rng.uniform(0.05, 0.8, n), "q": rng.uniform(0.0, 0.05, n),
        "side": rng.choice(np.array(["call", "put"]), n),
    }


# The clock of the one-worker figures: wall time, or with --cpu-time the
# calling thread's CPU time, which a machine shared with other work disturbs
# far less (the ufuncs and NumPy's arithmetic run on the calling thread).
CLOCK = time.perf_counter


def best_ns(run: Callable[[], object], rows: int, repeat: int, clock: Callable[[], float] | None = None) -> float:
    """Nanoseconds per row, the best of `repeat` runs."""
    clock = clock or CLOCK
    best = float("inf")
    for _ in range(repeat):
        gc.collect()
        start = clock()
        run()
        best = min(best, clock() - start)
    return best / rows * 1e9


# ---------------------------------------------------------------- the peers

# The vectorised Black-Scholes a careful NumPy user writes: every shared term
# (sqrt(t), sigma sqrt(t), d1, d2, both discount factors, the density, N(d1),
# N(d2) and their products) computed once as a whole array, SciPy's normal
# distribution. Calls only (puts would add a where() per result).

def numpy_price(s, k, t, r, sigma, q, cdf=norm.cdf):
    vol = sigma * np.sqrt(t)
    d1 = (np.log(s / k) + (r - q + 0.5 * sigma**2) * t) / vol
    return s * np.exp(-q * t) * cdf(d1) - k * np.exp(-r * t) * cdf(d1 - vol)


def numpy_delta(s, k, t, r, sigma, q, cdf=norm.cdf):
    d1 = (np.log(s / k) + (r - q + 0.5 * sigma**2) * t) / (sigma * np.sqrt(t))
    return np.exp(-q * t) * cdf(d1)


def numpy_greeks(s, k, t, r, sigma, q, cdf=norm.cdf):
    sqrt_t = np.sqrt(t)
    vol = sigma * sqrt_t
    d1 = (np.log(s / k) + (r - q + 0.5 * sigma**2) * t) / vol
    d2 = d1 - vol
    dq, dr = np.exp(-q * t), np.exp(-r * t)
    dq_pdf = dq * np.exp(-0.5 * d1 * d1) * (1.0 / np.sqrt(2 * np.pi))
    s_dq_pdf = s * dq_pdf
    delta = dq * cdf(d1)
    k_dr_n2 = k * dr * cdf(d2)
    gamma = dq_pdf / (s * vol)
    theta = (-s_dq_pdf * sigma / (2 * sqrt_t) - r * k_dr_n2 + q * s * delta) / 365
    vega = s_dq_pdf * sqrt_t
    rho = k_dr_n2 * t / 100
    return delta, gamma, theta, vega, rho


PEERS = {"bs_price": numpy_price, "bs_delta": numpy_delta, "bs_greeks": numpy_greeks}


def check_peers(b: dict[str, Any]) -> None:
    """The peers compute what varnelle_np does, or the race is not fair: to
    1e-7 relative or 1e-8 absolute (varnelle's normal distribution is a
    rational approximation good to about 1e-10 relative, which a price far
    out of the money magnifies)."""
    columns = [b[c][:10_000] for c in ("s", "k", "t", "r", "sigma", "q")]
    for name, peer in PEERS.items():
        ours = getattr(vnp, name)(*columns)
        for cdf in (norm.cdf, ndtr):
            theirs = peer(*columns, cdf=cdf)
            for a, e in zip(*(x if isinstance(x, tuple) else (x,) for x in (theirs, ours))):
                np.testing.assert_allclose(a, e, rtol=1e-7, atol=1e-8, err_msg=name)


def scalar_loop(name: str, b: dict[str, Any], rows: int) -> Callable[[], object]:
    function = getattr(varnelle, name)
    columns = [b[c][:rows].tolist() for c in ("s", "k", "t", "r", "sigma", "q")] + [b["side"][:rows].tolist()]

    def run() -> None:
        for s, k, t, r, sigma, q, side in zip(*columns):
            function(s, k, t, r, sigma, q, side)

    return run


# ---------------------------------------------------------------- report

def verdict(ok: bool) -> str:
    return "met" if ok else "NOT met"


def peak_memory_ratio(rows: int) -> tuple[float, float]:
    """Peak bytes NumPy holds while bs_greeks prices `rows` rows, against the
    bytes of its inputs and outputs."""
    b = book(rows, seed=5)
    inputs = [b[c] for c in ("s", "k", "t", "r", "sigma", "q")]
    del b
    input_bytes = sum(a.nbytes for a in inputs)
    output_bytes = 5 * rows * 8
    gc.collect()
    tracemalloc.start()
    base, _ = tracemalloc.get_traced_memory()
    greeks = vnp.bs_greeks(*inputs)
    _, peak = tracemalloc.get_traced_memory()
    tracemalloc.stop()
    del greeks
    return (peak - base + input_bytes) / (input_bytes + output_bytes), (peak - base) / 1e6


def by_path(s, k, t, r, sigma, q, side, rows: int, repeat: int) -> list[list[str]]:
    """ns per option of the European functions on every path this processor
    runs, each forced in turn (the results are the same on all of them);
    the implied volatility inverts bs_price's own prices, sides mixed."""
    puts = side == "put"
    price = vnp.ufuncs.bs_price(s, k, t, r, sigma, q, puts)
    has = vnp._ufuncs.vector_config()["processor"]
    table_rows = []
    for path in ["scalar"] + [p for p in ("avx2", "avx512") if has[p]]:
        previous = vnp._ufuncs.force_vector_path(path)
        try:
            ns = [best_ns(lambda: vnp.bs_price(s, k, t, r, sigma, q), rows, repeat),
                  best_ns(lambda: vnp.bs_delta(s, k, t, r, sigma, q), rows, repeat),
                  best_ns(lambda: vnp.bs_greeks(s, k, t, r, sigma, q), rows, repeat)]
            mixed = best_ns(lambda: vnp.ufuncs.bs_price(s, k, t, r, sigma, q, puts), rows, repeat)
            implied = best_ns(lambda: vnp.ufuncs.bs_implied_vol(price, s, k, t, r, q, puts), rows, max(1, repeat // 2))
        finally:
            vnp._ufuncs.force_vector_path(previous)
        table_rows.append([path, *(f"{x:.1f}" for x in ns), f"{implied:.1f}", f"{implied / mixed:.2f}×"])
    return table_rows


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="fewer rows and repeats (noisier figures)")
    parser.add_argument("--cpu-time", action="store_true",
                        help="time one-worker figures as the calling thread's CPU time (for a shared machine)")
    args = parser.parse_args()
    global CLOCK
    CLOCK = time.thread_time if args.cpu_time else time.perf_counter
    rows = 200_000 if args.quick else 1_000_000
    loop_rows = 20_000 if args.quick else 200_000
    repeat = 3 if args.quick else 5
    b = book(rows)
    s, k, t, r, sigma, q, side = (b[c] for c in ("s", "k", "t", "r", "sigma", "q", "side"))
    calls = np.full(rows, "call")

    config = vnp.show_config("dicts")
    path, cpu = config["path"], cpu_name()
    ran = f"{path}, {cpu}"
    print(f"# varnelle_np benchmark, {datetime.date.today().isoformat()}")
    print(f"{cpu}, {os.cpu_count()} cores, Python {platform.python_version()}, numpy {np.__version__}; "
          f"{rows:,} random rows, one worker unless stated; ns per option, best of {repeat}"
          + (", the calling thread's CPU time (wall time for workers=)." if args.cpu_time else ", wall time."))
    print(f"European functions on the {path} path ({config['lanes']}): {config['why']}; "
          f"proof {config['proof']}" + (f" in {config['proof_ms']:.0f} ms" if config["proof_ms"] else "") + ".\n")

    check_peers(b)
    m: dict[str, float] = {}
    european = {"bs_price": vnp.bs_price, "bs_delta": vnp.bs_delta, "bs_greeks": vnp.bs_greeks}
    rows_eu = []
    for name, function in european.items():
        peer = PEERS[name]
        m[name] = best_ns(lambda: function(s, k, t, r, sigma, q), rows, repeat)
        m["np_" + name] = best_ns(lambda: peer(s, k, t, r, sigma, q), rows, repeat)
        m["ndtr_" + name] = best_ns(lambda: peer(s, k, t, r, sigma, q, cdf=ndtr), rows, repeat)
        slowest_peer = min(m["np_" + name], m["ndtr_" + name])
        rows_eu.append([f"`{name}`", path, f"{m[name]:.1f}", f"{m['np_' + name]:.1f}",
                        f"{m['np_' + name] / m[name]:.2f}×", f"{m['ndtr_' + name]:.1f}",
                        f"{m['ndtr_' + name] / m[name]:.2f}×",
                        f"≥ 3× both: {verdict(slowest_peer / m[name] >= 3)} ({ran})"])
    m["greeks_loop"] = best_ns(scalar_loop("bs_greeks", b, loop_rows), loop_rows, max(1, repeat // 2))
    m["am_price"] = best_ns(lambda: vnp.am_price(s, k, t, r, sigma, q, side), rows, repeat)
    # Threads: wall time on both sides of the ratio.
    m["am_price_wall"] = best_ns(lambda: vnp.am_price(s, k, t, r, sigma, q, side), rows, repeat, time.perf_counter)
    m["am_price_2"] = best_ns(lambda: vnp.am_price(s, k, t, r, sigma, q, side, workers=2), rows, repeat,
                              time.perf_counter)
    m["am_loop"] = best_ns(scalar_loop("am_price", b, loop_rows), loop_rows, max(1, repeat // 2))
    m["delta_one_side"] = best_ns(lambda: vnp.bs_delta(s, k, t, r, sigma, q, "call"), rows, repeat)
    m["delta_str_column"] = best_ns(lambda: vnp.bs_delta(s, k, t, r, sigma, q, calls), rows, repeat)
    objects = calls.astype(object)
    m["delta_object_column"] = best_ns(lambda: vnp.bs_delta(s, k, t, r, sigma, q, objects), rows, repeat)

    print("## European functions against NumPy/SciPy\n")
    print("Calls on both sides; the peers share every intermediate array, with `scipy.stats.norm.cdf` "
          "or `scipy.special.ndtr`.\n")
    print(table(["operation", "path", "varnelle_np", "NumPy/SciPy (norm.cdf)", "ratio", "NumPy/SciPy (ndtr)", "ratio",
                 "target"], rows_eu))
    print("\n## Each path, forced in this process\n")
    print(table(["path", "`bs_price`", "`bs_delta`", "`bs_greeks`", "`bs_implied_vol`", "implied / price"],
                by_path(s, k, t, r, sigma, q, side, rows, repeat)))
    print("\n## Against the scalar loop\n")
    print(table(["operation", "varnelle_np", "peer", "peer ns", "ratio", "target"], [
        ["`bs_greeks`", f"{m['bs_greeks']:.1f}", "`varnelle.bs_greeks` in a loop", f"{m['greeks_loop']:.1f}",
         f"{m['greeks_loop'] / m['bs_greeks']:.2f}× faster",
         f"≥ 4×: {verdict(m['greeks_loop'] / m['bs_greeks'] >= 4)} ({ran})"],
        ["`am_price`", f"{m['am_price']:.1f}", "`varnelle.am_price` in a loop", f"{m['am_loop']:.1f}",
         f"{m['am_price'] / m['am_loop']:.2f}× the cost", f"≤ 0.8×: {verdict(m['am_price'] / m['am_loop'] <= 0.8)}"],
    ]))
    extra = m["delta_str_column"] - m["delta_one_side"]
    extra_object = m["delta_object_column"] - m["delta_one_side"]
    scaling = m["am_price_wall"] / m["am_price_2"]
    print("\n## option_type per row, and workers=\n")
    print(table(["measure", "figure", "target"], [
        ["`bs_delta`, one string for all rows", f"{m['delta_one_side']:.1f} ns", ""],
        ["… a NumPy str column", f"+{extra:.1f} ns per row", f"≤ 15 ns: {verdict(extra <= 15)}"],
        ["… an object column (pandas' default)", f"+{extra_object:.1f} ns per row", f"≤ 15 ns: {verdict(extra_object <= 15)}"],
        ["`am_price`, `workers=2` against `workers=1`", f"{scaling:.2f}× the throughput",
         f"≥ 1.7× on two cores: {verdict(scaling >= 1.7)}"],
    ]))

    memory_rows = 2_000_000 if args.quick else 10_000_000
    ratio, extra_mb = peak_memory_ratio(memory_rows)
    print(f"\nPeak memory, `bs_greeks` on {memory_rows:,} rows: {ratio:.3f}× the bytes of inputs and outputs "
          f"({extra_mb:,.0f} MB allocated during the call; target ≤ 1.2×: {verdict(ratio <= 1.2)}).")

    print("\n## Implied volatility\n")
    iv_rows = rows // 5
    ib = book(iv_rows, seed=9)
    args6 = [ib[c] for c in ("s", "k", "t", "r", "q")]
    price = vnp.bs_price(ib["s"], ib["k"], ib["t"], ib["r"], ib["sigma"], ib["q"], ib["side"])
    am = vnp.am_price(ib["s"], ib["k"], ib["t"], ib["r"], ib["sigma"], ib["q"], ib["side"])
    m["bs_price_iv"] = best_ns(lambda: vnp.bs_price(ib["s"], ib["k"], ib["t"], ib["r"], ib["sigma"], ib["q"], ib["side"]),
                               iv_rows, repeat)
    m["am_price_iv"] = best_ns(lambda: vnp.am_price(ib["s"], ib["k"], ib["t"], ib["r"], ib["sigma"], ib["q"], ib["side"]),
                               iv_rows, max(1, repeat // 2))
    m["bs_iv"] = best_ns(lambda: vnp.bs_implied_vol(price, *args6, ib["side"]), iv_rows, repeat)
    # The same on the raw ufuncs, the sides as booleans: the solver against
    # the price with nothing else on either side.
    puts = ib["side"] == "put"
    m["bs_price_raw"] = best_ns(lambda: vnp.ufuncs.bs_price(ib["s"], ib["k"], ib["t"], ib["r"], ib["sigma"], ib["q"],
                                                            puts), iv_rows, repeat)
    m["bs_iv_raw"] = best_ns(lambda: vnp.ufuncs.bs_implied_vol(price, *args6, puts), iv_rows, repeat)
    m["am_iv"] = best_ns(lambda: vnp.am_implied_vol(am, *args6, ib["side"]), iv_rows, max(1, repeat // 2))
    rows_iv = [
        ["`bs_implied_vol`, sides as texts", f"{m['bs_iv']:.1f}", "`bs_price`, the same", f"{m['bs_price_iv']:.1f}",
         f"{m['bs_iv'] / m['bs_price_iv']:.2f}× the cost",
         f"≤ 5×: {verdict(m['bs_iv'] / m['bs_price_iv'] <= 5)} ({ran})"],
        ["`bs_implied_vol`, sides as booleans", f"{m['bs_iv_raw']:.1f}", "`bs_price`, the same",
         f"{m['bs_price_raw']:.1f}", f"{m['bs_iv_raw'] / m['bs_price_raw']:.2f}× the cost",
         f"≤ 5×: {verdict(m['bs_iv_raw'] / m['bs_price_raw'] <= 5)} ({ran})"],
        ["`am_implied_vol`", f"{m['am_iv']:.0f}", "`am_price`", f"{m['am_price_iv']:.0f}",
         f"{m['am_iv'] / m['am_price_iv']:.1f}× the cost", f"≤ 30×: {verdict(m['am_iv'] / m['am_price_iv'] <= 30)}"],
    ]
    if lbr_vol is not None:
        lbr_rows = 2_000 if args.quick else 20_000
        forward = ib["s"] * np.exp((ib["r"] - ib["q"]) * ib["t"])
        undiscounted = price * np.exp(ib["r"] * ib["t"])
        flags = np.where(ib["side"] == "call", 1.0, -1.0)
        quotes = list(zip(undiscounted[:lbr_rows].tolist(), forward[:lbr_rows].tolist(), ib["k"][:lbr_rows].tolist(),
                          ib["t"][:lbr_rows].tolist(), flags[:lbr_rows].tolist()))

        def lets_be_rational() -> None:
            for p, f, strike, expiry, flag in quotes:
                try:
                    lbr_vol(p, f, strike, expiry, flag)
                except Exception:  # it raises on some valid inputs
                    pass

        m["lbr"] = best_ns(lets_be_rational, lbr_rows, 1)
        rows_iv.append(["`bs_implied_vol`", f"{m['bs_iv']:.0f}", "py_lets_be_rational, per option in Python",
                        f"{m['lbr']:,.0f}", f"{m['lbr'] / m['bs_iv']:.0f}× faster",
                        f"≥ 50×: {verdict(m['lbr'] / m['bs_iv'] >= 50)}"])
    else:
        print("(py_lets_be_rational is not installed here: its row is left out)\n", file=sys.stderr)
    print(table(["operation", "ns", "against", "ns", "ratio", "target"], rows_iv))


if __name__ == "__main__":
    main()
