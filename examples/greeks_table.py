"""Price a small book of European and American options and draw their Greeks.

    python examples/greeks_table.py [--figure PATH | --no-figure]

Prints one aligned row per option: price, delta, gamma, theta, vega and rho,
in the units varnelle uses (theta per calendar day, vega per 1.00 of
volatility, rho per 1 % of rate). Then draws price, delta, gamma, theta and
vega against spot for a call and a put, European and American, into a PNG
(build/greeks_vs_spot.png unless --figure says otherwise) and prints its path.

The table needs only varnelle; the figure needs matplotlib (`pip install
"varnelle[examples]"`). `make demo` sets all of this up in build/venv-demo.
"""

from __future__ import annotations

import argparse
import os
import sys
import tempfile
from pathlib import Path

DEFAULT_FIGURE = Path(__file__).resolve().parent.parent / "build" / "greeks_vs_spot.png"
INSTALL_HINT = 'pip install "varnelle[examples]"'

# (s, k, t, r, sigma, q); every option is shown as a call and a put.
BOOK = [
    (100.0, 100.0, 1.00, 0.05, 0.20, 0.00),
    (100.0, 110.0, 0.50, 0.03, 0.25, 0.02),
    (120.0, 100.0, 0.25, 0.02, 0.20, 0.08),
    (70.0, 100.0, 1.00, 0.05, 0.20, 0.00),
]

# Heading, width and format of each column: the inputs, then price and Greeks.
INPUT_COLUMNS = [("spot", 6, "g"), ("strike", 7, "g"), ("years", 6, "g"),
                 ("rate", 6, ".0%"), ("vol", 5, ".0%"), ("yield", 6, ".0%")]
OUTPUT_COLUMNS = [("price", 10, ".4f"), ("delta", 9, ".4f"), ("gamma", 9, ".5f"),
                  ("theta", 10, ".5f"), ("vega", 9, ".4f"), ("rho", 9, ".4f")]

# The figure: one strike, spot swept across it.
FIGURE_OPTION = dict(k=100.0, t=0.5, r=0.05, sigma=0.25, q=0.03)
FIGURE_SPOTS = (50.0, 150.0, 201)


def fail(message: str) -> int:
    print(f"{Path(sys.argv[0]).name}: {message}", file=sys.stderr)
    return 1


def book_rows(varnelle, bs_price):
    """(side, style, inputs, price, greeks) for every option of the book."""
    rows = []
    for inputs in BOOK:
        for side in ("call", "put"):
            rows.append((side, "European", inputs, bs_price(*inputs, side), varnelle.bs_greeks(*inputs, side)))
            rows.append((side, "American", inputs, varnelle.am_price(*inputs, side), varnelle.am_greeks(*inputs, side)))
    return rows


def render_table(rows) -> str:
    columns = INPUT_COLUMNS + OUTPUT_COLUMNS
    head = f"{'side':<4}  {'style':<8}" + "".join(f"{name:>{width}}" for name, width, _ in columns)
    lines = [head, "-" * len(head)]
    for side, style, inputs, price, g in rows:
        values = (*inputs, price, g.delta, g.gamma, g.theta, g.vega, g.rho)
        lines.append(f"{side:<4}  {style:<8}" + "".join(
            f"{value:>{width}{fmt}}" for value, (_, width, fmt) in zip(values, columns)))
    return "\n".join(lines)


def curves(varnelle, bs_price):
    """Price and Greeks against spot: {(side, style): {quantity: [values]}}."""
    low, high, count = FIGURE_SPOTS
    spots = [low + (high - low) * i / (count - 1) for i in range(count)]
    o = FIGURE_OPTION
    result = {}
    for side in ("call", "put"):
        for style in ("European", "American"):
            series = {name: [] for name in ("price", "delta", "gamma", "theta", "vega")}
            for s in spots:
                args = (s, o["k"], o["t"], o["r"], o["sigma"], o["q"], side)
                if style == "European":
                    price, g = bs_price(*args), varnelle.bs_greeks(*args)
                else:
                    price, g = varnelle.am_price(*args), varnelle.am_greeks(*args)
                for name, value in zip(series, (price, g.delta, g.gamma, g.theta, g.vega)):
                    series[name].append(value)
            result[side, style] = series
    return spots, result


