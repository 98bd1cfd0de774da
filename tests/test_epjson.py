"""epJSON: the writer's naming and value rules on small hand-written pairs,
the strict reader's refusals, saving and loading files, the command line,
and the round trip over the corpus."""

from __future__ import annotations

import json
import os
import random
import re
import subprocess
import sys

import pytest

from _data import DATA_DIR, corpus_idd, corpus_params
from tamrix.idd import IDD
from tamrix.idf import IDF

# Classes named as the engine's special cases, with the fields those rules
# name; others for the general rules.
IDD_TEXT = r"""!IDD_Version 9.9.0
\group Rules
Version,
  A1; \field Version Identifier
Zone,
  A1, \field Name
      \reference ZoneNames
  N1, \field Multiplier
      \type integer
  N2, \field Volume
      \type real
      \autocalculatable
  A2, \field Zone Inside Convection Algorithm
      \type choice
      \key Simple
      \key TARP
  A3, \field ASHRAE Clear Sky Optical Depth for Beam Irradiance (taub)
  N3; \field Ceiling Height
      \autosizable
Repeats,
  A1, \field Name
  N1, \field Rate
  N2, \field Power
  N3, \field Rate
  N4, \field Power
  N5; \field Rate
ZoneHVAC:TerminalUnit:VariableRefrigerantFlow,
  A1, \field Zone Terminal Unit Name
  N1; \field Supply Air Flow Rate
AirConditioner:VariableRefrigerantFlow,
  A1, \field Heat Pump Name
  N1; \field Capacity
Schedule:Compact,
  \extensible:1
  A1, \field Name
  A2, \field Schedule Type Limits Name
  A3, \field Field 1
      \begin-extensible
  A4; \field Field 2
Schedule:Week:Compact,
  \extensible:2
  A1, \field Name
  A2, \field DayType List 1
      \begin-extensible
      \type choice
      \key AllDays
      \key Weekdays
  A3; \field Schedule:Day Name 1
UtilityCost:Charge:Block,
  A1, \field Utility Cost Charge Block Name
  A2, \field Tariff Name
  A3, \field Source Variable
  A4, \field Season
  A5, \field Category Variable Name
  A6, \field Remaining Into Variable
  A7, \field Block Size Multiplier Value or Variable Name
  A8; \field Block Size 1 Value or Variable Name
UtilityCost:Ratchet,
  A1, \field Name
  A2, \field Offset Value or Variable Name
  A3; \field Multiplier Value or Variable Name
UtilityCost:Charge:Simple,
  A1, \field Name
  A2; \field Cost per Unit Value or Variable Name
UtilityCost:Qualify,
  A1, \field Name
  A2; \field Threshold Value or Variable Name
UtilityCost:Tariff,
  A1, \field Name
  A2, \field Monthly Charge or Variable Name
  A3; \field Minimum Monthly Charge or Variable Name
GroundHeatTransfer:Slab:Insulation,
  N1; \field IVINS: Flag: Is there vertical insulation
      \type choice
      \key 0
      \key 1
WindowMaterial:Screen,
  A1, \field Name
  A2; \field Angle of Resolution for Screen Transmittance Output Map
      \type choice
      \key 0
      \key 1
Refrigeration:System,
  A1, \field Name
  A2; \field Number of Compressor Stages
      \type choice
      \key 1
      \key 2
ElectricLoadCenter:Transformer,
  A1, \field Name
  A2; \field Phase
      \type choice
      \key 1
      \key 3
BuildingSurface:Detailed,
  \extensible:3
  A1, \field Name
  A2, \field Zone Name
      \object-list ZoneNames
  N1, \field Vertex 1 X-coordinate
      \begin-extensible
  N2, \field Vertex 1 Y-coordinate
  N3; \field Vertex 1 Z-coordinate
Wall:Listed,
  \extensible:2
  A1, \field Name
  N1, \field Item 1 Width
      \begin-extensible
  A2; \field Item 1 Label
Unnamed,
  A1, \field Name
  A2, \field Given
  A3;
"""


