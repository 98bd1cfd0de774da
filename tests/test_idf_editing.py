"""Editing and lookup on IDF: get_objects / idf[...], get_object_by_name,
get_class_names, add_object, remove_object and remove_all_objects."""

from __future__ import annotations

import copy
from pathlib import Path

import pytest

from _data import DATA_DIR
from tamrix.idd import IDD
from tamrix.idf import IDF, IDFObject, IDFObjectTuple


IDD_TEXT = r"""!IDD_Version 1.0.0
\group Zones
Zone,
  \min-fields 2
  A1, \field Name
      \reference ZoneNames
  N1, \field X Origin
      \type real
      \default 0
  N2, \field Multiplier
      \type integer
      \default 1
  A2; \field Kind
      \type choice
      \key Office
      \default Office
\group Loads
Lights,
  A1, \field Name
  A2, \field Zone Name
      \type object-list
      \object-list ZoneNames
  N1; \field Level
      \type real
Material,
  A1; \field Name
"""

MODEL = "Zone,A;\nLights,L1,a;\nZone,B,2;\nZONE,c;\nLights,L2,B;\nZone,Zoné;\n"
NOT_HERE = "Error: The object belongs to a different IDF model or is detached."


@pytest.fixture(scope="module")
def idd():
    return IDD.from_string(IDD_TEXT)


@pytest.fixture
def idf(idd):
    return IDF.from_string(idd, MODEL)


def names(objects):
    return [o["Name"] for o in objects]


def compact_lines(idf):
    return idf.format(preserve_order=True, compact=True).splitlines()


# --- getting objects -------------------------------------------------------------------


@pytest.mark.parametrize("spelling", ["Zone", "ZONE", "zone", "zOnE"])
def test_get_objects_in_any_case_keeps_insertion_order(idf, spelling):
    for got in (idf.get_objects(spelling), idf[spelling]):
        assert type(got) is IDFObjectTuple and isinstance(got, tuple)
        assert names(got) == ["A", "B", "c", "Zoné"]
        assert all(o.class_name == "Zone" for o in got)
    first = idf[spelling][0]
    first["Name"] = "Renamed"
    assert idf["Zone"][0] is first and idf["Zone"][0]["Name"] == "Renamed"
    for empty in ("Nope", "Material", "Zone "):
        assert idf[empty] == () and type(idf.get_objects(empty)) is IDFObjectTuple


@pytest.mark.parametrize(
    "call, error, message",
    [(lambda idf: idf[0], TypeError, r"^Argument 'class_name' has incorrect type \(expected str, got int\)$"),
     (lambda idf: idf[None], AttributeError, r"^'NoneType' object has no attribute 'encode'$"),
     (lambda idf: idf.get_objects(None), AttributeError, "'encode'"),
     (lambda idf: idf.get_object_by_name("Zone", None), AttributeError, "'encode'"),
     (lambda idf: idf.add_object(None), AttributeError, "'encode'"),
     (lambda idf: idf.add_object("Nope"), ValueError, r"^Unknown class: 'Nope'$"),
     (lambda idf: idf.remove_object(1), TypeError,
      r"^Argument 'obj' has incorrect type \(expected tamrix.idf.IDFObject, got int\)$")],
    ids=["idf-int", "idf-none", "get-none", "by-name-none", "add-none", "add-unknown", "remove-int"],
)
def test_argument_errors_leave_the_model_alone(idf, call, error, message):
    before = compact_lines(idf)
    with pytest.raises(error, match=message):
        call(idf)
    assert compact_lines(idf) == before


ADD_HINT = "This is a read-only tuple. To add new objects, use the idf.add_object() method."
REMOVE_HINT = ("This is a read-only tuple. To remove objects, use the idf.remove_object() or "
               "idf.remove_all_objects() methods.")


@pytest.mark.parametrize(
    "attribute, message",
    [("append", ADD_HINT), ("extend", ADD_HINT), ("insert", ADD_HINT), ("remove", REMOVE_HINT), ("pop", REMOVE_HINT),
     ("clear", REMOVE_HINT), ("foo", "'IDFObjectTuple' object has no attribute 'foo'")],
)
def test_object_tuple_is_read_only(idf, attribute, message):
    objects = idf["Zone"]
    with pytest.raises(AttributeError) as info:
        getattr(objects, attribute)
    assert str(info.value) == message
    assert objects.count(objects[0]) == 1 and objects.index(objects[1]) == 1


