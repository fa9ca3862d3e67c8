"""setup_brivane_computer: its steps in order, the state it leaves for each
outcome, and every way it fails."""

import datetime
import json
import os
import shutil
import tempfile
import threading
import types

import pytest
from brivane_standin import dotnet, journal
from brivane_standin.installation import create_installation
from brivane_standin.knobs import knobs
from brivane_standin.product.pelorix_core import CommandController
from brivane_standin.product.sdk import BrivaneApplication
from brivane_testkit.module_table import GLOBALS, GUARD_MESSAGE

from brivane_computer import BrivaneModule

from .support_frame import Untouchable

PELORIX = BrivaneModule.Pelorix
# Globals that a call writes before each step that can fail, in order.
WRITTEN_BEFORE = {
    "directories": ["_CultureInfo_"],
    "settings": ["_CultureInfo_", "_exePath_", "_dllPath_"],
    "data sources": ["_CultureInfo_", "_exePath_", "_dllPath_", "_Revav_", "_Quelbar_"],
}
# A failure from the step that records _exePath_ on also clears this flag.
DISARMED = ["_validSetup_"]


@pytest.fixture
def marked(core):
    """Every global set to a marker of its own: what a call leaves unchanged shows."""
    markers = {}
    for name in GLOBALS:
        if name in ("_dlls_", "_settingsPath_", "_dataSourcesPath_"):
            continue
        markers[name] = f"<before {name}>"
        setattr(core, name, markers[name])
    return markers


def changed(core, markers):
    return sorted(name for name, marker in markers.items() if getattr(core, name) is not marker)


def culture_here():
    return dotnet.culture_of(threading.get_ident())


def write(path, text, encoding="utf-8"):
    with open(path, "w", encoding=encoding) as f:
        f.write(text)


# --- success ------------------------------------------------------------------


def test_complete_set_up(core, installation, capsys):
    assert core.setup_brivane_computer(installation.root, PELORIX) is True
    assert capsys.readouterr().out == "Brivane.SDK.dll loaded\nBrivane.Pelorix.Core.dll loaded\n"
    assert core._validSetup_ is True and core._validPelorix_ is True and core._validKarvona_ is True
    assert core._exePath_ is installation.root
    assert core._dllPath_ == os.path.join(installation.root, "Extensions")
    assert (core._Revav_, core._Quelbar_) == (installation.revav_solver, installation.quelbar_solver)
    assert (core._dataPath_, core._projectPath_) == (installation.data_dir, installation.projects_dir)
    assert isinstance(core._CultureInfo_, dotnet.CultureInfo) and core._CultureInfo_.Name == "en-US"
    assert isinstance(core._Application_, BrivaneApplication)
    assert isinstance(core._commandController_, CommandController)
    assert core._dlls_ == ["Brivane.SDK.dll", "Brivane.Pelorix.Core.dll"]
    assert core._tempDirectory_ is None and core._Solution_ is None


@pytest.mark.parametrize(
    "outcome",
    ["a folder", OSError(28, "No usable temporary directory"), KeyboardInterrupt()],
    ids=["found", "no usable folder", "Ctrl-C"],
)
def test_set_up_first_looks_up_the_temporary_folder_once(core, installation, monkeypatch, outcome):
    # The first tempfile.gettempdir() of a process takes a lock once: set-up, never a sandboxed solve, takes it.
    journal.clear()
    looked_up = []

    def gettempdir():
        looked_up.append(journal.names())
        if isinstance(outcome, BaseException):
            raise outcome
        return tempfile.gettempdir()

    monkeypatch.setattr(core, "tempfile", types.SimpleNamespace(gettempdir=gettempdir))
    if isinstance(outcome, KeyboardInterrupt):
        with pytest.raises(KeyboardInterrupt):
            core.setup_brivane_computer(installation.root, PELORIX)
    else:
        # No usable temporary folder is a sandboxed solve's error to raise, not set-up's.
        assert core.setup_brivane_computer(installation.root, PELORIX) is True
    assert looked_up == [[]], "once, before anything else"


