"""load_dll and load_dll_c: search order, the record of loaded names, the
printed line and the failures."""

import os
import shutil
import types

import pytest
from brivane_standin import dotnet, journal
from brivane_standin.installation import write_assembly
from brivane_testkit.module_table import GUARD_MESSAGE

from .support_frame import Untouchable

LOADERS = ["load_dll", "load_dll_c"]


def references():
    return [c.args[0] for c in journal.calls("clr", "AddReference")]


def mapped(path):
    """Whether the process has the file mapped (the native library stays loaded)."""
    with open("/proc/self/maps") as maps:
        return any(line.rstrip().endswith(path) for line in maps)


@pytest.fixture
def disk(core, monkeypatch):
    """Spies on the module's os.path.exists; returns the list of paths asked for."""
    asked = []

    def exists(path):
        asked.append(path)
        return os.path.exists(path)

    monkeypatch.setattr(core, "os", types.SimpleNamespace(path=types.SimpleNamespace(exists=exists, join=os.path.join)))
    return asked


@pytest.fixture
def everywhere(core, monkeypatch):
    """Every path exists, as far as the module can tell."""
    monkeypatch.setattr(
        core, "os", types.SimpleNamespace(path=types.SimpleNamespace(exists=lambda path: True, join=os.path.join))
    )


@pytest.fixture
def loader(core, monkeypatch):
    """Fake clr and ctypes that accept any path: the record of what was loaded."""
    loaded = []
    monkeypatch.setattr(core, "clr", types.SimpleNamespace(AddReference=lambda path: loaded.append(("clr", path))))
    monkeypatch.setattr(core, "ctypes", types.SimpleNamespace(CDLL=lambda path: loaded.append(("ctypes", path))))
    return loaded


# --- the guard ----------------------------------------------------------------


@pytest.mark.parametrize("name", LOADERS)
def test_guard(core, capsys, name):
    with pytest.raises(OSError) as caught:
        getattr(core, name)(Untouchable())
    assert str(caught.value) == GUARD_MESSAGE
    assert core._dlls_ == [] and journal.names() == [] and capsys.readouterr().out == ""


@pytest.mark.parametrize("name", LOADERS)
def test_guard_even_for_a_loaded_name(core, ready, name):
    core._validSetup_ = False
    with pytest.raises(OSError, match="Invalid setup!"):
        getattr(core, name)("Brivane.SDK.dll")


# --- loading ------------------------------------------------------------------


def test_loaded_by_set_up_is_skipped(core, ready, capsys):
    record = core._dlls_
    assert record == ["Brivane.SDK.dll", "Brivane.Pelorix.Core.dll"]
    assert core.load_dll("Brivane.SDK.dll") is None
    assert core._dlls_ is record and record == ["Brivane.SDK.dll", "Brivane.Pelorix.Core.dll"]
    assert capsys.readouterr().out == "" and journal.names() == []


def test_extensions_first(core, ready, capsys):
    write_assembly(os.path.join(ready.root, "Brivane.Helper.dll"), "Brivane.Helper")
    assert core.load_dll("Brivane.Helper.dll") is None
    assert references() == [os.path.join(ready.extensions, "Brivane.Helper.dll")]
    assert capsys.readouterr().out == "Brivane.Helper.dll loaded\n"
    assert core._dlls_[-1] == "Brivane.Helper.dll"


def test_installation_folder_second(core, ready, capsys):
    os.remove(os.path.join(ready.extensions, "Brivane.Helper.dll"))
    write_assembly(os.path.join(ready.root, "Brivane.Helper.dll"), "Brivane.Helper")
    assert core.load_dll("Brivane.Helper.dll") is None
    assert references() == [os.path.join(ready.root, "Brivane.Helper.dll")]
    assert capsys.readouterr().out == "Brivane.Helper.dll loaded\n"
    from Brivane.Helper import Version  # the assembly is reachable

    assert Version is not None


def test_search_order_on_disk(core, ready, disk):
    with pytest.raises(FileNotFoundError):
        core.load_dll("Missing.dll")
    assert disk == [os.path.join(ready.extensions, "Missing.dll"), os.path.join(ready.root, "Missing.dll")]
    disk.clear()
    core.load_dll("Brivane.Helper.dll")
    assert disk == [os.path.join(ready.extensions, "Brivane.Helper.dll")]


def test_three_loads_in_a_row(core, ready, capsys):
    names = ["Brivane.Helper.dll", "Brivane.Revav.Core.dll", "Brivane.Quelbar.Core.dll"]
    record = core._dlls_
    for name in names:
        assert core.load_dll(name) is None
    assert capsys.readouterr().out == "".join(f"{name} loaded\n" for name in names)
    assert core._dlls_ is record
    assert record == ["Brivane.SDK.dll", "Brivane.Pelorix.Core.dll"] + names
    for name in names:
        core.load_dll(name)
    assert capsys.readouterr().out == "" and len(record) == 5


def test_absolute_name_replaces_the_folder(core, ready, tmp_path, capsys):
    elsewhere = tmp_path / "elsewhere"
    elsewhere.mkdir()
    path = str(elsewhere / "Brivane.Helper.dll")
    write_assembly(path, "Brivane.Helper")
    assert core.load_dll(path) is None
    assert references() == [path]
    assert core._dlls_[-1] == path
    assert capsys.readouterr().out == f"{path} loaded\n"


def test_missing_file(core, ready, capsys):
    record = list(core._dlls_)
    for _ in range(2):
        with pytest.raises(FileNotFoundError) as caught:
            core.load_dll("Brivane.Nothing.dll")
        assert str(caught.value) == "DLL 'Brivane.Nothing.dll' not found."
        assert type(caught.value) is FileNotFoundError
    assert core._dlls_ == record
    assert capsys.readouterr().out == "" and references() == []


