"""What the module keeps belongs to the interpreter that made it: an embedding program that finalises the
interpreter and starts it again imports a fresh, working module each time, also after a first import made
while atexit ran; only the main interpreter loads it, and a sub-interpreter refused first locks no one out;
and what the module keeps cannot crash it when a script reaches it through gc."""

import os
import subprocess
import sys
import sysconfig
from pathlib import Path

import pytest
from brivane_testkit.confinement import python_path

import brivane_computer

# Runs its arguments as steps: "init", "fini", "main:CODE" in the main interpreter, "sub:CODE" in a new
# sub-interpreter that is ended afterwards. A step that fails ends the program with 100 + its number.
EMBEDDING = r"""
#include <Python.h>
#include <string.h>

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        const char* step = argv[i];
        if (strcmp(step, "init") == 0) {
            Py_Initialize();
        } else if (strcmp(step, "fini") == 0) {
            if (Py_FinalizeEx() < 0) return 100 + i;
        } else if (strncmp(step, "main:", 5) == 0) {
            if (PyRun_SimpleString(step + 5) != 0) return 100 + i;
        } else if (strncmp(step, "sub:", 4) == 0) {
            PyThreadState* main_thread = PyThreadState_Get();
            PyThreadState* sub = Py_NewInterpreter();
            if (sub == NULL) return 100 + i;
            int failed = PyRun_SimpleString(step + 4);
            Py_EndInterpreter(sub);
            PyThreadState_Swap(main_thread);
            if (failed) return 100 + i;
        } else {
            return 2;
        }
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
found = create_installation(os.path.join({work!r}, "cycle{cycle}"))
core._settingsPath_, core._dataSourcesPath_ = found.settings_path, found.data_sources_path
assert core.setup_brivane_computer(found.root, core.BrivaneModule.Pelorix) is True
model = core.createPipingVokel()
core.executeCommand(core.createCommand("ADD_PIPE", model))
path = os.path.join({work!r}, "models{cycle}", "study1.vokel")
os.makedirs(os.path.dirname(path))
core.saveVokel(model, path)
assert core.solve(path, "Quelbar", True) is not None
core.disposeSolution()
print("cycle {cycle} solved", flush=True)
"""

# The first import of the module made by an atexit callback, as the interpreter ends.
IMPORT_AT_EXIT = """
import atexit
def use_the_module():
    from brivane_computer import brivane_core as core
    print("at exit:", repr(core.find_first_file({work!r}, ".none")), flush=True)
atexit.register(use_the_module)
"""

IMPORT_IN_SUB_INTERPRETER = """
try:
    import brivane_computer.brivane_core
except ImportError as error:
    print("refused:", error, flush=True)
else:
    print("loaded", flush=True)
"""
REFUSED = "refused: Interpreter change detected - this module can only be loaded into one interpreter per process."

# A compiler must not inherit the sanitizer runtime that a sanitizer run preloads into the tests.
SANITIZER_ENVIRONMENT = ("LD_PRELOAD", "ASAN_OPTIONS", "LSAN_OPTIONS", "UBSAN_OPTIONS")


@pytest.fixture(scope="module")
def embedding(tmp_path_factory):
    """run(steps) runs the embedding program, linked with this interpreter's library, on the steps; returns the
    lines it printed, but for the assemblies' "... loaded"."""
    folder = tmp_path_factory.mktemp("embedding")
    source = folder / "embedding.c"
    source.write_text(EMBEDDING)
    program = folder / "embedding"
    library_dir = sysconfig.get_config_var("LIBDIR")
    version = sysconfig.get_config_var("LDVERSION")
    compiler_environment = {k: v for k, v in os.environ.items() if k not in SANITIZER_ENVIRONMENT}
    subprocess.run(
        [
            "cc",
            str(source),
            "-o",
            str(program),
            f"-I{sysconfig.get_paths()['include']}",
            f"-L{library_dir}",
            f"-lpython{version}",
            f"-Wl,-rpath,{library_dir}",
        ],
        check=True,
        env=compiler_environment,
    )
    environment = dict(os.environ, PYTHONHOME=sys.base_prefix, PYTHONNOUSERSITE="1")
    # The embedded interpreter is the base one, without this environment's packages: the folder of the module
    # under test comes first, then the stand-in and the test kit.
    package = str(Path(brivane_computer.__file__).resolve().parents[1])
    environment["PYTHONPATH"] = python_path(package)

    def run(steps):
        result = subprocess.run([str(program), *steps], capture_output=True, text=True, env=environment, timeout=300)
        assert result.returncode == 0, result.stdout + result.stderr
        return [line for line in result.stdout.splitlines() if not line.endswith(" loaded")]

    return run


def test_each_new_interpreter_gets_a_fresh_working_module(embedding, tmp_path):
    work = str(tmp_path)
    lines = embedding(
        [step for cycle in (1, 2, 3) for step in ("init", "main:" + CYCLE.format(work=work, cycle=cycle), "fini")]
    )
    assert lines == [f"cycle {n} solved" for n in (1, 2, 3)]
    # Each cycle's sandbox was deleted by its own interpreter's module.
    assert not [p for p in Path(os.environ.get("TMPDIR", "/tmp")).iterdir() if len(p.name) == 36]


def test_a_first_import_while_atexit_runs_works_and_leaves_no_dead_module(embedding, tmp_path):
    work = str(tmp_path)
    lines = embedding(
        [
            "init",
            "main:" + IMPORT_AT_EXIT.format(work=work),
            "fini",
            "init",
            "main:" + CYCLE.format(work=work, cycle=2),
            "fini",
        ]
    )
    assert lines == ["at exit: ''", "cycle 2 solved"]


def test_only_the_main_interpreter_loads_the_module_in_every_life(embedding, tmp_path):
    # A sub-interpreter that tries first is refused without locking the main one out, then one that tries
    # after the main interpreter loaded it; the same in the next life of the process.
    work, sub = str(tmp_path), "sub:" + IMPORT_IN_SUB_INTERPRETER
    lines = embedding(
        [
            step
            for cycle in (1, 2)
            for step in ("init", sub, "main:" + CYCLE.format(work=work, cycle=cycle), sub, "fini")
        ]
    )
    assert lines == [REFUSED, "cycle 1 solved", REFUSED, REFUSED, "cycle 2 solved", REFUSED]


@pytest.mark.parametrize("returned", ["None", "(1, 2, 3)", "[1, 2]"])
def test_a_replaced_unpacking_helper_is_an_error_not_a_crash(python, tmp_path, returned):
    result = python(
        f"""
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
    """,
        check=False,
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines()[-1] == "SystemError: the unpacking helper did not return a pair"