def test_calls_in_order(core, installation):
    core.setup_brivane_computer(installation.root, PELORIX)
    calls = [(c.name, c.args) for c in journal.entries()]
    application = core._Application_
    assert calls == [
        ("clr.AddReference", ("mscorlib",)),
        ("CultureInfo..ctor", ("en-US",)),
        ("Thread.get_CurrentThread", ()),
        ("Thread.set_CurrentCulture", (core._CultureInfo_,)),
        ("Thread.get_CurrentThread", ()),
        ("Thread.set_CurrentUICulture", (core._CultureInfo_,)),
        ("clr.AddReference", (os.path.join(installation.extensions, "Brivane.SDK.dll"),)),
        ("BrivaneApplication..ctor", ()),
        ("clr.AddReference", (os.path.join(installation.extensions, "Brivane.Pelorix.Core.dll"),)),
        ("CommandController..ctor", ()),
        ("CommandController.SetApplication", (application,)),
    ]
    assert all(c.thread == threading.get_ident() for c in journal.entries())


@pytest.mark.parametrize("module", list(BrivaneModule) + [None, "anything"])
def test_every_module_value_enables_both_kinds(core, installation, module):
    assert core.setup_brivane_computer(installation.root, module) is True
    assert (core._validSetup_, core._validPelorix_, core._validKarvona_) == (True, True, True)


def test_second_set_up_prints_nothing_and_makes_new_objects(core, installation, capsys):
    core.setup_brivane_computer(installation.root, PELORIX)
    first = (core._Application_, core._commandController_, core._CultureInfo_)
    capsys.readouterr()
    journal.clear()
    assert core.setup_brivane_computer(installation.root, BrivaneModule.Karvona) is True
    assert capsys.readouterr().out == ""
    assert [c.args for c in journal.calls("clr", "AddReference")] == [("mscorlib",)]
    assert core._Application_ is not first[0] and core._commandController_ is not first[1]
    assert core._CultureInfo_ is not first[2]
    assert core._dlls_ == ["Brivane.SDK.dll", "Brivane.Pelorix.Core.dll"]


def test_set_up_with_another_installation(core, installation, tmp_path, capsys):
    core.setup_brivane_computer(installation.root, PELORIX)
    capsys.readouterr()
    other = create_installation(str(tmp_path / "Other"))
    core._settingsPath_, core._dataSourcesPath_ = other.settings_path, other.data_sources_path
    assert core.setup_brivane_computer(other.root, PELORIX) is True
    assert capsys.readouterr().out == ""
    assert core._exePath_ == other.root and core._dllPath_ == other.extensions
    assert (core._Revav_, core._Quelbar_) == (other.revav_solver, other.quelbar_solver)
    assert (core._dataPath_, core._projectPath_) == (other.data_dir, other.projects_dir)
    assert core._dlls_ == ["Brivane.SDK.dll", "Brivane.Pelorix.Core.dll"]


@pytest.mark.parametrize("suffix", [os.sep, os.sep + "." + os.sep, os.sep + ".." + os.sep + "Pelorix 2031.1"])
def test_installation_path_kept_as_passed(core, installation, suffix):
    given = installation.root + suffix
    assert core.setup_brivane_computer(given, PELORIX) is True
    assert core._exePath_ == given
    assert core._dllPath_ == os.path.join(given, "Extensions")


def test_relative_installation_path(core, installation, monkeypatch):
    monkeypatch.chdir(os.path.dirname(installation.root))
    given = os.path.basename(installation.root)
    assert core.setup_brivane_computer(given, PELORIX) is True
    assert core._exePath_ == given
    assert core._dllPath_ == os.path.join(given, "Extensions")


def test_installation_path_object(core, installation):
    import pathlib

    given = pathlib.Path(installation.root)
    assert core.setup_brivane_computer(given, PELORIX) is True
    assert core._exePath_ is given
    assert core._dllPath_ == installation.extensions


# --- cultures -----------------------------------------------------------------


