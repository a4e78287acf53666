"""The module across the interpreter's life: repeated imports, a legacy
sub-interpreter that imports first, and shutdown while results, calls and
threads are still alive.

Each scenario runs in a fresh interpreter (the module's process-wide state is
part of what is tested) and must end with exit status 0 and nothing on
standard error; under the sanitizer build (make sanitize) the same children
also report any memory error or leak.
"""

import sys

import pytest

from conftest import run_python

REPEATED_IMPORT = """
    import gc, importlib, importlib.util, sys
    import varnelle

    first = varnelle
    ident = id(first)
    functions = [getattr(first, n) for n in first.__all__]
    expected = first.am_greeks(100.0, 95.0, 0.5, 0.03, 0.25, 0.01, "put")
    type_refs = sys.getrefcount(first.PyGreeks)
    for _ in range(300):
        del sys.modules["varnelle"]
        again = importlib.import_module("varnelle")
        assert again is first
    # a reload and a load through importlib.util by hand reach the same cached module
    assert importlib.reload(first) is first
    spec = importlib.util.find_spec("varnelle")
    assert importlib.util.module_from_spec(spec) is first
    assert [getattr(first, n) for n in first.__all__] == functions
    assert len(first.__all__) == 14
    assert sys.getrefcount(first.PyGreeks) == type_refs
    # drop every reference the program holds: the module stays cached
    del sys.modules["varnelle"], varnelle, first, again, functions
    gc.collect()
    import varnelle
    assert id(varnelle) == ident
    assert repr(varnelle.am_greeks(100.0, 95.0, 0.5, 0.03, 0.25, 0.01, "put")) == repr(expected)
    print("ok")
"""

# Runs in the sub-interpreter; reports through the shared stdout descriptor.
SUB = (
    "import os, varnelle\n"
    "kept = [varnelle.bs_greeks(100, 100, 1, 0.05, 0.2) for _ in range(50)]\n"
    "os.write(1, b'sub: ' + repr(kept[0]).encode() + b'\\n')\n"
)

SUBINTERPRETER_FIRST = """
    import os, sys
    try:
        import _interpreters as api
        def create():
            return api.create(api.new_config("legacy"))
        def run(interp, code):
            failure = api.run_string(interp, code)
            return None if failure is None else failure.type.__name__ + ": " + failure.msg
    except ImportError:
        import _xxsubinterpreters as api
        def create():
            return api.create(isolated=False)
        def run(interp, code):
            try:
                api.run_string(interp, code)
            except api.RunFailedError as exc:
                return str(exc).replace("<class 'ImportError'>", "ImportError")
            return None

    outcomes = []
    for _ in range(2):
        interp = create()
        outcomes.append(("sub", run(interp, SUB)))
        api.destroy(interp)
        try:
            import varnelle
        except ImportError as exc:
            outcomes.append(("main", "ImportError: " + str(exc)))
        else:
            assert varnelle.bs_delta(100, 100, 1, 0.05, 0.2) > 0.5
            outcomes.append(("main", None))
    for where, failure in outcomes:
        print(where, failure or "imported")
"""

LIVE_RESULTS_AT_EXIT = """
    import atexit, os, sys, varnelle

    write = os.write
    am_greeks = varnelle.am_greeks
    keep = [varnelle.bs_greeks(100.0, 90.0 + i, 1.0, 0.05, 0.2) for i in range(200)]
    cycle = [varnelle.am_greeks(100.0, 100.0, 1.0, 0.05, 0.2, 0.0, "put")]
    cycle.append(cycle)
    sys.kept_greeks = varnelle.bs_greeks(100.0, 100.0, 1.0, 0.05, 0.2)
    varnelle.kept_greeks = varnelle.am_greeks(100.0, 100.0, 1.0, 0.05, 0.2)
    # the class itself holds an instance: both live until the process ends
    varnelle.PyGreeks.kept = varnelle.bs_greeks(1.0, 2.0, 3.0, 0.04, 0.5)

    class Late:
        # collected while the interpreter tears its modules down; it prices
        # through a function it saved, since the module's namespace may be
        # cleared by then
        def __init__(self, held):
            self.held = held

        def __del__(self):
            fresh = am_greeks(100.0, 105.0, 0.5, 0.02, 0.3, 0.01, "call")
            write(1, ("late: " + repr(self.held) + " " + repr(fresh.delta > 0) + "\\n").encode())

    late = Late(varnelle.bs_greeks(100.0, 100.0, 1.0, 0.05, 0.2))
    atexit.register(lambda: write(1, ("atexit: " + repr(keep[0]) + "\\n").encode()))
    print("ready", flush=True)
"""

