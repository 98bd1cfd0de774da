"""Field access on IDFObject: keys, typed reading, writing, update(), and
objects that are free-standing or never initialised."""

from __future__ import annotations

import locale
import math
import re
import subprocess
import sys

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from tamrix.idd import IDD
from tamrix.idf import IDF, IDFObject

IDD_TEXT = r"""!IDD_Version 1.0.0
\group Basics
Zone,
  \min-fields 2
  A1, \field Name
  N1, \field X Origin
      \type real
      \units m
  N2, \field Multiplier
      \type integer
  N3, \field Volume
      \type real
      \autocalculatable
  A2; \field Note
Surface,
  \extensible:3
  A1, \field Name
  N1, \field Area
      \type real
      \autosizable
  N2, \field Count
      \type integer
      \autosizable
  N3, \field Vertex 1 X-coordinate
      \begin-extensible
      \type real
  N4, \field Vertex 1 Y-coordinate
      \type real
  N5; \field Vertex 1 Z-coordinate
      \type real
Wide,
""" + "".join(f"  A{i}{';' if i == 12 else ','} \\field Field {i}\n" for i in range(1, 13))


@pytest.fixture(scope="module")
def idd():
    return IDD.from_string(IDD_TEXT)


@pytest.fixture
def zone(idd):
    return IDF.from_string(idd, "Zone,Hall,1.5,2,,memo;\n")["Zone"][0]


def read_back(obj, key, value):
    obj[key] = value
    return obj[key]


# --- keys ---------------------------------------------------------------------------


@pytest.mark.parametrize(
    "key, expected", [(0, "Hall"), (1, 1.5), ("MULTIPLIER", 2), ("x origin", 1.5), ("nOtE", "memo")]
)
def test_key_by_index_or_name_in_any_case(zone, key, expected):
    assert zone[key] == expected


@pytest.mark.parametrize(
    "key, index", [("Vertex 1 Y-coordinate", 4), ("vertex 2 x-COORDINATE", 6), ("Vertex 200 Z-coordinate", 602)]
)
def test_extensible_group_names_address_later_fields(idd, key, index):
    surface = IDF.from_string(idd, "Surface,S1,10,3,0,0,0,1,0,0;")["Surface"][0]
    surface[key] = 7.25
    values = surface.get_values()
    assert len(values) == max(index + 1, 9) and values[index] == surface[key] == 7.25


@pytest.mark.parametrize(
    "key, error, words",
    [(5, IndexError, ["5", "Zone", "0 to 4"]), (-1, IndexError, ["-1", "Zone"]), (2**70, IndexError, [str(2**70)]),
     ("Nope", KeyError, ["Nope", "Zone"]), ("Name ", KeyError, ["Zone"]), (1.0, TypeError, []),
     (None, TypeError, []), (b"Name", TypeError, [])],
)
def test_bad_keys_raise_for_read_write_and_update(zone, key, error, words):
    before = zone.get_values()
    for action in (lambda: zone[key], lambda: zone.__setitem__(key, "x"), lambda: zone.update({"Name": "x", key: "x"})):
        with pytest.raises(error) as info:
            action()
        assert all(w in str(info.value) for w in words)
    assert zone.get_values() == before


def test_integer_keys_reach_every_stored_value(idd):
    # A class that does not repeat, holding more values than it declares:
    # the stored ones are reachable; past both, the dictionary's IndexError.
    zone = IDF.from_string(idd, "Zone,A,1,2,3,n,extra,7;")["Zone"][0]
    assert (len(zone), zone[5], zone[6], list(zone)[5:]) == (7, "extra", "7", ["extra", "7"])
    with pytest.raises(IndexError, match=r"^Field index 7 out of range for class 'Zone' \(0 to 4\)$"):
        zone[7]
    zone[6] = "8"
    zone.update({5: "x"})
    assert zone._raw_values()[5:] == ["x", "8"]
    zone.update([None] * 7)
    assert len(zone) == 0 and bool(zone) and list(zone) == []
    with pytest.raises(IndexError, match="5"):
        zone[5]


