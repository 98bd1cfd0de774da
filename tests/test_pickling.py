"""Pickling and copying: IDF, IDFObject, Lexer and IDD round trips, the
checks of the restore functions, damaged states and streams, and models sent
to worker processes and back."""

from __future__ import annotations

import concurrent.futures
import copy
import io
import multiprocessing
import pickle
import site
from pathlib import Path

import pytest

from _data import DATA_DIR, EXAMPLE_IDD, corpus_idd, corpus_params, run_python
from tamrix.idd import IDD
from tamrix.idf import IDF, IDFObject, _restore_IDF, _restore_IDFObject
from tamrix.lexer import Lexer, _new_lexer, _restore_Lexer

TESTS_DIR = str(Path(__file__).resolve().parent)
PROTOCOLS = range(2, pickle.HIGHEST_PROTOCOL + 1)
IDF_SUM, OBJ_SUM, LEX_SUM = 0xF3AC116, 0x562C8F1, 0x5FE9DA1
# A comment of its own: no other test module holds a dictionary with this digest.
IDD_TEXT = EXAMPLE_IDD + "! pickling tests\n"
SMALL_IDD = "!IDD_Version 1.0.0\nZone,\n  A1; \\field Name\n      \\reference ZoneNames\n"
MODEL = "Zone,A;Zone,B;Lights,L1,A;Lights,L2,B;Zone,C;"


# Subclasses at module level, so that pickle finds them by name.
Model, Obj, Lex = type("Model", (IDF,), {}), type("Obj", (IDFObject,), {}), type("Lex", (Lexer,), {})


@pytest.fixture(scope="module")
def idd():
    return IDD.from_string(IDD_TEXT)


@pytest.fixture
def model(idd):
    """Five objects, the second removed: slot 1 is None."""
    m = IDF.from_string(idd, MODEL)
    m.remove_object(m.get_object_by_name("Zone", "B"))
    return m


def state(x):
    """A state in the full form (what every model pickled as before the
    compact state)."""
    if isinstance(x, (IDF, IDFObject)):
        return x._full_state()
    reduced = x.__reduce__()
    return reduced[2] if len(reduced) == 3 else reduced[1][2]


def answers(m) -> list:
    """What the reference queries and the name lookup say about a model."""
    out = []
    for zone in m.get_objects("Zone"):
        name = zone["Name"]
        users = sorted((o.class_name, str(o[0])) for o in zone.get_referencing_objects("Name"))
        out.append((name, users, m.get_object_by_name("Zone", name) is zone))
    for cls, field in (("Lights", 1), ("BuildingSurface:Detailed", "Zone Name")):
        for obj in m.get_objects(cls):
            target = obj.get_referenced_object(field)
            out.append((cls, obj[0], target and target["Name"]))
    return out


def assert_same_model(restored, original):
    assert restored.format() == original.format()
    assert restored.format(preserve_order=True) == original.format(preserve_order=True)
    assert answers(restored) == answers(original)
    slots = state(restored)[1]
    assert [o is None for o in slots] == [o is None for o in state(original)[1]]
    for i, obj in enumerate(slots):
        if obj is not None:
            assert state(obj)[5] is restored and state(obj)[4] == i


# --- round trips -------------------------------------------------------------


@pytest.mark.parametrize("version, path", corpus_params())
def test_corpus_models_round_trip(version, path):
    idd = corpus_idd(version)
    original = IDF.from_file(idd, path)
    # Several live dictionaries may share this file's digest (other test
    # modules load it too): restores hand back the one the process registered.
    shared = pickle.loads(pickle.dumps(idd))
    for protocol in PROTOCOLS:
        restored = pickle.loads(pickle.dumps(original, protocol=protocol))
        assert_same_model(restored, original)
        assert state(restored)[0] is shared
        assert all(state(o)[3] is shared for o in state(restored)[1] if o is not None)


