"""The scripts in examples/ as a user runs them: output, files written, and
what they do with bad input or a missing optional library."""

from __future__ import annotations

import importlib.util
import math
import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

import varnelle

ROOT = Path(__file__).resolve().parent.parent
EXAMPLES = ROOT / "examples"
INSTALL_LINE = 'pip install "varnelle[examples]"'
PNG_MAGIC = b"\x89PNG\r\n\x1a\n"


def require_modules(*names: str) -> None:
    missing = [n for n in names if importlib.util.find_spec(n) is None]
    if missing:
        if os.environ.get("CI"):
            pytest.fail(f"{', '.join(missing)} missing; `pip install 'varnelle[test]'` installs them")
        pytest.skip(f"{', '.join(missing)} not installed (pip install 'varnelle[examples]')")


def run_example(script: str, *args: str, cwd: Path, hide: tuple[str, ...] = (), timeout: float = 600):
    """Runs examples/<script> in a fresh interpreter; `hide` makes the named
    modules unimportable there, as if they were not installed."""
    path = EXAMPLES / script
    if hide:
        code = (f"import runpy, sys\nsys.modules.update(dict.fromkeys({list(hide)!r}))\n"
                f"sys.path.insert(0, {str(EXAMPLES)!r})\nsys.argv = [{str(path)!r}, *{list(args)!r}]\n"
                f"runpy.run_path({str(path)!r}, run_name='__main__')\n")
        command = [sys.executable, "-c", code]
    else:
        command = [sys.executable, str(path), *args]
    env = {k: v for k, v in os.environ.items() if k not in ("MPLBACKEND", "DISPLAY")}
    return subprocess.run(command, cwd=cwd, env=env, capture_output=True, text=True, timeout=timeout)


@pytest.fixture(scope="module")
def reference():
    sys.path.insert(0, str(EXAMPLES))
    try:
        import pricing_reference
    finally:
        sys.path.remove(str(EXAMPLES))
    return pricing_reference


def load_script(name: str):
    spec = importlib.util.spec_from_file_location(f"example_{name}", EXAMPLES / f"{name}.py")
    module = importlib.util.module_from_spec(spec)
    sys.path.insert(0, str(EXAMPLES))
    try:
        spec.loader.exec_module(module)
    finally:
        sys.path.remove(str(EXAMPLES))
    return module


# --- the European price the examples show beside varnelle's Greeks ---------

CASES = [
    (100.0, 100.0, 1.0, 0.05, 0.20, 0.00),
    (100.0, 110.0, 0.5, 0.03, 0.25, 0.02),
    (120.0, 100.0, 0.25, 0.02, 0.20, 0.08),
    (70.0, 100.0, 2.0, 0.01, 0.40, 0.03),
]


@pytest.mark.parametrize("side", ["call", "put"])
@pytest.mark.parametrize("case", CASES)
def test_reference_price_is_the_price_whose_greeks_varnelle_returns(reference, case, side):
    """Differences of the examples' Black-Scholes price give varnelle's
    European Greeks in varnelle's units: a wrong sign, dividend treatment or
    unit in either shows up here (and the README's units table with it)."""
    s, k, t, r, sigma, q = case
    price = lambda **change: reference.bs_price(**{**dict(s=s, k=k, t=t, r=r, sigma=sigma, q=q), **change},
                                                option_type=side)
    h = 1e-4
    g = varnelle.bs_greeks(s, k, t, r, sigma, q, side)
    assert (price(s=s + h) - price(s=s - h)) / (2 * h) == pytest.approx(g.delta, abs=1e-6)
    assert (price(s=s + h) - 2 * price() + price(s=s - h)) / h**2 == pytest.approx(g.gamma, abs=1e-4)
    assert (price(sigma=sigma + h) - price(sigma=sigma - h)) / (2 * h) == pytest.approx(g.vega, rel=1e-6)
    assert (price(r=r + h) - price(r=r - h)) / (2 * h) / 100 == pytest.approx(g.rho, abs=1e-7)
    calendar_day = 1 / 365
    assert (price(t=t - h) - price(t=t + h)) / (2 * h) * calendar_day == pytest.approx(g.theta, abs=1e-8)


