"""Reference queries: get_referenced_object / get_referencing_objects, and the
reference index kept in step with writes, additions and removals."""

from __future__ import annotations

from collections import Counter

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from _data import DATA_DIR
from tamrix.idd import IDD
from tamrix.idf import IDF, IDFObject, IDFObjectTuple


IDD_TEXT = r"""!IDD_Version 1.0.0
\group Zones
Zone,
  A1; \field Name
      \reference ZoneNames
      \reference ZoneAndListNames
ZoneList,
  \extensible:1
  A1, \field Name
      \reference ZoneAndListNames
  A2; \field Zone 1 Name
      \begin-extensible
      \type object-list
      \object-list ZoneNames
Surface,
  A1, \field Name
  A2, \field Zone Name
      \type object-list
      \object-list ZoneNames
  A3; \field Outside Zone Name
      \type object-list
      \object-list ZoneNames
People,
  A1, \field Name
  A2; \field Zone or ZoneList Name
      \type object-list
      \object-list ZoneAndListNames
Lamp,
  A1; \field Zone Name
      \type object-list
      \object-list zonenames
Twin,
  A1, \field Name
  A2; \field Zone or List
      \type object-list
      \object-list ZoneNames
      \object-list ZoneAndListNames
"""

MODEL = """Zone,Hall;
Zone,Zoné;
ZoneList,Wing,hall,ZONÉ,,Zoné;
Surface,S1,HALL,;
Surface,S2,hall,Hall;
Surface,S3,Zoné;
People,P1,wing;
People,P2,Hall;
People,P3,;
"""


@pytest.fixture(scope="module")
def idd():
    return IDD.from_string(IDD_TEXT)


@pytest.fixture
def idf(idd):
    return IDF.from_string(idd, MODEL)


def by_name(idf, cls, name):
    return idf.get_object_by_name(cls, name)


def name_of(obj):
    return None if obj is None else f"{obj.class_name}:{obj['Name']}"


@pytest.mark.parametrize(
    "source, key, target",
    [(("Surface", "S1"), "Zone Name", "Zone:Hall"), (("Surface", "S2"), 2, "Zone:Hall"),
     (("Surface", "S1"), "Outside Zone Name", None), (("Surface", "S3"), 1, "Zone:Zoné"),
     (("ZoneList", "Wing"), "Zone 1 Name", "Zone:Hall"), (("ZoneList", "Wing"), "Zone 2 Name", None),
     (("ZoneList", "Wing"), "Zone 3 Name", None), (("ZoneList", "Wing"), "ZONE 4 NAME", "Zone:Zoné"),
     (("ZoneList", "Wing"), "Zone 9 Name", None), (("People", "P1"), 1, "ZoneList:Wing"),
     (("People", "P2"), 1, "Zone:Hall"), (("People", "P3"), 1, None), (("Zone", "Hall"), "Name", None)],
)
def test_get_referenced_object(idf, source, key, target):
    assert name_of(by_name(idf, *source).get_referenced_object(key)) == target


@pytest.mark.parametrize(
    "source, key, expected",
    [(("Zone", "Hall"), 0, {"Surface:S1": 1, "Surface:S2": 2, "ZoneList:Wing": 1, "People:P2": 1}),
     (("Zone", "Zoné"), 0, {"Surface:S3": 1, "ZoneList:Wing": 1}), (("ZoneList", "Wing"), 0, {"People:P1": 1}),
     (("Surface", "S1"), "Zone Name", {}), (("Surface", "S1"), "Outside Zone Name", {}), (("People", "P3"), 1, {})],
)
def test_get_referencing_objects(idf, source, key, expected):
    found = by_name(idf, *source).get_referencing_objects(key)
    assert type(found) is IDFObjectTuple and Counter(map(name_of, found)) == expected


def test_detached_objects_answer_nothing(idd, idf):
    hall, s1 = idf["Zone"][0], idf["Surface"][0]
    idf.remove_object(s1)
    assert s1.get_referenced_object("Zone Name") is None and s1.get_referencing_objects(0) == ()
    assert "Surface:S1" not in map(name_of, hall.get_referencing_objects("Name"))
    idf.remove_object(hall)
    assert hall.get_referencing_objects("Name") == () and idf["Surface"][0].get_referenced_object(1) is None
    assert idf.remove_all_objects("People") == 3 and by_name(idf, "ZoneList", "Wing").get_referencing_objects(0) == ()
    loose = IDFObject(idd, "Surface")
    loose.update(["L", "Zoné"])
    assert loose.get_referenced_object("Zone Name") is None and loose.get_referencing_objects(1) == ()


