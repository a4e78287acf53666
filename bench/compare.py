"""Per-call cost of varnelle against the calling floor and its peers.

Prints Markdown tables: nanoseconds per call (minimum over repeats, all in
this one process, on the same inputs) for the thirteen functions, the
calling floor (an entry with the same calling convention that prices
nothing), QuantLib-Python, vollib and a plain NumPy/SciPy implementation,
with the ratios between them. Before timing, it checks that every peer
agrees with varnelle on the European Greeks after unit conversion, so the
comparison is of the same work.

Usage: python bench/compare.py [--quick]
"""

from __future__ import annotations

import argparse
import datetime
import math
import os
import platform
import sys
import timeit

from report import cpu_name, table

try:
    import varnelle
    import varnelle_floor
except ImportError as exc:  # pragma: no cover - usage error
    sys.exit(f"compare.py: {exc.name} is not installed; run it through `make bench`")

try:
    import numpy as np
    import QuantLib as ql
    from scipy.stats import norm
    from vollib.black_scholes_merton.greeks import analytical as vollib_greeks
except ImportError as exc:  # pragma: no cover - usage error
    sys.exit(f"compare.py: peer package {exc.name!r} missing; `make bench` installs QuantLib, vollib, numpy, scipy")

S, K, T, R, SIGMA, Q = 100.0, 105.0, 1.0, 0.05, 0.2, 0.01
SIDE = "put"
GREEKS = ("delta", "gamma", "theta", "vega", "rho")
FUNCTIONS = [name for name in varnelle.__all__ if name != "PyGreeks"]
NO_SIDE = {"bs_gamma", "bs_vega"}


def ns_per_call(stmt: str, env: dict, number: int, repeat: int) -> float:
    timer = timeit.Timer(stmt, globals=env)
    return min(timer.repeat(repeat=repeat, number=number)) / number * 1e9


def call_forms(name: str) -> dict[str, str]:
    """The three ways the benchmark calls a function."""
    if name in NO_SIDE:
        return {
            "5 positional": "f(s, k, t, r, sigma)",
            "7 positional": "f(s, k, t, r, sigma, q)",  # six is all these take
            "q= / option_type=": "f(s, k, t, r, sigma, q=q)",
        }
    return {
        "5 positional": "f(s, k, t, r, sigma)",
        "7 positional": "f(s, k, t, r, sigma, q, side)",
        "q= / option_type=": "f(s, k, t, r, sigma, q=q, option_type=side)",
    }


def inputs(f) -> dict:
    return {"f": f, "s": S, "k": K, "t": T, "r": R, "sigma": SIGMA, "q": Q, "side": SIDE}


# ---------------------------------------------------------------- peers


class QuantLibEuropean:
    """Objects built once; each call moves the spot quote and asks again."""

    def __init__(self, american: bool = False) -> None:
        today = ql.Date(15, ql.June, 2026)
        ql.Settings.instance().evaluationDate = today
        day_count = ql.Actual365Fixed()
        maturity = today + int(round(T * 365))
        self.spot = ql.SimpleQuote(S)
        rate = ql.YieldTermStructureHandle(ql.FlatForward(today, R, day_count))
        dividend = ql.YieldTermStructureHandle(ql.FlatForward(today, Q, day_count))
        vol = ql.BlackVolTermStructureHandle(ql.BlackConstantVol(today, ql.NullCalendar(), SIGMA, day_count))
        process = ql.BlackScholesMertonProcess(ql.QuoteHandle(self.spot), dividend, rate, vol)
        payoff = ql.PlainVanillaPayoff(ql.Option.Put if SIDE == "put" else ql.Option.Call, K)
        if american:
            exercise = ql.AmericanExercise(today, maturity)
            engine = ql.BjerksundStenslandApproximationEngine(process)
        else:
            exercise = ql.EuropeanExercise(maturity)
            engine = ql.AnalyticEuropeanEngine(process)
        self.option = ql.VanillaOption(payoff, exercise)
        self.option.setPricingEngine(engine)

    def greeks(self) -> tuple[float, ...]:
        o = self.option
        # QuantLib: theta per year, rho per 1.0 of rate -> per day, per 1 %.
        return (o.delta(), o.gamma(), o.theta() / 365.0, o.vega(), o.rho() / 100.0)


def quantlib_fresh_greeks(s, k, t, r, sigma, q):
    q_obj = QuantLibEuropean()
    q_obj.spot.setValue(s)
    return q_obj.greeks()


def quantlib_fresh_american(s, k, t, r, sigma, q):
    return QuantLibEuropean(american=True).option.NPV()


