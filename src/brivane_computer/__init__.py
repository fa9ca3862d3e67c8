"""Drive an installed Pelorix product from Python scripts, without its user interface.

Every function, the ``BrivaneModule`` enumeration and the module's globals
live in :mod:`brivane_computer.brivane_core`. This package shows them at its
top level *live*: reading ``brivane_computer._validSetup_`` gives the core
module's current value, and assigning a global here assigns it there.
"""

import sys as _sys
import types as _types

from . import brivane_core

__all__ = sorted(
    name for name, value in vars(brivane_core).items() if callable(value) and not name.startswith("__")
    and getattr(value, "__module__", None) == brivane_core.__name__
)


class _LivePackage(_types.ModuleType):
    def __getattr__(self, name):
        try:
            return getattr(brivane_core, name)
        except AttributeError:
            raise AttributeError(f"module {self.__name__!r} has no attribute {name!r}") from None

    def __setattr__(self, name, value):
        # The core module's names are set there, where its functions read them.
        if not name.startswith("__") and hasattr(brivane_core, name):
            setattr(brivane_core, name, value)
        else:
            super().__setattr__(name, value)

    def __dir__(self):
        return sorted(set(super().__dir__()) | set(dir(brivane_core)))


_sys.modules[__name__].__class__ = _LivePackage
