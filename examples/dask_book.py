"""Price a large book of options with varnelle on Dask.

    python examples/dask_book.py [--options N] [--workers N] [--output DIR]
    python examples/dask_book.py --cluster [--workers N]
    python examples/dask_book.py --scheduler tcp://HOST:8786 --output /shared/book.parquet

Generates a book of options (default one million, calls and puts, random
spots, strikes, expiries, rates, volatilities and yields), splits it into
partitions with dask.dataframe and prices each partition with
map_partitions: one varnelle_np.bs_greeks call gives the European delta,
gamma, theta, vega and rho columns, one varnelle_np.am_price call the
American price column, with model="bs2002": the scalar module's model, so
that every row can be checked against it (varnelle_np's default, the
accurate integral model, costs tens of microseconds a row). The ufunc loops run without the interpreter lock, so
by default the partitions are priced on Dask's threaded scheduler in this
process, with 1, 2, 4, ... up to --workers threads, printing options per
second and the speed-up of each. --cluster uses a LocalCluster of worker
processes instead; --scheduler an existing Dask cluster as it is.

Every priced row is then compared with the scalar varnelle module (a plain
loop of varnelle.bs_greeks and varnelle.am_price, run partition by partition
where the book lives), to the bit; --check-every N compares one row in N
instead. The priced book (inputs and results, one row per option) is written to
a Parquet directory, build/book.parquet unless --output says otherwise.

Needs NumPy, pandas, pyarrow and dask[dataframe] (dask.distributed for
--cluster and --scheduler): pip install "varnelle[examples]".
"""

from __future__ import annotations

import argparse
import contextlib
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
GREEKS = ["delta", "gamma", "theta", "vega", "rho"]
RESULT_COLUMNS = [*GREEKS, "am_price"]


def fail(message: str) -> int:
    print(f"dask_book.py: {message}", file=sys.stderr)
    return 1


def import_dependencies(distributed: bool):
    """The third-party modules, or one line naming what to install."""
    names = ["numpy", "pandas", "pyarrow", "dask.dataframe", "dask.diagnostics", "varnelle", "varnelle_np"]
    if distributed:
        names.append("dask.distributed")
    modules = {}
    for name in names:
        try:
            modules[name] = __import__(name, fromlist=["_"])
        except ModuleNotFoundError as error:
            # dask.distributed names no module when distributed is missing.
            missing = error.name.split(".")[0] if error.name else name
            if missing.startswith("varnelle"):
                raise SystemExit(fail(f"{missing} is not installed in {sys.executable}; run `make demo`, "
                                      "or pip install the wheel from build/dist/"))
            raise SystemExit(fail(f"{missing} is not installed; this example needs NumPy, pandas, pyarrow "
                                  f"and dask[dataframe,distributed]: {INSTALL_HINT}"))
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
    """European Greeks and the American price of every row of one partition:
    whole columns in, whole columns out, no Python per row. The loops release
    the interpreter lock, so partitions on other threads price meanwhile.
    The American price is the scalar module's model, which the check below
    compares with; leave model= out for the accurate default."""
    import varnelle_np

    inputs = (book.s, book.k, book.t, book.r, book.sigma, book.q, book.option_type)
    greeks = varnelle_np.bs_greeks(*inputs)
    return book.assign(**dict(zip(GREEKS, greeks)), am_price=varnelle_np.am_price(*inputs, model="bs2002"))


def scalar_results(book) -> dict[str, list[float]]:
    """The same results from the scalar module, one row at a time."""
    import varnelle

    columns = {name: [] for name in RESULT_COLUMNS}
    for s, k, t, r, sigma, q, side in zip(*(book[c].tolist() for c in INPUT_COLUMNS[1:])):
        g = varnelle.bs_greeks(s, k, t, r, sigma, q, side)
        for name in GREEKS:
            columns[name].append(getattr(g, name))
        columns["am_price"].append(varnelle.am_price(s, k, t, r, sigma, q, side))
    return columns


def check_partition(priced, every: int):
    """One row: how many rows of this partition were compared with the
    scalar module (every `every`-th), and the first one that differs in any
    bit, described ("" when none does). A NaN matches any NaN: its sign bit
    carries no value and may differ between the two modules."""
    import numpy as np
    import pandas as pd

    sample = priced.iloc[::every]
    first = ""
    for name, expected in scalar_results(sample).items():
        got, want = sample[name].to_numpy(dtype=np.float64), np.asarray(expected, dtype=np.float64)
        # By bits, so that -0.0 does not pass for 0.0.
        same = (got.view(np.int64) == want.view(np.int64)) | (np.isnan(got) & np.isnan(want))
        if not same.all():
            i = int(np.argmin(same))
            first = (f"option {sample['option_id'].iloc[i]}, {name}: {sample[name].iloc[i]!r} from varnelle_np, "
                     f"{expected[i]!r} from varnelle")
            break
    return pd.DataFrame({"checked": [len(sample)], "mismatch": [first]})


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


# --- where the partitions are priced ----------------------------------------

class Threads:
    """Dask's threaded scheduler in this process, with `workers` threads."""

    def __init__(self, modules, args):
        self.progress_bar = modules["dask.diagnostics"].ProgressBar
        self.counts = [args.workers] if args.no_scaling else worker_counts(args.workers)
        self.where = "Dask's threaded scheduler in this process"
        self.unit = "thread"

    def scale(self, workers: int) -> None:
        self.workers = workers

    def persist(self, frame, quiet: bool = False):
        with contextlib.nullcontext() if quiet else self.progress_bar():  # the bar ends its line itself
            return frame.persist(scheduler="threads", num_workers=self.workers)

    def close(self) -> None:
        pass