def vollib_all(flag, s, k, t, r, sigma, q):
    return (
        vollib_greeks.delta(flag, s, k, t, r, sigma, q),
        vollib_greeks.gamma(flag, s, k, t, r, sigma, q),
        vollib_greeks.theta(flag, s, k, t, r, sigma, q),
        vollib_greeks.vega(flag, s, k, t, r, sigma, q),
        vollib_greeks.rho(flag, s, k, t, r, sigma, q),
    )


# A plain NumPy/SciPy scalar implementation, as users write it.
def np_d1(s, k, t, r, sigma, q):
    return (np.log(s / k) + (r - q + 0.5 * sigma**2) * t) / (sigma * np.sqrt(t))


def np_delta(s, k, t, r, sigma, q, put):
    d1 = np_d1(s, k, t, r, sigma, q)
    return -np.exp(-q * t) * norm.cdf(-d1) if put else np.exp(-q * t) * norm.cdf(d1)


def np_gamma(s, k, t, r, sigma, q):
    d1 = np_d1(s, k, t, r, sigma, q)
    return np.exp(-q * t) * norm.pdf(d1) / (s * sigma * np.sqrt(t))


def np_theta(s, k, t, r, sigma, q, put):
    d1 = np_d1(s, k, t, r, sigma, q)
    d2 = d1 - sigma * np.sqrt(t)
    decay = -s * np.exp(-q * t) * norm.pdf(d1) * sigma / (2 * np.sqrt(t))
    if put:
        year = decay + r * k * np.exp(-r * t) * norm.cdf(-d2) - q * s * np.exp(-q * t) * norm.cdf(-d1)
    else:
        year = decay - r * k * np.exp(-r * t) * norm.cdf(d2) + q * s * np.exp(-q * t) * norm.cdf(d1)
    return year / 365.0


def np_vega(s, k, t, r, sigma, q):
    d1 = np_d1(s, k, t, r, sigma, q)
    return s * np.exp(-q * t) * norm.pdf(d1) * np.sqrt(t)


def np_rho(s, k, t, r, sigma, q, put):
    d2 = np_d1(s, k, t, r, sigma, q) - sigma * np.sqrt(t)
    if put:
        return -k * t * np.exp(-r * t) * norm.cdf(-d2) / 100.0
    return k * t * np.exp(-r * t) * norm.cdf(d2) / 100.0


def np_all(s, k, t, r, sigma, q, put):
    return (
        np_delta(s, k, t, r, sigma, q, put),
        np_gamma(s, k, t, r, sigma, q),
        np_theta(s, k, t, r, sigma, q, put),
        np_vega(s, k, t, r, sigma, q),
        np_rho(s, k, t, r, sigma, q, put),
    )


def check_agreement() -> None:
    """Every peer gives the same European Greeks, to 1e-9 relative."""
    ours = varnelle.bs_greeks(S, K, T, R, SIGMA, Q, SIDE)
    ours = tuple(getattr(ours, name) for name in GREEKS)
    put = SIDE == "put"
    ql_reprice = QuantLibEuropean()
    v_all = vollib_all(SIDE[0], S, K, T, R, SIGMA, Q)
    peers = {
        "QuantLib": ql_reprice.greeks(),
        "vollib": (v_all[0], v_all[1], v_all[2], v_all[3] * 100.0, v_all[4]),  # vega per 1 % -> per 1.0
        "NumPy/SciPy": tuple(float(x) for x in np_all(S, K, T, R, SIGMA, Q, put)),
    }
    for peer, values in peers.items():
        for name, a, b in zip(GREEKS, ours, values):
            if not math.isclose(a, b, rel_tol=1e-9, abs_tol=0.0):
                sys.exit(f"compare.py: {peer} {name} = {b!r} disagrees with varnelle {a!r}")
    print(f"Agreement: QuantLib, vollib and NumPy/SciPy match varnelle's European Greeks to 1e-9 relative "
          f"(s={S}, k={K}, t={T}, r={R}, sigma={SIGMA}, q={Q}, {SIDE}).\n")


# ---------------------------------------------------------------- tables


