"""What the user wrote survives a round trip: the original layout (bytes,
comments, line ends, encoding, byte-order mark), comments kept in the
standard layout, saving in an encoding, and the source record in pickles."""

from __future__ import annotations

import io
import pickle

import pytest

from _data import EXAMPLE_IDD, corpus_idd, corpus_params
from tamrix.idd import IDD
from tamrix.idf import IDF, IDFObject, _restore_IDFObject


@pytest.fixture(scope="module")
def idd():
    return IDD.from_string(EXAMPLE_IDD)


def load_bytes(idd, tmp_path, raw: bytes, name="model.idf") -> IDF:
    path = tmp_path / name
    path.write_bytes(raw)
    return IDF.from_file(idd, str(path))


def saved(model: IDF, tmp_path, **kwargs) -> bytes:
    out = tmp_path / "out.idf"
    model.save(str(out), original_layout=True, **kwargs)
    return out.read_bytes()


# --- the original layout ------------------------------------------------------------

@pytest.mark.parametrize("version, path", corpus_params())
def test_corpus_files_come_back_byte_for_byte(version, path, tmp_path):
    model = IDF.from_file(corpus_idd(version), str(path))
    assert saved(model, tmp_path) == path.read_bytes()


AWKWARD = {
    "comment bytes that are not UTF-8": b"! caf\xe9 \x80 \x81\nZone,Z1;  ! \xb0C\nLights,L1,Z1;\n",
    "ends inside a comment": b"Zone,Z1;\n! the end, no newline",
    "no final newline": b"Zone,Z1;\nLights,L1,Z1;",
    "CR-only line ends": b"! a\rZone,\r  Z1;  ! b\r! c\rLights,L1,Z1;\r",
    "CRLF line ends": b"Zone,\r\n  Z1;\r\n\r\nLights,L1,Z1;\r\n",
    "comments between fields": b"Lights,\n  ! note\n  L1,\n\n  ! other\n  Z1;\nZone,Z1;\n",
    "two objects on one line": b"Zone,Z1;Lights,L1,Z1;  ! both\nZone,Z2;\n",
    "blank lines inside an object": b"Lights,\n\n  L1,\n\n\n  Z1\n  ;\nZone,Z1;\n",
    "byte-order mark": b"\xef\xbb\xbfZone,Z1;\n",
    "byte-order mark before Windows-1252": b"\xef\xbb\xbf! \xe9\nZone,Z1;\n",
    "text after the last object": b"Zone,Z1;\n\n! trailing\n!- generated\n\n",
}


@pytest.mark.parametrize("raw", list(AWKWARD.values()), ids=list(AWKWARD))
def test_awkward_files_come_back_byte_for_byte_and_edits_stay_local(idd, tmp_path, raw):
    model = load_bytes(idd, tmp_path, raw)
    assert saved(model, tmp_path) == raw
    # One edit: the file reads back with that value changed and every other
    # object as it was; the other objects' bytes are still there unchanged.
    before = {o["Name"]: o.get_values() for o in model["Lights"] + model["Zone"]}
    zone = model["Zone"][0]
    zone["Name"] = "Renamed"
    edited = saved(model, tmp_path)
    reread = load_bytes(idd, tmp_path, edited, "again.idf")
    after = {o["Name"]: o.get_values() for o in reread["Lights"] + reread["Zone"]}
    before["Renamed"] = ["Renamed"]
    del before["Z1"]
    assert after == before
    for light in model["Lights"]:
        if light._source_lines() is not None:
            assert light["Name"].encode() in edited


def test_cr_only_text_loses_nothing_after_a_comment(idd, tmp_path):
    model = load_bytes(idd, tmp_path, b"! a comment\rZone,Z1;\r! another\rLights,L1,Z1;\r")
    assert [o["Name"] for o in model["Zone"] + model["Lights"]] == ["Z1", "L1"]
    assert model["Lights"][0]._source_lines() == (4, 4)


def test_an_edited_object_keeps_its_comments_and_place(idd):
    text = "! zones\nZone,Z1;\n\n! the light\nLights,  ! on the class line\n  L1,  ! its name\n  ! before zone\n  Z1;\n! end\n"
    model = IDF.from_string(idd, text)
    lights = model["Lights"][0]
    # A changed value is replaced where it stands: the diff is that one line.
    lights["Name"] = "L2"
    assert model.format(original_layout=True) == text.replace("L1", "L2")
    # With fewer values the object is written anew, in the standard layout,
    # with its comments where they were.
    lights["Zone Name"] = None
    assert model.format(original_layout=True) == (
        "! zones\nZone,Z1;\n\n! the light\n"
        "Lights,  ! on the class line\n"
        "  ! before zone\n"
        "  L2;                      !- Name  ! its name\n"
        "! end\n"
    )


def test_removed_objects_go_with_their_comments_and_added_ones_come_last(idd, tmp_path):
    raw = b"! first\r\nZone,Z1;\r\n! second\r\nZone,Z2;\r\n! tail\r\n"
    model = load_bytes(idd, tmp_path, raw)
    model.remove_object(model.get_object_by_name("Zone", "Z1"))
    model.add_object("Lights", ["L9", "Z2"])
    assert saved(model, tmp_path) == (
        b"! second\r\nZone,Z2;\r\n! tail\r\n\r\n"
        b"Lights,\r\n    L9,                      !- Name\r\n    Z2;                      !- Zone Name\r\n"
    )


