"""Field names and attribute keys come from one place, the dictionary: the
name IDD.field_name gives for an index is the one the writer prints after
the value, and the attribute spelling of that name leads back to the same
field through IDD.attribute_index and through tamrix.ormic objects."""

from __future__ import annotations

import json
import re
from pathlib import Path

import pytest

from _data import DATA_DIR, corpus_idd, run_python
from tamrix.idd import IDD
from tamrix.idf import IDF

# Every dictionary of the corpus (8.0 and 8.8; it holds no 9.x dictionary).
VERSIONS = sorted(p.name.split("-Energy+")[0] for p in (DATA_DIR / "idd").glob("*-Energy+.idd")) if DATA_DIR.is_dir() else []
needs_corpus = pytest.mark.skipif(not VERSIONS, reason=f"data corpus not found at {DATA_DIR}")
GROUPS_PAST = 2  # how many extensible groups past the declared fields are named


def attribute_spelling(field_name: str) -> str:
    """How scripts write a field as an attribute: Vertex 1 X-coordinate -> Vertex_1_Xcoordinate."""
    return re.sub(r"[-/*]", "", field_name).replace(" ", "_")


def extensible_classes(idd: IDD) -> list[tuple[str, int]]:
    """(class name, number of fields up to GROUPS_PAST groups past the declared ones)."""
    found = []
    for name in idd.class_names():
        info = idd.class_info(name)
        if info["extensible"]:
            found.append((name, len(info["fields"]) + GROUPS_PAST * info["extensible"]["size"]))
    return found


def model_text(idd: IDD) -> str:
    """One object per extensible class, field i holding 1000 + i."""
    return "\n".join(
        f"{name}," + ",".join(str(1000 + i) for i in range(count)) + ";" for name, count in extensible_classes(idd)
    )


@needs_corpus
@pytest.mark.parametrize("version", VERSIONS)
def test_field_name_is_the_name_the_writer_prints(version):
    idd = corpus_idd(version)
    classes = extensible_classes(idd)
    assert len(classes) > 50
    doc = IDF.from_string(idd, model_text(idd))
    mismatched = []
    for name, count in classes:
        (obj,) = doc[name]
        comments = re.findall(r"!- (.*)$", repr(obj), re.M)
        assert len(comments) == count, name
        for i, comment in enumerate(comments):
            info = idd.field_info(name, i)
            expected = idd.field_name(name, i) + (f" {{{info['units']}}}" if info["units"] else "")
            if comment != expected or info["name"] != idd.field_name(name, i):
                mismatched.append((name, i, comment, expected))
    assert mismatched == []


# The facade's dictionary is chosen once per process, so each dictionary is
# checked in a child interpreter. Reading and writing through attributes
# must reach the first field whose attribute key it is (a group without a
# number, like Wavelength, repeats its name: its key reaches the first).
FACADE_CHECK = r"""
import json, re
from tamrix.idd import IDD
from tamrix.ormic import IDF
from test_field_names import attribute_spelling, extensible_classes, model_text

IDF.setiddname(IDD_PATH)
idd = IDD.from_file(IDD_PATH)
path = TMP + "/model.idf"
open(path, "w").write(model_text(idd))
doc = IDF(path)
wrong = []
checked = 0
for name, count in extensible_classes(idd):
    (obj,) = doc.idfobjects[name]
    values = obj.core_obj.get_values()
    first, written = {}, {}
    for i in range(count):
        key = attribute_spelling(idd.field_name(name, i))
        target = first.setdefault(key.lower(), i)
        checked += 1
        if idd.attribute_index(name, key) != target or idd.attribute_index(name, key.upper()) != target:
            wrong.append([name, i, key, "attribute_index"])
        elif getattr(obj, key) != values[target] or getattr(obj, key.lower()) != values[target]:
            wrong.append([name, i, key, "read"])
    for i in range(count):
        key = attribute_spelling(idd.field_name(name, i))
        setattr(obj, key.upper(), 5000 + i)
        written[first[key.lower()]] = 5000 + i
    after = obj.core_obj.get_values()
    wrong += [[name, i, "", "write"] for i, value in written.items() if float(after[i]) != value]
print(json.dumps({"checked": checked, "wrong": wrong[:20]}))
"""


@needs_corpus
@pytest.mark.parametrize("version", VERSIONS)
def test_attribute_keys_lead_back_to_their_fields(version, tmp_path):
    idd_path = DATA_DIR / "idd" / f"{version}-Energy+.idd"
    tests_dir = str(Path(__file__).resolve().parent)
    code = f"import sys; sys.path.insert(0, {tests_dir!r})\nIDD_PATH = {str(idd_path)!r}\nTMP = {str(tmp_path)!r}\n"
    result = run_python(code + FACADE_CHECK)
    assert result.returncode == 0, result.stderr
    report = json.loads(result.stdout.strip().splitlines()[-1])
    assert report["wrong"] == [] and report["checked"] > 10000


