"""Shared helpers for the document tests: the real data corpus, small
dictionaries, and running risky code in a child interpreter."""

from __future__ import annotations

import re
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

# The real dictionaries and models, beside the repository (never copied
# into it). Every test module takes the location from here.
DATA_DIR = Path(__file__).resolve().parents[1] / ".." / "shared" / "data"

# Zone then Lights, both in "Example Group"; Lights points at zone names.
EXAMPLE_IDD = (
    "!IDD_Version 1.0.0\n"
    "\\group Example Group\n"
    "Zone,\n  A1; \\field Name\n      \\reference ZoneNames\n"
    "Lights,\n  A1, \\field Name\n  A2; \\field Zone Name\n      \\object-list ZoneNames\n"
)


def corpus_files() -> list[tuple[str, Path]]:
    """(dictionary version folder, IDF path) for every corpus file."""
    if not DATA_DIR.is_dir():
        return []
    return [(v.name, f) for v in sorted((DATA_DIR / "idf").iterdir()) for f in sorted(v.glob("*.idf"))]


def corpus_params():
    files = corpus_files()
    if not files:
        return [pytest.param(None, None, marks=pytest.mark.skip(reason=f"data corpus not found at {DATA_DIR}"))]
    return [pytest.param(v, f, id=f"{v}/{f.name}") for v, f in files]


_IDD_CACHE: dict = {}


def corpus_idd(version: str):
    from tamrix.idd import IDD

    if version not in _IDD_CACHE:
        _IDD_CACHE[version] = IDD.from_file(str(DATA_DIR / "idd" / f"{version}-Energy+.idd"))
    return _IDD_CACHE[version]


def readme_object_counts() -> dict[str, int]:
    """Object counts from the corpus README table, keyed by 'idf/<V>/<name>'."""
    readme = DATA_DIR / "README.md"
    if not readme.is_file():
        return {}
    row = re.compile(r"^\| `(idf/[^`]+)` \| [^|]+\| \d+ \| (\d+) \|", re.M)
    return {m.group(1): int(m.group(2)) for m in row.finditer(readme.read_text(encoding="utf-8"))}


def object_count(doc) -> int:
    return sum(1 for line in doc.format(preserve_order=True, compact=True).split("\n") if line)


def run_python(code: str, timeout: float = 120) -> subprocess.CompletedProcess:
    """Run `code` in a fresh interpreter so that a crash fails a test
    instead of taking pytest down."""
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, timeout=timeout
    )
