"""Property fuzzing (hypothesis), each property in a child interpreter: on mutated corpus text, field writes,
updates, damaged pickles and facade attribute names every step works or raises an ordinary exception."""

import pytest

from _data import DATA_DIR, run_python

PRELUDE = """
import pickle, sys, tempfile
from pathlib import Path
from hypothesis import given, settings, strategies as st, HealthCheck
from tamrix.idd import IDD
from tamrix.idf import IDF, _restore_IDF, _restore_IDFObject
from tamrix import ormic

DATA = Path(%(data)r)
IDD_PATH = DATA / "idd" / "V8-8-0-Energy+.idd"
idd = IDD.from_file(str(IDD_PATH))
TEXTS = [(DATA / "idf/V8-8-0" / n).read_text("latin-1") for n in ("smallfile.idf", "Minimal.idf", "WeatherTimeBins.idf")]
unraisable = []
sys.unraisablehook = unraisable.append
run = settings(max_examples=150, deadline=None, database=None, derandomize=True, suppress_health_check=list(HealthCheck))

def attempt(fn, *args, **kwargs):  # never SystemError, an unraisable report or a crash
    try:
        return fn(*args, **kwargs)
    except SystemError:
        raise
    except Exception:
        return None
    finally:
        assert not unraisable, unraisable

def exercise(doc):
    attempt(doc.format), attempt(doc.format, 2, 4, 30, compact=True, preserve_order=True)
    for name in attempt(doc.get_class_names) or []:
        for obj in attempt(doc.get_objects, name) or []:
            attempt(obj.get_values), attempt(repr, obj)
            attempt(obj.get_referenced_object, 1), attempt(obj.get_referencing_objects, 0)

TOKENS = st.sampled_from(["", ",", ";", "!", "\\n", "\\r\\n", "\\\\", " ", ",,;;", "Zone,", "\\x00", "\\xe9", "\\ufffd",
                          "Version,8.8;", "9" * 30, "autosize"])
EDITS = st.lists(st.tuples(st.integers(0, 10**5), st.integers(0, 200), TOKENS), min_size=1, max_size=8)
KEYS = st.one_of(st.integers(-3, 400), st.text(max_size=24), st.sampled_from(["Name", "Zone Name", "Vertex 7 X-coordinate"]))
VALUES = st.one_of(st.none(), st.booleans(), st.integers(), st.floats(), st.text(max_size=40), st.builds(object),
                   st.sampled_from(["autosize", "AutoCalculate", "1e400", " pad ", "\\r", "-0"]))
"""

