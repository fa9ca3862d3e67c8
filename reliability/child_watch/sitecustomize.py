"""Run at the start of every Python process of a confined pytest run (this folder is on PYTHONPATH): the
process refuses and logs each removal or write outside the sandbox, as the test process does."""
import os
import sys

if os.environ.get("BRIVANE_OUT_OF_BOUNDS_LOG") and os.environ.get("BRIVANE_CONFINED"):
    sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
    try:
        import confinement_watch
    finally:
        del sys.path[0]
    if os.environ["BRIVANE_CONFINED"] != confinement_watch.THROW_AWAY_RUNNER:
        confinement_watch.watch(os.environ["BRIVANE_CONFINED"], os.environ["BRIVANE_OUT_OF_BOUNDS_LOG"])