def test_restored_model_keeps_slots_and_a_live_index(idd, model):
    restored = pickle.loads(pickle.dumps(model))
    assert state(restored)[1][1] is None
    assert state(restored)[2] == state(model)[2]
    # The same edits on both give the same answers: the index came back live.
    for m in (model, restored):
        assert state(m.add_object("Zone", ["D"]))[4] == 5
        m.get_object_by_name("Lights", "L1")["Zone Name"] = "D"
        m.get_object_by_name("Zone", "C")["Name"] = "A"
        m.remove_object(m.get_object_by_name("Zone", "A"))
        m.add_object("Lights", ["L3", "c"])
    assert_same_model(restored, model)
    assert answers(restored) == [("A", [], True), ("D", [("Lights", "L1")], True), ("Lights", "L1", "D"),
                                 ("Lights", "L2", None), ("Lights", "L3", None)]


def test_removed_objects_in_a_corpus_model():
    if not DATA_DIR.is_dir():
        pytest.skip(f"data corpus not found at {DATA_DIR}")
    original = IDF.from_file(corpus_idd("V8-8-0"), DATA_DIR / "idf/V8-8-0/5ZoneAirCooled.idf")
    for zone in original.get_objects("Zone")[::2]:
        for user in zone.get_referencing_objects("Name"):
            if user.class_name != "BuildingSurface:Detailed":
                original.remove_object(user)
    original.remove_all_objects("Output:Variable")
    restored = copy.deepcopy(original)
    assert_same_model(restored, original)
    n = len(state(original)[1])
    for m in (original, restored):  # a new object goes after the removed slots
        assert state(m.add_object("Zone", ["New"]))[4] == n
    assert_same_model(restored, original)


def test_object_pickled_alone_brings_its_model(model):
    lights = model.get_object_by_name("Lights", "L1")
    for protocol in PROTOCOLS:
        restored = pickle.loads(pickle.dumps(lights, protocol=protocol))
        parent = state(restored)[5]
        assert parent is not model and state(parent)[1][state(restored)[4]] is restored
        assert restored.get_referenced_object("Zone Name") is parent.get_object_by_name("Zone", "A")
        assert_same_model(parent, model)


def test_detached_and_blank_instances(idd, model):
    # The checksums written are part of the format: older pickles must load.
    assert model.__reduce__()[:2] == (_restore_IDF, (IDF, IDF_SUM, None))
    zone = IDFObject(idd, "Zone")
    zone["Name"] = "Alone"
    assert zone.__reduce__()[1] == (IDFObject, OBJ_SUM, None)
    restored = pickle.loads(pickle.dumps(zone))
    assert restored.get_values() == ["Alone"] and state(restored)[5] is None
    # Blank instances have nothing pointing back: they pickle in one step.
    assert IDF.__new__(IDF).__reduce__()[1] == (IDF, IDF_SUM, (None, None, {}, {}, {}))
    assert "not loaded" in repr(pickle.loads(pickle.dumps(IDF.__new__(IDF))))
    blank = pickle.loads(pickle.dumps(IDFObject.__new__(IDFObject)))
    assert state(blank) == (b"", 0, None, None, 0, None, []) and "not initialised" in repr(blank)


def test_subclasses_keep_their_attributes(idd):
    m, obj, lex = Model.from_string(idd, MODEL), Obj(idd, "Lights"), Lex.__new__(Lex)
    m.favourite, m.me, obj.tags, lex.label = m.get_object_by_name("Zone", "B"), m, ["x"], "l"
    lex.__setstate__(([], 0, b"Zone,A;", False, 0, 0))
    for protocol in PROTOCOLS:
        m2, obj2, lex2 = pickle.loads(pickle.dumps((m, obj, lex), protocol=protocol))
        assert type(m2) is Model and m2.me is m2 and m2.favourite is m2.get_object_by_name("Zone", "B")
        assert type(obj2) is Obj and obj2.tags == ["x"] and obj2.class_name == "Lights"
        assert type(lex2) is Lex and lex2.label == "l" and lex2.test() == _new_lexer(b"Zone,A;").test()


