"""Many mixed calls leave nothing behind.

All thirteen functions are called over and over on success paths and on
every kind of failure: each binding error, each conversion error, a bad
option text, an option text that is not a str or cannot be encoded, __float__
and __index__ returning the wrong type or raising, keyword keys that are not
text or cannot be printed, and the PyGreeks slots. Afterwards the reference
counts of every argument object, of PyGreeks and of float are what they were,
the interpreter holds no more memory blocks than before, and the resident
memory of the process has not grown.

A million calls take about a second, so make test runs that many (a tenth
under AddressSanitizer); make stress raises VARNELLE_STRESS_CALLS tenfold.
"""

import ctypes
import gc
import os
import sys
import time

import pytest

import varnelle
from conftest import BASE, FUNCTION_NAMES, NO_SIDE

CALLS = int(os.environ.get("VARNELLE_STRESS_CALLS", "1000000"))
# Growth of resident memory allowed over the whole run, after a warm-up round.
# A leak of one 16-byte block per failing call would add about 12 MiB over a
# million calls; the bound, 256 KiB, is below a quarter byte per call.
RSS_BOUND = 256 * 1024
# Live interpreter blocks allowed to appear over the run (type attribute
# caches and the like settle during the warm-up; what remains is noise).
BLOCKS_BOUND = 64


def sanitized():
    """AddressSanitizer keeps freed memory in quarantine and counts its own
    shadow pages, so resident memory says nothing there."""
    try:
        ctypes.CDLL(None).__asan_init  # noqa: B018
    except AttributeError:
        return False
    return True


def call_with_dict(func, args, kwargs):
    call = ctypes.pythonapi.PyObject_Call
    call.restype = ctypes.py_object
    call.argtypes = [ctypes.py_object, ctypes.py_object, ctypes.py_object]
    return call(func, tuple(args), kwargs)


