"""Finding a model's dictionary: its Version read with the tokenizer's rules
(comments, letter case, byte-order mark, far into a file), version numbers,
dictionary files by first line and by name, the search path, and the
command line on a model saved with a byte-order mark."""

from __future__ import annotations

import os
import re

import pytest

from _data import DATA_DIR
from tamrix import cli, discovery
from tamrix.lexer import _model_version

V88 = DATA_DIR / "idf" / "V8-8-0"
needs_corpus = pytest.mark.skipif(not DATA_DIR.is_dir(), reason=f"data corpus not found at {DATA_DIR}")
BOM = b"\xef\xbb\xbf"


@pytest.mark.parametrize("text, version", [
    (b"Version,8.8;", "8.8"),
    (b"! Version, 9.1;\nTimestep,4;\n  VERSION ,\n 8.8.0 ; ! comment\n", "8.8.0"),  # comments skipped
    (BOM + b"! saved by an editor\r\nVersion,\r\n  8.0;\r\n", "8.0"),
    (BOM + b"version, 7.2;", "7.2"),
    (b"Zone,Version,3;\nOutput:Variable,*,Version;\nVersion,9.1;", "9.1"),  # a value, not a class
    (b"Version,,8.8;", ""),  # blank
    (b"Version;", ""),
    (b"Timestep,4;\nZone,A;", None),
    (b"Version,8.", None),  # cut short: the value may go on
    (b"\xb0C Version", None),
])
def test_version_is_read_with_the_tokenizers_rules(text, version):
    assert _model_version(text) == version


def test_version_far_into_a_file_or_across_the_first_read(tmp_path):
    model = tmp_path / "late.idf"
    padding = b"".join(b"Zone,Zone %d;\n" % i for i in range(8000))  # past the first read
    model.write_bytes(padding + b"Version,8.8.0;\n")
    assert discovery.read_model_version(str(model)) == "8.8.0"
    # The first read ends inside the value: the whole value is still found.
    cut = discovery._VERSION_PREFIX_BYTES
    head = b"!" + b"x" * (cut - len("!\nVersion,8.") - 1) + b"\nVersion,8."
    model.write_bytes(head + b"8;\n")
    assert _model_version(head) is None and discovery.read_model_version(str(model)) == "8.8"
    model.write_bytes(b"Timestep,4;\nVersion, ;\n")
    assert discovery.read_model_version(str(model)) is None
    with pytest.raises(discovery.DiscoveryError, match="cannot read"):
        discovery.read_model_version(str(tmp_path / "missing.idf"))


def test_version_numbers_and_dictionary_file_names(tmp_path):
    assert [discovery.major_minor(v) for v in ("8.8", "8.8.0", "8.1.0.009", " 9", "9.x", "x", "", None, "٨.٨")] == [
        (8, 8), (8, 8), (8, 1), (9, 0), (9, 0), None, None, None, None]
    assert [discovery._name_version(n) for n in (
        "V8-8-0-Energy+.idd", "v23-2-0-energy+.IDD", "8-0-Energy+.idd", "V8-Energy+.idd", "V8-x-0-Energy+.idd",
        "Energy+.idd", "V8-8-0.idd")] == [(8, 8), (23, 2), (8, 0), None, None, None, None]
    firsts = {"a.idd": b"!IDD_Version 8.9.0\n", "b.idd": b"  ! idd_version   8.8\n", "c.idd": b"!IDD_Version8.9\n",
              "d.idd": b"IDD_Version 8.9\n", "e.idd": b"!IDD_Version x\n"}
    for name, first in firsts.items():
        (tmp_path / name).write_bytes(first)
    assert [discovery.idd_file_version(str(tmp_path / n)) for n in firsts] == [(8, 9), (8, 8), None, None, None]


@needs_corpus
def test_dictionary_found_by_version_in_search_path(tmp_path, monkeypatch):
    (tmp_path / "a").mkdir()
    (tmp_path / "b").mkdir()
    (tmp_path / "a" / "Energy+.idd").symlink_to(DATA_DIR / "idd" / "V8-0-0-Energy+.idd")
    (tmp_path / "a" / "other.idd").write_text("!IDD_Version 8.9.0\n")
    (tmp_path / "a" / "V8-8-0-Energy+.idd").write_text("!IDD_Version 8.0.0\n")  # the first line decides
    (tmp_path / "b" / "mine.idd").symlink_to(DATA_DIR / "idd" / "V8-8-0-Energy+.idd")
    monkeypatch.setenv(discovery.IDD_PATH_VARIABLE, os.pathsep.join([str(tmp_path / "a"), str(tmp_path / "b")]))
    assert discovery.find_dictionary("8.8.0", "m.idf") == str(tmp_path / "b" / "mine.idd")
    assert discovery.find_dictionary("8.0", "m.idf") == str(tmp_path / "a" / "Energy+.idd")
    with pytest.raises(discovery.DiscoveryError, match=re.escape(str(tmp_path / "b" / "*.idd"))):
        discovery.find_dictionary("23.2", "m.idf")
    # One dictionary serves every file of its version in a run.
    cache = cli.DictionaryCache()
    first = cache.get(cache.for_model(str(V88 / "Minimal.idf")))
    again = cache.get(cache.for_model(str(V88 / "Exercise1A.idf")))
    assert first[1] and not again[1] and first[0] is again[0]


@needs_corpus
@pytest.mark.parametrize("name", [
    "GroundTempOSCCompactSched.idf",  # UTF-8 text
    "Minimal.idf",  # Windows-1252 bytes after the mark
])
def test_a_model_saved_with_a_byte_order_mark(capsys, tmp_path, monkeypatch, name):
    monkeypatch.setenv(discovery.IDD_PATH_VARIABLE, str(DATA_DIR / "idd"))
    model = tmp_path / name
    model.write_bytes(BOM + (V88 / name).read_bytes())
    assert discovery.read_model_version(str(model)) == "8.8"
    code = cli.main(["info", "--format", "json", str(model)])
    out, err = capsys.readouterr()
    assert code == 0, err
    assert cli.main(["check", str(model)]) == 0