def fmt(ns: float) -> str:
    return f"{ns:,.0f}" if ns >= 100 else f"{ns:.1f}"


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="fewer repeats (noisier figures)")
    args = parser.parse_args()
    repeat = 3 if args.quick else 9
    fast, slow = (20_000, 400) if args.quick else (200_000, 4_000)

    print(f"# varnelle benchmark, {datetime.date.today().isoformat()}")
    print(f"{cpu_name()}, {os.cpu_count()} cores, Python {platform.python_version()}, "
          f"QuantLib {ql.__version__}, numpy {np.__version__}\n")
    check_agreement()

    floor = {form: ns_per_call(stmt, inputs(varnelle_floor.floor), fast, repeat)
             for form, stmt in call_forms("bs_delta").items()}
    floor_form = {"5 positional": floor["5 positional"], "7 positional": floor["7 positional"],
                  "q= / option_type=": floor["q= / option_type="]}

    forms = list(call_forms("bs_delta"))
    rows, measured = [], {}
    for name in FUNCTIONS:
        f = getattr(varnelle, name)
        number = fast if name != "am_greeks" else fast // 10
        cells = []
        for form, stmt in call_forms(name).items():
            ns = ns_per_call(stmt, inputs(f), number, repeat)
            measured[(name, form)] = ns
            cells.append(f"{fmt(ns)} ({ns / floor_form[form]:.2f}×)")
        rows.append([f"`{name}`", *cells])
    rows.append(["calling floor", *(fmt(floor_form[form]) for form in forms)])
    print("## ns per call (ratio to the calling floor)\n")
    print(table(["function", *forms], rows))
    print()

    # Peers, per call, same inputs.
    put = SIDE == "put"
    flag = SIDE[0]
    ql_eu = QuantLibEuropean()
    ql_am = QuantLibEuropean(american=True)
    peer_env = {
        "ql_eu": ql_eu, "ql_am": ql_am, "vg": vollib_greeks, "vollib_all": vollib_all,
        "np_delta": np_delta, "np_gamma": np_gamma, "np_theta": np_theta, "np_vega": np_vega,
        "np_rho": np_rho, "np_all": np_all, "qf": quantlib_fresh_greeks, "qfa": quantlib_fresh_american,
        "s": S, "k": K, "t": T, "r": R, "sigma": SIGMA, "q": Q, "put": put, "flag": flag,
        "x": [S],
    }
    # Moving the quote between two values forces QuantLib to recompute each time.
    reprice = "x[0] = 2 * s + 1e-9 - x[0]; ql_{0}.spot.setValue(x[0]); {1}"
    # One row a Greek, each peer's statement by the same rule: gamma and vega
    # are the same for a call and a put, so the NumPy versions take no side.
    peer_rows = [
        (greek, f"bs_{greek}", reprice.format("eu", f"ql_eu.option.{greek}()"),
         f"vg.{greek}(flag, s, k, t, r, sigma, q)",
         f"np_{greek}(s, k, t, r, sigma, q{'' if greek in ('gamma', 'vega') else ', put'})")
        for greek in ("delta", "gamma", "theta", "vega", "rho")
    ]
    peer_rows += [
        ("all five Greeks", "bs_greeks", reprice.format("eu", "ql_eu.greeks()"),
         "vollib_all(flag, s, k, t, r, sigma, q)", "np_all(s, k, t, r, sigma, q, put)"),
        ("American price", "am_price", reprice.format("am", "ql_am.option.NPV()"), None, None),
    ]
    rows = []
    for label, ours_name, ql_stmt, vollib_stmt, np_stmt in peer_rows:
        ours = measured[(ours_name, "7 positional")]
        cells = [f"`{ours_name}` {fmt(ours)}"]
        for stmt in (ql_stmt, "qf(s, k, t, r, sigma, q)" if ours_name == "bs_greeks" else
                     "qfa(s, k, t, r, sigma, q)" if ours_name == "am_price" else None,
                     vollib_stmt, np_stmt):
            if stmt is None:
                cells.append("–")
                continue
            ns = ns_per_call(stmt, peer_env, slow, repeat)
            cells.append(f"{fmt(ns)} ({ns / ours:.0f}×)")
        rows.append([label, *cells])
    print("## Peers: ns per call (peer / varnelle)\n")
    print(table(["quantity", "varnelle", "QuantLib, reprice", "QuantLib, fresh objects", "vollib", "NumPy/SciPy"], rows))
    print()

    targets = [
        ("bs_delta, 5 positional ≤ 1.3× floor",
         measured[("bs_delta", "5 positional")] / floor_form["5 positional"], 1.3),
        ("bs_delta, q=/option_type= ≤ 1.2× floor",
         measured[("bs_delta", "q= / option_type=")] / floor_form["q= / option_type="], 1.2),
        ("bs_greeks ≤ 2× floor (7 positional)",
         measured[("bs_greeks", "7 positional")] / floor_form["7 positional"], 2.0),
        ("am_price ≤ 800 ns", measured[("am_price", "7 positional")], 800.0),
        ("am_greeks ≤ 6000 ns", measured[("am_greeks", "7 positional")], 6000.0),
    ]
    print("## Targets\n")
    print(table(["target", "measured", "met"],
                [[name, f"{value:.2f}" if limit < 10 else fmt(value), "yes" if value <= limit else "no"]
                 for name, value, limit in targets]))


if __name__ == "__main__":
    main()
