"""Brivane.Pelorix.Core: models, commands, the native library and solutions."""

import ctypes
import json
import os

from ..dotnet import (
    ArgumentException,
    ArgumentNullException,
    BadImageFormatException,
    FileNotFoundException,
    InvalidDataException,
    InvalidOperationException,
    netclass,
)
from ..locks import fork_safe_lock
from . import _files
from .sdk import BrivaneApplication, BrivaneModule

NS = "Brivane.Pelorix.Core"
_MODULES = {"Pelorix": BrivaneModule.Pelorix, "Karvona": BrivaneModule.Karvona}
_NO_MODULE = object()


def check_module(module):
    """The product module of a model or study: Pelorix or Karvona only."""
    if not isinstance(module, BrivaneModule) or module is BrivaneModule.All:
        raise ArgumentException(f"Invalid Brivane module: {module!r}")
    return module


@netclass(NS)
class PipingCode:
    """Calculation code of piping models."""

    Name = "Piping"


@netclass(NS)
class StructureCode:
    """Calculation code of structure models."""

    Name = "Structure"


@netclass(NS)
class Layer:
    """A named layer of a model."""

    def __init__(self, name):
        if name is None:
            raise ArgumentNullException("name")
        if not isinstance(name, str):
            raise TypeError("Layer(name) expects a string")
        self._name = name

    @classmethod
    def _make(cls, name):
        self = object.__new__(cls)
        self._name = name
        return self

    @property
    def Name(self):
        return self._name

    def __repr__(self):
        return f"Layer({self._name!r})"


@netclass(NS)
class LayerCollection:
    """The Layers of a model; names are unique."""

    def __init__(self):
        self._items = []

    def Add(self, layer):
        if not isinstance(layer, Layer):
            raise ArgumentException("Layers.Add expects a Layer")
        if layer.Name in self.Names:
            raise ArgumentException(f"Layer '{layer.Name}' already exists.")
        self._items.append(layer)

    @property
    def Count(self):
        return len(self._items)

    @property
    def Names(self):
        return [layer.Name for layer in self._items]

    def __iter__(self):
        return iter(list(self._items))

    def __len__(self):
        return len(self._items)


@netclass(NS, journaled_gets=("CalculationCode", "Layers"))
class Model:
    """A vokel model: its product module (piping or structure), layers and
    elements.  ``Model()`` starts as a piping model until a file is loaded."""

    def __init__(self, module=_NO_MODULE):
        if module is not _NO_MODULE:
            check_module(module)
        else:
            module = BrivaneModule.Pelorix
        self._apply(module, [], [])
        self._file = None

    def _apply(self, module, layers, elements):
        self._module = module
        self._code = PipingCode() if module is BrivaneModule.Pelorix else StructureCode()
        self._layers = object.__new__(LayerCollection)
        self._layers._items = [Layer._make(name) for name in layers]
        self._elements = list(elements)

    @property
    def Module(self):
        return self._module

    @property
    def CalculationCode(self):
        return self._code

    @property
    def Layers(self):
        return self._layers

    @property
    def Elements(self):
        return tuple(self._elements)

    @property
    def FilePath(self):
        """File last loaded or saved, or None."""
        return self._file

    def SaveToFile(self, path):
        self._save(path)

    def _save(self, path):
        document = {
            "standin-model": 1,
            "module": self._module.name,
            "layers": self._layers.Names,
            "elements": self._elements,
        }
        _files.write_atomic(path, json.dumps(document, indent=1))
        self._file = path

    def LoadFromFile(self, path):
        self._load(path)

    def _load(self, path):
        document = _files.read_json(path, "standin-model")
        module = _MODULES.get(document.get("module"))
        layers, elements = document.get("layers"), document.get("elements")
        if module is None or not _strings(layers) or not _strings(elements):
            raise InvalidDataException(f"'{path}' is not a valid model file.")
        self._apply(module, layers, elements)
        self._file = path

    def WriteFreFile(self, *args, **kwargs):
        """Write the solver input (fre) file.  Exactly twelve positional
        arguments: frefile, a2, maxLength, rotation, a5, imperial,
        inlineRestraints, inlineDLCS, inlineINDI, a10, a11, a12."""
        if kwargs:
            raise TypeError("WriteFreFile takes no keyword arguments")
        if len(args) != 12:
            raise TypeError(f"WriteFreFile takes 12 arguments ({len(args)} given)")
        for name, value in zip(FRE_ARGUMENTS, args):
            expected = _FRE_TYPES[name]
            if value is None and name == "frefile":
                raise ArgumentNullException("frefile")
            if expected is int and isinstance(value, bool) or not isinstance(value, expected):
                raise TypeError(f"WriteFreFile: bad type for {name}: {value!r}")
        if args[2] <= 0 or args[3] not in (0, 1, 2):
            raise ArgumentException("maxLength must be positive, rotation 0, 1 or 2")
        if QBLibrary._path is None:
            raise InvalidOperationException("QBLibrary is not initialized.")
        lines = [
            FRE_MARKER,
            f"module={self._module.name}",
            f"layers={json.dumps(self._layers.Names)}",
            f"elements={len(self._elements)}",
        ]
        lines += [f"{name}={value!r}" for name, value in zip(FRE_ARGUMENTS, args)]
        _files.write_atomic(args[0], "\n".join(lines) + "\n")


