"""Load, format and save throughput on large generated models, peak memory of
a loaded model, and two threads loading at once.

Every figure is printed next to a baseline measured in the same run:
  * load: reading the file and splitting it into objects and fields with
    bytes methods ([o.split(b",") for o in data.split(b";")]), which does less
    than a load (no comments, trimming, classes or reference index);
  * threads: one thread loading both files, one after the other.

    python benchmarks/bench_idf_load.py [--sizes 1,10,100] [--repeat N]
"""

from __future__ import annotations

import argparse
import gc
import os
import subprocess
import sys
import tempfile
import threading
import time

from _common import best_and_median, require_data
from make_large_idf import IDD_FILE, ensure_files

from tamrix.idd import IDD
from tamrix.idf import IDF

MEMORY_PROBE = """
import gc, sys
from tamrix.idd import IDD
from tamrix.idf import IDF
def status(key):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(key):
                return int(line.split()[1]) * 1024
idd = IDD.from_file(sys.argv[1])
gc.collect()
try:  # restart the peak count from here (Linux)
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")
except OSError:
    pass
before = status("VmRSS:")
try:
    model = IDF.from_file(idd, sys.argv[2])
except ValueError:
    model = None
print(status("VmRSS:") - before, status("VmHWM:") - before)
"""


def model_memory(idd_path, path) -> int:
    """Resident growth of a fresh process after loading the model."""
    return load_memory(idd_path, path)[0]


def load_memory(idd_path, path) -> tuple[int, int]:
    """Resident growth after loading `path` in a fresh process, and the peak
    growth during the load (a text that fails to load counts too)."""
    out = subprocess.run([sys.executable, "-c", MEMORY_PROBE, str(idd_path), str(path)], check=True,
                         capture_output=True, text=True)
    kept, peak = out.stdout.split()
    return int(kept), int(peak)


def two_thread_times(idd, a, b, rounds: int) -> tuple[float, float]:
    """Best time of loading `a` then `b` in one thread, and of loading them
    on two threads at once, over `rounds` alternating rounds; the models of
    one run are collected before the next starts (they hold reference
    cycles)."""

    def sequential_run() -> None:
        IDF.from_file(idd, a)
        IDF.from_file(idd, b)

    def parallel_run() -> None:
        threads = [threading.Thread(target=IDF.from_file, args=(idd, p)) for p in (a, b)]
        for th in threads:
            th.start()
        for th in threads:
            th.join()

    best = {sequential_run: float("inf"), parallel_run: float("inf")}
    for _ in range(rounds):
        for run in best:
            gc.collect()
            t = time.perf_counter()
            run()
            best[run] = min(best[run], time.perf_counter() - t)
    gc.collect()
    return best[sequential_run], best[parallel_run]


def naive_split(path) -> list:
    with open(path, "rb") as f:
        data = f.read()
    return [o.split(b",") for o in data.split(b";")]


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--sizes", default="1,10,100")
    parser.add_argument("--repeat", type=int, default=5)
    args = parser.parse_args()
    data = require_data()
    idd_path = data / IDD_FILE
    idd = IDD.from_file(idd_path)
    paths = ensure_files([float(s) for s in args.sizes.split(",")])

    print(f"{'file':18s} {'MB':>6s} {'objects':>8s} | {'load MB/s':>9s} {'obj/s':>9s} {'vs split':>8s} | "
          f"{'format MB/s':>11s} {'save MB/s':>9s} | {'memory':>7s}")
    for path in paths:
        size = path.stat().st_size
        repeat = args.repeat if size < 50e6 else max(2, args.repeat // 2)
        model = IDF.from_file(idd, path)
        n_objects = len(model.format(compact=True, preserve_order=True).split("\n"))
        del model
        load_best, _ = best_and_median(lambda: IDF.from_file(idd, path), repeat)
        split_best, _ = best_and_median(lambda: naive_split(path), repeat)
        model = IDF.from_file(idd, path)
        text_len = len(model.format().encode())
        fmt_best, _ = best_and_median(model.format, repeat)
        with tempfile.TemporaryDirectory() as tmp:
            out = os.path.join(tmp, "out.idf")
            save_best, _ = best_and_median(lambda: model.save(out), repeat)
        del model
        memory = model_memory(idd_path, path)
        print(f"{path.name:18s} {size / 1e6:6.1f} {n_objects:8d} | {size / 1e6 / load_best:9.0f} "
              f"{n_objects / load_best:9.0f} {split_best / load_best:7.2f}x | {text_len / 1e6 / fmt_best:11.0f} "
              f"{text_len / 1e6 / save_best:9.0f} | {memory / size:6.2f}x")
    print("vs split: naive split time / load time (above 1: the load is faster); memory: RSS growth / file size")

    if len(paths) >= 2:
        a, b = paths[-1], paths[-2]

        sequential, parallel = two_thread_times(idd, a, b, 3)
        print(f"two threads loading {a.name} and {b.name}: {sequential / parallel:.2f}x the speed of one thread "
              f"loading both ({sequential * 1000:.0f} ms vs {parallel * 1000:.0f} ms)")


if __name__ == "__main__":
    main()