def test_copies_and_the_shared_dictionary(idd, model):
    assert pickle.loads(pickle.dumps(idd)) is idd and copy.deepcopy(idd) is idd
    twin = copy.deepcopy(model)
    assert state(twin)[0] is idd
    twin.get_object_by_name("Zone", "A")["Name"] = "Renamed"
    assert answers(model) == answers(pickle.loads(pickle.dumps(model)))
    assert model.get_object_by_name("Lights", "L1").get_referenced_object("Zone Name")["Name"] == "A"
    assert twin.get_object_by_name("Lights", "L1").get_referenced_object("Zone Name") is None


LEX_TEXT = b"Zone,\r\n  A;  ! one\n\n! only a comment\nLights,L1,\tA;\nLast;"
LEX_FIRST_LINE = [{"type": 0, "value": b"Zone"}, {"type": 1, "value": b","}]


@pytest.mark.parametrize("buffer_idx", [0, 1, 2])
def test_lexer_pickled_midway_resumes_there(buffer_idx):
    full = _new_lexer(LEX_TEXT).test()
    mid = _restore_Lexer(Lexer, LEX_SUM, (LEX_FIRST_LINE, buffer_idx, LEX_TEXT, False, 1, 7))
    for protocol in PROTOCOLS:
        again = pickle.loads(pickle.dumps(mid, protocol=protocol))
        assert state(again) == state(mid)
        assert again.test() == full[buffer_idx:]
    finished = copy.deepcopy(mid)
    assert finished.test() == full[buffer_idx:] and state(finished)[4:] == (6, len(LEX_TEXT))
    assert pickle.loads(pickle.dumps(finished)).test() == [(3, "")]
    # In IDD mode a backslash starts a tag: the mode travels with the lexer.
    idd_mode = pickle.loads(pickle.dumps(_new_lexer(b"A1, \\field x,y;", is_idd=True)))
    assert idd_mode.test() == [(0, "A1"), (1, ","), (0, "\\field x,y;"), (3, "")]


# --- restore functions and __setstate__ ----------------------------------------


def zone_state(idd, **changes):
    fields = dict(c_class_name=b"Zone", class_idx=0, class_name="Zone", idd=idd, obj_idx=0, parent_idf=None,
                  values=[b"A"])
    fields.update(changes)
    return tuple(fields.values())


def idf_state(idd, objects, index=None, referencers=None, targets=None):
    return (idd, objects, index or {}, referencers or {}, targets or {})


def attached(idd, obj_idx):
    obj = _restore_IDFObject(IDFObject, OBJ_SUM, None)
    doc = _restore_IDF(IDF, IDF_SUM, None)
    obj.__setstate__(zone_state(idd, obj_idx=obj_idx, parent_idf=doc))
    return doc, obj