def _strings(value):
    return isinstance(value, list) and all(isinstance(v, str) for v in value)


FRE_MARKER = "STANDIN-FRE 1"
FRE_ARGUMENTS = (
    "frefile",
    "a2",
    "maxLength",
    "rotation",
    "a5",
    "imperial",
    "inlineRestraints",
    "inlineDLCS",
    "inlineINDI",
    "a10",
    "a11",
    "a12",
)
_OPTIONAL_TEXT = (str, type(None))
_FRE_TYPES = dict(
    zip(
        FRE_ARGUMENTS,
        (str, _OPTIONAL_TEXT, int, int, bool, bool, bool, bool, bool, bool, _OPTIONAL_TEXT, _OPTIONAL_TEXT),
    )
)


def read_fre(path):
    """Fields of a stand-in fre file as a dict of strings (values as
    written: ``repr`` for the writer's arguments)."""
    text = _files.read_text(path)
    lines = text.splitlines()
    if not lines or lines[0] != FRE_MARKER:
        raise InvalidDataException(f"'{path}' is not a fre file.")
    return dict(line.split("=", 1) for line in lines[1:] if "=" in line)


@netclass(NS)
class QBLibrary:
    """Loader of the native Quelbar library."""

    READY = 20240
    _path = None

    @staticmethod
    def Initialize(path):
        _files.check_path(path)
        if not os.path.isfile(path):
            raise FileNotFoundException(f"Could not find file '{path}'.")
        try:
            library = ctypes.CDLL(os.path.abspath(path))
            initialize = library.bq_initialize
        except (OSError, AttributeError) as e:
            raise BadImageFormatException(f"'{path}' is not a Quelbar library: {e}") from None
        initialize.restype = ctypes.c_int
        if initialize() != QBLibrary.READY:
            raise InvalidOperationException("Quelbar library failed to initialize.")
        QBLibrary._path = path


# --- commands -------------------------------------------------------------------


def _add_element(prefix, module):
    def run(model):
        if model._module is not module:
            raise InvalidOperationException(f"command needs a {module.name} model")
        model._elements.append(f"{prefix}-{len(model._elements) + 1}")

    return run


def _add_layer(model):
    number = model._layers.Count
    while f"Layer {number}" in model._layers.Names:
        number += 1
    model._layers._items.append(Layer._make(f"Layer {number}"))


COMMANDS = {
    "ADD_PIPE": _add_element("PIPE", BrivaneModule.Pelorix),
    "ADD_BEAM": _add_element("BEAM", BrivaneModule.Karvona),
    "ADD_LAYER": _add_layer,
    "CLEAR": lambda model: model._elements.clear(),
}