@pytest.mark.parametrize(
    "class_name, wanted, expected",
    [("Zone", "B", "B"), ("zone", "b", "B"), ("Zone", "C", "c"), ("Zone", "zoné", "Zoné"), ("Zone", "ZONÉ", None),
     ("Zone", "B ", None), ("Zone", "", None), ("Lights", "l2", "L2"), ("Nope", "A", None), ("Material", "A", None)],
)
def test_get_object_by_name(idf, class_name, wanted, expected):
    found = idf.get_object_by_name(class_name, wanted)
    assert (found["Name"] if found is not None else None) == expected


def test_get_object_by_name_skips_removed_and_finds_the_first_duplicate(idf):
    first, second = idf.add_object("Material", ["Dup"]), idf.add_object("Material", ["DUP"])
    assert idf.get_object_by_name("Material", "dup") is first
    idf.remove_object(first)
    assert idf.get_object_by_name("Material", "dup") is second
    second["Name"] = "Other"
    assert idf.get_object_by_name("Material", "dup") is None


def test_get_object_by_name_sees_an_object_that_gains_its_first_values(idd):
    # An object with no values is no name candidate; writing a later field
    # gives it a (blank) first value, as a fresh load of its text would.
    doc = IDF.from_string(idd, "Lights;\n")
    lights = doc["Lights"][0]
    assert doc.get_object_by_name("Lights", "") is None
    lights["Zone Name"] = "A"
    assert doc.get_object_by_name("Lights", "") is lights
    assert IDF.from_string(idd, doc.format()).get_object_by_name("Lights", "") is not None


def test_get_class_names_lists_classes_with_live_objects(idf):
    assert sorted(idf.get_class_names()) == ["Lights", "Zone"]
    idf.add_object("material")
    assert sorted(idf.get_class_names()) == ["Lights", "Material", "Zone"]
    for light in idf["Lights"]:
        idf.remove_object(light)
    assert idf.remove_all_objects("ZONE") == 4
    assert idf.get_class_names() == ["Material"]


# --- adding -------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "args, kwargs, values",
    [((), {}, ["", 0.0, 1, "Office"]), ((), {"default_values": False}, ["", None]),
     ((), {"default_values": 0}, ["", None]), ((["N"],), {"default_values": False}, ["N"]),
     (({"name": "N", "Kind": None},), {}, ["N", 0.0, 1]), ((["N", 5.5],), {}, ["N", 5.5, 1, "Office"]),
     (({3: "Lab", "Multiplier": 4},), {"default_values": False}, ["", None, 4, "Lab"])],
)
def test_add_object_values(idf, args, kwargs, values):
    obj = idf.add_object("zOnE", *args, **kwargs)
    assert obj.class_name == "Zone" and obj.get_values() == values
    assert idf["Zone"][-1] is obj and len(idf["Zone"]) == 5


def test_added_objects_go_last_after_removals_and_are_indexed(idf):
    idf.remove_object(idf["Zone"][1])
    new = idf.add_object("Zone", {"Name": "b"})
    assert names(idf["Zone"]) == ["A", "c", "Zoné", "b"]
    assert compact_lines(idf)[-1].startswith("Zone,b,")
    assert idf["Lights"][1].get_referenced_object("Zone Name") is new


def model_state(idf):
    """Everything an edit can touch: the text, every object's stored values,
    both reference queries for every field, lookups by name and class lists."""
    objects = [o for name in sorted(idf.get_class_names()) for o in idf[name]]
    position = {id(o): i for i, o in enumerate(objects)}
    fields = []
    for obj in objects:
        for i in range(len(obj._raw_values())):
            target = obj.get_referenced_object(i)
            fields.append((position.get(id(target)) if target is not None else None,
                           [position[id(r)] for r in obj.get_referencing_objects(i)]))
    lookups = [(cls, name, position.get(id(idf.get_object_by_name(cls, name))))
               for cls in ("Zone", "Lights", "Material") for name in ("", "A", "B", "c", "Q", "L1", "L2", "M")]
    return (idf.format(preserve_order=True), [o._raw_values() for o in objects], fields, lookups,
            sorted(idf.get_class_names()))


class Unequal:
    def __eq__(self, other):
        raise RuntimeError("no comparison")


