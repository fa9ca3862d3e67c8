"""Creates a stand-in Pelorix installation on disk.

    python -m brivane_standin.installation DIR

DIR/Extensions/   one assembly file per product assembly, Brivane.Quelbar.lib
DIR/Solvers/      revav_solver.exe, quelbar_solver.exe
DIR/Settings/     Pelorix.settings, DataSources.settings (UTF-8, no BOM)
DIR/Data/, DIR/Projects/
"""

import collections
import json
import os
import shutil
import subprocess
import sys

# Real paths: a copy of this package reached through a link still builds in the repository.
HERE = os.path.dirname(os.path.realpath(__file__))
NATIVE_SOURCE = os.path.join(HERE, "native")
REPO = os.path.dirname(os.path.dirname(HERE))
NATIVE_BUILD = os.path.join(REPO, "build", "standin-native")

ASSEMBLIES = {
    "Brivane.SDK": {"Brivane.SDK": ["BrivaneApplication", "BrivaneModule", "BrivaneClassInspector"]},
    "Brivane.Helper": {"Brivane.Helper": ["Version"]},
    "Brivane.Pelorix.Core": {
        "Brivane.Pelorix.Core": [
            "Model",
            "Layer",
            "PipingCode",
            "StructureCode",
            "CommandController",
            "CustomCommand",
            "QBLibrary",
            "Solution",
        ]
    },
    "Brivane.Pelorix.Project": {"Brivane.Pelorix.Project": ["ProjectViewModel", "StudyModel"]},
    "Brivane.Quelbar.Core": {"Brivane.Quelbar.Core": ["QuelbarSolver"]},
    "Brivane.Revav.Core": {"Brivane.Revav.Core": ["RevavSolver"]},
}
REFERENCES = {"Brivane.Pelorix.Project": ["WindowsBase"]}

Installation = collections.namedtuple(
    "Installation",
    [
        "root",
        "extensions",
        "settings_path",
        "data_sources_path",
        "data_dir",
        "projects_dir",
        "revav_solver",
        "quelbar_solver",
        "native_library",
    ],
)


def write_assembly(path, name):
    """Write the stand-in assembly ``name`` (e.g. "Brivane.SDK") to ``path``."""
    image = {"standin-assembly": name, "references": REFERENCES.get(name, []), "namespaces": ASSEMBLIES[name]}
    with open(path, "w", encoding="utf-8") as f:
        json.dump(image, f, indent=1)


if os.name == "nt":
    import msvcrt

    def _lock(f):
        msvcrt.locking(f.fileno(), msvcrt.LK_LOCK, 1)

    # CMake names a shared library without the "lib" prefix there.
    NATIVE_LIBRARY_NAME = "quelbar_library.dll"
else:
    import fcntl

    def _lock(f):
        fcntl.flock(f, fcntl.LOCK_EX)

    NATIVE_LIBRARY_NAME = "libquelbar_library.so"

_SANITIZER_ENVIRONMENT = ("LD_PRELOAD", "ASAN_OPTIONS", "LSAN_OPTIONS", "UBSAN_OPTIONS", "PYTHONMALLOC")


def build_native_library():
    """Build the native library with CMake once; rebuild when a source file
    is newer than the library.  Returns the library path."""
    library = os.path.join(NATIVE_BUILD, NATIVE_LIBRARY_NAME)
    sources = [os.path.join(NATIVE_SOURCE, n) for n in os.listdir(NATIVE_SOURCE)]

    def up_to_date():
        newest = max(os.path.getmtime(s) for s in sources)
        return os.path.exists(library) and os.path.getmtime(library) >= newest

    # A confined run sees the build folder read-only: it uses the library built before it started.
    if up_to_date():
        return library
    os.makedirs(NATIVE_BUILD, exist_ok=True)
    with open(os.path.join(NATIVE_BUILD, ".lock"), "w") as lock:
        _lock(lock)
        if not up_to_date():
            # The compiler must not inherit a sanitizer runtime preloaded for the tests.
            environment = {name: value for name, value in os.environ.items() if name not in _SANITIZER_ENVIRONMENT}
            for command in (
                ["cmake", "-S", NATIVE_SOURCE, "-B", NATIVE_BUILD, "-DCMAKE_BUILD_TYPE=Release"],
                # --config: the Visual Studio generators build each configuration on demand.
                ["cmake", "--build", NATIVE_BUILD, "--config", "Release"],
            ):
                subprocess.run(command, check=True, stdout=subprocess.DEVNULL, env=environment)
    return library


