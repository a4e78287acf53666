"""show_config(): which path the European functions take in this process, and
why, with what a bug report about speed or bits needs beside it."""

from __future__ import annotations

import os
import platform
from typing import Any

import numpy as np

from . import _ufuncs  # type: ignore[attr-defined]  # compiled, without a stub of its own

_LANES = {"avx512": "eight rows at a time in AVX-512 lanes", "avx2": "four rows at a time in AVX2 lanes",
          "scalar": "one row at a time"}

_FORCE_SCALAR = ("set VARNELLE_SCALAR=1 in the environment before the process's first European call "
                 "(the path is chosen once, then kept)")


def _cpu_name() -> str:
    try:
        with open("/proc/cpuinfo", encoding="utf-8", errors="replace") as info:
            for line in info:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or platform.machine()


def _config() -> dict[str, Any]:
    raw = _ufuncs.vector_config()
    path = raw["path"]
    description = raw["description"]
    ran = raw["proof_ms"] > 0.0
    if path != "scalar":
        why = ("the processor has " + ("AVX-512" if path == "avx512" else "AVX2 with FMA") +
               ", and the lane exp, log and pow(e, y) gave the platform's bits on every argument of the proof")
        proof = "passed"
    else:
        why = description.removeprefix("scalar: ")
        proof = "failed: " + why if ran else "not run"
    libc, libc_version = platform.libc_ver()
    return {
        "path": path,
        "lanes": _LANES[path],
        "why": why,
        "cpu": _cpu_name(),
        "machine": platform.machine(),
        "processor_has": dict(raw["processor"]),
        "proof": proof,
        "proof_ms": raw["proof_ms"],
        "libc": f"{libc} {libc_version}".strip() or "unknown",
        "numpy": np.__version__,
        "VARNELLE_SCALAR": os.environ.get("VARNELLE_SCALAR"),
        "force_scalar": _FORCE_SCALAR,
        "test_override": raw["test_override"],
    }


def show_config(mode: str = "stdout") -> dict[str, Any] | None:
    """Show how this process runs the European functions (bs_price,
    bs_delta, ..., bs_greeks, bs_implied_vol): the path (AVX-512 or AVX2
    lanes, or scalar), why it was chosen, the CPU, the result and time of the
    check that proves the lanes give the platform's bits, NumPy's version,
    and how to force the scalar path.

    Every path gives the same results to the last bit; the lanes only make
    the European functions faster. The check runs at the process's first
    European call (or here, if none came yet) and takes a few tens of
    milliseconds.

    mode="stdout" (the default) prints the report and returns None;
    mode="dicts" prints nothing and returns it as a dict with the keys
    path ("avx512", "avx2" or "scalar"), lanes, why, cpu, machine,
    processor_has ({"avx2": bool, "avx512": bool}), proof ("passed",
    "failed: ..." or "not run"), proof_ms, libc, numpy, VARNELLE_SCALAR (its
    value in the environment now, or None), force_scalar and test_override
    (None unless a test forced a path).
    """
    if mode not in ("stdout", "dicts"):
        raise ValueError(f"mode must be 'stdout' or 'dicts', not {mode!r}")
    config = _config()
    if mode == "dicts":
        return config
    has = config["processor_has"]
    features = ", ".join(f"{name} {'yes' if has[key] else 'no'}"
                         for key, name in (("avx2", "AVX2+FMA"), ("avx512", "AVX-512")))
    proof = config["proof"]
    if proof != "not run":
        proof += f" in {config['proof_ms']:.1f} ms"
    lines = [
        "varnelle_np: the European functions",
        f"  path:     {config['path']} ({config['lanes']})",
        f"  why:      {config['why']}",
        f"  cpu:      {config['cpu']} ({config['machine']}; {features})",
        f"  proof:    {proof}",
        f"  libc:     {config['libc']}",
        f"  numpy:    {config['numpy']}",
        f"  scalar:   {config['force_scalar']}",
    ]
    if config["test_override"] is not None:
        lines.append(f"  override: {config['test_override']} (forced by a test)")
    print("\n".join(lines))
    return None