@pytest.fixture(scope="module")
def idd() -> IDD:
    return IDD.from_string(IDD_TEXT)


def doc(idd: IDD, objects: str) -> IDF:
    return IDF.from_string(idd, objects)


def as_json(model: IDF) -> dict:
    return json.loads(model.to_epjson())


def test_layout_is_pythons_json_dumps(idd):
    model = doc(idd, "Version,9.9;\nZone,Z é,2,,TARP,\"q\\;\n")
    out = model.to_epjson()
    assert out == json.dumps(json.loads(out), indent=4, sort_keys=True, ensure_ascii=False)
    assert not out.endswith("\n")
    assert doc(idd, "").to_epjson() == "{}"
    assert json.loads(out)["Zone"]['Z é']["ashrae_clear_sky_optical_depth_for_beam_irradiance_taub_"] == '"q\\'
    # Text past ASCII in a value only (the writer tells the str maker when all is ASCII).
    for value in ["é", "abcdefghé", "éabcdefghij"]:
        out = doc(idd, f"Zone,Z,2,,TARP,{value};\n").to_epjson()
        assert json.loads(out)["Zone"]["Z"]["ashrae_clear_sky_optical_depth_for_beam_irradiance_taub_"] == value


def test_names_keys_repeats_and_vrf(idd):
    model = doc(
        idd,
        "Version,9.9;\nVersion,9.8;\nRepeats,R,1,2,3,4,5;\n"
        "ZoneHVAC:TerminalUnit:VariableRefrigerantFlow,TU1,0.5;\nAirConditioner:VariableRefrigerantFlow,HP1,7;\n"
        "Zone,Z1;\nZone,;\nZone,Zone 1;\n",
    )
    data = as_json(model)
    assert data["Version"] == {"Version 1": {"version_identifier": "9.9"}, "Version 2": {"version_identifier": "9.8"}}
    # One counter per class counts every repeat.
    assert data["Repeats"]["R"] == {"rate": 1, "power": 2, "rate_1": 3, "power_2": 4, "rate_3": 5}
    assert data["ZoneHVAC:TerminalUnit:VariableRefrigerantFlow"] == {"TU1": {"supply_air_flow_rate": 0.5}}
    assert data["AirConditioner:VariableRefrigerantFlow"] == {"HP1": {"capacity": 7}}
    # A blank name is keyed like an object without one, past names taken.
    assert sorted(data["Zone"]) == ["Z1", "Zone 1", "Zone 2"]


@pytest.mark.parametrize(
    "text, expected",
    [
        ("25", 25), ("+25", 25), ("-0", 0), ("007", 7), ("123456789012345678901234567890", 123456789012345678901234567890),
        ("30.", 30.0), ("1.50", 1.5), ("0.0", 0.0), ("0.000", 0.0), ("1.2700000E-02", 0.0127),
        ("123456789012345.0", 123456789012345.0), ("1234567890123456.0", 1234567890123456.0), (".5", 0.5), ("-.5", -0.5), ("1e5", 100000.0), ("1E+16", 1e16),
        ("0.0001", 0.0001), ("0.00001", 1e-05), ("-0.0", -0.0), ("0.30000000000000004", 0.30000000000000004),
        ("1234567890123456789.5", 1.2345678901234568e18), ("2.5e-400", 0.0), ("1e400", "1e400"),
        ("inf", "inf"), ("nan", "nan"), ("1.5D3", "1.5D3"), ("0x10", "0x10"), ("12abc", "12abc"),
        ("AUTOCALCULATE", "Autocalculate"),
        # Digits gathered and laid out anew: every layout repr has, and long texts.
        ("0.", 0.0), ("00.5", 0.5), ("+1.5", 1.5), ("0.0000E+00", 0.0), ("-0.000e5", -0.0), ("0.4186E+06", 418600.0),
        ("1e-5", 1e-05), ("0.000123456789012345", 0.000123456789012345), ("-1.5e+300", -1.5e300),
        ("12.3456789012345e3", 12345.6789012345), ("1.2345678901234567e5", 123456.78901234567),
        ("9007199254740993.0", 9007199254740992.0), ("999999999999999.9e1", 9999999999999999.0),
        ("0." + "0" * 60 + "125", 1.25e-61), ("1" + "0" * 60 + ".0", 1e60), ("4.9e-324", 5e-324),
    ],
)
def test_numbers(idd, text, expected):
    out = doc(idd, f"Zone,Z,,{text};\n").to_epjson()
    value = json.loads(out)["Zone"]["Z"]["volume"]
    assert value == expected and type(value) is type(expected)
    if isinstance(expected, float):
        assert f'"volume": {expected!r}' in out  # repr's own spelling


