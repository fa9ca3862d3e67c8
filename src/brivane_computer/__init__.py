"""Drive an installed Pelorix product from Python scripts, without its user interface.

Every function, the ``BrivaneModule`` enumeration and the module's globals
live in :mod:`brivane_computer.brivane_core`. This package shows them at its
top level *live*: reading ``brivane_computer._validSetup_`` gives the core
module's current value, and assigning a global here assigns it there.

The core module, which imports the CLR bridge ``clr`` and ``pythoncom``, is
loaded on first use: reading or assigning one of its names here, ``dir()``,
``__all__`` or ``brivane_computer.brivane_core``. Until then the package
imports anywhere, so that ``brivane_computer.batch`` reads reports and submits
to a cluster on a machine without the bridge.
"""

import importlib as _importlib
import sys as _sys
import types as _types

_CORE = "brivane_core"
# The package's own pure-Python subpackages: the import system asks the package for them before it imports
# them, which must not load the core.
_OWN = frozenset({"batch"})


def _core(package):
    """The core module, loaded now if it is not yet."""
    # The import system binds it on the package once it is loaded.
    core = vars(package).get(_CORE)
    return core if core is not None else _importlib.import_module(f"{package.__name__}.{_CORE}")


class _LivePackage(_types.ModuleType):
    def __getattr__(self, name):
        # Tools probe modules for special names (__wrapped__, __test__): none of them is the core's.
        if name in _OWN or name.startswith("__") and name != "__all__":
            raise AttributeError(f"module {self.__name__!r} has no attribute {name!r}")
        core = _core(self)
        if name == _CORE:
            return core
        if name == "__all__":
            names = sorted(
                key
                for key, value in vars(core).items()
                if callable(value) and not key.startswith("__") and getattr(value, "__module__", None) == core.__name__
            )
            super().__setattr__("__all__", names)
            return names
        try:
            return getattr(core, name)
        except AttributeError:
            raise AttributeError(f"module {self.__name__!r} has no attribute {name!r}") from None

    def __setattr__(self, name, value):
        # A submodule that the import system binds here stays here, without loading the core.
        own = isinstance(value, _types.ModuleType) and getattr(value, "__name__", None) == f"{self.__name__}.{name}"
        if own or name.startswith("__"):
            super().__setattr__(name, value)
            return
        # The core module's names are set there, where its functions read them.
        core = _core(self)
        if hasattr(core, name):
            setattr(core, name, value)
        else:
            super().__setattr__(name, value)

    def __dir__(self):
        return sorted(set(super().__dir__()) | set(dir(_core(self))))


_sys.modules[__name__].__class__ = _LivePackage
