"""Brivane.SDK: the application object, its settings and class inspection."""

import atexit
import enum
import fcntl
import json
import os

from .. import assembly_files, dotnet
from ..dotnet import (
    ArgumentException,
    ArgumentNullException,
    DirectoryNotFoundException,
    InvalidOperationException,
    netclass,
)
from ..knobs import knobs
from . import _files


class BrivaneModule(enum.Enum):
    """The product modules (a .NET enumeration)."""

    Pelorix = 0
    Karvona = 1
    All = -1


BrivaneModule.__namespace__ = "Brivane.SDK"


def installation_directory():
    """The installation folder, found from where Brivane.SDK was referenced:
    the parent of its Extensions folder, or its own folder."""
    location = assembly_files.location("Brivane.SDK")
    if location is None:
        raise InvalidOperationException("Brivane.SDK is not loaded from a file")
    folder = os.path.dirname(location)
    if os.path.basename(folder).lower() == "extensions":
        folder = os.path.dirname(folder)
    return folder


@netclass("Brivane.SDK")
class BrivaneApplication:
    """The product application, without user interface."""

    def __init__(self):
        self._installation = installation_directory()
        _take_licence_seat()

    def GetSettingsController(self):
        if knobs.settings_controller_missing:
            return None
        path = os.path.join(self._installation, "Settings", "Pelorix.settings")
        return SettingsController._make(path)


_seat = None  # the open seat file whose lock this process holds


def _take_licence_seat():
    global _seat
    if knobs.licence_seats is None or _seat is not None:
        return
    for number in range(knobs.licence_seats):
        fd = os.open(os.path.join(knobs.state_folder, f"seat-{number}"), os.O_CREAT | os.O_RDWR)
        try:
            # The lock goes with the process: a seat is free again when its holder dies.
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except OSError:
            os.close(fd)
            continue
        _seat = fd
        return
    # Like a licence server, the stand-in logs a refused client when it disconnects: as its process ends.
    atexit.register(_log_refusal, os.path.join(knobs.state_folder, "refusals"), os.getpid())
    raise InvalidOperationException("No Pelorix licence seat is free.")


def _log_refusal(path, pid):
    with open(path, "a", encoding="utf-8") as log:
        log.write(f"{pid}\n")


def _reset():
    global _seat
    if _seat is not None:
        os.close(_seat)
        _seat = None


@netclass("Brivane.SDK")
class SettingsController:
    """Reads single values of the installation's Pelorix.settings file,
    afresh at every call."""

    @classmethod
    def _make(cls, path):
        self = object.__new__(cls)
        self._path = path
        return self

    @property
    def SettingsPath(self):
        return self._path

    def GetSettingValue(self, family, name):
        """Value of setting ``name`` in any sub-family of ``family``;
        ArgumentException when there is none."""
        text = _files.read_text(self._path)
        try:
            document = json.loads(text)
        except ValueError:
            raise dotnet.InvalidDataException("settings file is not JSON") from None
        for fam in document.get("Families", []):
            if fam.get("Name") != family:
                continue
            for sub in fam.get("SubFamilies", []):
                for setting in sub.get("Settings", []):
                    if setting.get("Name") == name:
                        return setting.get("Value")
        raise ArgumentException(f"Unknown setting '{name}' in family '{family}'.")


@netclass("Brivane.SDK")
class BrivaneClassInspector:
    """Reflection helpers for script authors."""

    @staticmethod
    def ExportObjectToJson(obj, indent):
        """JSON with the type, namespace, public properties and methods of
        an object or a class; 2-space indentation when ``indent`` is true."""
        if not isinstance(indent, bool):
            raise TypeError("ExportObjectToJson expects a bool for indent")
        cls = obj if isinstance(obj, type) else type(obj)
        properties, methods = {}, {}
        for klass in reversed(cls.__mro__):
            if klass is object:
                continue
            for name, value in vars(klass).items():
                if name.startswith("_"):
                    continue
                if isinstance(value, property):
                    properties[name] = {"Name": name, "CanWrite": value.fset is not None}
                elif isinstance(value, (staticmethod, classmethod)) or callable(value):
                    methods[name] = {"Name": name, "Static": isinstance(value, staticmethod)}
        document = {
            "Type": cls.__name__,
            "Namespace": getattr(cls, "__namespace__", cls.__module__),
            "Properties": sorted(properties.values(), key=lambda p: p["Name"]),
            "Methods": sorted(methods.values(), key=lambda m: m["Name"]),
        }
        if indent:
            return json.dumps(document, indent=2)
        return json.dumps(document, separators=(",", ":"))

    @staticmethod
    def FindNamespaceAndAssemblyFromClassName(directory, name):
        """Tuple (namespace, assembly) of the first assembly file of
        ``directory`` that exposes a class ``name``, else None."""
        if directory is None or name is None:
            raise ArgumentNullException("directory" if directory is None else "name")
        if not os.path.isdir(directory):
            raise DirectoryNotFoundException(f"Could not find a part of the path '{directory}'.")
        for entry in sorted(os.listdir(directory)):
            if not entry.lower().endswith(".dll"):
                continue
            try:
                with open(os.path.join(directory, entry), encoding="utf-8") as f:
                    image = json.load(f)
                spaces = image["namespaces"]
                assembly = image["standin-assembly"]
            except (OSError, ValueError, KeyError, TypeError):
                continue
            for namespace, classes in spaces.items():
                if name in classes:
                    return dotnet.Tuple._make(namespace, assembly)
        return None
