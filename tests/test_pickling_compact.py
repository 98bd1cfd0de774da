"""Models pickle as their source text plus what changed since it was read:
small pickles that restore to equal models, older pickles still loading, and
dictionaries registered with a process travelling by digest alone."""

from __future__ import annotations

import io
import pickle
import shutil

import pytest

from _data import DATA_DIR, EXAMPLE_IDD, corpus_idd, run_python
from tamrix.idd import IDD, _register, _registered
from tamrix.idf import IDF, IDFObject, _restore_IDF, _restore_IDFObject

IDF_SUM, OBJ_SUM = 0xF3AC116, 0x562C8F1
IDD_TEXT = EXAMPLE_IDD + "! compact pickling tests\n"
TEXT = (
    "! a model with comments\r\nZone,A;  ! first\r\nZone,B;\r\nLights,L1,A;\r\nLights,L2,B;\r\n"
    "Lights,L3,A;\r\nZone,C;\r\n! the end\r\n"
)
CORPUS = [("V8-8-0", "1ZoneUncontrolled.idf"), ("V8-8-0", "2ZoneDataCenterHVAC_wEconomizer-baseline.idf"),
          ("V8-0-0", "5ZoneWaterLoopHeatPump.idf"), ("V8-0-0", "ASHRAE90.1_SchoolPrimary_STD2007_Salem.idf")]


@pytest.fixture(scope="module")
def idd():
    return IDD.from_string(IDD_TEXT)


def full_form(data: bytes | None = None, protocol: int = 2, *objs) -> bytes:
    """Pickles objs as versions before the compact state did: every model
    and object in its full state."""

    class Older(pickle.Pickler):
        def reducer_override(self, obj):
            if isinstance(obj, IDF):
                return _restore_IDF, (type(obj), IDF_SUM, None), obj._full_state()
            if isinstance(obj, IDFObject) and obj._full_state()[5] is not None:
                return _restore_IDFObject, (type(obj), OBJ_SUM, None), obj._full_state()
            return NotImplemented

    buffer = io.BytesIO()
    Older(buffer, protocol=protocol).dump(objs[0] if len(objs) == 1 else objs)
    return buffer.getvalue()


def index_of(m: IDF) -> tuple:
    """The class lists and the reference index, as the full state holds them
    (classes emptied by removals aside)."""
    st = m._full_state()
    return ({k: v for k, v in st[2].items() if v}, st[3], st[4])


def everything(m: IDF) -> tuple:
    """All that a restored model must give back equal."""
    objects = m._full_state()[1]
    per_slot = [None if o is None else (o.class_name, o.get_values(), o._raw_values(), o._source_lines())
                for o in objects]
    answers = []
    for zone in m.get_objects("Zone"):
        name = zone["Name"]
        answers.append((name, [(o.class_name, o[0]) for o in zone.get_referencing_objects("Name")],
                        m.get_object_by_name("Zone", name).get_values()))
    for lights in m.get_objects("Lights"):
        target = lights.get_referenced_object(1)
        answers.append((lights[0], target and target.get_values()))
    return (per_slot, index_of(m), answers, m.format(), m.format(preserve_order=True),
            m.format(original_layout=True), [o.get_values() for c in ("Zone", "Lights") for o in m.get_objects(c)])


def assert_restores_equal(m: IDF) -> IDF:
    blob = pickle.dumps(m)
    restored = pickle.loads(blob)
    assert type(restored) is type(m)
    assert everything(restored) == everything(m)
    # And again: a restored model pickles as compactly and restores the same.
    assert everything(pickle.loads(pickle.dumps(restored))) == everything(m)
    return restored


# --- round trips -------------------------------------------------------------