def test_repeated_number_texts_keep_each_fields_rule(idd):
    """The writer remembers the JSON form of number texts it has met: a text
    met again, in a field of another kind, still follows that field."""
    texts = ["1.50", "25", "-0", "1.50", "030.", "25"]
    objects = "".join(f"Zone,Z{i},{t},{t},,{t};\nSchedule:Compact,S{i},{t},{t};\n" for i, t in enumerate(texts * 50))
    data = as_json(doc(idd, objects))
    for i, t in enumerate(texts * 50):
        number = float(t) if "." in t else int(t)
        assert data["Zone"][f"Z{i}"] == {"multiplier": number, "volume": number,
                                         "ashrae_clear_sky_optical_depth_for_beam_irradiance_taub_": t}
        assert data["Schedule:Compact"][f"S{i}"] == {"schedule_type_limits_name": t, "data": [{"field": number}]}


def test_autosize_choice_case_and_text(idd):
    z = as_json(doc(idd, "Zone,Z,,,tarp,00.50,aUtOsIzE;\nZone,Y,,,Other;\n"))["Zone"]
    assert z["Z"] == {"zone_inside_convection_algorithm": "TARP",
                      "ashrae_clear_sky_optical_depth_for_beam_irradiance_taub_": "00.50", "ceiling_height": "Autosize"}
    assert z["Y"]["zone_inside_convection_algorithm"] == "Other"


def test_special_fields(idd):
    data = as_json(doc(idd, """
        Schedule:Compact,S,Any,Through: 12/31,1.50;
        Schedule:Week:Compact,W,weekdays,D1,alldays,D2;
        UtilityCost:Charge:Block,B,T,S,Summer,X,R,2.0,Var;
        UtilityCost:Ratchet,R,1,V;
        UtilityCost:Charge:Simple,C,0.5;
        UtilityCost:Qualify,Q,10;
        UtilityCost:Tariff,T,3,Var;
        GroundHeatTransfer:Slab:Insulation,1;
        WindowMaterial:Screen,W,0;
        Refrigeration:System,R,2;
        ElectricLoadCenter:Transformer,E,x;
    """))
    assert data["Schedule:Compact"]["S"]["data"] == [{"field": "Through: 12/31"}, {"field": 1.5}]
    assert data["Schedule:Week:Compact"]["W"]["data"] == [
        {"daytype_list": "weekdays", "schedule_day_name": "D1"}, {"daytype_list": "alldays", "schedule_day_name": "D2"}]
    block = data["UtilityCost:Charge:Block"]["UtilityCost:Charge:Block 1"]
    assert block["remaining_into_variable"] == "R" and block["block_size_multiplier_value_or_variable_name"] == 2.0
    assert block["block_size_1_value_or_variable_name"] == "Var"
    assert data["UtilityCost:Ratchet"]["R"] == {"offset_value_or_variable_name": 1, "multiplier_value_or_variable_name": "V"}
    assert data["UtilityCost:Charge:Simple"]["C"]["cost_per_unit_value_or_variable_name"] == 0.5
    assert data["UtilityCost:Qualify"]["Q"]["threshold_value_or_variable_name"] == 10
    assert data["UtilityCost:Tariff"]["T"] == {"monthly_charge_or_variable_name": 3,
                                               "minimum_monthly_charge_or_variable_name": "Var"}
    assert data["GroundHeatTransfer:Slab:Insulation"]["GroundHeatTransfer:Slab:Insulation 1"] == {
        "ivins_flag_is_there_vertical_insulation": 1}
    assert data["WindowMaterial:Screen"]["W"] == {"angle_of_resolution_for_screen_transmittance_output_map": 0}
    assert data["Refrigeration:System"]["R"] == {"number_of_compressor_stages": 2}
    assert data["ElectricLoadCenter:Transformer"]["E"] == {"phase": "x"}


