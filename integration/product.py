"""One face for the two stand-ins of the product that the integration suite drives.

``BRIVANE_BRIDGE=standin``: the project's Python stand-in for the CLR bridge and
the product (standin/ on PYTHONPATH, its ``clr``).

``BRIVANE_BRIDGE=mono``: the real CLR bridge (pythonnet) on Mono, with the
product's assemblies built from standin-dotnet/ (C#); PYTHONPATH holds the
stand-in's ``pythoncom`` and helpers without its ``clr``
(scripts/integration.sh makes that folder). Their journal, knobs and
state are read through the bridge from the ``Brivane.StandIn`` namespace of
Brivane.SDK.dll. COM has no Linux counterpart: the Python ``pythoncom``
stand-in serves in both modes.

Both faces give the journal of product calls only: the base library
(Thread, CultureInfo, Point, Tuple), ``clr`` and ``pythoncom`` are left out,
since the real base library cannot record its calls.
"""

import os
import shutil
import threading
from pathlib import Path

BRIDGE = os.environ.get("BRIVANE_BRIDGE", "standin")
NOT_PRODUCT = {"clr", "pythoncom", "Thread", "CultureInfo", "Point", "Tuple"}
PRODUCT_FILES = (
    "Brivane.SDK",
    "Brivane.Helper",
    "Brivane.Pelorix.Core",
    "Brivane.Pelorix.Project",
    "Brivane.Quelbar.Core",
    "Brivane.Revav.Core",
)


if BRIDGE not in ("standin", "mono"):
    raise RuntimeError(f"BRIVANE_BRIDGE must be 'standin' or 'mono', not {BRIDGE!r}")

import brivane_standin  # noqa: E402
import clr  # noqa: E402  (the bridge that PYTHONPATH gives)
import pythoncom  # noqa: E402
from brivane_standin import journal as com_journal  # noqa: E402
from brivane_standin.knobs import knobs as python_knobs  # noqa: E402
from brivane_standin.product import read_current_study, read_fre, read_project  # noqa: F401,E402

# A path that gives the other bridge would test the wrong one, and pass.
if (Path(clr.__file__).parent == Path(brivane_standin.__file__).parents[1]) != (BRIDGE == "standin"):
    raise RuntimeError(f"BRIVANE_BRIDGE={BRIDGE}, but PYTHONPATH gives the clr of {clr.__file__}")


class Call:
    """A journal entry: target, member, args (a tuple) and the thread's ident."""

    def __init__(self, target, member, args, thread):
        self.target, self.member, self.args, self.thread = target, member, tuple(args), thread

    @property
    def name(self):
        return f"{self.target}.{self.member}"

    def __repr__(self):
        return f"<{self.name}{self.args!r} on {self.thread}>"


class _Face:
    bridge = BRIDGE

    def com_calls(self):
        """The pythoncom entries of the Python journal."""
        return [Call(c.target, c.member, c.args, c.thread) for c in com_journal.entries() if c.target == "pythoncom"]

    def names(self):
        return [c.name for c in self.calls()]


class StandinFace(_Face):
    """The Python stand-in."""

    def __init__(self):
        import brivane_standin
        from brivane_standin import dotnet, product

        self._standin, self._dotnet, self._product = brivane_standin, dotnet, product

    def prepare_installation(self, installation):
        return installation

    def reset(self):
        self._standin.reset()

    def calls(self):
        return [
            Call(c.target, c.member, c.args, c.thread) for c in com_journal.entries() if c.target not in NOT_PRODUCT
        ]

    def clear_journal(self):
        com_journal.clear()

    def set_knob(self, name, value):
        setattr(python_knobs, name, value)

    def raise_on(self, name, error):
        python_knobs.raise_on[name] = error

    def exception(self, name):
        return getattr(self._dotnet, name)

    def same_object(self, a, b):
        return a is b

    def current_cultures(self):
        culture = self._dotnet.culture_of(threading.get_ident())
        return tuple(culture) if culture else (python_knobs.default_culture,) * 2

    def open_result_files(self):
        return self._product.open_result_files()

    def qblibrary_path(self):
        return self._product.qblibrary_path()

    def loaded_assemblies(self):
        return [name for name in clr.references() if name.startswith("Brivane.")]


class MonoFace(_Face):
    """The real bridge on Mono with the C# stand-in."""

    def __init__(self):
        self._built = Path(os.environ["BRIVANE_STANDIN_ASSEMBLIES"])
        self._loaded = False

    def _standin(self):
        # Brivane.SDK.dll is referenced from the installation, as the module does; the
        # same file then serves the journal, knobs and state.
        if not self._loaded:
            clr.AddReference(str(self._sdk))
            self._loaded = True
        import Brivane.StandIn as controls

        return controls

    def prepare_installation(self, installation):
        for name in PRODUCT_FILES:
            shutil.copyfile(self._built / f"{name}.dll", Path(installation.extensions) / f"{name}.dll")
        self._sdk = Path(installation.extensions) / "Brivane.SDK.dll"
        return installation

    def reset(self):
        self._standin().Control.Reset()
        pythoncom._reset()
        com_journal.clear()
        python_knobs.reset()

    def calls(self):
        return [Call(c.Target, c.Member, list(c.Args), int(c.Thread)) for c in self._standin().Journal.Entries()]

    def clear_journal(self):
        self._standin().Journal.Clear()
        com_journal.clear()

    def set_knob(self, name, value):
        if name == "raise_on":
            raise ValueError("use raise_on()")
        self._standin().Knobs.Set(name, None if value is None else str(value))

    def raise_on(self, name, error):
        if name.startswith("pythoncom."):
            python_knobs.raise_on[name] = error
        else:
            self._standin().Knobs.RaiseOn(name, error)

    def exception(self, name):
        import System
        import System.IO

        for space in (System, System.IO):
            if hasattr(space, name):
                return getattr(space, name)
        raise AttributeError(name)

    def same_object(self, a, b):
        from System import Object

        return Object.ReferenceEquals(a, b)

    def current_cultures(self):
        return tuple(self._standin().Control.CurrentCultures())

    def open_result_files(self):
        return list(self._standin().State.OpenResultFiles())

    def qblibrary_path(self):
        return self._standin().State.QBLibraryPath

    def loaded_assemblies(self):
        from System import AppDomain

        return sorted(
            a.GetName().Name for a in AppDomain.CurrentDomain.GetAssemblies() if a.GetName().Name.startswith("Brivane.")
        )


def make_face():
    return MonoFace() if BRIDGE == "mono" else StandinFace()