def test_a_field_on_two_matching_lists_is_listed_once_per_list(idf):
    # No de-duplication: one entry per (reference list, referring field) pair.
    twin = idf.add_object("Twin", ["T", "Hall"])
    assert list(idf["Zone"][0].get_referencing_objects("Name")).count(twin) == 2


def test_list_names_match_in_any_case(idf):
    # The dictionary gives spellings of one list name that differ only in
    # case (8.8: BiQuadraticCurves / BiquadraticCurves) one spelling.
    lamp = idf.add_object("Lamp", ["hall"])
    assert lamp.get_referenced_object(0) is idf["Zone"][0]


def test_renaming_a_duplicate_away_and_back_registers_it_last(idf):
    # Removal from the index swaps the last entry into the freed place and a
    # new registration appends: the renamed-back object now comes second.
    first, second = idf["Zone"][0], idf.add_object("Zone", ["HALL"])
    s1 = by_name(idf, "Surface", "S1")
    assert s1.get_referenced_object("Zone Name") is first
    first["Name"] = "Elsewhere"
    assert s1.get_referenced_object("Zone Name") is second
    first["Name"] = "Hall"
    assert s1.get_referenced_object("Zone Name") is second
    idf.remove_object(second)
    assert s1.get_referenced_object("Zone Name") is first


# --- random edits against a brute-force scan ---------------------------------------------------

# (reference lists, object lists) of each field of IDD_TEXT; ZoneList's later fields repeat its field 1.
LISTS = {("Zone", 0): ({"ZoneNames", "ZoneAndListNames"}, set()), ("ZoneList", 0): ({"ZoneAndListNames"}, set()),
         ("ZoneList", 1): (set(), {"ZoneNames"}), ("Surface", 1): (set(), {"ZoneNames"}),
         ("Surface", 2): (set(), {"ZoneNames"}), ("People", 1): (set(), {"ZoneAndListNames"})}
KEYS = {"Zone": [0], "ZoneList": [0, 1, "Zone 2 Name", "Zone 4 Name"], "Surface": [0, 1, 2], "People": [0, 1]}
DECLARED = {"Zone": 1, "ZoneList": 2, "Surface": 3, "People": 2}


def lists_of(cls, idx):
    return LISTS.get((cls, min(idx, 1) if cls == "ZoneList" else idx), (set(), set()))


def same(a: str, b: str) -> bool:
    return a != "" and a.encode().upper() == b.encode().upper()


def check_against_scan(idf, live):
    for cls in KEYS:
        assert list(idf[cls]) == [o for o in live if o.class_name == cls]
        for name in ("hall", "ZONÉ", "Zoné", "Wing"):
            first = next((o for o in live if o.class_name == cls and same((o.get_values() or [""])[0], name)), None)
            assert idf.get_object_by_name(cls, name) is first
    stored = [(o, i, v) for o in live for i, v in enumerate(o.get_values())]
    for obj, idx, value in stored:
        refs, lists = lists_of(obj.class_name, idx)
        targets = [o for o, i, v in stored if lists & lists_of(o.class_name, i)[0] and same(v, value)]
        key = f"Zone {idx} Name" if obj.class_name == "ZoneList" and idx else idx
        got = obj.get_referenced_object(key)
        assert got is None if not targets else any(got is t for t in targets)
        want = Counter(id(o) for o, i, v in stored if refs & lists_of(o.class_name, i)[1] and same(v, value))
        assert Counter(map(id, obj.get_referencing_objects(key))) == want


NAMES = st.sampled_from(["Hall", "hall", "HALL", "Zoné", "zoné", "ZONÉ", "Wing", "", None])
OPS = st.one_of(
    st.tuples(st.just("add"), st.sampled_from(sorted(KEYS)), st.lists(NAMES, max_size=4)),
    st.tuples(st.just("set"), st.integers(0, 99), st.integers(0, 3), NAMES),
    st.tuples(st.just("remove"), st.integers(0, 99)),
    st.tuples(st.just("remove_all"), st.sampled_from(sorted(KEYS))),
)


@settings(max_examples=150, deadline=None)
@given(ops=st.lists(OPS, max_size=14))
def test_random_edits_agree_with_a_scan(idd, ops):
    idf = IDF.from_string(idd, MODEL)
    live = [o for cls in KEYS for o in idf[cls]]  # MODEL lists its classes in this order
    for op in ops:
        if op[0] == "add":
            live.append(idf.add_object(op[1], op[2][: DECLARED[op[1]]], default_values=False))
        elif live and op[0] == "set":
            obj = live[op[1] % len(live)]
            key = KEYS[obj.class_name][op[2] % len(KEYS[obj.class_name])]
            if op[1] % 2:
                obj[key] = op[3]
            else:
                obj.update({key: op[3]})
        elif live and op[0] == "remove":
            idf.remove_object(live.pop(op[1] % len(live)))
        elif op[0] == "remove_all":
            count = sum(o.class_name == op[1] for o in live)
            assert idf.remove_all_objects(op[1]) == count
            live = [o for o in live if o.class_name != op[1]]
        check_against_scan(idf, live)