def test_extensible_groups(idd):
    data = as_json(doc(idd, "BuildingSurface:Detailed,W,Z,1,2,3,,,,4,,;\nWall:Listed,L,1,a;\nWall:Listed,M,,,;\n"))
    # From the engine's table, and the default name; a blank group in the
    # middle keeps its place, trailing ones go.
    assert data["BuildingSurface:Detailed"]["W"]["vertices"] == [
        {"vertex_x_coordinate": 1, "vertex_y_coordinate": 2, "vertex_z_coordinate": 3}, {}, {"vertex_x_coordinate": 4}]
    assert data["Wall:Listed"] == {"L": {"extensions": [{"item_width": 1, "item_label": "a"}]}, "M": {}}


@pytest.mark.parametrize(
    "objects, message",
    [
        ("Zone,A;\nZone,A;\n", 'Zone "A": two objects of the class have this name'),
        ("Repeats,R,1,2,3,4,5,6;\n", 'Repeats "R": value "6" stands past the 6 fields'),
        ("Unnamed,U,g,hidden;\n", 'Unnamed "U": field A3 has no name'),
    ],
)
def test_writer_refuses_what_epjson_cannot_hold(idd, objects, message):
    with pytest.raises(ValueError, match=re.escape(message)):
        doc(idd, objects).to_epjson()


def test_reading_back(idd):
    model = doc(idd, "Version,9.9;\n" + "".join(f"Schedule:Compact,S{i},Any;\n" for i in range(3)) +
                "".join(f"GroundHeatTransfer:Slab:Insulation,{i % 2};\n" for i in range(12)) +
                "BuildingSurface:Detailed,W,Z,1.50,2,3,,,,4;\nZone,Z,2,,simple;\n")
    out = model.to_epjson()
    back = IDF.from_string(idd, "\ufeff" + out)
    assert back.to_epjson() == out
    # Numbers as their JSON text, choices as the dictionary spells them,
    # objects keyed "<class> <n>" in their numbers' order.
    assert back["BuildingSurface:Detailed"][0].get_values() == ["W", "Z", 1.5, 2, 3, None, None, None, 4]
    assert back["Zone"][0].get_values() == ["Z", 2, None, "Simple"]
    assert [o[0] for o in back["GroundHeatTransfer:Slab:Insulation"]] == [str(i % 2) for i in range(12)]
    assert back["Version"][0][0] == "9.9"


