"""writeFreFile: the solver input file of a model, its name, the settings
that shape it and the call of the model's writer."""

import os

import pytest
from brivane_standin import dotnet, journal
from brivane_standin.knobs import knobs
from brivane_standin.product import qblibrary_path, read_fre
from brivane_testkit.module_table import GUARD_MESSAGE, LIBRARY_MISSING

from ..support import Shifting
from .support_models import CORE, HostOs, HostPath, read_text, record_loads, write_settings, write_text

SETTING_READS = [
    ("QUELBAR", "MAX FIELD LENGTH"),
    ("QUELBAR", "ROTATION UNITS"),
    ("QUELBAR", "GENERATE RESTRAINTS INLINE"),
    ("QUELBAR", "GENERATE DLCS INLINE"),
    ("QUELBAR", "GENERATE INDI INLINE"),
    ("PELORIX", "USE IMPERIAL NOTATION"),
]
# Index in the writer's arguments of each switch setting.
FLAG_POSITIONS = {
    ("QUELBAR", "GENERATE RESTRAINTS INLINE"): 6,
    ("QUELBAR", "GENERATE DLCS INLINE"): 7,
    ("QUELBAR", "GENERATE INDI INLINE"): 8,
    ("PELORIX", "USE IMPERIAL NOTATION"): 5,
}


def writer_calls():
    return journal.calls("Model", "WriteFreFile")


def only_writer_call():
    (call,) = writer_calls()
    assert call.kwargs == {}
    return call.args


def test_guard_comes_first_and_touches_nothing(core, installation, study):
    old = write_text(str(study / "conception.fre"))
    with pytest.raises(EnvironmentError) as raised:
        core.writeFreFile(None, str(study / "s.vokel"))
    assert str(raised.value) == GUARD_MESSAGE
    assert read_text(old) == "old content\n"
    assert journal.entries() == []


def test_missing_native_library_is_reported_before_any_file_is_touched(core, ready, model, study):
    old = write_text(str(study / "study1.fre"))
    os.remove(ready.native_library)
    with pytest.raises(EnvironmentError) as raised:
        core.writeFreFile(model, str(study / "study1.vokel"))
    assert type(raised.value) is OSError
    assert str(raised.value) == LIBRARY_MISSING
    assert read_text(old) == "old content\n"
    assert "QBLibrary.Initialize" not in journal.names()
    assert writer_calls() == []


def test_native_library_is_looked_for_in_the_extensions_folder_only(core, ready, model, study):
    # The installation folder is a search place for assemblies, not for the native library.
    os.replace(ready.native_library, os.path.join(ready.root, "Brivane.Quelbar.lib"))
    with pytest.raises(OSError, match="Brivane.Quelbar.lib not found"):
        core.writeFreFile(model, str(study / "s.vokel"))
    assert os.listdir(study) == []


def test_native_library_is_initialised_with_its_full_path_on_every_call(core, ready, model, study):
    for _ in range(2):
        core.writeFreFile(model, str(study / "s.vokel"))
    library = os.path.join(ready.extensions, "Brivane.Quelbar.lib")
    assert [c.args for c in journal.calls("QBLibrary", "Initialize")] == [(library,), (library,)]
    assert qblibrary_path() == library


def test_library_folder_is_read_at_each_call(core, ready, model, study, tmp_path):
    other = tmp_path / "other extensions"
    other.mkdir()
    core._dllPath_ = str(other)
    with pytest.raises(OSError, match="Brivane.Quelbar.lib not found"):
        core.writeFreFile(model, str(study / "s.vokel"))


def test_core_assembly_is_asked_for_before_the_library(core, monkeypatch, model, study):
    asked = record_loads(monkeypatch, core)
    core.writeFreFile(model, str(study / "s.vokel"))
    assert asked == [CORE]


# existing files, model file name, fre file written, files left as they were
NAMING = [
    (["study1.fre"], "study1.vokel", "study1.fre", []),
    (["study1.fre", "conception.fre"], "study1.vokel", "study1.fre", ["conception.fre"]),
    (["conception.fre"], "study1.vokel", "conception.fre", []),
    ([], "study1.vokel", "conception.fre", []),
    (["other.fre"], "study1.vokel", "conception.fre", ["other.fre"]),
    (["a.b.fre"], "a.b.vokel", "a.b.fre", []),
    (["a.fre"], "a.b.vokel", "conception.fre", ["a.fre"]),
    (["study1.fre"], "study1.txt", "study1.fre", []),
    (["study1.fre"], "study1", "study1.fre", []),
    (["study1.vokel.fre"], "study1.vokel", "conception.fre", ["study1.vokel.fre"]),
]


