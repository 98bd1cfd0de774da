"""A one-line textual progress bar for runs over many files."""

from __future__ import annotations

import contextlib
import threading
from typing import Iterator, TextIO

__all__ = ["Progress", "isatty"]


def isatty(stream: TextIO) -> bool:
    """Whether a stream is a terminal (False for closed or odd streams)."""
    try:
        return stream.isatty()
    except (AttributeError, ValueError):
        return False


class Progress:
    """`[####......] 3/10 files` on one line of a terminal, redrawn as files
    are done; does nothing unless enabled. Safe to use from several threads."""

    def __init__(self, total: int, stream: TextIO, enabled: bool, width: int = 30) -> None:
        self.total = total
        self.stream = stream
        self.enabled = enabled
        self.width = width
        self.done = 0
        self._lock = threading.RLock()
        self._shown = False

    def advance(self) -> None:
        with self._lock:
            self.done += 1
            self._draw()

    def _draw(self) -> None:
        if not self.enabled:
            return
        filled = self.width * self.done // max(self.total, 1)
        bar = "#" * filled + "." * (self.width - filled)
        self.stream.write(f"\r[{bar}] {self.done}/{self.total} files")
        self.stream.flush()
        self._shown = True

    def _clear(self) -> None:
        if self.enabled and self._shown:
            self.stream.write("\r\x1b[K")
            self.stream.flush()
            self._shown = False

    @contextlib.contextmanager
    def paused(self) -> Iterator[None]:
        """Takes the bar off the line while something else is printed."""
        with self._lock:
            self._clear()
            try:
                yield
            finally:
                if self.done < self.total:
                    self._draw()

    def finish(self) -> None:
        with self._lock:
            self._clear()
