"""Internal failures surface as PanicException and leave the module usable.

Failures are provoked by making single allocations fail with
_testcapi.set_nomemory. Everything runs in a child process: the injection is
process-wide, and a containment bug would abort the interpreter.
"""

import json

import pytest

from conftest import run_python

pytest.importorskip("_testcapi")

UNWRAP_MESSAGE = ("called `Result::unwrap()` on an `Err` value: PyErr { type: <class 'MemoryError'>, "
                  "value: MemoryError(), traceback: None }")

SCRIPT = r"""
import json, sys, _testcapi, varnelle

ARGS = (100.0, 100.0, 1.0, 0.05, 0.2)
out = {}

def provoke(func):
    # Fail one allocation at a time, moving the failing one forward, until
    # the result object's allocation is the one that fails.
    for start in range(200):
        _testcapi.set_nomemory(start, start + 1)
        try:
            func(*ARGS)
        except BaseException as exc:
            _testcapi.remove_mem_hooks()
            if type(exc).__name__ == "PanicException":
                return exc
        finally:
            _testcapi.remove_mem_hooks()
    raise AssertionError("no PanicException provoked")

normal = {f: repr(getattr(varnelle, f)(*ARGS)) for f in ("bs_greeks", "am_greeks")}
normal["bs_delta"] = varnelle.bs_delta(*ARGS)

first = provoke(varnelle.bs_greeks)
out["after_first"] = repr(varnelle.bs_greeks(*ARGS)) == normal["bs_greeks"]
second = provoke(varnelle.am_greeks)
out["after_second"] = repr(varnelle.am_greeks(*ARGS)) == normal["am_greeks"]
Panic = type(first)
out["same_type"] = type(second) is Panic
out["module"] = Panic.__module__
out["name"] = Panic.__name__
out["qualname"] = Panic.__qualname__
out["mro"] = [c.__name__ for c in Panic.__mro__]
out["mro_tail_builtin"] = Panic.__mro__[1:] == (BaseException, object)
out["is_exception"] = isinstance(first, Exception)
out["args"] = [list(first.args), list(second.args)]
out["str"] = str(first)
out["doc"] = Panic.__doc__
out["bound_in_module"] = any(v is Panic for v in vars(varnelle).values())

try:
    try:
        raise provoke(varnelle.bs_greeks)
    except Exception:
        out["caught_as_exception"] = True
except BaseException:
    out["caught_as_exception"] = False

def resumed(exc):
    class Raising:
        def __float__(self):
            raise exc
    sys.stderr.write("<<MARK>>\n")
    sys.stderr.flush()
    try:
        varnelle.bs_delta(*ARGS[:3], Raising(), *ARGS[4:])
    except BaseException as new:
        return {
            "type_is_panic": type(new) is Panic,
            "is_original": new is exc,
            "args": list(new.args),
            "cause": repr(new.__cause__),
            "context": repr(new.__context__),
            "next_call_ok": varnelle.bs_delta(*ARGS) == normal["bs_delta"],
        }
    return None

out["resume"] = [resumed(first), resumed(Panic("raised by hand")), resumed(Panic()),
                 resumed(Panic("bad \udc80 text"))]

class PanicChild(Panic):
    pass

child = PanicChild("a subclass is an ordinary error")
class RaisingChild:
    def __float__(self):
        raise child
try:
    varnelle.bs_delta(RaisingChild(), *ARGS[1:])
except BaseException as exc:
    out["subclass_passes_as_itself"] = exc is child

json.dump(out, sys.stdout)
"""


@pytest.fixture(scope="module")
def outcome():
    result = run_python(SCRIPT)
    assert result.returncode == 0, result.stderr
    return json.loads(result.stdout), result.stderr


def test_panic_exception_type(outcome):
    out, _ = outcome
    assert out["module"] == "pyo3_runtime"
    assert out["name"] == out["qualname"] == "PanicException"
    assert out["mro"] == ["PanicException", "BaseException", "object"]
    assert out["mro_tail_builtin"]
    assert out["is_exception"] is False
    assert out["caught_as_exception"] is False
    assert out["same_type"]
    assert out["bound_in_module"] is False
    doc = out["doc"]
    assert doc.startswith("\n") and doc.endswith("\n") and "BaseException" in doc


def test_panic_from_result_allocation(outcome):
    out, stderr = outcome
    assert out["args"] == [[UNWRAP_MESSAGE], [UNWRAP_MESSAGE]]
    assert out["str"] == UNWRAP_MESSAGE
    # each failure is reported on standard error where it happened
    before_resume = stderr.split("<<MARK>>")[0]
    assert before_resume.count(UNWRAP_MESSAGE) >= 3


def test_calls_after_a_failure_behave_normally(outcome):
    out, _ = outcome
    assert out["after_first"] and out["after_second"]


@pytest.mark.parametrize("index, message", [
    (0, UNWRAP_MESSAGE),
    (1, "raised by hand"),
    (2, ""),
    (3, "bad \ufffd\ufffd\ufffd text"),  # one U+FFFD per byte of the surrogate
])
def test_panic_coming_back_through_python_is_resumed(outcome, index, message):
    out, stderr = outcome
    resumed = out["resume"][index]
    assert resumed == {
        "type_is_panic": True,
        "is_original": False,
        "args": [message],
        "cause": "None",
        "context": "None",
        "next_call_ok": True,
    }
    report = stderr.split("<<MARK>>\n")[index + 1]
    assert "Python stack trace below:" in report
    assert "Traceback (most recent call last):" in report
    assert "in __float__" in report
    assert "pyo3_runtime.PanicException" in report


def test_panic_subclass_is_an_ordinary_error(outcome):
    out, _ = outcome
    assert out["subclass_passes_as_itself"] is True


OOM_SCRIPT = """
    import sys, _testcapi, varnelle
    call = {call}
    call_ok = False
    outcomes = set()
    for start in range(30):
        _testcapi.set_nomemory(start, start + 1)
        try:
            call()
        except BaseException as exc:
            _testcapi.remove_mem_hooks()
            outcomes.add(type(exc).__name__)
        else:
            _testcapi.remove_mem_hooks()
            outcomes.add("returned")
    print(" ".join(sorted(outcomes)))
"""


# Running out of memory while an ordinary error is being raised must not take
# the process down: the caller gets an exception, at worst a MemoryError.
@pytest.mark.parametrize("call, error", [
    ("lambda: varnelle.bs_delta(1.0, 2.0)", "TypeError"),
    ("lambda: varnelle.am_price(1.0, 2.0, 3.0, 4.0, 5.0, 0.0, 'bogus')", "ValueError"),
    ("lambda: varnelle.PyGreeks()", "TypeError"),
    ("lambda: varnelle.bs_vega('x', 2.0, 3.0, 4.0, 5.0)", "TypeError"),
    ("lambda: varnelle.bs_rho(1.0, 2.0, 3.0, 4.0, 5.0, 0.0, None)", "TypeError"),
], ids=["missing", "invalid_side", "constructor", "bad_number", "bad_side_type"])
def test_allocation_failure_while_raising_does_not_abort(call, error):
    result = run_python(OOM_SCRIPT.format(call=call))
    assert result.returncode == 0, result.stderr[-2000:]
    assert "uncaught panic" not in result.stderr
    assert set(result.stdout.split()) <= {error, "MemoryError", "PanicException"}
