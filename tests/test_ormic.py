"""The attribute-style scripting layer (tamrix.ormic): choosing the
dictionary once per process, attribute names for fields, and forwarding every
call to the document model."""

from __future__ import annotations

import gc
import re
import weakref

import pytest

import tamrix.idf
from _data import DATA_DIR as DATA
from _data import run_python
from tamrix.idd import IDD
from tamrix.ormic import IDF, IDFObject, IDFObjectsProxy

IDD_88 = DATA / "idd" / "V8-8-0-Energy+.idd"
IDD_80 = DATA / "idd" / "V8-0-0-Energy+.idd"
ONE_ZONE = DATA / "idf" / "V8-8-0" / "1ZoneUncontrolled.idf"
HOTEL = DATA / "idf" / "V8-8-0" / "RefBldgSmallHotelNew2004_Chicago.idf"  # has a 12-vertex floor

needs_data = pytest.mark.skipif(not IDD_88.is_file(), reason=f"data corpus not found at {DATA}")

# The dictionary and the key table are process-wide: every test in this
# process uses the 8.8 dictionary, and tests of a fresh state run in a child.


@pytest.fixture(scope="module")
def core_idd():
    if not IDD_88.is_file():
        pytest.skip(f"data corpus not found at {DATA}")
    IDF.setiddname(str(IDD_88))
    return IDD.from_file(IDD_88)


@pytest.fixture
def doc(core_idd):
    return IDF(ONE_ZONE)


def in_child(code: str) -> None:
    result = run_python(code)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip().endswith("ok"), result.stdout


# --- the process-wide dictionary -------------------------------------------


@needs_data
def test_dictionary_is_chosen_once_per_process_and_the_table_built_once():
    in_child(f"""
        from pathlib import Path
        from tamrix import ormic
        from tamrix.ormic import IDF

        assert IDF.getiddname() == "" and ormic._field_key_to_name() == {{}}
        try:
            IDF({str(ONE_ZONE)!r})
        except TypeError as e:
            assert "IDF.setiddname(path)" in str(e), e
        else:
            raise AssertionError("opened a document without a dictionary")

        # A failed load keeps the name it was given but not a dictionary.
        try:
            IDF.setiddname("/nonexistent/x.idd")
        except FileNotFoundError:
            pass
        else:
            raise AssertionError("loaded a missing dictionary")
        assert IDF.getiddname() == "/nonexistent/x.idd"
        try:
            IDF({str(ONE_ZONE)!r})
        except TypeError:
            pass
        else:
            raise AssertionError("opened a document after a failed setiddname")

        # A path-like is stored as its str; extra arguments are ignored.
        IDF.setiddname(Path({str(IDD_88)!r}), "ignored", extra=1)
        name = IDF.getiddname()
        assert type(name) is str and name == {str(IDD_88)!r}, name
        table = ormic._field_key_to_name()
        first = {{cls: dict(keys) for cls, keys in table.items()}}
        assert len(first) == 789
        assert first["BUILDINGSURFACE:DETAILED"]["vertex_1_xcoordinate"] == "Vertex 1 X-coordinate"
        assert first["ZONE"] == {{}}

        # A second dictionary replaces the dictionary but keeps the first table.
        IDF.setiddname(iddname={str(IDD_80)!r})
        assert IDF.getiddname() == {str(IDD_80)!r}
        assert ormic._field_key_to_name() is table and table == first
        assert [z.Name for z in IDF({str(DATA / "idf" / "V8-0-0" / "twobox.idf")!r}).idfobjects["Zone"]] == ["473222"]
        print("ok")
    """)


LIGHTS_IDD = (
    "!IDD_Version 1.0.0\n"
    "\\group Example\n"
    "Zone,\n  A1; \\field Name\n"
    "Lights,\n  \\extensible:1\n"
    "  A1, \\field Name\n  A2, \\field Zone Name\n"
    "  N1; \\field Group 1 Set-point\n      \\begin-extensible\n"
    "Stufe,\n  \\extensible:1\n  A1, \\field Name\n"
    "  N1; \\field W\u00e4rme 1 Soll-wert\n      \\begin-extensible\n"
)


