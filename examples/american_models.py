"""varnelle_np's two American models side by side: where the integral model
puts the early-exercise boundary, and how far each model's price is from the
accurate value across moneyness.

    python examples/american_models.py [--figure american_models.png]

Prints a table of the boundary and of the errors, and with --figure draws
both as a PNG (needs matplotlib, which `pip install "varnelle[examples]"`
brings). `make demo` runs it.

The accurate value is the integral model at its tightest target (tol=1e-10);
the test suite holds that model to an independent high-precision reference
set and to a finite-difference solver.
"""

from __future__ import annotations

import argparse
import sys

K, R, Q = 100.0, 0.05, 0.01
SIGMAS = (0.2, 0.4)
T = 1.0


def boundary_curves(np, vnp):
    """Time to expiry, and the put's exercise boundary at each volatility."""
    t = np.linspace(0.0, 3.0, 121)[1:]
    return t, {sigma: vnp.am_exercise_boundary(K, t, R, sigma, Q, "put") for sigma in SIGMAS}


def error_curves(np, vnp, side: str):
    """Spot, and each model's error relative to max(value, 0.005 k). Calls
    are shown with rate and yield swapped, where early exercise pays."""
    s = np.linspace(60.0, 160.0, 201)
    sigma = SIGMAS[0]
    r, q = (R, Q) if side == "put" else (Q, R)
    exact = vnp.am_price(s, K, T, r, sigma, q, side, model="integral", tol=1e-10)
    scale = np.maximum(exact, 0.005 * K)
    models = {
        "European (bs_price)": vnp.bs_price(s, K, T, r, sigma, q, side),
        "bs2002": vnp.am_price(s, K, T, r, sigma, q, side, model="bs2002"),
        "integral, tol=1e-4": vnp.am_price(s, K, T, r, sigma, q, side, tol=1e-4),
        "integral, tol=1e-6 (default)": vnp.am_price(s, K, T, r, sigma, q, side),
    }
    return s, {name: np.abs(value - exact) / scale for name, value in models.items()}


def draw(path: str, np, vnp) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    figure, (left, right) = plt.subplots(1, 2, figsize=(11, 4.2))
    t, curves = boundary_curves(np, vnp)
    for sigma, boundary in curves.items():
        left.plot(t, boundary, label=f"σ = {sigma:.0%}")
    left.axhline(K * min(1.0, R / Q), color="grey", lw=0.8, ls=":")
    left.set(xlabel="years to expiry", ylabel="critical spot price",
             title=f"Put exercise boundary (k {K:g}, r {R:.0%}, q {Q:.0%})")
    left.legend()
    s, errors = error_curves(np, vnp, "put")
    for name, error in errors.items():
        right.semilogy(s, np.maximum(error, 1e-11), label=name)
    right.set(xlabel="spot", ylabel="error / max(value, 0.005 k)",
              title=f"Put price error (k {K:g}, t {T:g}, σ {SIGMAS[0]:.0%}; exact: tol=1e-10)")
    right.set_ylim(1e-11, 1.0)
    right.legend(fontsize=8)
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
        print(f'american_models.py: {error.name} is not installed; pip install "varnelle[examples]"', file=sys.stderr)
        return 1
    t, curves = boundary_curves(np, vnp)
    print("| years to expiry | " + " | ".join(f"boundary, σ {sigma:.0%}" for sigma in SIGMAS) + " |")
    print("|---:|" + "---:|" * len(SIGMAS))
    for i in range(0, t.size, 20):
        print(f"| {t[i]:.3f} | " + " | ".join(f"{curves[sigma][i]:.4f}" for sigma in SIGMAS) + " |")
    print()
    for side in ("put", "call"):
        s, errors = error_curves(np, vnp, side)
        r, q = (R, Q) if side == "put" else (Q, R)
        print(f"| {side}s, k {K:g}, t {T:g}, r {r:.0%}, q {q:.0%}, σ {SIGMAS[0]:.0%}, spot 60-160 | max error | median error |")
        print("|---|---:|---:|")
        for name, error in errors.items():
            print(f"| {name} | {error.max():.1e} | {np.median(error):.1e} |")
        print()
    if args.figure:
        draw(args.figure, np, vnp)
        print(f"figure: {args.figure}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
