"""Work on a local Dask cluster of two worker processes: models edited on
workers that never had the dictionary file, and the command line's --dask
path giving what a local run gives."""

from __future__ import annotations

import pickle
import shutil
import subprocess
import sys

import pytest

pytest.importorskip("distributed")

from _data import DATA_DIR  # noqa: E402
from tamrix.idd import IDD  # noqa: E402
from tamrix.idf import IDF  # noqa: E402

FILES = ["1ZoneUncontrolled.idf", "1ZoneEvapCooler.idf", "4ZoneWithShading_Simple_1.idf"]


@pytest.fixture(scope="module")
def client():
    import tamrix.dask

    c = tamrix.dask.local_client(workers=2)
    yield c
    c.close()


def rename_zones(model: IDF) -> tuple[str, bytes]:
    """Runs on a worker: renames every zone and returns the model's text in
    its original layout, with the model itself pickled back."""
    for zone in model.get_objects("Zone"):
        zone.rename(zone[0] + " (variant)")
    model.remove_all_objects("Output:Variable")
    model.add_object("Zone", ["Added on a worker"])
    return model.format(original_layout=True), pickle.dumps(model)


def test_workers_without_the_dictionary_file(client, tmp_path):
    if not DATA_DIR.is_dir():
        pytest.skip(f"data corpus not found at {DATA_DIR}")
    import tamrix.dask

    path = tmp_path / "copy.idd"
    shutil.copy(DATA_DIR / "idd" / "V8-8-0-Energy+.idd", path)
    idd = IDD.from_file(path)
    models = [IDF.from_file(idd, DATA_DIR / "idf" / "V8-8-0" / f) for f in FILES]
    expected = [rename_zones(pickle.loads(pickle.dumps(m)))[0] for m in models]
    # A dictionary neither registered nor readable: a clear error.
    other = tmp_path / "other.idd"
    other.write_bytes(path.read_bytes() + b"! another copy\n")
    unregistered = IDF.from_string(IDD.from_file(other), "Version,8.8;")
    other.unlink()
    with pytest.raises(FileNotFoundError, match=r"digest [0-9a-f]{16}.*tamrix.dask.register\(client, idd\)"):
        client.submit(lambda blob: pickle.loads(blob).format(), pickle.dumps(unregistered), pure=False).result()
    assert tamrix.dask.register(client, idd) == [idd.digest]
    path.unlink()
    results = client.gather(client.map(rename_zones, models, pure=False))
    assert [text for text, _ in results] == expected
    # The edited models come back to this process equal.
    for (text, blob), model in zip(results, models):
        back = pickle.loads(blob)
        assert back._idd is idd and back.format(original_layout=True) == text
    # Workers that join later get the dictionary too.
    client.cluster.scale(3)
    client.wait_for_workers(3, timeout=60)
    results = client.gather(client.map(rename_zones, models * 2, pure=False))
    assert [text for text, _ in results] == expected * 2
    client.cluster.scale(2)


def run_cli(*args: str) -> subprocess.CompletedProcess:
    return subprocess.run([sys.executable, "-m", "tamrix", *args], capture_output=True, text=True, timeout=300)


@pytest.mark.parametrize("command", ["check", "fmt"])
def test_command_line_on_a_cluster_matches_a_local_run(client, command, tmp_path):
    if not DATA_DIR.is_dir():
        pytest.skip(f"data corpus not found at {DATA_DIR}")
    files = [str(DATA_DIR / "idf" / "V8-0-0" / f) for f in ("twobox.idf", "5ZoneWaterLoopHeatPump.idf")]
    files += [str(DATA_DIR / "idf" / "V8-8-0" / f) for f in FILES] + [str(tmp_path / "missing.idf")]
    idd = str(DATA_DIR / "idd" / "V8-0-0-Energy+.idd")
    args = [command, *files, "--idd", idd] if command == "check" else [command, *files[:2], "--idd", idd]
    address = client.scheduler.address
    local, remote = run_cli(*args), run_cli(*args, "--dask", address)
    assert remote.returncode == local.returncode
    assert remote.stdout == local.stdout
    assert remote.stderr == local.stderr
    if command == "check":
        assert local.returncode == 2 and "missing.idf: no such file" in local.stderr


def test_fmt_writes_back_on_the_client(client, tmp_path):
    if not DATA_DIR.is_dir():
        pytest.skip(f"data corpus not found at {DATA_DIR}")
    source = DATA_DIR / "idf" / "V8-8-0" / FILES[0]
    for name in ("a", "b"):
        shutil.copy(source, tmp_path / f"{name}.idf")
    extra = ["--no-timestamp", "--idd", str(DATA_DIR / "idd" / "V8-8-0-Energy+.idd")]
    assert run_cli("fmt", str(tmp_path / "a.idf"), "--in-place", *extra).returncode == 0
    done = run_cli("fmt", str(tmp_path / "b.idf"), "--in-place", *extra, "--dask", client.scheduler.address)
    assert done.returncode == 0, done.stderr
    assert (tmp_path / "a.idf").read_bytes() == (tmp_path / "b.idf").read_bytes() != source.read_bytes()