@pytest.mark.parametrize("case", CASES)
@pytest.mark.parametrize("side", ["call", "put"])
def test_binomial_tree_agrees_with_closed_form_and_bounds_varnelle(reference, case, side):
    require_modules("numpy")
    european_tree = reference.binomial_price(*case, side, steps=2000, american=False)
    american_tree = reference.binomial_price(*case, side, steps=2000, american=True)
    european = reference.bs_price(*case, side)
    assert european_tree == pytest.approx(european, abs=0.01)
    assert american_tree >= european_tree - 1e-12
    # The flat-boundary approximation never beats the fine tree by more than
    # the tree's own error.
    assert varnelle.am_price(*case, side) <= american_tree + 0.01


def test_readme_model_tables_are_what_the_script_prints(tmp_path):
    require_modules("numpy")
    result = run_example("american_vs_tree.py", cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    tables = result.stdout.strip().split("\n\n")
    assert [table.count("\n") for table in tables] == [8, 5]
    readme = (ROOT / "README.md").read_text()
    for table in tables:
        assert table in readme, "README's model tables are stale: rerun examples/american_vs_tree.py"


def model_sweep(count: int, seed: int) -> list[tuple]:
    """Inputs across the model's domain, low volatilities, long expiries and
    strongly negative carries included."""
    import random

    rng = random.Random(seed)
    return [(rng.uniform(20, 300), rng.uniform(20, 300), rng.uniform(0.01, 15), rng.uniform(-0.01, 0.15),
             rng.uniform(0.02, 1.0), rng.uniform(0, 0.3), rng.choice(["call", "put"])) for _ in range(count)]


def test_script_recomputes_varnelles_american_price():
    """The script's uncapped column is only honest if, with the cap, its
    formulas give varnelle's price; a term, sign or cap out of step shows
    here as a difference far above rounding."""
    require_modules("numpy")
    script = load_script("american_vs_tree")
    sweep = model_sweep(3000, 11)
    for row in script.CASES + script.CAPPED_CASES + sweep:
        assert script.model_price(*row) == pytest.approx(varnelle.am_price(*row), rel=1e-8, abs=1e-12), row
    assert any(script.model_price(*row, capped=False) > script.model_price(*row) for row in sweep), \
        "the sweep no longer reaches the cap"


def test_capped_rows_overshot_without_the_cap_and_stay_above_the_european_value(reference):
    require_modules("numpy")
    script = load_script("american_vs_tree")
    for row in script.CAPPED_CASES:
        capped = varnelle.am_price(*row)
        assert script.model_price(*row, capped=False) > 3 * capped, row
        assert capped >= reference.bs_price(*row)
        assert capped < reference.binomial_price(*row, steps=2000) + 0.01


def test_readme_usage_session_is_true():
    import doctest

    readme = (ROOT / "README.md").read_text()
    blocks = [b for b in re.findall(r"```python\n(.*?)```", readme, re.S) if ">>>" in b]
    assert blocks
    parser, runner = doctest.DocTestParser(), doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
    for number, block in enumerate(blocks):
        runner.run(parser.get_doctest(block, {}, f"README block {number}", "README.md", 0))
    assert runner.summarize(verbose=False).failed == 0


@pytest.mark.parametrize("hide", [(), ("numpy",)], ids=["with-numpy", "without-numpy"])
def test_pricing_reference_run_as_a_script_prints_its_prices(tmp_path, reference, hide):
    if not hide:
        require_modules("numpy")
    result = run_example("pricing_reference.py", cwd=tmp_path, hide=hide, timeout=120)
    assert result.returncode == 0 and result.stderr == "", result.stderr
    lines = result.stdout.splitlines()
    header, rule, *rows = lines[:2 + 2 * len(reference.SHOWN)]
    assert set(rule) == {"-"} and len({len(line) for line in (header, rule, *rows)}) == 1, "columns are not aligned"
    assert header.split()[:8] == ["side", "s", "k", "t", "r", "sigma", "q", "Black-Scholes"]
    assert [row.split()[0] for row in rows] == ["call"] * len(reference.SHOWN) + ["put"] * len(reference.SHOWN)
    for row in rows:
        side, *cells = row.split()
        inputs = tuple(map(float, cells[:6]))
        assert inputs in reference.SHOWN
        assert float(cells[6]) == pytest.approx(reference.bs_price(*inputs, side), abs=5e-5)
        if hide:
            assert len(cells) == 7
        else:
            european_tree, american_tree = map(float, cells[7:])
            assert european_tree == pytest.approx(float(cells[6]), abs=0.01)
            assert american_tree >= european_tree
    rest = lines[len(rows) + 2:]
    assert rest == (["", '(the binomial tree needs NumPy: pip install "varnelle[examples]")'] if hide else [])


# --- greeks_table.py --------------------------------------------------------

def parse_table(stdout: str) -> tuple[list[str], list[list[str]], list[str]]:
    lines = stdout.splitlines()
    header, rule = lines[0], lines[1]
    assert set(rule) == {"-"} and len(rule) == len(header)
    rows = lines[2:lines.index("")]
    return header.split(), [row.split() for row in rows], [header, *rows]


def test_greeks_table_prints_the_book_and_writes_the_figure(tmp_path):
    require_modules("matplotlib")
    figure = tmp_path / "new" / "dir" / "greeks.png"
    result = run_example("greeks_table.py", "--figure", str(figure), cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    assert result.stderr == ""

    names, rows, lines = parse_table(result.stdout)
    assert names == ["side", "style", "spot", "strike", "years", "rate", "vol", "yield",
                     "price", "delta", "gamma", "theta", "vega", "rho"]
    assert len({len(line) for line in lines}) == 1, "columns are not aligned"
    # Words start under their heading, numbers end under theirs.
    def edges(line):
        cells = list(re.finditer(r"\S+", line))
        return [m.start() for m in cells[:2]] + [m.end() for m in cells[2:]]

    for line in lines[1:]:
        assert edges(line) == edges(lines[0]), line
    assert {(row[0], row[1]) for row in rows} == {(side, style) for side in ("call", "put")
                                                   for style in ("European", "American")}

    for row in rows:
        side, style = row[0], row[1]
        s, k, t = map(float, row[2:5])
        r, sigma, q = (float(cell.rstrip("%")) / 100 for cell in row[5:8])
        price, delta, gamma, theta, vega, rho = map(float, row[8:])
        shown = dict(delta=delta, gamma=gamma, theta=theta, vega=vega, rho=rho)
        if style == "American":
            g = varnelle.am_greeks(s, k, t, r, sigma, q, side)
            assert price == pytest.approx(varnelle.am_price(s, k, t, r, sigma, q, side), abs=5e-5)
        else:
            g = varnelle.bs_greeks(s, k, t, r, sigma, q, side)
        for name, value in shown.items():
            assert value == pytest.approx(getattr(g, name), abs=5e-5), (row, name)

    assert result.stdout.rstrip().splitlines()[-1] == f"figure: {figure.resolve()}"
    data = figure.read_bytes()
    assert data.startswith(PNG_MAGIC) and len(data) > 20_000
    width, height = int.from_bytes(data[16:20], "big"), int.from_bytes(data[20:24], "big")
    assert (width, height) == (1700, 640)
    assert sorted(p.name for p in figure.parent.iterdir()) == ["greeks.png"], "temporary files left behind"
    umask = os.umask(0)
    os.umask(umask)
    assert figure.stat().st_mode & 0o777 == 0o666 & ~umask, "the figure is not readable like any new file"


def test_greeks_table_replaces_an_existing_figure_whole(tmp_path):
    require_modules("matplotlib")
    figure = tmp_path / "greeks.png"
    figure.write_bytes(b"old")
    result = run_example("greeks_table.py", "--figure", str(figure), cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    assert figure.read_bytes().startswith(PNG_MAGIC)
    assert [p.name for p in tmp_path.iterdir()] == ["greeks.png"]


def test_greeks_table_without_matplotlib_says_what_to_install(tmp_path):
    figure = tmp_path / "greeks.png"
    result = run_example("greeks_table.py", "--figure", str(figure), cwd=tmp_path, hide=("matplotlib",))
    assert result.returncode == 1
    assert result.stdout == ""
    assert len(result.stderr.splitlines()) == 1 and INSTALL_LINE in result.stderr
    assert not figure.exists()

    table_only = run_example("greeks_table.py", "--no-figure", cwd=tmp_path, hide=("matplotlib",))
    assert table_only.returncode == 0, table_only.stderr
    assert "figure:" not in table_only.stdout and table_only.stdout.startswith("side")


def test_greeks_table_without_varnelle_says_what_to_do(tmp_path):
    result = run_example("greeks_table.py", "--no-figure", cwd=tmp_path, hide=("varnelle",))
    assert result.returncode == 1
    assert len(result.stderr.splitlines()) == 1 and "make demo" in result.stderr


@pytest.mark.parametrize("target, message", [
    ("greeks.txt", "must name a .png file"),
    (".", "is a directory"),
])
def test_greeks_table_rejects_a_bad_figure_path_with_usage(tmp_path, target, message):
    result = run_example("greeks_table.py", "--figure", target, cwd=tmp_path)
    assert result.returncode == 2
    assert result.stderr.startswith("usage:") and message in result.stderr
    assert result.stdout == "" and list(tmp_path.iterdir()) == []


def test_greeks_table_reports_an_unwritable_figure_in_one_line(tmp_path):
    require_modules("matplotlib")
    (tmp_path / "a-file").write_text("not a directory")
    result = run_example("greeks_table.py", "--figure", str(tmp_path / "a-file" / "greeks.png"), cwd=tmp_path)
    assert result.returncode == 1
    assert len(result.stderr.splitlines()) == 1 and "could not write the figure" in result.stderr
    assert [p.name for p in tmp_path.iterdir()] == ["a-file"]


# --- dask_book.py -----------------------------------------------------------

@pytest.mark.parametrize("engine, unit", [([], "threads"), (["--cluster"], "workers")],
                         ids=["threads", "local-cluster"])
def test_dask_book_on_two_workers_equals_a_plain_loop(tmp_path, engine, unit):
    require_modules("dask", "pandas", "pyarrow", "numpy", *(["distributed"] if engine else []))
    import numpy as np
    import pandas as pd

    output = tmp_path / "book.parquet"
    output.mkdir()
    (output / "part.99.parquet").write_bytes(b"a part of an older, larger run")
    options, seed = 3001, 7
    result = run_example("dask_book.py", "--options", str(options), "--workers", "2", "--partitions", "5",
                         "--seed", str(seed), "--output", str(output), *engine, cwd=tmp_path)
    assert result.returncode == 0, result.stdout[-3000:] + result.stderr[-3000:]

    out = result.stdout
    assert "% Completed" in out  # the progress bar
    assert re.search(rf"^\s*{unit}\s+seconds\s+options/s\s+speed-up$", out, re.M)
    summary = re.findall(r"^\s+(\d+)\s+([\d.]+)\s+([\d,]+)\s+([\d.]+)x$", out, re.M)
    assert [int(workers) for workers, *_ in summary] == [1, 2]
    for _, seconds, rate, _ in summary:
        # The seconds shown are rounded to 0.01; the rate is of the time itself.
        assert options / int(rate.replace(",", "")) == pytest.approx(float(seconds), abs=0.0051)
    assert f"{options:,} rows, identical to the bit" in out  # the script's own check, every row
    assert f"priced book: {output.resolve()} ({options:,} rows)" in out

    # The old dataset was replaced whole and nothing temporary is left.
    assert sorted(p.name for p in tmp_path.iterdir()) == ["book.parquet"]
    assert "part.99.parquet" not in {p.name for p in output.iterdir()}

    priced = pd.read_parquet(output).sort_values("option_id", ignore_index=True)
    assert priced["option_id"].tolist() == list(range(options))
    book = load_script("dask_book").generate_book(options, seed, 5)
    inputs = ["s", "k", "t", "r", "sigma", "q"]
    assert np.array_equal(priced[inputs].to_numpy(), book[inputs].to_numpy())
    assert priced["option_type"].tolist() == book["option_type"].tolist()
    assert set(priced["option_type"]) == {"call", "put"}

    expected = {name: [] for name in ("delta", "gamma", "theta", "vega", "rho", "am_price")}
    for s, k, t, r, sigma, q, side in zip(*(book[c].tolist() for c in [*inputs, "option_type"])):
        g = varnelle.bs_greeks(s, k, t, r, sigma, q, side)
        for name in ("delta", "gamma", "theta", "vega", "rho"):
            expected[name].append(getattr(g, name))
        expected["am_price"].append(varnelle.am_price(s, k, t, r, sigma, q, side))
    for name, values in expected.items():
        # Bit for bit: the cluster runs the same code on the same numbers.
        assert np.array_equal(priced[name].to_numpy(), np.array(values)), name
    assert not priced[list(expected)].isna().any().any()


def test_dask_book_prices_a_partition_as_the_scalar_module_does_whatever_its_index():
    require_modules("pandas", "numpy")
    import numpy as np

    module = load_script("dask_book")
    book = module.generate_book(500, 11, 3)
    # Partitions of a real book carry arbitrary labels; results must land on
    # their own rows, not be realigned or reset.
    book.index = np.random.default_rng(0).permutation(np.arange(1000, 1500))
    priced = module.price_partition(book)
    assert priced.index.equals(book.index)
    assert priced[book.columns].equals(book)
    for name, values in module.scalar_results(book).items():
        assert priced[name].to_numpy().tobytes() == np.array(values).tobytes(), name


@pytest.mark.parametrize("column, change", [
    ("gamma", lambda x: math.nextafter(x, math.inf)),
    ("am_price", lambda x: math.nan),
    ("delta", lambda x: -x),
], ids=["one-ulp", "nan", "sign"])
def test_dask_book_check_finds_one_changed_value(column, change):
    require_modules("pandas", "numpy")
    module = load_script("dask_book")
    priced = module.price_partition(module.generate_book(40, 5, 1))
    priced.loc[17, column] = change(priced.loc[17, column])
    report = module.check_partition(priced, 1)
    assert report["checked"].tolist() == [40]
    assert report["mismatch"][0].startswith(f"option 17, {column}:")


def test_dask_book_check_tells_the_zeros_apart():
    require_modules("pandas", "numpy")
    module = load_script("dask_book")
    book = module.generate_book(40, 5, 1)
    book.loc[3, ["s", "k", "t", "option_type"]] = [110.0, 100.0, 0.0, "put"]  # expired: delta is -0.0
    priced = module.price_partition(book)
    assert math.copysign(1.0, priced.loc[3, "delta"]) == -1.0 and priced.loc[3, "delta"] == 0.0
    priced.loc[3, "delta"] = 0.0
    assert module.check_partition(priced, 1)["mismatch"][0].startswith("option 3, delta:")


@pytest.mark.parametrize("sign", [1.0, -1.0], ids=["same-sign", "other-sign"])
def test_dask_book_check_takes_any_nan_for_nan(sign):
    require_modules("pandas", "numpy")
    module = load_script("dask_book")
    book = module.generate_book(40, 5, 1)
    book.loc[3, "sigma"] = math.nan  # NaN Greeks from both modules
    priced = module.price_partition(book)
    priced.loc[3, "theta"] = math.copysign(math.nan, sign)
    report = module.check_partition(priced, 1)
    assert report["checked"].tolist() == [40] and report["mismatch"].tolist() == [""]


def test_dask_book_stops_before_writing_when_the_check_fails(tmp_path, monkeypatch, capsys):
    require_modules("dask", "pandas", "pyarrow", "numpy")
    module = load_script("dask_book")
    price = module.price_partition

    def one_row_off(book):
        priced = price(book)
        if len(book) and book["option_id"].iloc[0] == 0:
            priced.loc[priced.index[5], "vega"] = math.nextafter(priced["vega"].iloc[5], 0.0)
        return priced

    monkeypatch.setattr(module, "price_partition", one_row_off)
    output = tmp_path / "book.parquet"
    assert module.main(["--options", "400", "--workers", "1", "--partitions", "2", "--output", str(output)]) == 1
    err = capsys.readouterr().err
    assert "1 partition(s) differ from the scalar module; the first: option 5, vega:" in err
    assert list(tmp_path.iterdir()) == []


@pytest.mark.parametrize("every, checked", [(1, 40), (3, 14), (40, 1), (100, 1)])
def test_dask_book_check_every_nth_row(every, checked):
    require_modules("pandas", "numpy")
    module = load_script("dask_book")
    priced = module.price_partition(module.generate_book(40, 5, 1))
    assert module.check_partition(priced, every)["checked"].tolist() == [checked]


def test_dask_book_is_the_same_book_whatever_the_partitioning():
    require_modules("pandas", "numpy")
    module = load_script("dask_book")
    one = module.generate_book(1000, 3, 1)
    seven = module.generate_book(1000, 3, 7)
    assert len(one) == 1000 and one["option_id"].tolist() == list(range(1000))
    assert module.partition_plan(10, 3) == [(0, 4), (4, 3), (7, 3)]
    # Partitions draw from streams keyed by their first row, so a different
    # split gives a different (but equally valid) book; the same split is
    # always the same book.
    assert seven.equals(module.generate_book(1000, 3, 7))
    assert not one.equals(module.generate_book(1000, 4, 1))


@pytest.mark.parametrize("args, message", [
    (["--options", "0"], "must be at least 1"),
    (["--options", "-5"], "must be at least 1"),
    (["--options", "a million"], "expected a whole number"),
    (["--options", "1e6"], "expected a whole number"),
    (["--workers", "0"], "must be at least 1"),
    (["--partitions", "two"], "expected a whole number"),
    (["--check-every", "0"], "must be at least 1"),
    (["--cluster", "--scheduler", "tcp://127.0.0.1:8786"], "not allowed with argument"),
])
def test_dask_book_rejects_a_bad_size_with_usage(tmp_path, args, message):
    result = run_example("dask_book.py", *args, "--output", str(tmp_path / "book.parquet"), cwd=tmp_path,
                         timeout=120)
    assert result.returncode == 2
    assert result.stderr.startswith("usage:") and message in result.stderr
    assert list(tmp_path.iterdir()) == []


def test_dask_book_refuses_to_replace_something_else(tmp_path):
    precious = tmp_path / "notes"
    precious.mkdir()
    (precious / "todo.txt").write_text("keep me")
    result = run_example("dask_book.py", "--options", "10", "--output", str(precious), cwd=tmp_path, timeout=120)
    assert result.returncode == 2 and "refusing to replace" in result.stderr
    assert (precious / "todo.txt").read_text() == "keep me"


@pytest.mark.parametrize("hidden, args", [
    ("dask", []),
    ("pyarrow", []),
    ("distributed", ["--cluster"]),
    ("distributed", ["--scheduler", "tcp://127.0.0.1:8786"]),
])
def test_dask_book_without_dask_says_what_to_install(tmp_path, hidden, args):
    result = run_example("dask_book.py", "--options", "10", "--output", str(tmp_path / "book.parquet"), *args,
                         cwd=tmp_path, hide=(hidden,), timeout=120)
    assert result.returncode == 1
    assert len(result.stderr.splitlines()) == 1
    assert INSTALL_LINE in result.stderr and hidden in result.stderr
    assert list(tmp_path.iterdir()) == []


def test_dask_book_on_threads_needs_no_distributed(tmp_path):
    require_modules("dask", "pandas", "pyarrow", "numpy")
    result = run_example("dask_book.py", "--options", "300", "--workers", "2", "--no-scaling",
                         "--output", str(tmp_path / "book.parquet"), cwd=tmp_path, hide=("distributed",))
    assert result.returncode == 0, result.stderr[-3000:]
    assert "300 rows, identical to the bit" in result.stdout
    assert [p.name for p in tmp_path.iterdir()] == ["book.parquet"]


def test_american_models_prints_both_models_and_draws_the_figure(tmp_path):
    pytest.importorskip("matplotlib")
    figure = tmp_path / "american.png"
    result = run_example("american_models.py", "--figure", str(figure), cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    assert "| integral, tol=1e-6 |" in result.stdout and "| bs2002 (default) |" in result.stdout
    assert figure.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


def test_cash_dividends_prints_each_ex_date_and_draws_the_figure(tmp_path):
    pytest.importorskip("matplotlib")
    figure = tmp_path / "dividends.png"
    result = run_example("cash_dividends.py", "--figure", str(figure), cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    rows = [line.split("|")[1:-1] for line in result.stdout.splitlines() if line.startswith("| 3")]
    # Before the last ex-date the dividend outweighs the interest on the
    # strike until expiry: the call is exercised there from a finite spot.
    assert [cell.strip() for cell in rows[0]][0] == "318" and float(rows[0][3]) < 200.0
    assert figure.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
