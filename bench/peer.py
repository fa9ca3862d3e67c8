"""The compiled-Python peer: the measured functions as a Python author would write them, compiled by Cython.

bench/peer_build.py compiles this file into the extension module ``bench_peer``
for the stable ABI of 3.10, as the module itself is built. Each function takes
the same steps as the module function it stands for and gives its result: the
same return value, or the same exception with the same message (the argument
errors are Cython's own). The globals are read from the module namespace at
every call, as the module reads them; ``bind`` hands the peer that namespace.
"""

import cython

# The module namespace (vars(brivane_core)), a C variable of the compiled module.
core = cython.declare(dict)

GUARD_MESSAGE = (
    "Invalid setup! Please call 'from brivane_computer import setup_brivane_computer' "
    "and set up with Pelorix installation directory."
)

# The peer's own record of what disposeSolution may delete: the sandboxes that solve made,
# the folders whose deletion failed, and the solver run that its caller stopped waiting for.
_made_folders = []
_pending_folders = []
_abandoned_run = None


def bind(namespace):
    global core
    core = namespace


def getVokel(directory):
    if not core["_validSetup_"]:
        raise EnvironmentError(GUARD_MESSAGE)
    return core["find_first_file"](directory, ".vokel")


def load_dll(dllname):
    if not core["_validSetup_"]:
        raise EnvironmentError(GUARD_MESSAGE)
    if dllname in core["_dlls_"]:
        return None
    path = core["os"].path.join(core["_dllPath_"], dllname)
    if not core["os"].path.exists(path):
        path = core["os"].path.join(core["_exePath_"], dllname)
        if not core["os"].path.exists(path):
            raise FileNotFoundError("DLL '" + format(dllname, "") + "' not found.")
    core["clr"].AddReference(path)
    core["_dlls_"].append(dllname)
    print(str(dllname) + " loaded")


def _delete_own_folder(folder):
    if folder not in _pending_folders:
        _pending_folders.append(folder)
    if _abandoned_run is not None and _abandoned_run[1] == folder:
        return
    try:
        if core["os"].path.isdir(folder):
            core["shutil"].rmtree(folder)
        _pending_folders.remove(folder)
    except Exception as e:
        print("Impossible to delete temp directory :", e)


def disposeSolution():
    global _abandoned_run
    if core["_Solution_"] != None:  # noqa: E711 - as the module compares, through the object's __ne__
        core["_Solution_"].Dispose()
        core["_Solution_"] = None
    # A run that has ended no longer holds its folder.
    if _abandoned_run is not None and _abandoned_run[0] not in core["threading"].enumerate():
        _abandoned_run = None
    named = core["_tempDirectory_"]
    earlier = tuple(_pending_folders)
    sandbox = None
    for folder in _made_folders:
        if folder == named:
            sandbox = folder
            break
    _made_folders.clear()
    if sandbox is not None:
        _delete_own_folder(sandbox)
    for folder in earlier:
        _delete_own_folder(folder)


def FindSolverPaths(settings):
    revav = None
    for family in settings["Families"]:
        if family["Name"] == "REVAV":
            for sub_family in family["SubFamilies"]:
                if sub_family["Name"] == "PATH":
                    for setting in sub_family["Settings"]:
                        if setting["Name"] == "WINDOWS SOLVER PATH":
                            revav = setting["Value"]
    quelbar = None
    for family in settings["Families"]:
        if family["Name"] == "QUELBAR":
            for sub_family in family["SubFamilies"]:
                if sub_family["Name"] == "PATH":
                    for setting in sub_family["Settings"]:
                        if setting["Name"] == "SOLVER PATH":
                            quelbar = setting["Value"]
    if revav == "":
        revav = None
    if quelbar == "":
        quelbar = None
    return revav, quelbar


def find_first_file(directory, ext):
    for name in core["os"].listdir(directory):
        if name.lower().endswith(ext):
            path = core["os"].path.join(directory, name)
            if core["os"].path.isfile(path):
                return path
    return ""
