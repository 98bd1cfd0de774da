"""tamrix.compat: scripts in the attribute-style vocabulary, run on the
corpus models the way a tutorial would (load, loop, filter, edit, add,
copy, remove, rename, save), with saved files checked by reading them back."""

from __future__ import annotations

import copy
import io
import os

import pytest

from _data import DATA_DIR

compat = pytest.importorskip("tamrix.compat")
from tamrix.compat import (  # noqa: E402
    IDF,
    BadEPFieldError,
    EpBunch,
    IDDAlreadySetError,
    IDDNotSetError,
    Idf_MSequence,
    MissingIDDException,
    RangeError,
    almostequal,
    copyidf,
    easyopen,
    makefieldname,
    zonearea,
    zoneheight,
    zonevolume,
)

IDD_88 = DATA_DIR / "idd" / "V8-8-0-Energy+.idd"
IDD_80 = DATA_DIR / "idd" / "V8-0-0-Energy+.idd"
AIRCOOLED = DATA_DIR / "idf" / "V8-8-0" / "5ZoneAirCooled.idf"
UNCONTROLLED = DATA_DIR / "idf" / "V8-8-0" / "1ZoneUncontrolled.idf"

pytestmark = pytest.mark.skipif(not IDD_88.is_file(), reason=f"data corpus not found at {DATA_DIR}")


@pytest.fixture
def no_idd():
    compat._reset_idd()
    yield
    compat._reset_idd()


@pytest.fixture
def idd(no_idd):
    IDF.setiddname(str(IDD_88))
    return str(IDD_88)


@pytest.fixture
def idf(idd):
    return IDF(str(AIRCOOLED))


def reload(path) -> IDF:
    return IDF(str(path))


# --- the dictionary ---------------------------------------------------------


class TestDictionary:
    def test_model_before_any_dictionary(self, no_idd):
        assert IDF.getiddname() is None
        with pytest.raises(IDDNotSetError):
            IDF()

    def test_set_once_per_process(self, idd):
        IDF.setiddname(idd)  # the same again: nothing happens
        with pytest.raises(IDDAlreadySetError, match="IDD file is set to: .*V8-8-0"):
            IDF.setiddname(str(IDD_80))
        IDF.setiddname(str(IDD_80), testing=True)
        assert IDF.getiddname() == idd
        model = IDF()
        assert model.iddname == idd
        assert model.idd_version == (8, 8, 0)

    def test_easyopen_finds_the_dictionary(self, no_idd, monkeypatch):
        monkeypatch.setenv("TAMRIX_IDD_PATH", str(DATA_DIR / "idd"))
        model = easyopen(str(UNCONTROLLED))
        assert model.idd_version == (8, 8, 0)
        assert IDF.getiddname().endswith("V8-8-0-Energy+.idd")
        assert model.getobject("ZONE", "Zone One") is not None

    def test_easyopen_names_a_missing_version(self, no_idd, monkeypatch, tmp_path):
        monkeypatch.setenv("TAMRIX_IDD_PATH", str(tmp_path))
        model = tmp_path / "old.idf"
        model.write_text("Version,7.2;\n")
        with pytest.raises(MissingIDDException, match="7.2"):
            easyopen(str(model))

    def test_easyopen_with_a_dictionary(self, no_idd):
        model = easyopen(str(UNCONTROLLED), idd=str(IDD_88), epw="weather.epw")
        assert model.epw == "weather.epw"
        assert IDF.getiddname() == str(IDD_88)


# --- opening ----------------------------------------------------------------


