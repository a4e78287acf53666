"""Price a large book of options with varnelle on Dask.

    python examples/dask_book.py [--options N] [--workers N] [--output DIR]
    python examples/dask_book.py --scheduler tcp://HOST:8786 --output /shared/book.parquet

Generates a book of mixed European-style Greeks and American prices (default
one million options, calls and puts), splits it into partitions with
dask.dataframe and prices each partition with map_partitions: for every
option varnelle.bs_greeks (European delta, gamma, theta, vega, rho) and
varnelle.am_price (American price). Without --scheduler it starts a
LocalCluster on this machine and prices the book with 1, 2, 4, ... up to
--workers worker processes, printing options per second and the speed-up of
each; with --scheduler it uses an existing Dask cluster as it is. The priced
book (inputs and results, one row per option) is written to a Parquet
directory, build/book.parquet unless --output says otherwise.

Needs pandas, pyarrow and dask[dataframe,distributed]: pip install "varnelle[examples]".
"""

from __future__ import annotations

import argparse
import math
import os
import shutil
import sys
import time
from pathlib import Path

DEFAULT_OUTPUT = Path(__file__).resolve().parent.parent / "build" / "book.parquet"
INSTALL_HINT = 'pip install "varnelle[examples]"'
ROWS_PER_PARTITION = 50_000

INPUT_COLUMNS = ["option_id", "s", "k", "t", "r", "sigma", "q", "option_type"]
RESULT_COLUMNS = ["delta", "gamma", "theta", "vega", "rho", "am_price"]


def fail(message: str) -> int:
    print(f"dask_book.py: {message}", file=sys.stderr)
    return 1


def import_dependencies():
    """The third-party modules, or one line naming what to install."""
    modules = {}
    for name in ("numpy", "pandas", "pyarrow", "dask.dataframe", "dask.distributed", "varnelle"):
        try:
            modules[name] = __import__(name, fromlist=["_"])
        except ModuleNotFoundError as error:
            missing = (error.name or name).split(".")[0]
            if missing == "varnelle":
                raise SystemExit(fail(f"varnelle is not installed in {sys.executable}; run `make demo`, "
                                      "or pip install the wheel from build/dist/"))
            raise SystemExit(fail(f"{missing} is not installed; this example needs pandas, pyarrow and "
                                  f"dask[dataframe,distributed]: {INSTALL_HINT}"))
    return modules


# --- the book ---------------------------------------------------------------

def generate_partition(seed: int, index: int, first_id: int, count: int):
    """Rows first_id .. first_id + count - 1 of the book. Each partition has its
    own random stream, so any worker can make any partition, and the whole
    book is the same for the same seed whatever the partitioning."""
    import numpy as np
    import pandas as pd

    rng = np.random.default_rng([seed, first_id])
    s = rng.uniform(50.0, 150.0, count)
    return pd.DataFrame({
        "option_id": np.arange(first_id, first_id + count, dtype=np.int64),
        "s": s,
        "k": np.round(s * rng.uniform(0.7, 1.3, count), 1),
        "t": rng.uniform(1.0 / 365.0, 3.0, count),
        "r": rng.uniform(0.0, 0.08, count),
        "sigma": rng.uniform(0.05, 0.8, count),
        "q": rng.uniform(0.0, 0.06, count),
        "option_type": pd.Series(np.where(rng.random(count) < 0.5, "call", "put"), dtype="string"),
    })


def partition_plan(options: int, partitions: int) -> list[tuple[int, int]]:
    """(first_id, count) of each partition, sizes differing by at most one."""
    base, extra = divmod(options, partitions)
    plan, first = [], 0
    for i in range(partitions):
        count = base + (1 if i < extra else 0)
        plan.append((first, count))
        first += count
    return plan


def generate_book(options: int, seed: int, partitions: int):
    """The whole book as one pandas DataFrame (the same rows the cluster makes)."""
    import pandas as pd

    return pd.concat([generate_partition(seed, i, first, count)
                      for i, (first, count) in enumerate(partition_plan(options, partitions))],
                     ignore_index=True)


# --- pricing ----------------------------------------------------------------

def price_partition(book):
    """European Greeks and the American price of every row of one partition.
    A plain loop over Python floats: each varnelle call costs well under a
    microsecond, so this is as fast as the interpreter allows."""
    import pandas as pd
    import varnelle

    bs_greeks, am_price = varnelle.bs_greeks, varnelle.am_price
    columns = {name: [] for name in RESULT_COLUMNS}
    delta, gamma, theta, vega, rho, american = columns.values()
    for s, k, t, r, sigma, q, side in zip(*(book[c].tolist() for c in INPUT_COLUMNS[1:])):
        g = bs_greeks(s, k, t, r, sigma, q, side)
        delta.append(g.delta)
        gamma.append(g.gamma)
        theta.append(g.theta)
        vega.append(g.vega)
        rho.append(g.rho)
        american.append(am_price(s, k, t, r, sigma, q, side))
    result = book.copy()
    for name, values in columns.items():
        result[name] = pd.Series(values, index=book.index, dtype="float64")
    return result


def priced_book(dd, pd, options: int, seed: int, partitions: int):
    plan = partition_plan(options, partitions)
    meta = generate_partition(seed, 0, 0, 0)
    book = dd.from_map(lambda part: generate_partition(seed, part[0], part[1][0], part[1][1]),
                       list(enumerate(plan)), meta=meta, divisions=[None] * (len(plan) + 1),
                       enforce_metadata=False)
    result_meta = meta.assign(**{name: pd.Series(dtype="float64") for name in RESULT_COLUMNS})
    return book.map_partitions(price_partition, meta=result_meta)


