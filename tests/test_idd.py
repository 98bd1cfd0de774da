import locale
import re
import shutil
import subprocess
import sys
import textwrap

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from tamrix.idd import IDD

SMALL = """!IDD_Version 1.2.3
\\group Simulation
Lead Input;
Zone,
  \\memo A zone
  A1, \\field Name
      \\required-field
      \\reference ZoneNames
  N1; \\field Direction of Relative North
      \\units deg
      \\default 0
"""

CODE = re.compile(r"[AN]\d+", re.IGNORECASE)


def scan_dictionary(text):
    """[(class name, [[code, \\field name or None], ...])] read line by line:
    a plain cross-check for the real dictionaries."""
    classes = []
    for raw in text.splitlines():
        body, backslash, tag = raw.split("!", 1)[0].partition("\\")
        for item in map(str.strip, re.split(r"[,;]", body)):
            if CODE.fullmatch(item):
                classes[-1][1].append([item, None])
            elif item:
                classes.append((item, []))
        named = re.match(r"field\b(.*)", tag, re.IGNORECASE)
        if backslash and named and classes and classes[-1][1]:
            classes[-1][1][-1][1] = named.group(1).strip()
    return classes


def test_construction_and_queries():
    with pytest.raises(TypeError) as exc:
        IDD()
    assert str(exc.value) == "IDD cannot be instantiated directly. Use IDD.from_file() or IDD.from_string()."
    with pytest.raises(TypeError) as exc:
        IDD.from_string(1)
    assert str(exc.value) == "Argument 'text' has incorrect type (expected str, got int)"

    idd = IDD.from_string(text=SMALL)
    assert (idd.version, len(idd), idd.class_names()) == ("1.2.3", 2, ["Lead Input", "Zone"])
    assert idd.field_names("Lead Input") == []
    assert idd.field_names(class_name="zONE") == ["Name", "Direction of Relative North"]
    assert repr(idd) == "<tamrix.idd.IDD version='1.2.3' classes=2>"
    with pytest.raises(KeyError, match="Building"):
        idd.field_names("Building")
    with pytest.raises(TypeError, match="Argument 'class_name' has incorrect type"):
        idd.field_names(1)


@pytest.mark.parametrize(
    "key, found",
    [("Zone", True), ("ZONE", True), ("lead input", True), ("Zon", False), ("Zone ", False),
     ("\u017bone", False), (b"Zone", False), (None, False), (1, False)],
)
def test_contains(key, found):
    assert (key in IDD.from_string(SMALL)) is found


@pytest.mark.parametrize(
    "text, version",
    [("!IDD_Version 8.0.0.008\r\nLead Input;", "8.0.0.008"), ("Lead Input;\n!IDD_Version 1.0\n", None),
     ("! IDD_Version 1.0\n", None), ("", None)],
)
def test_version(text, version):
    idd = IDD.from_string(text)
    assert idd.version == version
    assert repr(version) in repr(idd)


def test_subclass_with_own_new():
    # in a child interpreter: a crash there fails this test, not the run
    code = """
        from tamrix.idd import IDD

        class Custom(IDD):
            def __new__(cls, *args, **kwargs):
                return super().__new__(cls)

        assert Custom.from_string("Zone, A1;").class_names() == ["Zone"]
        loaded = IDD.from_string("Zone;")

        class Shared(IDD):
            def __new__(cls, *args):
                return loaded

        try:
            Shared.from_string("Other;")
            raise AssertionError("a loaded dictionary was read again")
        except TypeError as exc:
            assert "already loaded" in str(exc), exc
        assert loaded.class_names() == ["Zone"]
    """
    child = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, timeout=120)
    assert child.returncode == 0, child.stderr


