"""Cash dividends: accuracy next to time for varnelle_np's dividends= and for
QuantLib's finite-difference engine given the same schedule, then what the
other functions cost against the price, chains, ladders and threads, all
measured in this one run.

Two books: the stored reference rows (tests/data/dividend_reference.json: 126
American and 37 European options, puts and calls, quarterly schedules, an
ex-date tomorrow or the day before expiry, special dividends; QuantLib's grid
extrapolated) and the random book drawn like them
(tests/data/dividend_random_reference.json, 300 rows, this library's
reference solver). Times there are whole days over 365, so QuantLib prices
each row with real dates. The error of a value v is |v - reference| /
max(reference, 0.005 k). Times are microseconds per option on one worker,
best of a few runs for varnelle (one run where a run takes long), one run for
QuantLib, which goes through its Python interface with one engine per row
(each row has its own schedule), as a Python user would call it.

Run by `make bench` after american_models.py; --quick for fewer repeats and
QuantLib's smaller grids only.
"""

from __future__ import annotations

import argparse
import datetime
import json
import os
import pathlib
import platform
import time
from typing import Any, Callable

import numpy as np

import varnelle_np as vnp
from report import best_seconds_per_row, cpu_name, table

try:
    import QuantLib as ql
except ImportError:  # measured only where the bench environment has it
    ql = None

DATA = pathlib.Path(__file__).resolve().parent.parent / "tests" / "data"
COLUMNS = ("s", "k", "t", "r", "sigma", "q")
TOLS = (1e-4, 1e-5, 1e-6, 1e-8)
# QuantLib's engine: (name, time steps, space points, scheme); its default
# first.
GRIDS = [("Douglas 100 × 100 (its default)", 100, 100, "Douglas"),
         ("Crank-Nicolson 200 × 200", 200, 200, "CrankNicolson"),
         ("Crank-Nicolson 400 × 400", 400, 400, "CrankNicolson"),
         ("Crank-Nicolson 800 × 800", 800, 800, "CrankNicolson")]


def book_of(rows: list[dict[str, Any]], price: str) -> dict[str, Any]:
    width = max(len(r["dividend_times"]) for r in rows)
    times, amounts = np.zeros((len(rows), width)), np.zeros((len(rows), width))
    for i, row in enumerate(rows):
        n = len(row["dividend_times"])
        times[i, :n], amounts[i, :n] = row["dividend_times"], row["dividend_amounts"]
    book: dict[str, Any] = {c: np.array([r[c] for r in rows], dtype=float) for c in COLUMNS}
    book.update(price=np.array([r[price] for r in rows]), side=np.array([r["option_type"] for r in rows]),
                dividends=(times, amounts), days=[r["days"] for r in rows],
                dividend_days=[r["dividend_days"] for r in rows], rows=len(rows))
    return book


def load_books() -> dict[str, dict[str, Any]]:
    stored = json.loads((DATA / "dividend_reference.json").read_text())
    random_rows = json.loads((DATA / "dividend_random_reference.json").read_text())["rows"]
    return {"stored rows": book_of(stored["american"], "price"),
            "random book": book_of(random_rows, "american"),
            "stored European rows": book_of(stored["european"], "price"),
            "random book, European": book_of(random_rows, "european")}


def numbers(book: dict[str, Any]) -> list[np.ndarray]:
    return [book[c] for c in COLUMNS]


def errors(values: np.ndarray, book: dict[str, Any]) -> np.ndarray:
    return np.abs(values - book["price"]) / np.maximum(book["price"], 0.005 * book["k"])


def best_us(run: Callable[[], Any], rows: int, repeat: int) -> float:
    return best_seconds_per_row(run, rows, repeat) * 1e6


def timed(run: Callable[[], np.ndarray], rows: int, repeat: int) -> tuple[float, np.ndarray]:
    """µs per row, best of `repeat` runs (one when a run takes over a few
    seconds), and the values."""
    start = time.perf_counter()
    values = run()
    first = time.perf_counter() - start
    if first > 3.0 or repeat <= 1:
        return first / rows * 1e6, values
    return min(first / rows * 1e6, best_us(run, rows, repeat - 1)), values