class TestOpening:
    def test_sources(self, idd, tmp_path):
        by_path = IDF(AIRCOOLED)  # path-like
        assert by_path.idfname == AIRCOOLED
        assert by_path.idfabsname == os.path.abspath(AIRCOOLED)
        with open(AIRCOOLED, "rb") as f:
            by_binary = IDF(f)
            assert not f.closed
        with open(AIRCOOLED, encoding="latin-1") as f:
            by_text = IDF(f)
        text = AIRCOOLED.read_bytes().decode("cp1252")
        handle = io.StringIO(text)
        by_stringio = IDF(handle)
        assert by_stringio.idfname is handle and not handle.closed
        by_bytesio = IDF(io.BytesIO(AIRCOOLED.read_bytes()))
        counts = {len(m.idfobjects["BUILDINGSURFACE:DETAILED"]) for m in (by_path, by_binary, by_text, by_stringio, by_bytesio)}
        assert counts == {len(by_path.idfobjects["BuildingSurface:Detailed"])} and counts != {0}

    def test_missing_file(self, idd, tmp_path):
        with pytest.raises(FileNotFoundError):
            IDF(str(tmp_path / "nowhere.idf"))

    def test_empty_model(self, idd):
        model = IDF()
        assert model.idfname is None
        assert len(model.idfobjects) == 789
        assert all(len(model.idfobjects[k]) == 0 for k in ("ZONE", "MATERIAL"))
        with pytest.raises(ValueError):
            model.save()


# --- idfobjects and live lists ------------------------------------------------


class TestLiveLists:
    def test_new_object_shows_in_a_list_fetched_earlier(self, idf):
        mats = idf.idfobjects["MATERIAL"]
        before = [m.Name for m in mats]
        new = idf.newidfobject("MATERIAL")
        mats[-1].Name = "Peanut Butter"
        assert new.Name == "Peanut Butter"
        assert [m.Name for m in mats] == before + ["Peanut Butter"]
        assert idf.idfobjects["material"] is mats
        assert isinstance(mats, Idf_MSequence)

    def test_mapping(self, idf):
        objs = idf.idfobjects
        assert len(objs) == 789
        assert list(objs)[:2] == ["VERSION", "SIMULATIONCONTROL"]
        assert "zone" in objs and "Zone" in objs and "NOT A CLASS" not in objs
        with pytest.raises(KeyError):
            objs["MATERIALS"]  # a typo is an error, not an empty list
        assert objs.get("MATERIALS") is None
        zones = objs["ZONE"]
        assert len(zones) == 6
        removed = objs.pop("zone")
        assert len(removed) == 6 and len(zones) == 0
        assert idf.getobject("ZONE", "SPACE1-1") is None
        del objs["Material"]
        assert len(idf.idfobjects["MATERIAL"]) == 0

    def test_list_edits_reach_the_model(self, idf, tmp_path):
        zones = idf.idfobjects["ZONE"]
        names = [z.Name for z in zones]
        popped = zones.pop(0)
        assert popped.theidf is None and len(zones) == 5
        zones.insert(2, popped)  # a popped object re-attaches as itself
        assert zones[2] is popped and popped.theidf is idf
        expected = names[1:3] + names[:1] + names[3:]
        assert [z.Name for z in zones] == expected
        assert [o[0] for o in idf._doc.get_objects("Zone")] == expected
        path = tmp_path / "moved.idf"
        idf.saveas(str(path))
        assert [z.Name for z in reload(path).idfobjects["ZONE"]] == expected

        del zones[-1]
        zones.remove(zones[0])
        assert [z.Name for z in zones] == expected[1:-1]
        with pytest.raises(ValueError):
            zones.append(zones[0])  # already here
        with pytest.raises(ValueError):
            zones.append(idf.idfobjects["MATERIAL"][0])  # another class
        assert zones.index(popped) == 1 and zones.count(popped) == 1 and popped in zones
        assert isinstance(zones[0:2], list) and zones[0:2] == [zones[0], zones[1]]
        assert str(zones) == "[" + ", ".join(repr(z) for z in zones) + "]"
        zones.clear()
        assert len(idf.idfobjects["zone"]) == 0

    def test_item_assignment_replaces(self, idf):
        mats = idf.idfobjects["MATERIAL"]
        other = IDF(str(AIRCOOLED))
        old = mats[1]
        foreign = other.idfobjects["MATERIAL"][3]
        mats[1] = foreign  # another model's object is copied in
        assert mats[1] is not foreign and mats[1].Name == foreign.Name
        assert old.theidf is None and old not in mats
        assert foreign.theidf is other
        mats += [old]
        assert mats[-1] is old and old.theidf is idf

    def test_iteration_while_removing(self, idf):
        surfaces = idf.idfobjects["BUILDINGSURFACE:DETAILED"]
        for s in surfaces:
            if s.Surface_Type.upper() == "WALL":
                idf.removeidfobject(s)
        assert surfaces and all(s.Surface_Type.upper() != "WALL" for s in surfaces)


