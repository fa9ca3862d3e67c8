"""Builds bench/probe.c for the running interpreter: python bench/probe.py

Prints the folder that holds the built module ``bench_probe`` (bench/run.py
builds it before any case runs; bench/cases.py only loads it, with ``load``). The C
compiler is cc, or $CC.
"""

import importlib.util
import os
import shlex
import subprocess
import sys
import sysconfig

HERE = os.path.dirname(os.path.abspath(__file__))
# One build per interpreter, beside the module's own build folders.
FOLDER = os.path.join(os.path.dirname(HERE), "build", "bench-probe", sysconfig.get_config_var("EXT_SUFFIX").strip("."))


def built(folder=FOLDER):
    return os.path.join(folder, "bench_probe" + sysconfig.get_config_var("EXT_SUFFIX"))


def build(folder=FOLDER):
    os.makedirs(folder, exist_ok=True)
    target = built(folder)
    source = os.path.join(HERE, "probe.c")
    if not os.path.exists(target) or os.path.getmtime(target) < os.path.getmtime(source):
        compiler = shlex.split(os.environ.get("CC", "cc"))
        subprocess.run(
            compiler + ["-O2", "-shared", "-fPIC", "-I", sysconfig.get_paths()["include"], source, "-o", target],
            check=True,
        )
    return folder


def load_built(name, path):
    """The built module `name` imported from its file `path`: its folder is not on the path."""
    spec = importlib.util.spec_from_file_location(name, path)
    if spec is None:
        raise ImportError(f"{path} is not a module that this interpreter loads", name=name, path=path)
    module = importlib.util.module_from_spec(spec)
    sys.modules[name] = module
    spec.loader.exec_module(module)
    return module


def load():
    """The built probe (bench/run.py builds it first)."""
    return load_built("bench_probe", built())


if __name__ == "__main__":
    print(build())