def settings_document(revav_solver, quelbar_solver, overrides=None):
    """The Pelorix.settings document.  ``overrides`` maps (family, setting)
    to a value: an existing setting gets the value, an unknown one is added
    to the family's "GENERAL" sub-family (the family is made if needed)."""

    def family(name, *subs):
        return {
            "Name": name,
            "SubFamilies": [
                {"Name": sub, "Settings": [{"Name": k, "Value": v} for k, v in values.items()]} for sub, values in subs
            ],
        }

    document = {
        "Version": 3,
        "Families": [
            family("GRAPHICS", ("VIEW", {"BACKGROUND": "Black"})),
            family("REVAV", ("PATH", {"WINDOWS SOLVER PATH": revav_solver})),
            family(
                "QUELBAR",
                ("PATH", {"SOLVER PATH": quelbar_solver}),
                (
                    "OUTPUT",
                    {
                        "MAX FIELD LENGTH": "80",
                        "ROTATION UNITS": "Degrees",
                        "GENERATE RESTRAINTS INLINE": "1",
                        "GENERATE DLCS INLINE": "0",
                        "GENERATE INDI INLINE": "1",
                    },
                ),
            ),
            family("PELORIX", ("DISPLAY", {"USE IMPERIAL NOTATION": "0"})),
        ],
    }
    for (fam_name, name), value in (overrides or {}).items():
        fam = next((f for f in document["Families"] if f["Name"] == fam_name), None)
        if fam is None:
            fam = family(fam_name)
            document["Families"].append(fam)
        settings = [s for sub in fam["SubFamilies"] for s in sub["Settings"] if s["Name"] == name]
        for setting in settings:
            setting["Value"] = value
        if not settings:
            general = next((s for s in fam["SubFamilies"] if s["Name"] == "GENERAL"), None)
            if general is None:
                general = {"Name": "GENERAL", "Settings": []}
                fam["SubFamilies"].append(general)
            general["Settings"].append({"Name": name, "Value": value})
    return document


def create_installation(directory, *, extensions=True, settings_overrides=None):
    """Create (or refresh) a stand-in installation in ``directory``.

    ``extensions=False`` leaves out the Extensions folder (no assemblies, no
    native library).  ``settings_overrides``: see :func:`settings_document`.
    """
    root = os.path.abspath(directory)
    ext = os.path.join(root, "Extensions")
    solvers = os.path.join(root, "Solvers")
    settings = os.path.join(root, "Settings")
    paths = Installation(
        root,
        ext,
        os.path.join(settings, "Pelorix.settings"),
        os.path.join(settings, "DataSources.settings"),
        os.path.join(root, "Data"),
        os.path.join(root, "Projects"),
        os.path.join(solvers, "revav_solver.exe"),
        os.path.join(solvers, "quelbar_solver.exe"),
        os.path.join(ext, "Brivane.Quelbar.lib"),
    )
    for folder in (solvers, settings, paths.data_dir, paths.projects_dir):
        os.makedirs(folder, exist_ok=True)
    for solver in (paths.revav_solver, paths.quelbar_solver):
        with open(solver, "w") as f:
            f.write("stand-in solver\n")
    if extensions:
        os.makedirs(ext, exist_ok=True)
        for name in ASSEMBLIES:
            write_assembly(os.path.join(ext, name + ".dll"), name)
        shutil.copyfile(build_native_library(), paths.native_library)
    document = settings_document(paths.revav_solver, paths.quelbar_solver, settings_overrides)
    _write_json(paths.settings_path, document)
    _write_json(
        paths.data_sources_path,
        {"CurrentDatasDirectory": paths.data_dir, "CurrentProjectsDirectory": paths.projects_dir, "RecentProjects": []},
    )
    return paths


def _write_json(path, document):
    with open(path, "w", encoding="utf-8") as f:
        json.dump(document, f, indent=2)


def main(argv=None):
    argv = sys.argv[1:] if argv is None else argv
    if len(argv) != 1:
        print("usage: python -m brivane_standin.installation DIR", file=sys.stderr)
        return 2
    paths = create_installation(argv[0])
    for field, value in paths._asdict().items():
        print(f"{field}: {value}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
