"""Failing and succeeding calls leave no references or memory behind."""

import gc
import os
import sys

import pytest

import varnelle

PyGreeks = varnelle.PyGreeks


class Cause(Exception):
    pass


CAUSE = Cause("kept alive only by the test")
PASSED_THROUGH = "message of an error that passes through unchanged"


class TypeErrorWithCause:
    def __float__(self):
        raise TypeError("renamed") from CAUSE


class ValueErrorFloat:
    def __float__(self):
        # A fresh exception each time: re-raising one instance would grow
        # its traceback chain on every call.
        raise ValueError(PASSED_THROUGH)


class OnlyStr:
    def __str__(self):
        return "call"


# A qualified name made at run time (class-body names are interned and
# immortal), so that a reference leaked by the "cannot be converted" message
# shows in its count.
OnlyStr.__qualname__ = "".join(["Only", "Str"])


def make_calls(s, k, side, bad, huge, surrogate, odd_key):
    """One round of calls covering every kind of outcome."""
    f = varnelle
    return [
        lambda: f.bs_delta(s, k, 1.0, 0.05, 0.2, 0.0, side),
        lambda: f.bs_greeks(s, k, 1.0, 0.05, 0.2, q=0.01, option_type=side),
        lambda: f.am_greeks(s, k, 1.0, 0.05, 0.2, 0.01, side),
        lambda: f.am_price(s=s, k=k, t=1.0, r=0.05, sigma=0.2, option_type=side),
        lambda: repr(f.bs_greeks(s, k, 1.0, 0.05, 0.2)),
        lambda: f.bs_greeks(s, k, 1.0, 0.05, 0.2).delta,
        # failures
        lambda: f.bs_delta(s, k),
        lambda: f.bs_delta(s, k, 1.0, 0.05, 0.2, 0.0, side, s),
        lambda: f.bs_delta(s, k, 1.0, 0.05, 0.2, s=s),
        lambda: f.bs_delta(s, k, 1.0, 0.05, 0.2, **{odd_key: s}),
        lambda: f.bs_gamma(s, k, 1.0, 0.05, 0.2, option_type=side),
        lambda: f.bs_delta(bad, k, 1.0, 0.05, 0.2, 0.0, side),
        lambda: f.bs_delta(s, huge, 1.0, 0.05, 0.2, 0.0, side),
        lambda: f.bs_delta(s, k, 1.0, 0.05, TypeErrorWithCause(), 0.0, side),
        lambda: f.bs_delta(s, k, 1.0, 0.05, ValueErrorFloat(), 0.0, side),
        lambda: f.am_price(s, k, 1.0, 0.05, 0.2, 0.0, bad),
        lambda: f.am_price(s, k, 1.0, 0.05, 0.2, 0.0, OnlyStr()),
        lambda: f.am_price(s, k, 1.0, 0.05, 0.2, 0.0, surrogate),
        lambda: f.am_price(s, k, 1.0, 0.05, 0.2, 0.0, side + "s"),
        lambda: f.am_greeks(s, k, 1.0, 0.05, 0.2, 0.0, "x" + side),
        lambda: PyGreeks(s, k),
    ]


def run_round(calls):
    for call in calls:
        try:
            call()
        except (TypeError, ValueError, OverflowError):
            pass


def test_reference_counts_unchanged():
    # Objects made at run time, so none of them is immortal or interned.
    s = float("101.25")
    k = float("99.5")
    side = "".join(["P", "ut"])
    bad = object()
    huge = 10 ** 400
    surrogate = "".join(["p", "\ud800"])
    odd_key = "".join(["odd", "_key"])
    watched = [s, k, side, bad, huge, surrogate, odd_key, PyGreeks, CAUSE, OnlyStr.__qualname__]
    calls = make_calls(s, k, side, bad, huge, surrogate, odd_key)

    run_round(calls)
    gc.collect()
    before = [sys.getrefcount(o) for o in watched]
    for _ in range(2000):
        run_round(calls)
    gc.collect()
    after = [sys.getrefcount(o) for o in watched]
    assert after == before


def test_result_objects_are_freed():
    gc.collect()
    type_refs = sys.getrefcount(PyGreeks)
    results = [varnelle.am_greeks(100.0, 100.0 + i, 1.0, 0.05, 0.2) for i in range(1000)]
    assert sys.getrefcount(PyGreeks) == type_refs + 1000  # each instance holds its type
    del results
    assert sys.getrefcount(PyGreeks) == type_refs
    g = varnelle.bs_greeks(100.0, 100.0, 1.0, 0.05, 0.2)
    refs = sys.getrefcount(g)
    for _ in range(1000):  # reads and the text form hold the object only while running
        g.delta, g.rho, repr(g), str(g)
    assert sys.getrefcount(g) == refs


def resident_bytes():
    with open("/proc/self/statm") as fh:
        return int(fh.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


@pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="needs /proc")
def test_resident_memory_flat():
    # 21 calls a round, 15 of them failing; 40000 rounds take about a second.
    # A leak of 8 bytes per call would add about 6.4 MiB; the bound is 2 MiB.
    calls = make_calls(101.25, 99.5, "put", object(), 10 ** 400, "p\ud800", "odd_key")
    for _ in range(2000):
        run_round(calls)
    gc.collect()
    start = resident_bytes()
    for _ in range(40000):
        run_round(calls)
    gc.collect()
    grown = resident_bytes() - start
    assert grown < 2 * 1024 * 1024, f"resident memory grew by {grown} bytes"