def edits(idd):
    """Models edited in every way a model records."""

    def edited(m):
        m.get_object_by_name("Lights", "L1")["Zone Name"] = "C"
        m.get_object_by_name("Zone", "B")["Name"] = "B2"

    def added_and_removed(m):
        m.remove_object(m.get_object_by_name("Lights", "L2"))
        m.remove_object(m.get_object_by_name("Zone", "C"))  # the text's last object
        m.add_object("Zone", ["D"])
        m.remove_object(m.add_object("Lights", ["gone", "D"]))
        m.add_object("Lights", ["L4", "D"])

    def renamed(m):
        m.get_object_by_name("Zone", "A").rename("Hall")

    def edited_back(m):
        # Back to its loaded value: no longer as loaded, and the reference
        # entries under "A" now stand in another order.
        lights = m.get_object_by_name("Lights", "L1")
        lights["Zone Name"] = "B"
        lights["Zone Name"] = "A"

    def reordered(m):
        m._place(m.get_objects("Zone")[-1], 0)
        m._place(m.get_objects("Lights")[0], 2)

    def copied_in(m):
        other = IDF.from_string(idd, "Zone,Far;Lights,LF,Far;")
        m.copy_object(other.get_objects("Zone")[0])
        lights = IDFObject(idd, "Lights")
        lights.update(["LA", "Far"])
        m._attach(lights)

    def everything_at_once(m):
        for change in (edited, added_and_removed, renamed, edited_back, reordered, copied_in):
            change(m)

    return [edited, added_and_removed, renamed, edited_back, reordered, copied_in, everything_at_once]


@pytest.mark.parametrize("change", range(7), ids=lambda i: ["edited", "added-removed", "renamed", "edited-back",
                                                             "reordered", "copied-in", "all"][i])
def test_edited_models_restore_equal(idd, change):
    m = IDF.from_string(idd, TEXT)
    edits(idd)[change](m)
    restored = assert_restores_equal(m)
    # The same further edits give the same model: the indexes came back live.
    for x in (m, restored):
        x.add_object("Zone", ["Later"])
        x.get_objects("Lights")[0]["Zone Name"] = "Later"
        x.remove_object(x.get_objects("Zone")[0])
    assert everything(restored) == everything(m)


def test_saved_file_in_its_encoding(idd, tmp_path):
    path = tmp_path / "latin.idf"
    path.write_bytes("\ufeffZone,Caf\u00e9;  ! caf\u00e9\nLights,L,Caf\u00e9;\n".encode("utf-8"))
    m = IDF.from_file(idd, path)
    m.add_object("Zone", ["Neu"])
    restored = assert_restores_equal(m)
    m.save(tmp_path / "a.idf", original_layout=True)
    restored.save(tmp_path / "b.idf", original_layout=True)
    assert (tmp_path / "a.idf").read_bytes() == (tmp_path / "b.idf").read_bytes()
    assert (tmp_path / "a.idf").read_bytes().startswith(b"\xef\xbb\xbf")


@pytest.mark.parametrize("version, name", CORPUS, ids=[n for _, n in CORPUS])
def test_corpus_pickles_are_smaller_than_their_files(version, name):
    path = DATA_DIR / "idf" / version / name
    if not path.is_file():
        pytest.skip(f"data corpus not found at {DATA_DIR}")
    m = IDF.from_file(corpus_idd(version), path)
    size = path.stat().st_size
    assert len(pickle.dumps(m)) < size
    # Edited all over, it still travels as its text plus the changes.
    for obj in m.get_objects("Zone"):
        obj.rename(obj[0] + " renamed")
    for cls in ("Output:Variable", "Output:Meter", "Schedule:Compact"):
        m.remove_all_objects(cls)
    blob = pickle.dumps(m)
    assert len(blob) < size
    assert b"\\memo" not in blob and b"\\field" not in blob  # no dictionary text
    assert_restores_equal(m)


# --- older pickles and objects -----------------------------------------------


def test_older_full_states_still_restore(idd):
    m = IDF.from_string(idd, TEXT)
    for change in edits(idd):
        change(m) if change.__name__ != "everything_at_once" else None
    zone = m.get_objects("Zone")[1]
    for protocol in (2, pickle.HIGHEST_PROTOCOL):
        old = full_form(None, protocol, m, zone)
        m2, zone2 = pickle.loads(old)
        assert everything(m2) == everything(m) and zone2 is m2.get_objects("Zone")[1]
        # Restored from an older pickle, it pickles compactly from then on.
        assert isinstance(m2.__reduce__()[2][0], str)
        assert everything(pickle.loads(pickle.dumps(m2))) == everything(m)


def test_objects_pickled_with_their_model_are_its_objects(idd):
    m = IDF.from_string(idd, TEXT)
    lights = m.get_object_by_name("Lights", "L3")
    m2, lights2, zone2 = pickle.loads(pickle.dumps((m, lights, m.get_objects("Zone")[2])))
    assert lights2 is m2.get_object_by_name("Lights", "L3") and zone2 is m2.get_object_by_name("Zone", "C")
    alone = pickle.loads(pickle.dumps(lights))  # brings its model
    assert alone.get_referenced_object("Zone Name") is alone._full_state()[5].get_object_by_name("Zone", "A")
    # An object removed from its model pickles on its own.
    m.remove_object(lights)
    assert pickle.loads(pickle.dumps(lights)).get_values() == ["L3", "A"]


