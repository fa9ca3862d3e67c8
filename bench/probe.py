"""Builds bench/probe.c for the running interpreter: python bench/probe.py

Prints the folder that holds the built module ``bench_probe`` (bench/run.py
builds it before any case runs; bench/cases.py only imports it). The C
compiler is cc, or $CC.
"""
import os
import shlex
import subprocess
import sys
import sysconfig

HERE = os.path.dirname(os.path.abspath(__file__))
# One build per interpreter, beside the module's own build folders.
FOLDER = os.path.join(os.path.dirname(HERE), "build", "bench-probe", sysconfig.get_config_var("EXT_SUFFIX").strip("."))


def build(folder=FOLDER):
    os.makedirs(folder, exist_ok=True)
    target = os.path.join(folder, "bench_probe" + sysconfig.get_config_var("EXT_SUFFIX"))
    source = os.path.join(HERE, "probe.c")
    if not os.path.exists(target) or os.path.getmtime(target) < os.path.getmtime(source):
        compiler = shlex.split(os.environ.get("CC", "cc"))
        subprocess.run(compiler + ["-O2", "-shared", "-fPIC", "-I", sysconfig.get_paths()["include"], source,
                                   "-o", target], check=True)
    return folder


if __name__ == "__main__":
    print(build())
