"""Time of `tamrix check` per model of the corpus, in process, against loading
the same model (which check does first) in the same run; and of
`check_model` alone on the loaded model, with the dictionary's rules built.

    python benchmarks/bench_cli.py [--top N]
"""

from __future__ import annotations

import argparse
import contextlib
import io
import time

from _common import require_data

from tamrix import cli
from tamrix.check import check_model
from tamrix.idd import IDD
from tamrix.idf import IDF


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--top", type=int, default=8, help="show the N slowest models")
    args = parser.parse_args()
    data = require_data()
    rows = []
    for folder in sorted((data / "idf").iterdir()):
        idd_file = data / "idd" / f"{folder.name}-Energy+.idd"
        idd = IDD.from_file(idd_file)
        for path in sorted(folder.glob("*.idf")):
            t = time.perf_counter()
            model = IDF.from_file(idd, path)
            load = time.perf_counter() - t
            check_model(model)  # builds the rules of the classes it holds
            t = time.perf_counter()
            check_model(model)
            library = time.perf_counter() - t
            t = time.perf_counter()
            with contextlib.redirect_stdout(io.StringIO()), contextlib.redirect_stderr(io.StringIO()):
                cli.main(["check", "--idd", str(idd_file), str(path)])
            rows.append((time.perf_counter() - t, load, library, path.name))
    rows.sort(reverse=True)
    print(f"{'model':55s} {'check ms':>9s} {'load ms':>8s} {'ratio':>6s} {'check_model ms':>15s}")
    for check, load, library, name in rows[: args.top]:
        print(f"{name:55s} {check * 1000:9.1f} {load * 1000:8.1f} {check / load:5.1f}x {library * 1000:15.1f}")
    total = sum(r[0] for r in rows)
    print(f"{len(rows)} models checked in {total:.2f} s (dictionary loads included)")


if __name__ == "__main__":
    main()
