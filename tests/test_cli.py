"""The tamrix command line: subcommands on the bundled example and the real
corpus, dictionary discovery, errors, check's findings against brute-force
scans, parallel loading, and the type stubs."""

from __future__ import annotations

import io
import json
import os
import re
import shutil
import subprocess
import sys
from collections import Counter
from pathlib import Path

import pytest

from _data import DATA_DIR, corpus_files, corpus_idd
from tamrix import cli
from tamrix.idf import IDF

EXAMPLE_DIR = Path(cli.__file__).parent / "examples"
V88 = DATA_DIR / "idf" / "V8-8-0"
needs_corpus = pytest.mark.skipif(not DATA_DIR.is_dir(), reason=f"data corpus not found at {DATA_DIR}")


def run(*args: str, env: dict | None = None) -> subprocess.CompletedProcess:
    """The command line in a child process, as a user runs it."""
    return subprocess.run([sys.executable, "-m", "tamrix", *args], capture_output=True, text=True,
                          env={**os.environ, **(env or {})}, timeout=120)


def call(capsys, *args: str) -> tuple[int, str, str]:
    """The command line in this process: (exit status, stdout, stderr)."""
    try:
        code = cli.main(list(args))
    except SystemExit as exc:
        code = exc.code
    out, err = capsys.readouterr()
    return code, out, err


@pytest.fixture
def idd_path_env(monkeypatch):
    monkeypatch.setenv(cli.IDD_PATH_VARIABLE, str(DATA_DIR / "idd"))


# --- the bundled example, end to end ----------------------------------------


def test_example_runs_everywhere_with_nothing_else(tmp_path):
    assert run("check", "--example").returncode == 0
    info = run("info", "--example")
    assert info.returncode == 0 and "9.9" in info.stdout
    assert re.search(r"^\s+6  BuildingSurface:Detailed$", info.stdout, re.M)
    refs = run("refs", "--example", "zone", "OFFICE", "--format", "json")
    record = json.loads(refs.stdout)
    surfaces = {r["name"] for r in record["referenced_by"] if r["class"] == "BuildingSurface:Detailed"}
    assert surfaces == {"South Wall", "East Wall", "North Wall", "West Wall", "Floor", "Roof"}
    # The console script is installed beside the interpreter.
    script = shutil.which("tamrix", path=os.path.dirname(sys.executable))
    assert script and subprocess.run([script, "--version"], capture_output=True, text=True).stdout.startswith("tamrix ")
    # fmt prints the model in the standard layout, comments kept; it reads back unchanged.
    out = tmp_path / "copy.idf"
    printed = run("fmt", "--example").stdout
    assert run("fmt", "--example", "-o", str(out), "--no-timestamp").returncode == 0
    idd = cli.IDD.from_file(EXAMPLE_DIR / "example.idd")
    model = IDF.from_file(idd, out)
    assert printed == model.format(keep_comments=True) + "\n"
    assert len(model["BuildingSurface:Detailed"][0].get_values()) == 22  # a fourth vertex past the declared three


# --- errors: one line, non-zero, naming the offending value ----------------


@needs_corpus
@pytest.mark.parametrize("args, expected", [
    (["check", "missing.idf"], "missing.idf: no such file"),
    (["info"], "no model given"),
    (["fmt", "--example", "{minimal}", "-o", "x.idf"], "-o/--output takes one model, got 2"),
    (["fmt", "--example", "--in-place"], "--in-place would rewrite the installed example"),
    (["fmt", "--example", "--field-size", "-3"], "must not be negative, got -3"),
    (["lint", "x.idf"], "invalid choice: 'lint'"),
    (["check", "{v72}"], "no dictionary found for version 7.2 (tried /usr/local/EnergyPlus-7-2-*/Energy+.idd"),
    (["check", "{noversion}"], "no Version object to choose a dictionary by; give --idd PATH"),
    (["check", "{broken}"], "bad.idf: IDF parsing error (Line 4): missing delimiter before 'Timestep'"),
    (["info", "--idd", "nowhere.idd", "{minimal}"], "cannot read dictionary nowhere.idd"),
    (["info", "--idd", "{example_idd}", "{minimal}"], "Unknown class: 'SizingPeriod:DesignDay' (the model is version 8.8, the dictionary"),
    (["refs", "{minimal}", "zonee", "x"], "unknown class 'zonee' (not in dictionary"),
    (["refs", "{one_zone}", "Zone", "Zone 1"], "has no Zone named 'Zone 1'; did you mean 'ZONE ONE'?"),
    (["refs", "{minimal}", "Zone"], "refs takes FILE CLASS NAME, got 2 arguments"),
])
def test_errors_are_one_clear_line(capsys, tmp_path, monkeypatch, idd_path_env, args, expected):
    monkeypatch.chdir(tmp_path)
    files = {"minimal": str(V88 / "Minimal.idf"), "one_zone": str(V88 / "1ZoneUncontrolled.idf"), "v72": "v72.idf",
             "noversion": "nov.idf", "broken": "bad.idf", "example_idd": str(EXAMPLE_DIR / "example.idd")}
    (tmp_path / "v72.idf").write_text("! Version,8.8;\nversion, 7.2;\n")
    (tmp_path / "nov.idf").write_text("Timestep,4;\n")
    (tmp_path / "bad.idf").write_text("Version,8.8;\n\nZone,A\nTimestep,4;\n")
    code, out, err = call(capsys, *[a.format(**files) for a in args])
    assert code == cli.EXIT_ERROR and out == ""
    assert err.count("\n") == 1 and err.startswith("tamrix: error: ") and expected in err, err