class Cluster:
    """A LocalCluster of single-threaded worker processes scaled up step by
    step, or a running cluster at `args.scheduler` taken as it is."""

    def __init__(self, modules, args):
        distributed = self.distributed = modules["dask.distributed"]
        self.unit = "worker"
        if args.scheduler:
            self.cluster = None
            self.client = distributed.Client(args.scheduler)
            self.counts = [len(self.client.scheduler_info()["workers"])]
            self.where = f"the cluster at {args.scheduler}"
        else:
            self.cluster = distributed.LocalCluster(n_workers=1, threads_per_worker=1, processes=True,
                                                    dashboard_address=None)
            self.client = distributed.Client(self.cluster)
            self.counts = [args.workers] if args.no_scaling else worker_counts(args.workers)
            self.where = "a LocalCluster of worker processes on this machine"
        self.client.run(lambda: __import__("varnelle_np"))  # fail early if a worker lacks it

    def scale(self, workers: int) -> None:
        if self.cluster is not None:
            self.cluster.scale(workers)
            self.client.wait_for_workers(workers)

    def persist(self, frame, quiet: bool = False):
        priced = self.client.persist(frame)
        if not quiet:
            self.distributed.progress(priced)
            print()
        self.distributed.wait(priced)
        return priced

    def close(self) -> None:
        self.client.close()
        if self.cluster is not None:
            self.cluster.close()


def check_against_scalar(priced, pd, every: int) -> tuple[int, list[str]]:
    """Rows compared with the scalar module, and the first mismatch of each
    partition that has one. Runs where the partitions are."""
    meta = pd.DataFrame({"checked": pd.Series(dtype="int64"), "mismatch": pd.Series(dtype=object)})
    report = priced.map_partitions(check_partition, every, meta=meta).compute()
    return int(report["checked"].sum()), [m for m in report["mismatch"] if m]


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
                        help="threads (with --cluster, worker processes) to scale up to "
                        "(default: the number of cores)")
    parser.add_argument("--partitions", type=positive_int, metavar="N",
                        help=f"partitions of the book (default: about {ROWS_PER_PARTITION:,} options each, "
                        "at least four per worker)")
    parser.add_argument("--seed", type=int, default=2002, help="seed of the generated book (default: 2002)")
    parser.add_argument("--output", type=Path, default=DEFAULT_OUTPUT, metavar="DIR",
                        help=f"Parquet directory to write (default: {DEFAULT_OUTPUT})")
    engine = parser.add_mutually_exclusive_group()
    engine.add_argument("--cluster", action="store_true",
                        help="price on a dask.distributed LocalCluster of worker processes instead of threads")
    engine.add_argument("--scheduler", metavar="ADDRESS",
                        help="use a running Dask cluster, e.g. tcp://10.0.0.5:8786, as it is")
    parser.add_argument("--no-scaling", action="store_true",
                        help="price once with all workers instead of with 1, 2, 4, ... workers")
    parser.add_argument("--check-every", type=positive_int, default=1, metavar="N",
                        help="compare every Nth row with the scalar varnelle module (default: 1, every row)")
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
    on_cluster = args.cluster or args.scheduler is not None
    modules = import_dependencies(distributed=on_cluster)
    dd, pd = modules["dask.dataframe"], modules["pandas"]

    engine = Cluster(modules, args) if on_cluster else Threads(modules, args)
    try:
        print(f"pricing {args.options:,} options in {args.partitions} partitions on {engine.where}")
        print("each partition: European delta, gamma, theta, vega, rho (varnelle_np.bs_greeks) and "
              "American price (varnelle_np.am_price, model=\"bs2002\"), one call per column")
        timings = []
        priced = None
        for workers in engine.counts:
            engine.scale(workers)
            # A small book first (on every worker), so that imports and
            # first-call costs stay out of the timing.
            engine.persist(priced_book(dd, pd, 100 * workers, args.seed, workers), quiet=True)
            print(f"\n{workers} {engine.unit}{'s' if workers > 1 else ''}:")
            priced = None  # drop the previous run's results first
            started = time.perf_counter()
            priced = engine.persist(priced_book(dd, pd, args.options, args.seed, args.partitions))
            elapsed = time.perf_counter() - started
            timings.append((workers, elapsed))
            print(f"  {elapsed:.2f} s, {args.options / elapsed:,.0f} options/s")

        print()
        print(f"{engine.unit + 's':>7}  {'seconds':>8}  {'options/s':>12}  {'speed-up':>8}")
        for workers, elapsed in timings:
            print(f"{workers:>7}  {elapsed:>8.2f}  {args.options / elapsed:>12,.0f}  "
                  f"{timings[0][1] / elapsed:>7.2f}x")

        which = "every row" if args.check_every == 1 else f"one row in {args.check_every:,}"
        print(f"\nchecking {which} against the scalar varnelle module")
        checked, mismatches = check_against_scalar(priced, pd, args.check_every)
        if mismatches:
            return fail(f"{len(mismatches)} partition(s) differ from the scalar module; the first: {mismatches[0]}")
        print(f"  {checked:,} rows, identical to the bit")

        output = args.output.resolve()
        write_parquet(priced, output)
        print(f"\npriced book: {output} ({args.options:,} rows)")
    finally:
        engine.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