DAEMON_THREADS_AT_EXIT = """
    import threading, time, varnelle

    class Endless:
        # A conversion that never finishes and keeps giving the interpreter
        # lock away: its thread is always inside a module call when it asks
        # for the lock back.
        def __float__(self):
            while True:
                time.sleep(0.005)

    class HoldsExitOpen:
        # Collected during shutdown, after the interpreter stopped handing
        # its lock to daemon threads; the pause lets them all wake meanwhile.
        def __init__(self):
            self.sleep = time.sleep

        def __del__(self):
            self.sleep(0.2)

    endless = Endless()
    started = threading.Barrier(9)

    def call():
        started.wait()
        varnelle.bs_delta(endless, 100.0, 1.0, 0.05, 0.2)

    for _ in range(8):
        threading.Thread(target=call, daemon=True).start()
    holder = HoldsExitOpen()
    started.wait()
    time.sleep(0.05)
    print("exiting", flush=True)
"""


def run_clean(code):
    result = run_python(code)
    assert result.returncode == 0, result.stderr[-3000:]
    assert result.stderr == ""
    return result.stdout.splitlines()


def test_repeated_import_returns_the_one_cached_module():
    assert run_clean(REPEATED_IMPORT) == ["ok"]


def test_legacy_subinterpreter_importing_first():
    """Only one interpreter ever gets the module; every other import, before
    or after a sub-interpreter is destroyed, is refused with ImportError and
    nothing crashes. Under Python 3.12 the sub-interpreter that imports first
    keeps the module, so the main interpreter can never import it; Python
    3.13 refuses the sub-interpreter even then, and the main one imports."""
    result = run_python(SUBINTERPRETER_FIRST.replace("SUB", repr(SUB)))
    if result.returncode != 0 and "No module named" in result.stderr:
        pytest.skip("no sub-interpreter API in this build")
    assert result.returncode == 0, result.stderr[-3000:]
    lines = [line for line in result.stdout.splitlines() if not line.startswith("sub: ")]
    refused = "ImportError: varnelle does not yet support subinterpreters"
    owner = "main" if sys.version_info >= (3, 13) else "sub"
    assert len(lines) == 4
    first_owner = lines[0] if owner == "sub" else lines[1]
    assert first_owner == f"{owner} imported"
    others = [line for line in lines if line != first_owner]
    assert all(line.split(" ", 1)[1].startswith(refused) for line in others), lines
    assert (owner == "sub") == result.stdout.startswith("sub: Greeks(delta=0.636831")


def test_shutdown_with_live_results():
    lines = run_clean(LIVE_RESULTS_AT_EXIT)
    assert lines[0] == "ready"
    assert lines[1].startswith("atexit: Greeks(delta=")
    assert lines[2] == ("late: Greeks(delta=0.636831, gamma=0.018762, theta=-0.017573, vega=37.524035, "
                        "rho=0.532325) True")


def test_shutdown_while_daemon_threads_are_inside_calls():
    """The interpreter ends a daemon thread that wants its lock back during
    shutdown by unwinding the thread's stack, module frames included; that
    unwinding must pass through the module's entries, not abort the process."""
    assert run_clean(DAEMON_THREADS_AT_EXIT) == ["exiting"]