def summary(err: np.ndarray) -> list[str]:
    failed = int(np.isnan(err).sum())
    worst = f"{np.nanmax(err):.1e}" + (f" ({failed} rows failed)" if failed else "")
    return [f"{np.nanmedian(err):.1e}", f"{np.nanpercentile(err, 99):.1e}", worst]


def verdict(ok: bool) -> str:
    return "met" if ok else "NOT met"


# ------------------------------------------------------------------ QuantLib

def quantlib_prices(book: dict[str, Any], steps: int, points: int, scheme: str) -> np.ndarray:
    """Each row with QuantLib's finite-difference engine on the spot-drop
    model, its dividends on their dates."""
    today = ql.Date(2, 1, 2025)
    ql.Settings.instance().evaluationDate = today
    day_count = ql.Actual365Fixed()
    spot, rate, dividend, vol = (ql.SimpleQuote(0.0) for _ in range(4))
    rates = ql.YieldTermStructureHandle(ql.FlatForward(today, ql.QuoteHandle(rate), day_count))
    yields = ql.YieldTermStructureHandle(ql.FlatForward(today, ql.QuoteHandle(dividend), day_count))
    vols = ql.BlackVolTermStructureHandle(ql.BlackConstantVol(today, ql.NullCalendar(), ql.QuoteHandle(vol), day_count))
    process = ql.BlackScholesMertonProcess(ql.QuoteHandle(spot), yields, rates, vols)
    schemes = {"Douglas": ql.FdmSchemeDesc.Douglas(), "CrankNicolson": ql.FdmSchemeDesc.CrankNicolson()}
    out = np.empty(book["rows"])
    for i in range(book["rows"]):
        spot.setValue(float(book["s"][i]))
        rate.setValue(float(book["r"][i]))
        dividend.setValue(float(book["q"][i]))
        vol.setValue(float(book["sigma"][i]))
        times, amounts = book["dividends"]
        dates = [today + int(d) for d in book["dividend_days"][i]]
        schedule = ql.DividendVector(dates, [float(a) for a in amounts[i, :len(dates)]])
        engine = ql.FdBlackScholesVanillaEngine(process, schedule, steps, points, 0, schemes[scheme])
        kind = ql.Option.Put if book["side"][i] == "put" else ql.Option.Call
        option = ql.VanillaOption(ql.PlainVanillaPayoff(kind, float(book["k"][i])),
                                  ql.AmericanExercise(today, today + int(book["days"][i])))
        option.setPricingEngine(engine)
        try:
            out[i] = option.NPV()
        except RuntimeError:
            out[i] = np.nan
    return out


# -------------------------------------------------------------------- report

def accuracy_table(book: dict[str, Any], repeat: int, grids: list[tuple[str, int, int, str]]) -> dict[str, Any]:
    """varnelle at each tol, the same rows without dividends, QuantLib's
    grids: one table, and the figures the targets read."""
    args, side, schedule = numbers(book), book["side"], book["dividends"]
    n = book["rows"]
    figures: dict[str, Any] = {}
    rows = []
    for tol in TOLS:
        us, values = timed(lambda tol=tol: vnp.am_price(*args, side, model="integral", tol=tol, dividends=schedule),
                           n, repeat)
        plain_us = best_us(lambda tol=tol: vnp.am_price(*args, side, model="integral", tol=tol), n, repeat)
        err = errors(values, book)
        figures[tol] = (us, err, plain_us)
        rows.append([f"varnelle `am_price(..., dividends=)`, `tol={tol:g}`", f"{us:,.1f}", *summary(err),
                     f"{plain_us:,.1f} ({us / plain_us:.0f}×)"])
    figures["quantlib"] = {}
    if ql is not None:
        for name, steps, points, scheme in grids:
            start = time.perf_counter()
            values = quantlib_prices(book, steps, points, scheme)
            us = (time.perf_counter() - start) / n * 1e6
            err = errors(values, book)
            figures["quantlib"][name] = (us, err)
            rows.append([f"QuantLib finite differences, {name}", f"{us:,.0f}", *summary(err), "–"])
    print(table(["model", "µs per option", "median error", "p99 error", "max error",
                 "same rows without dividends, µs (ratio)"], rows))
    return figures


