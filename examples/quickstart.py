"""Price a small book of European and American options with varnelle."""

import varnelle

BOOK = [
    # (label, s, k, t, r, sigma, q, side)
    ("ATM 1y", 100.0, 100.0, 1.0, 0.05, 0.20, 0.00, "call"),
    ("ATM 1y", 100.0, 100.0, 1.0, 0.05, 0.20, 0.00, "put"),
    ("OTM 6m, yield", 100.0, 110.0, 0.5, 0.03, 0.25, 0.02, "call"),
    ("ITM 6m, yield", 100.0, 110.0, 0.5, 0.03, 0.25, 0.02, "put"),
    ("OTM 3y, yield", 80.0, 100.0, 3.0, 0.01, 0.15, 0.21, "call"),
]


def main() -> None:
    header = f"{'option':<16}{'side':<6}{'model':<10}{'price':>10}{'delta':>10}{'gamma':>10}{'theta':>10}{'vega':>10}{'rho':>10}"
    print(header)
    print("-" * len(header))
    for label, s, k, t, r, sigma, q, side in BOOK:
        eu = varnelle.bs_greeks(s, k, t, r, sigma, q, side)
        am = varnelle.am_greeks(s, k, t, r, sigma, q, side)
        am_price = varnelle.am_price(s, k, t, r, sigma, q, side)
        for model, price, g in (("European", None, eu), ("American", am_price, am)):
            shown = "" if price is None else f"{price:.4f}"
            print(
                f"{label:<16}{side:<6}{model:<10}{shown:>10}{g.delta:>10.4f}{g.gamma:>10.4f}"
                f"{g.theta:>10.4f}{g.vega:>10.4f}{g.rho:>10.4f}"
            )
    print()
    print("theta per calendar day, vega per 1.00 of volatility, rho per 1% of rate")
    print(varnelle.bs_greeks(100, 100, 1, 0.05, 0.2))


if __name__ == "__main__":
    main()
