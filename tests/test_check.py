"""The model checker as a library: check_model() on real corpus models with
one real line edited, one case per kind of problem, numbers as the engine
reads them, names of generated extensible fields, source lines, and the
per-dictionary rules shared by threads."""

from __future__ import annotations

import dataclasses
import gc
import weakref
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import pytest

from _data import DATA_DIR, corpus_idd
from tamrix.check import KINDS, Problem, check_model, read_decimal
from tamrix.idd import IDD
from tamrix.idf import IDF, IDFObject

V88 = DATA_DIR / "idf" / "V8-8-0"
needs_corpus = pytest.mark.skipif(not DATA_DIR.is_dir(), reason=f"data corpus not found at {DATA_DIR}")

ONE_ZONE = "1ZoneUncontrolled.idf"  # checks clean as shipped
CONCRETE = "C5 - 4 IN HW CONCRETE"


def edited(tmp_path: Path, name: str, *edits: tuple[str, str]) -> IDF:
    """A corpus model read after replacing, for each edit, the first
    occurrence of a real line's text (every edit must find its text)."""
    data = (V88 / name).read_bytes()
    for old, new in edits:
        assert data.count(old.encode()) >= 1, old
        data = data.replace(old.encode(), new.encode(), 1)
    path = tmp_path / name
    path.write_bytes(data)
    return IDF.from_file(corpus_idd("V8-8-0"), path)


def P(kind, class_name, object_name, field_name, field_index, value, message) -> Problem:
    return Problem(kind, class_name, object_name, field_name, field_index, value, None, message)


def lineless(problems: list[Problem]) -> list[Problem]:
    return [dataclasses.replace(p, line=None) for p in problems]


# Each case: edits of real lines of 1ZoneUncontrolled.idf, then every problem
# check_model finds (line aside) and the source line of each.
CASES = {
    "reference": (
        [("    ZONE ONE,                !- Zone Name", "    ZONE TWO,                !- Zone Name")],
        [P("reference", "BuildingSurface:Detailed", "Zn001:Wall001", "Zone Name", 3, "ZONE TWO",
           '"ZONE TWO" names no object in ZoneNames')],
        [269],
    ),
    "choice": (
        [("    MediumRough,", "    MediumRugged,")],
        [P("choice", "Material", CONCRETE, "Roughness", 1, "MediumRugged",
           '"MediumRugged" is not one of: VeryRough, Rough, MediumRough, MediumSmooth, Smooth, VerySmooth')],
        [222],
    ),
    "number": (
        [("    0.1014984,", "    0x10,")],  # the core reads 16.0; the engine reads no number
        [P("number", "Material", CONCRETE, "Thickness", 2, "0x10", '"0x10" is not a number')],
        [223],
    ),
    "range": (
        [("  Timestep,4;", "  Timestep,61;"), ("    1.729577,", "    -1.5E0,")],
        [P("range", "Timestep", None, "Number of Timesteps per Hour", 0, "61",
           "61 is out of range: must be at most 60"),
         P("range", "Material", CONCRETE, "Conductivity", 3, "-1.5E0",
           "-1.5E0 is out of range: must be greater than 0")],  # quoted as written, not as -1.5
        [93, 224],
    ),
    "required": (
        # A blank outside layer, and one left out altogether (no value, and
        # the line where the object ends).
        [("    R13LAYER;                !- Outside Layer", "    ;                !- Outside Layer"),
         ("    ROOF31,                  !- Name\n    R31LAYER;", "    ROOF31;")],
        [P("required", "Construction", "R13WALL", "Outside Layer", 1, "", "required field is blank"),
         P("required", "Construction", "ROOF31", "Outside Layer", 1, None, "required field is blank")],
        [233, 240],
    ),
    "too-many-fields": (
        [("  Timestep,4;", "  Timestep,4,6;")],
        [P("too-many-fields", "Timestep", None, None, None, None, "has 2 fields; the class defines 1")],
        [93],
    ),
    "unique-object": (
        [("  Timestep,4;", "  Timestep,4;\n  Timestep,6;")],
        [P("unique-object", "Timestep", None, None, None, None, "object 2 of 2; the class allows only one")],
        [94],
    ),
    "duplicate-name": (
        # R31LAYER renamed R13LAYER: defined twice, and ROOF31's layer is gone.
        [("    R31LAYER,                !- Name", "    R13LAYER,                !- Name")],
        [P("duplicate-name", "Material:NoMass", "R13LAYER", "Name", 0, "R13LAYER",
           '"R13LAYER" is already defined in MaterialName by Material:NoMass "R13LAYER"'),
         P("reference", "Construction", "ROOF31", "Outside Layer", 1, "R31LAYER",
           '"R31LAYER" names no object in MaterialName')],
        [213, 241],
    ),
}


@needs_corpus
@pytest.mark.parametrize("kind", list(CASES))
def test_each_kind_on_a_real_line(tmp_path, kind):
    edits, expected, _ = CASES[kind]
    assert check_model(IDF.from_file(corpus_idd("V8-8-0"), V88 / ONE_ZONE)) == []
    assert lineless(check_model(edited(tmp_path, ONE_ZONE, *edits))) == expected


def test_every_kind_has_a_case():
    assert set(CASES) == set(KINDS)


@needs_corpus
@pytest.mark.parametrize("kind", list(CASES))
def test_problems_carry_their_source_line(tmp_path, kind):
    edits, _, lines = CASES[kind]
    model = edited(tmp_path, ONE_ZONE, *edits)
    assert [p.line for p in check_model(model)] == lines
    # Objects edited after loading have no source lines any more.
    for class_name in {p.class_name for p in check_model(model)}:
        for obj in model.get_objects(class_name):
            name = obj[0]
            obj[0] = "changed"  # and back: no longer as read
            obj[0] = name
    assert {p.line for p in check_model(model)} == {None}


