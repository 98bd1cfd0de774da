"""Typed use of the public API, checked with `mypy --strict` against the
installed package (and run as a script on the bundled example)."""

from __future__ import annotations

import os
import pickle
import sys
import tempfile
from importlib import resources
from typing import TYPE_CHECKING

from tamrix import utils
from tamrix.idd import IDD
from tamrix.idf import IDF, IDFObject, IDFObjectTuple
from tamrix.lexer import TOKEN_EOF, _new_lexer

if TYPE_CHECKING:
    from tamrix.idd import ClassInfo, FieldInfo


def example_paths() -> tuple[str, str]:
    base = resources.files("tamrix").joinpath("examples")
    return str(base.joinpath("example.idd")), str(base.joinpath("example.idf"))


def required_fields(idd: IDD, class_name: str) -> list[str]:
    info: ClassInfo = idd.class_info(class_name)
    fields: list[FieldInfo] = info["fields"]
    return [f["name"] for f in fields if f["required"]]


def zone_area(zone_name: str, model: IDF) -> float:
    """Floor area of a zone's floors with four vertices in the z=0 plane."""
    zone = model.get_object_by_name("Zone", zone_name)
    assert zone is not None
    area = 0.0
    surfaces: IDFObjectTuple = zone.get_referencing_objects("Name")
    for surface in surfaces:
        if surface.class_name != "BuildingSurface:Detailed" or surface["Surface Type"] != "Floor":
            continue
        values = surface.get_values()
        xs = [v for v in values[10::3] if isinstance(v, (int, float))]
        ys = [v for v in values[11::3] if isinstance(v, (int, float))]
        area += (max(xs) - min(xs)) * (max(ys) - min(ys))
    return area


def edit(model: IDF) -> IDFObject:
    lights = model.add_object("Lights", {"Name": "Task Lights", "Zone or ZoneList Name": "Office"})
    lights["Schedule Name"] = "Always On"
    lights.update(["Task Lights", "Office", "Always On", "LightingLevel", 120.0])
    values: dict[int, float] = {5: 2.5}
    lights.update(values)
    target = lights.get_referenced_object("Zone or ZoneList Name")
    assert target is not None and target.class_name == "Zone"
    return lights


def facade(idd_path: str, idf_path: str, out: str) -> int:
    try:
        from tamrix.ormic import IDF as FacadeIDF
    except ImportError:
        return -1
    FacadeIDF.setiddname(idd_path)
    doc = FacadeIDF(idf_path)
    zones = doc.idfobjects["ZONE"]
    name: object = zones[0].Name
    people = doc.newidfobject("People", Name="More People", Zone_or_ZoneList_Name=str(name))
    people.Number_of_People_Schedule_Name = "Always On"
    found = doc.getobject("PEOPLE", "More People")
    assert found is not None
    doc.removeidfobject(found)
    doc.saveas(out)
    return len(doc.idfstr())


def main() -> int:
    idd_path, idf_path = example_paths()
    idd = IDD.from_file(idd_path)
    version: str | None = idd.version
    classes: list[str] = idd.class_names()
    assert "zone" in idd and len(idd) == len(classes) and version is not None
    print("required Zone fields:", required_fields(idd, "Zone"))

    model = IDF.from_file(idd, idf_path)
    print("floor area:", zone_area("Office", model))
    edit(model)
    removed: int = model.remove_all_objects("Output:Meter")
    office = model.get_object_by_name("Zone", "Office")
    assert office is not None
    users: list[tuple[IDFObject, str]] = office.get_referencing_fields()
    rewritten: int = office.rename("Office A")
    assert rewritten == len(users)
    twin: IDFObject = model.copy_object(office, new_name="Office B")
    assert twin["Name"] == "Office B"
    text: str = model.format(field_size=30, preserve_order=True)
    copy = pickle.loads(pickle.dumps(model))
    assert isinstance(copy, IDF) and copy.format() == model.format()

    raw: bytes = utils.read_utf8_bytes(idf_path)
    start, end = utils.get_continuous_digits_indices(b"Vertex 12 X")
    tokens = _new_lexer(raw[:200]).test()
    assert tokens[-1][0] == TOKEN_EOF and (start, end) == (7, 9)

    with tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(tmp, "out.idf")
        model.save(out, include_timestamp=False)
        again = IDF.from_file(idd, out)
        assert len(again["Lights"]) == 2 and removed == 1 and text
        print("facade text length:", facade(idd_path, out, os.path.join(tmp, "facade.idf")))
    return 0


if __name__ == "__main__":
    sys.exit(main())