@pytest.mark.parametrize(
    "call, exc, message",
    [
        (lambda d: _restore_IDF(IDF, 1, None), pickle.PickleError,
         "Incompatible checksums (0x1 vs (0xf3ac116, 0x53e964f, 0xe152989) = "
         "(idd, objects, objects_index_map, referencers, targets))"),
        (lambda d: _restore_Lexer(Lexer, 2, None), pickle.PickleError,
         "Incompatible checksums (0x2 vs (0x5fe9da1, 0x70cf7cf, 0x3281b55) = "
         "(buffer, buffer_idx, content, is_idd, line_num, pos))"),
        (lambda d: _restore_IDF(IDF, IDF_SUM, []), TypeError,
         "Argument 'state' has incorrect type (expected tuple, got list)"),
        (lambda d: _restore_Lexer(Lexer, LEX_SUM, type("T", (tuple,), {})()), TypeError,
         "Argument 'state' has incorrect type (expected tuple, got T)"),
        (lambda d: IDF.__new__(IDF).__setstate__(None), TypeError,
         "cannot pass None into a C function argument that is declared 'not None'"),
        (lambda d: IDFObject.__new__(IDFObject).__setstate__([]), TypeError, "Expected tuple, got list"),
        (lambda d: _restore_IDFObject(IDFObject, OBJ_SUM, zone_state(d, c_class_name="Zone")), TypeError,
         "expected bytes, str found"),
        (lambda d: _restore_IDFObject(IDFObject, OBJ_SUM, zone_state(d, obj_idx=-1)), OverflowError,
         "can't convert negative value to size_t"),
        (lambda d: _restore_IDF(IDF, IDF_SUM, idf_state(1, [])), TypeError, "Cannot convert int to tamrix.idd.IDD"),
        (lambda d: _restore_IDFObject(IDFObject, OBJ_SUM, zone_state(d, parent_idf=d)), TypeError,
         "Cannot convert tamrix.idd.IDD to tamrix.idf.IDF"),
        (lambda d: _restore_IDF(IDF, IDF_SUM, idf_state(d, 1)), TypeError, "Expected list, got int"),
        (lambda d: _restore_IDFObject(IDFObject, OBJ_SUM, zone_state(d, class_name=1)), TypeError,
         "Expected str, got int"),
        (lambda d: _restore_Lexer(Lexer, LEX_SUM, ([{"value": b"A"}], 0, b"", False, 0, 0)), ValueError,
         "for struct attribute 'type'"),
        (lambda d: _restore_Lexer(Lexer, LEX_SUM, ([], 0, b"")), IndexError, "tuple index out of range"),
        (lambda d: _restore_IDF(Lexer, IDF_SUM, None), TypeError,
         "cannot restore a tamrix.idf.IDF into <class 'tamrix.lexer.Lexer'>"),
    ],
)
def test_bad_states_raise(idd, call, exc, message):
    with pytest.raises(exc) as info:
        call(idd)
    assert str(info.value).endswith(message)


@pytest.mark.parametrize(
    "make, field",
    [
        (lambda d: _restore_IDFObject(IDFObject, OBJ_SUM, zone_state(d, class_idx=2)), "class_idx"),
        (lambda d: _restore_IDF(IDF, IDF_SUM, idf_state(d, [None, "Zone"])), "objects"),
        (lambda d: _restore_IDF(IDF, IDF_SUM, idf_state(d, [None], {b"ZONE": [0, 1]})), "objects_index_map"),
        (lambda d: _restore_IDF(IDF, IDF_SUM, idf_state(d, [None], referencers={b"ZoneNames": {b"A": [(1, 1)]}})),
         "referencers"),
        (lambda d: _restore_IDF(IDF, IDF_SUM, idf_state(d, [], targets={b"ZoneNames": {b"A": [(0, 0)]}})),
         "targets"),
        (lambda d: (lambda doc, obj: doc.__setstate__(idf_state(d, [obj])))(*attached(d, 1)), "objects"),
        (lambda d: _restore_Lexer(Lexer, LEX_SUM, (LEX_FIRST_LINE, 3, b"Zone,", False, 1, 5)), "buffer_idx"),
        (lambda d: _restore_Lexer(Lexer, LEX_SUM, ([], 0, b"Zone,", False, 1, 6)), "pos"),
    ],
)
def test_states_that_would_break_a_model_are_refused(idd, make, field):
    with pytest.raises(ValueError, match=f"^{field}: "):
        make(idd)


