"""loadVokel, saveVokel, getVokel and find_first_file: model files on disk."""

import json
import os

import pytest
from brivane_standin import dotnet, journal
from brivane_standin.knobs import knobs
from brivane_standin.product import read_fre
from brivane_testkit.module_table import GUARD_MESSAGE

from .support_models import CORE, HELPER, SDK, HostOs, HostPath, read_text, record_loads, write_text


def model_document(path):
    with open(path, encoding="utf-8") as f:
        return json.load(f)


# --- guards -------------------------------------------------------------------


@pytest.mark.parametrize(
    "function, args",
    [
        ("loadVokel", ("x.vokel",)),
        ("saveVokel", (None, "x.vokel")),
        ("getVokel", (".",)),
        # The guard comes before the arguments are looked at.
        ("loadVokel", (None,)),
        ("getVokel", (12,)),
    ],
)
def test_guard_comes_first(core, installation, monkeypatch, function, args):
    asked = record_loads(monkeypatch, core)
    listed = []
    monkeypatch.setattr(core, "os", HostOs(listdir=listed.append))
    with pytest.raises(EnvironmentError) as raised:
        getattr(core, function)(*args)
    assert str(raised.value) == GUARD_MESSAGE
    assert asked == [] and listed == [] and journal.entries() == []


# --- loadVokel ----------------------------------------------------------------


def test_load_missing_file_gives_none_without_loading_anything(core, ready, monkeypatch, study):
    asked = record_loads(monkeypatch, core)
    assert core.loadVokel(str(study / "absent.vokel")) is None
    assert asked == [] and journal.entries() == []


def test_load_asks_for_three_assemblies_in_order(core, ready, monkeypatch, model, study):
    path = str(study / "m.vokel")
    core.saveVokel(model, path)
    asked = record_loads(monkeypatch, core)
    loaded = core.loadVokel(path)
    assert asked == [SDK, HELPER, CORE]
    assert loaded is not model
    assert list(loaded.Layers.Names) == ["0"]


def test_load_builds_an_empty_model_then_loads_the_path(core, ready, model, study):
    path = str(study / "m.vokel")
    core.saveVokel(model, path)
    journal.clear()
    loaded = core.loadVokel(path)
    names = [c for c in journal.entries() if c.target == "Model"]
    assert [(c.member, c.args) for c in names] == [(".ctor", ()), ("LoadFromFile", (path,))]
    assert loaded.FilePath == path


@pytest.mark.parametrize(
    "content",
    [
        "",
        "plain text\n",
        '{"standin-model": 2}',
        '{"standin-project": 1}',
        '{"standin-model": 1, "module": "All", "layers": [], "elements": []}',
        "STANDIN-FRE 1\nframe=1\n",
    ],
)
def test_load_file_the_product_refuses_gives_none(core, ready, study, content, capsys):
    path = write_text(str(study / "bad.vokel"), content)
    assert core.loadVokel(path) is None
    assert "Model.LoadFromFile" in journal.names()
    assert "Error" not in capsys.readouterr().out


def test_load_directory_gives_none(core, ready, study):
    assert core.loadVokel(str(study)) is None
    assert journal.calls("Model", "LoadFromFile")[0].args == (str(study),)


@pytest.mark.parametrize(
    "error", [ValueError("bad"), RuntimeError("odd"), dotnet.InvalidDataException("x"), MemoryError(), OSError("gone")]
)
def test_load_error_of_the_exception_family_gives_none(core, ready, study, error):
    path = write_text(str(study / "m.vokel"))
    knobs.raise_on = {"Model.LoadFromFile": error}
    assert core.loadVokel(path) is None


@pytest.mark.parametrize("error", [KeyboardInterrupt(), SystemExit(3), GeneratorExit()])
def test_load_interruption_passes_through(core, ready, study, error):
    path = write_text(str(study / "m.vokel"))
    knobs.raise_on = {"Model.LoadFromFile": error}
    with pytest.raises(type(error)) as raised:
        core.loadVokel(path)
    assert raised.value is error


