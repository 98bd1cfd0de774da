"""Finding the dictionary a model was written for.

A model names its version in its ``Version`` object; a dictionary of the
same major.minor is looked for in the engine's usual install folders, then in
the directories listed in ``$TAMRIX_IDD_PATH``. A dictionary file is known by
its ``!IDD_Version`` first line or, lacking that line, by a file name such as
``V8-8-0-Energy+.idd``.
"""

from __future__ import annotations

import glob
import os

from tamrix.lexer import _epjson_version, _looks_like_epjson, _model_version

__all__ = [
    "IDD_PATH_VARIABLE",
    "DiscoveryError",
    "find_dictionary",
    "idd_file_version",
    "major_minor",
    "is_epjson_file",
    "read_model_version",
]

IDD_PATH_VARIABLE = "TAMRIX_IDD_PATH"

# The Version object is nearly always among a model's first objects: this
# much of a file is read first, the rest only when it does not hold one.
_VERSION_PREFIX_BYTES = 64 * 1024

_DIGITS = frozenset("0123456789")
_IDD_NAME_SUFFIX = "-energy+.idd"


class DiscoveryError(Exception):
    """A model's dictionary cannot be chosen; the message says why, and
    where it was looked for."""


def read_model_version(path: str) -> str | None:
    """The first value of a model's Version object, read with the
    tokenizer's rules (comments skipped, a UTF-8 byte-order mark passed
    over); for an epJSON model, "version_identifier" of the first object of
    "Version". None when the model has no Version object or leaves it blank."""
    try:
        with open(path, "rb") as f:
            data = f.read(_VERSION_PREFIX_BYTES)
            if _looks_like_epjson(data):
                # Classes are sorted by name: "Version" stands near the end.
                value = _epjson_version(data + f.read())
            else:
                value = _model_version(data)
                if value is None and len(data) == _VERSION_PREFIX_BYTES:
                    value = _model_version(data + f.read())
    except OSError as exc:
        raise DiscoveryError(f"cannot read {path}: {exc.strerror or exc}") from None
    return value or None


def is_epjson_file(path: str) -> bool:
    """Whether a model file holds epJSON (its first character that is not
    blank, after an optional byte-order mark, is '{'); False when it cannot
    be read."""
    try:
        with open(path, "rb") as f:
            return bool(_looks_like_epjson(f.read(4096)))
    except OSError:
        return False


def _leading_digits(text: str) -> str:
    end = 0
    while end < len(text) and text[end] in _DIGITS:
        end += 1
    return text[:end]


def major_minor(version: str | None) -> tuple[int, int] | None:
    """(major, minor) of "8.8", "8.8.0" or "8.1.0.009" (minor 0 when only a
    major is given); None when the text does not start with a number."""
    if not version:
        return None
    text = version.lstrip()
    major = _leading_digits(text)
    if not major:
        return None
    rest = text[len(major) :]
    minor = _leading_digits(rest[1:]) if rest.startswith(".") else ""
    return int(major), int(minor or 0)


def idd_file_version(path: str) -> tuple[int, int] | None:
    """(major, minor) from an IDD file's `!IDD_Version X.Y` first line."""
    try:
        with open(path, "rb") as f:
            first = f.readline(512)
    except OSError:
        return None
    line = first.decode("latin-1").strip()
    if not line.startswith("!"):
        return None
    tag = line[1:].lstrip()
    if tag[:11].lower() != "idd_version" or not tag[11:12].isspace():
        return None
    return major_minor(tag[11:])


def _name_version(name: str) -> tuple[int, int] | None:
    """(major, minor) from a dictionary file name `V8-8-0-Energy+.idd`."""
    if not name.lower().endswith(_IDD_NAME_SUFFIX):
        return None
    stem = name[: -len(_IDD_NAME_SUFFIX)]
    if stem[:1] in ("v", "V"):
        stem = stem[1:]
    parts = stem.split("-")
    if len(parts) < 2 or not all(part and set(part) <= _DIGITS for part in parts):
        return None
    return int(parts[0]), int(parts[1])


def _matches(path: str, wanted: tuple[int, int]) -> bool:
    """A candidate dictionary file fits: its first line says the wanted
    major.minor, or, lacking that line, its name does."""
    if not os.path.isfile(path):
        return False
    found = idd_file_version(path)
    if found is not None:
        return found == wanted
    return _name_version(os.path.basename(path)) == wanted


def _install_patterns(major: int, minor: int) -> list[str]:
    """The engine's usual install folders for a version, as glob patterns."""
    if os.name == "nt":
        drive = os.environ.get("SystemDrive", "C:")
        return [f"{drive}\\EnergyPlusV{major}-{minor}-*\\Energy+.idd"]
    return [
        f"/usr/local/EnergyPlus-{major}-{minor}-*/Energy+.idd",
        f"/Applications/EnergyPlus-{major}-{minor}-*/Energy+.idd",
    ]


def _search_dir_candidates(directory: str, major: int, minor: int) -> list[str]:
    """Dictionary files of a search-path directory, best names first: one
    named for the version, then `Energy+.idd`, then any other."""
    try:
        names = sorted(os.listdir(directory))
    except OSError:
        return []
    idds = [n for n in names if n.lower().endswith(".idd")]

    def rank(name: str) -> int:
        if _name_version(name) == (major, minor):
            return 0
        if name.lower() == "energy+.idd":
            return 1
        return 2

    return [os.path.join(directory, n) for n in sorted(idds, key=rank)]


def find_dictionary(version: str, model: str) -> str:
    """The path of a dictionary for a model's version, or DiscoveryError
    listing every place that was tried."""
    wanted = major_minor(version)
    if wanted is None:
        raise DiscoveryError(f"{model}: cannot read the version {version!r} of its Version object; give --idd PATH")
    major, minor = wanted
    tried: list[str] = []
    for pattern in _install_patterns(major, minor):
        tried.append(pattern)
        for path in sorted(glob.glob(pattern), reverse=True):
            if _matches(path, wanted):
                return path
    search = os.environ.get(IDD_PATH_VARIABLE, "")
    directories = [d for d in search.split(os.pathsep) if d]
    for directory in directories:
        tried.append(os.path.join(directory, "*.idd"))
        for path in _search_dir_candidates(directory, major, minor):
            if _matches(path, wanted):
                return path
    if not directories:
        tried.append(f"${IDD_PATH_VARIABLE} (not set)")
    raise DiscoveryError(
        f"{model}: no dictionary found for version {major}.{minor} (tried {', '.join(tried)}); give --idd PATH"
    )
