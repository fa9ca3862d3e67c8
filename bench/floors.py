"""The floors: for each measured call, the least that plain Python must do.

Each floor is a Python function that makes the same host calls as the module
function it stands for and nothing else: it reads the module's globals and
host modules through the module namespace (its globals *are* that namespace,
as if it had been written in the module's own source), calls the same os,
os.path, shutil, tempfile and uuid functions and raises the same exceptions.
The module has done well when it costs less than its floor.

The functions are compiled here and then bound to ``vars(brivane_core)``;
nothing is added to the module namespace.
"""

import types

GUARD_MESSAGE = (
    "Invalid setup! Please call 'from brivane_computer import setup_brivane_computer' "
    "and set up with Pelorix installation directory."
)

SOURCE = """
def getVokel(directory):
    if not _validSetup_:
        raise EnvironmentError(GUARD_MESSAGE)
    return find_first_file(directory, ".vokel")


def load_dll(dllname):
    if not _validSetup_:
        raise EnvironmentError(GUARD_MESSAGE)
    if dllname in _dlls_:
        return None
    path = os.path.join(_dllPath_, dllname)
    if not os.path.exists(path):
        path = os.path.join(_exePath_, dllname)
        if not os.path.exists(path):
            raise FileNotFoundError("DLL '" + format(dllname, "") + "' not found.")
    clr.AddReference(path)
    _dlls_.append(dllname)
    print(str(dllname) + " loaded")


def disposeSolution():
    global _Solution_
    if _Solution_ != None:
        _Solution_.Dispose()
        _Solution_ = None
    try:
        if _tempDirectory_ and os.path.isdir(_tempDirectory_):
            shutil.rmtree(_tempDirectory_)
    except Exception as e:
        print("Impossible to delete temp directory :", e)
    # The module deletes the folder only when its private record holds it; the benchmark times the case
    # with nothing recorded, where these are the steps.


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
    for name in os.listdir(directory):
        if name.lower().endswith(ext):
            path = os.path.join(directory, name)
            if os.path.isfile(path):
                return path
    return ""


def sandbox_copy(filename, frefilename, thffile):
    # What a sandboxed solve must do whatever the solver: make the folder, copy three files.
    directory = os.path.join(tempfile.gettempdir(), str(uuid.uuid4()))
    os.makedirs(directory)
    shutil.copy(filename, os.path.join(directory, os.path.basename(filename)))
    shutil.copy(frefilename, os.path.join(directory, os.path.basename(frefilename)))
    shutil.copy(thffile, os.path.join(directory, os.path.basename(thffile)))
    return directory


def copytree_alone(directory, tempDirectory):
    shutil.copytree(directory, tempDirectory, dirs_exist_ok=True)
    return tempDirectory
"""


def bind(core):
    """The floor functions, by name, with the module namespace as their globals."""
    scratch = {}
    exec(compile(SOURCE.replace("GUARD_MESSAGE", repr(GUARD_MESSAGE)), "<bench floors>", "exec"), scratch)
    namespace = vars(core)
    return {
        name: types.FunctionType(value.__code__, namespace, name)
        for name, value in scratch.items()
        if isinstance(value, types.FunctionType)
    }