# --- adding, copying, removing -----------------------------------------------


class TestEditing:
    def test_newidfobject(self, idf):
        zone = idf.newidfobject("zone", Name="Attic", X_Origin=3)
        assert zone.key == "ZONE" and zone.Name == "Attic" and zone.X_Origin == 3.0
        assert zone.Ceiling_Height == "autocalculate"  # the dictionary's spelling
        assert idf.idfobjects["ZONE"][-1] is zone
        bare = idf.newidfobject("MATERIAL", defaultvalues=False, Name="bare")
        assert bare.Thermal_Absorptance == "" and bare.obj == ["MATERIAL", "bare"]
        with pytest.raises(ValueError, match="NOT:A:CLASS"):
            idf.newidfobject("NOT:A:CLASS")

    def test_newidfobject_is_all_or_nothing(self, idf):
        count = len(idf.idfobjects["ZONE"])
        with pytest.raises(BadEPFieldError, match="Nmae"):
            idf.newidfobject("ZONE", Name="x", Nmae="typo")
        with pytest.raises(ValueError):
            idf.newidfobject("ZONE", Name="x", X_Origin="a\x01b")
        assert len(idf.idfobjects["ZONE"]) == count and idf.getobject("ZONE", "x") is None

    def test_copy_pop_remove(self, idf):
        other = IDF(str(AIRCOOLED))
        source = other.getobject("CONSTRUCTION", "WALL-1")
        copied = idf.copyidfobject(source)
        assert copied is not source and copied.obj == source.obj and copied.theidf is idf
        copied.Name = "WALL-1 copy"
        assert source.Name == "WALL-1"
        zones = idf.idfobjects["ZONE"]
        second = zones[1]
        assert idf.popidfobject("ZONE", 1) is second and second not in zones
        with pytest.raises(ValueError):
            idf.removeidfobject(second)
        idf.removeidfobject(zones[0])
        assert len(zones) == 4
        idf.removeallidfobjects("zone")
        assert len(zones) == 0
        with pytest.raises(KeyError):
            idf.removeallidfobjects("ZONES")

    def test_getobject(self, idf):
        assert idf.getobject("zone", "space1-1").Name == "SPACE1-1"
        assert idf.getobject("ZONE", "nothing") is None
        assert idf.getobject("VERSION", "8.8").key == "Version"  # first field, even when not a name
        with pytest.raises(KeyError):
            idf.getobject("ZONES", "SPACE1-1")

    def test_copies_are_independent(self, idf):
        twin = copy.deepcopy(idf)
        again = copyidf(idf)
        twin.getobject("ZONE", "SPACE1-1").Name = "changed"
        idf.newidfobject("ZONE", Name="only here")
        assert idf.getobject("ZONE", "SPACE1-1") is not None
        assert again.getobject("ZONE", "only here") is None and twin.getobject("ZONE", "changed") is not None

    def test_run_is_not_available(self, idf):
        with pytest.raises(NotImplementedError):
            idf.run()


# --- objects -----------------------------------------------------------------