@pytest.mark.parametrize("failing", [SDK, HELPER, CORE])
def test_load_assembly_errors_propagate(core, ready, monkeypatch, study, failing):
    path = write_text(str(study / "m.vokel"))
    error = FileNotFoundError(f"DLL '{failing}' not found.")
    record_loads(monkeypatch, core, fail_on={failing: error})
    with pytest.raises(FileNotFoundError) as raised:
        core.loadVokel(path)
    assert raised.value is error
    assert "Model..ctor" not in journal.names()


def test_load_model_constructor_error_propagates(core, ready, study):
    path = write_text(str(study / "m.vokel"))
    error = dotnet.InvalidOperationException("no model")
    knobs.raise_on = {"Model..ctor": error}
    with pytest.raises(dotnet.InvalidOperationException) as raised:
        core.loadVokel(path)
    assert raised.value is error


# --- saveVokel ----------------------------------------------------------------


class EqualToNone:
    """A model stand-in that compares equal to None."""

    def __ne__(self, other):
        return other is not None


@pytest.mark.parametrize("vokel", [None, EqualToNone()])
def test_save_of_no_model_writes_nothing(core, ready, monkeypatch, study, vokel):
    fre_calls = []
    monkeypatch.setattr(core, "writeFreFile", lambda *args: fre_calls.append(args))
    assert core.saveVokel(vokel, str(study / "m.vokel")) is None
    assert fre_calls == [] and os.listdir(study) == [] and journal.entries() == []


def test_save_writes_the_model_then_its_fre_file(core, model, study):
    path = str(study / "m.vokel")
    assert core.saveVokel(model, path) is None
    names = journal.names()
    assert names.index("Model.SaveToFile") < names.index("QBLibrary.Initialize")
    assert journal.calls("Model", "SaveToFile")[0].args == (path,)
    assert sorted(os.listdir(study)) == ["conception.fre", "m.vokel"]
    assert model_document(path)["layers"] == ["0"]
    assert read_fre(str(study / "conception.fre"))["layers"] == '["0"]'


def test_save_hands_the_same_model_and_path_to_writeFreFile(core, model, study, monkeypatch):
    fre_calls = []

    def writeFreFile(*args, **kwargs):
        fre_calls.append((args, kwargs, journal.names()))

    monkeypatch.setattr(core, "writeFreFile", writeFreFile)
    path = str(study / "m.vokel")
    core.saveVokel(model, path)
    ((args, kwargs, seen),) = fre_calls
    assert args[0] is model and args[1] is path and kwargs == {}
    assert seen[-1] == "Model.SaveToFile"


def test_save_rewrites_the_fre_file_named_after_the_model(core, model, study):
    write_text(str(study / "m.fre"))
    core.saveVokel(model, str(study / "m.vokel"))
    assert sorted(os.listdir(study)) == ["m.fre", "m.vokel"]
    assert read_fre(str(study / "m.fre"))["frefile"] == repr(str(study / "m.fre"))


@pytest.mark.parametrize("relative", ["m.vokel", os.path.join("sub", "..", "m.vokel"), "./m.vokel"])
def test_save_passes_the_path_unchanged(core, model, study, monkeypatch, relative):
    (study / "sub").mkdir()
    monkeypatch.chdir(study)
    core.saveVokel(model, relative)
    assert journal.calls("Model", "SaveToFile")[0].args == (relative,)
    assert os.path.isfile(study / "m.vokel")


def test_save_into_a_missing_folder_creates_no_folder(core, model, study, monkeypatch):
    fre_calls = []
    monkeypatch.setattr(core, "writeFreFile", lambda *args: fre_calls.append(args))
    with pytest.raises(dotnet.DirectoryNotFoundException):
        core.saveVokel(model, str(study / "missing" / "m.vokel"))
    assert os.listdir(study) == [] and fre_calls == []


def test_fre_failure_after_a_good_save_leaves_the_model_file(core, ready, model, study):
    os.remove(ready.native_library)
    path = str(study / "m.vokel")
    with pytest.raises(EnvironmentError, match="^Invalid setup! Brivane.Quelbar.lib not found!$"):
        core.saveVokel(model, path)
    assert os.listdir(study) == ["m.vokel"]
    assert list(core.loadVokel(path).Layers.Names) == ["0"]