# --- numbers as the engine reads them ------------------------------------------


@needs_corpus
@pytest.mark.parametrize("written, message", [
    ("0x10", '"0x10" is not a number'),
    ("0X1p3", '"0X1p3" is not a number'),  # a hexadecimal float
    ("inf", '"inf" is not a number'),
    ("Infinity", '"Infinity" is not a number'),
    ("nan", '"nan" is not a number'),
    ("0.1m", '"0.1m" is not a number'),  # digits followed by junk
    ("1.5.2", '"1.5.2" is not a number'),
    ("1e400", '"1e400" is not a finite number'),  # not "inf"
    ("autosize", "autosize is not allowed in this field"),
])
def test_numbers_the_engine_would_not_read(tmp_path, written, message):
    model = edited(tmp_path, ONE_ZONE, ("    0.1014984,", f"    {written},"))
    assert lineless(check_model(model)) == [P("number", "Material", CONCRETE, "Thickness", 2, written, message)]


@needs_corpus
def test_whole_numbers_and_plain_decimals(tmp_path):
    # An integer field takes 4.0 but not 4.5; plain decimals in every
    # spelling the engine reads pass.
    model = edited(tmp_path, ONE_ZONE, ("  Timestep,4;", "  Timestep,4.5;"))
    assert lineless(check_model(model)) == [
        P("number", "Timestep", None, "Number of Timesteps per Hour", 0, "4.5", '"4.5" is not a whole number')]
    for written in ("4.0", "+4", "4.", ".4e1", "40E-1", "0.4d1"):
        assert check_model(edited(tmp_path, ONE_ZONE, ("  Timestep,4;", f"  Timestep,{written};"))) == [], written


def test_read_decimal():
    assert [read_decimal(t) for t in ("1", "-2.5", "+.5", "5.", "1e3", "1E-3", "2d2", " 7 ")] == [
        1.0, -2.5, 0.5, 5.0, 1000.0, 0.001, 200.0, 7.0]
    assert read_decimal("1e400") == float("inf")
    for text in ("", ".", "-", "e5", "1e", "1e+", "0x10", "inf", "nan", "1_000", "١٢", "1.2.3", "--1", "1 2"):
        assert read_decimal(text) is None, text


# --- references -------------------------------------------------------------------


@needs_corpus
def test_a_reference_holding_its_fields_default_names_something_builtin(tmp_path):
    # The heat pump coils' Refrigerant Type is R22, the field's default. With
    # the model's own R22 renamed (its property tables now name nothing),
    # the coils' R22 is still not reported; a refrigerant that nothing
    # defines is.
    model = edited(tmp_path, "5ZoneWaterLoopHeatPump.idf",
                   ("    R22,                     !- Fluid Name", "    R410A,                   !- Fluid Name"),
                   ("    R22,                     !- Refrigerant Type", "    R12,                     !- Refrigerant Type"))
    found = lineless(check_model(model))
    assert {p.class_name for p in found if p.value == "R22"} == {
        "FluidProperties:Saturated", "FluidProperties:Superheated"}
    assert [p for p in found if p.class_name.startswith("Coil:")] == [
        P("reference", "Coil:Cooling:WaterToAirHeatPump:ParameterEstimation", "Heat Pump Cooling Mode AHU1",
          "Refrigerant Type", 2, "R12", '"R12" names no object in FluidNames')]


# --- field names -------------------------------------------------------------------


CURVE_IDD = r"""!IDD_Version 1.0.0
Version, A1; \field Version Identifier
Curve, \extensible:2
  A1, \field Name
      \reference CurveNames
  N1, \begin-extensible
      \minimum 0
  N2; \minimum 0
"""


def test_unnamed_extensible_fields_are_named_as_the_writer_names_them():
    idd = IDD.from_string(CURVE_IDD)
    model = IDF.from_string(idd, "Version,1.0;\nCurve,C,-1,-2,-3,-4,-5,-6;\n")
    found = check_model(model)
    assert [(p.field_index, p.field_name, p.value) for p in found] == [
        (i, f"N{i}", f"-{i}") for i in range(1, 7)]
    assert [p.field_name for p in found] == [idd.field_name("Curve", i) for i in range(1, 7)]
    assert all(p.message == f"{p.value} is out of range: must be at least 0" for p in found)


# --- the rules behind the checks -----------------------------------------------------


@needs_corpus
def test_threads_share_one_dictionarys_rules_and_agree_with_a_serial_run():
    idd = IDD.from_file(DATA_DIR / "idd" / "V8-8-0-Energy+.idd")
    names = ["5ZoneAirCooled.idf", "RefBldgSmallOfficeNew2004_Chicago.idf", "LookupTables.idf",
             "HVACTemplate-5ZonePurchAir.idf", "ElectricChiller.idf", "_SmallOffice_Dulles.idf"]
    models = [IDF.from_file(idd, V88 / n) for n in names]
    with ThreadPoolExecutor(4) as pool:
        parallel = list(pool.map(check_model, models))
    assert parallel == [check_model(m) for m in models]
    assert any(parallel)
    # The rules live as long as their dictionary, no longer.
    gone = weakref.ref(idd)
    del idd, models, parallel
    gc.collect()
    assert gone() is None


def test_a_model_without_objects_has_no_problems():
    assert check_model(IDF.from_string(IDD.from_string(CURVE_IDD), "! nothing\n")) == []