class TestObjects:
    def test_attribute_names(self):
        cases = {
            "Vertex 1 X-coordinate": "Vertex_1_Xcoordinate",
            "Schedule:Day Name 1": "ScheduleDay_Name_1",
            "Output Value #1": "Output_Value_1",
            "ASHRAE Clear Sky Optical Depth for Beam Irradiance (taub)": "ASHRAE_Clear_Sky_Optical_Depth_for_Beam_Irradiance_taub",
            "100% Outdoor Air in Cooling": "100_Outdoor_Air_in_Cooling",
            "PM2.5 Emission Factor": "PM25_Emission_Factor",
            "Combined Convective/Radiative Film Coefficient": "Combined_ConvectiveRadiative_Film_Coefficient",
            "Normalized Belt Efficiency Curve Name - Region 1": "Normalized_Belt_Efficiency_Curve_Name__Region_1",
            "  Two   spaces\tand tab ": "Two_spaces_and_tab",
        }
        for name, attr in cases.items():
            assert makefieldname(name) == attr

    def test_reading_typed_values(self, idf):
        version = idf.idfobjects["VERSION"][0]
        assert version.Version_Identifier == "8.8" and version.key == "Version"
        building = idf.idfobjects["BUILDING"][0]
        assert building.North_Axis == 30.0 and isinstance(building.North_Axis, float)
        assert building.Maximum_Number_of_Warmup_Days == 25 and isinstance(building.Maximum_Number_of_Warmup_Days, int)
        wall = idf.getobject("BUILDINGSURFACE:DETAILED", "WALL-1PF")
        assert wall.Outside_Boundary_Condition_Object == ""  # blank: "", never None
        assert wall.Vertex_4_Zcoordinate == 3.0
        assert wall.Vertex_500_Xcoordinate == ""  # a later group, not stored
        assert wall["Name"] == "WALL-1PF" and wall["key"] == "BuildingSurface:Detailed"
        assert not hasattr(wall, "Nmae") and getattr(wall, "Nmae", "d") == "d"
        with pytest.raises(BadEPFieldError, match="unable to find field Nmae"):
            wall.Nmae
        with pytest.raises(BadEPFieldError):
            wall.name  # names are case-sensitive
        sizing = idf.idfobjects["SIZING:SYSTEM"][0]
        autosized = [v for v in sizing.obj if isinstance(v, str) and v.lower() == "autosize"]
        assert autosized and all(v in sizing._core._raw_values() for v in autosized)  # as spelled in the file

    def test_odd_field_names_reach_their_fields(self, idf):
        oa = idf.newidfobject("SIZING:SYSTEM")
        setattr(oa, "100_Outdoor_Air_in_Cooling", "Yes")
        assert oa["100_Outdoor_Air_in_Cooling"] == "Yes"
        assert getattr(oa, "100_Outdoor_Air_in_Cooling") == "Yes"

    def test_writing(self, idf, tmp_path):
        wall = idf.getobject("BUILDINGSURFACE:DETAILED", "WALL-1PF")
        wall.View_Factor_to_Ground = 0.25
        wall["Construction_Name"] = "WALL-2"
        wall.Vertex_6_Zcoordinate = 9  # grows the object
        assert len(wall.obj) == 1 + 10 + 18
        assert wall.Vertex_5_Xcoordinate == ""
        with pytest.raises(BadEPFieldError):
            wall.Nmae = "x"
        with pytest.raises(BadEPFieldError):
            wall.colour = "red"
        wall.obj[1] = "WALL-1PF-B"  # write-through list
        assert wall.Name == "WALL-1PF-B"
        path = tmp_path / "edited.idf"
        idf.save(str(path))
        back = reload(path).getobject("BUILDINGSURFACE:DETAILED", "WALL-1PF-B")
        assert back.View_Factor_to_Ground == 0.25 and back.Construction_Name == "WALL-2" and back.Vertex_6_Zcoordinate == 9.0

    def test_long_extensible_names(self, idf):
        schedule = idf.newidfobject("SCHEDULE:COMPACT", Name="long")
        schedule.Field_6000 = "Until: 24:00"
        assert schedule.Field_6000 == "Until: 24:00" and schedule.Field_5999 == ""
        assert len(schedule.obj) == 1 + 2 + 6000

    def test_identity_fieldnames_and_text(self, idf):
        zone = idf.getobject("ZONE", "SPACE1-1")
        assert idf.idfobjects["ZONE"][1] is zone and idf.getobject("zone", "SPACE1-1") is zone
        other = idf.copyidfobject(zone)
        assert other != zone and len({zone, other}) == 2
        assert zone.fieldnames[:3] == ["key", "Name", "Direction_of_Relative_North"] and zone.objls == zone.fieldnames
        assert zone.fieldvalues[:2] == ["Zone", "SPACE1-1"] and zone.theidf is idf
        text = str(zone)
        assert text.startswith("\nZone,\n    SPACE1-1,") and text.endswith("\n")
        assert "!- Direction of Relative North {deg}" in text
        assert text.rstrip().splitlines()[-1].split("!-")[0].strip().endswith(";")
        assert zone.getunits("X_Origin") == "m" and zone.getfieldidd("X_Origin")["type"] == "real"
        assert zone.isequal("X_Origin", "0.0000000001") and zone.isequal("Name", "space1-1")

    def test_class_spelling_from_the_file(self, idd):
        model = IDF(io.StringIO("VERSION, 8.8;\nzone, Attic;\nZone, Cellar;\n"))
        assert [z.key for z in model.idfobjects["ZONE"]] == ["zone", "Zone"]
        assert model.idfobjects["VERSION"][0].key == "VERSION"