BAD_INITIAL_VALUES = [
    ("Zone", {"Name": "Q", "Bogus": 1}, KeyError, "Bogus"),
    ("Zone", {"Name": "Q", 2.0: 1}, TypeError, "float"),
    ("Zone", ["Q", 1, 2, "Office", "too many"], IndexError, "4"),
    ("Zone", {"Name": "Q", "X Origin": "1;2"}, ValueError, "';'"),
    ("Zone", {"Name": "Q", "Kind": "a\x00b"}, ValueError, '^Field "Kind" of Zone cannot hold the control character U\\+0000$'),
    ("Zone", {"Name": "Q", "X Origin": float("nan")}, ValueError, "finite"),
    ("Zone", {"Name": "Q", "Multiplier": object()}, TypeError, "object"),
    ("Zone", ["Q", Unequal()], RuntimeError, "no comparison"),
    ("Zone", ("Q",), TypeError, "^Invalid values type: tuple. Expected list or dict$"),
    ("Lights", {"Name": "L3", "Zone Name": "B", "Level": "x,y"}, ValueError, "','"),
    ("Lights", ["L3", "A", "\x7f"], ValueError, "^Field \"Level\" of Lights .* U\\+007F$"),
    ("Material", {"Name": "M", "Bogus": 1}, KeyError, "Bogus"),
]


@pytest.mark.parametrize("cls, values, error, message", BAD_INITIAL_VALUES)
def test_failed_add_object_leaves_the_model_as_it_was(idf, cls, values, error, message):
    before = model_state(idf)
    for default_values in (True, False):
        with pytest.raises(error, match=message):
            idf.add_object(cls, values, default_values)
        assert model_state(idf) == before
    # Nothing of the failed object lingers: the next one takes the next slot.
    zone_a = idf["Zone"][0]
    added = idf.add_object("Lights", ["L9", "a"])
    assert idf["Lights"][-1] is added and added.get_referenced_object("Zone Name") is zone_a
    assert zone_a.get_referencing_objects("Name")[-1] is added


BAD_UPDATES = [
    ("Zone", 1, {"Name": "Q", "Bogus": 1}, KeyError),
    ("Zone", 1, ["Q", 3, 4, "Office", "too many"], IndexError),
    ("Zone", 1, {"Name": "Q", "Multiplier": "1,2"}, ValueError),
    ("Zone", 1, {"Name": "Q", "Kind": "tab\tok", "X Origin": "bell\x07"}, ValueError),
    ("Zone", 1, ["Q", None, 2, Unequal()], RuntimeError),
    ("Lights", 1, {"Zone Name": "A", "Name": "L3", "Level": float("inf")}, ValueError),
    ("Lights", 0, ["L1", "B", 1.0, "past the end"], IndexError),
]


@pytest.mark.parametrize("cls, index, values, error", BAD_UPDATES)
def test_failed_update_leaves_the_model_as_it_was(idf, cls, index, values, error):
    obj = idf[cls][index]
    before = model_state(idf)
    for trim in (True, False):
        with pytest.raises(error):
            obj.update(values, trim_empty_trails=trim)
        assert model_state(idf) == before
    free = copy.copy(obj)  # free-standing: same all-or-nothing rule
    with pytest.raises(error):
        free.update(values)
    assert free._raw_values() == obj._raw_values()


def test_later_keys_still_win_and_every_index_follows(idf):
    zone_b, l2 = idf["Zone"][1], idf["Lights"][1]
    zone_b.update({"name": "X", 0: "Y", "NAME": "B2", "Multiplier": 3, 2: None})
    l2.update({"Zone Name": "Y", 1: "b2"})
    assert zone_b.get_values() == ["B2", 2.0] and l2.get_values() == ["L2", "b2"]
    assert idf.get_object_by_name("Zone", "b2") is zone_b and idf.get_object_by_name("Zone", "B") is None
    assert zone_b.get_referencing_objects("Name") == (l2,) and l2.get_referenced_object("Zone Name") is zone_b
    added = idf.add_object("Lights", {"Zone Name": "nowhere", 1: "B2", "Name": "L3"})
    assert added.get_values() == ["L3", "B2"] and zone_b.get_referencing_objects("Name") == (l2, added)


# --- removing -------------------------------------------------------------------------------


def test_remove_object_detaches_and_keeps_the_order(idf):
    zone_b, lights = idf["Zone"][1], idf["Lights"]
    before = compact_lines(idf)
    idf.remove_object(zone_b)
    assert names(idf["Zone"]) == ["A", "c", "Zoné"] and idf.get_object_by_name("Zone", "B") is None
    assert compact_lines(idf) == [line for line in before if not line.startswith("Zone,B,")]
    assert lights[1].get_referenced_object("Zone Name") is None
    assert zone_b["Name"] == "B" and zone_b.get_referencing_objects("Name") == ()
    zone_b["Name"] = "A"
    assert idf["Lights"][0].get_referenced_object("Zone Name") is idf["Zone"][0]


