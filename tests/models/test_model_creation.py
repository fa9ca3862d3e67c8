"""createVokel, createPipingVokel and createStructureVokel: new, empty models."""

import builtins

import pytest
from brivane_standin import dotnet, journal
from brivane_standin.knobs import knobs
from brivane_testkit.module_table import GUARD_MESSAGE

import brivane_computer

from .support_models import CORE, HELPER, SDK, record_loads

ENTRY_POINTS = [("createPipingVokel", "Pelorix", "PipingCode"), ("createStructureVokel", "Karvona", "StructureCode")]


def sdk_class(name):
    return getattr(builtins.__import__("Brivane.SDK", {}, None, (name,), 0), name)


def core_class(name):
    return getattr(builtins.__import__("Brivane.Pelorix.Core", {}, None, (name,), 0), name)


@pytest.mark.parametrize("function, member, code", ENTRY_POINTS)
def test_entry_points_build_a_model_of_their_kind_with_layer_zero(core, ready, function, member, code):
    model = getattr(core, function)()
    assert type(model) is core_class("Model")
    assert type(model.CalculationCode) is core_class(code)
    assert model.Module is getattr(sdk_class("BrivaneModule"), member)
    layers = list(model.Layers)
    assert [layer.Name for layer in layers] == ["0"]
    assert type(layers[0].Name) is str
    assert model.Elements == ()


@pytest.mark.parametrize("function, member, code", ENTRY_POINTS)
def test_layer_zero_is_made_as_text_and_added_to_the_layers(core, ready, function, member, code):
    getattr(core, function)()
    product = [(c.name, c.args) for c in journal.entries() if c.target in ("Model", "Layer", "LayerCollection")]
    assert [name for name, _ in product] == ["Model..ctor", "Layer..ctor", "Model.get_Layers", "LayerCollection.Add"]
    assert product[0][1] == (getattr(sdk_class("BrivaneModule"), member),)
    (name,) = product[1][1]
    assert name == "0" and type(name) is str
    (layer,) = product[3][1]
    assert type(layer) is core_class("Layer") and layer.Name == "0"


@pytest.mark.parametrize("function, member, code", ENTRY_POINTS)
def test_two_calls_give_distinct_models(core, ready, function, member, code):
    first, second = getattr(core, function)(), getattr(core, function)()
    assert first is not second
    assert first.Layers is not second.Layers
    assert len(journal.calls("Model", ".ctor")) == 2


@pytest.mark.parametrize("function, member, code", ENTRY_POINTS)
def test_entry_points_ask_for_the_sdk_then_createVokel_for_the_rest(core, ready, monkeypatch, function, member, code):
    asked = record_loads(monkeypatch, core)
    getattr(core, function)()
    assert asked == [SDK, HELPER, CORE]


@pytest.mark.parametrize("function, member, code", ENTRY_POINTS)
def test_entry_points_pass_the_sdk_enumeration_member_to_createVokel(core, ready, monkeypatch, function, member, code):
    handed = []
    monkeypatch.setattr(core, "createVokel", lambda module: handed.append(module) or "made")
    assert getattr(core, function)() == "made"
    (value,) = handed
    assert value is getattr(sdk_class("BrivaneModule"), member)
    assert value is not getattr(core.BrivaneModule, member)
    assert type(value).__module__ != core.__name__


def test_module_enumeration_is_left_untouched(core, ready):
    own = core.BrivaneModule
    members = [(m.name, m.value) for m in own]
    core.createPipingVokel()
    core.createStructureVokel()
    assert core.BrivaneModule is own and brivane_computer.BrivaneModule is own
    assert [(m.name, m.value) for m in core.BrivaneModule] == members == [("All", -1), ("Pelorix", 0), ("Karvona", 1)]
    assert core.BrivaneModule.__module__ == "brivane_computer.brivane_core"
    assert core.BrivaneModule is not sdk_class("BrivaneModule")


def test_create_vokel_asks_for_helper_and_core_only(core, ready, monkeypatch):
    asked = record_loads(monkeypatch, core)
    model = core.createVokel(sdk_class("BrivaneModule").Karvona)
    assert asked == [HELPER, CORE]
    assert type(model.CalculationCode) is core_class("StructureCode")
    assert list(model.Layers.Names) == ["0"]


@pytest.mark.parametrize(
    "refused",
    [
        "own Pelorix",
        "sdk All",
        0,
        "Pelorix",
        None,
    ],
)
def test_create_vokel_with_a_refused_value_fails_after_the_loads(core, ready, monkeypatch, refused):
    value = {"own Pelorix": core.BrivaneModule.Pelorix, "sdk All": sdk_class("BrivaneModule").All}.get(refused, refused)
    asked = record_loads(monkeypatch, core)
    with pytest.raises(dotnet.ArgumentException, match="Invalid Brivane module"):
        core.createVokel(value)
    assert asked == [HELPER, CORE]
    assert journal.calls("Model", ".ctor")[0].args == (value,)
    assert journal.calls("Layer") == []


@pytest.mark.parametrize("failing", ["Layer..ctor", "LayerCollection.Add", "Model.get_Layers"])
def test_product_errors_while_building_propagate(core, ready, failing):
    error = dotnet.InvalidOperationException(failing)
    knobs.raise_on = {failing: error}
    with pytest.raises(dotnet.InvalidOperationException) as raised:
        core.createPipingVokel()
    assert raised.value is error


def test_model_is_built_after_the_assemblies_are_there(core, ready, monkeypatch):
    error = FileNotFoundError("DLL 'Brivane.Helper.dll' not found.")
    record_loads(monkeypatch, core, fail_on={HELPER: error})
    with pytest.raises(FileNotFoundError) as raised:
        core.createStructureVokel()
    assert raised.value is error
    assert journal.calls("Model") == []


@pytest.mark.parametrize("function", ["createPipingVokel", "createStructureVokel"])
def test_guard_comes_before_anything_is_loaded(core, installation, monkeypatch, function):
    asked = record_loads(monkeypatch, core)
    with pytest.raises(EnvironmentError) as raised:
        getattr(core, function)()
    assert str(raised.value) == GUARD_MESSAGE
    assert asked == [] and journal.entries() == []


def test_create_vokel_before_set_up_fails_with_the_guard_of_its_first_load(core, installation):
    with pytest.raises(EnvironmentError) as raised:
        core.createVokel(None)
    assert str(raised.value) == GUARD_MESSAGE
    assert journal.entries() == []


@pytest.mark.parametrize("pelorix, karvona", [(False, True), (True, False), (False, False)])
def test_creation_needs_the_set_up_only(core, ready, pelorix, karvona):
    core._validPelorix_, core._validKarvona_ = pelorix, karvona
    assert type(core.createPipingVokel().CalculationCode) is core_class("PipingCode")
    assert type(core.createStructureVokel().CalculationCode) is core_class("StructureCode")


def test_models_can_be_saved_and_loaded_back_with_their_kind(core, ready, tmp_path):
    for function, member, code in ENTRY_POINTS:
        path = str(tmp_path / f"{member}.vokel")
        core.saveVokel(getattr(core, function)(), path)
        loaded = core.loadVokel(path)
        assert type(loaded.CalculationCode) is core_class(code)
        assert list(loaded.Layers.Names) == ["0"]
