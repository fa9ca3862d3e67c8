"""What the batch knows of an installation and its settings files without loading the native module: the
module's names and default settings paths, and how a settings file is read (a regular file, no larger than
``SETTINGS_LIMIT``). The batch's input checks and ``brivane doctor`` use it alike."""

from ._files import NotRegularFile, TooLarge, read_regular
from ._inputs import SETTINGS_LIMIT
from ._module_facts import DEFAULT_DATA_SOURCES, DEFAULT_SETTINGS, MODULES, module_name, settings_paths

__all__ = [
    "DEFAULT_DATA_SOURCES",
    "DEFAULT_SETTINGS",
    "MODULES",
    "SETTINGS_LIMIT",
    "NotRegularFile",
    "TooLarge",
    "module_name",
    "read_regular",
    "settings_paths",
]
