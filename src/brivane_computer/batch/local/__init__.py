"""The local runner: worker processes of this machine, each set up once, solving one model at a time."""

from ._runner import FOLDER_PREFIX, LocalBatch

__all__ = ["FOLDER_PREFIX", "LocalBatch"]
