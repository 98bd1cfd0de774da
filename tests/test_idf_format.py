"""Writing documents back: IDF.format and IDF.save (layout, ordering, group
headers, the file header, and the safe replacement of the target file)."""

from __future__ import annotations

import contextlib
import datetime
import os
import re
import stat

import pytest

from _data import EXAMPLE_IDD, corpus_idd, corpus_params, run_python
from tamrix.idd import IDD
from tamrix.idf import IDF

HEADER = "! Generated using Tamrix.py\n"

LAYOUT_IDD = r"""!IDD_Version 1.0.0
Version,
  A1; \field Version Identifier
\group Thermal Zones
Zone,
  A1; \field Name
Material,
  \min-fields 3
  A1, \field Name
  N1, \field Thickness
      \units m
  N2, \field Conductivity
      \units W/m-K
  N3; \field Density
\group Surfaces
Surface,
  \extensible:3
  A1, \field Name
  N1, \field Number of Vertices
  N2, \field Vertex 1 X-coordinate
      \units m
      \begin-extensible
  N3, \field Vertex 1 Y-coordinate
      \units m
  N4; \field Vertex 1 Z-coordinate
      \units m
\group Thermal Zones
Lights,
  A1; \field Name
"""


@pytest.fixture(scope="module")
def example():
    return IDF.from_string(IDD.from_string(EXAMPLE_IDD), "Lights,Light1,Zone1;\nZone,Zone1;")


@pytest.fixture(scope="module")
def layout_idd():
    return IDD.from_string(LAYOUT_IDD)


def body(text: str) -> list[str]:
    """The lines of formatted text that are not blank."""
    return [line for line in text.split("\n") if line]


# --- the layout of one object ----------------------------------------------


def test_example_document(example, tmp_path):
    expected = (
        "\n! ***EXAMPLE GROUP***\n\n"
        "Zone,\n    Zone1;                   !- Name\n\n"
        "Lights,\n    Light1,                  !- Name\n    Zone1;                   !- Zone Name\n"
    )
    example.save(tmp_path / "out.idf", include_timestamp=False)
    assert (tmp_path / "out.idf").read_bytes() == (HEADER + expected).encode()
    assert example.format() == expected.strip("\n")
    assert example.format(compact=True) == "Zone,Zone1;\n\nLights,Light1,Zone1;"
    assert example.format(compact=True, preserve_order=True) == "Lights,Light1,Zone1;\nZone,Zone1;"


@pytest.mark.parametrize(
    "text, kwargs, expected",
    [
        ("Zone,Z;", {"field_size": 0}, ["Zone,", "    Z;!- Name"]),
        ("Zone,Z;", {"class_indent_size": 2, "field_indent_size": 0, "field_size": 3}, ["  Zone,", "Z;  !- Name"]),
        ("Zone,Z;", {"field_indent_size": 1, "field_size": 1}, ["Zone,", " Z;!- Name"]),
        # a value as wide as the column leaves no room; a wider one gets two blanks
        ("Zone," + "x" * 23 + ";", {}, ["Zone,", "    " + "x" * 23 + "; !- Name"]),
        ("Zone," + "x" * 24 + ";", {}, ["Zone,", "    " + "x" * 24 + ";!- Name"]),
        ("Zone," + "x" * 25 + ";", {}, ["Zone,", "    " + "x" * 25 + ";  !- Name"]),
        ("Zone," + "x" * 99 + ";", {"field_size": 0}, ["Zone,", "    " + "x" * 99 + ";!- Name"]),
        # nothing to write
        ("! no objects\n", {}, []),
        ("Zone;", {}, ["Zone;"]),
        ("Zone,,,;", {}, ["Zone;"]),
        ("Zone,,,;", {"compact": True}, ["Zone;"]),
        # \min-fields keeps leading empty fields; units go in braces
        ("Material;", {"field_size": 0}, ["Material,", "    ,!- Name", "    ,!- Thickness {m}",
                                          "    ;!- Conductivity {W/m-K}"]),
        ("Material,M,,,,;", {"compact": True}, ["Material,M,,;"]),
        ("Material,M,,,7;", {"compact": True}, ["Material,M,,,7;"]),
        ("Material,M,,,7;", {"field_size": 0}, ["Material,", "    M,!- Name", "    ,!- Thickness {m}",
                                                "    ,!- Conductivity {W/m-K}", "    7;!- Density"]),
        # names of extensible fields count on from the first group
        ("Surface,S,2,1,2,3,4,5,6;", {"field_size": 0}, ["Surface,", "    S,!- Name", "    2,!- Number of Vertices"]
         + [f"    {i + 1}{',;'[i == 5]}!- Vertex {i // 3 + 1} {'XYZ'[i % 3]}-coordinate {{m}}" for i in range(6)]),
    ],
)
def test_object_layout(layout_idd, text, kwargs, expected):
    doc = IDF.from_string(layout_idd, text)
    assert body(doc.format(preserve_order=True, **kwargs)) == expected
    assert [line for line in body(doc.format(**kwargs)) if not line.startswith("! ***")] == expected


