"""Per-call cost of field access, lookup and reference queries.

Every figure is printed next to baselines measured in the same run:
  * an empty Python method call (the floor for any call from Python);
  * a Python dict lookup plus creating a str from bytes (what a field read
    by name does at the least: find the field, hand back a new value).

Models: a Material and a Zone with its surfaces from an 8.8 example file, and
generated models of 600 and 10,000 Zone objects. Statements are timed
timeit-style (best of --repeat runs of an auto-ranged loop).

    python benchmarks/bench_fields.py [--repeat N]
"""

from __future__ import annotations

import argparse
import timeit

from _common import require_data

from tamrix.idd import IDD
from tamrix.idf import IDF

EXAMPLE = "idf/V8-8-0/RefBldgMediumOfficeNew2004_Chicago.idf"


class Empty:
    def method(self):
        pass


def zones_model(idd, count: int):
    return IDF.from_string(idd, "".join(f"Zone,Zone {i:05d},0,{i % 97},0,0,1,1;\n" for i in range(count)))


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--repeat", type=int, default=5)
    args = parser.parse_args()
    data = require_data()
    idd = IDD.from_file(data / "idd" / "V8-8-0-Energy+.idd")
    model = IDF.from_file(idd, data / EXAMPLE)
    surface = model["BuildingSurface:Detailed"][0]
    zone = surface.get_referenced_object("Zone Name")
    env = {
        "material": model["Material"][0],
        "surface": surface,
        "zone": zone,
        "old_name": zone["Name"],
        "big": zones_model(idd, 10_000),
        "small": zones_model(idd, 600),
        "small_names": [f"zone {i:05d}" for i in range(0, 600, 3)] * 5,
        "empty": Empty(),
        "table": {name: i for i, name in enumerate(idd.field_names("Material"))},
        "raw": b"0.1016",
    }

    def per_call_ns(stmt: str, per_stmt: int = 1) -> float:
        timer = timeit.Timer(stmt, globals=env)
        number, _ = timer.autorange()
        return min(timer.repeat(repeat=args.repeat, number=number)) / number / per_stmt * 1e9

    def total_ms(stmt: str) -> float:
        return min(timeit.Timer(stmt, globals=env).repeat(repeat=args.repeat, number=1)) * 1e3

    base_call = per_call_ns("empty.method()")
    base_read = per_call_ns("table['Thickness']; raw.decode()")
    n_hits = len(zone.get_referencing_objects("Name"))
    rows = [
        ('field read by name (obj["Thickness"])', per_call_ns("material['Thickness']"), base_read, "dict+str"),
        # two different values, so that neither write is a no-op
        ("numeric field write", per_call_ns("material['Thickness'] = 0.1; material['Thickness'] = 0.2", 2),
         base_call, "empty call"),
        ("referenced name write (zone rename)",
         per_call_ns("zone['Name'] = 'Benchmark Zone'; zone['Name'] = old_name", 2), base_call, "empty call"),
        ("get_objects, class of 10,000", per_call_ns("big.get_objects('Zone')"), base_call, "empty call"),
        ("get_object_by_name, class of 600 (last)", per_call_ns("small.get_object_by_name('Zone', 'ZONE 00599')"),
         base_call, "empty call"),
        ("get_object_by_name, class of 10,000 (last)",
         per_call_ns("big.get_object_by_name('Zone', 'ZONE 09999')"), base_call, "empty call"),
        ("get_referenced_object (surface -> zone)", per_call_ns("surface.get_referenced_object('Zone Name')"),
         base_call, "empty call"),
        (f"get_referencing_objects (zone, {n_hits} hits)", per_call_ns("zone.get_referencing_objects('Name')"),
         base_call, "empty call"),
    ]
    writes = total_ms("for _ in range(500):\n material['Thickness'] = 0.1\n material['Thickness'] = 0.2")
    lookups = total_ms("for name in small_names:\n small.get_object_by_name('Zone', name)")

    print(f"model: {EXAMPLE}; best of {args.repeat}")
    print(f"baseline: empty Python method call   {base_call:9.1f} ns")
    print(f"baseline: dict lookup + bytes.decode() {base_read:8.1f} ns")
    print()
    print(f"{'operation':45s} {'ns/call':>11s} {'ratio':>9s}  to baseline")
    for label, ns, base, name in rows:
        print(f"{label:45s} {ns:11.1f} {ns / base:9.1f}  {name}")
    print()
    print(f"1000 numeric field writes:              {writes:8.3f} ms")
    print(f"1000 lookups by name in a class of 600: {lookups:8.3f} ms")


if __name__ == "__main__":
    main()
