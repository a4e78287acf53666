"""What the benchmark scripts print around their figures: the machine's
name and Markdown tables."""

from __future__ import annotations

import gc
import platform
import time
from typing import Any, Callable


def cpu_name() -> str:
    try:
        with open("/proc/cpuinfo") as info:
            for line in info:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or platform.machine()


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
