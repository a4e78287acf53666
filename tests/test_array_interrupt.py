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
