"""Loading documents: IDF.from_string / IDF.from_file, the parser's grammar
and error reports, class-name matching, and bad input of every kind."""

from __future__ import annotations

import gc
import os
import pickle
import weakref

import pytest

from _data import DATA_DIR, EXAMPLE_IDD, corpus_idd, corpus_params, object_count, readme_object_counts, run_python
from tamrix.idd import IDD
from tamrix.idf import IDF, IDFObject


@pytest.fixture(scope="module")
def idd():
    return IDD.from_string(EXAMPLE_IDD)


def flat(doc) -> str:
    return doc.format(preserve_order=True, compact=True)


# --- arguments and construction -------------------------------------------


@pytest.mark.parametrize(
    "call, exc, message",
    [
        (lambda d, p: IDF(), TypeError, "IDF cannot be instantiated directly. Use IDF.from_file() or IDF.from_string()."),
        (lambda d, p: IDF(1), TypeError, "__init__() takes exactly 0 positional arguments (1 given)"),
        (lambda d, p: IDF.from_string(None, "Zone,A;"), TypeError,
         "Argument 'idd' has incorrect type (expected tamrix.idd.IDD, got NoneType)"),
        (lambda d, p: IDF.from_file("idd", p), TypeError,
         "Argument 'idd' has incorrect type (expected tamrix.idd.IDD, got str)"),
        (lambda d, p: IDF.from_string(d, b"Zone,A;"), TypeError,
         "Argument 'content' has incorrect type (expected str, got bytes)"),
        (lambda d, p: IDF.from_string(d, type("S", (str,), {})("Zone,A;")), TypeError,
         "Argument 'content' has incorrect type (expected str, got S)"),
        (lambda d, p: IDF.from_string(d, None), AttributeError, "'NoneType' object has no attribute 'encode'"),
        (lambda d, p: IDF.from_file(d, p, b"utf-8"), TypeError,
         "Argument 'encoding' has incorrect type (expected str, got bytes)"),
        (lambda d, p: IDF.from_string(d), TypeError, "from_string() takes exactly 2 positional arguments (1 given)"),
        (lambda d, p: IDF.from_file(d, p, None, 1), TypeError,
         "from_file() takes at most 3 positional arguments (4 given)"),
        (lambda d, p: IDF.from_file(d, p, x=1), TypeError, "from_file() got an unexpected keyword argument 'x'"),
    ],
)
def test_bad_arguments(idd, tmp_path, call, exc, message):
    path = tmp_path / "a.idf"
    path.write_text("Zone,A;")
    with pytest.raises(exc) as info:
        call(idd, path)
    assert str(info.value) == message


def test_keywords_and_subclasses(idd, tmp_path):
    class Model(IDF):
        pass

    path = tmp_path / "a.idf"
    path.write_text("Zone,A;")
    for doc in [
        Model.from_string(idd=idd, content="Zone,A;"),
        Model.from_file(idd, filepath=path, encoding=None),
        Model.from_file(idd, str(path), "ascii"),
        Model.from_file(idd, bytes(path)),
    ]:
        assert type(doc) is Model
        assert flat(doc) == "Zone,A;"


def test_unloaded_document_is_inert(tmp_path):
    doc = IDF.__new__(IDF)
    assert repr(doc) == "<tamrix.idf.IDF (not loaded)>"
    with pytest.raises(TypeError):
        doc.format()
    with pytest.raises(TypeError):
        doc.save(tmp_path / "out.idf")
    assert not (tmp_path / "out.idf").exists()
    with pytest.raises(TypeError, match="cannot be instantiated"):
        doc.__init__()


# --- grammar ---------------------------------------------------------------