@pytest.mark.parametrize("existing, model_name, target, untouched", NAMING)
def test_target_naming_rule(core, model, study, existing, model_name, target, untouched):
    for name in existing:
        write_text(str(study / name))
    model_file = str(study / model_name)
    core.writeFreFile(model, model_file)
    assert only_writer_call()[0] == str(study / target)
    assert read_fre(str(study / target))["frefile"] == repr(str(study / target))
    for name in untouched:
        assert read_text(str(study / name)) == "old content\n"
    assert sorted(os.listdir(study)) == sorted(set(existing) | {target})
    # The model file itself is neither read nor needed.
    assert not os.path.exists(model_file)


def test_a_directory_in_the_way_counts_as_existing(core, model, study):
    (study / "study1.fre").mkdir()
    with pytest.raises(dotnet.UnauthorizedAccessException):
        core.writeFreFile(model, str(study / "study1.vokel"))
    assert only_writer_call()[0] == str(study / "study1.fre")
    assert not (study / "conception.fre").exists()


@pytest.mark.parametrize("existing, target", [(["model.fre"], "model.fre"), ([], "conception.fre")])
def test_a_bare_file_name_is_taken_in_the_current_folder_of_the_call(core, model, study, monkeypatch, existing, target):
    for name in existing:
        write_text(str(study / name))
    monkeypatch.chdir(study)
    assert core.writeFreFile(model, "model.vokel") is None
    assert only_writer_call()[0] == str(study / target)
    assert read_fre(str(study / target))["frefile"] == repr(str(study / target))


def test_a_path_object_is_read_once(core, model, study, tmp_path):
    other = tmp_path / "other"
    other.mkdir()
    old = write_text(str(other / "s.fre"))
    path = Shifting(str(study / "s.vokel"), str(other / "s.vokel"))
    assert core.writeFreFile(model, path) is None
    assert path.reads == 1 and only_writer_call()[0] == str(study / "conception.fre")
    assert os.listdir(study) == ["conception.fre"] and os.listdir(other) == ["s.fre"]
    assert read_text(old) == "old content\n"


def fre_steps(monkeypatch, core, **replaced):
    """The module's os with `replaced` functions, each recorded with the journal's names at its call."""
    steps = []

    def recorded(name, action):
        def step(*paths):
            steps.append((name, paths, journal.names()))
            return action(*paths)

        return step

    monkeypatch.setattr(
        core,
        "os",
        HostOs(**{name: recorded(name, replaced.get(name, getattr(os, name))) for name in ("replace", "remove")}),
    )
    return steps


def test_the_old_file_waits_aside_while_the_writer_runs(core, model, study, monkeypatch):
    old = write_text(str(study / "study1.fre"))
    aside = old + ".old"
    steps = fre_steps(monkeypatch, core)
    core.writeFreFile(model, str(study / "study1.vokel"))
    (moved, paths, seen), (deleted, deleted_paths, after) = steps
    assert (moved, paths) == ("replace", (old, aside)) and (deleted, deleted_paths) == ("remove", (aside,))
    assert seen[-1] == "SettingsController.GetSettingValue", "moved once every setting is read"
    assert after[-1] == "Model.WriteFreFile"
    assert os.listdir(study) == ["study1.fre"] and read_fre(old)["frefile"] == repr(old)


def test_nothing_is_moved_when_there_is_no_old_file(core, model, study, monkeypatch):
    steps = fre_steps(monkeypatch, core)
    core.writeFreFile(model, str(study / "study1.vokel"))
    assert steps == [] and os.listdir(study) == ["conception.fre"]


def refuse(error):
    def refused(*args):
        raise error

    return refused


