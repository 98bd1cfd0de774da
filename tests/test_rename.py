"""Renaming objects with their references: IDFObject.rename against a
brute-force scan of real models, the fields that refer to a name, copying
objects between models, the original layout after a rename, and
`tamrix rename`."""

from __future__ import annotations

import copy
import os
import shutil
import subprocess
import sys
from collections import Counter

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from _data import DATA_DIR, EXAMPLE_IDD, corpus_idd
from tamrix.check import check_model, rules_for
from tamrix.idd import IDD
from tamrix.idf import IDF, IDFObject

V88 = DATA_DIR / "idf" / "V8-8-0"
needs_corpus = pytest.mark.skipif(not DATA_DIR.is_dir(), reason=f"data corpus not found at {DATA_DIR}")
PROPERTY_MODELS = ["1ZoneUncontrolled.idf", "5ZoneAirCooled.idf", "4ZoneWithShading_Simple_1.idf"]


def load(name: str) -> IDF:
    return IDF.from_file(corpus_idd("V8-8-0"), V88 / name)


def all_objects(model: IDF) -> list[IDFObject]:
    return [o for cls in model.get_class_names() for o in model[cls]]


def own_lists(obj: IDFObject) -> set[str]:
    rule = rules_for(corpus_idd("V8-8-0")).for_class(obj.class_name).rule(0)
    return set(rule.references) if rule is not None else set()


def referring_fields(model: IDF, lists: set[str], name: str) -> list[tuple[IDFObject, int]]:
    """Every field of the model whose value is `name` (ASCII case-insensitive)
    and whose object lists meet `lists`, by scanning every value."""
    rules = rules_for(model._idd)
    wanted = name.upper()
    found = []
    for obj in all_objects(model):
        class_rules = rules.for_class(obj.class_name)
        for j, value in enumerate(obj._raw_values()):
            rule = class_rules.rule(j)
            if value and rule is not None and lists & set(rule.object_lists) and value.upper() == wanted:
                found.append((obj, j))
    return found


def reference_problems(model: IDF) -> Counter:
    return Counter((p.class_name, p.object_name, p.field_index, p.value)
                   for p in check_model(model) if p.kind == "reference")


def snapshot(model: IDF) -> tuple:
    """Everything a refused rename must leave alone: every value, what is
    still as loaded, and the answers of the reference index."""
    objects = all_objects(model)
    return (
        [(o.class_name, o._raw_values(), o._source_lines()) for o in objects],
        [[(id(r), f) for r, f in o.get_referencing_fields(0)] for o in objects],
        model.format(original_layout=True),
    )


# --- against a brute-force scan ---------------------------------------------

_PRISTINE: dict[str, IDF] = {}


def pristine(name: str) -> IDF:
    if name not in _PRISTINE:
        _PRISTINE[name] = load(name)
    return _PRISTINE[name]


def named_objects(model: IDF) -> list[IDFObject]:
    """Objects whose first field defines names other objects may use."""
    return [o for o in all_objects(model) if o._raw_values() and o._raw_values()[0] and own_lists(o)]


new_names = st.text(alphabet="abcXYZ019 -_:", min_size=1, max_size=12)