def worker_counts(most: int) -> list[int]:
    counts = [1]
    while counts[-1] * 2 < most:
        counts.append(counts[-1] * 2)
    if counts[-1] != most:
        counts.append(most)
    return counts


# --- output -----------------------------------------------------------------

def looks_like_dataset(path: Path) -> bool:
    """True for a directory this script may replace: only Parquet parts in it."""
    if not path.is_dir():
        return False
    return all(p.is_file() and (p.suffix == ".parquet" or p.name in ("_metadata", "_common_metadata"))
               for p in path.iterdir())


def write_parquet(frame, output: Path) -> None:
    """Writes into a sibling temporary directory and renames it into place:
    the output is either the previous complete dataset or the new one, never
    a mix or a half-written directory."""
    output.parent.mkdir(parents=True, exist_ok=True)
    temporary = output.with_name(f".{output.name}.tmp-{os.getpid()}")
    previous = output.with_name(f".{output.name}.old-{os.getpid()}")
    shutil.rmtree(temporary, ignore_errors=True)
    try:
        frame.to_parquet(str(temporary), write_index=False)
        if output.exists():
            output.rename(previous)
        temporary.rename(output)
    finally:
        shutil.rmtree(temporary, ignore_errors=True)
        shutil.rmtree(previous, ignore_errors=True)


# --- command line -----------------------------------------------------------

def positive_int(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a whole number, got {text!r}") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1, got {value}")
    return value


def parse_args(argv):
    parser = argparse.ArgumentParser(
        description="Price a generated book of options with varnelle on Dask and write it to Parquet.")
    parser.add_argument("--options", type=positive_int, default=1_000_000, metavar="N",
                        help="number of options in the book (default: 1,000,000; 1_000_000 works too)")
    parser.add_argument("--workers", type=positive_int, default=os.cpu_count() or 1, metavar="N",
                        help="local worker processes to scale up to (default: the number of cores)")
    parser.add_argument("--partitions", type=positive_int, metavar="N",
                        help=f"partitions of the book (default: about {ROWS_PER_PARTITION:,} options each, "
                        "at least four per worker)")
    parser.add_argument("--seed", type=int, default=2002, help="seed of the generated book (default: 2002)")
    parser.add_argument("--output", type=Path, default=DEFAULT_OUTPUT, metavar="DIR",
                        help=f"Parquet directory to write (default: {DEFAULT_OUTPUT})")
    parser.add_argument("--scheduler", metavar="ADDRESS",
                        help="use a running Dask cluster, e.g. tcp://10.0.0.5:8786, instead of a LocalCluster")
    parser.add_argument("--no-scaling", action="store_true",
                        help="price once with all workers instead of with 1, 2, 4, ... workers")
    args = parser.parse_args(argv)
    if args.partitions is None:
        args.partitions = max(4 * args.workers, math.ceil(args.options / ROWS_PER_PARTITION))
    args.partitions = min(args.partitions, args.options)
    if args.output.exists() and not looks_like_dataset(args.output):
        parser.error(f"--output {str(args.output)!r} exists and is not a Parquet directory written "
                     "by this script; refusing to replace it")
    return args


def main(argv=None) -> int:
    args = parse_args(argv)
    modules = import_dependencies()
    dd, distributed, pd = modules["dask.dataframe"], modules["dask.distributed"], modules["pandas"]

    if args.scheduler:
        cluster = None
        client = distributed.Client(args.scheduler)
        counts = [len(client.scheduler_info()["workers"])]
        where = f"the cluster at {args.scheduler}"
    else:
        cluster = distributed.LocalCluster(n_workers=1, threads_per_worker=1, processes=True,
                                           dashboard_address=None)
        client = distributed.Client(cluster)
        counts = [args.workers] if args.no_scaling else worker_counts(args.workers)
        where = "a LocalCluster on this machine"
    try:
        print(f"pricing {args.options:,} options in {args.partitions} partitions on {where}")
        print("each option: European delta, gamma, theta, vega, rho (bs_greeks) and American price (am_price)")
        client.run(lambda: __import__("varnelle"))  # fail early if a worker lacks varnelle
        timings = []
        priced = None
        for workers in counts:
            if cluster is not None:
                cluster.scale(workers)
                client.wait_for_workers(workers)
            print(f"\n{workers} worker{'s' if workers > 1 else ''}:")
            priced = None  # drop the previous run's results from the cluster first
            started = time.perf_counter()
            priced = client.persist(priced_book(dd, pd, args.options, args.seed, args.partitions))
            distributed.progress(priced)
            distributed.wait(priced)
            elapsed = time.perf_counter() - started
            timings.append((workers, elapsed))
            print(f"\n  {elapsed:.2f} s, {args.options / elapsed:,.0f} options/s")

        print()
        print(f"{'workers':>7}  {'seconds':>8}  {'options/s':>12}  {'speed-up':>8}")
        for workers, elapsed in timings:
            print(f"{workers:>7}  {elapsed:>8.2f}  {args.options / elapsed:>12,.0f}  "
                  f"{timings[0][1] / elapsed:>7.2f}x")

        output = args.output.resolve()
        write_parquet(priced, output)
        print(f"\npriced book: {output} ({args.options:,} rows)")
    finally:
        client.close()
        if cluster is not None:
            cluster.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
