"""How far varnelle's American prices sit from a fine binomial tree.

Prints a Markdown table, for a few calls and puts, of varnelle.am_price next
to a 2,000-step Cox-Ross-Rubinstein tree (American exercise) and the European
Black-Scholes value. The README's model note shows this table; run

    python examples/american_vs_tree.py

to reproduce it (about a second; needs NumPy, which `pip install
"varnelle[examples]"` brings).
"""

from __future__ import annotations

import sys

STEPS = 2000

# (s, k, t, r, sigma, q, option_type)
CASES = [
    (100.0, 100.0, 1.0, 0.05, 0.20, 0.00, "call"),
    (100.0, 100.0, 1.0, 0.03, 0.25, 0.04, "call"),
    (120.0, 100.0, 1.0, 0.02, 0.20, 0.08, "call"),
    (100.0, 100.0, 1.0, 0.05, 0.20, 0.00, "put"),
    (90.0, 100.0, 0.5, 0.06, 0.25, 0.00, "put"),
    (70.0, 100.0, 1.0, 0.05, 0.20, 0.00, "put"),
    (110.0, 100.0, 2.0, 0.04, 0.30, 0.01, "put"),
]


def rows() -> list[tuple[str, ...]]:
    import varnelle
    from pricing_reference import binomial_price, bs_price

    out = []
    for s, k, t, r, sigma, q, side in CASES:
        ours = varnelle.am_price(s, k, t, r, sigma, q, side)
        tree = binomial_price(s, k, t, r, sigma, q, side, steps=STEPS, american=True)
        european = bs_price(s, k, t, r, sigma, q, side)
        out.append(
            (
                side,
                f"{s:g}",
                f"{k:g}",
                f"{t:g}",
                f"{r:.2f}",
                f"{sigma:.2f}",
                f"{q:.2f}",
                f"{ours:.4f}",
                f"{tree:.4f}",
                f"{european:.4f}",
                f"{ours - tree:+.4f}",
            )
        )
    return out


def markdown_table() -> str:
    header = ("side", "s", "k", "t", "r", "sigma", "q", "varnelle", f"tree ({STEPS:,} steps)", "European", "varnelle − tree")
    align = ("---",) + ("--:",) * (len(header) - 1)
    lines = [header, align, *rows()]
    return "\n".join("| " + " | ".join(cells) + " |" for cells in lines)


def main() -> int:
    try:
        import numpy  # noqa: F401
        import varnelle  # noqa: F401
    except ModuleNotFoundError as error:
        print(
            f"american_vs_tree.py: {error.name} is not installed; "
            f'install it with: pip install "varnelle[examples]"',
            file=sys.stderr,
        )
        return 1
    print(markdown_table())
    return 0


if __name__ == "__main__":
    sys.exit(main())