class TestRanges:
    def test_getrange_and_checkrange(self, idf):
        people = idf.newidfobject("PEOPLE", Name="p")
        assert list(people.getrange("Fraction_Radiant")) == ["maximum", "minimum", "maximum<", "minimum>", "type"]
        assert people.getrange("Fraction_Radiant") == {
            "maximum": 1.0, "minimum": 0.0, "maximum<": None, "minimum>": None, "type": "real"}
        building = idf.idfobjects["BUILDING"][0]
        warmup = building.getrange("Maximum_Number_of_Warmup_Days")
        assert warmup["type"] == "integer" and warmup["minimum>"] == 0 and isinstance(warmup["minimum>"], int)
        with pytest.raises(ValueError):
            people.getrange("Nmae")
        people.Fraction_Radiant = 0.3
        assert people.checkrange("Fraction_Radiant") == 0.3
        people.Fraction_Radiant = 1.5
        with pytest.raises(RangeError, match="Value 1.5 is not"):
            people.checkrange("Fraction_Radiant")
        building.Maximum_Number_of_Warmup_Days = 0
        with pytest.raises(RangeError, match="Value 0 is not"):
            building.checkrange("Maximum_Number_of_Warmup_Days")
        building.Maximum_Number_of_Warmup_Days = ""
        assert building.checkrange("Maximum_Number_of_Warmup_Days") == ""


# --- references and renaming ------------------------------------------------------