def test_damaged_compact_states_are_refused(idd):
    m = IDF.from_string(idd, TEXT)
    m.add_object("Zone", ["D"])
    st = m.__reduce__()[2]
    assert st[0] == "source-1" and st[5] == 7

    def damaged(i, value, **more):
        out = st[:i] + (value,) + st[i + 1:]
        for j, v in more.items():
            out = out[:int(j[1:])] + (v,) + out[int(j[1:]) + 1:]
        return out

    for bad, message in [
        (damaged(0, "source-9"), "unknown model state 'source-9'"),
        (damaged(5, 5, i7=[]), "slot_count: 5 slots for the 6 objects of the text"),
        (damaged(5, 8), "slot_count: slot 7 is past the objects of the text but neither added nor removed"),
        (damaged(6, [(6, [b"X"])]), "edited: slot 6 holds no object of the text"),
        (damaged(6, [(99, [b"X"])]), "edited: object index 99 is beyond the 7 objects"),
        (damaged(7, [(6, 99, [b"X"])]), "added: class_idx 99 is beyond"),
        (damaged(9, [(b"ZONE", [0, 1])]), "class_orders: the order of b'ZONE' does not match"),
        (damaged(10, [(0, b"ZoneNames", b"A", [(2, 0)])]), "ref_orders: the entry b'A' of b'ZoneNames'"),
    ]:
        with pytest.raises(ValueError, match=message.replace("(", r"\(").replace(")", r"\)")):
            _restore_IDF(IDF, IDF_SUM, bad)
    with pytest.raises(Exception):
        _restore_IDF(IDF, IDF_SUM, damaged(2, b"not compressed"))


# --- dictionaries ------------------------------------------------------------


def test_registered_dictionaries_pickle_by_digest(tmp_path):
    text = IDD_TEXT + "! registered\n"
    from_text = IDD.from_string(text)
    assert pickle.dumps(from_text).count(b"registered") == 1  # its text travels
    assert _register(from_text) is from_text and from_text.digest in _registered()
    blob = pickle.dumps(IDF.from_string(from_text, "Zone,A;"))
    assert b"registered" not in blob  # now the digest is enough
    assert pickle.loads(blob)._idd is from_text
    # Registered by its text, the dictionary already here is the one kept.
    assert _register(text.encode()) is from_text
    # Text with a path: the dictionary remembers where it came from.
    other = IDD_TEXT + "! elsewhere\n"
    held = _register(other, str(tmp_path / "gone.idd"))
    assert held.path == str(tmp_path / "gone.idd") and held.digest in _registered()
    assert pickle.loads(pickle.dumps(IDF.from_string(held, "Zone,A;")))._idd is held
    with pytest.raises(TypeError, match="expects an IDD or its text"):
        _register(1)


REGISTER_IN_CHILD = """
import pickle, sys
from tamrix.idd import _register
blob = open(%(pickle)r, "rb").read()
try:
    pickle.loads(blob)
except Exception as e:
    print(type(e).__name__, e)
_register(open(%(text)r, "rb").read(), %(path)r)
m = pickle.loads(blob)
print("restored", m.get_objects("Zone")[0]["Name"], m._idd.path)
"""


def test_a_process_without_the_file_restores_from_the_registered_text(tmp_path):
    path = tmp_path / "copy.idd"
    path.write_text(IDD_TEXT + "! copied\n")
    keep = tmp_path / "kept.txt"
    shutil.copy(path, keep)
    idd = IDD.from_file(path)
    (tmp_path / "m.pickle").write_bytes(pickle.dumps(IDF.from_string(idd, "Zone,Here;")))
    path.unlink()
    result = run_python(REGISTER_IN_CHILD % {"pickle": str(tmp_path / "m.pickle"), "text": str(keep),
                                              "path": str(path)})
    assert result.returncode == 0, result.stderr[-2000:]
    first, second = result.stdout.splitlines()
    assert first.startswith(f"FileNotFoundError the dictionary '{path}' (digest {idd.digest}) is not registered")
    assert "call tamrix.dask.register(client, idd)" in first
    assert second == f"restored Here {path}"