def test_failing_save_leaves_an_earlier_model_file_intact(core, model, study, monkeypatch):
    path = str(study / "m.vokel")
    core.saveVokel(model, path)
    before = read_text(path)
    core.executeCommand(core.createCommand("ADD_PIPE", model))
    knobs.fail_writes_after = 10
    fre_calls = []
    monkeypatch.setattr(core, "writeFreFile", lambda *args: fre_calls.append(args))
    with pytest.raises(dotnet.IOException):
        core.saveVokel(model, path)
    assert read_text(path) == before and fre_calls == []
    assert sorted(os.listdir(study)) == ["conception.fre", "m.vokel"]


def test_save_error_propagates_unchanged(core, model, study):
    error = dotnet.UnauthorizedAccessException("denied")
    knobs.raise_on = {"Model.SaveToFile": error}
    with pytest.raises(dotnet.UnauthorizedAccessException) as raised:
        core.saveVokel(model, str(study / "m.vokel"))
    assert raised.value is error


# --- getVokel and find_first_file ---------------------------------------------


def make_entries(folder, files=(), folders=()):
    for name in files:
        write_text(os.path.join(folder, name))
    for name in folders:
        os.mkdir(os.path.join(folder, name))


@pytest.mark.parametrize(
    "files, folders, matching",
    [
        (["b.vokel", "A.VOKEL"], [], {"b.vokel", "A.VOKEL"}),
        (["one.vokel", "two.vokel", "three.vokel", "x.fre", "y.thf"], [], {"one.vokel", "two.vokel", "three.vokel"}),
        (["m.Vokel", "notes.txt"], [], {"m.Vokel"}),
        (["z.vokel"], ["x.vokel", "a.vokel"], {"z.vokel"}),
        ([".vokel", "avokel", "m.vokel.bak"], [], {".vokel"}),
    ],
)
def test_get_vokel_gives_the_first_model_file_of_the_listing(core, ready, study, files, folders, matching):
    make_entries(study, files, folders)
    first = next(name for name in os.listdir(study) if name in matching)
    assert core.getVokel(str(study)) == os.path.join(str(study), first)


@pytest.mark.parametrize(
    "listing, expected",
    [
        (["z.vokel", "a.vokel"], "z.vokel"),
        (["a.vokel", "z.vokel"], "a.vokel"),
        (["B.VOKEL", "a.vokel"], "B.VOKEL"),
        (["sub.vokel", "late.vokel"], "late.vokel"),
    ],
)
def test_listing_order_is_kept_not_sorted(core, ready, study, monkeypatch, listing, expected):
    make_entries(study, [n for n in listing if n != "sub.vokel"], [n for n in listing if n == "sub.vokel"])
    monkeypatch.setattr(core, "os", HostOs(listdir=lambda directory: list(listing)))
    assert core.getVokel(str(study)) == os.path.join(str(study), expected)


@pytest.mark.parametrize("files, folders", [([], []), (["a.fre", "b.thf", "vokel"], ["c.vokel"])])
def test_get_vokel_without_model_files_gives_empty_text(core, ready, study, files, folders):
    make_entries(study, files, folders)
    assert core.getVokel(str(study)) == ""


@pytest.mark.parametrize("function", ["getVokel", "find_first_file"])
def test_listing_errors_propagate(core, ready, study, function):
    args = (".vokel",) if function == "find_first_file" else ()
    with pytest.raises(FileNotFoundError):
        getattr(core, function)(str(study / "missing"), *args)
    not_a_folder = write_text(str(study / "file.vokel"))
    with pytest.raises(NotADirectoryError):
        getattr(core, function)(not_a_folder, *args)


def test_relative_directory_gives_a_relative_result(core, ready, study, monkeypatch):
    (study / "inner").mkdir()
    write_text(str(study / "inner" / "m.vokel"))
    monkeypatch.chdir(study)
    assert core.getVokel("inner") == os.path.join("inner", "m.vokel")
    assert core.find_first_file("inner", ".vokel") == os.path.join("inner", "m.vokel")


@pytest.mark.parametrize(
    "ext, expected",
    [
        (".VOKEL", ""),
        (".Vokel", ""),
        (".vokel", "M.VOKEL"),
        ("VOKEL", ""),
        (".thf", "r.THF"),
        ("", "M.VOKEL"),
        ("l", "M.VOKEL"),
        (".fre", ""),
    ],
)
def test_find_first_file_lowers_names_but_not_the_ending(core, study, monkeypatch, ext, expected):
    make_entries(study, ["M.VOKEL", "r.THF"], ["sub"])
    monkeypatch.setattr(core, "os", HostOs(listdir=lambda directory: ["sub", "M.VOKEL", "r.THF"]))
    found = core.find_first_file(str(study), ext)
    assert found == (os.path.join(str(study), expected) if expected else "")


