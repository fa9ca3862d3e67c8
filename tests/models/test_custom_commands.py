"""createCommand and executeCommand: the product's named commands run on a
model through the module's command controller."""

import pytest
from brivane_standin import dotnet, journal
from brivane_standin.knobs import knobs
from brivane_testkit.module_table import GUARD_MESSAGE

from .support_models import CORE, read_text, record_loads


@pytest.fixture
def piping(model):
    """The area's new piping model (conftest.py), under the name these tests give it."""
    return model


@pytest.fixture
def structure(core, piping):
    made = core.createStructureVokel()
    journal.clear()
    return made


@pytest.mark.parametrize("name", ["ADD_PIPE", "ADD_LAYER", "CLEAR"])
def test_command_is_built_with_the_model_first_and_the_name_second(core, piping, name):
    command = core.createCommand(name, piping)
    (built,) = journal.calls("CustomCommand", ".ctor")
    assert built.args == (piping, name) and built.kwargs == {}
    assert command.Name == name


def test_controller_gets_the_model_before_the_command_is_built(core, piping):
    command = core.createCommand("ADD_PIPE", piping)
    names = journal.names()
    assert names.index("CommandController.set_model") < names.index("CustomCommand..ctor")
    assert journal.calls("CommandController", "set_model")[0].args == (piping,)
    assert core._commandController_.model is piping
    assert command.NeedToReloadModelAfterCommand is False
    assert command.NeedToSaveModelAfterCommand is False
    assert names[-2:] == [
        "CustomCommand.set_NeedToReloadModelAfterCommand",
        "CustomCommand.set_NeedToSaveModelAfterCommand",
    ]


def test_create_command_asks_for_the_core_assembly(core, piping, monkeypatch):
    asked = record_loads(monkeypatch, core)
    core.createCommand("ADD_PIPE", piping)
    assert asked == [CORE]


@pytest.mark.parametrize("name", ["NO_SUCH_COMMAND", "add_pipe", ""])
def test_unknown_command_raises_the_product_error_with_the_model_already_attached(core, piping, structure, name):
    core.createCommand("ADD_BEAM", structure)
    with pytest.raises(dotnet.ArgumentException, match="Unknown command"):
        core.createCommand(name, piping)
    assert core._commandController_.model is piping


def test_constructor_error_propagates_unchanged(core, piping):
    error = dotnet.InvalidOperationException("busy")
    knobs.raise_on = {"CustomCommand..ctor": error}
    with pytest.raises(dotnet.InvalidOperationException) as raised:
        core.createCommand("ADD_PIPE", piping)
    assert raised.value is error
    assert core._commandController_.model is piping


def test_controller_refusing_the_model_stops_before_the_command(core, piping):
    with pytest.raises(dotnet.ArgumentException, match="model must be a Model"):
        core.createCommand("ADD_PIPE", "not a model")
    assert journal.calls("CustomCommand") == []


def test_latest_create_command_sets_the_current_model(core, piping, structure):
    core.createCommand("ADD_PIPE", piping)
    core.createCommand("ADD_BEAM", structure)
    assert core._commandController_.model is structure


@pytest.mark.parametrize(
    "name, elements, layers",
    [
        ("ADD_PIPE", ("PIPE-1",), ["0"]),
        ("ADD_LAYER", (), ["0", "Layer 1"]),
        ("CLEAR", (), ["0"]),
    ],
)
def test_execute_hands_the_command_to_the_controller(core, piping, name, elements, layers):
    command = core.createCommand(name, piping)
    journal.clear()
    assert core.executeCommand(command) is None
    assert [(c.name, c.args) for c in journal.entries()][0] == ("CommandController.AddCommand", (command,))
    assert piping.Elements == elements
    assert list(piping.Layers.Names) == layers


def test_execute_works_on_the_model_of_the_latest_create_command(core, piping):
    other = core.createPipingVokel()
    for_piping = core.createCommand("ADD_PIPE", piping)
    core.createCommand("ADD_PIPE", other)
    core.executeCommand(for_piping)
    assert piping.Elements == () and other.Elements == ("PIPE-1",)
    # Attaching the model again makes the earlier command apply to it.
    core.createCommand("CLEAR", piping)
    core.executeCommand(for_piping)
    assert piping.Elements == ("PIPE-1",)


@pytest.mark.parametrize("not_a_command", [None, "ADD_PIPE", 3])
def test_execute_hands_over_anything_unexamined(core, piping, not_a_command):
    with pytest.raises(dotnet.ArgumentException, match="AddCommand expects a CustomCommand"):
        core.executeCommand(not_a_command)
    assert journal.calls("CommandController", "AddCommand")[0].args == (not_a_command,)


def test_execute_loads_nothing(core, piping, monkeypatch):
    command = core.createCommand("ADD_PIPE", piping)
    asked = record_loads(monkeypatch, core)
    core.executeCommand(command)
    assert asked == []


def test_model_file_changes_only_when_saved(core, piping, tmp_path):
    path = str(tmp_path / "m.vokel")
    core.saveVokel(piping, path)
    before = read_text(path)
    journal.clear()
    for name in ("ADD_PIPE", "ADD_LAYER", "ADD_PIPE"):
        core.executeCommand(core.createCommand(name, piping))
    # Neither saved nor reloaded by the product after the commands.
    assert read_text(path) == before
    assert piping.Elements == ("PIPE-1", "PIPE-2")
    assert journal.calls("Model", "SaveToFile") == []
    core.saveVokel(piping, path)
    assert read_text(path) != before
    assert core.loadVokel(path).Elements == ("PIPE-1", "PIPE-2")


def test_command_on_a_loaded_model_is_not_reloaded_from_its_file(core, piping, tmp_path):
    path = str(tmp_path / "m.vokel")
    core.saveVokel(piping, path)
    loaded = core.loadVokel(path)
    journal.clear()
    core.executeCommand(core.createCommand("ADD_PIPE", loaded))
    assert loaded.Elements == ("PIPE-1",)
    assert journal.calls("Model", "LoadFromFile") == [] and journal.calls("Model", "SaveToFile") == []
    assert core.loadVokel(path).Elements == ()


@pytest.mark.parametrize(
    "call",
    [
        lambda core: core.createCommand("ADD_PIPE", None),
        lambda core: core.executeCommand(None),
    ],
)
def test_guard_comes_first(core, installation, call):
    with pytest.raises(EnvironmentError) as raised:
        call(core)
    assert str(raised.value) == GUARD_MESSAGE
    assert journal.entries() == []


def test_guard_follows_the_flag_after_set_up(core, piping):
    command = core.createCommand("ADD_PIPE", piping)
    core._validSetup_ = False
    for call in (lambda: core.createCommand("ADD_PIPE", piping), lambda: core.executeCommand(command)):
        with pytest.raises(EnvironmentError, match="^Invalid setup! Please call"):
            call()
    assert piping.Elements == ()