@pytest.mark.parametrize(
    "text, message",
    [
        ('{"Nope": {}}', 'epJSON: unknown class "Nope"'),
        ('{"zone": {}}', 'unknown class "zone" (the dictionary spells it "Zone")'),
        ('{"Zone": {"A": {"volme": 1}}}', 'epJSON: Zone "A": unknown property "volme"'),
        ('{"Zone": {"A": {"volume": [1]}}}', 'Zone "A": property "volume" holds an array'),
        ('{"Zone": {"A": {"volume": true}}}', 'Zone "A": property "volume" holds a boolean'),
        ('{"Zone": {"A": {"volume": null}}}', 'Zone "A": property "volume" holds null'),
        ('{"Zone": {"A": {"volume": {}}}}', 'Zone "A": property "volume" holds an object'),
        ('{"Zone": {"A": 1}}', 'Zone "A" holds a number; expected an object of properties'),
        ('{"Zone": []}', '"Zone": the class holds an array; expected an object of objects'),
        ('{"Zone": {"A": {"volume": x}}}', "(line 1, column 27): unexpected character"),
        ('{"Zone": {"A": {"volume": 1, "volume": 2}}}', 'Zone "A": property "volume" given twice'),
        ('{"Zone": {"A": {"ceiling_height": 1, "ceiling_height": 2}}}', 'property "ceiling_height" given twice'),
        ('{"BuildingSurface:Detailed": {"W": {"vertices": [{"vertex_x_coordinate": 1, "vertex_x_coordinate": 2}]}}}',
         'property "vertices" item 1: property "vertex_x_coordinate" given twice'),
        ('{"Zone": {"A": {"ceiling_height" 1}}}', "expected ':' after a property name"),
        ('{"Zone": {"B": {}, "A": {}, "B": {}}}', 'Zone "B": object key given twice'),
        ('{"Zone": {"A": {}, "A": {}}}', 'Zone "A": object key given twice'),
        ('{"Zone": {}, "Zone": {}}', 'class "Zone" given twice'),
        ('{"BuildingSurface:Detailed": {"W": {"vertices": [{"x": 1}]}}}',
         'BuildingSurface:Detailed "W": property "vertices" item 1: unknown property "x"'),
        ('{"BuildingSurface:Detailed": {"W": {"vertices": {}}}}', 'property "vertices" holds an object; expected an array of objects'),
        ('{"BuildingSurface:Detailed": {"W": {"vertices": [1]}}}', 'property "vertices" item 1 holds a number'),
        ('{"Zone": {"A": {"ashrae_clear_sky_optical_depth_for_beam_irradiance_taub_": "a,b"}}}',
         "the value \"a,b\" holds ','"),
        ('{"Zone": {"A;B": {}}}', 'Zone "A;B": object key: the value "A;B" holds \';\''),
        ('{"Zone": {"A": {"ashrae_clear_sky_optical_depth_for_beam_irradiance_taub_": "x\\u0001"}}}',
         'holds a control character'),
        ('{"Zone": {"A": {"ashrae_clear_sky_optical_depth_for_beam_irradiance_taub_": "hi!"}}}', "holds '!'"),
        ('{"Zone": {"A": {}}}x', "epJSON syntax error (line 1, column 20): text after the end of the document"),
        ('{\n  "Zone": {\n    "A": {"volume": 01}}}', "(line 3, column 21): invalid number"),
        ('{"Zone": {"A" {}}}', "(line 1, column 15): expected ':' after an object key"),
        ('{"Zone": {"A": {}}', "the text ends where ',' or '}' belongs"),
        ('{"Zone": {"\\ud800": {}}}', "a high surrogate escape without its low half"),
        ('{"Zone": {"\\q": {}}}', "invalid escape"),
        ('{"Zone": {"a\tb": {}}}', "a control character in a string must be escaped"),
        # Values past eight bytes are checked a word at a time, the last word overlapping.
        ('{"Zone": {"abcdefghijklm;": {}}}', "holds ';'"), ('{"Zone": {"abcdefghij!klmnopq": {}}}', "holds '!'"),
        # A number where the text ends: its scan looks for the end.
        ('{"Zone": {"A": {"volume": 12', "the text ends where ',' or '}' belongs"),
        ('{"Zone": {"A": {"volume": 1.', "digits must follow '.'"), ('{"Zone": {"A": {"volume": 1e', "exponent mark"),
    ],
)
def test_reader_refuses(idd, text, message):
    with pytest.raises(ValueError, match=re.escape(message)):
        IDF.from_string(idd, text)


def test_reader_accepts_escapes_and_trims(idd):
    model = IDF.from_string(idd, '{"Zone": {"  \\u00e9\\ud83d\\ude00 ": {"volume": "  autocalculate "}}}')
    assert model["Zone"][0].get_values() == ["é😀", None, "Autocalculate"]
    model = IDF.from_string(idd, '{"Zone": {"\\tabcdefghij\\tk\\t ": {}}}')
    assert model["Zone"][0][0] == "abcdefghij\tk"