def test_states_built_by_hand_and_older_checksums(idd):
    doc, zone = attached(idd, 0)
    zone.__setstate__(zone_state(idd, parent_idf=doc, values=[bytearray(b"A")]))  # bytearray serves as bytes
    doc.__setstate__(idf_state(idd, [zone], {b"ZONE": [0]}, {}, {b"ZoneNames": {b"A": [(0, 0)]}}))
    assert doc.get_object_by_name("Zone", "a") is zone
    # The older checksums a restore function still accepts.
    assert _restore_IDF(IDF, 0x53E964F, state(doc)).format() == doc.format()
    assert _restore_IDFObject(IDFObject, 0xD91AABF, state(zone)).get_values() == ["A"]
    assert _restore_Lexer(Lexer, 0x70CF7CF, ([], 0, b"X;", True, 0, 0)).test() == [(0, "X"), (2, ";"), (3, "")]


DAMAGE_LOOP = r"""
import copy, pickle, random
from tamrix.idd import IDD
from tamrix.idf import IDF, IDFObject
from tamrix.lexer import Lexer, _new_lexer
rng = random.Random(20240611)
idd = IDD.from_string(%(idd)r)
other = IDF.from_string(IDD.from_string(%(idd)r + "Extra,\n  A1; \\field Name\n"), "Extra,E;Zone,Q;")
foreign = other.get_objects("Extra")[0]
JUNK = [None, 0, 1, 4, 7, -1, 2**31, 2**64, 1.5, True, "x", b"x", b"ZONE", bytearray(b"Zone"), [], {}, (), [None],
        [1], [b"A"], ["A"], {b"ZONE": [10**6]}, {b"ZONE": [-1]}, {"ZONE": [0]}, {b"ZoneNames": {b"A": [(10**6, 0)]}},
        {b"ZoneNames": {b"A": [(0, -5)]}}, {b"ZoneNames": {b"A": [(0,)]}}, {b"ZoneNames": [1]}, [{"type": 0}],
        [{"type": 99, "value": b"x"}], [{"type": 2**40, "value": b""}], idd, other, foreign, [foreign],
        IDFObject.__new__(IDFObject), [IDFObject.__new__(IDFObject)], IDF.__new__(IDF), _new_lexer(b"a"), object()]
def samples():
    m = IDF.from_string(idd, %(model)r)
    m.remove_object(m.get_object_by_name("Zone", "B"))
    return [m, m.get_objects("Lights")[0], IDFObject(idd, "Zone"), _new_lexer(b"Zone,\n A;\nB,C;\n"),
            IDFObject.__new__(IDFObject), IDF.__new__(IDF), foreign]
def damage(fields):
    s, kind = list(fields), rng.randrange(3)
    if kind == 0:
        del s[rng.randrange(len(s) + 1):]
    elif kind == 1:
        s.append(rng.choice(JUNK))
    for _ in range(rng.randint(kind != 2, 3)):
        if s:
            s[rng.randrange(len(s))] = rng.choice(JUNK)
    return tuple(s)
def use(x):
    if isinstance(x, IDF):
        calls = [x.format, lambda: x.format(preserve_order=True), x.get_class_names, lambda: x["Zone"],
                 lambda: x.get_object_by_name("Zone", "A"), lambda: x.add_object("Lights", ["N", "A"]),
                 lambda: [(z.get_referencing_objects(0), x.remove_object(z)) for z in x["Zone"]],
                 lambda: [o.get_referenced_object(1) for o in x["Lights"]], lambda: x.remove_all_objects("Lights"),
                 lambda: pickle.loads(pickle.dumps(x)).format(), lambda: copy.deepcopy(x).format()]
    elif isinstance(x, IDFObject):
        calls = [lambda: repr(x), x.get_values, lambda: x.__setitem__(0, "New"), lambda: x.update(["P", "C"]),
                 lambda: x.get_referenced_object(1), lambda: x.get_referencing_objects(0),
                 lambda: pickle.loads(pickle.dumps(x)).get_values()]
    else:
        calls = [x.test, lambda: pickle.loads(pickle.dumps(x)).test()] if isinstance(x, Lexer) else []
    for call in calls:
        try:
            call()
        except Exception:
            pass
states = streams = 0
for _ in range(%(rounds)d):
    for x in samples():
        fn, args = x.__reduce__()[:2]
        good = x.__reduce__()[-1] if args[2] is None else args[2]
        for how in ("restore", "blank", "live"):
            y = x if how == "live" else None
            try:
                if how != "live":
                    y = fn(type(x), args[1], damage(good) if how == "restore" else None)
                if how != "restore":
                    y.__setstate__(damage(good))
            except Exception:
                pass
            use(y)
            states += 1
    for _ in range(5):
        data = bytearray(pickle.dumps(rng.choice(samples()[:4]), protocol=rng.choice([2, 3, 4, 5])))
        if rng.random() < 0.3:
            del data[rng.randrange(1, len(data)):]
        for _ in range(rng.randint(1, 4)):
            data[rng.randrange(len(data))] = rng.randrange(256)
        try:
            use(pickle.loads(bytes(data)))
        except Exception:
            pass
        streams += 1
print("damage loop done", states, streams)
"""