def test_padding_counts_the_bytes_of_a_value(layout_idd):
    # The value column is measured in bytes of the stored UTF-8 text, so the
    # written layout does not depend on how a viewer renders the characters.
    doc = IDF.from_string(layout_idd, "Zone,Caf\u00e9;\nLights,\u6771\u4eac;")
    lines = [line.encode() for line in body(doc.format(preserve_order=True)) if "!-" in line]
    assert [line.index(b"!-") for line in lines] == [29, 29]


# --- ordering and group headers --------------------------------------------


def test_dictionary_order_and_group_headers(layout_idd):
    doc = IDF.from_string(
        layout_idd, "Lights,L1;\nSurface,S;\nZone,Z1;\nVersion,8.8;\nZone,Z2;\nMaterial,M,1,2;\nLights,L2;"
    )
    assert body(doc.format(field_size=0)) == [
        "Version,", "    8.8;!- Version Identifier",
        "! ***THERMAL ZONES***",
        "Zone,", "    Z1;!- Name",
        "Zone,", "    Z2;!- Name",
        "Material,", "    M,!- Name", "    1,!- Thickness {m}", "    2;!- Conductivity {W/m-K}",
        "! ***SURFACES***",
        "Surface,", "    S;!- Name",
        "! ***THERMAL ZONES***",
        "Lights,", "    L1;!- Name",
        "Lights,", "    L2;!- Name",
    ]  # fmt: skip
    # every object, and every header, is set off by exactly one blank line
    assert "\n\n\n" not in doc.format()
    assert doc.format().count("\n\n") == 7 + 3 - 1
    assert doc.format(compact=True) == (
        "Version,8.8;\n\nZone,Z1;\nZone,Z2;\n\nMaterial,M,1,2;\n\nSurface,S;\n\nLights,L1;\nLights,L2;"
    )
    assert doc.format(compact=True, preserve_order=True) == (
        "Lights,L1;\nSurface,S;\nZone,Z1;\nVersion,8.8;\nZone,Z2;\nMaterial,M,1,2;\nLights,L2;"
    )
    assert "***" not in doc.format(preserve_order=True)


# --- arguments -------------------------------------------------------------


@pytest.mark.parametrize("method", ["format", "save"])
@pytest.mark.parametrize(
    "kwargs, exc",
    [
        ({"class_indent_size": -1}, ValueError),
        ({"field_indent_size": -4}, ValueError),
        ({"field_size": -1}, ValueError),
        ({"field_size": 2**31}, OverflowError),
        ({"class_indent_size": 2**64}, OverflowError),
        ({"field_size": 1.5}, TypeError),
        ({"field_indent_size": "4"}, TypeError),
        ({"bogus": 1}, TypeError),
    ],
)
def test_bad_style_arguments(example, tmp_path, method, kwargs, exc):
    target = tmp_path / "out.idf"
    args = (target,) if method == "save" else ()
    with pytest.raises(exc):
        getattr(example, method)(*args, **kwargs)
    assert not target.exists()


