"""Stand-in for the CLR bridge module ``clr``.

``AddReference`` loads an assembly: the base library by name ("mscorlib",
"System", "WindowsBase") or a stand-in assembly file by path.  The
namespaces of every referenced assembly become importable as modules
(``from Brivane.SDK import BrivaneApplication``) through a ``sys.meta_path``
finder installed when this module is imported.

A stand-in assembly file is JSON::

    {"standin-assembly": "Brivane.Pelorix.Core",
     "references": ["WindowsBase"],
     "namespaces": {"Brivane.Pelorix.Core": ["Model", "Layer", ...]}}

and must be named ``<assembly>.dll``.  The classes themselves live in
``brivane_standin.product`` (and ``brivane_standin.dotnet`` for System).
"""

import importlib
import importlib.abc
import importlib.machinery
import json
import os
import sys
import threading

from brivane_standin import assembly_files, bridge_imports, dotnet, journal

# What the real bridge loads of the standard library when it is imported.
bridge_imports.import_all()

_BASE_LIBRARIES = {
    "mscorlib": ["System", "System.IO", "System.Globalization", "System.Threading"],
    "System": ["System", "System.IO", "System.Globalization", "System.Threading"],
    "WindowsBase": ["System.Windows"],
}

_lock = threading.RLock()
_assemblies = {}  # assembly name -> Assembly
_namespaces = {}  # namespace -> {class name: class}


class Assembly:
    """What ``AddReference`` returns."""

    def __init__(self, name, location, namespaces):
        self.Name = name
        self.Location = location
        self.Namespaces = namespaces
        self.FullName = f"{name}, Version=1.0.0.0, Culture=neutral, PublicKeyToken=null"

    def __repr__(self):
        return f"<Assembly {self.FullName}>"


def AddReference(name):
    """Load an assembly by base-library name or by file path."""
    journal.record("clr", "AddReference", (name,))
    if not isinstance(name, str):
        raise TypeError("AddReference expects a string")
    return _add(name)


def _add(name):
    with _lock:
        if name in _assemblies:
            return _assemblies[name]
        if name in _BASE_LIBRARIES:
            spaces = {ns: dotnet.NAMESPACES[ns] for ns in _BASE_LIBRARIES[name]}
            return _register(Assembly(name, None, spaces), dotnet)
    # Read and resolved without the lock: resolving imports the product's
    # modules, which takes the import lock that a namespace import on another
    # thread holds while it waits for this lock.
    return _load_file(name)


def _load_file(path):
    location = os.path.abspath(path)
    if not os.path.isfile(location):
        raise dotnet.FileNotFoundException(
            f"Could not load file or assembly '{path}'. The system cannot find the file specified."
        )
    try:
        with open(location, encoding="utf-8") as f:
            image = json.load(f)
        name = image["standin-assembly"]
        spaces = image["namespaces"]
        references = image.get("references", [])
        if not isinstance(name, str) or not isinstance(spaces, dict):
            raise ValueError
    except (ValueError, KeyError, TypeError, UnicodeDecodeError):
        raise dotnet.BadImageFormatException(
            f"Could not load file or assembly '{path}'. The module was expected to contain an assembly manifest."
        ) from None
    if os.path.splitext(os.path.basename(location))[0] != name:
        raise dotnet.FileLoadException(
            f"Could not load file or assembly '{path}'. The located "
            f"assembly's manifest definition '{name}' does not match the "
            "assembly reference."
        )
    with _lock:
        if name in _assemblies:
            return _assemblies[name]
    from brivane_standin import product

    implementation = product.implementation(spaces)
    if implementation is None:
        raise dotnet.BadImageFormatException(f"Could not load file or assembly '{path}': unknown types.")
    for reference in references:
        _add(reference)
    with _lock:
        if name in _assemblies:
            return _assemblies[name]
        return _register(Assembly(name, location, spaces), implementation)


def _register(assembly, implementation):
    """Records an assembly and its namespaces; the caller holds the lock."""
    _assemblies[assembly.Name] = assembly
    assembly_files.record(assembly.Name, assembly.Location)
    for ns, classes in assembly.Namespaces.items():
        members = _namespaces.setdefault(ns, {})
        for cls in classes:
            members[cls] = getattr(implementation, cls)
        module = sys.modules.get(ns)
        if module is not None and getattr(module, "__loader__", None) is _finder:
            module.__dict__.update(members)
    return assembly


def references():
    """Names of the referenced assemblies, in reference order."""
    with _lock:
        return list(_assemblies)


class _NamespaceFinder(importlib.abc.MetaPathFinder, importlib.abc.Loader):
    """Makes the namespaces of referenced assemblies importable."""

    def find_spec(self, fullname, path=None, target=None):
        with _lock:
            known = fullname in _namespaces or any(ns.startswith(fullname + ".") for ns in _namespaces)
        if not known:
            return None
        return importlib.machinery.ModuleSpec(fullname, self, is_package=True)

    def create_module(self, spec):
        return None

    def exec_module(self, module):
        module.__path__ = []
        with _lock:
            module.__dict__.update(_namespaces.get(module.__name__, {}))


_finder = _NamespaceFinder()


def _install():
    sys.meta_path[:] = [f for f in sys.meta_path if type(f).__name__ != "_NamespaceFinder"]
    sys.meta_path.insert(0, _finder)


def _reset():
    """Forget every reference and drop the namespace modules."""
    with _lock:
        _assemblies.clear()
        _namespaces.clear()
        assembly_files.clear()
        for name, module in list(sys.modules.items()):
            if getattr(module, "__loader__", None) is _finder:
                del sys.modules[name]


_install()
