"""Shared helpers for the benchmark scripts: data paths and timing."""

from __future__ import annotations

import statistics
import time
from pathlib import Path

DATA = Path(__file__).resolve().parents[1] / ".." / "shared" / "data"


def best_and_median(fn, repeat: int) -> tuple[float, float]:
    """Best and median wall time of `repeat` calls, in seconds. The result of
    each call is dropped outside the timed region."""
    times = []
    for _ in range(repeat):
        t = time.perf_counter()
        result = fn()
        times.append(time.perf_counter() - t)
        del result
    return min(times), statistics.median(times)


def require_data() -> Path:
    if not DATA.is_dir():
        raise SystemExit(f"sample data not found at {DATA}")
    return DATA.resolve()
