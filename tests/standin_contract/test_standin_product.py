"""Behaviour of the stand-in product classes."""

import json
import os
import threading

import pytest
from brivane_standin import dotnet, journal, product
from brivane_standin.knobs import knobs


@pytest.fixture
def ns(loaded):
    """The product classes, imported through the bridge."""
    from Brivane.Pelorix.Core import (
        CommandController,
        CustomCommand,
        Layer,
        Model,
        PipingCode,
        QBLibrary,
        Solution,
        StructureCode,
    )
    from Brivane.Pelorix.Project import ProjectViewModel
    from Brivane.Quelbar.Core import QuelbarSolver
    from Brivane.Revav.Core import RevavSolver
    from Brivane.SDK import BrivaneApplication, BrivaneModule
    from System.Windows import Point

    return dict(locals())


def fre_args(frefile, **changes):
    values = dict(
        frefile=frefile,
        a2=None,
        maxLength=80,
        rotation=1,
        a5=False,
        imperial=False,
        inlineRestraints=True,
        inlineDLCS=False,
        inlineINDI=True,
        a10=False,
        a11=None,
        a12=None,
    )
    values.update(changes)
    return tuple(values.values())


def piping_model(ns, path, pipes=2):
    model = ns["Model"](ns["BrivaneModule"].Pelorix)
    model.Layers.Add(ns["Layer"]("0"))
    controller = ns["CommandController"]()
    controller.SetApplication(ns["BrivaneApplication"]())
    controller.model = model
    for _ in range(pipes):
        controller.AddCommand(ns["CustomCommand"](model, "ADD_PIPE"))
    model.SaveToFile(path)
    return model


def test_settings_controller(ns, loaded):
    settings = ns["BrivaneApplication"]().GetSettingsController()
    assert settings.GetSettingValue("QUELBAR", "SOLVER PATH") == loaded.quelbar_solver
    assert settings.GetSettingValue("PELORIX", "USE IMPERIAL NOTATION") == "0"
    with pytest.raises(dotnet.ArgumentException):
        settings.GetSettingValue("REVAV", "SOLVER PATH")
    document = json.load(open(loaded.settings_path, encoding="utf-8"))
    document["Families"][2]["SubFamilies"][1]["Settings"][0]["Value"] = "132"
    json.dump(document, open(loaded.settings_path, "w", encoding="utf-8"))
    assert settings.GetSettingValue("QUELBAR", "MAX FIELD LENGTH") == "132"
    knobs.settings_controller_missing = True
    assert ns["BrivaneApplication"]().GetSettingsController() is None


def test_model_kinds_and_round_trip(ns, tmp_path):
    BrivaneModule, Model = ns["BrivaneModule"], ns["Model"]
    assert isinstance(Model().CalculationCode, ns["PipingCode"])
    structure = Model(BrivaneModule.Karvona)
    assert isinstance(structure.CalculationCode, ns["StructureCode"])
    structure.Layers.Add(ns["Layer"]("0"))
    structure.Layers.Add(ns["Layer"]("steel"))
    path = str(tmp_path / "frame.vokel")
    structure.SaveToFile(path)
    again = Model()
    again.LoadFromFile(path)
    assert isinstance(again.CalculationCode, ns["StructureCode"])
    assert [layer.Name for layer in again.Layers] == ["0", "steel"]
    assert again.Layers.Count == 2 and again.FilePath == path
    for bad in (BrivaneModule.All, 0, None):
        with pytest.raises(dotnet.ArgumentException):
            Model(bad)


def test_load_failures_leave_model_unchanged(ns, tmp_path):
    model = piping_model(ns, str(tmp_path / "a.vokel"))
    (tmp_path / "junk.vokel").write_text("{}")
    with pytest.raises(dotnet.FileNotFoundException):
        model.LoadFromFile(str(tmp_path / "none.vokel"))
    with pytest.raises(dotnet.InvalidDataException):
        model.LoadFromFile(str(tmp_path / "junk.vokel"))
    with pytest.raises(dotnet.UnauthorizedAccessException):
        model.LoadFromFile(str(tmp_path))
    assert model.Elements == ("PIPE-1", "PIPE-2")


def test_interrupted_save_keeps_old_file(ns, tmp_path):
    (tmp_path / "m").mkdir()
    path = str(tmp_path / "m" / "a.vokel")
    model = piping_model(ns, path, pipes=1)
    before = open(path).read()
    model.Layers.Add(ns["Layer"]("extra"))
    knobs.fail_writes_after = 10
    with pytest.raises(dotnet.IOException):
        model.SaveToFile(path)
    assert open(path).read() == before
    assert os.listdir(tmp_path / "m") == ["a.vokel"]
    with pytest.raises(dotnet.DirectoryNotFoundException):
        model.SaveToFile(str(tmp_path / "missing" / "a.vokel"))