@pytest.mark.parametrize("step", ["claim", "move"])
@pytest.mark.parametrize(
    "error",
    [PermissionError(13, "Permission denied"), OSError("locked"), RuntimeError("odd"), dotnet.IOException("in use")],
)
def test_a_file_that_cannot_be_moved_aside_is_left_to_the_writer(core, model, study, monkeypatch, capsys, error, step):
    old = write_text(str(study / "study1.fre"))
    if step == "claim":
        monkeypatch.setattr(core, "open", refuse(error), raising=False)
    else:
        fre_steps(monkeypatch, core, replace=refuse(error))
    assert core.writeFreFile(model, str(study / "study1.vokel")) is None
    assert only_writer_call()[0] == old
    assert read_fre(old)["frefile"] == repr(old)
    assert os.listdir(study) == ["study1.fre"], "the claimed name is given up"
    assert capsys.readouterr().out == ""


def test_an_interrupt_while_moving_aside_propagates_and_leaves_the_file(core, model, study, monkeypatch):
    old = write_text(str(study / "study1.fre"))
    fre_steps(monkeypatch, core, replace=refuse(KeyboardInterrupt()))
    with pytest.raises(KeyboardInterrupt):
        core.writeFreFile(model, str(study / "study1.vokel"))
    assert writer_calls() == []
    assert os.listdir(study) == ["study1.fre"] and read_text(old) == "old content\n"


def partial_writer(path, text):
    with open(path, "w") as f:
        f.write(text[:10])
    raise dotnet.IOException("There is not enough space on the disk.")


@pytest.mark.parametrize("writer", ["raises", "writes part and raises", "writes nothing", "interrupted"])
def test_the_old_file_comes_back_when_no_new_one_is_written(core, model, study, monkeypatch, writer):
    from brivane_standin.product import _files

    old = write_text(str(study / "study1.fre"), "the user's own edits\n")
    error = {"raises": dotnet.IOException("disk"), "interrupted": KeyboardInterrupt()}.get(writer)
    if writer == "writes part and raises":
        monkeypatch.setattr(_files, "write_atomic", partial_writer)
        error = dotnet.IOException
    elif writer == "writes nothing":
        monkeypatch.setattr(_files, "write_atomic", lambda path, text: None)
    elif error is not None:
        knobs.raise_on = {"Model.WriteFreFile": error}
    if writer == "writes nothing":
        assert core.writeFreFile(model, str(study / "study1.vokel")) is None
    else:
        with pytest.raises(error if isinstance(error, type) else type(error)):
            core.writeFreFile(model, str(study / "study1.vokel"))
    assert os.listdir(study) == ["study1.fre"]
    assert read_text(old) == "the user's own edits\n"


def cut_short(action, calls):
    """`action`, whose calls numbered in `calls` (from 1) raise KeyboardInterrupt instead, as a Ctrl-C landing
    in them would."""
    made = []

    def step(*args):
        made.append(args)
        if len(made) in calls:
            raise KeyboardInterrupt()
        return action(*args)

    return step


@pytest.mark.parametrize(
    "step, calls, writer_fails",
    [
        ("isfile", {1}, False),
        ("remove", {1}, False),
        ("replace", {2}, True),  # the first attempt cut short
        ("isfile", set(range(1, 10)), False),
        ("replace", set(range(2, 10)), True),  # every attempt cut short
    ],
    ids=["isfile once", "remove once", "put back once", "isfile always", "put back always"],
)
def test_a_ctrl_c_after_the_writer_still_puts_the_files_in_order(
    core, model, study, monkeypatch, step, calls, writer_fails
):
    old = write_text(str(study / "study1.fre"))
    real = getattr(os.path if step == "isfile" else os, step)
    if step == "isfile":
        monkeypatch.setattr(core, "os", HostOs(path=HostPath(isfile=cut_short(real, calls))))
    else:
        monkeypatch.setattr(core, "os", HostOs(**{step: cut_short(real, calls)}))
    if writer_fails:
        knobs.raise_on = {"Model.WriteFreFile": dotnet.IOException("disk")}
    with pytest.raises(KeyboardInterrupt) as raised:
        core.writeFreFile(model, str(study / "study1.vokel"))
    if len(calls) == 1:
        # In order once the interrupt is raised: the new file and no aside copy, or the old file back.
        assert os.listdir(study) == ["study1.fre"] and str(raised.value) == ""
        assert (read_text(old) == "old content\n") is writer_fails
    else:
        # The aside copy must stay: the interrupt names it.
        assert "study1.fre.old" in os.listdir(study) and read_text(old + ".old") == "old content\n"
        assert str(raised.value) == f"the previous fre file is kept as '{old}.old'"
    if writer_fails:
        assert isinstance(raised.value.__context__, dotnet.IOException)


