"""One timed import in a fresh interpreter: python bench/import_time.py SIDE

The platform (the stand-in's clr and pythoncom) is imported first, as on a
user's machine; then the clock runs around one import and the seconds are printed.
SIDE "module" imports the package brivane_computer and loads brivane_core, as a script's first use does;
SIDE "floor" imports only the host modules that the module body must import.
"""

import sys
from time import perf_counter

import clr  # noqa: F401
import pythoncom  # noqa: F401


def main(side):
    if side == "module":
        t0 = perf_counter()
        import brivane_computer.brivane_core  # noqa: F401

        elapsed = perf_counter() - t0
    elif side == "floor":
        t0 = perf_counter()
        import enum, os, clr, ctypes, pythoncom, json, threading, shutil, tempfile, uuid  # noqa: E401,F401,F811

        elapsed = perf_counter() - t0
    else:
        raise SystemExit(f"unknown side {side!r}")
    print(repr(elapsed))


if __name__ == "__main__":
    main(sys.argv[1])