def test_attribute_keys_resolve_as_the_table_says(tmp_path):
    idd_file = tmp_path / "lights.idd"
    idd_file.write_text(LIGHTS_IDD, encoding="utf-8")
    idf_file = tmp_path / "lights.idf"
    idf_file.write_text("Zone, Z1;\nLights, L1, Z1, 1, 2, 3;\nStufe, S1, 10, 20, 30;\n", encoding="utf-8")
    in_child(f"""
        from tamrix import ormic
        from tamrix.ormic import IDF

        IDF.setiddname({str(idd_file)!r})
        table = ormic._field_key_to_name()
        assert table["ZONE"] == {{}}
        assert table["LIGHTS"] == {{"group_1_setpoint": "Group 1 Set-point"}}, table
        doc = IDF({str(idf_file)!r})
        (lights,) = doc.idfobjects["LIGHTS"]
        assert lights.Name == "L1"
        assert lights.Zone_Name == lights.ZONE_NAME == lights.zone_name == "Z1"
        assert lights.Group_1_Setpoint == 1
        # Later groups go through the first group's entry.
        assert lights.Group_3_Setpoint == 3
        lights.Group_12_Setpoint = 12
        assert lights.core_obj["Group 12 Set-point"] == 12
        # Not in the table: the key itself, blanks for "_", reaches the model.
        try:
            lights.group_3_set_point
        except KeyError as e:
            assert "'group 3 set point'" in str(e), e
        else:
            raise AssertionError("resolved an unknown spelling")
        # Group numbers after non-ASCII letters are cut at the right character.
        (stufe,) = doc.idfobjects["Stufe"]
        assert stufe.W\u00e4rme_1_Sollwert == 10 and stufe.W\u00c4RME_3_SOLLWERT == 30
        print("ok")
    """)


# --- a script end to end ---------------------------------------------------


def test_script_reads_edits_saves_and_reloads(doc, core_idd, tmp_path):
    surfaces = doc.idfobjects["BuildingSurface:Detailed"]
    core_surfaces = doc.core_idf["BuildingSurface:Detailed"]
    assert len(surfaces) == len(core_surfaces) == 6
    assert all(type(s) is IDFObject and s.core_obj is c for s, c in zip(surfaces, core_surfaces))
    wall = surfaces[0]
    assert wall.Zone_Name == wall.core_obj["Zone Name"] == "ZONE ONE"
    assert wall.Vertex_1_Xcoordinate == wall.core_obj["Vertex 1 X-coordinate"]
    assert repr(wall) == repr(wall.core_obj)

    made = doc.newidfobject("Material", Name="M1", Roughness="Rough", Thickness=0.1, Conductivity=1.0,
                            Density=2000, Specific_Heat=900)
    assert (made.Name, made.Roughness, made.Thickness, made.Specific_Heat) == ("M1", "Rough", 0.1, 900)
    found = doc.getobject("MATERIAL", "m1")
    assert found is not made and found.core_obj is made.core_obj

    out = tmp_path / "out.idf"
    doc.saveas(out)
    reloaded = tamrix.idf.IDF.from_file(core_idd, out)
    assert reloaded.get_object_by_name("Material", "M1")["Density"] == 2000
    assert len(reloaded["BuildingSurface:Detailed"]) == 6

    doc.removeidfobject(found)
    assert doc.getobject("Material", "M1") is None
    doc.saveas(str(out))
    assert tamrix.idf.IDF.from_file(core_idd, out).get_object_by_name("Material", "M1") is None


