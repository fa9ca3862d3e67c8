"""What the module keeps belongs to the interpreter that made it: an embedding program that finalises the
interpreter and starts it again imports a fresh, working module each time; and what the module keeps cannot
crash it when a script reaches it through gc."""
import os
import subprocess
import sys
import sysconfig
from pathlib import Path

import pytest
from brivane_testkit.confinement import python_path

import brivane_computer

EMBEDDING = r"""
#include <Python.h>
#include <stdio.h>

int main(int argc, char** argv) {
    if (argc != 2) return 2;
    for (int cycle = 1; cycle <= 3; ++cycle) {
        Py_Initialize();
        PyObject* cycle_number = PyLong_FromLong(cycle);
        if (cycle_number == NULL || PySys_SetObject("cycle", cycle_number) < 0) return 3;
        Py_DECREF(cycle_number);
        if (PyRun_SimpleString(argv[1]) != 0) return 10 + cycle;
        if (Py_FinalizeEx() < 0) return 20 + cycle;
    }
    return 0;
}
"""

# One cycle: import, the guard, a set-up and a sandboxed solve, all from a fresh interpreter.
CYCLE = """
import os, sys
from brivane_standin.installation import create_installation
from brivane_computer import brivane_core as core
assert callable(core.load_dll) and core._validSetup_ is False, "a module left from an earlier interpreter"
try:
    core.getVokel("anywhere")
except OSError as error:
    assert str(error).startswith("Invalid setup!")
else:
    raise AssertionError("the guard did not refuse")
found = create_installation(os.path.join({work!r}, "cycle%d" % sys.cycle))
core._settingsPath_, core._dataSourcesPath_ = found.settings_path, found.data_sources_path
assert core.setup_brivane_computer(found.root, core.BrivaneModule.Pelorix) is True
model = core.createPipingVokel()
core.executeCommand(core.createCommand("ADD_PIPE", model))
path = os.path.join({work!r}, "models%d" % sys.cycle, "study1.vokel")
os.makedirs(os.path.dirname(path))
core.saveVokel(model, path)
assert core.solve(path, "Quelbar", True) is not None
core.disposeSolution()
print("cycle", sys.cycle, "solved", flush=True)
"""

# A compiler must not inherit the sanitizer runtime that a sanitizer run preloads into the tests.
SANITIZER_ENVIRONMENT = ("LD_PRELOAD", "ASAN_OPTIONS", "LSAN_OPTIONS", "UBSAN_OPTIONS")


def test_each_new_interpreter_gets_a_fresh_working_module(tmp_path):
    source = tmp_path / "embedding.c"
    source.write_text(EMBEDDING)
    program = tmp_path / "embedding"
    library_dir = sysconfig.get_config_var("LIBDIR")
    version = sysconfig.get_config_var("LDVERSION")
    compiler_environment = {k: v for k, v in os.environ.items() if k not in SANITIZER_ENVIRONMENT}
    subprocess.run(["cc", str(source), "-o", str(program), f"-I{sysconfig.get_paths()['include']}",
                    f"-L{library_dir}", f"-lpython{version}", f"-Wl,-rpath,{library_dir}"],
                   check=True, env=compiler_environment)
    (tmp_path / "work").mkdir()
    cycle = CYCLE.format(work=str(tmp_path / "work"))
    environment = dict(os.environ, PYTHONHOME=sys.base_prefix, PYTHONNOUSERSITE="1")
    # The embedded interpreter is the base one, without this environment's packages: the folder of the module
    # under test comes first, then the stand-in and the test kit.
    package = str(Path(brivane_computer.__file__).resolve().parents[1])
    environment["PYTHONPATH"] = python_path(package)
    result = subprocess.run([str(program), cycle], capture_output=True, text=True, env=environment, timeout=300)
    assert result.returncode == 0, result.stdout + result.stderr
    assert [line for line in result.stdout.splitlines() if line.startswith("cycle")] == [
        f"cycle {n} solved" for n in (1, 2, 3)]
    # Each cycle's sandbox was deleted by its own interpreter's module.
    assert not [p for p in Path(os.environ.get("TMPDIR", "/tmp")).iterdir() if len(p.name) == 36]


@pytest.mark.parametrize("returned", ["None", "(1, 2, 3)", "[1, 2]"])
def test_a_replaced_unpacking_helper_is_an_error_not_a_crash(python, tmp_path, returned):
    result = python(f"""
        import gc, os
        from brivane_standin.installation import create_installation
        from brivane_computer import brivane_core as core
        found = create_installation({str(tmp_path / "installation")!r})
        core._settingsPath_, core._dataSourcesPath_ = found.settings_path, found.data_sources_path
        assert core.setup_brivane_computer(found.root, core.BrivaneModule.Pelorix) is True
        helpers = [f for f in gc.get_objects()
                   if getattr(f, "__code__", None) is not None and f.__code__.co_filename == "<brivane_core>"]
        assert len(helpers) == 1
        helpers[0].__code__ = (lambda value: {returned}).__code__
        try:
            core.setup_brivane_computer(found.root, core.BrivaneModule.Pelorix)
        except SystemError as error:
            print("SystemError:", error)
    """, check=False)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines()[-1] == "SystemError: the unpacking helper did not return a pair"