@pytest.mark.parametrize(
    "text, expected",
    [
        ("", ""),
        ("! only a comment\n\n   \n", ""),
        ("Zone,A;", "Zone,A;"),
        ("Zone;", "Zone;"),
        ("Lights,,Z;", "Lights,,Z;"),  # empty fields are kept
        ("Lights,L,,,;", "Lights,L;"),  # trailing empty ones are not written back
        ("  Lights ,\n\t L 1\t,\n  Z ;  ", "Lights,L 1,Z;"),  # blanks around values go, inner ones stay
        ("Zone,A ! the name; not a delimiter\n;", "Zone,A;"),
        ("Zone,A;Zone,B;\r\nZone,\r\nC;\r\n", "Zone,A;\nZone,B;\nZone,C;"),
        ("Zone,A;\rZone,B;", "Zone,A;\nZone,B;"),  # a lone CR is a blank
        ("Zone,A\x00B;", "Zone,A\x00B;"),
        ("Zone,Caf\u00e9 \u20ac \U0001f600;", "Zone,Caf\u00e9 \u20ac \U0001f600;"),
        ("Zone,=$x * 2;", "Zone,=$x * 2;"),
        # class names match the dictionary ASCII-case-insensitively
        ("zone,Office;ZONE,b;", "Zone,Office;\nZone,b;"),
        ("LIGHTS,l,z;", "Lights,l,z;"),
    ],
)
def test_grammar(idd, text, expected):
    assert flat(IDF.from_string(idd, text)) == expected


@pytest.mark.parametrize(
    "text, message",
    [
        ("Zone\n  Office,", "IDF parsing error (Line 2): missing delimiter before 'Office'."),
        ("Zone,A;\r\nZone\r\n\r\n  B;", "IDF parsing error (Line 4): missing delimiter before 'B'."),
        ("Zone ! c\nOffice;", "IDF parsing error (Line 2): missing delimiter before 'Office'."),
        ("Zone,A", "IDF parsing error (Line 1): unterminated object before EOF; missing ';'."),
        ("Zone,A;Zone\n", "IDF parsing error (Line 1): unterminated object before EOF; missing ';'."),
        ("A, b\n\n\n\n", "IDF parsing error (Line 4): unterminated object before EOF; missing ';'."),
        ("A, b\n\n\n\n ", "IDF parsing error (Line 5): unterminated object before EOF; missing ';'."),
        ("Zone,A\n! last words\n", "IDF parsing error (Line 2): unterminated object before EOF; missing ';'."),
        ("Foo,a;", "IDF parsing error: Unknown class: 'Foo'"),
        ("Zone,a;\nfOO;", "IDF parsing error: Unknown class: 'fOO'"),
        (";", "IDF parsing error: Unknown class: ''"),
        (",A;", "IDF parsing error: Unknown class: ''"),
        ("Zone,A;;", "IDF parsing error: Unknown class: ''"),
        ("Zo ne,A;", "IDF parsing error: Unknown class: 'Zo ne'"),
        ("Z\u00d6NE,A;", "IDF parsing error: Unknown class: 'Z\u00d6NE'"),  # no Unicode case folding
        ("\ufeffZone,A;", "IDF parsing error: Unknown class: '\ufeffZone'"),
        # the whole text is checked for syntax before classes are looked up
        ("Foo,a;\nZone\nB;", "IDF parsing error (Line 3): missing delimiter before 'B'."),
        ("Foo,a;\nZone,B", "IDF parsing error (Line 2): unterminated object before EOF; missing ';'."),
    ],
)
def test_parse_errors(idd, text, message):
    with pytest.raises(ValueError) as info:
        IDF.from_string(idd, text)
    assert str(info.value) == message


# --- objects ---------------------------------------------------------------


def test_objects_carry_dictionary_class_names(idd):
    doc = IDF.from_string(idd, "LIGHTS,L1,Z1;\nzone,Z1;\nZone , Z2;")
    (light,) = doc.get_objects("Lights")
    zones = doc.get_objects("ZONE")
    assert all(type(o) is IDFObject for o in (light, *zones))
    assert [o.class_name for o in (light, *zones)] == ["Lights", "Zone", "Zone"]
    assert zones[0].class_name is zones[1].class_name
    for obj, line in zip((light, *zones), ["Lights,L1,Z1;", "Zone,Z1;", "Zone,Z2;"]):
        assert repr(obj).strip("\n") == IDF.from_string(idd, line).format(preserve_order=True)


REF_IDD = r"""!IDD_Version 1.0.0
Zone,
  A1; \field Name
      \reference ZoneNames
      \reference AllNames
ZoneList,
  \extensible:1
  A1, \field Name
      \reference ZoneNames
  A2; \field Zone 1 Name
      \begin-extensible
      \object-list ZoneNames
Lights,
  A1, \field Name
  A2; \field Zone or ZoneList Name
      \object-list ZoneNames
      \object-list AllNames
"""