def test_reader_takes_any_layout_and_still_refuses_repeats(idd):
    # The reader tries each key (and the separator before it) as the last
    # object of the class had it: other layouts and orders read the same.
    text = doc(idd, "Zone,A,1,2,,TARP;\nZone,B,3,,5;\nZone,C,,6,7,Simple;\n").to_epjson()
    data = json.loads(text)
    backwards = {"Zone": {k: dict(reversed(list(v.items()))) for k, v in data["Zone"].items()}}
    for other in [json.dumps(data), json.dumps(data, indent=2), json.dumps(data, separators=(",", ":")),
                  json.dumps(backwards, indent=4)]:
        assert IDF.from_string(idd, other).to_epjson() == text
    repeated = text.replace('"multiplier": 3,', '"multiplier": 3,\n            "multiplier": 3,')
    with pytest.raises(ValueError, match='Zone "B": property "multiplier" given twice'):
        IDF.from_string(idd, repeated)


def test_files(idd, tmp_path):
    model = doc(idd, "Zone,Z,2;\n")
    model.save(tmp_path / "a.EPJSON")
    model.save(tmp_path / "b.json", file_format="epjson")
    model.save(tmp_path / "c.epJSON", file_format="idf", include_timestamp=False)
    text = (tmp_path / "a.EPJSON").read_text(encoding="utf-8")
    assert text == model.to_epjson() == (tmp_path / "b.json").read_text(encoding="utf-8")
    assert (tmp_path / "c.epJSON").read_text().startswith("!")
    for bad in ({"encoding": "cp1252"}, {"file_format": "xml"}):
        with pytest.raises(ValueError):
            model.save(tmp_path / "d.epJSON", **bad)
    (tmp_path / "bom.epJSON").write_bytes(b"\xef\xbb\xbf \n" + text.encode())
    assert IDF.from_file(idd, tmp_path / "bom.epJSON").to_epjson() == text
    # Bytes that are not UTF-8 anywhere in the text (a key, between tokens,
    # a value after a byte-order mark) name the file, whatever else is wrong.
    for i, raw in enumerate([b'{"Zone": {"Z\xe9": {}}}', b'{"Zone": {"Z": {}}, \xe9}',
                             b'\xef\xbb\xbf{"Zone": {"Z": {"multiplier": "\xc0\x80"}}}']):
        path = tmp_path / f"latin{i}.epJSON"
        path.write_bytes(raw)
        with pytest.raises(ValueError) as caught:
            IDF.from_file(idd, path)
        assert str(caught.value) == f"epJSON: {path!r} is not valid UTF-8 (epJSON text is UTF-8)"
    (tmp_path / "broken.epJSON").write_bytes('{"Zone": {"Zé": {}},}'.encode())
    with pytest.raises(ValueError, match="line 1") as caught:
        IDF.from_file(idd, tmp_path / "broken.epJSON")
    assert "UTF-8" not in str(caught.value)
    with pytest.raises(ValueError, match="UTF-8"):
        IDF.from_file(idd, tmp_path / "a.EPJSON", encoding="cp1252")
    # No source text: the original layout falls back to the standard one.
    loaded = IDF.from_file(idd, tmp_path / "a.EPJSON")
    assert loaded.format(original_layout=True).rstrip() == loaded.format(preserve_order=True)


