"""inspectClass and findNameSpaceAndAssembly: the product's class inspector."""

import builtins
import json

import pytest
from brivane_standin import dotnet, journal
from brivane_standin.knobs import knobs
from brivane_testkit.module_table import GUARD_MESSAGE

from .support_models import CORE, SDK, record_loads


@pytest.fixture
def imports(core, monkeypatch):
    """Records the (namespace, names) of each import the module makes."""
    made = []

    def spy(name, globals=None, locals=None, fromlist=(), level=0):
        made.append((name, tuple(fromlist or ())))
        return builtins.__import__(name, globals, locals, fromlist, level)

    monkeypatch.setattr(core, "__import__", spy, raising=False)
    return made


def exports():
    return journal.calls("BrivaneClassInspector", "ExportObjectToJson")


@pytest.mark.parametrize("indent", [True, False])
def test_instance_and_indent_are_passed_through(core, model, indent):
    text = core.inspectClass(model, indent)
    (call,) = exports()
    assert call.args[0] is model and call.args[1] is indent and call.kwargs == {}
    assert ("\n" in text) is indent
    document = json.loads(text)
    assert (document["Type"], document["Namespace"]) == ("Model", "Brivane.Pelorix.Core")
    assert "SaveToFile" in [m["Name"] for m in document["Methods"]]


def test_indented_and_compact_describe_the_same_object(core, model):
    indented, compact = core.inspectClass(model, True), core.inspectClass(model, False)
    assert indented != compact
    assert json.loads(indented) == json.loads(compact)
    assert compact == json.dumps(json.loads(indented), separators=(",", ":"))


@pytest.mark.parametrize("indent", [1, 0, None, "yes"])
def test_indent_is_not_turned_into_a_boolean(core, model, indent):
    with pytest.raises(TypeError, match="expects a bool"):
        core.inspectClass(model, indent)
    assert exports()[0].args[1] is indent


def test_inspect_loads_sdk_then_core_and_imports_model(core, model, monkeypatch, imports):
    asked = record_loads(monkeypatch, core)
    core.inspectClass(model, True)
    assert asked == [SDK, CORE]
    assert imports == [("Brivane.Pelorix.Core", ("Model",)), ("Brivane.SDK", ("BrivaneClassInspector",))]


def test_inspect_import_failure_of_model_propagates(core, model, monkeypatch):
    real = builtins.__import__

    def refusing(name, globals=None, locals=None, fromlist=(), level=0):
        if name == "Brivane.Pelorix.Core":
            raise ImportError("no core")
        return real(name, globals, locals, fromlist, level)

    monkeypatch.setattr(core, "__import__", refusing, raising=False)
    with pytest.raises(ImportError, match="no core"):
        core.inspectClass(model, True)
    assert exports() == []


def test_inspector_error_propagates(core, model):
    error = dotnet.InvalidOperationException("cannot reflect")
    knobs.raise_on = {"BrivaneClassInspector.ExportObjectToJson": error}
    with pytest.raises(dotnet.InvalidOperationException) as raised:
        core.inspectClass(model, False)
    assert raised.value is error


@pytest.mark.parametrize(
    "class_name, expected",
    [
        ("Model", ("Brivane.Pelorix.Core", "Brivane.Pelorix.Core")),
        ("CustomCommand", ("Brivane.Pelorix.Core", "Brivane.Pelorix.Core")),
        ("BrivaneApplication", ("Brivane.SDK", "Brivane.SDK")),
        ("ProjectViewModel", ("Brivane.Pelorix.Project", "Brivane.Pelorix.Project")),
        ("QuelbarSolver", ("Brivane.Quelbar.Core", "Brivane.Quelbar.Core")),
        ("Version", ("Brivane.Helper", "Brivane.Helper")),
    ],
)
def test_known_class_gives_namespace_then_assembly(core, ready, class_name, expected):
    found = core.findNameSpaceAndAssembly(class_name)
    assert type(found) is tuple and found == expected
    assert [c.name for c in journal.entries() if c.target == "Tuple"] == ["Tuple.get_Item1", "Tuple.get_Item2"]


@pytest.mark.parametrize("class_name", ["NoSuchClass", "model", "", "Brivane.Pelorix.Core.Model"])
def test_unknown_class_gives_a_pair_of_none(core, ready, class_name):
    found = core.findNameSpaceAndAssembly(class_name)
    assert type(found) is tuple and found == (None, None)
    namespace, assembly = found
    assert namespace is None and assembly is None


def test_inspector_gets_the_library_folder_then_the_name(core, ready):
    core.findNameSpaceAndAssembly("Layer")
    (call,) = journal.calls("BrivaneClassInspector", "FindNamespaceAndAssemblyFromClassName")
    assert call.args == (ready.extensions, "Layer") and call.kwargs == {}


def test_library_folder_is_read_at_each_call(core, ready, tmp_path):
    empty = tmp_path / "empty"
    empty.mkdir()
    core._dllPath_ = str(empty)
    assert core.findNameSpaceAndAssembly("Model") == (None, None)
    core._dllPath_ = str(tmp_path / "missing")
    with pytest.raises(dotnet.DirectoryNotFoundException):
        core.findNameSpaceAndAssembly("Model")
    args = [c.args for c in journal.calls("BrivaneClassInspector", "FindNamespaceAndAssemblyFromClassName")]
    assert args == [(str(empty), "Model"), (str(tmp_path / "missing"), "Model")]


def test_find_loads_only_the_sdk(core, ready, monkeypatch, imports):
    asked = record_loads(monkeypatch, core)
    core.findNameSpaceAndAssembly("Model")
    assert asked == [SDK]
    assert imports == [("Brivane.SDK", ("BrivaneClassInspector",))]


class NoneLike:
    """An answer that compares equal to None."""

    Item1 = Item2 = "unread"

    def __eq__(self, other):
        return other is None

    __hash__ = object.__hash__


class Pair:
    def __init__(self, first, second):
        self.Item1, self.Item2 = first, second


@pytest.mark.parametrize(
    "answer, expected",
    [
        (NoneLike(), (None, None)),
        (Pair("Some.Namespace", "Some.Assembly"), ("Some.Namespace", "Some.Assembly")),
        (Pair(None, 7), (None, 7)),
    ],
)
def test_answer_is_compared_with_none_by_equality(core, ready, monkeypatch, answer, expected):
    inspector_class = getattr(
        builtins.__import__("Brivane.SDK", {}, None, ("BrivaneClassInspector",), 0), "BrivaneClassInspector"
    )
    monkeypatch.setattr(
        inspector_class, "FindNamespaceAndAssemblyFromClassName", staticmethod(lambda directory, name: answer)
    )
    assert core.findNameSpaceAndAssembly("X") == expected


def test_find_error_propagates(core, ready):
    error = dotnet.IOException("busy")
    knobs.raise_on = {"BrivaneClassInspector.FindNamespaceAndAssemblyFromClassName": error}
    with pytest.raises(dotnet.IOException) as raised:
        core.findNameSpaceAndAssembly("Model")
    assert raised.value is error


@pytest.mark.parametrize(
    "call",
    [
        lambda core: core.inspectClass(None, True),
        lambda core: core.findNameSpaceAndAssembly("Model"),
        lambda core: core.findNameSpaceAndAssembly(None),
    ],
)
def test_guard_comes_first(core, installation, monkeypatch, call):
    asked = record_loads(monkeypatch, core)
    with pytest.raises(EnvironmentError) as raised:
        call(core)
    assert str(raised.value) == GUARD_MESSAGE
    assert asked == [] and journal.entries() == []
