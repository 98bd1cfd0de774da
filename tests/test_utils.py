import math
import re
import time
from decimal import Decimal
from fractions import Fraction

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from tamrix import utils

BOM = b"\xef\xbb\xbf"
# Windows-1252 leaves five bytes undefined; they read as Latin-1.
CP1252 = [chr(b) if b in (0x81, 0x8D, 0x8F, 0x90, 0x9D) else bytes([b]).decode("cp1252") for b in range(256)]


def expected_file_text(raw: bytes) -> bytes:
    try:
        raw.decode("utf-8")
    except UnicodeDecodeError:
        return "".join(CP1252[b] for b in raw).encode("utf-8")
    return raw[len(BOM) :] if raw.startswith(BOM) else raw


@pytest.mark.parametrize(
    "text, trimmed, newlines_trimmed",
    [
        (b"  a b  ", b"a b", b"  a b  "),
        (b"\r\n  x  \n", b"x", b"  x  "),
        (b"\t\r\n \r", b"", b"\t\r\n "),
        (b"", b"", b""),
        (b"\x0bv\x0c", b"\x0bv\x0c", b"\x0bv\x0c"),  # vertical tab and form feed are kept
    ],
)
def test_trim(text, trimmed, newlines_trimmed):
    assert utils.trim_string(text) == trimmed
    assert utils.trim_newlines(text) == newlines_trimmed


@given(st.binary(max_size=40))
def test_trim_matches_bytes_strip(data):
    assert utils.trim_string(data) == data.strip(b" \t\r\n")
    assert utils.trim_newlines(text=data) == data.strip(b"\r\n")


@pytest.mark.parametrize(
    "text, span",
    [(b"Vertex 12 X-coordinate", (7, 9)), (b"007", (0, 3)), (b"none", (-1, -1)), (b"", (-1, -1)),
     ("\u0663".encode(), (-1, -1))],  # an Arabic-Indic digit is not ASCII
)
def test_continuous_digits(text, span):
    assert utils.get_continuous_digits_indices(text) == span


@pytest.mark.parametrize(
    "raw, text",
    [
        (b"Zone,\r\n  Office;\n", "Zone,\r\n  Office;\n"),
        (BOM + b"Version,8.8;", "Version,8.8;"),
        (BOM + BOM + b"x", "\ufeffx"),  # only one mark is dropped
        ("-15.5\u00b0C".encode(), "-15.5\u00b0C"),
        (b"-15.5\xb0C", "-15.5\u00b0C"),
        (b"\x93q\x94 \x96 \x80", "\u201cq\u201d \u2013 \u20ac"),
        (b"\x81\x8d\x8f\x90\x9d", "\x81\x8d\x8f\x90\x9d"),
        (b"\xed\xa0\x80", "\u00ed\u00a0\u20ac"),  # an encoded surrogate is not UTF-8
    ],
)
def test_read_without_encoding(tmp_path, raw, text):
    path = tmp_path / "in.idf"
    path.write_bytes(raw)
    assert utils.read_utf8_bytes(path) == text.encode("utf-8")
    assert utils.read_utf8_bytes(str(path), None) == text.encode("utf-8")


@settings(max_examples=200)
@given(st.one_of(st.binary(max_size=48), st.text(max_size=16).map(lambda s: BOM + s.encode())))
def test_read_without_encoding_property(tmp_path_factory, raw):
    path = tmp_path_factory.getbasetemp() / "property.idf"
    path.write_bytes(raw)
    assert utils.read_utf8_bytes(path) == expected_file_text(raw)


@pytest.mark.parametrize(
    "raw, encoding, text",
    [("Zone \u00e9".encode("utf-16"), "utf-16", "Zone \u00e9"), (b"\xb0\x93", "latin-1", "\u00b0\x93"),
     (b"\xb0\x93", "utf-8", UnicodeDecodeError), (b"x", "no-such-codec", LookupError)],
)
def test_read_with_encoding(tmp_path, raw, encoding, text):
    path = tmp_path / "in.idf"
    path.write_bytes(raw)
    if isinstance(text, str):
        assert utils.read_utf8_bytes(filepath=path, encoding=encoding) == text.encode("utf-8")
    else:
        with pytest.raises(text):
            utils.read_utf8_bytes(path, encoding)


def test_read_errors(tmp_path):
    missing = tmp_path / "missing.idf"
    with pytest.raises(FileNotFoundError) as exc:
        utils.read_utf8_bytes(missing)
    assert exc.value.filename == str(missing)
    with pytest.raises(IsADirectoryError):
        utils.read_utf8_bytes(tmp_path)


