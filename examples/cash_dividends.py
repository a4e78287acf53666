"""An American call and put on a stock that pays cash dividends: their value
and when they are exercised, through a year of quarterly ex-dates.

    python examples/cash_dividends.py [--figure cash_dividends.png]

Both options have one year to run today, strike 100, r 5 %, σ 25 %, no
continuous yield, and the stock pays 1.00 on four ex-dates. As the year
passes, each option's remaining life and its remaining dividends shrink: the
value is read at a spot of 100. Prints, for each ex-date, both values just
before and just after it (the spot falling by the dividend), the call's
critical spot on its eve and the put's exercise boundary on the morning
after, and with --figure draws them through the year as a PNG (needs
matplotlib, which `pip install "varnelle[examples]"` brings). `make demo`
runs it.

A call on a stock without a continuous yield is worth exercising only at the
last moment before an ex-date (holding on earns the interest on the strike
until then), and only where the dividend outweighs what is left of the
call: S - K >= C(S - D) just after. am_exercise_boundary, today's critical
spot, is +inf for it at any other time; the critical spot on an eve is
found here from the prices themselves. None exists where the interest on
the strike until expiry outweighs the dividend. A put's holder waits for
the dividend: its boundary falls towards zero as an ex-date nears and jumps
back up after it.
"""

from __future__ import annotations

import argparse
import sys

K, R, SIGMA, SPOT, T = 100.0, 0.05, 0.25, 100.0, 1.0
EX_DAYS = (45, 136, 227, 318)
AMOUNT = 1.0
TOL = 1e-4
BEFORE = 1e-6  # years: "just before" an ex-date


def schedule_at(np, u):
    """The dividends still to come at time u (years from today), as seen
    then: times from u, amounts; paid ones fall outside the option's life."""
    times = np.array(EX_DAYS) / 365.0 - u
    return times, np.full(times.shape, AMOUNT)


def value(np, vnp, spot, u, side, tol=TOL):
    times, amounts = schedule_at(np, u)
    return vnp.am_price(spot, K, T - u, R, SIGMA, 0.0, side, model="integral", tol=tol, dividends=(times, amounts))


def call_critical_spot(np, vnp, t_i):
    """The spot at or above which the call is exercised on the eve of the
    ex-date t_i: the root of S - K - C(S - D) just after, by bisection; inf
    where holding on is worth more at every spot up to five strikes. Deep in
    the money the two sides differ by a small part of the price, so the
    prices are solved tightly."""
    after = lambda s: (s - K) - value(np, vnp, s - AMOUNT, t_i, "call", tol=1e-8)  # noqa: E731
    low, high = K, 5.0 * K
    if after(high) < 0.0:
        return np.inf
    for _ in range(40):
        middle = 0.5 * (low + high)
        low, high = (low, middle) if after(middle) >= 0.0 else (middle, high)
    return high


def through_the_year(np, vnp):
    """Times u from today to expiry (dense, plus each ex-date's eve and
    morning), each side's value at SPOT, the put's boundary."""
    ex = np.array(EX_DAYS) / 365.0
    u = np.unique(np.concatenate([np.linspace(0.0, 0.99, 199), ex - BEFORE, ex + BEFORE]))
    times, amounts = schedule_at(np, u[:, None])
    values = {side: vnp.am_price(SPOT, K, T - u, R, SIGMA, 0.0, side, model="integral", tol=TOL,
                                 dividends=(times, amounts)) for side in ("call", "put")}
    boundary = vnp.am_exercise_boundary(K, T - u, R, SIGMA, 0.0, "put", tol=TOL, dividends=(times, amounts))
    return u, values, boundary


def draw(path: str, np, vnp) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    u, values, boundary = through_the_year(np, vnp)
    days = 365.0 * u
    figure, (left, right) = plt.subplots(1, 2, figsize=(11, 4.2))
    for side, value_ in values.items():
        left.plot(days, value_, label=f"American {side}")
    right.plot(days, boundary, color="C1", label="put: exercised at or below")
    eves = [(day, call_critical_spot(np, vnp, day / 365.0)) for day in EX_DAYS]
    shown = [(day, spot) for day, spot in eves if np.isfinite(spot)]
    right.plot([d for d, _ in shown], [s for _, s in shown], "v", color="C0", ms=8,
               label="call: exercised at or above, on an ex-date's eve")
    for axis in (left, right):
        for day in EX_DAYS:
            axis.axvline(day, color="grey", lw=0.8, ls=":")
        axis.set_xlabel("days from today (ex-dates dotted)")
    left.set(ylabel=f"value at a spot of {SPOT:g}",
             title=f"Value (k {K:g}, one year, r {R:.0%}, σ {SIGMA:.0%}, {AMOUNT:.2f} a quarter)")
    right.axhline(K, color="grey", lw=0.8)
    right.set(ylabel="critical spot price", title="When each is exercised")
    left.legend()
    right.legend(fontsize=8, loc="center left")
    figure.tight_layout()
    figure.savefig(path, dpi=110)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--figure", help="write the figure to this PNG file")
    args = parser.parse_args()
    try:
        import numpy as np

        import varnelle_np as vnp
    except ModuleNotFoundError as error:
        print(f'cash_dividends.py: {error.name} is not installed; pip install "varnelle[examples]"', file=sys.stderr)
        return 1
    print("| ex-date (day) | call before | call after | call's critical spot on the eve | put before "
          "| put after | put boundary after |")
    print("|---:|---:|---:|---:|---:|---:|---:|")
    for day in EX_DAYS:
        t_i = day / 365.0
        times, amounts = schedule_at(np, t_i + BEFORE)
        put_boundary = vnp.am_exercise_boundary(K, T - t_i - BEFORE, R, SIGMA, 0.0, "put", tol=TOL,
                                                dividends=(times, amounts))
        cells = [value(np, vnp, SPOT, t_i - BEFORE, "call"), value(np, vnp, SPOT - AMOUNT, t_i + BEFORE, "call"),
                 call_critical_spot(np, vnp, t_i), value(np, vnp, SPOT, t_i - BEFORE, "put"),
                 value(np, vnp, SPOT - AMOUNT, t_i + BEFORE, "put"), put_boundary]
        print(f"| {day} | " + " | ".join(f"{c:.4f}" for c in cells) + " |")
    if args.figure:
        draw(args.figure, np, vnp)
        print(f"figure: {args.figure}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
