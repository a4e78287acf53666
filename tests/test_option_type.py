"""Parsing of the option_type text."""

import pytest

import varnelle
from conftest import BASE, WITH_SIDE, as_values, same_values

INVALID_MESSAGE = "Invalid option type. Use 'call' or 'put'."


@pytest.mark.parametrize("text, canonical", [
    *[(t, "call") for t in ("call", "CALL", "Call", "cALl", "c", "C")],
    *[(t, "put") for t in ("put", "PUT", "Put", "pUt", "p", "P")],
])
@pytest.mark.parametrize("name", ["bs_delta", "bs_greeks", "am_price", "am_vega"])
def test_accepted_spellings(name, text, canonical):
    func = getattr(varnelle, name)
    assert same_values(as_values(func(*BASE, 0.02, text)), as_values(func(*BASE, 0.02, canonical)))


def test_put_and_call_are_told_apart():
    assert varnelle.bs_delta(*BASE, option_type="P") < 0 < varnelle.bs_delta(*BASE, option_type="C")


@pytest.mark.parametrize("text", [
    "", " put", "put ", "\tcall", "call\n", "puts", "calls", "pu", "ca", "cal", "callput",
    "p u t", "c\x00", "call\x00", "\x00",
    "ｃａｌｌ", "Ｐ",            # full-width letters
    "саll", "рut",              # Cyrillic look-alikes
    "ca\u0301ll", "\u0441",     # combining accent, Cyrillic es
    "CALL\u0130", "\u212a",     # letters whose lower case grows or is ASCII elsewhere
    "put" * 1000,
], ids=ascii)
@pytest.mark.parametrize("name", WITH_SIDE)
def test_rejected_texts(name, text):
    with pytest.raises(ValueError) as info:
        getattr(varnelle, name)(*BASE, 0.0, text)
    assert type(info.value) is ValueError
    assert str(info.value) == INVALID_MESSAGE
    assert info.value.args == (INVALID_MESSAGE,)


def test_invalid_text_is_checked_only_after_all_numbers_convert():
    with pytest.raises(TypeError, match=r"^argument 'q': "):
        varnelle.am_rho(*BASE, "0.0", "neither")
    # and a default q with an invalid side is the side error
    with pytest.raises(ValueError, match=r"^Invalid option type"):
        varnelle.am_rho(*BASE, option_type="neither")


@pytest.mark.parametrize("name", ["am_gamma", "am_vega"])
def test_american_gamma_and_vega_parse_the_side(name):
    func = getattr(varnelle, name)
    assert isinstance(func(*BASE, option_type="put"), float)
    assert isinstance(func(*BASE, 0.0, "PUT"), float)
    with pytest.raises(ValueError, match="^Invalid option type. Use 'call' or 'put'.$"):
        func(*BASE, option_type="straddle")