def test_positional_limits(example, tmp_path):
    with pytest.raises(TypeError, match=re.escape("format() takes at most 3 positional arguments (4 given)")):
        example.format(0, 4, 24, True)
    with pytest.raises(TypeError, match=re.escape("save() takes at most 4 positional arguments (5 given)")):
        example.save(tmp_path / "out.idf", 0, 4, 24, True)
    with pytest.raises(TypeError, match=re.escape("save() takes at least 1 positional argument (0 given)")):
        example.save()
    assert example.format(1, 2, 3) == example.format(class_indent_size=1, field_indent_size=2, field_size=3)


# --- save ------------------------------------------------------------------


@pytest.mark.parametrize("compact", [False, True])
@pytest.mark.parametrize("preserve_order", [False, True])
def test_save_writes_header_and_format_output(layout_idd, tmp_path, compact, preserve_order):
    doc = IDF.from_string(layout_idd, "Lights,L;\r\nZone,Z;\r\nMaterial,M,1;\r\n")
    path = tmp_path / "out.idf"
    before = datetime.datetime.now().replace(microsecond=0)
    doc.save(path, 2, 3, 10, compact=compact, preserve_order=preserve_order)
    after = datetime.datetime.now()
    data = path.read_bytes()
    assert b"\r" not in data
    first, second, rest = data.decode().split("\n", 2)
    assert first + "\n" == HEADER
    stamp = re.fullmatch(r"! Saved at: (\d{4}-\d\d-\d\d \d\d:\d\d:\d\d)", second)
    assert stamp, second
    assert before <= datetime.datetime.strptime(stamp.group(1), "%Y-%m-%d %H:%M:%S") <= after
    text = doc.format(2, 3, 10, compact=compact, preserve_order=preserve_order)
    assert rest == "\n" + text + ("" if compact and preserve_order else "\n")

    doc.save(path, 2, 3, 10, compact=compact, preserve_order=preserve_order, include_timestamp=False)
    assert path.read_text() == HEADER + rest


@pytest.mark.parametrize("kind", ["str", "Path", "bytes", "relative"])
def test_save_path_types(example, tmp_path, monkeypatch, kind):
    monkeypatch.chdir(tmp_path)
    target = {"str": str(tmp_path / "o.idf"), "Path": tmp_path / "o.idf",
              "bytes": os.fsencode(tmp_path / "o.idf"), "relative": "o.idf"}[kind]  # fmt: skip
    example.save(target, include_timestamp=False)
    assert (tmp_path / "o.idf").read_text() == HEADER + "\n" + example.format() + "\n"
    assert os.listdir(tmp_path) == ["o.idf"]


def test_save_replaces_and_keeps_permissions(example, tmp_path):
    path = tmp_path / "out.idf"
    path.write_text("old content that is much longer than the new document " * 100)
    path.chmod(0o640)
    example.save(path, compact=True, include_timestamp=False)
    assert path.read_text() == HEADER + "\n" + example.format(compact=True) + "\n"
    assert stat.S_IMODE(path.stat().st_mode) == 0o640
    assert os.listdir(tmp_path) == ["out.idf"]


def test_save_writes_through_symlinks(example, tmp_path):
    (tmp_path / "real").mkdir()
    real = tmp_path / "real" / "model.idf"
    real.write_text("old")
    link = tmp_path / "link.idf"
    link.symlink_to(os.path.join("real", "model.idf"))
    example.save(link, include_timestamp=False)
    assert link.is_symlink()
    assert real.read_text().startswith(HEADER)
    assert sorted(os.listdir(tmp_path)) == ["link.idf", "real"]
    assert os.listdir(tmp_path / "real") == ["model.idf"]


