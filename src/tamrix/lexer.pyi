"""Tokenizer for IDF and IDD text (internal)."""

from typing import Any, Final

TOKEN_TEXT: Final[int]
TOKEN_COMMA: Final[int]
TOKEN_SEMICOLON: Final[int]
TOKEN_EOF: Final[int]
TOKEN_ERROR: Final[int]

class Lexer:
    """Tokenizer for IDF and IDD text. Constructing one directly raises
    TypeError: native code and `_new_lexer` make them."""

    def test(self) -> list[tuple[int, str]]:
        """Tokenize the rest of the content; a list of (type, value) pairs up to EOF."""

    def __reduce__(self) -> tuple[Any, ...]: ...
    def __setstate__(self, state: Any, /) -> None: ...

def _new_lexer(content: bytes, is_idd: bool = False) -> Lexer:
    """Internal: a Lexer over bytes."""

def _model_version(data: bytes, /) -> str | None:
    """Internal: the first value of the first Version object in IDF bytes
    (None when they hold no complete one)."""

def _restore_Lexer(cls: type[Lexer], checksum: Any, state: Any) -> Lexer: ...

_C_API: object

def _epjson_version(data: bytes) -> str | None:
    """Internal: version_identifier of the first object of "Version" in
    epJSON bytes; None when there is none or the bytes are not epJSON."""

def _looks_like_epjson(data: bytes) -> bool:
    """Internal: whether the bytes' first character that is not blank
    (after an optional byte-order mark) is '{'."""