BODIES = {
    "load": """
@run
@given(st.integers(0, 2), EDITS)
def check(which, edits):
    text = TEXTS[which]
    for pos, cut, insert in edits:
        pos %= len(text) + 1
        text = text[:pos] + insert + text[pos + cut:]
    with tempfile.NamedTemporaryFile(suffix=".idf") as f:
        f.write(text.encode("latin-1", "replace")), f.flush()
        attempt(IDF.from_file, idd, f.name)
    doc = attempt(IDF.from_string, idd, text)
    if doc is not None:
        exercise(doc)
        assert IDF.from_string(idd, doc.format()).format() == doc.format()
""",
    "edit": """
@run
@given(st.integers(0, 2), st.data())
def check(which, data):
    doc = IDF.from_string(idd, TEXTS[which])
    names = doc.get_class_names() + ["Zone", "BuildingSurface:Detailed", "Schedule:Compact", "nope"]
    for _ in range(data.draw(st.integers(1, 25))):
        obj = data.draw(st.sampled_from([o for n in names[:-4] for o in doc.get_objects(n)] or [None]))
        step = data.draw(st.integers(0, 5))
        if obj is None or step == 0:
            attempt(doc.add_object, data.draw(st.sampled_from(names)), data.draw(st.lists(VALUES, max_size=6)))
        elif step == 1:
            attempt(obj.__setitem__, data.draw(KEYS), data.draw(VALUES))
        elif step == 2:
            values = data.draw(st.one_of(st.lists(VALUES, max_size=30), st.dictionaries(KEYS, VALUES, max_size=5)))
            attempt(obj.update, values, data.draw(st.booleans()))
        elif step == 3:
            attempt(doc.remove_object, obj)
        else:
            attempt(obj.__getitem__, data.draw(KEYS)), attempt(obj.get_referencing_objects, data.draw(KEYS))
    exercise(doc), exercise(pickle.loads(pickle.dumps(doc)))
    attempt(IDF.from_string, idd, doc.format())
""",
    "pickle": """
DOC = IDF.from_string(idd, TEXTS[0])
OBJ = DOC.get_objects(DOC.get_class_names()[1])[0]
# Each restore with the states it takes: the model's compact and full
# states, the object's full state and its (model, slot) reference.
STATES = [(_restore_IDF, DOC.__reduce__()[1][:2], DOC.__reduce__()[2]),
          (_restore_IDF, DOC.__reduce__()[1][:2], DOC._full_state()),
          (_restore_IDFObject, OBJ.__reduce__()[1][:2], OBJ._full_state()),
          (_restore_IDFObject, OBJ.__reduce__()[1][:2], OBJ.__reduce__()[1][2])]

@run
@given(st.integers(2, 5), st.lists(st.tuples(st.integers(0, 10**6), st.binary(max_size=4)), min_size=1, max_size=4),
       st.integers(0, 11), st.one_of(st.none(), st.integers(-2, 2**64), st.binary(max_size=8), st.text(max_size=8),
                                     st.lists(st.integers(-1, 10**9), max_size=3), st.just(DOC), st.just(OBJ)))
def check(protocol, damage, slot, value):
    stream = bytearray(pickle.dumps(DOC, protocol=protocol))
    for pos, patch in damage:
        pos %= len(stream)
        stream[pos:pos + len(patch)] = patch
    restored = [attempt(pickle.loads, bytes(stream))]
    for restore, (cls, checksum), state in STATES:
        at = slot % len(state)
        restored.append(attempt(restore, cls, checksum, state[:at] + (value,) + state[at + 1:]))
    for o in restored:
        if isinstance(o, IDF):
            exercise(o)
        elif o is not None:
            attempt(repr, o), attempt(getattr(o, "get_values", repr)), attempt(pickle.dumps, o)
""",
    "ormic": """
ormic.IDF.setiddname(str(IDD_PATH))
model = ormic.IDF(str(DATA / "idf/V8-8-0/smallfile.idf"))
OBJS = [objs[0] for k in ("ZONE", "BUILDINGSURFACE:DETAILED", "VERSION", "SCHEDULE:COMPACT") if (objs := model.idfobjects[k])]

@run
@given(st.sampled_from(OBJS), st.one_of(st.text(max_size=30), st.sampled_from(["Name", "Vertex_99_Xcoordinate",
       "vertex_1_xcoordinate", "Field_0", "Number_of_Vertices", "_", "__", "___x__", "__dict__"])), st.text(max_size=10))
def check(obj, name, value):
    attempt(getattr, obj, name), attempt(setattr, obj, name, value), attempt(dir, obj), attempt(model.idfstr)
""",
}


@pytest.mark.skipif(not DATA_DIR.is_dir(), reason="data corpus not found")
@pytest.mark.parametrize("name", sorted(BODIES))
def test_property_holds_in_a_child(name):
    result = run_python(PRELUDE % {"data": str(DATA_DIR)} + BODIES[name] + "\ncheck()\nprint('ok')\n", timeout=900)
    assert result.returncode == 0 and result.stdout.strip().endswith("ok"), result.stderr[-4000:]


def test_keywords_given_to_a_method_that_takes_none_are_refused():
    # The refusal once read the keyword's value from an argument array that
    # no-argument methods do not pass (a null pointer).
    result = run_python("""
        from tamrix.idd import IDD
        from tamrix.idf import IDF
        from tamrix import lexer, ormic
        doc = IDF.from_string(IDD.from_string("Zone,A1;"), "Zone,a;")
        calls = [lambda: doc.get_class_names(x=1), lambda: doc.__reduce__(protocol=2),
                 lambda: lexer._new_lexer(b"a;").test(all=True), lambda: ormic.IDF.__new__(ormic.IDF).printidf(x=1)]
        for call in calls:
            try:
                call()
            except TypeError as e:
                print(e)
    """)
    assert result.returncode == 0, result.stderr[-3000:]
    assert result.stdout.count("got an unexpected keyword argument") == 4