def quantlib_targets(label: str, figures: dict[str, Any]) -> list[list[str]]:
    out = []
    us_4, err_4, _ = figures[1e-4]
    grids = figures["quantlib"]
    cn = grids.get("Crank-Nicolson 200 × 200")
    if cn is not None:
        faster, better = cn[0] / us_4, np.nanmax(cn[1]) / err_4.max()
        out.append([f"{label}: QuantLib Crank-Nicolson 200 × 200 ({cn[0]:,.0f} µs, max {np.nanmax(cn[1]):.1e}) "
                    f"against `tol=1e-4`", f"{faster:.0f}× faster at {better:.1f}× smaller max error",
                    f"≥ 30× faster and more accurate: {verdict(faster >= 30 and better > 1)}"])
    matching = [(name, us, err) for name, (us, err) in grids.items() if np.nanmax(err) <= err_4.max()]
    if matching:
        name, us, err = matching[0]
        out.append([f"{label}: the first QuantLib grid as accurate as `tol=1e-4` ({name}, max "
                    f"{np.nanmax(err):.1e})", f"{us / us_4:.0f}× the time of `tol=1e-4`", "(for reference)"])
    elif grids:
        out.append([f"{label}: the first QuantLib grid as accurate as `tol=1e-4` (max {err_4.max():.1e})",
                    "none of the grids above", "(for reference)"])
    return out


