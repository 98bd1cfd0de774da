import sys

import pytest

from tamrix import lexer, utils
from tamrix.lexer import TOKEN_COMMA as C
from tamrix.lexer import TOKEN_EOF
from tamrix.lexer import TOKEN_SEMICOLON as S
from tamrix.lexer import TOKEN_TEXT as T

EOF = (TOKEN_EOF, "")


def tokens(content, is_idd=False):
    return lexer._new_lexer(content, is_idd).test()


def test_lexer_is_internal():
    assert (lexer.TOKEN_TEXT, lexer.TOKEN_COMMA, lexer.TOKEN_SEMICOLON, lexer.TOKEN_EOF) == (0, 1, 2, 3)
    with pytest.raises(TypeError) as exc:
        lexer.Lexer()
    assert str(exc.value) == "Lexer is an internal component and cannot be instantiated directly."
    with pytest.raises(TypeError, match=r"takes exactly 0 positional arguments \(1 given\)"):
        lexer.Lexer(b"a;")
    assert lexer.Lexer.__new__(lexer.Lexer).test() == [EOF]


@pytest.mark.parametrize(
    "content, expected",
    [
        (
            b"  Zone, Office 1 ,, 0.0; ! a zone",
            [(T, "Zone"), (C, ","), (T, "Office 1"), (C, ","), (C, ","), (T, "0.0"), (S, ";")],
        ),
        (b"a,,b", [(T, "a"), (C, ","), (C, ","), (T, "b")]),
        (b"x!y;z", [(T, "x")]),
        (b"!only a comment\n\n   \n", []),
        (b"a,\r\nb;\r\n", [(T, "a"), (C, ","), (T, "b"), (S, ";")]),
        (b"a\r\r\n;", [(T, "a"), (S, ";")]),
        (b"Sched\n ule;", [(T, "Sched"), (T, "ule"), (S, ";")]),  # a run never spans two lines
        (b"\tin  side\t;", [(T, "in  side"), (S, ";")]),
        (b"\x0cff\x0c;", [(T, "\x0cff\x0c"), (S, ";")]),  # form feed is not trimmed
        # lone CR is no line break: the comment swallows the rest of the file
        (b"a,\rb;!c\rd;e\r", [(T, "a"), (C, ","), (T, "b"), (S, ";")]),
        (b"15.5\xc2\xb0C;", [(T, "15.5\u00b0C"), (S, ";")]),
        (b"\\memo a, b; c", [(T, "\\memo a"), (C, ","), (T, "b"), (S, ";"), (T, "c")]),  # backslash is ordinary
    ],
)
def test_idf_mode(content, expected):
    assert tokens(content) == expected + [EOF]


@pytest.mark.parametrize(
    "content, expected",
    [
        (b"\\memo a, b; c", [(T, "\\memo a, b; c")]),
        (b"A1 \\note", [(T, "A1"), (T, "\\note")]),
        (b"N51;\\field X", [(T, "N51"), (S, ";"), (T, "\\field X")]),
        (b"  N7, N8,   \\note as indicated\n", [(T, "N7"), (C, ","), (T, "N8"), (C, ","), (T, "\\note as indicated")]),
        (b"A1, \\field Name ! a, b; c", [(T, "A1"), (C, ","), (T, "\\field Name")]),
        (b"\\extensible:2 - remove ; from \"inner\" fields, ok\r\n", [(T, '\\extensible:2 - remove ; from "inner" fields, ok')]),
        (b"! \\field in a comment\n", []),
        (b"Zone,\n  A1; \\field Name\n", [(T, "Zone"), (C, ","), (T, "A1"), (S, ";"), (T, "\\field Name")]),
    ],
)
def test_idd_mode(content, expected):
    assert tokens(content, is_idd=True) == expected + [EOF]


def test_content_types_and_keywords():
    assert tokens(bytearray(b"q;")) == [(T, "q"), (S, ";"), EOF]
    made = lexer._new_lexer(content=b"a,\\b", is_idd=1)
    assert made.test() == [(T, "a"), (C, ","), (T, "\\b"), EOF]
    with pytest.raises(TypeError, match=r"_new_lexer\(\) takes at least 1 positional argument \(0 given\)"):
        lexer._new_lexer()
    with pytest.raises(TypeError, match="unexpected keyword argument 'idd'"):
        lexer._new_lexer(b"", idd=True)


def test_test_resumes_where_the_lexer_stands():
    lx = lexer._new_lexer(b"a;\nb;")
    assert lx.test() == [(T, "a"), (S, ";"), (T, "b"), (S, ";"), EOF]
    assert lx.test() == [EOF]
    assert lx.test() == [EOF]


def test_undecodable_token():
    lx = lexer._new_lexer(b"a\xff;b;")
    with pytest.raises(UnicodeDecodeError):
        lx.test()
    assert lx.test() == [(S, ";"), (T, "b"), (S, ";"), EOF]
    # bytes in a comment never reach a token
    assert tokens(b"a; ! 15.5\xb0C") == [(T, "a"), (S, ";"), EOF]


@pytest.mark.parametrize("content", ["Zone;", 42, None])
def test_bad_content_is_reported_as_unraisable(monkeypatch, content):
    seen = []
    monkeypatch.setattr(sys, "unraisablehook", seen.append)
    lx = lexer._new_lexer(content)
    assert len(seen) == 1
    assert seen[0].exc_type is TypeError
    assert seen[0].object == "tamrix.lexer.Lexer.c_init"
    assert lx.test() == [EOF]


@pytest.mark.parametrize(
    "name, objects",
    [
        ("V8-0-0/twobox.idf", 78),  # CRLF
        ("V8-8-0/1ZoneUncontrolled3SurfaceZone.idf", 50),  # CRLF, cp1252
        ("V8-8-0/5ZoneSupRetPlenRAB.idf", 410),  # no final newline
        ("V8-8-0/AirflowNetwork_MultiZone_LocalNode.idf", 225),  # tabs
    ],
)
def test_real_files(data_dir, name, objects):
    toks = tokens(utils.read_utf8_bytes(data_dir / "idf" / name))
    assert toks[-1] == EOF
    assert sum(t == (S, ";") for t in toks) == objects
    texts = [v for t, v in toks if t == T]
    assert all(v and v == v.strip(" \t\r\n") and "!" not in v for v in texts)
    assert "Version" in texts
