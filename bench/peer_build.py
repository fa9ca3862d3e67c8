"""Builds the compiled-Python peer (bench/peer.py) for the running interpreter: python bench/peer_build.py

Cython (pinned in requirements/bench.txt) translates bench/peer.py into C with
its default directives (binding=True, language_level 3) as module
``bench_peer``; the C compiler (cc, or $CC) builds it with -O2 and
Py_LIMITED_API=0x030A0000, the stable ABI of 3.10 that the module is built for,
under which Cython's generated code uses only the limited API. Prints the
folder that holds the built module (bench/run.py builds it before any case
runs; bench/cases.py only loads it, with ``load``).
"""

import os
import shlex
import subprocess
import sys
import sysconfig

import probe

HERE = os.path.dirname(os.path.abspath(__file__))
FOLDER = os.path.join(os.path.dirname(HERE), "build", "bench-peer")
SOURCE = os.path.join(HERE, "peer.py")
NAME = "bench_peer"
LIMITED_API = "0x030A0000"


def built(folder=FOLDER):
    return os.path.join(folder, NAME + ".abi3.so")


def build(folder=FOLDER):
    os.makedirs(folder, exist_ok=True)
    target = built(folder)
    if os.path.exists(target) and os.path.getmtime(target) >= os.path.getmtime(SOURCE):
        return folder
    generated = os.path.join(folder, NAME + ".c")
    subprocess.run([sys.executable, "-m", "cython", "-3", "--module-name", NAME, SOURCE, "-o", generated], check=True)
    compiler = shlex.split(os.environ.get("CC", "cc"))
    subprocess.run(
        compiler
        + [
            "-O2",
            "-shared",
            "-fPIC",
            f"-DPy_LIMITED_API={LIMITED_API}",
            "-I",
            sysconfig.get_paths()["include"],
            generated,
            "-o",
            target,
        ],
        check=True,
    )
    return folder


def load():
    """The built peer (bench/run.py builds it first)."""
    return probe.load_built(NAME, built())


if __name__ == "__main__":
    print(build())