@needs_corpus
@settings(max_examples=30, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(file=st.sampled_from(PROPERTY_MODELS), picks=st.lists(st.tuples(st.integers(0, 10**6), new_names),
                                                              min_size=1, max_size=4))
def test_renames_match_a_brute_force_scan(file, picks):
    model = copy.deepcopy(pristine(file))
    problems_before = reference_problems(model)
    candidates = named_objects(model)
    for index, raw_name in picks:
        obj = candidates[index % len(candidates)]
        old = obj._raw_values()[0]
        new = raw_name.strip(" ")
        lists = own_lists(obj)
        before = referring_fields(model, lists, old)
        holders = [o for o in model[obj.class_name] if o is not obj and o._raw_values()
                   and o._raw_values()[0].upper() == new.upper()]
        if not new or (holders and new.upper() != old.upper()):
            state = snapshot(model)
            with pytest.raises(ValueError):
                obj.rename(raw_name)
            assert snapshot(model) == state
            continue
        changed = sum(1 for o, j in before if o._raw_values()[j] != new and not (o is obj and j == 0))
        assert obj.rename(raw_name) == changed
        assert obj._raw_values()[0] == new
        assert all(o._raw_values()[j] == new for o, j in before)
        if old.upper() != new.upper():
            assert referring_fields(model, lists, old) == []
        after = {(id(o), j) for o, j in referring_fields(model, lists, new)}
        assert {(id(o), j) for o, j in before} <= after
        assert model.get_object_by_name(obj.class_name, new) is obj
        assert sorted((id(o), f) for o, f in obj.get_referencing_fields()) == sorted(
            (id(o), model._idd.field_name(o.class_name, j)) for o, j in referring_fields(model, lists, new))
    assert not reference_problems(model) - problems_before


@needs_corpus
@pytest.mark.parametrize("file", PROPERTY_MODELS + ["HospitalBaselineReheatReportEMS.idf"])
def test_referencing_fields_are_the_scanned_fields_once_each(file):
    model = pristine(file) if file in PROPERTY_MODELS else load(file)
    for obj in named_objects(model)[:200]:
        listed = obj.get_referencing_fields()
        assert len(listed) == len({(id(o), f) for o, f in listed})
        expected = referring_fields(model, own_lists(obj), obj._raw_values()[0])
        assert Counter((id(o), f) for o, f in listed) == Counter(
            (id(o), model._idd.field_name(o.class_name, j)) for o, j in expected)
        # The objects, in the order the object query lists them.
        seen = list(dict.fromkeys(id(o) for o in obj.get_referencing_objects("Name")))
        assert list(dict.fromkeys(id(o) for o, _ in listed)) == seen


# --- one model, by hand -----------------------------------------------------


@needs_corpus
def test_a_zone_rename_reaches_every_user_and_nothing_else():
    model = load("5ZoneAirCooled.idf")
    zone = model.get_object_by_name("Zone", "SPACE1-1")
    users = zone.get_referencing_fields()
    assert ("Zone Name" in {f for _, f in users}) and len(users) == 13
    untouched = {id(o): o._raw_values() for o in all_objects(model) if all(o is not u for u, _ in users)}
    untouched.pop(id(zone))
    assert zone.rename("  Office A\t") == 13
    assert zone["Name"] == "Office A"
    assert all(o[f] == "Office A" for o, f in users)
    assert {id(o): o._raw_values() for o in all_objects(model) if id(o) in untouched} == untouched
    assert model.get_object_by_name("zone", "OFFICE A") is zone
    assert model.get_object_by_name("Zone", "SPACE1-1") is None
    assert all(u.get_referenced_object(f) is zone for u, f in users)


@needs_corpus
def test_taken_names_are_refused_and_nothing_changes():
    model = load("5ZoneAirCooled.idf")
    zone = model.get_object_by_name("Zone", "SPACE1-1")
    state = snapshot(model)
    with pytest.raises(ValueError, match=r'cannot rename Zone "SPACE1-1" to "space2-1": Zone "SPACE2-1" already has'):
        zone.rename("space2-1")
    for bad, message in [("a,b", "','"), ("a;b", "';'"), ("a!b", "'!'"), ("a\nb", "line break|control"), ("a\x01b", "control"),
                         ("", "blank"), ("   ", "blank"), (None, "blank")]:
        with pytest.raises(ValueError, match=message):
            zone.rename(bad)
    assert snapshot(model) == state
    # Another class may hold the name: only the zone's own class counts.
    assert model.get_object_by_name("BuildingSurface:Detailed", "WALL-1PF") is not None
    assert zone.rename("WALL-1PF") == 13


@needs_corpus
def test_classes_without_reference_lists_refuse_taken_names_too():
    model = load("5ZoneAirCooled.idf")
    names = [o for o in model["Output:Variable"]]
    assert not own_lists(names[0])
    first, second = names[0], next(o for o in names if o["Key Value"] != names[0]["Key Value"])
    with pytest.raises(ValueError, match="already has that name"):
        first.rename(second["Key Value"])
    assert first.rename("Zone X") == 0


@needs_corpus
def test_changing_only_the_letter_case():
    model = load("5ZoneAirCooled.idf")
    zone = model.get_object_by_name("Zone", "SPACE1-1")
    users = zone.get_referencing_fields()
    assert zone.rename("Space1-1") == len(users)
    assert all(o[f] == "Space1-1" for o, f in users)
    assert zone.rename("Space1-1") == 0
    assert Counter(zone.get_referencing_fields()) == Counter(users)


def test_free_standing_and_removed_objects_just_take_the_name():
    idd = IDD.from_string(EXAMPLE_IDD)
    model = IDF.from_string(idd, "Zone, Z1;\nLights, L1, z1;\n")
    free = IDFObject(idd, "Zone")
    assert free.rename("Z1") == 0 and free["Name"] == "Z1"
    assert free.get_referencing_fields() == []
    zone = model["Zone"][0]
    model.remove_object(zone)
    assert zone.rename("Z2") == 0
    assert model["Lights"][0]["Zone Name"] == "z1"
    # An unnamed object gets a name.
    blank = model.add_object("Zone")
    assert blank.rename("Z3") == 0 and model.get_object_by_name("Zone", "z3") is blank


def test_an_object_that_refers_to_itself_and_repeated_fields():
    idd = IDD.from_string(
        "Node,\n  A1, \\field Name\n      \\reference Nodes\n  A2; \\field Next\n      \\object-list Nodes\n"
        "Pair,\n  A1, \\field First\n      \\object-list Nodes\n  A2; \\field Second\n      \\object-list Nodes\n")
    model = IDF.from_string(idd, "Node, N, n;\nPair, N, N;\nPair, M, N;\n")
    node = model["Node"][0]
    assert [(o.class_name, f) for o, f in node.get_referencing_fields()] == [
        ("Node", "Next"), ("Pair", "First"), ("Pair", "Second"), ("Pair", "Second")]
    assert node.rename("Q") == 4
    assert [o._raw_values() for o in model["Node"] + model["Pair"]] == [["Q", "Q"], ["Q", "Q"], ["M", "Q"]]


def test_referencing_fields_arguments():
    idd = IDD.from_string(EXAMPLE_IDD)
    model = IDF.from_string(idd, "Zone, Z1;\nLights, L1, z1;\nLights, L2, Z1;\n")
    zone = model["Zone"][0]
    lights = model["Lights"]
    assert zone.get_referencing_fields() == zone.get_referencing_fields(0) == zone.get_referencing_fields(key="name")
    assert zone.get_referencing_fields() == [(lights[0], "Zone Name"), (lights[1], "Zone Name")]
    assert lights[0].get_referencing_fields("Zone Name") == []
    with pytest.raises(KeyError):
        zone.get_referencing_fields("No Such Field")
    with pytest.raises(TypeError):
        zone.get_referencing_fields("Name", "extra")


# --- copying objects --------------------------------------------------------


@needs_corpus
def test_copy_object_within_and_across_models():
    model = load("5ZoneAirCooled.idf")
    other = load("1ZoneUncontrolled.idf")
    wall = model.get_object_by_name("BuildingSurface:Detailed", "WALL-1PF")
    zone = model.get_object_by_name("Zone", "PLENUM-1")
    before = len(zone.get_referencing_fields())

    twin = model.copy_object(wall, "WALL-1PF copy")
    assert twin is not wall and twin["Name"] == "WALL-1PF copy"
    assert twin._raw_values()[1:] == wall._raw_values()[1:]
    assert model["BuildingSurface:Detailed"][-1] is twin
    assert len(zone.get_referencing_fields()) == before + 1
    assert twin._source_lines() is None

    moved = other.copy_object(zone)
    assert moved._raw_values() == zone._raw_values()
    assert other.get_object_by_name("Zone", "plenum-1") is moved
    # The same dictionary read again (equal text) is the same dictionary.
    again = IDD.from_file(DATA_DIR / "idd" / "V8-8-0-Energy+.idd")
    third = IDF.from_string(again, "Version, 8.8;\n")
    assert third.copy_object(zone, "Z")._raw_values()[0] == "Z"
    assert third.copy_object(IDFObject(corpus_idd("V8-8-0"), "Zone"), "Free")["Name"] == "Free"

    older = IDF.from_file(corpus_idd("V8-0-0"), DATA_DIR / "idf" / "V8-0-0" / "twobox.idf")
    count = len(model["Zone"])
    with pytest.raises(ValueError, match=r"cannot copy Zone .*another dictionary \(version 8\.0"):
        model.copy_object(older["Zone"][0])
    with pytest.raises(ValueError, match="','"):
        model.copy_object(zone, "a,b")
    with pytest.raises(TypeError):
        model.copy_object("Zone")
    assert len(model["Zone"]) == count


# --- the original layout after a rename -----------------------------------------


@needs_corpus
@pytest.mark.parametrize("file, cls, old", [
    ("5ZoneAirCooled.idf", "Zone", "PLENUM-1"),  # vertices three to a line
    ("1ZoneUncontrolled3SurfaceZone.idf", "Zone", "Zone One"),  # CRLF
    ("5ZoneAirCooled.idf", "Schedule:Compact", "OCCUPY-1"),
])
def test_only_the_lines_naming_the_old_name_change(file, cls, old):
    model = load(file)
    obj = model.get_object_by_name(cls, old)
    count = obj.rename("A Much Longer Name Than Any Field Column Holds")
    source = (V88 / file).read_bytes().decode("cp1252").splitlines(keepends=True)
    written = model.format(original_layout=True).splitlines(keepends=True)
    assert len(written) == len(source)
    changed = [(a, b) for a, b in zip(source, written) if a != b]
    assert len(changed) == count + 1
    for a, b in changed:
        at = a.upper().index(old.upper())
        expected = a[:at] + obj["Name"] + a[at + len(old):]
        # The same line with the new name, its comment in its column or,
        # when the name runs past it, one blank after the delimiter.
        assert " ".join(b.split()) == " ".join(expected.split())
        assert b[len(b.rstrip("\r\n")):] == a[len(a.rstrip("\r\n")):]
        if "!" in a:
            assert b.index("!") == max(a.index("!"), b.index(obj["Name"]) + len(obj["Name"]) + 2)
    obj.rename("N")
    short = [b for a, b in zip(source, model.format(original_layout=True).splitlines(keepends=True)) if a != b]
    assert len(short) == count + 1
    assert all(b.index("!") == a.index("!") for a, b in zip(
        [a for a, b in zip(source, model.format(original_layout=True).splitlines(keepends=True)) if a != b], short)
        if "!" in a)


# --- the command line -----------------------------------------------------------


def run(*args: str) -> subprocess.CompletedProcess:
    env = {**os.environ, "TAMRIX_IDD_PATH": str(DATA_DIR / "idd")}
    return subprocess.run([sys.executable, "-m", "tamrix", "rename", *args], capture_output=True, env=env,
                          timeout=120)


@needs_corpus
def test_cli_rename(tmp_path):
    source = V88 / "5ZoneAirCooled.idf"
    original = source.read_bytes()

    printed = run(str(source), "zone", "space1-1", "Office A")
    assert printed.returncode == 0, printed.stderr
    assert b"13 fields naming it changed" in printed.stderr
    diff = [(a, b) for a, b in zip(original.split(b"\n"), printed.stdout.split(b"\n")) if a != b]
    assert len(diff) == 14 and len(printed.stdout) == len(original) + 14 * (len("Office A") - len("SPACE1-1"))
    assert all(a.replace(b"SPACE1-1", b"Office A") == b for a, b in diff)

    out = tmp_path / "out.idf"
    written = run(str(source), "Zone", "SPACE1-1", "Office A", "-o", str(out))
    assert written.returncode == 0 and out.read_bytes() == printed.stdout
    assert b"13 fields" in written.stdout

    in_place = tmp_path / "model.idf"
    shutil.copy(source, in_place)
    assert run(str(in_place), "Zone", "SPACE1-1", "Office A", "--in-place").returncode == 0
    assert in_place.read_bytes() == printed.stdout

    for args, status, message in [
        ((str(source), "Zone", "No Such Zone", "X"), 1, b"has no Zone named 'No Such Zone'"),
        ((str(source), "Zonee", "SPACE1-1", "X"), 2, b"unknown class 'Zonee'"),
        ((str(source), "Zone", "SPACE1-1", "SPACE2-1"), 2, b'Zone "SPACE2-1" already has that name'),
        ((str(source), "Zone", "SPACE1-1", "a;b"), 2, b"';'"),
        ((str(source), "Zone", "SPACE1-1"), 2, b"rename takes FILE CLASS OLD NEW, got 3 arguments"),
        ((str(source), "Zone", "SPACE1-1", "X", "-o", "a", "--in-place"), 2, b"not allowed with"),
        ((str(tmp_path / "none.idf"), "Zone", "A", "B"), 2, b"no such file"),
        (("--example", "Zone", "Office", "X", "--in-place"), 2, b"would rewrite the installed example"),
    ]:
        result = run(*args)
        assert (result.returncode, result.stdout) == (status, b""), args
        assert message in result.stderr, (args, result.stderr)
    assert source.read_bytes() == original

    example = run("--example", "zone", "office", "Big Office", "-o", str(out))
    assert example.returncode == 0 and b"Big Office" in out.read_bytes()