@pytest.mark.parametrize("name", LOADERS)
def test_missing_file_message_uses_the_name_as_passed(core, ready, name):
    import pathlib

    with pytest.raises(FileNotFoundError) as caught:
        getattr(core, name)(pathlib.PurePosixPath("sub", "Gone.dll"))
    assert str(caught.value) == "DLL 'sub/Gone.dll' not found."


def test_corrupt_assembly(core, ready, capsys):
    target = os.path.join(ready.extensions, "Brivane.Helper.dll")
    with open(target, "w") as f:
        f.write("MZ not an assembly")
    record = list(core._dlls_)
    with pytest.raises(dotnet.BadImageFormatException):
        core.load_dll("Brivane.Helper.dll")
    assert core._dlls_ == record and capsys.readouterr().out == ""
    # A later call tries again.
    write_assembly(target, "Brivane.Helper")
    core.load_dll("Brivane.Helper.dll")
    assert core._dlls_ == record + ["Brivane.Helper.dll"]
    assert capsys.readouterr().out == "Brivane.Helper.dll loaded\n"


def test_native_loader_on_a_non_library(core, ready, capsys):
    record = list(core._dlls_)
    with pytest.raises(OSError) as caught:
        core.load_dll_c("Brivane.Helper.dll")
    assert str(caught.value) != "DLL 'Brivane.Helper.dll' not found."
    assert core._dlls_ == record and capsys.readouterr().out == ""


def test_native_library(core, ready, capsys):
    assert core.load_dll_c("Brivane.Quelbar.lib") is None
    assert capsys.readouterr().out == "Brivane.Quelbar.lib loaded\n"
    assert core._dlls_[-1] == "Brivane.Quelbar.lib"
    assert references() == []
    if os.path.exists("/proc/self/maps"):
        assert mapped(ready.native_library)


def test_native_library_from_the_installation_folder(core, ready, capsys):
    moved = os.path.join(ready.root, "Brivane.Quelbar.lib")
    shutil.move(ready.native_library, moved)
    core.load_dll_c("Brivane.Quelbar.lib")
    assert capsys.readouterr().out == "Brivane.Quelbar.lib loaded\n"
    if os.path.exists("/proc/self/maps"):
        assert mapped(moved)


@pytest.mark.parametrize(
    "first, second, name",
    [
        ("load_dll_c", "load_dll", "Brivane.Quelbar.lib"),
        ("load_dll", "load_dll_c", "Brivane.Helper.dll"),
    ],
)
def test_a_name_loaded_by_either_counts_for_both(core, ready, capsys, monkeypatch, first, second, name):
    getattr(core, first)(name)
    capsys.readouterr()
    journal.clear()
    record = list(core._dlls_)
    shutil.rmtree(ready.extensions)  # whatever is on disk now does not matter
    asked = []
    monkeypatch.setattr(
        core,
        "os",
        types.SimpleNamespace(
            path=types.SimpleNamespace(exists=lambda path: asked.append(path), join=lambda *parts: asked.append(parts))
        ),
    )
    monkeypatch.setattr(core, "ctypes", None)
    assert getattr(core, second)(name) is None
    assert asked == [] and journal.names() == [] and capsys.readouterr().out == ""
    assert core._dlls_ == record


@pytest.mark.parametrize("name", LOADERS)
def test_names_are_kept_as_passed(core, ready, loader, everywhere, capsys, name):
    load = getattr(core, name)
    load("Extra.dll")
    load("extra.DLL")
    load("Extra.dll")
    kind = "clr" if name == "load_dll" else "ctypes"
    assert loader == [
        (kind, os.path.join(ready.extensions, "Extra.dll")),
        (kind, os.path.join(ready.extensions, "extra.DLL")),
    ]
    assert core._dlls_[-2:] == ["Extra.dll", "extra.DLL"]
    assert capsys.readouterr().out == "Extra.dll loaded\nextra.DLL loaded\n"


def test_record_and_paths_are_read_afresh(core, ready, loader, tmp_path, capsys):
    replacement = ["Replaced.dll"]
    core._dlls_ = replacement
    core.load_dll("Replaced.dll")
    assert loader == []
    core._dllPath_ = str(tmp_path / "NoExtensions")
    core._exePath_ = str(tmp_path)
    (tmp_path / "Own.dll").write_text("")
    core.load_dll("Own.dll")
    assert loader == [("clr", str(tmp_path / "Own.dll"))]
    assert replacement == ["Replaced.dll", "Own.dll"]
    assert capsys.readouterr().out == "Own.dll loaded\n"


@pytest.mark.parametrize("name", LOADERS)
def test_loader_failure_records_nothing(core, ready, monkeypatch, capsys, name):
    class Refused(Exception):
        pass

    def refuse(path):
        raise Refused(path)

    monkeypatch.setattr(core, "clr", types.SimpleNamespace(AddReference=refuse))
    monkeypatch.setattr(core, "ctypes", types.SimpleNamespace(CDLL=refuse))
    record = list(core._dlls_)
    with pytest.raises(Refused) as caught:
        getattr(core, name)("Brivane.Helper.dll")
    assert caught.value.args == (os.path.join(ready.extensions, "Brivane.Helper.dll"),)
    assert core._dlls_ == record and capsys.readouterr().out == ""


@pytest.mark.parametrize("name", LOADERS)
def test_print_is_looked_up_at_each_call(core, ready, loader, everywhere, monkeypatch, name):
    lines = []
    monkeypatch.setattr(core, "print", lines.append, raising=False)
    getattr(core, name)("Shown.dll")
    assert lines == ["Shown.dll loaded"]
