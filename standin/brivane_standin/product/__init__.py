"""The product's assemblies, one Python module per .NET namespace, and the
read helpers that tests and the demo use to look at what the product did."""

import importlib

from .pelorix_core import open_result_files, read_fre
from .pelorix_project import read_current_study, read_project

__all__ = ["open_result_files", "read_fre", "read_current_study", "read_project", "qblibrary_path", "implementation"]

NAMESPACE_MODULES = {
    "Brivane.SDK": "sdk",
    "Brivane.Helper": "helper",
    "Brivane.Pelorix.Core": "pelorix_core",
    "Brivane.Pelorix.Project": "pelorix_project",
    "Brivane.Quelbar.Core": "quelbar_core",
    "Brivane.Revav.Core": "revav_core",
}


class _Classes:
    def __init__(self, modules):
        self._modules = modules

    def __getattr__(self, name):
        for module in self._modules:
            if hasattr(module, name):
                return getattr(module, name)
        raise AttributeError(name)


def implementation(namespaces):
    """Object giving the classes of an assembly's ``namespaces`` (a dict
    namespace -> class names), or None when the stand-in lacks one."""
    modules = []
    for namespace, classes in namespaces.items():
        name = NAMESPACE_MODULES.get(namespace)
        if name is None or not isinstance(classes, list):
            return None
        module = importlib.import_module(f"{__name__}.{name}")
        if not all(getattr(getattr(module, c, None), "__namespace__", None) == namespace for c in classes):
            return None
        modules.append(module)
    return _Classes(modules)


def qblibrary_path():
    """Path last given to a successful QBLibrary.Initialize, or None."""
    from .pelorix_core import QBLibrary

    return QBLibrary._path


def _reset():
    from . import pelorix_core, sdk

    pelorix_core._reset()
    sdk._reset()
