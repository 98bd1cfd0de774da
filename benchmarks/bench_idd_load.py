"""Dictionary load time, against reading the same file and splitting its lines.

    python benchmarks/bench_idd_load.py [--repeat N]
"""

from __future__ import annotations

import argparse
import subprocess
import sys

from _common import best_and_median, require_data

from tamrix.idd import IDD


def first_load_ms(path: str) -> float:
    """A load in a fresh process, as a script experiences it."""
    code = (
        "import time; from tamrix.idd import IDD; t = time.perf_counter(); "
        f"IDD.from_file({path!r}); print(time.perf_counter() - t)"
    )
    out = subprocess.run([sys.executable, "-c", code], check=True, capture_output=True, text=True)
    return 1000 * float(out.stdout)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--repeat", type=int, default=15)
    args = parser.parse_args()
    data = require_data()

    print(f"{'dictionary':28s} {'MB':>6s} {'load ms':>8s} {'first':>7s} {'read+split ms':>14s} {'ratio':>6s}")
    for path in sorted((data / "idd").glob("*.idd")):
        size_mb = path.stat().st_size / 1e6
        load_best, load_median = best_and_median(lambda: IDD.from_file(path), args.repeat)

        def baseline() -> list:
            with open(path, "rb") as f:
                return f.read().split(b"\n")

        base_best, base_median = best_and_median(baseline, args.repeat)
        first = min(first_load_ms(str(path)) for _ in range(3))
        print(
            f"{path.name:28s} {size_mb:6.2f} {1000 * load_median:8.1f} {first:7.1f} "
            f"{1000 * base_median:14.2f} {load_median / base_median:6.1f}x"
        )


if __name__ == "__main__":
    main()