class TestReferences:
    def test_referring_objects(self, idf):
        zone = idf.getobject("ZONE", "SPACE1-1")
        surfaces = zone.zonesurfaces
        assert [s.Name for s in surfaces] == ["FRONT-1", "C1-1", "F1-1", "SB12", "SB14", "SB15"]
        assert [w.Name for w in surfaces[0].subsurfaces] == ["WF-1", "DF-1"]
        every = zone.getreferingobjs()
        keys = [o.key for o in every]
        order = list(idf.idfobjects)
        assert [order.index(k.upper()) for k in keys] == sorted(order.index(k.upper()) for k in keys)
        assert surfaces[0] in every and all(o.theidf is idf for o in every)
        assert idf.idfobjects["MATERIAL"][0].getreferingobjs(fields=["Nothing"]) == []
        assert idf.idfobjects["VERSION"][0].getreferingobjs() == []
        with pytest.raises(AttributeError):
            idf.idfobjects["MATERIAL"][0].zonesurfaces

    def test_referenced_object(self, idf):
        wall = idf.getobject("BUILDINGSURFACE:DETAILED", "FRONT-1")
        assert wall.get_referenced_object("Zone_Name") is idf.getobject("ZONE", "SPACE1-1")
        assert wall.get_referenced_object("Outside_Boundary_Condition_Object") is None  # blank
        assert wall.get_referenced_object("Surface_Type") is None  # no reference
        assert wall.get_referenced_object("Nmae") is None

    def test_referenced_object_first_in_class_order(self, idd):
        # A construction name defined twice: by a Construction written after
        # the window construction that claims it too; the dictionary's
        # class order decides, not the file's.
        model = IDF(io.StringIO(
            "Construction:WindowDataFile, C1;\nConstruction, C1;\n"
            "BuildingSurface:Detailed, S, Wall, c1, Z;\n"))
        surface = model.idfobjects["BUILDINGSURFACE:DETAILED"][0]
        assert surface.get_referenced_object("Construction_Name") is model.idfobjects["CONSTRUCTION"][0]

    def test_rename(self, idf, tmp_path):
        surfaces = [s.Name for s in idf.getobject("ZONE", "SPACE1-1").zonesurfaces]
        renamed = compat.rename(idf, "zone", "space1-1", "Office")
        assert renamed is idf.getobject("ZONE", "OFFICE")
        assert [s.Name for s in renamed.zonesurfaces] == surfaces
        assert idf.getobject("BUILDINGSURFACE:DETAILED", "FRONT-1").Zone_Name == "Office"
        assert idf.rename("ZONE", "Office", "Office 2") is renamed
        with pytest.raises(KeyError):
            idf.rename("ZONE", "no such zone", "x")
        with pytest.raises(ValueError, match="(?i)space2-1"):
            idf.rename("ZONE", "Office 2", "space2-1")  # taken
        assert renamed.Name == "Office 2"
        path = tmp_path / "renamed.idf"
        idf.saveas(str(path))
        back = reload(path)
        assert len(back.getobject("ZONE", "Office 2").zonesurfaces) == len(surfaces)


# --- geometry ---------------------------------------------------------------------


class TestGeometry:
    def test_wall(self, idf):
        wall = idf.getobject("BUILDINGSURFACE:DETAILED", "WALL-1PF")
        assert wall.coords == [(0.0, 0.0, 3.0), (0.0, 0.0, 2.4), (30.5, 0.0, 2.4), (30.5, 0.0, 3.0)]
        assert almostequal(wall.area, 18.3)
        assert wall.tilt == 90.0 and wall.azimuth == 180.0
        assert almostequal(wall.width, 30.5) and almostequal(wall.height, 0.6)
        with pytest.raises(AttributeError):
            idf.getobject("ZONE", "SPACE1-1").area

    def test_orientations(self, idf):
        facing = {}
        for s in idf.idfobjects["BUILDINGSURFACE:DETAILED"]:
            if s.Outside_Boundary_Condition.upper() != "OUTDOORS" and s.Surface_Type.upper() == "WALL":
                continue  # the interior walls of this model run diagonally
            facing.setdefault(s.Surface_Type.upper(), set()).add((s.tilt, s.azimuth if s.tilt == 90.0 else None))
        assert {a for _, a in facing["WALL"]} == {0.0, 90.0, 180.0, 270.0}
        assert {t for t, _ in facing["FLOOR"]} == {180.0}
        assert {t for t, _ in facing["ROOF"]} == {0.0}

    def test_true_azimuth(self, idd):
        model = IDF(io.StringIO(
            "Building, B, 30;\nGlobalGeometryRules, UpperLeftCorner, Counterclockwise, Relative;\n"
            "Zone, Z, 350;\n"
            "Wall:Detailed, W, , Z, Outdoors, , , , , 4, 0,0,3, 0,0,0, 10,0,0, 10,0,3;\n"))
        wall = model.idfobjects["WALL:DETAILED"][0]
        assert wall.azimuth == 180.0 and almostequal(wall.true_azimuth, 200.0)
        model.idfobjects["GLOBALGEOMETRYRULES"][0].Coordinate_System = "World"
        assert wall.true_azimuth == 180.0

    def test_degenerate_surfaces(self, idd):
        model = IDF()
        shade = model.newidfobject("SHADING:SITE:DETAILED", Name="s")
        assert shade.coords == [] and shade.area == 0
        for k, v in enumerate([0, 0, 0, 1, 1, 1, 2, 2, 2]):
            shade[f"Vertex_{k // 3 + 1}_{'XYZ'[k % 3]}coordinate"] = v
        assert shade.area == 0  # collinear

    def test_zones(self, idf):
        for zone, (area, height, volume) in {
            "SPACE1-1": (99.16, 2.4, 237.984),
            "plenum-1": (463.6, 0.6, 278.16),
        }.items():
            assert almostequal(zonearea(idf, zone), area)
            assert almostequal(zoneheight(idf, zone), height)
            assert almostequal(zonevolume(idf, zone), volume)
        with pytest.raises(KeyError):
            zonearea(idf, "NO ZONE")


