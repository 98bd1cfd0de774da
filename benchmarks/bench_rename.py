"""Renaming zones with their references on a small and a large generated
model: the work follows the fields that name each zone, not the model, so a
rename should cost about the same on both.

Printed next to it, measured in the same run: one pass over every value of
the model from Python (what finding the referring fields by scanning would
at least cost), which grows with the model.

    python benchmarks/bench_rename.py [--sizes 3,32] [--zones 20] [--repeat 5]
"""

from __future__ import annotations

import argparse
import time

from _common import best_and_median, require_data
from make_large_idf import IDD_FILE, ensure_files

from tamrix.idd import IDD
from tamrix.idf import IDF


def rename_round(zones, round_no: int) -> tuple[float, int]:
    """Renames every zone once; (seconds, fields rewritten)."""
    fields = 0
    start = time.perf_counter()
    for i, zone in enumerate(zones):
        fields += zone.rename(f"Renamed Zone {i} r{round_no}")
    return time.perf_counter() - start, fields


def scan(model: IDF) -> int:
    return sum(len(o._raw_values()) for cls in model.get_class_names() for o in model[cls])


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--sizes", default="3,32")
    parser.add_argument("--zones", type=int, default=20)
    parser.add_argument("--repeat", type=int, default=5)
    args = parser.parse_args()
    idd = IDD.from_file(require_data() / IDD_FILE)
    paths = ensure_files([float(s) for s in args.sizes.split(",")])

    results = []
    print(f"{'file':18s} {'MB':>6s} {'zones':>6s} | {'per rename':>10s} {'fields/rename':>13s} | {'scan once':>9s}")
    for path in paths:
        model = IDF.from_file(idd, path)
        zones = list(model["Zone"])[: args.zones]
        times = []
        fields = 0
        for r in range(args.repeat):
            seconds, fields = rename_round(zones, r)
            times.append(seconds)
        per_rename = min(times) / len(zones)
        scan_best, _ = best_and_median(lambda: scan(model), 2)
        results.append(per_rename)
        print(f"{path.name:18s} {path.stat().st_size / 1e6:6.1f} {len(model['Zone']):6d} | "
              f"{per_rename * 1e6:8.1f} us {fields / len(zones):13.1f} | {scan_best * 1000:6.0f} ms")
        del model
    if len(results) >= 2:
        print(f"per-rename time, {paths[-1].name} / {paths[0].name}: {results[-1] / results[0]:.2f}x "
              f"(about 1: the cost follows the referring fields, not the model)")


if __name__ == "__main__":
    main()
