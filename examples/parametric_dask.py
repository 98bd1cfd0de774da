"""200 variants of one model on a local Dask cluster: insulation thickness
times window glazing, each checked and saved in the model's own layout.

    pip install "tamrix[dask]"
    python examples/parametric_dask.py [MODEL.idf DICTIONARY.idd] [--out DIR]

Without arguments it uses the example bundled with tamrix. The model travels
to the workers as its text plus the changes (a few KB); the dictionary is
registered once per worker, so the workers need no copy of its file.
"""

import argparse
import itertools
import tempfile
import time
from importlib import resources
from pathlib import Path

import tamrix.dask
from tamrix.check import check_model
from tamrix.idd import IDD
from tamrix.idf import IDF

THICKNESSES = [0.02 + 0.01 * i for i in range(20)]  # insulation, m
GLAZINGS = [(u, shgc) for u in (1.0, 1.4, 1.8, 2.4, 2.8) for shgc in (0.3, 0.5)]  # U-factor, SHGC


def make_variant(model: IDF, number: int, thickness: float, glazing: tuple[float, float], out: str) -> int:
    """On a worker: edits the model, checks it, saves it; the problem count."""
    for material in model.get_objects("Material"):
        if "insulation" in str(material[0]).lower():
            material["Thickness"] = round(thickness, 3)
    for glass in model.get_objects("WindowMaterial:SimpleGlazingSystem"):
        glass.update({1: glazing[0], 2: glazing[1]})
    problems = check_model(model)
    model.save(str(Path(out) / f"variant_{number:03d}.idf"), original_layout=True)
    return len(problems)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("model", nargs="?")
    parser.add_argument("idd", nargs="?")
    parser.add_argument("--out", help="where to save the variants (default: a temporary folder)")
    args = parser.parse_args()
    bundled = resources.files("tamrix").joinpath("examples")
    idd = IDD.from_file(args.idd or str(bundled.joinpath("example.idd")))
    model = IDF.from_file(idd, args.model or str(bundled.joinpath("example.idf")))
    out = args.out or tempfile.mkdtemp(prefix="variants-")
    Path(out).mkdir(parents=True, exist_ok=True)

    with tamrix.dask.local_client() as client:
        tamrix.dask.register(client, idd)
        grid = list(itertools.product(THICKNESSES, GLAZINGS))
        start = time.perf_counter()
        futures = [client.submit(make_variant, model, n, t, g, out, pure=False) for n, (t, g) in enumerate(grid)]
        problems = client.gather(futures)
        seconds = time.perf_counter() - start
        workers = len(client.scheduler_info()["workers"])
    print(f"{len(grid)} variants in {seconds:.2f} s ({len(grid) / seconds:.0f} variants/s) on {workers} workers; "
          f"{sum(problems)} problems in all; saved to {out}")


if __name__ == "__main__":
    main()