def test_integer_keys_reach_any_later_group_of_an_extensible_class(idd):
    surface = IDF.from_string(idd, "Surface,S1,10,3,0,0,0,1,0,0;")["Surface"][0]
    assert (surface[9], surface[10], surface[10**6], surface[2**31 - 1]) == (None, None, None, None)
    assert len(surface) == 9
    surface[10**4 + 4] = "2.5"
    assert len(surface) == 10**4 + 5 and surface["Vertex 3334 Z-coordinate"] == 2.5
    for key in (2**31, 2**70):
        with pytest.raises(IndexError, match=f"^Field index {key} out of range for class 'Surface'"):
            surface[key]
    with pytest.raises(IndexError, match="-1"):
        surface[-1]
    surface.update({10**4 + 4: None})
    assert len(surface) == 9


def test_iteration_is_over_the_values_when_it_starts(idd):
    surface = IDF.from_string(idd, "Surface,S1,autosize,3,0,0,0;")["Surface"][0]
    seen = []
    for value in surface:
        seen.append(value)
        surface[len(surface) + 2] = 1  # grows while iterating: the loop still ends
    assert seen == ["S1", "Autosize", 3, 0.0, 0.0, 0.0]
    assert bool(IDFObject(idd, "Surface")) and len(IDFObject(idd, "Surface")) == 0


def test_delete_is_not_supported(zone):
    with pytest.raises(NotImplementedError, match="^Subscript deletion not supported by tamrix.idf.IDFObject$"):
        del zone["Name"]
    assert zone["Name"] == "Hall"


# --- typed reading ----------------------------------------------------------------------


@pytest.mark.parametrize(
    "cls, key, text, expected",
    [("Zone", "Multiplier", "+7", 7), ("Zone", "Multiplier", " 5", 5), ("Zone", "Multiplier", "5 ", 5),
     ("Zone", "Multiplier", "4.0", "4.0"), ("Zone", "Multiplier", "0x10", "0x10"), ("Zone", "X Origin", "1e3", 1000.0),
     ("Zone", "X Origin", ".5", 0.5), ("Zone", "X Origin", "0x1p4", 16.0), ("Zone", "X Origin", "-INF", -math.inf),
     ("Zone", "X Origin", "abc", "abc"), ("Zone", "X Origin", "1.5 ", 1.5), ("Zone", "Name", "12", "12"),
     ("Zone", "Volume", "AutoCalculate", "Autocalculate"), ("Zone", "Volume", "autocalculate\t", "Autocalculate"),
     ("Zone", "Volume", "autosize", "autosize"), ("Zone", "Note", " \tpadded  ", "padded"),
     ("Surface", "Area", "AUTOSIZE", "Autosize"), ("Surface", "Count", "autoSize", "Autosize"),
     ("Surface", "Area", " autosize", "Autosize"), ("Surface", "Area", "autocalculate", "autocalculate")],
)
def test_typed_reading(idd, cls, key, text, expected):
    value = read_back(IDFObject(idd, cls), key, text)
    assert type(value) is type(expected) and value == expected


def test_blank_and_undefined_fields(idd, zone):
    assert math.isnan(read_back(zone, "X Origin", "nan"))
    zone.update({"X Origin": None, "Multiplier": ""}, trim_empty_trails=False)
    assert zone["X Origin"] is None and zone["Multiplier"] is None and read_back(zone, "Note", None) == ""
    loaded = IDF.from_string(idd, "Zone,A,1,2,3,n,extra,7;")["Zone"][0]
    assert loaded.get_values() == ["A", 1.0, 2, 3.0, "n", "extra", "7"]


INT_RE = re.compile(r"[ \t]*[+-]?[0-9]+")
DEC_RE = re.compile(r"[ \t]*[+-]?(([0-9]+\.?[0-9]*|\.[0-9]+)([eE][+-]?[0-9]+)?|inf|infinity|nan)", re.IGNORECASE)
HEX_RE = re.compile(r"[ \t]*[+-]?0[xX]([0-9a-fA-F]+\.?[0-9a-fA-F]*|\.[0-9a-fA-F]+)([pP][+-]?[0-9]+)?")