# --- fmt ----------------------------------------------------------------------


@needs_corpus
def test_fmt_is_stable_and_keeps_the_file_safe(capsys, tmp_path, idd_path_env):
    source = V88 / "1ZoneUncontrolled3SurfaceZone.idf"  # CRLF and cp1252 bytes
    target = tmp_path / "model.idf"
    shutil.copyfile(source, target)
    assert call(capsys, "fmt", "--in-place", str(target))[0] == 0
    first = target.read_bytes()
    assert call(capsys, "fmt", "--in-place", str(target))[0] == 0
    stamp = re.compile(rb"^! Saved at: .*$", re.M)
    assert stamp.search(first) and stamp.sub(b"", target.read_bytes()) == stamp.sub(b"", first)
    call(capsys, "fmt", "--in-place", "--no-timestamp", str(target))
    plain = target.read_bytes()
    call(capsys, "fmt", "--in-place", "--no-timestamp", str(target))
    assert target.read_bytes() == plain and not stamp.search(plain)
    model = IDF.from_file(corpus_idd("V8-8-0"), source)
    code, out, _ = call(capsys, "fmt", str(source), "--field-size", "30")
    assert code == 0 and out == model.format(field_size=30, keep_comments=True) + "\n"
    code, out, _ = call(capsys, "fmt", str(source), "--strip-comments")
    assert code == 0 and out == model.format() + "\n"
    # Written files in a chosen encoding; one that cannot hold a value is refused.
    call(capsys, "fmt", str(source), "-o", str(target), "--encoding", "cp1252", "--no-timestamp")
    assert target.read_bytes().decode("cp1252") == "! Generated using Tamrix.py\n\n" + model.format(keep_comments=True) + "\n"
    code, _, err = call(capsys, "fmt", str(source), "-o", str(target), "--encoding", "ascii")
    assert code == cli.EXIT_ERROR and "can't encode" in err
    code, out, _ = call(capsys, "fmt", str(source), "--compact", "--preserve-order")
    assert out.splitlines() == model.format(compact=True, preserve_order=True).splitlines()
    # Unparsable input leaves the file as it was.
    target.write_bytes(b"Version,8.8;\nZone,A\nTimestep,4;\n")
    assert call(capsys, "fmt", "--in-place", str(target))[0] == cli.EXIT_ERROR
    assert target.read_bytes() == b"Version,8.8;\nZone,A\nTimestep,4;\n"


# --- check: value rules on a model written to break each one -----------------

BROKEN = """
Timestep, 61;
Timestep, 4.0, 2;
Material, Brick 100mm, Shiny, autosize, 0, 1920, 790;
Material:NoMass, Brick 100mm, Rough, 2.0;
Material, Odd, Rough, 0.1, 1, 10, 790, 0.9, 0.5, =$absorb;
WindowMaterial:SimpleGlazingSystem, Clear, 5.8, 1.0;
Construction, Long, Brick 100mm, Odd, Gypsum 13mm, Odd, Missing Layer, Concrete 150mm;
Zone, office;
People, Crowd, Office, Nowhere, People, 4.5x, , , 0.3, Autosize, Activity Level;
Material, , Rough, 0.1, 1, 10, 790;
ZoneHVAC:EquipmentList, More, SequentialLoad, Some:Class, Office Ideal Loads, 1, 1;
"""


