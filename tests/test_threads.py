"""Eight threads on shared inputs get exactly what one thread gets.

Every function is called on the same argument objects from eight Python
threads at once, each thread in its own order, while the interpreter switches
threads every microsecond. The calls include failures of every stage and
argument objects whose conversion methods give the interpreter lock away
(time.sleep(0)) or call into the module again, so that one call is suspended
in the middle of binding or converting while others run. Each outcome, the
bits of every returned double or the type and text of every exception, must
equal the outcome of the same call made serially beforehand.
"""

import ctypes
import math
import os
import random
import struct
import sys
import threading
import time

import varnelle
from conftest import FUNCTION_NAMES, GREEK_FIELDS, NO_SIDE

THREADS = 8
ROUNDS = int(os.environ.get("VARNELLE_THREAD_ROUNDS", "10"))


def sanitized():
    try:
        ctypes.CDLL(None).__asan_init  # noqa: B018
    except AttributeError:
        return False
    return True


class Yielding:
    """A number whose conversion lets other threads run first."""

    def __init__(self, value):
        self.value = value

    def __float__(self):
        time.sleep(0)
        return self.value


class Reentrant:
    """A number whose conversion calls the module on the same thread."""

    def __init__(self, value):
        self.value = value

    def __float__(self):
        inner = varnelle.am_greeks(self.value, 100.0, 0.5, 0.03, 0.3, 0.01, "put")
        time.sleep(0)
        return self.value + 0.0 * inner.delta


class YieldingTypeError:
    def __float__(self):
        time.sleep(0)
        raise TypeError("refused after a switch")


class YieldingSide(str):
    """Its characters are what counts; this just makes a distinct object."""


def make_cases():
    rng = random.Random(20240611)
    inputs = [(rng.uniform(50, 150), rng.uniform(50, 150), rng.uniform(0.01, 3.0), rng.uniform(-0.02, 0.1),
               rng.uniform(0.05, 1.0), rng.uniform(0.0, 0.08)) for _ in range(24)]
    inputs += [(100.0, 100.0, 0.0, 0.05, 0.2, 0.0), (100.0, 100.0, 1.0, 0.05, 0.0, 0.0),
               (math.nan, 100.0, 1.0, 0.05, 0.2, 0.0), (100.0, 100.0, math.inf, 0.05, 0.2, 0.0),
               (100.0, 120.0, 1.0, 0.01, 0.3, 0.09), (-0.0, 100.0, 1.0, 0.05, 0.2, 0.0)]
    yielding = [Yielding(v) for v in (95.0, 105.0, 0.75, 0.04, 0.25)]
    reentrant = Reentrant(101.0)
    cases = []
    for name in FUNCTION_NAMES:
        func = getattr(varnelle, name)
        for i, values in enumerate(inputs):
            if name in NO_SIDE:
                cases.append((func, values, {}))
            else:
                side = ("call", "put", "P", "Call")[i % 4]
                cases.append((func, values[:5], {"q": values[5], "option_type": side}))
        side = {} if name in NO_SIDE else {"option_type": YieldingSide("put")}
        cases += [
            (func, tuple(yielding), side),
            (func, (reentrant, *yielding[1:]), {}),
            (func, (*yielding[:4], YieldingTypeError()), {}),
            (func, (100.0, 100.0), {}),
            (func, (100.0, 100.0, 1.0, 0.05, 0.2), {"x": 1.0}),
            (func, (100.0, "100", 1.0, 0.05, 0.2), {}),
            (func, (100.0, 10 ** 400, 1.0, 0.05, 0.2), {}),
        ]
        if name not in NO_SIDE:
            cases.append((func, (100.0, 100.0, 1.0, 0.05, 0.2, 0.0, "sideways"), {}))
    return cases


def bits(x):
    return struct.pack("<d", x)


def outcome(func, args, kwargs):
    try:
        result = func(*args, **kwargs)
    except Exception as exc:  # noqa: BLE001 - compared by type and text
        return ("raised", type(exc), str(exc))
    if isinstance(result, float):
        return ("float", bits(result))
    return ("greeks", type(result), tuple(bits(getattr(result, f)) for f in GREEK_FIELDS), repr(result))


def test_threads_agree_bit_for_bit_with_a_serial_run():
    cases = make_cases()
    serial = [outcome(*case) for case in cases]
    rounds = 1 if sanitized() else ROUNDS
    mismatches = []
    crashed = []
    start = threading.Barrier(THREADS)
    made = [0] * THREADS

    def worker(index):
        try:
            order = list(range(len(cases)))
            random.Random(index).shuffle(order)
            start.wait()
            for _ in range(rounds):
                for i in order:
                    got = outcome(*cases[i])
                    made[index] += 1
                    if got != serial[i]:
                        mismatches.append((index, i, got, serial[i]))
        except BaseException as exc:  # noqa: BLE001 - reported below
            crashed.append((index, repr(exc)))

    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    try:
        threads = [threading.Thread(target=worker, args=(i,), name=f"pricer-{i}") for i in range(THREADS)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
    finally:
        sys.setswitchinterval(interval)
    print(f"\nthreads: {THREADS} threads made {sum(made)} calls ({len(cases)} cases x {rounds} rounds each)")
    assert crashed == []
    assert mismatches[:5] == []
    assert made == [len(cases) * rounds] * THREADS
