"""The CLR bridge, COM and System stand-ins, the journal and the installation."""

import builtins
import json
import os
import shutil
import threading

import clr
import pytest
import pythoncom
from brivane_standin import assembly_files, dotnet, journal
from brivane_standin import knobs as knobs_module
from brivane_standin.installation import create_installation

knobs = knobs_module.knobs


def from_import(namespace, name):
    module = builtins.__import__(namespace, globals(), None, (name,), 0)
    return getattr(module, name)


def test_namespaces_importable_only_after_reference(reference):
    with pytest.raises(ModuleNotFoundError):
        from_import("Brivane.SDK", "BrivaneApplication")
    with pytest.raises(ModuleNotFoundError):
        from_import("System.Globalization", "CultureInfo")
    clr.AddReference("mscorlib")
    assert from_import("System.Globalization", "CultureInfo") is dotnet.CultureInfo
    with pytest.raises(ModuleNotFoundError):
        import Brivane  # noqa: F401
    reference("Brivane.SDK")
    import Brivane.SDK

    assert Brivane.SDK.BrivaneApplication is from_import("Brivane.SDK", "BrivaneApplication")
    with pytest.raises(ModuleNotFoundError):
        import Brivane.Pelorix.Core  # noqa: F401
    reference("Brivane.Pelorix.Core")
    assert from_import("Brivane.Pelorix.Core", "Model").__name__ == "Model"


def test_reset_forgets_references(reference):
    reference("Brivane.SDK")
    from_import("Brivane.SDK", "BrivaneModule")
    clr._reset()
    with pytest.raises(ModuleNotFoundError):
        from_import("Brivane.SDK", "BrivaneModule")


def test_project_assembly_brings_system_windows(reference):
    with pytest.raises(ModuleNotFoundError):
        from_import("System.Windows", "Point")
    reference("Brivane.Pelorix.Project")
    point = from_import("System.Windows", "Point")(810.5, -50)
    assert (point.X, point.Y) == (810.5, -50)
    assert journal.names() == ["clr.AddReference", "Point..ctor"]


def test_bad_assembly_files(installation, tmp_path):
    with pytest.raises(dotnet.FileNotFoundException) as missing:
        clr.AddReference(str(tmp_path / "Nothing.dll"))
    assert isinstance(missing.value, dotnet.IOException)
    with pytest.raises(dotnet.BadImageFormatException):
        clr.AddReference(installation.native_library)
    renamed = tmp_path / "Brivane.Other.dll"
    shutil.copy(os.path.join(installation.extensions, "Brivane.SDK.dll"), renamed)
    with pytest.raises(dotnet.FileLoadException):
        clr.AddReference(str(renamed))
    assert clr.references() == []
    assert [c.args for c in journal.calls("clr", "AddReference")] == [
        (str(tmp_path / "Nothing.dll"),),
        (installation.native_library,),
        (str(renamed),),
    ]


def test_second_reference_is_harmless_and_location_kept(installation):
    first = clr.AddReference(os.path.join(installation.extensions, "Brivane.SDK.dll"))
    again = clr.AddReference(os.path.join(installation.extensions, "Brivane.SDK.dll"))
    assert first is again and first.FullName.startswith("Brivane.SDK,")
    assert (
        first.Location
        == assembly_files.location("Brivane.SDK")
        == os.path.join(installation.extensions, "Brivane.SDK.dll")
    )


def test_raise_on_records_then_raises():
    knobs.raise_on["clr.AddReference"] = dotnet.IOException("boom")
    with pytest.raises(dotnet.IOException, match="boom"):
        clr.AddReference("mscorlib")
    assert journal.names() == ["clr.AddReference"]
    assert clr.references() == []