@pytest.mark.parametrize(
    "call, target",
    [
        ("writeFreFile", "beside"),
        ("writeFreFile", "elsewhere"),
        ("writeFreFile", "missing"),
        ("saveVokel", "elsewhere"),
    ],
)
def test_a_fre_file_that_is_a_link_is_refused_and_left_as_it_is(core, model, study, tmp_path, call, target):
    # A link to a missing target names nothing, so the rule falls back on conception.fre: the link there.
    linked = {"beside": study / "shared.fre", "elsewhere": tmp_path / "shared.fre", "missing": tmp_path / "gone"}
    link = study / ("conception.fre" if target == "missing" else "study1.fre")
    if target != "missing":
        write_text(str(linked[target]), "the shared fre file\n")
    os.symlink(linked[target], link)
    before = sorted(os.listdir(study))
    with pytest.raises(OSError) as raised:
        getattr(core, call)(model, str(study / "study1.vokel"))
    assert str(raised.value) == (
        f"The fre file '{link}' is a symbolic link: writeFreFile writes no fre file "
        "through a link, and leaves the link and its target as they are."
    )
    assert os.readlink(link) == str(linked[target]) and writer_calls() == []
    assert sorted(os.listdir(study)) == sorted(before + (["study1.vokel"] if call == "saveVokel" else []))
    if target != "missing":
        assert read_text(str(linked[target])) == "the shared fre file\n"


@pytest.mark.parametrize("fails", [False, True])
def test_files_with_the_aside_names_are_never_touched(core, model, study, fails):
    old = write_text(str(study / "study1.fre"))
    taken = {
        name: write_text(str(study / name), f"{name} of the user\n") for name in ("study1.fre.old", "study1.fre.old1")
    }
    if fails:
        knobs.raise_on = {"Model.WriteFreFile": dotnet.IOException("disk")}
    try:
        core.writeFreFile(model, str(study / "study1.vokel"))
    except dotnet.IOException:
        assert fails
    for name, path in taken.items():
        assert read_text(path) == f"{name} of the user\n"
    assert sorted(os.listdir(study)) == ["study1.fre", "study1.fre.old", "study1.fre.old1"]
    assert (read_text(old) == "old content\n") is fails


def test_a_missing_settings_controller_leaves_the_old_file_alone(core, model, study):
    old = write_text(str(study / "study1.fre"))
    knobs.settings_controller_missing = True
    assert core.writeFreFile(model, str(study / "study1.vokel")) is None
    assert os.listdir(study) == ["study1.fre"] and read_text(old) == "old content\n"
    assert journal.calls("SettingsController") == []
    assert writer_calls() == []


class ControllerEqualToNone:
    """A settings controller that compares equal to None."""

    def __eq__(self, other):
        return other is None

    def __ne__(self, other):
        return other is not None

    def GetSettingValue(self, family, name):
        raise AssertionError("no setting may be read")


def test_controller_is_compared_with_none_by_inequality(core, model, study):
    class Application:
        def GetSettingsController(self):
            return ControllerEqualToNone()

    core._Application_ = Application()
    assert core.writeFreFile(model, str(study / "s.vokel")) is None
    assert writer_calls() == []


def test_writer_gets_twelve_positional_arguments_in_order(core, model, study):
    core.writeFreFile(model, str(study / "s.vokel"))
    fre = str(study / "conception.fre")
    # Default settings: 80, Degrees, restraints 1, DLCS 0, INDI 1, imperial 0.
    assert only_writer_call() == (fre, None, 80, 1, False, False, True, False, True, False, None, None)
    assert read_fre(fre) == {
        "module": "Pelorix",
        "layers": '["0"]',
        "elements": "0",
        "frefile": repr(fre),
        "a2": "None",
        "maxLength": "80",
        "rotation": "1",
        "a5": "False",
        "imperial": "False",
        "inlineRestraints": "True",
        "inlineDLCS": "False",
        "inlineINDI": "True",
        "a10": "False",
        "a11": "None",
        "a12": "None",
    }


def test_settings_are_read_in_order_after_the_controller(core, model, study):
    core.writeFreFile(model, str(study / "s.vokel"))
    reads = [c for c in journal.entries() if c.target in ("BrivaneApplication", "SettingsController")]
    assert [c.name for c in reads] == (
        ["BrivaneApplication.GetSettingsController"] + ["SettingsController.GetSettingValue"] * 6
    )
    assert [c.args for c in reads[1:]] == SETTING_READS
    assert journal.names()[-1] == "Model.WriteFreFile"