def test_vertex_names_of_a_large_surface(core_idd):
    if not HOTEL.is_file():
        pytest.skip(f"{HOTEL.name} not in the corpus")
    floor = IDF(HOTEL).getobject("BuildingSurface:Detailed", "S_CorridorFlr1_0_0_0")
    assert floor.Number_of_Vertices == 12
    assert (floor.Vertex_12_Xcoordinate, floor.vertex_12_ycoordinate, floor.VERTEX_12_ZCOORDINATE) == (
        54.9133, 10.1078, 0.0)
    # The dictionary declares 120 vertices; the 121st resolves through the
    # entry of the first.
    floor.Vertex_121_Xcoordinate = 7.5
    assert floor.core_obj["Vertex 121 X-coordinate"] == 7.5


def test_every_field_of_every_class_is_reachable_under_its_listed_name(doc, core_idd):
    own = set(dir(IDFObject))
    for class_name in core_idd.class_names():
        obj = doc.newidfobject(class_name)
        listed = [name for name in obj.__dir__() if name not in own]
        assert len(listed) == len(set(listed)), class_name
        for name in listed:
            getattr(obj, name)  # raises if the name does not lead back to a field
    wall = doc.idfobjects["BuildingSurface:Detailed"][0]
    listed = [name for name in wall.__dir__() if name not in own]
    assert listed[:4] == ["Name", "Surface_Type", "Construction_Name", "Zone_Name"]
    assert "Vertex_1_Xcoordinate" in dir(wall) and "core_obj" in dir(wall)
    assert set(dir(IDFObject())) == own


# --- objects ---------------------------------------------------------------


def test_attribute_writes_are_field_writes(doc):
    zone = doc.idfobjects["Zone"][0]
    assert zone.Name == zone.NAME == zone.name == zone.core_obj["Name"] == "ZONE ONE"
    zone.X_Origin = 3
    assert zone.core_obj["X Origin"] == 3
    zone.name = "Renamed"
    assert doc.getobject("Zone", "RENAMED").core_obj is zone.core_obj
    # Even the wrapper's own attribute names are fields when assigned.
    with pytest.raises(KeyError, match="core obj"):
        zone.core_obj = None
    with pytest.raises(AttributeError):
        del zone.Name
    assert zone.Name == "Renamed"


def test_unknown_names_raise_the_models_errors(doc):
    zone = doc.idfobjects["Zone"][0]
    with pytest.raises(KeyError, match="no such field"):
        hasattr(zone, "No_Such_Field")
    with pytest.raises(KeyError, match="no such field"):
        zone.No_Such_Field = 1
    assert not hasattr(zone, "__no_such_dunder__")
    with pytest.raises(KeyError, match="NO:SUCH:CLASS"):
        doc.newidfobject("No:Such:Class", Name="x")
    with pytest.raises(ValueError, match="Unknown class"):
        doc.newidfobject("No:Such:Class")
    assert doc.idfobjects["No:Such:Class"] == []


