"""Helpers shared by the tamrix modules (text as UTF-8 bytes)."""

from _typeshed import StrOrBytesPath

def read_utf8_bytes(filepath: StrOrBytesPath | int, encoding: str | None = None) -> bytes:
    """Read a whole file and return its text as UTF-8 bytes.

    With an encoding the file is decoded with it (strictly). Without one,
    bytes that are valid UTF-8 are returned as they are (a leading byte-order
    mark dropped); anything else is read as Windows-1252.
    """

def any_to_string(value: object) -> bytes:
    """The field text of a value as UTF-8 bytes: str as is, bool as Yes/No,
    integers in decimal, reals as the shortest text that reads back exactly.
    Text holding ',', ';', '!' or a line break is refused (ValueError)."""

def get_current_time() -> bytes:
    """Local date and time as b'YYYY-MM-DD HH:MM:SS'."""

def get_continuous_digits_indices(text: bytes) -> tuple[int, int]:
    """(start, end) of the first run of ASCII digits in bytes; (-1, -1) if none."""

def trim_string(text: bytes) -> bytes:
    """Bytes without leading and trailing blanks, tabs, CR and LF."""

def trim_newlines(text: bytes) -> bytes:
    """Bytes without leading and trailing CR and LF."""

_C_API: object