def test_empty_ending_gives_the_first_regular_file(core, study):
    make_entries(study, ["a", "b"], ["c", "d"])
    regular = [n for n in os.listdir(study) if os.path.isfile(study / n)]
    assert core.find_first_file(str(study), "") == os.path.join(str(study), regular[0])


@pytest.mark.parametrize(
    "listing, tested",
    [
        (["a.txt", "d.vokel", "b.vokel", "c.vokel"], ["d.vokel", "b.vokel"]),
        (["x.txt", "y.fre"], []),
        (["gone.vokel", "b.vokel", "c.vokel"], ["gone.vokel", "b.vokel"]),
        (["b.vokel", "c.vokel"], ["b.vokel"]),
    ],
)
def test_walk_is_lazy(core, study, monkeypatch, listing, tested):
    make_entries(study, ["b.vokel", "c.vokel", "a.txt", "x.txt", "y.fre"], ["d.vokel"])
    listings, checked = [], []

    def listdir(directory):
        listings.append(directory)
        return list(listing)

    def isfile(path):
        checked.append(os.path.basename(path))
        return os.path.isfile(path)

    monkeypatch.setattr(core, "os", HostOs(listdir=listdir, path=HostPath(isfile=isfile)))
    found = core.find_first_file(str(study), ".vokel")
    assert listings == [str(study)]
    assert checked == tested
    assert found == (os.path.join(str(study), tested[-1]) if tested else "")


def test_symbolic_links(core, study, tmp_path):
    target_file = write_text(str(tmp_path / "real.vokel"))
    os.symlink(str(tmp_path / "nowhere.vokel"), str(study / "dangling.vokel"))
    os.symlink(str(tmp_path), str(study / "folder.vokel"))
    assert core.find_first_file(str(study), ".vokel") == ""
    os.symlink(target_file, str(study / "link.vokel"))
    assert core.find_first_file(str(study), ".vokel") == str(study / "link.vokel")


def test_find_first_file_works_without_set_up(core, study):
    write_text(str(study / "a.thf"))
    assert core._validSetup_ is False
    assert core.find_first_file(str(study), ".thf") == str(study / "a.thf")
    assert journal.entries() == []


def test_get_vokel_goes_through_find_first_file(core, ready, monkeypatch, study):
    seen = []
    monkeypatch.setattr(core, "find_first_file", lambda directory, ext: seen.append((directory, ext)) or "x")
    assert core.getVokel(str(study)) == "x"
    assert seen == [(str(study), ".vokel")]


# --- end to end -----------------------------------------------------------------


def test_create_edit_save_load_find_round_trip(core, ready, tmp_path):
    study = tmp_path / "project" / "study"
    study.mkdir(parents=True)
    model = core.createPipingVokel()
    for name in ("ADD_PIPE", "ADD_LAYER"):
        assert core.executeCommand(core.createCommand(name, model)) is None
    assert os.listdir(study) == []

    path = str(study / "study.vokel")
    core.saveVokel(model, path)
    assert sorted(os.listdir(study)) == ["conception.fre", "study.vokel"]
    fre = read_fre(str(study / "conception.fre"))
    assert (fre["elements"], fre["layers"]) == ("1", '["0", "Layer 1"]')

    found = core.getVokel(str(study))
    assert found == path
    loaded = core.loadVokel(found)
    assert loaded is not model
    assert list(loaded.Layers.Names) == ["0", "Layer 1"]
    assert loaded.Elements == ("PIPE-1",)
    assert type(loaded.CalculationCode).__name__ == "PipingCode"

    # Saving again rewrites the same fre file, now found under the fallback name.
    core.executeCommand(core.createCommand("ADD_PIPE", loaded))
    core.saveVokel(loaded, found)
    assert sorted(os.listdir(study)) == ["conception.fre", "study.vokel"]
    assert read_fre(str(study / "conception.fre"))["elements"] == "2"