def resident_bytes():
    with open("/proc/self/statm") as fh:
        return int(fh.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


class Cause(Exception):
    pass


class Escape(BaseException):
    pass


def make_cases():
    """(zero-argument call, the exception it must raise or None)."""
    # Objects made at run time, so that none is immortal, interned or cached.
    s = float("101.25")
    k = float("99.5")
    put = "".join(["P", "ut"])
    bogus = "".join(["bo", "gus"])
    surrogate = "".join(["p", "\ud800"])
    odd_key = "".join(["odd", "_key"])
    text_number = "".join(["1", "00"])
    huge = 10 ** 400
    cause = Cause("kept alive only by the test")
    f = varnelle

    class FloatRaisesTypeError:
        def __float__(self):
            raise TypeError("renamed") from cause

    class FloatRaisesValueError:
        def __float__(self):
            raise ValueError("passes through")

    class FloatRaisesEscape:
        def __float__(self):
            raise Escape("not an Exception")

    class FloatReturnsStr:
        def __float__(self):
            return "1.5"

    class IndexReturnsStr:
        def __index__(self):
            return "3"

    class IndexOk:
        def __index__(self):
            return 100

    class Unprintable:
        def __str__(self):
            raise RuntimeError("no text")

    class UnprintableTypeError:
        def __float__(self):
            raise TypeError(Unprintable())

    class Side(str):
        pass

    raising_type, raising_value, raising_escape = FloatRaisesTypeError(), FloatRaisesValueError(), FloatRaisesEscape()
    float_str, index_str, index_ok = FloatReturnsStr(), IndexReturnsStr(), IndexOk()
    unprintable_key, unprintable_error = Unprintable(), UnprintableTypeError()
    side = Side("put")
    plain = object()
    watched = [s, k, put, bogus, surrogate, odd_key, text_number, huge, cause, raising_type, raising_value,
               raising_escape, float_str, index_str, index_ok, unprintable_key, unprintable_error, side,
               plain]

    cases = []
    for name in FUNCTION_NAMES:
        func = getattr(f, name)
        if name in NO_SIDE:
            cases += [
                (lambda func=func: func(s, k, 1.0, 0.05, 0.2), None),
                (lambda func=func: func(s, k, t=1.0, r=0.05, sigma=0.2, q=0.01), None),
                (lambda func=func: func(s, k, 1.0, 0.05, 0.2, option_type=put), TypeError),
            ]
        else:
            cases += [
                (lambda func=func: func(s, k, 1.0, 0.05, 0.2), None),
                (lambda func=func: func(s, k, 1.0, 0.05, 0.2, 0.01, put), None),
                (lambda func=func: func(s=s, k=k, t=1.0, r=0.05, sigma=0.2, option_type=side), None),
                (lambda func=func: func(s, index_ok, 1.0, 0.05, 0.2, 0.0, put), None),
                (lambda func=func: func(s, k, 1.0, 0.05, 0.2, 0.0, bogus), ValueError),
            ]
        cases += [
            # binding
            (lambda func=func: func(s, k), TypeError),
            (lambda func=func: func(s, k, 1.0, 0.05, 0.2, 0.0, put, s), TypeError),
            (lambda func=func: func(s, k, 1.0, 0.05, 0.2, s=s), TypeError),
            (lambda func=func: func(s, k, 1.0, 0.05, 0.2, **{odd_key: s}), TypeError),
            # conversion
            (lambda func=func: func(text_number, k, 1.0, 0.05, 0.2), TypeError),
            (lambda func=func: func(s, None, 1.0, 0.05, 0.2), TypeError),
            (lambda func=func: func(s, k, plain, 0.05, 0.2), TypeError),
            (lambda func=func: func(s, huge, 1.0, 0.05, 0.2), OverflowError),
            (lambda func=func: func(s, k, 1.0, 0.05, raising_type), TypeError),
            (lambda func=func: func(s, k, 1.0, raising_value, 0.2), ValueError),
            (lambda func=func: func(raising_escape, k, 1.0, 0.05, 0.2), Escape),
            (lambda func=func: func(s, k, 1.0, 0.05, 0.2, float_str), TypeError),
            (lambda func=func: func(s, k, index_str, 0.05, 0.2), TypeError),
        ]
    side_func = f.am_price
    cases += [
        (lambda: side_func(s, k, 1.0, 0.05, 0.2, 0.0, None), TypeError),
        (lambda: side_func(s, k, 1.0, 0.05, 0.2, 0.0, plain), TypeError),
        (lambda: side_func(s, k, 1.0, 0.05, 0.2, 0.0, surrogate), UnicodeEncodeError),
        (lambda: side_func(s, k, 1.0, 0.05, 0.2, 0.0, "x" + put), ValueError),
        # a numeric error wins over a bad option text
        (lambda: side_func(s, k, 1.0, None, 0.2, 0.0, bogus), TypeError),
        # keys only C code can pass, one of them unprintable (reported as unraisable)
        (lambda: call_with_dict(f.bs_delta, (s, k, 1.0, 0.05, 0.2), {huge: s}), TypeError),
        (lambda: call_with_dict(f.bs_delta, (s, k, 1.0, 0.05, 0.2), {unprintable_key: s}), TypeError),
        (lambda: f.bs_vega(unprintable_error, k, 1.0, 0.05, 0.2), TypeError),
        # the class and its slots
        (lambda: f.PyGreeks(s, k), TypeError),
        (lambda: repr(f.bs_greeks(s, k, 1.0, 0.05, 0.2)), None),
        (lambda: f.am_greeks(s, k, 1.0, 0.05, 0.2, 0.0, put).rho, None),
    ]
    return cases, watched


def run(cases, rounds):
    for _ in range(rounds):
        for call, error in cases:
            if error is None:
                call()
                continue
            try:
                call()
            except error:
                pass
            else:
                raise AssertionError(f"{call} did not raise {error.__name__}")


def test_mixed_calls_leave_counts_and_memory_flat(monkeypatch):
    monkeypatch.setattr(sys, "unraisablehook", lambda unraisable: None)
    cases, watched = make_cases()
    # The exact exception types, once, before the fast loop that only catches them.
    for call, error in cases:
        try:
            call()
        except BaseException as exc:  # noqa: BLE001
            assert type(exc) is error, f"{call}: {type(exc).__name__}: {exc}"
        else:
            assert error is None, call
    calls = CALLS // 10 if sanitized() else CALLS
    rounds = max(1, calls // len(cases))

    run(cases, 2)  # warm-up: caches of the interpreter settle
    gc.collect()
    refs = [sys.getrefcount(o) for o in watched]
    type_refs = sys.getrefcount(varnelle.PyGreeks)
    # float is immortal from Python 3.12 on; its count is compared all the
    # same, and the live block count below stands for the float objects.
    float_refs = sys.getrefcount(float)
    blocks = sys.getallocatedblocks()
    rss = resident_bytes()
    started = time.perf_counter()

    run(cases, rounds)

    elapsed = time.perf_counter() - started
    gc.collect()
    rss_after = resident_bytes()
    blocks_after = sys.getallocatedblocks()
    made = rounds * len(cases)
    print(f"\nstress: {made} calls ({len(cases)} kinds) in {elapsed:.1f} s; resident memory "
          f"{rss // 1024} KiB -> {rss_after // 1024} KiB (bound +{RSS_BOUND // 1024} KiB); "
          f"interpreter blocks {blocks} -> {blocks_after}")
    # Counted into plain ints first: pytest's rewritten asserts hold their operands.
    refs_after = [sys.getrefcount(o) for o in watched]
    changed = [(i, a, b) for i, (a, b) in enumerate(zip(refs, refs_after)) if a != b]
    type_refs_after = sys.getrefcount(varnelle.PyGreeks)
    float_refs_after = sys.getrefcount(float)
    assert changed == []
    assert type_refs_after == type_refs
    assert float_refs_after == float_refs
    assert blocks_after - blocks <= BLOCKS_BOUND
    if not sanitized():
        assert rss_after - rss <= RSS_BOUND, f"resident memory grew by {rss_after - rss} bytes"