@pytest.mark.parametrize(
    "text, expected",
    [
        pytest.param("Lead Input;\nSimulation Data;\n", {"Lead Input": [], "Simulation Data": []}, id="no-fields"),
        pytest.param("  Refrigeration:WalkIn,\n  A1, \\Field Name\n  A2; \\FIELD Zone Name\n",
                     {"Refrigeration:WalkIn": ["Name", "Zone Name"]}, id="indented-class-tag-case"),
        pytest.param("Mix,\n A1, \\field Name\n N1, N2, \\field Second\n N3;\n",
                     {"Mix": ["Name", "N1", "Second", "N3"]}, id="codes-per-line"),
        pytest.param("Mat,\n N50,\\field A\n N51;\\field B\n", {"Mat": ["A", "B"]}, id="no-blank"),
        pytest.param("! \\field In a header\n\\group Things\nThing,\n \\memo a, b; c ! \\extensible\n A1; \\field X ! y\n",
                     {"Thing": ["X"]}, id="comments-and-memo"),
        pytest.param("Poly,\n \\extensible:2 - repeat last two fields, remembering to remove ; from \"inner\" fields.\n"
                     " A1, \\field Name\n N1, \\field X 1\n \\begin-extensible\n N2, \\field Y 1\n N3, N4, N5, N6;\n",
                     {"Poly": ["Name", "X 1", "Y 1", "X 2", "Y 2", "X 3", "Y 3"]}, id="extensible"),
        pytest.param("Glz,\n \\extensible:2\n A1, \\field Name\n N1, \\field Wl 1\n N2, \\field Tr 1\n N3, \\field Wl 2\n"
                     " \\begin-extensible\n N4, \\field Tr 2\n N5, N6, N7, \\field Kept\n N8;\n",
                     {"Glz": ["Name", "Wl 1", "Tr 1", "Wl 2", "Tr 2", "Wl 3", "Tr 3", "Kept", "Tr 4"]},
                     id="extensible-from-group-2"),
        pytest.param("Spectrum,\n \\extensible:2\n A1, \\field Name\n N1, \\field Wavelength\n \\begin-extensible\n"
                     " N2, \\field Spectrum\n N3, N4;\n",
                     {"Spectrum": ["Name", "Wavelength", "Spectrum", "Wavelength", "Spectrum"]}, id="extensible-no-numbers"),
        pytest.param("Table,\n \\extensible:2\n A1, \\field Name\n N1, \\field X 1\n \\begin-extensible\n N2,\n"
                     " N3, N4, N5, N6;\n",
                     {"Table": ["Name", "X 1", "N2", "X 2", "N4", "X 3", "N6"]}, id="extensible-unnamed-member"),
        pytest.param("List,\n \\extensible:3\n A1, \\field Name\n A2, \\field Surface 1 Name\n \\begin-extensible\n"
                     " A3, N1,\n A4, A5, N2;\n",
                     {"List": ["Name", "Surface 1 Name", "A3", "N1", "Surface 2 Name", "A5", "N2"]},
                     id="extensible-unnamed-mixed-kinds"),
    ],
)
def test_grammar(text, expected):
    idd = IDD.from_string(text)
    assert {name: idd.field_names(name) for name in idd.class_names()} == expected


@pytest.mark.parametrize(
    "text, line, message",
    [
        ("!IDD_Version 1\n\\group G\n  A1, \\field Name\nZone,\n A1;\n", 3, "field 'A1' before any class"),
        ("Zone,\n \\extensible\n A1;\n", 2, "\\extensible needs a number"),
        ("Zone,\n \\memo m\n \\EXTENSIBLE:x\n A1;\n", 3, "\\extensible needs a number"),
        ("Zone,\n A1, \\field Name\n N1, \\field X\n", 3, "class 'Zone' is not closed by ';'"),
        ("Zone,\n A1;\nBuilding,\n A1,\n", 4, "class 'Building' is not closed by ';'"),
        ("Zone", 1, "'Zone' is not closed"),
        ("Zone,\n\n \\Min-Fields two\n A1;\n", 3, "\\min-fields needs a whole number, found 'two'"),
        ("Zone,\n \\min-fields 1.5\n A1;\n", 2, "\\min-fields"),
        ("Zone,\n A1, \\field Name\nBuilding,\n A1;\n", 3, "found 'Building'"),
        ("Zone,\n A1;\n A2;\n", 3, "field 'A2' after the end of class 'Zone'"),
        ("Zone;\nzone;\n", 2, "defined twice"),
        ("Zone,\n \\extensible:3\n A1, N1;\n", 1, "too few fields"),
    ],
)
def test_parse_errors(text, line, message):
    with pytest.raises(ValueError) as exc:
        IDD.from_string(text)
    assert str(exc.value).startswith(f"IDD parsing error (Line {line}): ")
    assert message in str(exc.value)


FRAGMENTS = [
    "Zone", "A1", "N2", "a3", ",", ";", " ", "\n", "\r\n", "\r", "!", "! c, d;", "\\field X 1", "\\Field",
    "\\extensible:2", "\\extensible:1 x", "\\extensible:0", "\\extensible", "\\begin-extensible", "\\min-fields 3",
    "\\min-fields", "\\minimum> 1", "\\maximum<", "\\group G", "\\Key K", "\\type choice\"", "\\memo a, b;", "\\",
    "\u00e9", "\\field Wavelength 5", "\\field Spectrum", "!IDD_Version 1.0\n", "\\reference R", "\\default 0",
]


