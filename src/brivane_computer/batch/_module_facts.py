"""What the submitting side of a batch, and ``brivane doctor``, need of the native module without loading it:
the names of ``BrivaneModule``'s members and the module's two settings paths. A test checks each against the
module.

The module is loaded only where models are solved; a machine that reads reports or submits to a cluster may
not have the CLR bridge it needs. Where a script has loaded it already, its current values count (the script
may have assigned ``_settingsPath_``).
"""

from __future__ import annotations

import sys
from typing import Any

CORE = "brivane_computer.brivane_core"
# BrivaneModule's members, in definition order.
MODULES = ("All", "Pelorix", "Karvona")
# The initial values of the globals _settingsPath_ and _dataSourcesPath_.
DEFAULT_SETTINGS = "C:\\ProgramData\\Brivane\\Pelorix\\Settings\\Pelorix.settings"
DEFAULT_DATA_SOURCES = "C:\\ProgramData\\Brivane\\Pelorix\\Settings\\DataSources.settings"


def settings_paths() -> tuple[str, str]:
    """The settings and data-sources files that set-up reads unless given others: the module's current
    ``_settingsPath_`` and ``_dataSourcesPath_`` when it is loaded in this process, else their defaults."""
    core: Any = sys.modules.get(CORE)
    if core is None:
        return DEFAULT_SETTINGS, DEFAULT_DATA_SOURCES
    return core._settingsPath_, core._dataSourcesPath_


def module_name(value: Any) -> str | None:
    """The name of the ``BrivaneModule`` member that ``value`` is or names; None when it is neither."""
    if isinstance(value, str):
        return value if value in MODULES else None
    # A member exists only where the module is loaded.
    core: Any = sys.modules.get(CORE)
    if core is not None and isinstance(value, core.BrivaneModule):
        return str(value.name)
    return None
