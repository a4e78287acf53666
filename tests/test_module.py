"""The module object: names, documentation, signatures and import rules."""

import importlib
import inspect
import sys
import types

import pytest

import varnelle
from conftest import FUNCTION_NAMES, NO_SIDE, params_of, run_python

MODULE_DOC = (
    "Python module for option pricing Greeks calculations.\n"
    "\n"
    "This module provides functions for calculating option Greeks using:\n"
    "- Black-Scholes model (European options): bs_* functions\n"
    "- Bjerksund-Stensland model (American options): am_* functions"
)

SUMMARY_AND_RETURNS = {
    "bs_delta": ("Calculate the delta of a European option using Black-Scholes.",
                 "The delta of the option"),
    "bs_gamma": ("Calculate the gamma of a European option using Black-Scholes.",
                 "The gamma of the option (same for calls and puts)"),
    "bs_theta": ("Calculate the theta of a European option using Black-Scholes.",
                 "The theta of the option (per day)"),
    "bs_vega": ("Calculate the vega of a European option using Black-Scholes.",
                "The vega of the option (same for calls and puts)"),
    "bs_rho": ("Calculate the rho of a European option using Black-Scholes.",
               "The rho of the option (per 1% change in interest rate)"),
    "bs_greeks": ("Calculate all Greeks for a European option using Black-Scholes.",
                  "A Greeks object with delta, gamma, theta, vega, and rho"),
    "am_price": ("Calculate the price of an American option using Bjerksund-Stensland 2002.",
                 "The price of the American option"),
    "am_delta": ("Calculate the delta of an American option using Bjerksund-Stensland.",
                 "The delta of the American option"),
    "am_gamma": ("Calculate the gamma of an American option using Bjerksund-Stensland.",
                 "The gamma of the American option"),
    "am_theta": ("Calculate the theta of an American option using Bjerksund-Stensland.",
                 "The theta of the American option (per day)"),
    "am_vega": ("Calculate the vega of an American option using Bjerksund-Stensland.",
                "The vega of the American option"),
    "am_rho": ("Calculate the rho of an American option using Bjerksund-Stensland.",
               "The rho of the American option (per 1% change in interest rate)"),
    "am_greeks": ("Calculate all Greeks for an American option using Bjerksund-Stensland.",
                  "A Greeks object with delta, gamma, theta, vega, and rho"),
}


def expected_doc(name):
    summary, returns = SUMMARY_AND_RETURNS[name]
    example = name == "bs_delta"
    lines = [
        summary, "", "Args:",
        "    s: Current price of the underlying asset",
        "    k: Strike price of the option",
        "    t: Time to expiration in years",
        "    r: Risk-free interest rate" + (" (e.g., 0.05 for 5%)" if example else ""),
        "    sigma: Volatility of the underlying asset" + (" (e.g., 0.2 for 20%)" if example else ""),
        "    q: Dividend yield" + (" (e.g., 0.01 for 1%)" if example else ""),
    ]
    if name not in NO_SIDE:
        lines.append("    option_type: 'call' or 'put'")
    lines += ["", "Returns:", "    " + returns]
    return "\n".join(lines)


def test_module_doc_and_all():
    assert varnelle.__doc__ == MODULE_DOC
    assert varnelle.__name__ == "varnelle"
    assert varnelle.__all__ == FUNCTION_NAMES + ["PyGreeks"]
    assert type(varnelle.__all__) is list
    for name in varnelle.__all__:
        assert hasattr(varnelle, name)
    assert not hasattr(varnelle, "PanicException")


def test_module_is_the_stable_abi_build():
    assert varnelle.__file__.endswith(".abi3.so")
    assert varnelle.__spec__.origin == varnelle.__file__


@pytest.mark.parametrize("name", FUNCTION_NAMES)
def test_function_metadata(name):
    func = getattr(varnelle, name)
    assert type(func) is types.BuiltinFunctionType
    assert func.__name__ == name
    assert func.__qualname__ == name
    assert func.__module__ == "varnelle"
    assert func.__self__ is varnelle
    assert func.__doc__ == expected_doc(name)
    if name in NO_SIDE:
        assert func.__text_signature__ == "(s, k, t, r, sigma, q=0.0)"
    else:
        assert func.__text_signature__ == '(s, k, t, r, sigma, q=0.0, option_type="call")'


@pytest.mark.parametrize("name", FUNCTION_NAMES)
def test_signature(name):
    sig = inspect.signature(getattr(varnelle, name))
    params = list(sig.parameters.values())
    assert [p.name for p in params] == list(params_of(name))
    assert all(p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD for p in params)
    assert all(p.default is inspect.Parameter.empty for p in params[:5])
    assert params[5].default == 0.0 and type(params[5].default) is float
    if name not in NO_SIDE:
        assert params[6].default == "call"


def test_reimport_returns_the_same_module():
    original = sys.modules["varnelle"]
    functions = [getattr(original, n) for n in original.__all__]
    try:
        del sys.modules["varnelle"]
        again = importlib.import_module("varnelle")
    finally:
        sys.modules["varnelle"] = original
    assert again is original
    # the module body did not run a second time
    assert again.__all__ == FUNCTION_NAMES + ["PyGreeks"]
    assert [getattr(again, n) for n in again.__all__] == functions


# Runs inside the second interpreter; reports through the shared stdout fd.
PROBE = (
    "import os\n"
    "try:\n"
    "    import varnelle\n"
    "    os.write(1, b'imported\\n')\n"
    "except BaseException as exc:\n"
    "    os.write(1, ('%s|%s\\n' % (type(exc).__name__, exc)).encode())\n"
)

SUBINTERPRETER_SCRIPT = """
    import os, sys
    import varnelle
    try:
        import _interpreters as api
        def create(isolated):
            return api.create(api.new_config("isolated" if isolated else "legacy"))
    except ImportError:
        import _xxsubinterpreters as api
        def create(isolated):
            return api.create(isolated=isolated)

    for isolated in (False, True):
        os.write(1, b"legacy: " if not isolated else b"isolated: ")
        interp = create(isolated)
        api.run_string(interp, PROBE)
        api.destroy(interp)
    # the first interpreter is unaffected
    assert varnelle.bs_delta(100, 100, 1, 0.05, 0.2) > 0.5
    del sys.modules["varnelle"]
    import varnelle as again
    assert again is varnelle
    os.write(1, b"main: ok\\n")
"""


def test_second_interpreter_is_refused():
    result = run_python(SUBINTERPRETER_SCRIPT.replace("PROBE", repr(PROBE)))
    if result.returncode != 0 and "No module named" in result.stderr:
        pytest.skip("no sub-interpreter API in this build")
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert len(lines) == 3, result.stdout
    legacy, isolated, main = lines
    # A legacy interpreter runs our initialisation, which must refuse.
    kind, _, message = legacy.removeprefix("legacy: ").partition("|")
    assert kind == "ImportError"
    assert "does not yet support subinterpreters" in message
    assert message.rstrip().split()[-1].startswith("https://")
    # An isolated one refuses a single-phase module before reaching us.
    assert isolated.removeprefix("isolated: ").startswith("ImportError|")
    assert main == "main: ok"