@netclass(NS)
class CustomCommand:
    """A named modelling command.  Catalogue (exact, case-sensitive names):

    ADD_PIPE   appends an element "PIPE-<n>" (piping models only)
    ADD_BEAM   appends an element "BEAM-<n>" (structure models only)
    ADD_LAYER  appends a layer "Layer <n>" (n = layer count, next free)
    CLEAR      removes every element (layers stay)

    An unknown name raises ArgumentException in the constructor; a command
    on a model of the wrong kind raises InvalidOperationException when run.
    """

    def __init__(self, model, name):
        if model is None or name is None:
            raise ArgumentNullException("model" if model is None else "name")
        if not isinstance(model, Model):
            raise ArgumentException("CustomCommand expects a Model")
        if name not in COMMANDS:
            raise ArgumentException(f"Unknown command '{name}'.")
        self._model, self._name = model, name
        self._reload = self._save = True

    @property
    def Name(self):
        return self._name

    @property
    def NeedToReloadModelAfterCommand(self):
        return self._reload

    @NeedToReloadModelAfterCommand.setter
    def NeedToReloadModelAfterCommand(self, value):
        self._reload = _check_bool(value)

    @property
    def NeedToSaveModelAfterCommand(self):
        return self._save

    @NeedToSaveModelAfterCommand.setter
    def NeedToSaveModelAfterCommand(self, value):
        self._save = _check_bool(value)


def _check_bool(value):
    if not isinstance(value, bool):
        raise TypeError("expected a bool")
    return value


@netclass(NS)
class CommandController:
    """Runs commands on its current ``model`` as soon as they are added.
    After a command, a model that has a file is saved to it when
    NeedToSaveModelAfterCommand is set, then reloaded from it when
    NeedToReloadModelAfterCommand is set."""

    def __init__(self):
        self._application = None
        self._model = None

    def SetApplication(self, application):
        if not isinstance(application, BrivaneApplication):
            raise ArgumentException("SetApplication expects a BrivaneApplication")
        self._application = application

    @property
    def model(self):
        return self._model

    @model.setter
    def model(self, value):
        if value is not None and not isinstance(value, Model):
            raise ArgumentException("model must be a Model")
        self._model = value

    def AddCommand(self, command):
        if not isinstance(command, CustomCommand):
            raise ArgumentException("AddCommand expects a CustomCommand")
        if self._application is None or self._model is None:
            raise InvalidOperationException("No application or no current model.")
        model = self._model
        COMMANDS[command._name](model)
        if command._save and model._file:
            model._save(model._file)
        if command._reload and model._file:
            model._load(model._file)


# --- solutions ------------------------------------------------------------------

_open_lock = fork_safe_lock(globals(), "_open_lock")
_open_results = {}  # id(solution) -> path


@netclass(NS)
class Solution:
    """Results of a successful solver run; keeps the results file open until
    ``Dispose()`` (which also releases the solver)."""

    def __init__(self, parent, solver):
        if getattr(solver, "_results_file", None) is None:
            raise InvalidOperationException("The solver has no results.")
        solver._check_alive()
        self._parent, self._solver = parent, solver
        self._path = solver._results_file
        self._handle = open(self._path, "rb")
        with _open_lock:
            _open_results[id(self)] = self._path

    @property
    def ResultsFile(self):
        return self._path

    @property
    def IsDisposed(self):
        return self._handle is None

    @property
    def Summary(self):
        s = self._solver
        return f"{s._solver_name} solution of a {s._kind} model ({s._element_count} elements): {self._path}"

    def Dispose(self):
        if self._handle is not None:
            self._handle.close()
            self._handle = None
            with _open_lock:
                _open_results.pop(id(self), None)
            self._solver._release()


def open_result_files():
    with _open_lock:
        return sorted(_open_results.values())


def _reset():
    QBLibrary._path = None
    with _open_lock:
        _open_results.clear()
