"""Loaded by every Python process of the sanitizer run (scripts/sanitize.sh
puts this directory on PYTHONPATH); does nothing anywhere else.

LeakSanitizer's own check runs after the interpreter has shut down, when the
interpreter has deliberately not freed what it keeps for the whole process
(its interned strings above all). That check alone cannot tell those blocks
from a leak of the module. So each interpreter also checks for leaks at its
last exit handler, while it is still alive: everything it keeps is reachable
then, and any block reported is a real leak, with no exception allowed.

One exception: a sub-interpreter, when it is destroyed, leaves behind the
interned strings it made, which are immortal; in a process that ran one, the
check before the main interpreter's shutdown sees those too. So a
sub-interpreter leaves a mark, subinterpreter.<pid>, for the report reader.

Reports go to separate files by phase, under $VARNELLE_SANITIZE_LOGS:
run.<pid> while the program runs (memory errors), ubsan.<pid> for undefined
behaviour, live.<pid> for the check before shutdown, exit.<pid> for the
check after it.
tests/sanitizer/check_reports.py reads them all.
"""

import atexit
import gc
import os


def _install():
    logs = os.environ.get("VARNELLE_SANITIZE_LOGS")
    if not logs:
        return
    try:
        import ctypes
    except ImportError:  # an isolated sub-interpreter cannot load ctypes
        return
    runtime = ctypes.CDLL(None)
    try:
        live_check = runtime.__lsan_do_recoverable_leak_check
        set_report_path = runtime.__sanitizer_set_report_path
    except AttributeError:  # not running under the sanitizer runtime
        return
    set_report_path.argtypes = [ctypes.c_char_p]
    # UndefinedBehaviorSanitizer's runtime keeps a report path of its own and
    # does not take it from UBSAN_OPTIONS when AddressSanitizer's runtime is
    # preloaded; set it here, in the library the module links.
    ubsan = os.environ.get("VARNELLE_SANITIZE_UBSAN")
    if ubsan:
        ubsan_set_report_path = ctypes.CDLL(ubsan).__sanitizer_set_report_path
        ubsan_set_report_path.argtypes = [ctypes.c_char_p]
        ubsan_set_report_path(os.fsencode(os.path.join(logs, "ubsan")))

    def check_before_shutdown():
        # Registered first, so it runs after every other exit handler. A
        # sub-interpreter runs its own when it ends; the path is set again
        # each time, since it is one setting for the whole process.
        gc.collect()
        set_report_path(os.fsencode(os.path.join(logs, "live")))
        live_check()
        set_report_path(os.fsencode(os.path.join(logs, "exit")))

    # The first interpreter of a process notes its process in the process
    # environment; one that finds its own process there is a sub-interpreter.
    if os.getenv("VARNELLE_SANITIZE_MAIN_PID") == str(os.getpid()):
        open(os.path.join(logs, f"subinterpreter.{os.getpid()}"), "w").close()
    else:
        os.putenv("VARNELLE_SANITIZE_MAIN_PID", str(os.getpid()))
        set_report_path(os.fsencode(os.path.join(logs, "run")))
    atexit.register(check_before_shutdown)


_install()
