"""Load a dictionary and a model, show what is in the model, write it back.

    python examples/roundtrip.py DICTIONARY.idd MODEL.idf [OUTPUT.idf]
"""

import sys
import time
from collections import Counter

from tamrix.idd import IDD
from tamrix.idf import IDF


def main(argv: list[str]) -> int:
    if len(argv) not in (2, 3):
        print(__doc__.strip(), file=sys.stderr)
        return 2
    idd_path, idf_path = argv[0], argv[1]
    out_path = argv[2] if len(argv) == 3 else None

    t0 = time.perf_counter()
    idd = IDD.from_file(idd_path)
    t1 = time.perf_counter()
    model = IDF.from_file(idd, idf_path)
    t2 = time.perf_counter()
    print(f"dictionary {idd.version}: {len(idd)} classes, read in {1000 * (t1 - t0):.1f} ms")

    compact = model.format(preserve_order=True, compact=True)
    classes = Counter(line.split(",", 1)[0].rstrip(";") for line in compact.splitlines() if line)
    print(f"model: {sum(classes.values())} objects in {len(classes)} classes, read in {1000 * (t2 - t1):.1f} ms")
    for name, count in classes.most_common(5):
        print(f"  {count:6d}  {name}")

    if out_path:
        model.save(out_path)
        print(f"written to {out_path}")
    else:
        print(model.format()[:600])
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
