"""The engine's text functions against Python's own: case mapping for all of
Unicode, numbers as text in their shortest round-trip form."""

import decimal
import math
import os
import re
import sys
import unicodedata

import pytest

import veldra.engine as ve

hypothesis = pytest.importorskip("hypothesis")
from hypothesis import given, settings, strategies as st  # noqa: E402

SETTINGS = settings(max_examples=200, deadline=None, derandomize=True)
TABLES = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "server", "numerics", "case_tables.cpp")


def tables_unicode_version():
    with open(TABLES) as f:
        return re.search(r'kUnicodeVersion\[\] = "([^"]+)"', f.read()).group(1)


@pytest.fixture(scope="module")
def eng():
    with ve.start() as engine:
        yield engine


@pytest.mark.parametrize(
    "text",
    [
        "stra\u00dfe \u0101 \u0151 \u0142 \u01c6 \u0561",  # special casing and beyond Latin-1
        "\u0130stanbul \ufb03 \u0149 \u1e96 \u0390",  # one code point becomes two or three
        "\u039f\u0394\u039f\u03a3 \u03a3\u0391 \u0391\u03a3'. \u03a3",  # final sigma and where it is not
        "A\u0301\u03a3\u0301 \u03a3\u0345b \u1f88",  # case-ignorable marks around a sigma
        "\U00010400\U00010428 \U0001e900",  # outside the BMP
        "",
    ],
)
@pytest.mark.parametrize("fn", ["upper", "lower"])
def test_case_mapping_is_pythons(eng, fn, text):
    assert getattr(eng, fn)(text) == getattr(text, fn)()


@pytest.mark.skipif(sys.version_info < (3,), reason="Python 2 has no full case mappings")
@given(text=st.text(st.characters(blacklist_categories=("Cs",)), max_size=40))
@SETTINGS
def test_case_mapping_of_random_text_is_pythons(eng, text):
    if unicodedata.unidata_version != tables_unicode_version():
        pytest.skip(
            "the engine follows Unicode %s, this Python %s" % (tables_unicode_version(), unicodedata.unidata_version)
        )
    assert (eng.upper(text), eng.lower(text)) == (text.upper(), text.lower())


def shortest(v):
    """Whole numbers in full below 1e15; otherwise the digits of repr (the
    shortest that read back as v) in printf's %g style."""
    if v == math.floor(v) and abs(v) < 1e15:
        return "%.0f" % v
    sign, digits, exp = decimal.Decimal(repr(v)).normalize().as_tuple()
    x = len(digits) + exp - 1
    text = "".join(map(str, digits))
    if x < -4 or x >= len(digits):
        text = text[0] + ("." + text[1:] if len(text) > 1 else "") + "e%+03d" % x
    else:
        text = "{:f}".format(decimal.Decimal((0, digits, exp)))
    return "-" * sign + text


@given(v=st.floats(allow_nan=False, allow_infinity=False).filter(lambda x: x != 0))
@SETTINGS
def test_number_text_is_shortest_round_trip(eng, v):
    assert eng.to_text(v) == shortest(v)
