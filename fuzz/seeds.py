"""Writes fuzzing seeds cut from the data corpus: small IDF files whole,
windows of the larger ones, and runs of whole classes from the dictionaries
(each behind the dictionary's version line).

    python3 fuzz/seeds.py DATA_DIR OUT_DIR
"""

import re
import sys
from pathlib import Path

WINDOW = 6000
MAX_SEED = 16000  # the run's -max_len is 16384
CLASS_LINE = re.compile(rb"^\s*(?![AaNn]\d+\s*[,;])[A-Za-z][^,;!\\]*[,;]\s*(?:[!\\].*)?$")


def windows(lines, boundaries, count):
    """Up to `count` evenly spread chunks of about WINDOW bytes, each starting
    and ending at one of `boundaries` (line numbers)."""
    chunks, start, size = [], boundaries[0], 0
    for b in boundaries[1:]:
        size = sum(len(line) for line in lines[start:b])
        if size >= WINDOW:
            if size <= MAX_SEED:
                chunks.append(b"".join(lines[start:b]))
            start = b
    step = max(1, len(chunks) // count)
    return chunks[::step][:count]


def object_ends(lines):
    """Line numbers just after a line whose text (before any comment or tag)
    closes an object or class with ';'."""
    return [i + 1 for i, line in enumerate(lines) if line.split(b"!")[0].split(b"\\")[0].rstrip().endswith(b";")]


def main(data, out):
    (out / "idf_parser").mkdir(parents=True, exist_ok=True)
    (out / "idd_reader").mkdir(parents=True, exist_ok=True)
    for n, path in enumerate(sorted((data / "idf").glob("*/*.idf"))):
        raw = path.read_bytes()
        lines = raw.splitlines(keepends=True)
        parts = [raw] if len(raw) <= 2 * WINDOW else windows(lines, [0] + object_ends(lines), 4)
        for k, part in enumerate(parts):
            (out / "idf_parser" / f"{n:02d}-{k}.idf").write_bytes(part)
    for n, path in enumerate(sorted((data / "idd").glob("*.idd"))):
        lines = path.read_bytes().splitlines(keepends=True)
        starts = [i for i, line in enumerate(lines) if i > 0 and CLASS_LINE.match(line.rstrip(b"\r\n"))]
        for k, part in enumerate(windows(lines, starts, 60)):
            (out / "idd_reader" / f"{n}-{k:02d}.idd").write_bytes(lines[0] + part)
    # epJSON for the target's own small dictionary (fuzz/epjson.cpp).
    (out / "epjson").mkdir(parents=True, exist_ok=True)
    (out / "epjson" / "model.epJSON").write_text(EPJSON_SEED, encoding="utf-8")


EPJSON_SEED = """{
    "BuildingSurface:Detailed": {
        "W1": {
            "vertices": [
                {
                    "vertex_x_coordinate": 1.5,
                    "vertex_y_coordinate": 0,
                    "vertex_z_coordinate": -2e-05
                },
                {},
                {
                    "vertex_x_coordinate": 3
                }
            ],
            "zone_name": "Z \\u00e9"
        }
    },
    "Output:Variable": {
        "Output:Variable 1": {
            "key_value": "*",
            "reporting_frequency": "Hourly"
        },
        "Output:Variable 2": {
            "variable_name": "Zone Mean Air Temperature"
        }
    },
    "Schedule:Compact": {
        "S": {
            "data": [
                {
                    "field": "Through: 12/31"
                },
                {
                    "field": 0.5
                }
            ]
        }
    },
    "Version": {
        "Version 1": {
            "version_identifier": "9.9"
        }
    },
    "Zone": {
        "Z \\u00e9": {
            "kind": "TARP",
            "multiplier": 2,
            "volume": "Autocalculate"
        }
    }
}"""


if __name__ == "__main__":
    main(Path(sys.argv[1]), Path(sys.argv[2]))