def test_check_reports_each_rule_once(capsys, tmp_path):
    model = tmp_path / "broken.idf"
    model.write_text((EXAMPLE_DIR / "example.idf").read_text() + BROKEN)
    idd = str(EXAMPLE_DIR / "example.idd")
    code, out, err = call(capsys, "check", "--idd", idd, "--format", "json", str(model))
    assert code == cli.EXIT_PROBLEMS, err
    records = json.loads(out)
    assert all(list(r) == ["file", "kind", "class_name", "object_name", "field_name", "field_index", "value", "line",
                           "message"] and r["file"] == str(model) for r in records)
    found = Counter((r["kind"], r["class_name"], r["object_name"], r["field_name"]) for r in records)
    assert found == Counter({
        ("unique-object", "Timestep", None, None): 2,
        ("range", "Timestep", None, "Number of Timesteps per Hour"): 1,  # 61 > 60; "4.0" is a whole number
        ("too-many-fields", "Timestep", None, None): 1,
        ("choice", "Material", "Brick 100mm", "Roughness"): 1,
        ("number", "Material", "Brick 100mm", "Thickness"): 1,  # Autosize where not allowed
        ("range", "Material", "Brick 100mm", "Conductivity"): 1,  # \minimum> 0
        ("duplicate-name", "Material", "Brick 100mm", "Name"): 1,
        ("duplicate-name", "Material:NoMass", "Brick 100mm", "Name"): 1,
        ("range", "WindowMaterial:SimpleGlazingSystem", "Clear", "Solar Heat Gain Coefficient"): 1,  # \maximum< 1
        ("reference", "Construction", "Long", "Layer 5"): 1,  # past the declared layers
        ("duplicate-name", "Zone", "office", "Name"): 1,
        ("reference", "People", "Crowd", "Number of People Schedule Name"): 1,
        ("number", "People", "Crowd", "Number of People"): 1,
        ("required", "Material", None, "Name"): 1,
    })  # nothing for a class name (Some:Class) or a parametric value (=$absorb)
    code, text, err = call(capsys, "check", "--idd", idd, str(model))
    assert text.count("\n") == sum(found.values()) and "15 problems in 1 of 1 file" in err
    # Each line starts with where the value stands: file:line, or the file
    # alone when the model cannot tell.
    at = {r["message"]: f"{model}:{r['line']}" if r["line"] is not None else str(model) for r in records}
    nowhere = '"Nowhere" names no object in ScheduleNames'
    assert f'{at[nowhere]}: People "Crowd", Number of People Schedule Name: {nowhere} [reference]\n' in text
    too_many = "61 is out of range: must be at most 60"
    assert f"{at[too_many]}: Timestep, Number of Timesteps per Hour: {too_many} [range]\n" in text


# --- check: references against brute-force scans of the real corpus ---------


_INFOS: dict = {}


def brute_force_dangling(model: IDF, idd) -> Counter:
    """(class, value) of every object-list value that names nothing, found by
    scanning every field of every object (no reference index)."""
    if id(idd) not in _INFOS:
        infos = {name.upper(): idd.class_info(name) for name in idd.class_names()}
        declared = {ref.upper() for info in infos.values() for f in info["fields"] for ref in f["references"]}
        _INFOS[id(idd)] = infos, declared
    infos, declared = _INFOS[id(idd)]

    def fields(obj):
        info = infos[obj.class_name.upper()]
        defs, ext = info["fields"], info["extensible"]
        for i, value in enumerate(obj.get_values()):
            if i < len(defs):
                yield defs[i], value
            elif ext:
                yield defs[ext["begin"] + (i - ext["begin"]) % ext["size"]], value

    objects = [o for c in model.get_class_names() for o in model[c]]
    names: dict[str, set[str]] = {}
    for obj in objects:
        for f, value in fields(obj):
            for ref in f["references"]:
                if value not in (None, ""):
                    names.setdefault(ref, set()).add(str(value).upper())
    dangling: Counter = Counter()
    for obj in objects:
        for f, value in fields(obj):
            lists = f["object_lists"]
            if not lists or value in (None, "") or str(value).startswith("="):
                continue
            if any(str(value).upper() in names.get(lst, ()) for lst in lists):
                continue
            if any(lst in names or lst.upper() in declared for lst in lists):
                dangling[(obj.class_name, str(value))] += 1
    return dangling


@needs_corpus
def test_reference_reports_match_a_brute_force_scan_of_the_corpus(capsys, idd_path_env):
    files = corpus_files()
    code, out, err = call(capsys, "check", "--format", "json", *[str(p) for _, p in files])
    assert code == cli.EXIT_PROBLEMS, err
    reported: dict[str, Counter] = {}
    for r in json.loads(out):
        if r["kind"] == "reference":
            reported.setdefault(r["file"], Counter())[(r["class_name"], r["value"])] += 1
    for version, path in files:
        expected = brute_force_dangling(IDF.from_file(corpus_idd(version), path), corpus_idd(version))
        assert reported.get(str(path), Counter()) == expected, path
    assert sum(map(len, reported.values())) > 20  # real dangling names exist in the corpus


