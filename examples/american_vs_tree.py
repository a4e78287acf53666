"""How far varnelle's American prices sit from a fine binomial tree.

Prints two Markdown tables. The first, for a few calls and puts, sets
varnelle.am_price (the Bjerksund-Stensland 2002 model) and varnelle_np's
integral model (am_price(..., model="integral")) next to a 2,000-step
Cox-Ross-Rubinstein tree (American exercise) and the European Black-Scholes
value. The second shows the rows
where the model's twelve-term sum overshoots (low volatility, long expiry,
strongly negative carry): the sum itself, recomputed here in Python from the
model's formulas, beside varnelle's value, capped at the perpetual option's,
the tree and the European value. The README's model note shows both; run

    python examples/american_vs_tree.py

to reproduce it (about a second; needs NumPy, which `pip install
"varnelle[examples]"` brings).
"""

from __future__ import annotations

import math
import sys

from pricing_reference import binomial_price, bs_price

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

# Rows where the twelve-term sum exceeds the perpetual option's value.
CAPPED_CASES = [
    (247.0, 100.0, 5.0, 0.08, 0.06, 0.01, "put"),
    (123.0, 100.0, 6.0, 0.07, 0.04, 0.03, "put"),
    (176.0, 255.6, 4.82, 0.0299, 0.248, 0.286, "call"),
    (80.0, 100.0, 3.0, 0.01, 0.15, 0.21, "call"),
]

GOLDEN = 0.6180339887498949  # t1 = GOLDEN * t splits the life in two


def _normal_cdf(x: float) -> float:
    return 0.5 * math.erfc(-x / math.sqrt(2.0))


def _model_call(S: float, K: float, T: float, r: float, b: float, sigma: float, capped: bool) -> float:
    """The Bjerksund-Stensland 2002 call with carry b as varnelle evaluates
    it, before the floor at the intrinsic value; capped=False leaves out the
    cap at the perpetual call's value. In NumPy's doubles, so that an
    overflow gives an infinity (and a NaN sum the European value) as in the
    library, where Python's floats would raise."""
    import numpy as np
    european = bs_price(S, K, T, r, sigma, r - b, "call")
    if b >= r:
        return european
    with np.errstate(all="ignore"):
        return _model_sum(*map(np.float64, (S, K, T, r, b, sigma)), european, capped)


def _model_sum(S, K, T, r, b, sigma, european: float, capped: bool) -> float:
    import numpy as np

    sigma2 = sigma * sigma
    beta = (0.5 - b / sigma2) + np.sqrt((b / sigma2 - 0.5) ** 2 + 2.0 * r / sigma2)
    b_inf = beta / (beta - 1.0) * K
    b0 = max(K, r / (r - b) * K)

    def trigger(tau: float) -> float:
        h = -(b * tau + 2.0 * sigma * np.sqrt(tau)) * b0 / (b_inf - b0)
        return b0 + (b_inf - b0) * (1.0 - np.exp(h))

    i2 = trigger(T)
    if S >= i2:
        return max(european, float(S - K))
    t1 = GOLDEN * T
    i1 = trigger(t1)
    alpha1 = (i1 - K) * i1 ** -beta
    alpha2 = (i2 - K) * i2 ** -beta

    def phi(tau: float, gamma: float, h: float) -> float:
        # The barrier of every phi is I1.
        vol = sigma * np.sqrt(tau)
        d = (np.log(S / h) + (b + (gamma - 0.5) * sigma2) * tau) / vol
        kappa = 2.0 * b / sigma2 + (2.0 * gamma - 1.0)
        growth = -r + gamma * b + 0.5 * gamma * (gamma - 1.0) * sigma2
        return np.exp(growth * tau) * S**gamma * (
            _normal_cdf(-d) - (i1 / S) ** kappa * _normal_cdf(-d - 2.0 * np.log(i1 / S) / vol))

    total = (alpha1 * phi(t1, beta, i1) - alpha1 * phi(t1, beta, i2)
             + phi(t1, 1, i2) - phi(t1, 1, K) - K * phi(t1, 0, i2) + K * phi(t1, 0, K)
             + alpha2 * phi(T, beta, i2) - alpha2 * phi(T, beta, i1)
             + phi(T, 1, i1) - phi(T, 1, i2) - K * phi(T, 0, i1) + K * phi(T, 0, i2))
    if capped:
        total = min(total, (b_inf - K) * (S / b_inf) ** beta)  # a NaN sum stays NaN
    return max(european, float(total))  # and a NaN sum gives the European value


def model_price(s: float, k: float, t: float, r: float, sigma: float, q: float, option_type: str,
                *, capped: bool = True) -> float:
    """varnelle's American price recomputed from the model's formulas (for
    t > 0, sigma > 0; to about 1e-9 relative, since the library's normal
    distribution and order of operations differ); capped=False gives what
    the model returned before the cap at the perpetual value."""
    b = r - q
    if option_type == "call":
        return max(_model_call(s, k, t, r, b, sigma, capped), s - k, 0.0)
    # The put as the transformed call: spot and strike swap, rate q, carry -b.
    return max(_model_call(k, s, t, r - b, -b, sigma, capped), k - s, 0.0)


def rows() -> list[tuple[str, ...]]:
    import varnelle
    import varnelle_np

    out = []
    for s, k, t, r, sigma, q, side in CASES:
        ours = varnelle.am_price(s, k, t, r, sigma, q, side)
        integral = float(varnelle_np.am_price(s, k, t, r, sigma, q, side, model="integral"))
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
                f"{integral:.4f}",
                f"{tree:.4f}",
                f"{european:.4f}",
                f"{ours - tree:+.4f}",
                f"{integral - tree:+.4f}",
            )
        )
    return out


def capped_rows() -> list[tuple[str, ...]]:
    import varnelle

    out = []
    for s, k, t, r, sigma, q, side in CAPPED_CASES:
        out.append((side, f"{s:g}", f"{k:g}", f"{t:g}", f"{r:g}", f"{sigma:g}", f"{q:g}",
                    *(f"{value:.4g}" for value in (
                        model_price(s, k, t, r, sigma, q, side, capped=False),
                        varnelle.am_price(s, k, t, r, sigma, q, side),
                        binomial_price(s, k, t, r, sigma, q, side, steps=STEPS, american=True),
                        bs_price(s, k, t, r, sigma, q, side)))))
    return out


def markdown(header: tuple[str, ...], body: list[tuple[str, ...]]) -> str:
    align = ("---",) + ("--:",) * (len(header) - 1)
    return "\n".join("| " + " | ".join(cells) + " |" for cells in (header, align, *body))


def markdown_table() -> str:
    inputs = ("side", "s", "k", "t", "r", "sigma", "q")
    return markdown((*inputs, "bs2002", "integral", f"tree ({STEPS:,} steps)", "European", "bs2002 − tree",
                     "integral − tree"), rows())


def capped_table() -> str:
    return markdown(("side", "s", "k", "t", "r", "sigma", "q", "twelve-term sum, uncapped", "varnelle (capped)",
                     f"tree ({STEPS:,} steps)", "European"), capped_rows())


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
    print()
    print(capped_table())
    return 0


if __name__ == "__main__":
    sys.exit(main())
