"""What the module body binds: names and their order, the enumeration, the
globals with their initial values, the functions and their docstrings, and
the package's view of it all."""

import enum
import re
import types

import pytest
from brivane_testkit.module_table import FUNCTIONS, GLOBALS
from brivane_testkit.module_table import INITIAL_GLOBALS as INITIAL

import brivane_computer

from .support_frame import ids

HOST_MODULES = ["os", "clr", "ctypes", "pythoncom", "json", "threading", "shutil", "tempfile", "uuid"]
FUNCTION_NAMES = [function.name for function in FUNCTIONS]


def test_the_body_binds_its_names_in_order(python):
    # In a new process: a test that deletes and restores a name moves it to the end.
    result = python("""
        import warnings
        warnings.simplefilter("ignore")
        from brivane_computer import brivane_core as core
        print(" ".join(name for name in vars(core) if not (name.startswith("__") and name.endswith("__"))))
    """)
    assert result.stdout.split() == ["Enum"] + HOST_MODULES + ["BrivaneModule"] + GLOBALS + FUNCTION_NAMES


def test_the_tables_are_complete(core):
    """The module has exactly the functions and the globals of the tables, however its body orders them."""
    functions = [
        name
        for name, value in vars(core).items()
        if isinstance(value, types.BuiltinFunctionType) and value.__module__ == core.__name__
    ]
    assert sorted(functions) == sorted(FUNCTION_NAMES) and len(functions) == 35
    globals_ = [name for name in vars(core) if re.fullmatch(r"_[A-Za-z]\w*_", name)]
    assert sorted(globals_) == sorted(GLOBALS) and len(globals_) == 17


def test_enum_is_the_standard_base_and_the_modules_are_whole(core):
    assert core.Enum is enum.Enum
    for name in HOST_MODULES:
        module = getattr(core, name)
        assert isinstance(module, types.ModuleType)
        assert module.__name__ == name


def test_no_module_docstring(core):
    assert core.__doc__ is None
    assert core.__name__ == "brivane_computer.brivane_core"


# --- BrivaneModule --------------------------------------------------------------


def test_brivane_module_members_in_order(core):
    members = core.BrivaneModule
    assert issubclass(members, enum.Enum)
    assert [(member.name, member.value) for member in members] == [("All", -1), ("Pelorix", 0), ("Karvona", 1)]
    assert list(members.__members__) == ["All", "Pelorix", "Karvona"]


@pytest.mark.parametrize("value, name", [(-1, "All"), (0, "Pelorix"), (1, "Karvona")])
def test_brivane_module_lookup_by_value(core, value, name):
    member = core.BrivaneModule(value)
    assert member is getattr(core.BrivaneModule, name)
    assert core.BrivaneModule[name] is member


@pytest.mark.parametrize("value", [2, -2, "Pelorix", None])
def test_brivane_module_unknown_value(core, value):
    with pytest.raises(ValueError):
        core.BrivaneModule(value)


def test_brivane_module_identity(core):
    assert core.BrivaneModule.__doc__ is None
    assert core.BrivaneModule.__module__ == "brivane_computer.brivane_core"
    assert core.BrivaneModule.__name__ == "BrivaneModule"
    assert core.BrivaneModule.__qualname__ == "BrivaneModule"
    assert core.BrivaneModule.Pelorix != 0  # a plain Enum, not an IntEnum
    assert brivane_computer.BrivaneModule is core.BrivaneModule


def test_brivane_module_is_not_the_products(ready, core):
    from Brivane.SDK import BrivaneModule as ProductModule

    assert ProductModule is not core.BrivaneModule
    assert core.BrivaneModule.__module__ == "brivane_computer.brivane_core"


# --- globals ------------------------------------------------------------------


def test_initial_values_in_a_new_process(python):
    # A new process sees the values of the module body itself, not the fixtures' reset.
    result = python("""
        import warnings
        warnings.simplefilter("ignore")
        from brivane_computer import brivane_core as core
        from brivane_testkit.module_table import GLOBALS
        print(repr({name: getattr(core, name) for name in GLOBALS}))
        print(type(core._dlls_).__name__)
    """)
    values, kind = result.stdout.splitlines()
    assert eval(values) == INITIAL  # noqa: S307 - plain literals printed by repr
    assert kind == "list"


# --- functions ----------------------------------------------------------------


@pytest.mark.parametrize("function", FUNCTIONS, ids=ids(FUNCTIONS))
def test_docstring(core, function):
    expected = "\n".join([f"{function.name}({', '.join(function.parameters)})", ""] + function.description)
    assert getattr(core, function.name).__doc__ == expected


@pytest.mark.parametrize("function", FUNCTIONS, ids=ids(FUNCTIONS))
def test_function_identity(core, function):
    bound = getattr(core, function.name)
    assert isinstance(bound, types.BuiltinFunctionType)
    assert bound.__name__ == function.name
    assert bound.__module__ == "brivane_computer.brivane_core"
    assert bound.__self__ is core
    assert getattr(brivane_computer, function.name) is bound


# --- the package --------------------------------------------------------------


def test_package_exposes_the_entry_points():
    from brivane_computer import BrivaneModule, setup_brivane_computer

    assert setup_brivane_computer is brivane_computer.brivane_core.setup_brivane_computer
    assert BrivaneModule.Pelorix.value == 0


@pytest.mark.parametrize("name", GLOBALS)
def test_package_reads_globals_live(core, name):
    marker = object()
    setattr(core, name, marker)
    assert getattr(brivane_computer, name) is marker


@pytest.mark.parametrize("name", GLOBALS)
def test_package_assignment_reaches_the_core(core, name):
    marker = object()
    setattr(brivane_computer, name, marker)
    assert getattr(core, name) is marker


def test_package_valid_setup_follows_the_core(ready, core):
    assert brivane_computer._validSetup_ is True
    core._validSetup_ = False
    assert brivane_computer._validSetup_ is False


def test_package_assignment_is_seen_by_the_guard(core, tmp_path):
    with pytest.raises(OSError):
        core.getVokel(str(tmp_path))
    brivane_computer._validSetup_ = True
    assert core.getVokel(str(tmp_path)) == ""


def test_package_assignment_replaces_a_core_function(core, monkeypatch):
    replacement = lambda settings: ("revav", "quelbar")  # noqa: E731
    monkeypatch.setattr(brivane_computer, "FindSolverPaths", replacement)
    assert core.FindSolverPaths is replacement
    assert "FindSolverPaths" not in vars(brivane_computer)


def test_package_unknown_attribute():
    with pytest.raises(AttributeError, match="no attribute 'nothingHere'"):
        brivane_computer.nothingHere  # noqa: B018