def test_damaged_states_and_streams_never_crash():
    result = run_python(DAMAGE_LOOP % {"idd": IDD_TEXT, "model": MODEL, "rounds": 120}, timeout=300)
    assert result.returncode == 0, result.stderr[-3000:]
    assert "damage loop done 2520 600" in result.stdout


# --- dictionaries --------------------------------------------------------------


def test_dictionary_reduces_to_its_source(tmp_path, monkeypatch):
    (tmp_path / "small.idd").write_text(SMALL_IDD + f"! {tmp_path}\n")
    monkeypatch.chdir(tmp_path)
    from_file = IDD.from_file("small.idd")
    assert from_file.path == str(tmp_path / "small.idd")
    fn, (cls, path, digest, text) = from_file.__reduce__()
    assert (cls, path, text) == (IDD, from_file.path, None) and len(digest) == 16 and int(digest, 16) >= 0
    from_text = IDD.from_string(SMALL_IDD + "! text\n")
    fn, (cls, path, digest, text) = from_text.__reduce__()
    assert (path, text, from_text.path) == (None, (SMALL_IDD + "! text\n").encode(), None) and len(digest) == 16
    for idd in (from_file, from_text):
        assert pickle.loads(pickle.dumps(idd)) is idd


FRESH_RESTORE = """
import pickle
try:
    m = pickle.loads(open(%(pickle)r, "rb").read())
except Exception as e:
    print(type(e).__name__, e)
else:
    print("restored", repr(m.format()), m._idd.path)
"""


@pytest.mark.parametrize(
    "change, expected",
    [
        (None, "restored 'Zone,\\n    A;                       !- Name' {path}"),
        ("text", "restored 'Zone,\\n    A;                       !- Name' None"),
        ("append", "ValueError the dictionary file '{path}' has changed since the model was pickled"),
        ("delete", "FileNotFoundError the dictionary '{path}' (digest {digest}) is not registered in this process "
                   "and its file cannot be read here ([Errno 2] No such file or directory: '{path}'); on a Dask "
                   "cluster, call tamrix.dask.register(client, idd)"),
        ("break", "ValueError the dictionary file '{path}' has changed"),
    ],
    ids=["unchanged", "from-text", "changed", "deleted", "no-longer-parses"],
)
def test_dictionary_read_again_in_a_fresh_process(tmp_path, change, expected):
    path = tmp_path / "smäll.idd"
    path.write_text(SMALL_IDD)
    idd = IDD.from_string(SMALL_IDD) if change == "text" else IDD.from_file(path)
    (tmp_path / "model.pickle").write_bytes(pickle.dumps(IDF.from_string(idd, "Zone,A;")))
    if change == "append":
        path.write_text(SMALL_IDD + "Lights,\n  A1; \\field Name\n")
    elif change == "break":
        path.write_text(SMALL_IDD + "Lights,\n  A1, \\field Name\n")
    elif change in ("delete", "text"):
        path.unlink()
    result = run_python(FRESH_RESTORE % {"pickle": str(tmp_path / "model.pickle")})
    assert result.returncode == 0, result.stderr[-2000:]
    assert result.stdout.startswith(expected.format(path=path, digest=idd.digest)), result.stdout