def test_cultures_of_the_calling_thread_only(core, installation):
    ready_to_check, set_up_done = threading.Event(), threading.Event()
    seen = []

    def other():
        from System.Threading import Thread

        seen.append(Thread.CurrentThread.CurrentCulture.Name)
        ready_to_check.set()
        set_up_done.wait(30)
        seen.append((dotnet.current_culture().Name, Thread.CurrentThread.CurrentUICulture.Name))

    import clr

    clr.AddReference("mscorlib")
    worker = threading.Thread(target=other)
    worker.start()
    ready_to_check.wait(30)
    core.setup_brivane_computer(installation.root, PELORIX)
    set_up_done.set()
    worker.join(30)
    assert culture_here() == ("en-US", "en-US")
    assert seen == ["fr-FR", ("fr-FR", "fr-FR")]


def test_culture_is_set_even_when_set_up_fails(core, tmp_path):
    with pytest.raises(FileNotFoundError):
        core.setup_brivane_computer(str(tmp_path / "missing"), PELORIX)
    assert culture_here() == ("en-US", "en-US")
    assert core._CultureInfo_.Name == "en-US"


# --- Extensions missing -------------------------------------------------------


def test_without_extensions(core, tmp_path, marked, capsys):
    found = create_installation(str(tmp_path / "Bare"), extensions=False)
    core._settingsPath_, core._dataSourcesPath_ = found.settings_path, found.data_sources_path
    core._validSetup_ = True  # from an earlier set-up: cleared by this one
    assert core.setup_brivane_computer(found.root, PELORIX) is False
    assert capsys.readouterr().out == ""
    assert [c.args for c in journal.calls("clr", "AddReference")] == [("mscorlib",)]
    assert core._dlls_ == []
    assert core._validSetup_ is False
    assert core._dllPath_ == os.path.join(found.root, "Extensions") and not os.path.exists(core._dllPath_)
    assert (core._Revav_, core._Quelbar_) == (found.revav_solver, found.quelbar_solver)
    assert (core._dataPath_, core._projectPath_) == (found.data_dir, found.projects_dir)
    assert changed(core, marked) == sorted(
        [
            "_CultureInfo_",
            "_exePath_",
            "_dllPath_",
            "_Revav_",
            "_Quelbar_",
            "_dataPath_",
            "_projectPath_",
            "_validSetup_",
        ]
    )
    with pytest.raises(OSError) as caught:
        core.getVokel(str(tmp_path))
    assert str(caught.value) == GUARD_MESSAGE


# --- failures -----------------------------------------------------------------


def test_missing_installation_folder(core, tmp_path, marked, capsys):
    missing = str(tmp_path / "Pelorix 2099.9")
    # Neither settings file is looked at before the folder.
    core._settingsPath_ = core._dataSourcesPath_ = Untouchable()
    with pytest.raises(FileNotFoundError) as caught:
        core.setup_brivane_computer(missing, PELORIX)
    assert str(caught.value) == f"The directory '{missing}' does not exist."
    assert type(caught.value) is FileNotFoundError and caught.value.args == (str(caught.value),)
    assert changed(core, marked) == WRITTEN_BEFORE["directories"]
    assert capsys.readouterr().out == ""


@pytest.mark.parametrize("missing", ["installation folder", "settings", "data sources"])
def test_a_missing_path_keeps_an_earlier_set_up(core, ready, tmp_path, missing):
    application = core._Application_
    other = create_installation(str(tmp_path / "Other"))
    core._settingsPath_, core._dataSourcesPath_ = other.settings_path, other.data_sources_path
    directory = str(tmp_path / "gone") if missing == "installation folder" else other.root
    if missing != "installation folder":
        os.remove(other.settings_path if missing == "settings" else other.data_sources_path)
    with pytest.raises(FileNotFoundError):
        core.setup_brivane_computer(directory, PELORIX)
    assert core._validSetup_ is True and core._Application_ is application and core._exePath_ == ready.root
    assert core.getVokel(ready.root) == ""


def test_missing_settings_file(core, installation, marked):
    os.remove(installation.settings_path)
    core._dataSourcesPath_ = Untouchable()
    with pytest.raises(FileNotFoundError) as caught:
        core.setup_brivane_computer(installation.root, PELORIX)
    assert str(caught.value) == f"The directory '{installation.settings_path}' does not exist."
    assert changed(core, marked) == WRITTEN_BEFORE["directories"]