@needs_corpus
def test_renamed_zone_is_reported_on_every_surface_naming_it(capsys, tmp_path, idd_path_env):
    model = IDF.from_file(corpus_idd("V8-8-0"), V88 / "5ZoneAirCooled.idf")
    zone = model["Zone"][2]
    old = str(zone["Name"])
    zone["Name"] = "Renamed Zone"
    copy = tmp_path / "renamed.idf"
    model.save(copy)
    # What a plain scan finds: the surfaces whose Zone Name is the old name.
    expected = {s["Name"] for s in model["BuildingSurface:Detailed"] if str(s["Zone Name"]).upper() == old.upper()}
    assert len(expected) >= 5
    code, out, _ = call(capsys, "check", "--format", "json", str(copy))
    records = json.loads(out)
    surfaces = {r["object_name"] for r in records
                if r["class_name"] == "BuildingSurface:Detailed" and r["field_name"] == "Zone Name"}
    assert code == cli.EXIT_PROBLEMS and surfaces == expected
    assert all(r["value"] == old and old in r["message"] for r in records)
    assert {r["kind"] for r in records} == {"reference"}


@needs_corpus
def test_check_runs_on_the_largest_models(capsys, idd_path_env):
    # How long it takes is for benchmarks/bench_cli.py to say, not a test.
    for name in ("HospitalBaselineReheatReportEMS.idf", "CmplxGlz_Daylighting_SouthVB45deg.idf"):
        assert call(capsys, "check", "--idd", str(DATA_DIR / "idd" / "V8-8-0-Energy+.idd"), str(V88 / name))[0] in (0, 1)


# --- many files: threads, order, progress -----------------------------------


class FakeTerminal(io.StringIO):
    def isatty(self) -> bool:
        return True


@needs_corpus
def test_parallel_runs_keep_file_order_and_show_progress(capsys, monkeypatch, idd_path_env):
    files = [str(p) for _, p in corpus_files()[:10]]
    one = call(capsys, "check", "-j", "1", *files)
    four = call(capsys, "check", "-j", "4", *files)
    assert one == four
    code, out, _ = call(capsys, "info", "--format", "json", "-j", "3", "missing.idf", *files[:4])
    assert code == cli.EXIT_ERROR and [r["file"] for r in json.loads(out)] == files[:4]
    terminal = FakeTerminal()
    monkeypatch.setattr(sys, "stderr", terminal)
    assert cli.main(["info", "-j", "2", *files[:5]]) == 0
    shown = terminal.getvalue()
    assert "5/5 files" in shown and shown.endswith("\r\x1b[K")
    monkeypatch.setattr(sys, "stderr", FakeTerminal())
    cli.main(["info", *files[:2]])  # too few files for a bar
    assert "files" not in sys.stderr.getvalue()


# --- refs ----------------------------------------------------------------------


@needs_corpus
def test_refs_lists_both_directions(capsys, idd_path_env):
    path = V88 / "1ZoneUncontrolled.idf"
    code, out, _ = call(capsys, "refs", "--format", "json", str(path), "BuildingSurface:Detailed", "zn001:wall001")
    record = json.loads(out)
    assert code == 0 and record["name"] == "Zn001:Wall001"
    targets = {(r["field"], r["class"]) for r in record["refers_to"]}
    assert {("Construction Name", "Construction"), ("Zone Name", "Zone")} <= targets
    code, out, _ = call(capsys, "refs", str(path), "Zone", "ZONE ONE")
    model = IDF.from_file(corpus_idd("V8-8-0"), path)
    naming = [s for s in model["BuildingSurface:Detailed"] if str(s["Zone Name"]).upper() == "ZONE ONE"]
    assert code == 0 and all(f'BuildingSurface:Detailed "{s["Name"]}"' in out for s in naming)


# --- type stubs ------------------------------------------------------------------


def test_typed_usage_passes_mypy_strict_and_runs(tmp_path):
    usage = Path(__file__).with_name("typing_usage.py")
    ran = subprocess.run([sys.executable, str(usage)], capture_output=True, text=True, timeout=120)
    assert ran.returncode == 0 and "floor area: 24.0" in ran.stdout, ran.stderr
    pytest.importorskip("mypy")
    checked = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--cache-dir", str(tmp_path), str(usage)],
                             capture_output=True, text=True, timeout=300)
    assert checked.returncode == 0, checked.stdout + checked.stderr
