"""Running tamrix work on a Dask cluster (``pip install "tamrix[dask]"``).

Models pickle small: their source text plus what changed since, and their
dictionary by path and digest only. A worker restores a model from the
dictionary registered with it under that digest, so the workers need no
copy of the dictionary file::

    from dask.distributed import Client
    import tamrix.dask

    client = Client()                       # or Client("tcp://scheduler:8786")
    tamrix.dask.register(client, idd)       # every worker, now and later
    futures = client.map(simulate_variant, [model] * 200, range(200))

A model pickle that names a dictionary neither registered nor readable on a
worker fails there with an error naming the path and digest.
"""

from __future__ import annotations

import os
from typing import Any

from distributed import Client, LocalCluster
from distributed.diagnostics.plugin import WorkerPlugin

from tamrix.idd import IDD, _dictionary_text, _register

__all__ = ["DictionaryPlugin", "register", "local_client"]


class DictionaryPlugin(WorkerPlugin):
    """Registers one dictionary, by its text, in every worker process it is
    set up on: the scheduler hands it to the workers there now and to those
    that join later, so the text goes once to each worker."""

    def __init__(self, text: bytes, path: str | None, digest: str) -> None:
        self.text = text
        self.path = path
        self.digest = digest
        self.name = f"tamrix-dictionary-{digest}"

    def setup(self, worker: Any = None) -> None:
        idd = _register(self.text, self.path)
        if idd.digest != self.digest:  # the text was damaged on the way
            raise ValueError(f"dictionary text for digest {self.digest} arrived with digest {idd.digest}")


def register(client: Client, *dictionaries: IDD) -> list[str]:
    """Makes each dictionary available on every worker of the client's
    cluster, current and future; returns their digests. The dictionaries are
    registered in this process too, so models pickled here carry their
    dictionary by digest alone (even one read from a string)."""
    digests = []
    for idd in dictionaries:
        if not isinstance(idd, IDD):
            raise TypeError(f"register() takes IDD dictionaries, not {type(idd).__name__}")
        text = _dictionary_text(idd)
        _register(idd)
        plugin = DictionaryPlugin(text, idd.path, idd.digest)
        if hasattr(client, "register_plugin"):
            client.register_plugin(plugin, name=plugin.name)
        else:  # distributed before 2023.9
            client.register_worker_plugin(plugin, name=plugin.name)
        digests.append(idd.digest)
    return digests


def local_client(workers: int | None = None, **cluster_options: Any) -> Client:
    """A client of a new cluster on this machine: one single-threaded worker
    process per core (or `workers`), listening on the loopback only, with no
    dashboard. Closing the client closes the cluster."""
    options: dict[str, Any] = {
        "n_workers": workers or os.cpu_count() or 1,
        "threads_per_worker": 1,
        "processes": True,
        "host": "127.0.0.1",
        "dashboard_address": None,
    }
    options.update(cluster_options)
    cluster = LocalCluster(**options)
    client = Client(cluster)
    # Closing the client closes the cluster made for it.
    client._tamrix_cluster = cluster  # type: ignore[attr-defined]
    original_close = client.close

    def close(*args: Any, **kwargs: Any) -> Any:
        try:
            return original_close(*args, **kwargs)
        finally:
            cluster.close()

    client.close = close  # type: ignore[method-assign]
    return client
