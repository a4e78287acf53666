"""Small pure-Python references used by the examples.

The scalar module varnelle returns the Greeks of European options but not
their price (varnelle_np.bs_price is one), and its American price is an
approximation. The examples put both next to textbook numbers from here,
which need nothing but Python (and NumPy for the tree):

* ``bs_price``: the closed-form Black-Scholes price with a continuous
  dividend yield, the price whose derivatives varnelle's bs_* functions are.
* ``binomial_price``: a Cox-Ross-Rubinstein tree, European or American. With a
  couple of thousand steps it is the usual yardstick for American options
  (accurate to about a cent here), at a few milliseconds per option with NumPy.

Run as a script, it prints both for a few calls and puts:

    python examples/pricing_reference.py
"""

from __future__ import annotations

import importlib.util
import math
import sys

# (s, k, t, r, sigma, q) of the table the script prints.
SHOWN = [
    (100.0, 100.0, 1.0, 0.05, 0.20, 0.00),
    (90.0, 100.0, 0.5, 0.06, 0.25, 0.00),
    (120.0, 100.0, 1.0, 0.02, 0.20, 0.08),
]


def _normal_cdf(x: float) -> float:
    return 0.5 * math.erfc(-x / math.sqrt(2.0))


def _is_call(option_type: str) -> bool:
    side = option_type.lower()
    if side in ("call", "c"):
        return True
    if side in ("put", "p"):
        return False
    raise ValueError(f"option_type must be 'call' or 'put', not {option_type!r}")


def bs_price(s: float, k: float, t: float, r: float, sigma: float, q: float = 0.0, option_type: str = "call") -> float:
    """Black-Scholes price of a European option with dividend yield ``q``."""
    call = _is_call(option_type)
    if t <= 0.0 or sigma <= 0.0:
        # Expiry, or no volatility: the discounted payoff of the forward.
        forward = s * math.exp((r - q) * max(t, 0.0))
        payoff = forward - k if call else k - forward
        return math.exp(-r * max(t, 0.0)) * max(payoff, 0.0)
    sd = sigma * math.sqrt(t)
    d1 = (math.log(s / k) + (r - q + 0.5 * sigma * sigma) * t) / sd
    d2 = d1 - sd
    growth = s * math.exp(-q * t)
    discount = k * math.exp(-r * t)
    if call:
        return growth * _normal_cdf(d1) - discount * _normal_cdf(d2)
    return discount * _normal_cdf(-d2) - growth * _normal_cdf(-d1)


def binomial_price(
    s: float,
    k: float,
    t: float,
    r: float,
    sigma: float,
    q: float = 0.0,
    option_type: str = "call",
    *,
    steps: int = 2000,
    american: bool = True,
) -> float:
    """Cox-Ross-Rubinstein tree price; needs NumPy."""
    import numpy as np

    if steps < 1:
        raise ValueError("steps must be at least 1")
    call = _is_call(option_type)
    dt = t / steps
    up = math.exp(sigma * math.sqrt(dt))
    down = 1.0 / up
    p_up = (math.exp((r - q) * dt) - down) / (up - down)
    if not 0.0 < p_up < 1.0:
        raise ValueError("too few steps for these inputs: the tree's up probability leaves (0, 1)")
    discount = math.exp(-r * dt)
    # Spot at the nodes of the last step, highest first.
    spots = s * up ** np.arange(steps, -steps - 1, -2, dtype=float)
    values = np.maximum(spots - k, 0.0) if call else np.maximum(k - spots, 0.0)
    for _ in range(steps):
        spots = spots[:-1] * down
        values = discount * (p_up * values[:-1] + (1.0 - p_up) * values[1:])
        if american:
            np.maximum(values, spots - k if call else k - spots, out=values)
    return float(values[0])


def reference_table(steps: int = 2000) -> str:
    """The closed-form price and the tree's European and American prices of
    SHOWN, aligned; steps=0 leaves the tree columns out."""
    head = f"{'side':<4}  {'s':>6}  {'k':>6}  {'t':>5}  {'r':>5}  {'sigma':>5}  {'q':>5}  {'Black-Scholes':>13}"
    if steps:
        head += f"  {'tree, European':>14}  {'tree, American':>14}"
    lines = [head, "-" * len(head)]
    for side in ("call", "put"):
        for s, k, t, r, sigma, q in SHOWN:
            line = (f"{side:<4}  {s:>6g}  {k:>6g}  {t:>5g}  {r:>5.2f}  {sigma:>5.2f}  {q:>5.2f}  "
                    f"{bs_price(s, k, t, r, sigma, q, side):>13.4f}")
            if steps:
                for american in (False, True):
                    line += f"  {binomial_price(s, k, t, r, sigma, q, side, steps=steps, american=american):>14.4f}"
            lines.append(line)
    return "\n".join(lines)


def main() -> int:
    have_numpy = importlib.util.find_spec("numpy") is not None
    print(reference_table(2000 if have_numpy else 0))
    if not have_numpy:
        print('\n(the binomial tree needs NumPy: pip install "varnelle[examples]")')
    return 0


if __name__ == "__main__":
    sys.exit(main())