def test_thread_cultures_kept_per_thread():
    clr.AddReference("mscorlib")
    Thread = from_import("System.Threading", "Thread")
    CultureInfo = from_import("System.Globalization", "CultureInfo")
    seen = {}

    def worker():
        seen["ident"] = threading.get_ident()
        Thread.CurrentThread.CurrentCulture = CultureInfo("en-US")

    t = threading.Thread(target=worker, name="solver")
    t.start()
    t.join()
    assert dotnet.culture_of(seen["ident"]) == ("en-US", "fr-FR")
    assert Thread.CurrentThread.CurrentCulture.Name == "fr-FR"
    assert dotnet.culture_of(threading.get_ident()) == ("fr-FR", "fr-FR")
    entry = journal.calls("Thread", "set_CurrentCulture")[0]
    assert entry.thread == seen["ident"] and entry.thread_name == "solver"
    assert entry.args == (CultureInfo("en-US"),)
    with pytest.raises(dotnet.ArgumentNullException):
        Thread.CurrentThread.CurrentUICulture = None


def test_default_culture_knob():
    knobs.default_culture = "de-DE"
    clr.AddReference("mscorlib")
    assert str(from_import("System.Threading", "Thread").CurrentThread.CurrentUICulture) == "de-DE"


def test_com_apartments_balance():
    pythoncom.CoInitialize()
    pythoncom.CoInitialize()
    me = threading.get_ident()
    assert pythoncom.open_apartments() == {me: 2}
    pythoncom.CoUninitialize()
    pythoncom.CoUninitialize()
    assert pythoncom.open_apartments() == {}
    with pytest.raises(pythoncom.com_error):
        pythoncom.CoUninitialize()
    assert journal.names()[-1] == "pythoncom.CoUninitialize"


def test_class_inspector(loaded):
    from Brivane.Pelorix.Core import Model
    from Brivane.SDK import BrivaneClassInspector

    compact = BrivaneClassInspector.ExportObjectToJson(Model, False)
    indented = BrivaneClassInspector.ExportObjectToJson(Model(), True)
    assert "\n" not in compact and '\n  "Type"' in indented
    assert json.loads(compact) == json.loads(indented)
    description = json.loads(compact)
    assert (description["Type"], description["Namespace"]) == ("Model", "Brivane.Pelorix.Core")
    assert {"Name": "Layers", "CanWrite": False} in description["Properties"]
    assert "SaveToFile" in [m["Name"] for m in description["Methods"]]
    found = BrivaneClassInspector.FindNamespaceAndAssemblyFromClassName(loaded.extensions, "StudyModel")
    assert (found.Item1, found.Item2) == ("Brivane.Pelorix.Project", "Brivane.Pelorix.Project")
    assert BrivaneClassInspector.FindNamespaceAndAssemblyFromClassName(loaded.extensions, "Nope") is None
    assert journal.names()[-3:] == [
        "Tuple.get_Item1",
        "Tuple.get_Item2",
        "BrivaneClassInspector.FindNamespaceAndAssemblyFromClassName",
    ]


def test_installation_files(tmp_path):
    inst = create_installation(
        str(tmp_path / "a"),
        extensions=False,
        settings_overrides={("QUELBAR", "ROTATION UNITS"): "Milliradians", ("PELORIX", "NEW ONE"): 5},
    )
    assert not os.path.exists(inst.extensions)
    raw = open(inst.settings_path, "rb").read()
    assert not raw.startswith(b"\xef\xbb\xbf")
    families = {f["Name"]: f for f in json.loads(raw)["Families"]}
    values = {
        (fam, s["Name"]): s["Value"] for fam, f in families.items() for sub in f["SubFamilies"] for s in sub["Settings"]
    }
    assert values[("REVAV", "WINDOWS SOLVER PATH")] == inst.revav_solver
    assert values[("QUELBAR", "ROTATION UNITS")] == "Milliradians"
    assert values[("QUELBAR", "GENERATE DLCS INLINE")] == "0"
    assert values[("PELORIX", "NEW ONE")] == 5
    sources = json.load(open(inst.data_sources_path, encoding="utf-8"))
    assert sources["CurrentProjectsDirectory"] == inst.projects_dir
    assert os.path.isdir(inst.data_dir) and os.path.isfile(inst.quelbar_solver)