def test_commands(ns, tmp_path):
    path = str(tmp_path / "a.vokel")
    first = piping_model(ns, path, pipes=0)
    other = ns["Model"](ns["BrivaneModule"].Karvona)
    controller = ns["CommandController"]()
    controller.SetApplication(ns["BrivaneApplication"]())
    with pytest.raises(dotnet.ArgumentException):
        ns["CustomCommand"](first, "add_pipe")
    command = ns["CustomCommand"](other, "ADD_PIPE")
    assert command.NeedToSaveModelAfterCommand and command.NeedToReloadModelAfterCommand
    command.NeedToReloadModelAfterCommand = False
    command.NeedToSaveModelAfterCommand = False
    controller.model = first  # runs on the controller's model
    controller.AddCommand(command)
    layer = ns["CustomCommand"](other, "ADD_LAYER")
    layer.NeedToReloadModelAfterCommand = False
    layer.NeedToSaveModelAfterCommand = False
    controller.AddCommand(layer)
    assert first.Elements == ("PIPE-1",) and other.Elements == ()
    assert first.Layers.Names == ["0", "Layer 1"]
    assert json.load(open(path))["elements"] == []  # not saved
    reload_only = ns["CustomCommand"](first, "CLEAR")
    reload_only.NeedToSaveModelAfterCommand = False
    controller.AddCommand(reload_only)  # reloaded from the file: change lost
    assert first.Elements == () and first.Layers.Names == ["0"]
    controller.AddCommand(ns["CustomCommand"](first, "ADD_PIPE"))  # saves
    assert json.load(open(path))["elements"] == ["PIPE-1"]
    controller.model = other
    journal.clear()
    with pytest.raises(dotnet.InvalidOperationException):
        controller.AddCommand(ns["CustomCommand"](other, "ADD_PIPE"))
    assert journal.names() == ["CustomCommand..ctor", "CommandController.AddCommand"]
    assert journal.calls("CommandController", "AddCommand")[0].args[0].Name == "ADD_PIPE"


def test_qblibrary_and_fre_file(ns, loaded, tmp_path):
    model = piping_model(ns, str(tmp_path / "a.vokel"))
    fre = str(tmp_path / "a.fre")
    with pytest.raises(dotnet.InvalidOperationException):
        model.WriteFreFile(*fre_args(fre))
    QBLibrary = ns["QBLibrary"]
    with pytest.raises(dotnet.FileNotFoundException):
        QBLibrary.Initialize(str(tmp_path / "none.lib"))
    with pytest.raises(dotnet.BadImageFormatException):
        QBLibrary.Initialize(os.path.join(loaded.extensions, "Brivane.SDK.dll"))
    assert product.qblibrary_path() is None
    QBLibrary.Initialize(loaded.native_library)
    assert product.qblibrary_path() == loaded.native_library
    with pytest.raises(TypeError):
        model.WriteFreFile(*fre_args(fre)[:11], a12=None)
    with pytest.raises(TypeError):
        model.WriteFreFile(*fre_args(fre, maxLength="80"))
    assert not os.path.exists(fre)
    model.WriteFreFile(*fre_args(fre, rotation=2, imperial=True))
    fields = product.read_fre(fre)
    assert (fields["module"], fields["elements"]) == ("Pelorix", "2")
    assert (fields["rotation"], fields["imperial"], fields["a11"]) == ("2", "True", "None")
    with pytest.raises(dotnet.DirectoryNotFoundException):
        model.WriteFreFile(*fre_args(str(tmp_path / "no" / "a.fre")))


def test_quelbar_run_and_solution(ns, loaded, tmp_path):
    model = piping_model(ns, str(tmp_path / "a.vokel"))
    fre = str(tmp_path / "conception.fre")
    ns["QBLibrary"].Initialize(loaded.native_library)
    model.WriteFreFile(*fre_args(fre))
    QuelbarSolver = ns["QuelbarSolver"]
    with pytest.raises(dotnet.FileNotFoundException):
        QuelbarSolver(str(tmp_path / "nosolver.exe"), model, fre, "")
    missing_input = QuelbarSolver(loaded.quelbar_solver, model, str(tmp_path / "x.fre"), "")
    assert missing_input.Run() != 0 and missing_input.GetAnalysisModel() is None
    solver = QuelbarSolver(loaded.quelbar_solver, model, fre, "")
    solver.IgnoreWarnings = True
    assert solver.Run() == 0
    assert solver.GetAnalysisModel().ElementCount == 2
    results = str(tmp_path / "conception.qres")
    solution = ns["Solution"](None, solver)
    assert product.open_result_files() == [results]
    assert "Quelbar" in solution.Summary and results in solution.Summary
    solution.Dispose()
    solution.Dispose()
    assert product.open_result_files() == [] and solver.IsDisposed
    with pytest.raises(dotnet.ObjectDisposedException):
        solver.Run()
    knobs.quelbar_run_result = 3
    assert QuelbarSolver(loaded.quelbar_solver, model, fre, "").Run() == 3


