"""The batch's plugin on every Dask worker: when the worker closes (its service stopped, SIGTERM, Ctrl-C), the
solver children that it started end with it, and their folders with copies of the models go, rather than
staying until the next child on the machine removes them."""

from __future__ import annotations

from typing import Any

from distributed import WorkerPlugin
from distributed.core import Status

from ._on_worker import close_worker

# The plugin's name on a cluster: each batch registers it, and once it is there, again changes nothing.
NAME = "brivane-end-solver-children"


class EndChildrenAtClose(WorkerPlugin):
    # Registered once for every batch to come: a second registration does not replace it.
    idempotent = True

    def teardown(self, worker: Any) -> None:
        # Dask also tears a plugin down when it only replaces or removes it (a worker that registers with its
        # scheduler again is sent its plugins anew): the worker then lives on, and so do its children.
        if worker.status == Status.closing:
            close_worker()
