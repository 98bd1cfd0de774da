"""How a model keeps its values: records into the text it was read from,
edited ones in the object's own bytes. Values next to each other in either
place read back alone, values far into a long object or longer than a short
record holds come back exact, and objects keep their values once the model
is gone."""

from __future__ import annotations

import copy
import gc
import weakref

import pytest

from tamrix.idd import IDD
from tamrix.idf import IDF, IDFObject

DICTIONARY = (
    "!IDD_Version 1.0.0\n"
    "\\group Zones\n"
    "Zone,\n  A1, \\field Name\n      \\reference ZoneNames\n"
    "  N1, \\field X\n      \\type real\n  N2, \\field Y\n      \\type real\n"
    "  N3; \\field Count\n      \\type integer\n"
    "Lights,\n  A1, \\field Name\n  A2; \\field Zone Name\n      \\object-list ZoneNames\n"
)


@pytest.fixture(scope="module")
def idd():
    return IDD.from_string(DICTIONARY)


def zones(idd):
    model = IDF.from_string(idd, "Zone,Z1,1,2,3;\nZone,Z2,10,20,30;\nLights,L1,Z1;\n")
    return model, model["Zone"][0]


@pytest.mark.parametrize("writes, expected", [
    ([("X", "1"), ("Y", "5")], [1.0, 5.0, 3]),          # side by side in the object's bytes
    ([("X", "123"), ("X", "4")], [4.0, 2.0, 3]),        # a shorter value over a longer one
    ([("X", "1e"), ("Y", "5")], ["1e", 5.0, 3]),        # not a number, whatever follows it
    ([("Count", "7"), ("Y", "8"), ("X", "")], [None, 8.0, 7]),
    ([("Count", "12345678901234567890")], [1.0, 2.0, 12345678901234567890]),
])
@pytest.mark.parametrize("where", ["loaded", "free"])
def test_edited_numbers_read_alone(idd, writes, expected, where):
    if where == "loaded":
        model, obj = zones(idd)
    else:
        model, obj = None, IDFObject(idd, "Zone")
        obj.update(["Z1", 1, 2, 3])
    for key, value in writes:
        obj[key] = value
    assert [obj["X"], obj["Y"], obj["Count"]] == expected
    if model is not None:
        # The other objects' values, read from the text, are untouched.
        assert model["Zone"][1].get_values() == ["Z2", 10.0, 20.0, 30]


LONG = "N" * 5000
FAR = "! " + "x" * 1_200_000 + "\n"


@pytest.mark.parametrize("text", [
    f"Zone,{LONG},1,2,3;\nLights,L1,{LONG};\n",       # longer than a short record holds
    f"Zone,Z1,\n{FAR}  1,2,\n{FAR}  3;\nLights,L1,Z1;\n",  # far from the class line
    f"{FAR}Zone,Z1,1,2,3;  {FAR}",                     # far into the text
])
def test_long_and_far_values_round_trip(idd, text):
    model = IDF.from_string(idd, text)
    zone = model["Zone"][0]
    name = zone["Name"]
    assert zone.get_values() == [name, 1.0, 2.0, 3]
    assert model.format(original_layout=True) == text
    zone["Y"] = 9
    assert zone.get_values() == [name, 1.0, 9.0, 3]
    assert model.format(original_layout=True) == text.replace("2,", "9,", 1)
    if model["Lights"]:
        assert model["Lights"][0]["Zone Name"] == name
        assert model.get_object_by_name("Zone", name) is zone


def test_objects_keep_their_values_when_the_model_is_gone(idd):
    model, zone = zones(idd)
    other = IDF.from_string(idd, "")
    removed = model["Zone"][1]
    model.remove_object(removed)
    kept = [removed, copy.copy(zone), other.copy_object(model["Lights"][0])]
    gone = weakref.ref(model)
    del model, zone
    gc.collect()
    assert gone() is None
    assert [o.get_values() for o in kept] == [["Z2", 10.0, 20.0, 30], ["Z1", 1.0, 2.0, 3], ["L1", "Z1"]]
    removed["X"] = 11
    assert removed.get_values() == ["Z2", 11.0, 20.0, 30]
    assert other.format(compact=True) == "Lights,L1,Z1;"