def test_missing_data_sources_file(core, installation, marked):
    os.remove(installation.data_sources_path)
    write(installation.settings_path, "not read")
    with pytest.raises(FileNotFoundError) as caught:
        core.setup_brivane_computer(installation.root, PELORIX)
    assert str(caught.value) == f"The directory '{installation.data_sources_path}' does not exist."
    assert changed(core, marked) == WRITTEN_BEFORE["directories"]


def test_missing_path_message_formats_the_value(core, tmp_path):
    import pathlib

    missing = pathlib.PurePosixPath(tmp_path, "nowhere")
    with pytest.raises(FileNotFoundError) as caught:
        core.setup_brivane_computer(missing, PELORIX)
    assert str(caught.value) == f"The directory '{missing}' does not exist."


BAD_DOCUMENTS = [
    # (which file, content, expected exception, message fragment)
    ("settings", "not json", json.JSONDecodeError, "Expecting value"),
    ("settings", "", json.JSONDecodeError, "Expecting value"),
    ("settings", "\ufeff" + json.dumps({"Families": []}), json.JSONDecodeError, "BOM"),
    ("settings", json.dumps({"Version": 3}), KeyError, "Families"),
    ("settings", json.dumps({"Families": [{"Name": "REVAV"}]}), KeyError, "SubFamilies"),
    ("settings", json.dumps({"Families": 1}), TypeError, "int"),
    ("settings", json.dumps([]), TypeError, "list"),
    ("data sources", "{", json.JSONDecodeError, "Expecting property name"),
    ("data sources", "\ufeff{}", json.JSONDecodeError, "BOM"),
    ("data sources", json.dumps({"CurrentDatasDirectory": "D"}), KeyError, "CurrentProjectsDirectory"),
    ("data sources", json.dumps({}), KeyError, "CurrentDatasDirectory"),
]


@pytest.mark.parametrize("which, content, error, fragment", BAD_DOCUMENTS)
def test_bad_documents(core, installation, marked, capsys, which, content, error, fragment):
    path = installation.settings_path if which == "settings" else installation.data_sources_path
    write(path, content)
    # No assembly is loaded before both documents are read.
    os.remove(os.path.join(installation.extensions, "Brivane.SDK.dll"))
    with pytest.raises(error) as caught:
        core.setup_brivane_computer(installation.root, PELORIX)
    assert fragment in str(caught.value)
    assert changed(core, marked) == sorted(WRITTEN_BEFORE[which] + DISARMED) and core._validSetup_ is False
    assert core._exePath_ == installation.root and core._dllPath_ == installation.extensions
    assert capsys.readouterr().out == "" and core._dlls_ == []


def test_settings_file_not_utf8(core, installation):
    with open(installation.settings_path, "wb") as f:
        f.write(b'{"Families": [], "Note": "\xe9t\xe9"}')
    with pytest.raises(UnicodeDecodeError):
        core.setup_brivane_computer(installation.root, PELORIX)


def test_files_opened_as_utf8_text_and_closed(core, installation, monkeypatch):
    opened = []

    def spy(*args, **kwargs):
        handle = open(*args, **kwargs)
        opened.append((args, kwargs, handle))
        return handle

    monkeypatch.setattr(core, "open", spy, raising=False)
    write(installation.data_sources_path, "broken")
    with pytest.raises(json.JSONDecodeError):
        core.setup_brivane_computer(installation.root, PELORIX)
    assert [(args, kwargs) for args, kwargs, _ in opened] == [
        ((installation.settings_path, "r"), {"encoding": "utf-8"}),
        ((installation.data_sources_path, "r"), {"encoding": "utf-8"}),
    ]
    assert all(handle.closed for _, _, handle in opened)


