"""The cluster runner: a batch's models solved by Dask tasks, each of which sends its solve to a solver child
process of its worker (``_on_worker``, ``_child``)."""

from ._runner import ClusterBatch, cluster_workers

__all__ = ["ClusterBatch", "cluster_workers"]
