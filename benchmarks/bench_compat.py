"""tamrix.compat hot paths against the plain document model: attribute
reads and writes on objects, and indexing the live per-class lists.

Prints each operation's time per call and its ratio to a plain obj[key]
read on the same object (or, for list access, to doc.get_objects()[i]).

    python benchmarks/bench_compat.py
"""

from __future__ import annotations

import timeit

from _common import require_data

N = 200_000


def per_call(stmt, env, number=N) -> float:
    return min(timeit.repeat(stmt, globals=env, number=number, repeat=5)) / number


def main() -> None:
    data = require_data()
    from tamrix import compat

    compat.IDF.setiddname(str(data / "idd" / "V8-8-0-Energy+.idd"))
    idf = compat.IDF(str(data / "idf" / "V8-8-0" / "5ZoneAirCooled.idf"))
    bunch = idf.getobject("BUILDINGSURFACE:DETAILED", "WALL-1PF")
    core = bunch._core
    surfaces = idf.idfobjects["BUILDINGSURFACE:DETAILED"]
    doc = idf._doc
    env = dict(bunch=bunch, core=core, surfaces=surfaces, doc=doc, idf=idf)

    base_read = per_call("core['Name']", env)
    base_index = per_call("core[0]", env)
    base_list = per_call("doc.get_objects('BuildingSurface:Detailed')[5]", env)
    rows = [
        ("plain obj['Name'] (name key)", base_read, base_read),
        ("plain obj[0] (index key)", base_index, base_read),
        ("bunch.Name (text)", per_call("bunch.Name", env), base_read),
        ("bunch.Vertex_1_Zcoordinate (real)", per_call("bunch.Vertex_1_Zcoordinate", env), base_read),
        ("bunch['Name']", per_call("bunch['Name']", env), base_read),
        ("bunch.View_Factor_to_Ground = 0.5", per_call("bunch.View_Factor_to_Ground = 0.5", env), base_read),
        ("plain obj[8] = 0.5", per_call("core[8] = 0.5", env), base_read),
        ("idfobjects['BUILDINGSURFACE:DETAILED']", per_call("idf.idfobjects['BUILDINGSURFACE:DETAILED']", env), base_read),
        ("plain doc.get_objects(class)[5]", base_list, base_read),
        ("surfaces[5] (live list)", per_call("surfaces[5]", env), base_read),
        ("surfaces[-1].Name", per_call("surfaces[-1].Name", env), base_read),
    ]
    print(f"{'operation':<42}{'ns/call':>10}{'x obj[key]':>12}")
    for label, t, base in rows:
        print(f"{label:<42}{t * 1e9:>10.0f}{t / base:>12.2f}")


if __name__ == "__main__":
    main()