def test_command_line(tmp_path):
    if not DATA_DIR.is_dir():
        pytest.skip(f"data corpus not found at {DATA_DIR}")
    from tamrix.discovery import read_model_version

    source = DATA_DIR / "idf" / "V8-8-0" / "1ZoneUncontrolled.idf"
    env_idd = str(DATA_DIR / "idd")
    env = {**os.environ, "TAMRIX_IDD_PATH": env_idd}
    run = lambda *a: subprocess.run([sys.executable, "-m", "tamrix", *a], capture_output=True, text=True, env=env)
    out = tmp_path / "m.epJSON"
    assert run("convert", str(source), str(out)).returncode == 0
    assert read_model_version(str(out)) == "8.8"
    done = run("rename", str(out), "Zone", "Zone One", "Zone Two", "--in-place")
    assert done.returncode == 0, done.stderr
    assert "Zone Two" in json.loads(out.read_text())["Zone"]
    back = tmp_path / "m.idf"
    assert run("convert", str(out), str(back), "--no-timestamp").returncode == 0
    assert "Zone Two" in back.read_text() and run("check", str(out)).returncode == 0
    # Rewritten in place, or to standard output by rename, epJSON stays epJSON.
    other = tmp_path / "m.json"
    other.write_text(out.read_text())
    assert run("fmt", str(other), "--in-place").returncode == 0
    assert other.read_text() == out.read_text()
    printed = run("rename", str(other), "Zone", "Zone Two", "Zone 3")
    assert "Zone 3" in json.loads(printed.stdout)["Zone"]


def _read_back_normalised(model: IDF) -> list:
    """Every object as (class, values) with numbers as floats, text
    case-folded, trailing blanks dropped and a blank name for the key it
    was given ("<class> <n>"), sorted."""
    number = re.compile(r"[+-]?(\d+\.?\d*|\.\d+)([eE][+-]?\d+)?")
    rows = []
    for name in model.get_class_names():
        given = re.compile(re.escape(name) + r" \d+")
        for obj in model[name]:
            values = []
            for v in obj.get_values():
                if isinstance(v, str) and number.fullmatch(v):
                    v = float(v)
                values.append(float(v) if isinstance(v, (int, float)) else (v or "").lower())
            if values and isinstance(obj[0], str) and given.fullmatch(obj[0]):
                values[0] = ""
            while values and values[-1] == "":
                values.pop()
            rows.append((name, tuple(values)))
    return sorted(rows, key=repr)


_REFUSED = re.compile(r'^epJSON: (\S+) "(.*?)": (two objects of the class have this name|field \S+ has no name)')


@pytest.mark.parametrize("version, path", corpus_params())
def test_corpus_round_trip(version, path):
    idd = corpus_idd(version)
    model = IDF.from_file(idd, path)
    # What an old dictionary lets a model hold but epJSON cannot is
    # refused: such objects are taken out, and the rest must round-trip.
    for _ in range(50):
        try:
            out = model.to_epjson()
            break
        except ValueError as exc:
            match = _REFUSED.match(str(exc))
            assert match, str(exc)
            cls, key = match.group(1), match.group(2)
            model.remove_object([o for o in model[cls] if o[0] == key][-1])
    assert out == json.dumps(json.loads(out), indent=4, sort_keys=True, ensure_ascii=False)
    back = IDF.from_string(idd, out)
    assert back.to_epjson() == out
    assert _read_back_normalised(back) == _read_back_normalised(model)


def test_numbers_match_python_float_repr(idd):
    rng = random.Random(7)
    texts = []
    for _ in range(3000):
        x = rng.choice([rng.uniform(-1e3, 1e3), rng.expovariate(1e-3), 10 ** rng.uniform(-320, 308), rng.random()])
        texts.append(rng.choice([f"{x:.17g}", f"{x:.6E}", f"{x:.15f}", repr(x), f"{x:.3e}", f"{x:.10G}"]))
    out = doc(idd, "".join(f"Zone,Z{i},,{t};\n" for i, t in enumerate(texts))).to_epjson()
    zones = json.loads(out)["Zone"]
    assert [zones[f"Z{i}"]["volume"] for i in range(len(texts))] == [float(t) for t in texts]
    # json.dumps writes each float as its repr: the same spelling.
    assert out == json.dumps(json.loads(out), indent=4, sort_keys=True, ensure_ascii=False)
