"""Build large IDF files from a real one, for the load and format benchmarks.

Every object of the source model is replicated k times. In copy c every value
that names an object (any object's first field, matched case-insensitively) is
made unique by a suffix, so references between the copies' objects still
resolve and the reference index does real work on load.

    python benchmarks/make_large_idf.py [--sizes 1,10,100] [--out DIR]
"""

from __future__ import annotations

import argparse
import tempfile
from pathlib import Path

from _common import require_data

from tamrix.idd import IDD
from tamrix.idf import IDF

SOURCE = "idf/V8-8-0/RefBldgLargeOfficeNew2004_Chicago.idf"
IDD_FILE = "idd/V8-8-0-Energy+.idd"


def default_out_dir() -> Path:
    return Path(tempfile.gettempdir()) / "tamrix-bench"


def replicate(idd: IDD, source: Path, target_mb: float) -> str:
    model = IDF.from_file(idd, source)
    rows = [line.split(",") for line in model.format(preserve_order=True, compact=True).split("\n") if line]
    for row in rows:
        row[-1] = row[-1][:-1]  # drop the closing ';'
    names = {row[1].upper() for row in rows if len(row) > 1 and row[1]}
    one_copy = len(model.format(preserve_order=True))
    copies = max(1, round(target_mb * 1e6 / one_copy))
    out = []
    for c in range(copies):
        suffix = f" c{c}"
        for row in rows:
            fields = [v + suffix if v and v.upper() in names else v for v in row[1:]]
            out.append(row[0] + ("," + ",".join(fields) if len(row) > 1 else "") + ";")
    big = IDF.from_string(idd, "\n".join(out))
    return big.format()


def ensure_files(sizes_mb: list[float], out_dir: Path | None = None) -> list[Path]:
    """The generated files for the given sizes, built once and cached."""
    data = require_data()
    out_dir = out_dir or default_out_dir()
    out_dir.mkdir(parents=True, exist_ok=True)
    idd = None
    paths = []
    for size in sizes_mb:
        path = out_dir / f"large_{size:g}MB.idf"
        if not path.exists():
            idd = idd or IDD.from_file(data / IDD_FILE)
            text = replicate(idd, data / SOURCE, size)
            tmp = path.with_suffix(".tmp")
            tmp.write_text(text, encoding="utf-8")
            tmp.replace(path)
        paths.append(path)
    return paths


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--sizes", default="1,10,100", help="sizes in MB, comma-separated")
    parser.add_argument("--out", type=Path, default=None)
    args = parser.parse_args()
    for path in ensure_files([float(s) for s in args.sizes.split(",")], args.out):
        print(f"{path}  {path.stat().st_size / 1e6:.1f} MB")


if __name__ == "__main__":
    main()
