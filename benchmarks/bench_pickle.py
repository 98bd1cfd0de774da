"""Pickling a large generated model, against loading and formatting the same
model from its text in the same run.

    pickle    pickle.dumps(model, protocol)      vs  model.format()
    unpickle  pickle.loads(data)                 vs  IDF.from_file(idd, path)
    size      len(data)                          vs  the file's size

The dictionary is not in the pickle (only its path and digest) and the
process already holds it, as a worker that receives many models does.
The aim: unpickling within 3x of loading the text.

    python benchmarks/bench_pickle.py [--sizes 10] [--repeat N] [--protocol 5]
"""

from __future__ import annotations

import argparse
import gc
import pickle

from _common import best_and_median, require_data
from make_large_idf import IDD_FILE, ensure_files

from tamrix.idd import IDD
from tamrix.idf import IDF


def unpickle_without_gc(data: bytes):
    was_enabled = gc.isenabled()
    gc.disable()
    try:
        return pickle.loads(data)
    finally:
        if was_enabled:
            gc.enable()


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--sizes", default="10", help="sizes in MB, comma-separated")
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--protocol", type=int, default=5)
    args = parser.parse_args()
    data_dir = require_data()
    idd = IDD.from_file(data_dir / IDD_FILE)
    paths = ensure_files([float(s) for s in args.sizes.split(",")])

    print(f"protocol {args.protocol}; best (median) of {args.repeat}, in ms")
    for path in paths:
        size = path.stat().st_size
        model = IDF.from_file(idd, path)
        data = pickle.dumps(model, protocol=args.protocol)
        restored = pickle.loads(data)
        if restored.format() != model.format():
            raise SystemExit(f"{path.name}: the restored model does not format as the original")
        del restored
        n_objects = sum(1 for line in model.format(compact=True, preserve_order=True).split("\n") if line)

        load = best_and_median(lambda: IDF.from_file(idd, path), args.repeat)
        fmt = best_and_median(model.format, args.repeat)
        dump = best_and_median(lambda: pickle.dumps(model, protocol=args.protocol), args.repeat)
        undump = best_and_median(lambda: pickle.loads(data), args.repeat)
        undump_nogc = best_and_median(lambda: unpickle_without_gc(data), args.repeat)

        def ms(pair):
            return f"{pair[0] * 1000:8.0f} ({pair[1] * 1000:.0f})"

        print(f"\n{path.name}: {size / 1e6:.1f} MB, {n_objects} objects, pickle {len(data) / 1e6:.1f} MB")
        print(f"  load from text      {ms(load)}")
        print(f"  format              {ms(fmt)}")
        print(f"  pickle              {ms(dump)}")
        print(f"  unpickle            {ms(undump)}")
        print(f"  unpickle, gc paused {ms(undump_nogc)}")
        print(f"  unpickle / load     {undump[0] / load[0]:8.2f}x  (aim: at most 3x)")
        print(f"  pickle / format     {dump[0] / fmt[0]:8.2f}x")
        print(f"  pickle size / file  {len(data) / size:8.2f}x")
        del model


if __name__ == "__main__":
    main()