def c_like_real(text: str):
    if DEC_RE.fullmatch(text):
        return float(text)
    if HEX_RE.fullmatch(text):
        try:
            return float.fromhex(text)
        except OverflowError:
            return -math.inf if text.lstrip(" \t").startswith("-") else math.inf
    return text


number_text = st.text(alphabet="0123456789+-.eExXpPaF \t", min_size=1, max_size=14) | st.sampled_from(
    ["inf", "-Infinity", "infinit", "nan", " 0x1.8p1", "1e", "0x", "+", "007", "\t-12", "0x1p99999"]
)


@settings(max_examples=400, deadline=None)
@given(text=number_text)
def test_numbers_read_like_the_c_library(idd, text):
    zone = IDFObject(idd, "Zone")
    text = text.strip(" \t") or "0"  # what a write stores
    got, want = read_back(zone, "Multiplier", text), int(text) if INT_RE.fullmatch(text) else text
    assert type(got) is type(want) and got == want
    got, want = read_back(zone, "X Origin", text), c_like_real(text)
    assert type(got) is type(want) and (got == want or math.isnan(want) and math.isnan(got))


@settings(max_examples=200, deadline=None)
@given(text=st.text(st.characters(blacklist_characters=",;!\r\n", blacklist_categories=["Cs"]), min_size=1))
def test_text_round_trips_through_an_alpha_field(idd, text):
    # What is stored is what a reload of the written file gives back: no
    # outer blanks; a control character other than tab has no place there.
    doc = IDF.from_string(idd, "Zone,A;")
    zone = doc["Zone"][0]
    control = [c for c in text if (c < " " and c != "\t") or c == "\x7f"]
    if control:
        message = f'^Field "Note" of Zone cannot hold the control character U\\+{ord(control[0]):04X}$'
        with pytest.raises(ValueError, match=message):
            zone["Note"] = text
        assert zone.get_values() == ["A"]
    else:
        assert read_back(zone, "Note", text) == text.strip(" \t")
        assert IDF.from_string(idd, doc.format())["Zone"][0]["Note"] == zone["Note"]


def test_integer_out_of_long_range_is_not_clamped(zone):
    assert read_back(zone, "Multiplier", 10**30) == 10**30
    assert read_back(zone, "Multiplier", -(10**30)) == -(10**30)


def test_numbers_ignore_the_process_locale(zone):
    old = locale.setlocale(locale.LC_ALL)
    for name in ("de_DE.UTF-8", "de_DE.utf8", "fr_FR.UTF-8", "fr_FR.utf8"):
        try:
            locale.setlocale(locale.LC_ALL, name)
            break
        except locale.Error:
            pass
    else:
        pytest.skip("no decimal-comma locale (de_DE/fr_FR) installed")
    try:
        assert locale.localeconv()["decimal_point"] == ","
        assert read_back(zone, "X Origin", "2.5e1") == 25.0 and read_back(zone, "X Origin", 0.5) == 0.5
        assert read_back(zone, "Note", 1.75) == "1.75"
    finally:
        locale.setlocale(locale.LC_ALL, old)


def test_reading_past_the_stored_values_changes_nothing(idd):
    obj = IDF.from_string(idd, "Zone,A;")["Zone"][0]
    text = repr(obj)
    assert (obj["Volume"], obj["Note"], obj[2]) == (None, "", None)
    assert list(obj) == ["A"] and len(obj) == 1
    assert obj.get_values() == ["A"] and repr(obj) == text


# --- writing ----------------------------------------------------------------------------