# --- saving --------------------------------------------------------------------


class TestSaving:
    def test_targets_and_names(self, idf, tmp_path):
        first = tmp_path / "first.idf"
        idf.saveas(str(first))
        assert idf.idfname == str(first) and idf.idfabsname == str(first)
        idf.newidfobject("ZONE", Name="Attic")
        idf.save()  # back to idfname
        assert reload(first).getobject("ZONE", "Attic") is not None
        copy_path = tmp_path / "copy.idf"
        idf.savecopy(str(copy_path))
        assert idf.idfname == str(first)
        second = tmp_path / "second.idf"
        idf.idfname = str(second)  # assigning the name redirects save()
        idf.save()
        assert second.is_file() and idf.idfabsname == str(second)
        text = copy_path.read_text(encoding="cp1252")
        assert text.startswith("!-") and text.splitlines()[1:] == idf.idfstr().lstrip("\n").splitlines()

    def test_line_endings_and_handles(self, idf, tmp_path):
        unix, windows = tmp_path / "u.idf", tmp_path / "w.idf"
        idf.savecopy(str(unix), lineendings="unix")
        idf.savecopy(str(windows), lineendings="windows")
        assert b"\r\n" not in unix.read_bytes() and windows.read_bytes().count(b"\r\n") == unix.read_bytes().count(b"\n")
        with pytest.raises(ValueError, match="mac"):
            idf.savecopy(str(unix), lineendings="mac")
        with pytest.raises(TypeError):
            idf.save(str(unix), lineending="unix")
        text, data = io.StringIO(), io.BytesIO()
        idf.save(text, lineendings="unix")
        idf.save(data, lineendings="unix")
        assert data.getvalue() == text.getvalue().encode("cp1252")
        with open(tmp_path / "b.idf", "wb") as f:
            idf.save(f, lineendings="unix")
        assert (tmp_path / "b.idf").read_bytes() == data.getvalue()

    def test_encodings(self, idd, tmp_path):
        latin = IDF(str(AIRCOOLED))  # not valid UTF-8: read as cp1252
        latin.newidfobject("ZONE", Name="Caf\u00e9")
        path = tmp_path / "latin.idf"
        latin.saveas(str(path))
        assert "Caf\u00e9".encode("cp1252") in path.read_bytes()
        latin.savecopy(str(path), encoding="utf-8")
        assert "Caf\u00e9".encode("utf-8") in path.read_bytes()
        fresh = IDF()
        fresh.newidfobject("ZONE", Name="\u00fcber")
        fresh.saveas(str(tmp_path / "new.idf"))
        assert "\u00fcber".encode("utf-8") in (tmp_path / "new.idf").read_bytes()

    def test_roundtrip_every_corpus_model(self, idd, tmp_path):
        for path in sorted((DATA_DIR / "idf" / "V8-8-0").glob("*.idf")):
            model = IDF(str(path))
            out = tmp_path / path.name
            model.savecopy(str(out))
            back = reload(out)
            for key in ("ZONE", "BUILDINGSURFACE:DETAILED", "SCHEDULE:COMPACT"):
                assert [o.obj[1:] for o in back.idfobjects[key]] == [o.obj[1:] for o in model.idfobjects[key]], path.name

    def test_group_dict(self, idf):
        groups = idf.getiddgroupdict()
        assert "Zone" in groups["Thermal Zones and Surfaces"]
        assert sum(len(v) for v in groups.values()) == 789
