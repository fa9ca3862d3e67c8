"""The standard-library modules that importing the real CLR bridge loads.

On a user's machine ``import clr`` (pythonnet) starts the .NET runtime
through its loader package, which imports a good part of the standard
library on the way. The stand-in's ``clr`` imports the same modules, so that
what a script pays afterwards for importing other modules (the module's own
import among them) is what it pays on a user's machine.

The list was taken from ``sys.modules`` after ``import clr`` with pythonnet
3.0.5 on Mono (public, top-level modules only); the integration suite checks
on every run with the real bridge that the bridge still imports each of them.
"""

import importlib

MODULES = (
    "ast",
    "bisect",
    "bz2",
    "collections",
    "contextlib",
    "copy",
    "ctypes",
    "dataclasses",
    "dis",
    "enum",
    "errno",
    "fnmatch",
    "functools",
    "inspect",
    "json",
    "keyword",
    "linecache",
    "lzma",
    "math",
    "ntpath",
    "opcode",
    "operator",
    "pathlib",
    "platform",
    "random",
    "re",
    "reprlib",
    "selectors",
    "shutil",
    "signal",
    "struct",
    "subprocess",
    "tempfile",
    "threading",
    "token",
    "tokenize",
    "types",
    "typing",
    "urllib",
    "weakref",
    "zlib",
)


def import_all():
    for name in MODULES:
        importlib.import_module(name)