def test_unbound_objects_and_documents_refuse_cleanly(core_idd):
    loose = IDFObject()
    assert loose.core_obj is None and repr(loose) == "<tamrix.ormic.IDFObject (unbound)>"
    with pytest.raises(TypeError, match="wraps no document object"):
        loose.Name
    with pytest.raises(TypeError, match="wraps no document object"):
        loose.Name = "x"
    empty = IDF.__new__(IDF)
    assert empty.core_idf is None and empty.idfobjects is None
    assert repr(empty) == "<tamrix.ormic.IDF (not loaded)>"
    with pytest.raises(TypeError, match="not loaded"):
        empty.idfstr()
    with pytest.raises(TypeError, match="not bound"):
        IDFObjectsProxy()["Zone"]


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda d: d.getobject("Zone"), "getobject() takes exactly 2 positional arguments (1 given)"),
        (lambda d: d.getobject("Zone", 1), "Argument 'name' has incorrect type (expected str, got int)"),
        (lambda d: d.idfstr(1), "idfstr() takes exactly 0 positional arguments (1 given)"),
        (lambda d: d.printidf(x=1), "printidf() got an unexpected keyword argument 'x'"),
        (lambda d: IDF.getiddname(1), "getiddname() takes exactly 0 positional arguments (1 given)"),
        (lambda d: IDF.setiddname(), "setiddname() takes at least 1 positional argument (0 given)"),
        (lambda d: d.save(), "save() takes at least 1 positional argument (0 given)"),
        (lambda d: d.newidfobject(), "newidfobject() takes at least 1 positional argument (0 given)"),
        (lambda d: d.newidfobject("Zone", True, 1), "newidfobject() takes at most 2 positional arguments (3 given)"),
        (lambda d: d.newidfobject("Zone", class_name="Zone"),
         "newidfobject() got multiple values for keyword argument 'class_name'"),
        (lambda d: d.newidfobject(1), "Argument 'class_name' has incorrect type (expected str, got int)"),
        (lambda d: d.idfobjects[0], "Argument 'class_name' has incorrect type (expected str, got int)"),
        (lambda d: d.removeidfobject(None),
         "Argument 'idfobject' has incorrect type (expected tamrix.ormic.IDFObject, got NoneType)"),
        (lambda d: d.removeidfobject(d.core_idf["Zone"][0]),
         "Argument 'idfobject' has incorrect type (expected tamrix.ormic.IDFObject, got tamrix.idf.IDFObject)"),
        (lambda d: IDFObject(1), "__init__() takes exactly 0 positional arguments (1 given)"),
    ],
)
def test_argument_errors(doc, call, message):
    with pytest.raises(TypeError, match=f"^{re.escape(message)}$"):
        call(doc)


# --- documents -------------------------------------------------------------


def test_idfobjects_hands_out_new_lists_of_new_wrappers(doc):
    proxy = doc.idfobjects
    assert proxy is doc.idfobjects is doc.idfobjsproxy and proxy.parent is doc
    first, second = proxy["Zone"], proxy["ZONE"]
    assert type(first) is list and first is not second
    assert first[0] is not second[0] and first[0].core_obj is second[0].core_obj
    first.clear()
    assert len(proxy["zone"]) == 1
    doc.removeallidfobjects("BuildingSurface:Detailed")
    assert proxy["BuildingSurface:Detailed"] == [] and len(doc.core_idf["BuildingSurface:Detailed"]) == 0


def test_newidfobject_keywords(doc, capsys):
    assert doc.newidfobject("Zone", Name="A", NAME="B").Name == "B"  # the later spelling wins
    full = doc.newidfobject(Name="Full", class_name="Zone")
    bare = doc.newidfobject("Zone", defaultvalues=0, Name="Bare")
    assert full.Multiplier == 1 and full.core_obj.get_values()[0] == "Full"
    assert bare.core_obj.get_values() == ["Bare"]
    assert capsys.readouterr() == ("", "")


@pytest.mark.parametrize("fields, error", [
    ({"Name": "A", "Bogus": 1}, KeyError),
    ({"Name": "B", "Volume": "1;2"}, ValueError),
    ({"Name": "C", "Multiplier": "\x00"}, ValueError),
])
def test_a_failed_newidfobject_adds_nothing(doc, fields, error):
    before = doc.idfstr()
    with pytest.raises(error):
        doc.newidfobject("Zone", **fields)
    assert doc.idfstr() == before


def test_output_forwards_to_the_document(doc, tmp_path, capsys):
    assert doc.idfstr() == str(doc.core_idf) and repr(doc) == repr(doc.core_idf)
    assert doc.printidf() is None
    assert capsys.readouterr().out == doc.idfstr() + "\n"

    assert doc.save(tmp_path / "facade.idf", "ignored", extra=True) is None
    doc.core_idf.save(tmp_path / "model.idf")
    facade = (tmp_path / "facade.idf").read_text()
    model = (tmp_path / "model.idf").read_text()

    def comment_columns(text):  # of short values: indent 4, value padded, one blank
        return {line.index("!-") for line in text.splitlines() if re.match(r"    \S{1,20} +!-", line)}

    assert comment_columns(facade) == {4 + 25 + 1} and comment_columns(model) == {4 + 24 + 1}

    def words(text):
        return [line.replace("!-", " !-").split() for line in text.splitlines() if not line.startswith("! Saved at")]

    assert words(facade) == words(model)