@pytest.mark.parametrize(
    "value, text",
    [(True, "Yes"), (False, "No"), (3, "3"), (-12, "-12"), (10**20, "100000000000000000000"), (2.0, "2.0"),
     (0.1, "0.1"), (1e20, "1e+20"), (2.5e-7, "2.5e-07"), (1 / 3, repr(1 / 3)), ("Zoné ☃", "Zoné ☃")],
)
def test_written_text(zone, value, text):
    assert read_back(zone, "Note", value) == text
    assert f"{text};" in repr(zone)


@pytest.mark.parametrize("bad", ["a,b", "a;b", "a!b", "a\rb", "a\nb"])
def test_separators_are_rejected_and_old_text_kept(zone, bad):
    with pytest.raises(ValueError):
        zone["Name"] = bad
    with pytest.raises(ValueError):
        zone.update({"Note": bad})
    assert zone.get_values() == ["Hall", 1.5, 2, None, "memo"]


def write_by(path, doc, cls, key, value):
    obj = doc[cls][0]
    if path == "setitem":
        obj[key] = value
    elif path == "update":
        obj.update({key: value})
    else:
        return doc.add_object(cls, {key: value})
    return obj


WRITE_PATHS = ["setitem", "update", "add_object"]


@pytest.mark.parametrize("path", WRITE_PATHS)
def test_outer_blanks_are_dropped_as_a_reload_would(idd, path):
    doc = IDF.from_string(idd, "Zone,A;\nSurface,S;")
    obj = write_by(path, doc, "Zone", "Name", " \t padded\tname  ")
    assert obj["Name"] == "padded\tname" and doc.get_object_by_name("Zone", "padded\tname") is obj
    assert write_by(path, doc, "Zone", "Multiplier", " 4 ")["Multiplier"] == 4
    assert write_by(path, doc, "Zone", "Note", " \t ")._raw_values()[4:] == []
    reloaded = IDF.from_string(idd, doc.format()).get_object_by_name("Zone", "padded\tname")
    assert reloaded["Name"] == obj["Name"]


@pytest.mark.parametrize("path", WRITE_PATHS)
@pytest.mark.parametrize(
    "cls, key, value, message",
    [("Zone", "Name", "a\x00b", 'Field "Name" of Zone cannot hold the control character U+0000'),
     ("Zone", "Note", "esc\x1b[0m", 'Field "Note" of Zone cannot hold the control character U+001B'),
     ("Zone", 6, "\x7f", "Field 6 of Zone cannot hold the control character U+007F"),
     ("Surface", "Vertex 2 X-coordinate", " \x0c1", 'Field "Vertex 2 X-coordinate" of Surface cannot hold the '
                                                    "control character U+000C")],
)
def test_control_characters_are_refused(idd, path, cls, key, value, message):
    if path == "add_object" and key == 6:
        pytest.skip("a new Zone has no field 6")
    doc = IDF.from_string(idd, "Zone,A,1,2,3,n,extra,7;\nSurface,S;")
    before = doc.format(preserve_order=True)
    with pytest.raises(ValueError) as info:
        write_by(path, doc, cls, key, value)
    assert str(info.value) == message and doc.format(preserve_order=True) == before


@pytest.mark.parametrize(
    "start, key, value, expected",
    [("Zone,A,1,2,,memo;", "Note", None, ["A", 1.0, 2]), ("Zone,A,1,2,,memo;", 4, "", ["A", 1.0, 2]),
     ("Zone,A,,,,memo;", "Note", None, ["A"]), ("Zone,A,1;", "Note", "", ["A", 1.0]),
     ("Zone,A,1;", "Volume", None, ["A", 1.0]), ("Zone,A,1;", "Multiplier", 0, ["A", 1.0, 0]),
     ("Wide,a,b,c;", 10, "k", ["a", "b", "c"] + [""] * 7 + ["k"]), ("Wide,a,b,c;", 11, None, ["a", "b", "c"])],
)
def test_trailing_blanks_are_trimmed_after_each_write(idd, start, key, value, expected):
    obj = IDF.from_string(idd, start).get_objects(start.split(",")[0])[0]
    obj[key] = value
    assert obj.get_values() == expected