@pytest.mark.parametrize(
    "missing, created",
    [
        ("Brivane.SDK.dll", []),
        ("Brivane.Pelorix.Core.dll", ["_Application_"]),
    ],
)
def test_assembly_missing_in_both_places(core, installation, marked, missing, created):
    os.remove(os.path.join(installation.extensions, missing))
    with pytest.raises(FileNotFoundError) as caught:
        core.setup_brivane_computer(installation.root, PELORIX)
    assert str(caught.value) == f"DLL '{missing}' not found."
    assert core._validSetup_ is False
    assert changed(core, marked) == sorted(
        [
            "_CultureInfo_",
            "_exePath_",
            "_dllPath_",
            "_Revav_",
            "_Quelbar_",
            "_dataPath_",
            "_projectPath_",
            "_validSetup_",
        ]
        + created
    )


def test_assembly_found_in_the_installation_folder(core, installation, capsys):
    shutil.move(os.path.join(installation.extensions, "Brivane.SDK.dll"), installation.root)
    assert core.setup_brivane_computer(installation.root, PELORIX) is True
    assert capsys.readouterr().out == "Brivane.SDK.dll loaded\nBrivane.Pelorix.Core.dll loaded\n"


@pytest.mark.parametrize(
    "failing, created",
    [
        ("BrivaneApplication..ctor", []),
        ("CommandController..ctor", ["_Application_"]),
        ("CommandController.SetApplication", ["_Application_", "_commandController_"]),
    ],
)
def test_product_failure(core, installation, marked, failing, created):
    knobs.raise_on = {failing: dotnet.InvalidOperationException("refused")}
    with pytest.raises(dotnet.InvalidOperationException, match="refused"):
        core.setup_brivane_computer(installation.root, PELORIX)
    assert core._validSetup_ is False
    assert changed(core, marked) == sorted(
        [
            "_CultureInfo_",
            "_exePath_",
            "_dllPath_",
            "_Revav_",
            "_Quelbar_",
            "_dataPath_",
            "_projectPath_",
            "_validSetup_",
        ]
        + created
    )
    assert journal.names()[-1] == failing


@pytest.mark.parametrize(
    "failing, written",
    [
        ("clr.AddReference", []),
        ("CultureInfo..ctor", []),
        ("Thread.set_CurrentCulture", ["_CultureInfo_"]),
        ("Thread.set_CurrentUICulture", ["_CultureInfo_"]),
    ],
)
def test_culture_failure(core, installation, marked, failing, written):
    knobs.raise_on = {failing: dotnet.ArgumentException("culture")}
    with pytest.raises(dotnet.ArgumentException):
        core.setup_brivane_computer(installation.root, PELORIX)
    assert changed(core, marked) == written
    assert journal.names()[-1] == failing


# --- a failure part-way disarms the module --------------------------------------


def interrupt(document):
    raise KeyboardInterrupt


def refuse(name):
    def prepare(core, other, monkeypatch):
        monkeypatch.setattr(knobs, "raise_on", {name: dotnet.InvalidOperationException("no licence seat")})

    return prepare


# row: (how the second installation or the call fails, the exception, whether a good set-up came first).
# An assembly is looked for only by the first set-up of a process: later ones reuse what it loaded.
PART_WAY = {
    "settings with a byte-order mark": (
        lambda core, other, mp: write(other.settings_path, "\ufeff{}"),
        json.JSONDecodeError,
        True,
    ),
    "missing key": (
        lambda core, other, mp: write(other.data_sources_path, json.dumps({"CurrentDatasDirectory": ""})),
        KeyError,
        True,
    ),
    "lookup of three values": (
        lambda core, other, mp: mp.setattr(core, "FindSolverPaths", lambda d: "RQX"),
        ValueError,
        True,
    ),
    "missing assembly": (
        lambda core, other, mp: os.remove(os.path.join(other.extensions, "Brivane.SDK.dll")),
        FileNotFoundError,
        False,
    ),
    "failing constructor": (refuse("BrivaneApplication..ctor"), dotnet.InvalidOperationException, False),
    "failing SetApplication": (refuse("CommandController.SetApplication"), dotnet.InvalidOperationException, True),
    "interrupt": (lambda core, other, mp: mp.setattr(core, "FindDataProjectPaths", interrupt), KeyboardInterrupt, True),
}