def test_saveas_goes_through_an_overridden_save(core_idd, tmp_path):
    calls = []

    class Recording(IDF):
        def save(self, idfname, *args, **kwargs):
            calls.append((idfname, args, kwargs))

    target = tmp_path / "x.idf"
    Recording(ONE_ZONE).saveas(target, "extra", lineendings="windows")
    assert calls == [(target, (), {})] and not target.exists()


def test_document_and_proxy_cycle_is_collected(core_idd):
    doc = IDF(ONE_ZONE)
    proxy = doc.idfobjects
    assert gc.is_tracked(doc) and proxy in gc.get_referents(doc) and doc in gc.get_referents(proxy)
    wrappers = proxy["Zone"]
    doc_ref, model_ref = weakref.ref(doc), weakref.ref(doc.core_idf)
    del doc, proxy
    gc.collect()
    assert doc_ref() is None
    # The wrappers keep the objects, and through them the model, not the facade.
    assert model_ref() is not None and wrappers[0].Name == "ZONE ONE"
    del wrappers
    gc.collect()
    assert model_ref() is None


# --- pickling ---------------------------------------------------------------


@pytest.mark.parametrize("protocol", [2, 5])
def test_documents_objects_and_proxies_pickle(doc, protocol):
    import copy
    import pickle

    restored = pickle.loads(pickle.dumps(doc, protocol=protocol))
    assert restored.idfobjects.parent is restored
    assert restored.idfstr() == doc.idfstr()
    zone = restored.idfobjects["Zone"][0]
    zone.Name = "Renamed"
    assert restored.getobject("Zone", "renamed").Name == "Renamed"
    assert doc.getobject("Zone", "renamed") is None

    wrapper = doc.idfobjects["BuildingSurface:Detailed"][0]
    copied = pickle.loads(pickle.dumps(wrapper, protocol=protocol))
    assert (copied.Name, copied.Zone_Name) == (wrapper.Name, wrapper.Zone_Name)
    assert pickle.loads(pickle.dumps(doc.idfobjects, protocol=protocol)).parent.idfstr() == doc.idfstr()
    assert copy.deepcopy(doc).idfstr() == doc.idfstr()


def test_facade_pickle_formats(doc):
    import pickle

    from tamrix import ormic

    restore, (cls, checksum, state), fields = doc.__reduce__()
    assert (restore, cls, checksum, state) == (ormic._restore_IDF, IDF, 0x8C30425, None)
    assert fields == (doc.core_idf, doc.idfobjsproxy)
    assert doc.idfobjects.__reduce__()[1][1] == 0xE471259
    assert doc.idfobjects["Zone"][0].__reduce__()[1][1] == 0x805EB6E
    unbound = IDFObject.__new__(IDFObject)
    assert unbound.__reduce__() == (ormic._restore_IDFObject, (IDFObject, 0x805EB6E, (None,)))
    # The other accepted checksums restore too; anything else is refused.
    assert isinstance(ormic._restore_IDFObjectsProxy(IDFObjectsProxy, 0xD8FD39D, (doc,)), IDFObjectsProxy)
    with pytest.raises(pickle.PickleError, match=re.escape("0x1 vs (0x805eb6e, 0x8e97549, 0x8fc4c89) = (core_obj)")):
        ormic._restore_IDFObject(IDFObject, 1, None)
    with pytest.raises(TypeError, match="Cannot convert int to tamrix.idf.IDF"):
        IDF.__new__(IDF).__setstate__((1, None))
    with pytest.raises(TypeError, match="declared 'not None'"):
        IDF.__new__(IDF).__setstate__(None)