def test_a_model_from_a_string_saves_as_utf8_with_lf(idd, tmp_path):
    model = IDF.from_string(idd, "Zone,Zoné;  ! é\n")
    assert saved(model, tmp_path) == "Zone,Zoné;  ! é\n".encode()


def test_source_lines_follow_the_file_and_end_with_an_edit(idd):
    model = IDF.from_string(idd, "Zone,Z1;\nLights,\n  L1,\n\n  Z1;\n")
    lights = model["Lights"][0]
    assert lights._source_lines() == (3, 5)
    lights["Zone Name"] = "Z1"  # the same text: still as read
    assert lights._source_lines() == (3, 5)
    lights["Zone Name"] = "Z2"
    assert lights._source_lines() is None
    assert model.add_object("Zone", ["Z3"])._source_lines() is None


# --- comments in the standard layout --------------------------------------------------

def test_keep_comments_places_each_comment(idd):
    text = (
        "! Generated using Tamrix.py\n! my model\nZone,Z1;  ! zone one\n\n"
        "! ***EXAMPLE GROUP***\n! lights\nLights,\n  L1,  ! name note\n  !- Zone Name\n  Z1;\n! the end\n"
    )
    model = IDF.from_string(idd, text)
    assert model.format(keep_comments=True) == (
        "! ***EXAMPLE GROUP***\n\n"
        "! my model\n"
        "Zone,\n    Z1;                      !- Name  ! zone one\n\n"
        "! lights\n"
        "Lights,\n    L1,                      !- Name  ! name note\n    Z1;                      !- Zone Name\n\n"
        "! the end"
    )
    # Without the option the standard layout is as it always was.
    assert "my model" not in model.format()


def test_comments_of_fields_past_the_last_written_one_stay_with_the_object(idd):
    model = IDF.from_string(idd, "Lights,\n  L1,\n  ;  ! blank zone\n")
    assert model.format(keep_comments=True, preserve_order=True) == (
        "Lights,\n    L1;                      !- Name  ! blank zone"
    )


# --- saving in an encoding -----------------------------------------------------------

def test_windows_1252_files_stay_windows_1252(idd, tmp_path):
    raw = "! Température °C\nZone,Zoné;\n".encode("cp1252")
    model = load_bytes(idd, tmp_path, raw)
    assert saved(model, tmp_path) == raw
    assert saved(model, tmp_path, encoding="utf-8") == raw.decode("cp1252").encode()
    out = tmp_path / "std.idf"
    model.save(str(out), encoding="latin-1", include_timestamp=False)
    assert "Zoné" in out.read_bytes().decode("latin-1")


def test_a_value_the_encoding_cannot_hold_is_named_and_the_file_is_untouched(idd, tmp_path):
    model = IDF.from_string(idd, "Zone,Z1;\nLights,L→1,Z1;\n")
    target = tmp_path / "precious.idf"
    target.write_bytes(b"precious")
    with pytest.raises(UnicodeEncodeError, match=r'in Lights "L→1", field Name'):
        model.save(str(target), encoding="cp1252")
    with pytest.raises(UnicodeEncodeError, match="line 1"):
        IDF.from_string(idd, "! →\nZone,Z1;\n").save(str(target), original_layout=True, encoding="cp1252")
    assert target.read_bytes() == b"precious"


def test_an_unknown_encoding_is_refused_before_writing(idd, tmp_path):
    with pytest.raises(LookupError):
        IDF.from_string(idd, "Zone,Z1;").save(str(tmp_path / "x.idf"), encoding="no-such-codec")
    assert not (tmp_path / "x.idf").exists()


# --- pickles --------------------------------------------------------------------------

def test_pickles_keep_the_source_record(idd, tmp_path):
    raw = b"! top\r\nZone,Z1;  ! one\r\nLights,L1,Z1;\r\n"
    model = load_bytes(idd, tmp_path, raw)
    model["Lights"][0]["Name"] = "L2"
    clone = pickle.loads(pickle.dumps(model))
    assert clone.format(original_layout=True) == model.format(original_layout=True)
    assert clone.format(keep_comments=True) == model.format(keep_comments=True)
    assert clone["Zone"][0]._source_lines() == (2,)
    assert clone["Lights"][0]._source_lines() is None


def test_pickles_without_a_source_record_still_restore(idd):
    model = IDF.from_string(idd, "! c\nZone,Z1;\n")

    class OldFormat(pickle.Pickler):
        # The model's state as pickles held it before the source record.
        def reducer_override(self, obj):
            if obj is model:
                restore, args, _ = obj.__reduce__()
                return restore, args, obj._full_state()[:5]
            if isinstance(obj, IDFObject):
                return _restore_IDFObject, (IDFObject, 0x562C8F1, None), obj._full_state()
            return NotImplemented

    stream = io.BytesIO()
    OldFormat(stream).dump(model)
    old = pickle.loads(stream.getvalue())
    assert old.format() == model.format()
    assert old.format(original_layout=True) == "Zone,\n    Z1;                      !- Name\n"
    assert old["Zone"][0]._source_lines() is None