def test_read_real_files(data_dir):
    text = utils.read_utf8_bytes(data_dir / "idf" / "V8-8-0" / "1ZoneUncontrolled.idf").decode("utf-8")
    assert "\u00b0" in text  # a cp1252 degree sign in the header comments
    utf8 = data_dir / "idf" / "V8-8-0" / "1ZoneUncontrolled_OtherEquipmentWithFuel.idf"
    assert utils.read_utf8_bytes(utf8) == utf8.read_bytes()


class Index:
    def __index__(self):
        return 42

    def __float__(self):
        return 9.5


class Real:
    def __float__(self):
        return 2.5


@pytest.mark.parametrize(
    "value, text",
    [
        ("Office 1", b"Office 1"), ("15.5\u00b0C", "15.5\u00b0C".encode()), (True, b"Yes"), (False, b"No"),
        (-7, b"-7"), (2**70, b"1180591620717411303424"), (Index(), b"42"), (1.0, b"1.0"), (-0.0, b"-0.0"),
        (1e16, b"1e+16"), (Fraction(1, 3), b"0.3333333333333333"), (Decimal("2.50"), b"2.5"), (Real(), b"2.5"),
    ],
)
def test_any_to_string(value, text):
    assert utils.any_to_string(value) == text


@given(st.floats(allow_nan=False, allow_infinity=False))
def test_any_to_string_float_round_trips(value):
    assert utils.any_to_string(value) == repr(value).encode()


@pytest.mark.parametrize(
    "value, error, message",
    [
        (math.nan, ValueError, "nan"), (-math.inf, ValueError, "-inf"), (Decimal("Infinity"), ValueError, "inf"),
        (None, TypeError, "NoneType"), ([1], TypeError, "list"), (b"x", TypeError, "bytes"),
        ("a,b", ValueError, "','"), ("a;b", ValueError, "';'"), ("a!b", ValueError, "'!'"),
        ("a\rb", ValueError, "carriage return"), ("a\nb", ValueError, "line break"),
        ("\ud800", UnicodeEncodeError, "surrogate"),
    ],
)
def test_any_to_string_refuses(value, error, message):
    with pytest.raises(error, match=re.escape(message)):
        utils.any_to_string(value)


def test_current_time():
    before = time.time()
    stamp = utils.get_current_time()
    after = time.time()
    assert re.fullmatch(rb"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d", stamp)
    assert int(before) - 1 <= time.mktime(time.strptime(stamp.decode(), "%Y-%m-%d %H:%M:%S")) <= after + 1


@pytest.mark.parametrize(
    "func, args, kwargs, message",
    [
        ("read_utf8_bytes", (), {}, "read_utf8_bytes() takes at least 1 positional argument (0 given)"),
        ("read_utf8_bytes", (), {"encoding": "ascii"}, "read_utf8_bytes() takes at least 1 positional argument (0 given)"),
        ("read_utf8_bytes", ("a", "b", "c"), {}, "read_utf8_bytes() takes at most 2 positional arguments (3 given)"),
        ("read_utf8_bytes", ("a",), {"encoding": 1}, "Argument 'encoding' has incorrect type (expected str, got int)"),
        ("read_utf8_bytes", ("a",), {"filepath": "b"}, "read_utf8_bytes() got multiple values for keyword argument 'filepath'"),
        ("any_to_string", (1, 2), {}, "any_to_string() takes exactly 1 positional argument (2 given)"),
        ("get_current_time", (1,), {}, "get_current_time() takes exactly 0 positional arguments (1 given)"),
        ("get_current_time", (), {"now": 1}, "get_current_time() got an unexpected keyword argument 'now'"),
        ("trim_string", (b"x",), {"strip": 1}, "trim_string() got an unexpected keyword argument 'strip'"),
        ("trim_newlines", ("x",), {}, "Argument 'text' has incorrect type (expected bytes, got str)"),
    ],
)
def test_argument_errors(func, args, kwargs, message):
    with pytest.raises(TypeError) as exc:
        getattr(utils, func)(*args, **kwargs)
    assert str(exc.value) == message


def test_keyword_arguments(tmp_path):
    path = tmp_path / "k.idf"
    path.write_bytes(b"x")
    for _ in range(3):  # the parsers are kept between calls
        assert utils.read_utf8_bytes(filepath=str(path), encoding="ascii") == b"x"
        assert utils.any_to_string(value=3) == b"3"
        assert utils.trim_string(text=b" y ") == b"y"
        assert utils.get_continuous_digits_indices(text=b"a1") == (1, 2)


def test_capsule_for_other_modules():
    assert 'capsule object "tamrix.utils._C_API"' in repr(utils._C_API)