NUMBERED_IDD = (
    "!IDD_Version 1.0.0\n"
    "\\group Example\n"
    "Zone,\n  A1; \\field Name\n"
    "Lights,\n  \\extensible:2\n"
    "  A1, \\field Name\n  A2, \\field Zone Name\n"
    "  N1, \\field Group 1 Set-point\n      \\begin-extensible\n      \\units W\n"
    "  A3; \\field Group 1 On/Off Schedule\n"
    "Stufe,\n  \\extensible:1\n  A1, \\field Name\n"
    "  N1; \\field W\u00c4RME 1 Soll-wert\n      \\begin-extensible\n"
)


def test_names_keys_and_definitions_of_any_index():
    idd = IDD.from_string(NUMBERED_IDD)
    assert [idd.field_name("Lights", i) for i in range(2, 8)] == [
        "Group 1 Set-point", "Group 1 On/Off Schedule", "Group 2 Set-point", "Group 2 On/Off Schedule",
        "Group 3 Set-point", "Group 3 On/Off Schedule",
    ]
    # A later group's definition is its first group's, under its own name.
    later = idd.field_info("Lights", 6)
    assert (later["name"], later["units"], later["type"]) == ("Group 3 Set-point", "W", "real")
    assert idd.field_info("lights", 1)["name"] == "Zone Name"

    # Keys: blanks as "_", "-", "/" and "*" dropped, any letter case.
    for key, index in [("Name", 0), ("ZONE_NAME", 1), ("zone_name", 1), ("Group_1_Setpoint", 2),
                       ("group_1_onoff_schedule", 3), ("Group_12_Setpoint", 24), ("GROUP_03_ONOFF_SCHEDULE", 7)]:
        assert idd.attribute_index("Lights", key) == index, key
    # Keys beyond ASCII fold as the interpreter folds them.
    assert idd.attribute_index("Stufe", "w\u00e4rme_3_sollwert") == 3
    assert idd.attribute_index("Stufe", "W\u00c4RME_1_SOLLWERT") == 1
    for key in ["Group_1_Set_point", "No_Such_Field", ""]:
        with pytest.raises(KeyError):
            idd.attribute_index("Lights", key)
    with pytest.raises(KeyError, match="Unknown class"):
        idd.attribute_index("Nowhere", "Name")
    with pytest.raises(TypeError):
        idd.attribute_index("Lights", 1)


@pytest.mark.parametrize("query", ["field_name", "field_info"])
def test_indexes_outside_a_class(query):
    idd = IDD.from_string(NUMBERED_IDD)
    ask = getattr(idd, query)
    assert ask("Zone", 0)
    with pytest.raises(IndexError, match="past the 1 fields of class Zone"):
        ask("Zone", 1)
    for index in (-1, -(2**70)):
        with pytest.raises(IndexError, match="must not be negative"):
            ask("Zone", index)
    with pytest.raises(IndexError, match="past"):
        ask("Lights", 2**40)
    assert ask("Lights", 10**6)  # any group of an extensible class has a name
    with pytest.raises(TypeError, match="index must be int"):
        ask("Zone", "0")
    with pytest.raises(KeyError, match="Unknown class"):
        ask("Nowhere", 0)


def test_facade_keys_beyond_ascii(tmp_path):
    idd_file = tmp_path / "numbered.idd"
    idd_file.write_text(NUMBERED_IDD, encoding="utf-8")
    idf_file = tmp_path / "numbered.idf"
    idf_file.write_text("Stufe, S1, 10, 20, 30;\nLights, L1, Z1, 1, A, 2, B;\n", encoding="utf-8")
    result = run_python(f"""
        from tamrix import ormic
        from tamrix.ormic import IDF

        IDF.setiddname({str(idd_file)!r})
        # The table lists the keys as the interpreter lower-cases them.
        assert ormic._field_key_to_name()["STUFE"] == {{"w\u00e4rme_1_sollwert": "W\u00c4RME 1 Soll-wert"}}
        doc = IDF({str(idf_file)!r})
        (stufe,) = doc.idfobjects["Stufe"]
        assert stufe.W\u00e4rme_1_Sollwert == 10 and stufe.W\u00c4RME_3_SOLLWERT == 30
        (lights,) = doc.idfobjects["Lights"]
        assert (lights.Group_2_OnOff_Schedule, lights.group_2_setpoint) == ("B", 2)
        print("ok")
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip().endswith("ok")


@needs_corpus
@pytest.mark.parametrize("version", VERSIONS)
def test_the_checker_names_fields_as_the_dictionary_does(version):
    # Hexadecimal in every field: each numeric field is reported, under the
    # name the dictionary gives its index (also two groups past the declared).
    from tamrix.check import check_model

    idd = corpus_idd(version)
    classes = extensible_classes(idd)
    text = "\n".join(f"{name}," + ",".join("0x1" for _ in range(count)) + ";" for name, count in classes)
    problems = [p for p in check_model(IDF.from_string(idd, text)) if p.kind == "number"]
    assert len({p.class_name for p in problems}) > 40
    named = [(p.class_name, p.field_index, p.field_name) for p in problems]
    assert named == [(c, i, idd.field_name(c, i)) for c, i, _ in named]
    assert any(i >= len(idd.field_names(c)) for c, i, _ in named)