@pytest.mark.parametrize("target", ["removed", "other-model", "free-standing", "none"])
def test_remove_object_refuses_objects_not_in_the_model(idd, idf, target):
    obj = {"removed": idf["Zone"][0], "other-model": IDF.from_string(idd, MODEL)["Zone"][0],
           "free-standing": IDFObject(idd, "Zone"), "none": None}[target]
    if target == "removed":
        idf.remove_object(obj)
    before = compact_lines(idf)
    with pytest.raises(ValueError, match=f"^{NOT_HERE}$"):
        idf.remove_object(obj)
    assert compact_lines(idf) == before


def test_remove_all_objects(idf):
    zones, lights = idf["Zone"], idf["Lights"]
    assert idf.remove_all_objects("Nope") == 0 and idf.remove_all_objects("Material") == 0
    assert idf.remove_all_objects("zone") == 4 and idf.remove_all_objects("Zone") == 0
    assert idf["Zone"] == () and compact_lines(idf) == ["Lights,L1,a;", "Lights,L2,B;"]
    assert [light.get_referenced_object("Zone Name") for light in lights] == [None, None]
    with pytest.raises(ValueError, match=f"^{NOT_HERE}$"):
        idf.remove_object(zones[0])
    zone = idf.add_object("Zone", ["A"])
    assert lights[0].get_referenced_object(1) is zone is idf["Zone"][0]


def test_repr_is_the_formatted_model(idf):
    idf.add_object("Material", ["M"])
    assert repr(idf).strip("\r\n") == idf.format()
    assert repr(idf["Zone"][1]).strip("\r\n") in idf.format()


def test_reinitialising_an_attached_object_keeps_the_model_consistent(idd, idf):
    zone = idf["Zone"][0]
    try:
        zone.__init__(idd, "Material")
    except (TypeError, ValueError, RuntimeError):
        pass
    assert all(o.class_name == "Zone" for o in idf["Zone"])
    found = idf["Lights"][0].get_referenced_object("Zone Name")
    assert found is None or found.class_name == "Zone"


# --- real files ---------------------------------------------------------------------------------


def corpus():
    if not DATA_DIR.is_dir():
        return [pytest.param(None, marks=pytest.mark.skip(reason=f"data corpus not found at {DATA_DIR}"))]
    return [pytest.param(p, id=f"{p.parent.name}/{p.name}") for p in sorted(DATA_DIR.glob("idf/V8-8-0/*.idf"))]


@pytest.fixture(scope="module")
def idd_88():
    if not DATA_DIR.is_dir():
        pytest.skip(f"data corpus not found at {DATA_DIR}")
    return IDD.from_file(DATA_DIR / "idd" / "V8-8-0-Energy+.idd")


@pytest.mark.parametrize("path", corpus())
def test_real_model_add_with_defaults_and_reload(idd_88, path):
    idf = IDF.from_file(idd_88, path)
    material = idf.add_object("material", {"Name": "Tamrix Brick", "Roughness": "Rough", "Thickness": 0.2})
    zone = idf.add_object("Zone", ["Tamrix Zone"])
    assert [material[k] for k in ("Thickness", "Thermal Absorptance", "Visible Absorptance")] == [0.2, 0.9, 0.7]
    assert [zone[k] for k in ("X Origin", "Multiplier", "Volume", "Part of Total Floor Area")] == [
        0.0, 1, "Autocalculate", "Yes"]
    again = IDF.from_string(idd_88, idf.format())
    for obj in (material, zone):
        reloaded = again.get_object_by_name(obj.class_name, obj["Name"])
        assert reloaded is not None and reloaded.get_values() == obj.get_values()
    assert len(again[zone.class_name]) == len(idf["Zone"])


@pytest.mark.parametrize("path", corpus())
def test_real_model_remove_all_of_the_largest_class(idd_88, path):
    idf = IDF.from_file(idd_88, path)
    counts = {name: len(idf[name]) for name in idf.get_class_names()}
    victim = max(counts, key=counts.get)
    before = compact_lines(idf)
    assert idf.remove_all_objects(victim.upper()) == counts[victim]
    assert victim not in idf.get_class_names()
    assert compact_lines(idf) == [line for line in before if not line.upper().startswith(victim.upper() + ",")]
    text = idf.format()
    assert f"\n{victim}," not in text and not text.startswith(f"{victim},")
