"""writeFreFile: the solver input file of a model, its name, the settings
that shape it and the call of the model's writer."""
import os

import pytest

from brivane_standin import dotnet, journal
from brivane_standin.knobs import knobs
from brivane_standin.product import qblibrary_path, read_fre
from support_models import (model, study,  # noqa: F401
                            CORE, GUARD_MESSAGE, HostOs, read_text, record_loads, write_settings,
                            write_text)

LIBRARY_MISSING = "Invalid setup! Brivane.Quelbar.lib not found!"
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
def test_bare_file_name_gives_targets_relative_to_the_current_directory(core, model, study, monkeypatch,
                                                                      existing, target):
    for name in existing:
        write_text(str(study / name))
    monkeypatch.chdir(study)
    assert core.writeFreFile(model, "model.vokel") is None
    assert only_writer_call()[0] == target
    assert read_fre(str(study / target))["frefile"] == repr(target)


def test_old_file_is_deleted_after_initialising_and_before_reading_settings(core, model, study, monkeypatch):
    old = write_text(str(study / "study1.fre"))
    removals = []

    def remove(path):
        removals.append((path, journal.names()))
        os.remove(path)

    monkeypatch.setattr(core, "os", HostOs(remove=remove))
    core.writeFreFile(model, str(study / "study1.vokel"))
    (path, seen), = removals
    assert path == old
    assert seen[-1] == "QBLibrary.Initialize"
    assert "BrivaneApplication.GetSettingsController" not in seen
    assert read_fre(old)["frefile"] == repr(old)


def test_nothing_is_deleted_when_there_is_no_old_file(core, model, study, monkeypatch):
    removals = []
    monkeypatch.setattr(core, "os", HostOs(remove=removals.append))
    core.writeFreFile(model, str(study / "study1.vokel"))
    assert removals == []
    assert os.listdir(study) == ["conception.fre"]


@pytest.mark.parametrize("error", [PermissionError(13, "Permission denied"), OSError("locked"),
                                   RuntimeError("odd"), dotnet.IOException("in use")])
def test_failing_deletion_is_ignored_and_the_writer_still_called(core, model, study, monkeypatch, capsys,
                                                                error):
    old = write_text(str(study / "study1.fre"))

    def remove(path):
        raise error

    monkeypatch.setattr(core, "os", HostOs(remove=remove))
    assert core.writeFreFile(model, str(study / "study1.vokel")) is None
    assert only_writer_call()[0] == old
    assert read_fre(old)["frefile"] == repr(old)
    assert capsys.readouterr().out == ""


def test_deletion_interrupted_by_a_non_error_exception_propagates(core, model, study, monkeypatch):
    write_text(str(study / "study1.fre"))

    def remove(path):
        raise KeyboardInterrupt

    monkeypatch.setattr(core, "os", HostOs(remove=remove))
    with pytest.raises(KeyboardInterrupt):
        core.writeFreFile(model, str(study / "study1.vokel"))
    assert writer_calls() == []


def test_missing_settings_controller_deletes_the_old_file_and_writes_nothing(core, model, study):
    write_text(str(study / "study1.fre"))
    knobs.settings_controller_missing = True
    assert core.writeFreFile(model, str(study / "study1.vokel")) is None
    assert os.listdir(study) == []
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
        "module": "Pelorix", "layers": '["0"]', "elements": "0", "frefile": repr(fre), "a2": "None",
        "maxLength": "80", "rotation": "1", "a5": "False", "imperial": "False", "inlineRestraints": "True",
        "inlineDLCS": "False", "inlineINDI": "True", "a10": "False", "a11": "None", "a12": "None"}


def test_settings_are_read_in_order_after_the_controller(core, model, study):
    core.writeFreFile(model, str(study / "s.vokel"))
    reads = [c for c in journal.entries() if c.target in ("BrivaneApplication", "SettingsController")]
    assert [c.name for c in reads] == (["BrivaneApplication.GetSettingsController"]
                                       + ["SettingsController.GetSettingValue"] * 6)
    assert [c.args for c in reads[1:]] == SETTING_READS
    assert journal.names()[-1] == "Model.WriteFreFile"


@pytest.mark.parametrize("value, expected", [(80, 80), ("80", 80), (" 80 ", 80), ("120", 120), (7, 7)])
def test_max_field_length_is_a_whole_number(core, ready, model, study, value, expected):
    write_settings(ready, {("QUELBAR", "MAX FIELD LENGTH"): value})
    core.writeFreFile(model, str(study / "s.vokel"))
    passed = only_writer_call()[2]
    assert type(passed) is int and passed == expected


@pytest.mark.parametrize("value, expected", [
    ("Degrees", 1), ("Milliradians", 2), ("degrees", 0), ("DEGREES", 0), ("milliradians", 0),
    ("Radians", 0), ("", 0), ("Degrees ", 0), (1, 0), (2, 0),
])
def test_rotation_units_map_to_an_option(core, ready, model, study, value, expected):
    write_settings(ready, {("QUELBAR", "ROTATION UNITS"): value})
    core.writeFreFile(model, str(study / "s.vokel"))
    passed = only_writer_call()[3]
    assert type(passed) is int and passed == expected


@pytest.mark.parametrize("setting", list(FLAG_POSITIONS))
@pytest.mark.parametrize("value, expected", [
    (1, True), ("1", True), (" 1", True), (True, True), (1.0, True),
    (0, False), ("0", False), (2, False), ("2", False), (-1, False), ("-1", False), (False, False),
])
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
def test_value_refused_by_int_raises_after_the_old_file_is_gone(core, ready, model, study, setting, value):
    write_text(str(study / "study1.fre"))
    write_settings(ready, {setting: value})
    with pytest.raises(ValueError, match="invalid literal for int"):
        core.writeFreFile(model, str(study / "study1.vokel"))
    assert os.listdir(study) == []
    assert writer_calls() == []
    # Reading stops at the refused value.
    reads = [c.args for c in journal.calls("SettingsController", "GetSettingValue")]
    assert reads == SETTING_READS[:SETTING_READS.index(setting) + 1]


@pytest.mark.parametrize("failing, old_file_kept", [
    ("QBLibrary.Initialize", True),
    ("BrivaneApplication.GetSettingsController", False),
    ("SettingsController.GetSettingValue", False),
    ("Model.WriteFreFile", False),
])
def test_product_errors_propagate_unchanged(core, model, study, failing, old_file_kept):
    old = write_text(str(study / "study1.fre"))
    error = dotnet.InvalidOperationException(f"{failing} failed")
    knobs.raise_on = {failing: error}
    with pytest.raises(dotnet.InvalidOperationException) as raised:
        core.writeFreFile(model, str(study / "study1.vokel"))
    assert raised.value is error
    assert os.path.exists(old) is old_file_kept
    if old_file_kept:
        assert read_text(old) == "old content\n"




def test_assembly_load_error_propagates_before_anything_is_touched(core, monkeypatch, model, study):
    old = write_text(str(study / "study1.fre"))
    error = FileNotFoundError("DLL 'Brivane.Pelorix.Core.dll' not found.")
    record_loads(monkeypatch, core, fail_on={CORE: error})
    with pytest.raises(FileNotFoundError) as raised:
        core.writeFreFile(model, str(study / "study1.vokel"))
    assert raised.value is error
    assert read_text(old) == "old content\n"
    assert journal.entries() == []
