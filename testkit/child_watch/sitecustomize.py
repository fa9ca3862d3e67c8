"""Run at the start of every Python process of a confined pytest run (this folder comes first on its
PYTHONPATH, and the test kit follows): the process refuses and logs each removal or write outside the
sandbox, as the test process does."""

import os

if os.environ.get("BRIVANE_OUT_OF_BOUNDS_LOG") and os.environ.get("BRIVANE_CONFINED"):
    from brivane_testkit import confinement_watch

    if os.environ["BRIVANE_CONFINED"] != confinement_watch.THROW_AWAY_RUNNER:
        confinement_watch.watch(os.environ["BRIVANE_CONFINED"], os.environ["BRIVANE_OUT_OF_BOUNDS_LOG"])
