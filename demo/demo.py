"""The demo: brivane_computer driven end to end against a stand-in installation.

Run it with ./scripts/demo.sh, which puts the project's stand-in for the CLR
bridge, COM and the product (standin/) and the test kit (testkit/) on
PYTHONPATH and runs it confined: the demo deletes folders, and refuses to run
unconfined. Everything is made in a temporary folder that is removed at the
end.
"""

import json
import os
import sys
import tempfile

from brivane_testkit import confinement

confinement.require("the demo")

from brivane_standin.installation import create_installation  # noqa: E402 - only once the confinement is sure
from brivane_standin.product import read_project  # noqa: E402 - only once the confinement is sure

import brivane_computer as bc  # noqa: E402 - only once the confinement is sure
from brivane_computer import brivane_core as core  # noqa: E402 - only once the confinement is sure


def section(title):
    print(f"\n== {title} ==")


def folder_snapshot(folder):
    snapshot = {}
    for base, _, files in os.walk(folder):
        for name in files:
            path = os.path.join(base, name)
            with open(path, "rb") as content:
                snapshot[os.path.relpath(path, folder)] = content.read()
    return snapshot


def show_module():
    section("The module")
    print("BrivaneModule:", ", ".join(f"{m.name}={m.value}" for m in bc.BrivaneModule))
    for name in ("_validSetup_", "_validPelorix_", "_validKarvona_", "_settingsPath_", "_dataSourcesPath_", "_dlls_"):
        print(f"  {name} = {getattr(core, name)!r}")


def read_settings_files(installation):
    section("The installation's settings files, read with the two lookups")
    with open(installation.settings_path, encoding="utf-8") as settings:
        revav, quelbar = bc.FindSolverPaths(json.load(settings))
    with open(installation.data_sources_path, encoding="utf-8") as data_sources:
        data, projects = bc.FindDataProjectPaths(json.load(data_sources))
    print("  Revav solver:  ", revav)
    print("  Quelbar solver:", quelbar)
    print("  data folder:   ", data)
    print("  projects folder:", projects)


def set_up(installation):
    section("Set-up")
    core._settingsPath_ = installation.settings_path
    core._dataSourcesPath_ = installation.data_sources_path
    valid = bc.setup_brivane_computer(installation.root, bc.BrivaneModule.Pelorix)
    print("  result:", valid)
    print("  loaded assemblies:", core._dlls_)
    print("  Revav / Quelbar:", core._Revav_, "/", core._Quelbar_)
    print("  data / projects:", core._dataPath_, "/", core._projectPath_)
    print("  flags: setup", core._validSetup_, "piping", core._validPelorix_, "structure", core._validKarvona_)
    if not valid:
        sys.exit("set-up failed")


def model_documents(work):
    section("A piping model: commands, save, load")
    study = os.path.join(work, "Study1")
    os.makedirs(study)
    model = bc.createPipingVokel()
    for name in ("ADD_LAYER", "ADD_PIPE"):
        bc.executeCommand(bc.createCommand(name, model))
        print(f"  ran {name}")
    model_file = os.path.join(study, "Study1.vokel")
    bc.saveVokel(model, model_file)
    print("  saved:", sorted(os.listdir(study)))
    loaded = bc.loadVokel(model_file)
    print("  loaded back:", type(loaded).__name__, "with", len(list(loaded.Layers)), "layers")
    print("  getVokel finds:", bc.getVokel(study))
    print("  inspector on the model:", bc.inspectClass(loaded, False)[:110] + "...")
    print("  Model lives in (namespace, assembly):", bc.findNameSpaceAndAssembly("Model"))
    return model_file


def solving(model_file):
    section("Solving, in place and in a sandbox")
    study = os.path.dirname(model_file)
    for solver in ("Quelbar", "Revav"):
        for sandbox in (False, True):
            before = folder_snapshot(study)
            solution = bc.solve(model_file, solver, sandbox)
            summary = solution.Summary if solution is not None else "no solution"
            where = "sandbox" if sandbox else "in place"
            print(f"  {solver:7} {where:8}: {summary}")
            if sandbox:
                sandbox_folder = core._tempDirectory_
                unchanged = folder_snapshot(study) == before
                bc.disposeSolution()
                print(
                    f"           model folder unchanged: {unchanged};"
                    f" sandbox gone after disposeSolution: {not os.path.exists(sandbox_folder)}"
                )
    bc.disposeSolution()


def projects(work):
    section("A project and its studies")
    projects_folder = bc.addProjectFolder(work, "Projects")
    project = bc.addPipingProject(projects_folder, "Plant1", "Piping study", 1920, 1080)
    project_file = os.path.join(project, "Plant1.project")
    print("  created:", project, "->", read_project(project_file))
    bc.addStructureStudy(project, "Structure study", 1920, 1080)
    print("  added a structure study ->", read_project(project_file))
    bc.duplicateStudy(project, "Piping study", "Piping study B")
    print("  duplicated the piping study ->", read_project(project_file))
    bc.removeStudy(project, "Structure study")
    print("  removed the structure study ->", read_project(project_file))
    bc.removeProject(project)
    print("  removed the project; still there:", os.path.exists(project))


def main():
    with tempfile.TemporaryDirectory(prefix="brivane-demo-") as work:
        show_module()
        installation = create_installation(os.path.join(work, "Pelorix 2031.1"))
        read_settings_files(installation)
        set_up(installation)
        model_file = model_documents(work)
        solving(model_file)
        projects(work)
        os.chdir(os.path.dirname(work))
    print(
        "\nDemo complete: set-up, models, both solvers in place and in a sandbox, a project and its studies, all"
        " against a stand-in installation in a temporary folder, now removed."
    )


if __name__ == "__main__":
    main()