def test_loading_builds_the_reference_index():
    doc = IDF.from_string(
        IDD.from_string(REF_IDD),
        "Lights,L1,  zone1 ;\nZoneList,ZL,Zone1,zone2,;\nZone,Zone1;\nZone,ZONE2;\nLights,L2,zl;\nLights,L3,x;Lights,L4;",
    )
    z1, z2 = doc.get_objects("Zone")
    (zl,) = doc.get_objects("ZoneList")
    l1, l2, l3, l4 = doc.get_objects("Lights")
    # names match ASCII-case-insensitively, whichever object comes first
    assert l1.get_referenced_object("Zone or ZoneList Name") is z1
    assert l2.get_referenced_object(1) is zl
    assert zl.get_referenced_object("Zone 2 Name") is z2
    assert l3.get_referenced_object(1) is None and l4.get_referenced_object(1) is None
    assert {id(o) for o in z1.get_referencing_objects("Name")} == {id(l1), id(zl)}
    assert z2.get_referencing_objects("Name") == (zl,)
    assert zl.get_referencing_objects("Name") == (l2,)


def test_referencing_objects_are_listed_per_referring_field():
    # No de-duplication: an object is listed once for every field that names
    # the target, in registration order.
    doc = IDF.from_string(IDD.from_string(REF_IDD), "Zone,Z;\nZoneList,ZL,Z,z;\nLights,L,Z;")
    refs = doc.get_objects("Zone")[0].get_referencing_objects("Name")
    # ZoneNames: ZoneList fields 1 and 2, then Lights; AllNames: Lights again.
    assert [o[0] for o in refs] == ["ZL", "ZL", "L", "L"]


def test_corpus_reference_index():
    path = DATA_DIR / "idf" / "V8-8-0" / "1ZoneUncontrolled.idf"
    if not path.is_file():
        pytest.skip(f"{path} not found")
    doc = IDF.from_file(corpus_idd("V8-8-0"), path)
    (zone,) = doc.get_objects("Zone")
    surfaces = doc.get_objects("BuildingSurface:Detailed")
    assert len(surfaces) == 6
    assert all(s.get_referenced_object("Zone Name") is zone for s in surfaces)
    referencing = {id(o) for o in zone.get_referencing_objects("Name")}
    assert {id(s) for s in surfaces} <= referencing


def test_documents_are_freed(idd):
    doc = IDF.from_string(idd, "Zone,Z;\nLights,L,Z;")
    ref = weakref.ref(doc)
    del doc
    gc.collect()
    assert ref() is None



def live_handles() -> int:
    gc.collect()
    return sum(isinstance(o, IDFObject) for o in gc.get_objects())


@pytest.mark.parametrize("pickled", [False, True])
def test_objects_are_made_when_first_asked_for_and_stay_the_same(idd, pickled):
    """A load makes no Python object per object; whatever path asks for one
    first (a reference, a name, a class), every later path gives the same."""
    before = live_handles()
    doc = IDF.from_string(idd, "Zone,A;\nZone,B;\nLights,L1,A;\nLights,L2,B;\nLights,L3,A;\n")
    assert live_handles() == before
    assert sorted(doc.get_class_names()) == ["Lights", "Zone"] and live_handles() == before
    if pickled:  # restored models make theirs on demand too
        l2, doc = pickle.loads(pickle.dumps((doc.get_object_by_name("Lights", "L2"), doc)))
        assert l2 is doc.get_object_by_name("Lights", "l2")
    a = doc.get_object_by_name("Lights", "L1").get_referenced_object("Zone Name")
    assert a is doc["Zone"][0] and a is doc.get_object_by_name("Zone", "a")
    refs = a.get_referencing_objects("Name")
    assert [o[0] for o in refs] == ["L1", "L3"] and refs[1] is doc["Lights"][2]
    # Objects never asked for are removed, and the model still pickles whole.
    assert doc.remove_all_objects("Zone") == 2 and a._full_state()[5] is None
    again = pickle.loads(pickle.dumps(doc))
    assert flat(again) == flat(doc) == "Lights,L1,A;\nLights,L2,B;\nLights,L3,A;"
    full = pickle.loads(pickle.dumps(doc._full_state()))
    assert [o[0] for o in full[1] if o is not None] == ["L1", "L2", "L3"]

# --- files -----------------------------------------------------------------