def test_revav_run_on_worker_thread(ns, loaded, tmp_path):
    path = str(tmp_path / "a.vokel")
    model = piping_model(ns, path, pipes=3)
    RevavSolver = ns["RevavSolver"]
    empty = str(tmp_path / "empty.vokel")
    ns["Model"]().SaveToFile(empty)
    assert RevavSolver(loaded.revav_solver, model, empty, "", False).BuildAnalysisModel(False) < 0
    unbuilt = RevavSolver(loaded.revav_solver, model, path, "", False)
    assert unbuilt.Run() != 0
    outcome = {}

    def run():
        from System.Globalization import CultureInfo
        from System.Threading import Thread

        Thread.CurrentThread.CurrentCulture = CultureInfo("en-US")
        solver = RevavSolver(loaded.revav_solver, model, path, "", False)
        outcome["build"] = solver.BuildAnalysisModel(False)
        outcome["run"] = solver.Run()

    worker = threading.Thread(target=run)
    worker.start()
    worker.join()
    assert outcome == {"build": 0, "run": 0}
    text = open(str(tmp_path / "a.rres")).read()
    assert "culture=en-US" in text and "maxDisplacement=0.375" in text
    solver = RevavSolver(loaded.revav_solver, model, path, "", False)
    solver.BuildAnalysisModel(False)
    solver.Run()  # this thread is still fr-FR
    assert "maxDisplacement=0,375" in open(str(tmp_path / "a.rres")).read()
    knobs.revav_build_result = -7
    assert RevavSolver(loaded.revav_solver, model, path, "", False).BuildAnalysisModel(False) == -7


def test_project_life(ns, tmp_path):
    folder = tmp_path / "Plant.old"
    folder.mkdir()
    Point, BrivaneModule = ns["Point"], ns["BrivaneModule"]
    with pytest.raises(dotnet.ArgumentException):
        ns["ProjectViewModel"]("parent")
    view = ns["ProjectViewModel"](None)
    view.CreateNewProject(str(folder), Point(810.0, 340.0), "", "Study 1", BrivaneModule.Pelorix)
    path = str(folder / "Plant.old.project")
    assert product.read_project(path) == ["Study 1"]
    view = ns["ProjectViewModel"](None)
    view.LoadFromFile(path)
    view.AddEmptyStudy(Point(1.5, 2), BrivaneModule.Karvona, "Frame")
    study = view.GetStudy("Frame")
    assert (study.Name, study.Module, study.X, study.Y) == ("Frame", BrivaneModule.Karvona, 1.5, 2)
    assert view.GetStudy("frame") is None
    with pytest.raises(dotnet.ArgumentException):
        view.AddEmptyStudy(Point(0, 0), BrivaneModule.Pelorix, "Frame")
    view.SetCurrentStudy("Study 1")
    view.DuplicateCurrentStudy()
    view.SetCurrentStudy("Study 1")
    view.DuplicateCurrentStudy()
    assert view.GetCurrentStudyName() == "Study 1 - Copy (2)"
    assert view.RenameCurrentStudy("Frame") is False
    assert view.RenameCurrentStudy("Pumps") is True
    assert product.read_project(path) == ["Study 1", "Frame", "Study 1 - Copy", "Pumps"]
    assert product.read_current_study(path) == "Pumps"
    reopened = ns["ProjectViewModel"](None)
    reopened.LoadFromFile(path)
    for name in ("Study 1", "Frame", "Study 1 - Copy"):
        reopened.SetCurrentStudy(name)
        reopened.DeleteCurrentStudy()
    with pytest.raises(dotnet.InvalidOperationException):
        reopened.DeleteCurrentStudy()
    assert product.read_project(path) == ["Pumps"]
    (tmp_path / "x.project").write_text('{"studies": []}')
    with pytest.raises(dotnet.InvalidDataException):
        reopened.LoadFromFile(str(tmp_path / "x.project"))
    assert reopened.GetCurrentStudyName() == "Pumps"
    with pytest.raises(dotnet.IOException):  # the project exists already
        ns["ProjectViewModel"](None).CreateNewProject(str(folder), Point(0, 0), "", "Again", BrivaneModule.Pelorix)