@settings(max_examples=400, deadline=None)
@given(st.lists(st.one_of(st.sampled_from(FRAGMENTS), st.text(max_size=3)), max_size=40))
def test_any_text_loads_or_raises_value_error(parts):
    try:
        idd = IDD.from_string("".join(parts))
    except ValueError as exc:
        assert str(exc).startswith("IDD parsing error (Line ")
        return
    for name in idd.class_names():
        assert name in idd
        idd.field_names(name)


@pytest.mark.parametrize(
    "version, expected_version, classes, first",
    [("8-8-0", "8.8.0", 789, ["Version", "SimulationControl"]),
     ("8-0-0", "8.0.0.008", 691, ["Lead Input", "Simulation Data", "Version"])],
)
def test_real_dictionary(idd_path, version, expected_version, classes, first):
    idd = IDD.from_file(str(idd_path(version)))
    assert (idd.version, len(idd)) == (expected_version, classes)
    assert idd.class_names()[: len(first)] == first
    assert repr(idd) == f"<tamrix.idd.IDD version='{expected_version}' classes={classes}>"

    scanned = scan_dictionary(idd_path(version).read_text(encoding="ascii"))
    assert [name for name, _ in scanned] == idd.class_names()
    for name, fields in scanned:
        got = idd.field_names(name)
        assert len(got) == len(fields), name
        for (code, declared), field in zip(fields, got):
            if declared is not None:
                assert field == declared, (name, code)
            else:  # its code, or a generated group name that is no other field's code
                assert field == code or not CODE.fullmatch(field), (name, code, field)