def draw_figure(pyplot, spots, data):
    o = FIGURE_OPTION
    names = [("price", "price"), ("delta", "delta"), ("gamma", "gamma"),
             ("theta", "theta (per day)"), ("vega", "vega (per 1.00 vol)")]
    fig, axes = pyplot.subplots(2, len(names), figsize=(17, 6.4), sharex=True, constrained_layout=True)
    for row, side in enumerate(("call", "put")):
        for col, (name, title) in enumerate(names):
            ax = axes[row][col]
            ax.plot(spots, data[side, "European"][name], color="tab:blue", lw=1.8, label="European (Black-Scholes)")
            ax.plot(spots, data[side, "American"][name], color="tab:orange", lw=1.4, ls="--",
                    label="American (Bjerksund-Stensland 2002)")
            ax.axvline(o["k"], color="0.75", lw=0.8, zorder=0)
            ax.grid(True, color="0.92")
            ax.set_title(f"{side} {title}", fontsize=10)
            if row == 1:
                ax.set_xlabel("spot")
    axes[0][0].legend(fontsize=8, loc="upper left")
    fig.suptitle(
        f"varnelle: strike {o['k']:g}, {o['t']:g} years, rate {o['r']:.0%}, volatility {o['sigma']:.0%}, "
        f"dividend yield {o['q']:.0%}", fontsize=11)
    return fig


def save_figure(fig, path: Path) -> None:
    """Writes the PNG next to its destination and renames it into place, so
    the path holds either the old file or the complete new one."""
    path.parent.mkdir(parents=True, exist_ok=True)
    fd, temporary = tempfile.mkstemp(prefix=f".{path.name}.", suffix=".tmp", dir=path.parent)
    try:
        with os.fdopen(fd, "wb") as stream:
            fig.savefig(stream, format="png", dpi=100)
        # mkstemp makes the file private; give it the mode a plain open() would.
        umask = os.umask(0)
        os.umask(umask)
        os.chmod(temporary, 0o666 & ~umask)
        os.replace(temporary, path)
    except BaseException:
        Path(temporary).unlink(missing_ok=True)
        raise


def parse_args(argv):
    parser = argparse.ArgumentParser(
        description="Price a small book of European and American options with varnelle "
        "and draw price and Greeks against spot.")
    group = parser.add_mutually_exclusive_group()
    group.add_argument("--figure", type=Path, default=DEFAULT_FIGURE, metavar="PATH",
                       help=f"where to write the PNG (default: {DEFAULT_FIGURE})")
    group.add_argument("--no-figure", action="store_true", help="print the table only")
    args = parser.parse_args(argv)
    if not args.no_figure:
        if args.figure.is_dir():
            parser.error(f"--figure {str(args.figure)!r} is a directory; name a .png file")
        if args.figure.suffix.lower() != ".png":
            parser.error(f"--figure must name a .png file, not {str(args.figure)!r}")
    return args


def main(argv=None) -> int:
    args = parse_args(argv)
    try:
        import varnelle
    except ModuleNotFoundError as error:
        if error.name != "varnelle":
            raise
        return fail(f"varnelle is not installed in {sys.executable}; run `make demo`, "
                    "or pip install the wheel from build/dist/")
    from pricing_reference import bs_price

    pyplot = None
    if not args.no_figure:
        # Checked before any output, so a missing plotting library costs nothing.
        try:
            import matplotlib
        except ModuleNotFoundError as error:
            if error.name != "matplotlib":
                raise
            return fail(f"the figure needs matplotlib; install it with: {INSTALL_HINT} "
                        "(or pass --no-figure)")
        matplotlib.use("Agg")  # files only, no display needed
        import matplotlib.pyplot as pyplot

    print(render_table(book_rows(varnelle, bs_price)))
    print()
    print("theta per calendar day, vega per 1.00 of volatility, rho per 1 % of rate.")
    print("American rows are the scalar module's Bjerksund-Stensland 2002 model (varnelle_np's")
    print('model="bs2002"; its default, the integral model, is in american_models.py), their')
    print("Greeks finite differences of am_price; European prices are the closed-form")
    print("Black-Scholes values (varnelle returns European Greeks, not prices).")

    if pyplot is not None:
        spots, data = curves(varnelle, bs_price)
        fig = draw_figure(pyplot, spots, data)
        path = args.figure.resolve()
        try:
            save_figure(fig, path)
        except OSError as error:
            return fail(f"could not write the figure to {path}: {error.strerror or error}")
        finally:
            pyplot.close(fig)
        print()
        print(f"figure: {path}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