def test_save_beyond_file_size_limit_leaves_the_old_file(tmp_path):
    path = tmp_path / "out.idf"
    path.write_text("precious")
    code = f"""
        import errno, resource, signal
        from tamrix.idd import IDD
        from tamrix.idf import IDF
        doc = IDF.from_string(IDD.from_string({EXAMPLE_IDD!r}), "Zone,Z1;\\nLights,L1,Z1;")
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (64, 64))
        try:
            doc.save({str(path)!r})
        except OSError as exc:
            print(errno.errorcode[exc.errno])
    """
    result = run_python(code)
    assert result.returncode == 0, result.stderr[-2000:]
    assert result.stdout.strip() == "EFBIG"
    assert path.read_text() == "precious"
    assert os.listdir(tmp_path) == ["out.idf"]


def test_save_to_bad_targets(example, tmp_path):
    (tmp_path / "dir.idf").mkdir()
    with pytest.raises(IsADirectoryError):
        example.save(tmp_path / "dir.idf")
    assert os.listdir(tmp_path) == ["dir.idf"]
    assert os.listdir(tmp_path / "dir.idf") == []

    missing = tmp_path / "no" / "such" / "dir" / "out.idf"
    with pytest.raises(FileNotFoundError) as info:
        example.save(missing)
    assert info.value.filename == os.fspath(missing)


def test_save_to_file_descriptor(example, tmp_path):
    path = tmp_path / "fd.idf"
    fd = os.open(path, os.O_WRONLY | os.O_CREAT)
    example.save(fd, include_timestamp=False)
    assert path.read_text() == HEADER + "\n" + example.format() + "\n"
    with contextlib.suppress(OSError):
        os.close(fd)


def test_save_leaves_file_descriptor_open(example, tmp_path):
    fd = os.open(tmp_path / "fd.idf", os.O_WRONLY | os.O_CREAT)
    example.save(fd)
    os.fstat(fd)
    os.close(fd)


def test_save_into_fifo(example, tmp_path):
    fifo = tmp_path / "pipe.idf"
    os.mkfifo(fifo)
    reader = os.open(fifo, os.O_RDONLY | os.O_NONBLOCK)
    try:
        example.save(fifo, include_timestamp=False)
        assert stat.S_ISFIFO(os.stat(fifo).st_mode)
        assert os.read(reader, 1 << 16).decode().startswith(HEADER)
    finally:
        os.close(reader)


@pytest.mark.parametrize("method", ["format", "save"])
def test_out_of_memory_while_writing_raises(tmp_path, method):
    target = tmp_path / "out.idf"
    target.write_text("precious")
    code = f"""
        import resource
        from tamrix.idd import IDD
        from tamrix.idf import IDF
        doc = IDF.from_string(IDD.from_string({EXAMPLE_IDD!r}), "Zone,Z1;\\nLights,L1,Z1;")
        resource.setrlimit(resource.RLIMIT_AS, (1 << 30, 1 << 30))
        try:
            if {method!r} == "format":
                doc.format(field_size=2**31 - 1)
            else:
                doc.save({str(target)!r}, field_size=2**31 - 1)
        except MemoryError:
            print("MemoryError")
    """
    result = run_python(code)
    assert result.returncode == 0, result.stderr[-2000:]
    assert result.stdout.strip() == "MemoryError"
    assert target.read_text() == "precious"


# --- the real corpus ---------------------------------------------------------


@pytest.mark.parametrize("version, path", corpus_params())
def test_corpus_round_trip(version, path, tmp_path):
    idd = corpus_idd(version)
    doc = IDF.from_file(idd, path)
    flat = doc.format(preserve_order=True, compact=True)
    again = IDF.from_string(idd, doc.format(preserve_order=True))
    assert again.format(preserve_order=True, compact=True) == flat
    text = doc.format()
    assert IDF.from_string(idd, text).format() == text

    out = tmp_path / "out.idf"
    doc.save(out)
    data = out.read_bytes()
    assert data.startswith(HEADER.encode() + b"! Saved at: ")
    assert b"\r" not in data
    reread = IDF.from_file(idd, out)
    assert reread.format() == text
    for line in data.decode("utf-8").split("\n"):
        if line.startswith("    ") and "!-" in line:
            value = line[4 : line.index("!-")].rstrip(" ")
            assert line.index("!-") == (29 if len(value) <= 25 else 4 + len(value) + 2), line