@pytest.mark.parametrize("value, expected", [(80, 80), ("80", 80), (" 80 ", 80), ("120", 120), (7, 7)])
def test_max_field_length_is_a_whole_number(core, ready, model, study, value, expected):
    write_settings(ready, {("QUELBAR", "MAX FIELD LENGTH"): value})
    core.writeFreFile(model, str(study / "s.vokel"))
    passed = only_writer_call()[2]
    assert type(passed) is int and passed == expected


@pytest.mark.parametrize(
    "value, expected",
    [
        ("Degrees", 1),
        ("Milliradians", 2),
        ("degrees", 0),
        ("DEGREES", 0),
        ("milliradians", 0),
        ("Radians", 0),
        ("", 0),
        ("Degrees ", 0),
        (1, 0),
        (2, 0),
    ],
)
def test_rotation_units_map_to_an_option(core, ready, model, study, value, expected):
    write_settings(ready, {("QUELBAR", "ROTATION UNITS"): value})
    core.writeFreFile(model, str(study / "s.vokel"))
    passed = only_writer_call()[3]
    assert type(passed) is int and passed == expected


@pytest.mark.parametrize("setting", list(FLAG_POSITIONS))
@pytest.mark.parametrize(
    "value, expected",
    [
        (1, True),
        ("1", True),
        (" 1", True),
        (True, True),
        (1.0, True),
        (0, False),
        ("0", False),
        (2, False),
        ("2", False),
        (-1, False),
        ("-1", False),
        (False, False),
    ],
)
def test_switch_settings_are_on_only_for_one(core, ready, model, study, setting, value, expected):
    # Every other switch is set the other way round, so a mixed-up position shows.
    write_settings(ready, {**{other: (0 if expected else 1) for other in FLAG_POSITIONS}, setting: value})
    core.writeFreFile(model, str(study / "s.vokel"))
    args = only_writer_call()
    assert args[FLAG_POSITIONS[setting]] is expected
    for other, position in FLAG_POSITIONS.items():
        if other != setting:
            assert args[position] is (not expected)


@pytest.mark.parametrize("setting", [SETTING_READS[0]] + list(FLAG_POSITIONS))
@pytest.mark.parametrize("value", ["yes", "", "1.0", "eighty"])
def test_value_refused_by_int_raises_and_leaves_the_old_file(core, ready, model, study, setting, value):
    old = write_text(str(study / "study1.fre"))
    write_settings(ready, {setting: value})
    with pytest.raises(ValueError, match="invalid literal for int"):
        core.writeFreFile(model, str(study / "study1.vokel"))
    assert os.listdir(study) == ["study1.fre"] and read_text(old) == "old content\n"
    assert writer_calls() == []
    # Reading stops at the refused value.
    reads = [c.args for c in journal.calls("SettingsController", "GetSettingValue")]
    assert reads == SETTING_READS[: SETTING_READS.index(setting) + 1]


@pytest.mark.parametrize(
    "failing",
    [
        "QBLibrary.Initialize",
        "BrivaneApplication.GetSettingsController",
        "SettingsController.GetSettingValue",
        "Model.WriteFreFile",
    ],
)
def test_product_errors_propagate_unchanged_and_leave_the_old_file(core, model, study, failing):
    old = write_text(str(study / "study1.fre"))
    error = dotnet.InvalidOperationException(f"{failing} failed")
    knobs.raise_on = {failing: error}
    with pytest.raises(dotnet.InvalidOperationException) as raised:
        core.writeFreFile(model, str(study / "study1.vokel"))
    assert raised.value is error
    assert os.listdir(study) == ["study1.fre"] and read_text(old) == "old content\n"


def test_assembly_load_error_propagates_before_anything_is_touched(core, monkeypatch, model, study):
    old = write_text(str(study / "study1.fre"))
    error = FileNotFoundError("DLL 'Brivane.Pelorix.Core.dll' not found.")
    record_loads(monkeypatch, core, fail_on={CORE: error})
    with pytest.raises(FileNotFoundError) as raised:
        core.writeFreFile(model, str(study / "study1.vokel"))
    assert raised.value is error
    assert read_text(old) == "old content\n"
    assert journal.entries() == []
