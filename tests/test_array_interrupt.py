"""Ctrl-C during a long varnelle_np call: KeyboardInterrupt, the call cut
short, the process usable afterwards."""

import pytest

pytest.importorskip("numpy")

from conftest import run_python  # noqa: E402

# About two seconds of work on one core: far more than the 0.3 s before the
# signal, so a call that ignored it would reach the last row.
CHILD = """
    import os, signal, threading
    import numpy as np
    import varnelle_np as vnp

    rows = 4_000_000
    out = np.full(rows, np.nan)
    threading.Timer(0.3, os.kill, (os.getpid(), signal.SIGINT)).start()
    try:
        vnp.{call}
    except KeyboardInterrupt:
        print("interrupted", np.isnan(out[-1]))
    else:
        print("finished")
    print(vnp.am_price(100.0, 100.0, 1.0, 0.05, 0.2) == vnp.am_price(100.0, 100.0, 1.0, 0.05, 0.2))
"""


@pytest.mark.parametrize(
    "call",
    [
        'am_price(np.full(rows, 100.0), 100.0, 1.0, 0.05, 0.2, 0.0, "put", out=out)',
        'am_price(np.full(rows, 100.0), 100.0, 1.0, 0.05, 0.2, 0.0, "put", out=out, workers=2)',
        "ufuncs.am_price(np.full(rows, 100.0), 100.0, 1.0, 0.05, 0.2, 0.0, True, out=out)",
        # Casting makes NumPy hand the loop one small buffer at a time.
        'am_price(np.full(rows, 100.0, dtype=np.float32), 100.0, 1.0, 0.05, 0.2, 0.0, "put", out=out)',
    ],
)
def test_sigint_stops_a_long_call(call):
    result = run_python(CHILD.format(call=call))
    assert result.returncode == 0, result.stderr
    # The last row was never reached, and later calls work.
    assert result.stdout.split() == ["interrupted", "True", "True"]


def test_sigint_during_a_call_from_another_thread_goes_to_the_main_thread():
    # Only the main thread runs signal handlers: the other thread's call runs
    # to its end, and the process stays whole.
    result = run_python("""
        import os, signal, threading, time
        import numpy as np
        import varnelle_np as vnp

        out = np.full(4_000_000, np.nan)
        call = threading.Thread(target=vnp.am_price,
                                args=(np.full(out.size, 100.0), 100.0, 1.0, 0.05, 0.2, 0.0, "put"),
                                kwargs={"out": out, "workers": 2})
        call.start()
        threading.Timer(0.2, os.kill, (os.getpid(), signal.SIGINT)).start()
        seen = False
        while call.is_alive():
            try:
                time.sleep(0.01)
            except KeyboardInterrupt:
                seen = True
        print(seen, not np.isnan(out).any())
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["True", "True"]


# Rows of the integral model cost from microseconds to most of a second (two
# exercise boundaries over thirty years: a grid of ~80 ms a price, its Greeks
# and implied volatility several times that), far from the table's estimate.
# Whatever they cost, the call must stop within a second of the signal,
# raise, and leave the rows it did not finish as they were.
TIMED = """
    import os, signal, threading, time
    import numpy as np
    import varnelle_np as vnp

    n = {rows}
    s = np.linspace(85.0, 115.0, n)
    out = np.full({shape}, -7.0)
    sent = []
    def interrupt():
        sent.append(time.perf_counter())
        os.kill(os.getpid(), signal.SIGINT)
    threading.Timer({delay}, interrupt).start()
    try:
        vnp.{call}
    except KeyboardInterrupt:
        late = time.perf_counter() - sent[0]
        kept = (out == -7.0).any() or n == 1  # one row may have finished meanwhile
        print("interrupted", late < 1.0, not np.isnan(out).any(), kept)
    else:
        print("finished")
"""

TWO_BOUNDARIES = "100.0, 30.0, -0.01, 0.2, -0.05, 'put'"


@pytest.mark.parametrize("workers", [1, 2])
@pytest.mark.parametrize("call, rows, shape, delay", [
    (f"am_price(s, {TWO_BOUNDARIES}, out=out, workers={{workers}})", 6000, "n", 0.3),
    (f"am_greeks(s, {TWO_BOUNDARIES}, out=tuple(out), workers={{workers}})", 6000, "(5, n)", 0.3),
    # One row (about 0.3 s): an implied volatility prices the row a dozen times.
    ("am_implied_vol(np.full(n, 26.0), 90.0, 100.0, 30.0, -0.01, -0.05, 'put', tol=1e-10, out=out, "
     "workers={workers})", 1, "n", 0.05),
    # Cash dividends: the generalized ufuncs' loop, a solve per row (a
    # volatility of its own each, so no row reads another's solution).
    ("am_price(s, 100.0, 1.0, 0.05, np.linspace(0.15, 0.35, n), 0.0, 'put', "
     "dividends=([0.1, 0.35, 0.6, 0.85], [1.0] * 4), tol=1e-8, out=out, workers={workers})", 6000, "n", 0.3),
], ids=["price-book", "greeks-book", "implied-vol-row", "dividends-book"])
def test_sigint_stops_long_integral_rows_within_a_second(call, rows, shape, delay, workers):
    result = run_python(TIMED.format(call=call.format(workers=workers), rows=rows, shape=shape, delay=delay))
    assert result.returncode == 0, result.stderr
    # Raised within the call, in time, no row cut short was stored as NaN,
    # and rows not reached kept what they held.
    assert result.stdout.split() == ["interrupted", "True", "True", "True"]


def test_a_call_handed_to_a_worker_keeps_the_bits_of_rows_priced_alone():
    # A call the main thread computes for more than a few tens of ms hands
    # the rest to a thread (the row in progress is computed again there); an
    # output that is also an input must not be read after it was written.
    result = run_python("""
        import numpy as np
        import varnelle_np as vnp

        s = np.linspace(80.0, 120.0, 24)
        t = np.where(np.arange(24) % 3 == 0, 30.0, 1.0)  # every third row on the grid: ~80 ms
        alone = np.array([vnp.am_price(x, 100.0, y, -0.01, 0.2, -0.05, "put") for x, y in zip(s, t)])
        spots = s.copy()
        vnp.am_price(spots, 100.0, t, -0.01, 0.2, -0.05, "put", out=spots)
        greeks = vnp.am_greeks(s, 100.0, t, -0.01, 0.2, -0.05, "put", workers=2)
        one = [vnp.am_greeks(x, 100.0, y, -0.01, 0.2, -0.05, "put") for x, y in zip(s, t)]
        print(np.array_equal(spots, alone), np.array_equal(np.stack(greeks), np.array(one).T))
    """, timeout=300)
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["True", "True"]