# --- real files ----------------------------------------------------------------------------------

SURFACE = "BuildingSurface:Detailed"
WINDOW = "FenestrationSurface:Detailed"


def corpus():
    if not DATA_DIR.is_dir():
        return [pytest.param(None, marks=pytest.mark.skip(reason=f"data corpus not found at {DATA_DIR}"))]
    return [pytest.param(p, id=f"{p.parent.name}/{p.name}") for p in sorted(DATA_DIR.glob("idf/*/*.idf"))]


_IDDS: dict = {}


def load(path):
    if path.parent.name not in _IDDS:
        _IDDS[path.parent.name] = IDD.from_file(DATA_DIR / "idd" / f"{path.parent.name}-Energy+.idd")
    return IDF.from_file(_IDDS[path.parent.name], path)


def surface_answers(idf):
    """Each surface's referenced zone, and everything naming each zone."""
    referenced = [(s, s.get_referenced_object("Zone Name")) for s in idf[SURFACE]]
    return referenced, {id(z): Counter(map(id, z.get_referencing_objects("Name"))) for z in idf["Zone"]}


@pytest.mark.parametrize("path", corpus())
def test_real_surfaces_and_zones_agree_with_a_scan(path):
    idf = load(path)
    zones, surfaces, windows = idf["Zone"], idf[SURFACE], idf[WINDOW]
    for surface in surfaces:
        want = next((z for z in zones if same(z["Name"], surface["Zone Name"])), None)
        assert surface.get_referenced_object("Zone Name") is want
    for zone in zones:
        got = Counter(id(o) for o in zone.get_referencing_objects("Name") if o.class_name in (SURFACE, WINDOW))
        want = Counter(id(s) for s in surfaces if same(s["Zone Name"], zone["Name"]))
        want.update(id(s) for s in surfaces + windows if same(s["Outside Boundary Condition Object"], zone["Name"]))
        assert got == want
    for window in windows:
        got, wanted = window.get_referenced_object("Building Surface Name"), window["Building Surface Name"]
        if any(same(s["Name"], wanted) for s in surfaces):
            assert got is not None and same(got["Name"], wanted)
        if got is not None:
            assert same(got["Name"], wanted) and got.class_name not in (WINDOW, "Zone")


@pytest.mark.parametrize("path", corpus())
def test_real_zone_rename_updates_the_index_at_once(path):
    idf = load(path)
    zone = next((z for z in idf["Zone"] if any(same(s["Zone Name"], z["Name"]) for s in idf[SURFACE])), None)
    if zone is None:
        pytest.skip("no zone with detailed surfaces")
    old, before = zone["Name"], surface_answers(idf)
    naming = [s for s in idf[SURFACE] if same(s["Zone Name"], old)]
    zone["Name"] = "Tamrix Renamed Zone"
    assert idf.get_object_by_name("Zone", old) is None and idf.get_object_by_name("Zone", "tamrix renamed ZONE") is zone
    assert all(s.get_referenced_object("Zone Name") is None for s in naming)
    assert not set(map(id, zone.get_referencing_objects("Name"))) & set(map(id, naming))
    naming[0]["Zone Name"] = "TAMRIX RENAMED ZONE"
    assert naming[0].get_referenced_object("Zone Name") is zone and list(zone.get_referencing_objects(0)) == naming[:1]
    naming[0]["Zone Name"] = old
    zone["Name"] = old
    assert surface_answers(idf) == before


def test_names_that_come_and_go_by_the_thousand_leave_the_index_whole(idd):
    # Every new name is kept in the index's key store; names dropped by the
    # thousand make it copy the live ones into a new store. Lookups must not
    # notice, long names included.
    doc = IDF.from_string(idd, "Zone,Hall;\nSurface,S1,Hall,Hall;\nZoneList,Wing,Hall;\n")
    zone, surface = doc["Zone"][0], doc["Surface"][0]
    for i in range(3000):
        name = f"Zone {i} " + "x" * (i % 700)
        surface.update({"Zone Name": name, "Outside Zone Name": name})
        zone["Name"] = name
        assert surface.get_referenced_object("Zone Name") is zone
    assert [o.class_name for o in zone.get_referencing_objects("Name")] == ["Surface", "Surface"]
    fresh = IDF.from_string(idd, doc.format())
    assert len(fresh["Zone"][0].get_referencing_objects("Name")) == 2
    assert doc.get_object_by_name("Zone", name) is zone