@pytest.mark.parametrize(
    "raw, encoding, expected",
    [
        (b"\xef\xbb\xbfZone,A;", None, "Zone,A;"),  # a UTF-8 byte-order mark is dropped
        (b"\xef\xbb\xbfZone,A;", "utf-8", "Zone,A;"),
        (b"Zone,Caf\xc3\xa9;", None, "Zone,Caf\u00e9;"),
        (b"Zone,Caf\xe9 \x80 \xb0C;", None, "Zone,Caf\u00e9 \u20ac \u00b0C;"),  # not UTF-8: read as cp1252
        (b"Zone,Caf\xe9 \x80;", "latin-1", "Zone,Caf\u00e9 \x80;"),
        ("Zone,\u00c4;\r\n".encode("utf-16"), "utf-16", "Zone,\u00c4;"),
        (b"ZONE,A;\r\nzone,\r\n  B;", "ascii", "Zone,A;\nZone,B;"),
    ],
)
def test_from_file_encodings(idd, tmp_path, raw, encoding, expected):
    path = tmp_path / "in.idf"
    path.write_bytes(raw)
    assert flat(IDF.from_file(idd, path, encoding)) == expected


@pytest.mark.parametrize(
    "name, raw, encoding, exc",
    [
        ("missing.idf", None, None, FileNotFoundError),
        ("bad.idf", b"Zone,Caf\xe9;", "utf-8", UnicodeDecodeError),
        ("bad.idf", b"Zone,A;", "no-such-codec", LookupError),
    ],
)
def test_from_file_failures(idd, tmp_path, name, raw, encoding, exc):
    path = tmp_path / name
    if raw is not None:
        path.write_bytes(raw)
    with pytest.raises(exc):
        IDF.from_file(idd, path, encoding)


# --- hostile input, in a child interpreter ---------------------------------

HOSTILE = {
    "random bytes": "raw = random.Random(7).randbytes(1 << 20)",
    "NUL bytes": "raw = b'Zone,' + b'\\x00' * 100000 + b';\\x00Zone\\x00;'",
    "50 MB single line": "raw = b'Zone,' + b'x' * 50_000_000 + b';'",
    "50 MB unterminated": "raw = b'Zone,' + b'x' * 50_000_000 + b'\\n\\n'",
    "one million fields": "raw = b'Lights,' + b'v,' * 1_000_000 + b'z;'",
    "huge class name": "raw = b'Q' * 10_000_000 + b';'",
    "only delimiters": "raw = b',;' * 1_000_000",
}


@pytest.mark.parametrize("how", ["from_file", "from_string"])
@pytest.mark.parametrize("case", list(HOSTILE))
def test_hostile_input_does_not_crash(tmp_path, case, how):
    code = f"""
        import random, sys
        from tamrix.idd import IDD
        from tamrix.idf import IDF
        idd = IDD.from_string({EXAMPLE_IDD!r})
        {HOSTILE[case]}
        path = {str(tmp_path / "in.idf")!r}
        open(path, "wb").write(raw)
        try:
            if {how!r} == "from_file":
                doc = IDF.from_file(idd, path)
            else:
                doc = IDF.from_string(idd, raw.decode("utf-8", "replace"))
            doc.format(); doc.format(compact=True, preserve_order=True)
        except ValueError as exc:
            assert str(exc).startswith("IDF parsing error"), exc
        print("survived")
    """
    result = run_python(code)
    assert result.returncode == 0, result.stderr[-2000:]
    assert result.stdout.strip() == "survived"


# --- the real corpus ---------------------------------------------------------


@pytest.mark.parametrize("version, path", corpus_params())
def test_corpus_files_load(version, path):
    doc = IDF.from_file(corpus_idd(version), path)
    expected = readme_object_counts().get(f"idf/{version}/{path.name}")
    if expected is not None:
        assert object_count(doc) == expected
    assert len(doc.get_objects("Version")) == 1