@pytest.mark.parametrize("row", PART_WAY)
def test_a_set_up_failing_part_way_disarms_the_module(core, installation, tmp_path, monkeypatch, row):
    fail, error, after_a_good_set_up = PART_WAY[row]
    if after_a_good_set_up:
        assert core.setup_brivane_computer(installation.root, PELORIX) is True
    other = create_installation(str(tmp_path / "Other"))
    core._settingsPath_, core._dataSourcesPath_ = other.settings_path, other.data_sources_path
    fail(core, other, monkeypatch)
    with pytest.raises(error):
        core.setup_brivane_computer(other.root, PELORIX)
    assert core._validSetup_ is False and core._exePath_ == other.root
    (tmp_path / "kept").mkdir()
    for guarded in (lambda: core.removeProject(str(tmp_path / "kept")), lambda: core.getVokel(other.root)):
        with pytest.raises(OSError) as caught:
            guarded()
        assert str(caught.value) == GUARD_MESSAGE
    assert (tmp_path / "kept").is_dir()


# --- the lookups through the module namespace ----------------------------------


def test_lookups_are_called_through_the_namespace(core, installation, monkeypatch):
    seen = []
    monkeypatch.setattr(core, "FindSolverPaths", lambda doc: seen.append(doc) or ("R", "Q"))
    monkeypatch.setattr(core, "FindDataProjectPaths", lambda doc: seen.append(doc) or iter(["D", "P"]))
    assert core.setup_brivane_computer(installation.root, PELORIX) is True
    assert (core._Revav_, core._Quelbar_, core._dataPath_, core._projectPath_) == ("R", "Q", "D", "P")
    with open(installation.settings_path, encoding="utf-8") as f:
        assert seen[0] == json.load(f)
    assert seen[1]["CurrentDatasDirectory"] == installation.data_dir


class NotIterable:
    pass


class IterRaisesTypeError:
    def __iter__(self):
        raise TypeError("refusing to iterate")


def host_unpacking_error(value):
    try:
        first, second = value
    except Exception as error:  # noqa: BLE001 - whatever the host raises is the expectation
        return type(error), str(error)
    raise AssertionError("unpacked")


@pytest.mark.parametrize(
    "make",
    [
        lambda: ("only",),
        lambda: ["a", "b", "c"],
        lambda: (),
        lambda: "abc",
        lambda: iter(range(3)),
        lambda: {"a": 1},
        lambda: None,
        lambda: 5,
        NotIterable,
        lambda: datetime.date(2031, 1, 1),
        IterRaisesTypeError,
    ],
    ids=["one", "three", "none", "str", "iterator", "dict", "None", "int", "object", "date", "iter-raises"],
)
@pytest.mark.parametrize("lookup", ["FindSolverPaths", "FindDataProjectPaths"])
def test_lookup_results_are_unpacked_like_the_host(core, installation, monkeypatch, marked, make, lookup):
    expected = host_unpacking_error(make())
    monkeypatch.setattr(core, lookup, lambda doc: make())
    with pytest.raises(Exception) as caught:
        core.setup_brivane_computer(installation.root, PELORIX)
    assert (type(caught.value), str(caught.value)) == expected
    written = WRITTEN_BEFORE["settings" if lookup == "FindSolverPaths" else "data sources"]
    assert changed(core, marked) == sorted(written + DISARMED)


def test_lookup_error_passes_through(core, installation, monkeypatch, marked):
    def broken(doc):
        raise LookupError("broken lookup")

    monkeypatch.setattr(core, "FindDataProjectPaths", broken)
    with pytest.raises(LookupError, match="broken lookup"):
        core.setup_brivane_computer(installation.root, PELORIX)
    assert changed(core, marked) == sorted(WRITTEN_BEFORE["data sources"] + DISARMED)


def test_load_dll_is_called_through_the_namespace(core, installation, monkeypatch):
    seen = []
    real = core.load_dll

    def spy(name):
        seen.append((name, core._validSetup_))
        return real(name)

    monkeypatch.setattr(core, "load_dll", spy)
    assert core.setup_brivane_computer(installation.root, PELORIX) is True
    # The flag is up before the first load, since load_dll applies the guard.
    assert seen == [("Brivane.SDK.dll", True), ("Brivane.Pelorix.Core.dll", True)]
