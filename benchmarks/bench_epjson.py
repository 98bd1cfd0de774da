"""epJSON against IDF on the 32.5 MB reference model, in one run:

  * load: IDF.from_file of the generated IDF file against IDF.from_file of
    the same model as epJSON;
  * write: format() against to_epjson() (time and MB/s of text written);
  * the ratios (epJSON time / IDF time: below 1 is faster).

The model is the one bench_floor.py uses (make_big_idf.py on
5ZoneWaterLoopHeatPump x100, V8-0-0 dictionary). Objects that epJSON cannot
hold (two objects of a class under one name, which that old dictionary
allows: 1,100 of the model's objects) are left out of the epJSON file and
of the model both writers write.

    python benchmarks/bench_epjson.py [--repeat N] [--dir DIR]
"""

from __future__ import annotations

import argparse
import re
import tempfile
from pathlib import Path

from _common import require_data
from bench_floor import IDD_FILE, best_of, prepare

from tamrix.idd import IDD
from tamrix.idf import IDF

_REFUSED = re.compile(r'^epJSON: (\S+) "(.*)": two objects of the class have this name')


def convertible(model: IDF) -> int:
    """Removes every object a class holds under a name an earlier object of
    the class has, until the model converts; returns how many went."""
    removed = 0
    while True:
        try:
            model.to_epjson()
            return removed
        except ValueError as exc:
            match = _REFUSED.match(str(exc))
            if match is None:
                raise
            seen: set = set()
            for obj in model[match.group(1)]:
                if obj[0] in seen:
                    model.remove_object(obj)
                    removed += 1
                seen.add(obj[0])


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--dir", default=str(Path(tempfile.gettempdir()) / "tamrix-bench-floor"))
    args = parser.parse_args()
    data = require_data()
    _, source, _ = prepare(Path(args.dir), data)
    idd = IDD.from_file(data / IDD_FILE)
    work = Path(args.dir)
    idf_path = source
    epjson_path = work / "wlhp_k100.epJSON"
    same_path = work / "wlhp_k100_same.idf"
    model = IDF.from_file(idd, source)
    removed = convertible(model)
    model.save(epjson_path)
    # The objects of the epJSON file as IDF, in the standard layout.
    model.save(same_path, include_timestamp=False)
    del model
    idf_mb = idf_path.stat().st_size / 1e6
    epjson_mb = epjson_path.stat().st_size / 1e6
    print(f"model: {source.name} ({removed} objects epJSON cannot hold removed): "
          f"IDF {idf_mb:.1f} MB, epJSON {epjson_mb:.1f} MB")

    idf_load = epjson_load = float("inf")
    for _ in range(args.repeat):
        idf_load = min(idf_load, best_of(lambda: IDF.from_file(idd, idf_path), 1))
        epjson_load = min(epjson_load, best_of(lambda: IDF.from_file(idd, epjson_path), 1))
    print(f"load:  IDF {idf_load * 1000:.0f} ms ({idf_mb / idf_load:.0f} MB/s), "
          f"epJSON {epjson_load * 1000:.0f} ms ({epjson_mb / epjson_load:.0f} MB/s): "
          f"epJSON/IDF {epjson_load / idf_load:.2f}x the time")
    same_mb = same_path.stat().st_size / 1e6
    same_load = float("inf")
    for _ in range(args.repeat):
        same_load = min(same_load, best_of(lambda: IDF.from_file(idd, same_path), 1))
    print(f"       the epJSON file's objects as IDF in the standard layout ({same_mb:.1f} MB): "
          f"{same_load * 1000:.0f} ms: epJSON/IDF {epjson_load / same_load:.2f}x the time")

    model = IDF.from_file(idd, idf_path)
    convertible(model)
    idf_text = len(model.format().encode()) / 1e6
    epjson_text = len(model.to_epjson().encode()) / 1e6
    fmt = to_json = float("inf")
    for _ in range(args.repeat):
        fmt = min(fmt, best_of(model.format, 1))
        to_json = min(to_json, best_of(model.to_epjson, 1))
    print(f"write: format() {fmt * 1000:.0f} ms ({idf_text / fmt:.0f} MB/s), "
          f"to_epjson() {to_json * 1000:.0f} ms ({epjson_text / to_json:.0f} MB/s): "
          f"epJSON/IDF {to_json / fmt:.2f}x the time")


if __name__ == "__main__":
    main()