@pytest.mark.parametrize(
    "values, trim, expected",
    [(None, True, ["", None]), ([], True, []), ([], False, ["", None]), (["A", 2.5], True, ["A", 2.5]),
     (["A", None, None], True, ["A"]), (["A", None, None], False, ["A", None]),
     ({"name": "B", 2: 4}, True, ["B", None, 4]), ({"Note": "n", "NOTE": None}, True, []),
     ({"Note": "n", 1: None}, False, ["", None, None, None, "n"]),
     ({"Note": "n", "note": ""}, False, ["", None, None, None, ""]), ({4: "", "Volume": None}, False, ["", None])],
)
def test_update(idd, values, trim, expected):
    obj = IDFObject(idd, "Zone")
    obj.update(values) if trim else obj.update(values, trim_empty_trails=False)
    assert obj.get_values() == expected


@pytest.mark.parametrize(
    "values, error, message",
    [({"Name": "B", "Bogus": 1}, KeyError, "Bogus"), ({0: "B", 9: 1}, IndexError, "9"),
     (["B", 1, 2, 3, "n", "too many"], IndexError, "5"), ({"Name": "B", 2.0: 1}, TypeError, "float"),
     (("B",), TypeError, "^Invalid values type: tuple. Expected list or dict$"),
     ("B", TypeError, "^Invalid values type: str. Expected list or dict$")],
)
def test_update_with_a_bad_key_writes_nothing(zone, values, error, message):
    with pytest.raises(error, match=message):
        zone.update(values)
    assert zone.get_values() == ["Hall", 1.5, 2, None, "memo"]


# --- free-standing and uninitialised objects --------------------------------------------


def test_free_standing_object(idd):
    obj = IDFObject(idd, "sUrFaCe")
    assert obj.class_name == "Surface" and obj.get_values() == []
    obj["Vertex 2 Z-coordinate"] = 1
    assert obj.get_values() == [""] + [None] * 7 + [1.0]
    zone = IDFObject(idd=idd, class_name="ZONE")
    assert zone.class_name == "Zone" and zone.get_values() == ["", None]
    assert zone.get_referenced_object("Name") is None and zone.get_referencing_objects("Name") == ()


@pytest.mark.parametrize(
    "make, error, message",
    [(lambda idd: IDFObject(idd, "nope"), ValueError, r"^Unknown class: 'nope'$"),
     (lambda idd: IDFObject(idd, None), AttributeError, r"^'NoneType' object has no attribute 'encode'$"),
     (lambda idd: IDFObject(None, "Zone"), TypeError,
      r"^Argument 'idd' has incorrect type \(expected tamrix.idd.IDD, got NoneType\)$")],
    ids=["unknown-class", "class-none", "idd-none"],
)
def test_constructor_errors(idd, make, error, message):
    with pytest.raises(error, match=message):
        make(idd)


UNINITIALISED_CALLS = ["obj[0]", "obj['Name']", "obj[0] = 'x'", "obj.get_values()", "obj.update(['x'])",
                       "obj.update({})", "list(obj)", "len(obj)", "obj.get_referenced_object(0)",
                       "obj.get_referencing_objects('Name')"]


def run_on_uninitialised(calls: list[str]) -> list[str]:
    """Runs each call on IDFObject.__new__(IDFObject) in a child interpreter (so
    a crash fails the test) and returns the exception type names (or 'ok')."""
    code = "from tamrix.idf import IDFObject\nobj = IDFObject.__new__(IDFObject)\nrepr(obj)\n" + "".join(
        f"try:\n    {c}\n    print('ok')\nexcept Exception as e:\n    print(type(e).__name__)\n" for c in calls
    )
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    return done.stdout.split()


def test_uninitialised_object_raises_type_error_everywhere():
    assert run_on_uninitialised(UNINITIALISED_CALLS) == ["TypeError"] * len(UNINITIALISED_CALLS)


def test_uninitialised_object_update_none_raises():
    assert run_on_uninitialised(["obj.update(None)"]) == ["TypeError"]
