"""Objects longer than their class declares, from real models: a surface with
150 vertices, an EMS program of 600 lines, a compact schedule past its
declared fields. Every stored value stays reachable by index, iteration and
copying, and none is lost on the way."""

from __future__ import annotations

import math

import pytest

from tamrix.idf import IDF, IDFObject

from _data import DATA_DIR, corpus_idd

pytestmark = pytest.mark.skipif(not DATA_DIR.is_dir(), reason=f"data corpus not found at {DATA_DIR}")


def corpus_object(version: str, file: str, cls: str, pick=lambda objects: objects[0]) -> list[str]:
    doc = IDF.from_file(corpus_idd(version), DATA_DIR / "idf" / version / file)
    return pick(doc[cls])._raw_values()


def surface_with_150_vertices() -> tuple[str, str, list[str]]:
    raw = corpus_object("V8-8-0", "5ZoneAirCooled.idf", "BuildingSurface:Detailed")
    head, corners = raw[:10], [raw[i:i + 3] for i in range(10, len(raw), 3)]
    vertices = [corners[k % len(corners)][:2] + [f"{0.01 * k:.2f}"] for k in range(150)]
    head[9] = "150"  # Number of Vertices
    return "V8-8-0", "BuildingSurface:Detailed", head + [v for vertex in vertices for v in vertex]


def program_of_600_lines() -> tuple[str, str, list[str]]:
    raw = corpus_object("V8-8-0", "HospitalBaselineReheatReportEMS.idf", "EnergyManagementSystem:Program",
                        lambda objects: max(objects, key=lambda o: len(o._raw_values())))
    lines = raw[1:]
    return "V8-8-0", "EnergyManagementSystem:Program", [raw[0]] + [lines[k % len(lines)] for k in range(600)]


def schedule_past_its_fields() -> tuple[str, str, list[str]]:
    raw = corpus_object("V8-0-0", "ASHRAE90.1_SchoolPrimary_STD2007_Salem.idf", "Schedule:Compact",
                        lambda objects: max(objects, key=lambda o: len(o._raw_values())))
    days = raw[2:]
    return "V8-0-0", "Schedule:Compact", raw[:2] + [days[k % len(days)] for k in range(4700)]


LONG_OBJECTS = {"surface": surface_with_150_vertices, "program": program_of_600_lines,
                "schedule": schedule_past_its_fields}


@pytest.fixture(params=list(LONG_OBJECTS))
def long_object(request):
    version, cls, raw = LONG_OBJECTS[request.param]()
    idd = corpus_idd(version)
    assert len(raw) > len(idd.field_names(cls))  # longer than the dictionary declares
    doc = IDF.from_string(idd, f"{cls},{','.join(raw)};\n")
    obj = doc[cls][0]
    assert obj._raw_values() == raw
    return idd, doc, obj, raw


def same_typed(a, b) -> bool:
    return len(a) == len(b) and all(type(x) is type(y) and (x == y or math.isnan(x) and math.isnan(y))
                                    for x, y in zip(a, b))


def test_every_stored_value_is_reachable(long_object):
    idd, doc, obj, raw = long_object
    typed = obj.get_values()
    assert len(obj) == len(raw) and same_typed(list(obj), typed) and same_typed([v for v in obj], typed)
    assert same_typed([obj[i] for i in range(len(raw))], typed)
    for value, text in zip(typed, raw):
        assert value == text or (isinstance(value, float) and value == float(text))
    # Past the end reads the blank of the field's type and changes nothing.
    assert obj[len(raw) + 7] in (None, "") and obj._raw_values() == raw


def test_copies_through_a_list_or_dict_keep_every_value(long_object):
    idd, doc, obj, raw = long_object
    typed_copy = doc.add_object(obj.class_name, list(obj), default_values=False)
    text_copy = doc.add_object(obj.class_name, obj._raw_values())
    by_index = doc.add_object(obj.class_name, dict(enumerate(raw)), default_values=False)
    assert same_typed(typed_copy.get_values(), obj.get_values())
    assert text_copy._raw_values() == raw and by_index._raw_values() == raw
    free = IDFObject(idd, obj.class_name)
    free.update(raw)
    assert free._raw_values() == raw
    reloaded = IDF.from_string(idd, doc.format())[obj.class_name]
    assert [o._raw_values() for o in reloaded] == [raw, typed_copy._raw_values(), raw, raw]


def test_writes_past_the_declared_fields(long_object):
    idd, doc, obj, raw = long_object
    last = len(raw) - 1
    obj.update({last: "7", last - 1: "8"})
    assert obj._raw_values() == raw[:-2] + ["8", "7"] and obj[last] in (7.0, "7")
    obj[last], obj[last - 1] = raw[last], raw[last - 1]
    assert obj._raw_values() == raw
    obj[len(raw) + 2] = raw[last]
    assert obj._raw_values() == raw + ["", "", raw[last]]
    obj.update({len(raw) + 2: None})
    assert obj._raw_values() == raw
    doc.add_object(obj.class_name, {len(raw) + 4: raw[last]})  # a later field's index extends a new object
    assert doc[obj.class_name][-1]._raw_values()[-1] == raw[last]
    assert len(doc[obj.class_name][-1]) == len(raw) + 5
