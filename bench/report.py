"""What the benchmark scripts print around their figures: the machine's
name and Markdown tables."""

from __future__ import annotations

import gc
import time
from typing import Any, Callable


def cpu_name() -> str:
    """The processor's name as varnelle_np.show_config() reports it, so a
    benchmark's header and a bug report name the machine alike. Imported
    here, not at the top: a script that finds varnelle missing says so
    itself before any figure is asked for."""
    from varnelle_np._config import _cpu_name

    return _cpu_name()


def table(header: list[str], rows: list[list[str]]) -> str:
    lines = ["| " + " | ".join(header) + " |", "|" + "|".join("---" for _ in header) + "|"]
    lines += ["| " + " | ".join(row) + " |" for row in rows]
    return "\n".join(lines)


def best_seconds_per_row(run: Callable[[], Any], rows: int, repeat: int) -> float:
    """Seconds per row of run(), the best of `repeat` runs."""
    best = float("inf")
    for _ in range(repeat):
        gc.collect()
        start = time.perf_counter()
        run()
        best = min(best, time.perf_counter() - start)
    return best / rows