@pytest.mark.skipif(bool(os.environ.get("TAMRIX_SANITIZED")), reason="an address-space limit leaves ASan no shadow memory")
def test_running_out_of_memory_while_loading_raises_and_never_returns_a_partial_model():
    # The same text under tighter and tighter address-space limits runs out
    # of memory at every step of a load in turn: copying the text, cutting
    # tokens, building the model, registering names, making Python objects.
    code = f"""
        import resource
        from tamrix.idd import IDD
        from tamrix.idf import IDF
        idd = IDD.from_string({EXAMPLE_IDD!r})
        count = 1_500_000
        text = "Zone,Z;\\nLights,L,Z;\\n" * (count // 2)
        with open("/proc/self/statm") as f:
            base = int(f.read().split()[0]) * resource.getpagesize()
        for extra_mb in (8, 24, 48, 96, 160, 260, 400, 1200):
            limit = base + extra_mb * 2**20
            resource.setrlimit(resource.RLIMIT_AS, (limit, resource.RLIM_INFINITY))
            try:
                doc = IDF.from_string(idd, text)
                outcome = len(doc.get_objects("Zone")) + len(doc.get_objects("Lights"))
                del doc
            except MemoryError:
                outcome = "MemoryError"
            resource.setrlimit(resource.RLIMIT_AS, (resource.RLIM_INFINITY, resource.RLIM_INFINITY))
            print(outcome)
    """
    result = run_python(code, timeout=300)
    assert result.returncode == 0, result.stderr[-2000:]
    outcomes = result.stdout.split()
    assert set(outcomes) <= {"MemoryError", "1500000"}, outcomes
    assert outcomes[0] == "MemoryError" and outcomes[-1] == "1500000", outcomes


@pytest.mark.skipif(bool(os.environ.get("TAMRIX_SANITIZED")), reason="an address-space limit leaves ASan no shadow memory")
def test_a_text_that_fails_on_its_classes_costs_little_memory():
    # Millions of objects of no known class (bare ';' lines) must fail on the
    # class, not run out of memory first: nothing past the failure is kept.
    # A syntax error further down is still the error given.
    code = f"""
        import resource
        from tamrix.idd import IDD
        from tamrix.idf import IDF
        idd = IDD.from_string({EXAMPLE_IDD!r})
        bare = "Zone,Z;\\n" + ";\\n" * 4_000_000
        with open("/proc/self/statm") as f:
            base = int(f.read().split()[0]) * resource.getpagesize()
        resource.setrlimit(resource.RLIMIT_AS, (base + 160 * 2**20, resource.RLIM_INFINITY))
        for text in (bare, bare + "Zone,unterminated\\n"):
            try:
                IDF.from_string(idd, text)
            except ValueError as exc:
                print(exc)
    """
    result = run_python(code, timeout=300)
    assert result.returncode == 0, result.stderr[-2000:]
    assert result.stdout.splitlines() == [
        "IDF parsing error: Unknown class: ''",
        "IDF parsing error (Line 4000002): unterminated object before EOF; missing ';'.",
    ]


# Windows-1252 leaves five bytes undefined; they read as Latin-1.
_CP1252 = [chr(b) if b in (0x81, 0x8D, 0x8F, 0x90, 0x9D) else bytes([b]).decode("cp1252") for b in range(256)]


@pytest.mark.parametrize("bom", [b"", b"\xef\xbb\xbf"])
@pytest.mark.parametrize("seed", range(4))
def test_windows_1252_files_read_exactly(idd, tmp_path, bom, seed):
    # Text that is not UTF-8 is converted where it was read, back to front:
    # runs of ASCII of every length between the high bytes, every high byte.
    import random

    rng = random.Random(seed)
    high = list(range(0x80, 0x100))
    rng.shuffle(high)
    comment = bytearray()
    for b in high:
        comment += bytes(rng.choice(b"abc ,;") for _ in range(rng.randrange(0, 20))) + bytes([b])
    raw = b"Zone,Z1;\n!" + bytes(comment) + b"\nZone,Z\xe92; ! \xb0C\n"
    path = tmp_path / "model.idf"
    path.write_bytes(bom + raw)
    doc = IDF.from_file(idd, path)
    assert doc.format(original_layout=True) == "".join(_CP1252[b] for b in raw)
    assert [z[0] for z in doc.get_objects("Zone")] == ["Z1", "Zé2"]


@pytest.mark.skipif(not hasattr(os, "mkfifo"), reason="named pipes")
def test_from_file_reads_a_pipe_to_its_end(idd, tmp_path):
    # No size to go by: the text comes in pieces and the buffer grows.
    import threading

    text = "".join(f"Zone,Z{i};\n" for i in range(30000))
    fifo = tmp_path / "model.idf"
    os.mkfifo(fifo)
    writer = threading.Thread(target=fifo.write_text, args=(text,))
    writer.start()
    doc = IDF.from_file(idd, fifo)
    writer.join()
    assert len(doc.get_objects("Zone")) == 30000