def chain_of(n: int, spots: bool) -> dict[str, Any]:
    """41 strikes (or spots) sharing (t, r, q, sigma, schedule): a listed
    chain or a spot ladder."""
    ladder = np.linspace(80.0, 120.0, n)
    book = {"s": ladder if spots else np.full(n, 100.0), "k": np.full(n, 100.0) if spots else ladder,
            "t": np.full(n, 1.0), "r": np.full(n, 0.04), "sigma": np.full(n, 0.3), "q": np.full(n, 0.0),
            "side": np.full(n, "put"), "rows": n}
    book["dividends"] = (np.array([0.1, 0.35, 0.6, 0.85]), np.array([0.8, 0.8, 0.9, 0.9]))
    return book


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="fewer repeats, QuantLib's two smallest grids")
    args = parser.parse_args()
    repeat = 1 if args.quick else 3
    grids = GRIDS[:2] if args.quick else GRIDS
    books = load_books()

    print(f"# Cash dividends, {datetime.date.today().isoformat()}")
    print(f"{cpu_name()}, {os.cpu_count()} cores, Python {platform.python_version()}, numpy {np.__version__}"
          + (f", QuantLib {ql.__version__}" if ql else ", QuantLib not installed")
          + "; one worker; error = |v - reference| / max(reference, 0.005 k).\n")
    targets: list[list[str]] = []
    american: dict[str, Any] = {}
    for label in ("stored rows", "random book"):
        book = books[label]
        print(f"## American, {label} ({book['rows']} options)\n")
        figures = accuracy_table(book, repeat, grids)
        american[label] = figures
        print()
        for tol in (1e-4, 1e-6):
            us, err, plain_us = figures[tol]
            targets.append([f"{label}: `tol={tol:g}`, max error", f"{err.max():.1e}",
                            f"≤ {tol:g}: {verdict(err.max() <= tol)}"])
            limit = 20 if tol == 1e-4 else 30
            targets.append([f"{label}: `tol={tol:g}` against the same rows without dividends",
                            f"{us / plain_us:.0f}× the cost ({us:,.0f} µs)",
                            f"≤ {limit}×: {verdict(us / plain_us <= limit)}"])
        targets += quantlib_targets(label, figures)

    print("## European, with dividends\n")
    rows = []
    for label in ("stored European rows", "random book, European"):
        book = books[label]
        us, values = timed(lambda book=book: vnp.bs_price(*numbers(book), book["side"], dividends=book["dividends"]),
                           book["rows"], repeat)
        err = errors(values, book)
        rows.append([f"`bs_price(..., dividends=)`, {label} ({book['rows']})", f"{us:,.1f}", *summary(err)])
        targets.append([f"{label}: max error", f"{err.max():.1e}", f"≤ 1e-6: {verdict(err.max() <= 1e-6)}"])
    print(table(["model", "µs per option", "median error", "p99 error", "max error"], rows))
    print()

    # The other functions against the price, on the stored American rows.
    book = books["stored rows"]
    args, side, schedule, n = numbers(book), book["side"], book["dividends"], book["rows"]
    price_us = american["stored rows"][1e-6][0]
    european_us = best_us(lambda: vnp.bs_price(*args, side, dividends=schedule), n, repeat)
    targets.append(["European price against the American at `tol=1e-6`", f"{european_us / price_us:.2f}× the cost",
                    f"≤ 0.1×: {verdict(european_us / price_us <= 0.1)}"])
    costs = []
    greeks_us, _ = timed(lambda: vnp.am_greeks(*args, side, model="integral", dividends=schedule), n, repeat)
    costs.append(["`am_greeks`, `tol=1e-6`", f"{greeks_us:,.0f}", f"{greeks_us / price_us:.1f}× `am_price`", "–"])
    quotes = vnp.am_price(*args, side, model="integral", dividends=schedule)
    implied_us, vols = timed(lambda: vnp.am_implied_vol(quotes, *args[:4], args[5], side, model="integral",
                                                        dividends=schedule), n, repeat)
    costs.append(["`am_implied_vol`, `tol=1e-6`", f"{implied_us:,.0f}", f"{implied_us / price_us:.1f}× `am_price`",
                  "≤ 8×: " + verdict(implied_us / price_us <= 8)])
    eu_greeks_us = best_us(lambda: vnp.bs_greeks(*args, side, dividends=schedule), n, repeat)
    costs.append(["`bs_greeks`", f"{eu_greeks_us:,.0f}", f"{eu_greeks_us / european_us:.1f}× `bs_price`", "–"])
    eu_quotes = vnp.bs_price(*args, side, dividends=schedule)
    eu_implied_us = best_us(lambda: vnp.bs_implied_vol(eu_quotes, *args[:4], args[5], side, dividends=schedule), n,
                            repeat)
    costs.append(["`bs_implied_vol`", f"{eu_implied_us:,.0f}", f"{eu_implied_us / european_us:.1f}× `bs_price`",
                  "≤ 8×: " + verdict(eu_implied_us / european_us <= 8)])
    round_trip = np.nanmax(np.abs(vols - book["sigma"]) / book["sigma"])
    costs.append(["`am_implied_vol` round trip, largest relative miss of σ", f"{round_trip:.1e}", "", "–"])
    print("## The other functions, stored American rows\n")
    print(table(["function", "µs per option", "against", "target"], costs))
    print()

    for label, spots in (("a chain of 41 strikes", False), ("a ladder of 41 spots", True)):
        c = chain_of(41, spots)
        c_args = numbers(c)
        shared_us = best_us(lambda: vnp.am_price(*c_args, c["side"], model="integral", dividends=c["dividends"]),
                            41, repeat)
        # The same rows with every row's volatility nudged apart: nothing shared.
        apart = [*c_args[:4], c["sigma"] * (1 + 1e-9 * np.arange(41)), c_args[5]]
        alone_us = best_us(lambda: vnp.am_price(*apart, c["side"], model="integral", dividends=c["dividends"]),
                           41, repeat)
        targets.append([f"{label} sharing (t, r, q, σ, schedule), `tol=1e-6`, against independent rows",
                        f"{shared_us / alone_us:.2f}× the cost ({shared_us:,.0f} µs a row)", "(measured)"])

    big = [np.tile(x, 2) for x in numbers(books["random book"])]
    big_side = np.tile(books["random book"]["side"], 2)
    big_schedule = tuple(np.tile(x, (2, 1)) for x in books["random book"]["dividends"])
    one = best_us(lambda: vnp.am_price(*big, big_side, model="integral", tol=1e-4, dividends=big_schedule),
                  big[0].size, repeat)
    two = best_us(lambda: vnp.am_price(*big, big_side, model="integral", tol=1e-4, dividends=big_schedule,
                                       workers=2), big[0].size, repeat)
    targets.append(["`workers=2` against `workers=1` (random book twice, `tol=1e-4`)",
                    f"{one / two:.2f}× the throughput", f"≥ 1.7×: {verdict(one / two >= 1.7)}"])
    print("## Targets\n")
    print(table(["measure", "figure", "target"], targets))


if __name__ == "__main__":
    main()