def test_spot_checks(idd_88):
    surface = idd_88.field_names("BuildingSurface:Detailed")
    assert (len(surface), surface[10], surface[-1]) == (370, "Vertex 1 X-coordinate", "Vertex 120 Z-coordinate")
    assert idd_88.field_names("buildingsurface:detailed") == surface
    assert idd_88.field_names("Zone") == [
        "Name", "Direction of Relative North", "X Origin", "Y Origin", "Z Origin", "Type", "Multiplier",
        "Ceiling Height", "Volume", "Floor Area", "Zone Inside Convection Algorithm",
        "Zone Outside Convection Algorithm", "Part of Total Floor Area",
    ]
    assert "Refrigeration:WalkIn" in idd_88 and "REFRIGERATION:WALKIN" in idd_88

    glazing = idd_88.field_names("MaterialProperty:GlazingSpectralData")
    assert glazing[17] == "Wavelength 5"
    assert glazing[20:23] == ["Back Reflectance 5", "Wavelength 6", "Transmittance 6"]
    assert glazing[-1] == "Back Reflectance 800"

    spectrum = idd_88.field_names("Site:SpectrumData")
    assert spectrum[:2] == ["Name", "Spectrum Data Type"]
    assert spectrum[2:] == ["Wavelength", "Spectrum"] * ((len(spectrum) - 2) // 2)

    # the first repeated group is one named field and the bare codes N20..N38
    lookup = idd_88.field_names("Table:MultiVariableLookup")
    begin = lookup.index("Field 3 Determined by the Number of Independent Variables")
    assert lookup[begin + 1] == "N20"
    assert lookup[begin + 20 : begin + 22] == ["Field 4 Determined by the Number of Independent Variables", "N40"]
    codes = [name for name in lookup if CODE.fullmatch(name)]
    assert len(codes) == len(set(codes))


def test_from_file_reads_cp1252(tmp_path):
    path = tmp_path / "old.idd"
    path.write_bytes(b"!IDD_Version 7.2.0.006\nZone,\n \\memo \x93quoted\x94 15\xb0C\n A1; \\field Name \x96 \xb0\n")
    idd = IDD.from_file(path=path)
    assert idd.version == "7.2.0.006"
    assert idd.field_names("Zone") == ["Name \u2013 \u00b0"]
    with pytest.raises(FileNotFoundError):
        IDD.from_file(tmp_path / "missing.idd")


@pytest.fixture
def comma_decimal_locale(tmp_path_factory, monkeypatch):
    saved = locale.setlocale(locale.LC_NUMERIC)

    def use_one():
        for name in ("de_DE.UTF-8", "de_DE.utf8", "fr_FR.UTF-8", "fr_FR.utf8"):
            try:
                locale.setlocale(locale.LC_NUMERIC, name)
            except locale.Error:
                continue
            if locale.localeconv()["decimal_point"] == ",":
                return True
        return False

    if not use_one() and shutil.which("localedef"):  # none installed: build one for this process
        target = tmp_path_factory.mktemp("locales")
        subprocess.run(["localedef", "-i", "de_DE", "-f", "UTF-8", str(target / "de_DE.UTF-8")],
                       capture_output=True, timeout=120)
        monkeypatch.setenv("LOCPATH", str(target))
        use_one()
    if locale.localeconv()["decimal_point"] != ",":
        locale.setlocale(locale.LC_NUMERIC, saved)
        pytest.skip("no locale with a decimal comma is available")
    yield
    locale.setlocale(locale.LC_NUMERIC, saved)


def test_numbers_read_the_same_under_any_locale(comma_decimal_locale, idd_path):
    idd = IDD.from_string("Coil,\n N1, \\field Fraction\n \\minimum> 0.5\n N2; \\maximum< 1.5E+3\n")
    assert idd.field_names("Coil") == ["Fraction", "N2"]
    assert len(IDD.from_file(idd_path("8-8-0"))) == 789


def test_class_info_of_real_classes(idd_88):
    zone = idd_88.class_info("zone")
    assert zone["name"] == "Zone" and zone["extensible"] is None
    name = zone["fields"][0]
    assert name["name"] == "Name" and name["required"] and "ZoneNames" in name["references"]
    multiplier = next(f for f in zone["fields"] if f["name"] == "Multiplier")
    assert (multiplier["type"], multiplier["default"], multiplier["minimum"]) == ("integer", "1", 1.0)
    ceiling = next(f for f in zone["fields"] if f["name"] == "Ceiling Height")
    assert ceiling["autocalculatable"] and ceiling["units"] == "m"

    surface = idd_88.class_info("BuildingSurface:Detailed")
    assert surface["extensible"] == {"begin": 10, "size": 3}
    assert surface["fields"][3]["object_lists"] == ["ZoneNames"]
    assert surface["fields"][1]["type"] == "choice" and "Wall" in surface["fields"][1]["choices"]
    assert idd_88.class_info("Material")["min_fields"] == 6
    assert idd_88.class_info("Version")["unique_object"]
    glazing = idd_88.class_info("WindowMaterial:SimpleGlazingSystem")["fields"]
    factor = next(f for f in glazing if f["name"].startswith("Solar Heat Gain"))
    assert factor["minimum_exclusive"] and factor["maximum_exclusive"]
    with pytest.raises(KeyError):
        idd_88.class_info("No:Such:Class")


def test_list_names_spelled_two_ways_are_read_as_one(idd_88):
    # The 8.8 dictionary references "BiquadraticCurves" but some fields list
    # "BiQuadraticCurves": both are read as the spelling met first.
    def lists(cls):
        info = idd_88.class_info(cls)
        return {n for f in info["fields"] for n in f["references"] + f["object_lists"]}

    spellings = {n for n in lists("Curve:Biquadratic") | lists("AirConditioner:VariableRefrigerantFlow:FluidTemperatureControl")
                 if n.upper() == "BIQUADRATICCURVES"}
    assert len(spellings) == 1


def test_fields_by_name_match_exactly_up_to_ascii_case():
    # "A@B" and "A`B" differ only in the bit that folds letter case; names
    # repeated in another case are found as their first field.
    from tamrix.idf import IDF

    idd = IDD.from_string(
        "Thing,\n A1, \\field A@B\n A2, \\field A`B\n A3, \\field Twice\n A4; \\field TWICE\n"
    )
    obj = IDF.from_string(idd, "Thing,w,x,y,z;").get_objects("Thing")[0]
    assert (obj["a@b"], obj["A`B"], obj["twice"], obj["TWICE"]) == ("w", "x", "y", "y")
    with pytest.raises(KeyError):
        obj["A{B"]


def test_a_dictionary_denser_than_usual_keeps_every_field():
    # Far more fields per byte than real dictionaries: the field storage
    # outgrows the room reserved for it while being read.
    text = "".join(f"C{c},\n" + ",".join(f"A{i}" for i in range(1, 60)) + ";\n" for c in range(300))
    idd = IDD.from_string(text)
    for c in (0, 150, 299):
        assert idd.field_names(f"C{c}") == [f"A{i}" for i in range(1, 60)]