# --- worker processes ----------------------------------------------------------

POOL_FILES = ["1ZoneUncontrolled.idf", "1ZoneEvapCooler.idf", "Exercise1A.idf",
              "4ZoneWithShading_Simple_1.idf", "ZoneCoupledKivaBasement.idf", "DElight-Detailed-Comparison.idf"]


def rename_first_zones(models):
    for m in models:
        zone = m.get_objects("Zone")[0]
        zone["Name"] = zone["Name"] + " (worker)"
    return models


def edit_in_worker(streams):
    """Runs in a worker: each model arrives in a pickle of its own; they must
    all find the one dictionary the first of them brought in."""
    models = [pickle.loads(data) for data in streams]
    return rename_first_zones(models), len({id(state(m)[0]) for m in models})


def test_models_edited_in_worker_processes():
    if not DATA_DIR.is_dir():
        pytest.skip(f"data corpus not found at {DATA_DIR}")
    idd = corpus_idd("V8-8-0")
    models = [IDF.from_file(idd, DATA_DIR / "idf/V8-8-0" / name) for name in POOL_FILES]
    expected = [answers(rename_first_zones([copy.deepcopy(m)])[0]) for m in models]
    streams = [pickle.dumps(m) for m in models]
    context = multiprocessing.get_context("spawn")
    with concurrent.futures.ProcessPoolExecutor(2, context, initializer=site.addsitedir, initargs=(TESTS_DIR,)) as pool:
        batches = [pool.submit(edit_in_worker, streams[:3]), pool.submit(edit_in_worker, streams[3:])]
        results = [batch.result(timeout=240) for batch in batches]
    assert [dictionaries for _, dictionaries in results] == [1, 1]
    back = [m for returned, _ in results for m in returned]
    shared = pickle.loads(pickle.dumps(idd))
    for original, m, answer in zip(models, back, expected):
        assert m.get_objects("Zone")[0]["Name"].endswith(" (worker)") and state(m)[0] is shared
        assert answers(m) == answer != answers(original)


# --- faults --------------------------------------------------------------------


def test_attached_object_with_a_bad_slot_is_refused(idd, model):
    lights = model.get_object_by_name("Lights", "L1")

    class Damaging(pickle.Pickler):
        full = False

        def reducer_override(self, obj):
            if obj is not lights:
                return NotImplemented
            if self.full:  # the object's own state, as older versions wrote it
                st = obj._full_state()
                return _restore_IDFObject, (IDFObject, OBJ_SUM, None), st[:4] + (7,) + st[5:]
            fn, (cls, checksum, (parent, _obj_idx)) = obj.__reduce__()
            return fn, (cls, checksum, (parent, 7))

    for full in (False, True):
        buffer = io.BytesIO()
        pickler = Damaging(buffer, protocol=2)
        pickler.full = full
        pickler.dump(lights)
        # What happens instead: the load succeeds, the model cannot remove this
        # object, and the model's own next round trip fails.
        with pytest.raises(ValueError, match="obj_idx|objects"):
            pickle.loads(buffer.getvalue())


def test_shallow_copy_of_an_object_leaves_its_model_alone(model):
    zone = model.get_object_by_name("Zone", "A")
    try:
        clone = copy.copy(zone)
    except TypeError:
        return  # refusing shallow copies of attached objects would do too
    clone["Name"] = "Other"
    assert model.get_object_by_name("Lights", "L1").get_referenced_object("Zone Name") is zone


def test_reduced_state_is_not_the_model_itself(idd, model):
    state(model)[1][0] = IDFObject(idd, "Lights")
    assert [z["Name"] for z in model.get_objects("Zone")] == ["A", "C"]
