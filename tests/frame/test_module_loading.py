"""Loading rules of the module, each seen in a new interpreter process: the
package loads it on first use, the version warning, one module object per
process, a clean retry after a failed load, self-registration and the
one-interpreter rule."""

import json
import sys

import pytest
from brivane_testkit.confinement import python_path

MISMATCH = (
    "compile time Python version 3.10 of module 'brivane_computer.brivane_core' "
    "does not match runtime version 3.{minor}"
)
ON_310 = sys.version_info[:2] == (3, 10)

# Snippet prologue: the extension file, found without importing the package.
LOCATE = """
        import glob, importlib.util, os, sys, warnings
        import clr, pythoncom  # the stand-in, imported before anything is recorded
        package = importlib.util.find_spec("brivane_computer").submodule_search_locations[0]
        location = glob.glob(os.path.join(package, "brivane_core*"))[0]
        def new_spec():
            return importlib.util.spec_from_file_location("brivane_computer.brivane_core", location)
"""


def expected_warnings(count):
    if ON_310:
        return []
    return [["RuntimeWarning", MISMATCH.format(minor=sys.version_info.minor)]] * count


# Each use of the package that loads the module, from a fresh interpreter: (statement, what it gave).
FIRST_USES = {
    "attribute": ("value = brivane_computer._settingsPath_", "value.endswith('Pelorix.settings')"),
    "assignment": (
        "brivane_computer._validSetup_ = 1",
        "sys.modules[CORE]._validSetup_ == 1 and '_validSetup_' not in vars(brivane_computer)",
    ),
    "from-import": ("from brivane_computer import setup_brivane_computer", "callable(setup_brivane_computer)"),
    "dir": ("names = dir(brivane_computer)", "'solve' in names and 'batch' in names"),
    "__all__": ("names = brivane_computer.__all__", "'solve' in names and '_validSetup_' not in names"),
    "core": ("import brivane_computer.brivane_core as core", "core is sys.modules[CORE]"),
    "batch task": ("from brivane_computer.batch import set_up", "callable(set_up)"),
}


@pytest.mark.parametrize("use", FIRST_USES)
def test_the_package_loads_the_module_at_its_first_use(python, use):
    statement, check = FIRST_USES[use]
    result = python(f"""
        import json, sys, warnings
        CORE = "brivane_computer.brivane_core"
        def loaded():
            return sorted({{"clr", "pythoncom", CORE}} & set(sys.modules))
        import brivane_computer
        from brivane_computer import batch
        import brivane_computer.batch.cluster, brivane_computer.batch.local, brivane_computer.batch.report
        # Probes of special names, the batch's own names, and an assignment of the package's own.
        probed = [hasattr(brivane_computer, name) for name in ("__wrapped__", "__test__")]
        probed.append(callable(batch.read_report) and callable(batch.solve_many))
        brivane_computer.__doc__ = brivane_computer.__doc__
        before = loaded()
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            {statement}
            brivane_computer._validPelorix_, dir(brivane_computer)
        print(json.dumps([probed, before, loaded(), {check}, [str(w.message) for w in caught]]))
    """)
    probed, before, after, checked, caught = json.loads(result.stdout)
    assert probed == [False, False, True] and before == []
    assert after == ["brivane_computer.brivane_core", "clr", "pythoncom"] and checked
    # The version warning comes once, at the first use.
    assert caught == [message for _, message in expected_warnings(1)]


def test_warning_as_error_fails_the_first_use_and_a_retry_starts_afresh(python):
    result = python(
        """
        import json, sys, warnings
        import clr, pythoncom
        import brivane_computer
        outcome = []
        try:
            brivane_computer.solve
            outcome.append("loaded")
        except RuntimeWarning as error:
            outcome.append(str(error))
            outcome.append("brivane_computer.brivane_core" in sys.modules)
            warnings.resetwarnings()
            with warnings.catch_warnings(record=True) as caught:
                warnings.simplefilter("always")
                brivane_computer.solve
            outcome.append([str(w.message) for w in caught])
        outcome.append(brivane_computer.brivane_core.BrivaneModule.Pelorix.value)
        print(json.dumps(outcome))
    """,
        env={"PYTHONWARNINGS": "error::RuntimeWarning"},
    )
    outcome = json.loads(result.stdout)
    if ON_310:
        assert outcome == ["loaded", 0]
    else:
        message = MISMATCH.format(minor=sys.version_info.minor)
        assert outcome == [message, False, [message], 0]


def test_reimport_after_setup_returns_the_same_object(python, tmp_path):
    python(f"""
        import importlib, importlib.util, sys, warnings
        warnings.simplefilter("ignore")
        from brivane_standin.installation import create_installation
        import brivane_computer
        core = brivane_computer.brivane_core
        found = create_installation({str(tmp_path / "Pelorix")!r})
        core._settingsPath_ = found.settings_path
        core._dataSourcesPath_ = found.data_sources_path
        assert core.setup_brivane_computer(found.root, brivane_computer.BrivaneModule.Pelorix) is True
        before = dict(vars(core))
        replaced = lambda directory, ext: "replaced"
        core.find_first_file = replaced

        del sys.modules["brivane_computer.brivane_core"]
        again = importlib.import_module("brivane_computer.brivane_core")
        assert again is core
        assert again._validSetup_ is True and again._validPelorix_ is True and again._validKarvona_ is True
        assert again.find_first_file is replaced
        assert again.load_dll is before["load_dll"] and again._dlls_ is before["_dlls_"]
        assert again._dlls_ == ["Brivane.SDK.dll", "Brivane.Pelorix.Core.dll"]
        assert again._Application_ is before["_Application_"]

        # The package itself imported anew still hands out the one module object.
        del sys.modules["brivane_computer"], sys.modules["brivane_computer.brivane_core"]
        import brivane_computer as package
        assert package.brivane_core is core and package._validSetup_ is True
        assert package.find_first_file is replaced

        # Executing the body again for the same object does nothing.
        spec = importlib.util.find_spec("brivane_computer.brivane_core")
        assert importlib.util.module_from_spec(spec) is core
        spec.loader.exec_module(core)
        assert core._validSetup_ is True and core.find_first_file is replaced
        print(core.load_dll("Brivane.SDK.dll"))
    """)


def test_failed_load_is_forgotten(python):
    result = python(
        LOCATE
        + """
        import json
        runs = 0
        sys.modules["pythoncom"] = None
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            import brivane_computer
            try:
                brivane_computer.load_dll
                raise SystemExit("loaded without pythoncom")
            except ImportError as error:
                first = type(error).__name__
            registered = ["brivane_computer.brivane_core" in sys.modules]

            spec = new_spec()
            half = importlib.util.module_from_spec(spec)
            try:
                spec.loader.exec_module(half)
                raise SystemExit("executed without pythoncom")
            except ImportError:
                pass
            partial = [name for name in ("Enum", "os", "clr", "ctypes", "pythoncom", "BrivaneModule", "load_dll")
                       if name in vars(half)]
            registered.append("brivane_computer.brivane_core" in sys.modules)

            del sys.modules["pythoncom"]
            core = brivane_computer.brivane_core
        spec.loader.exec_module(half)  # the half-built object stays as it was
        print(json.dumps({"first": first, "registered": registered, "partial": partial,
                          "new": core is not half, "complete": callable(core.duplicateStudy),
                          "warnings": len(caught), "kept": "pythoncom" in vars(half),
                          "same": importlib.util.module_from_spec(new_spec()) is core}))
    """
    )
    outcome = json.loads(result.stdout)
    assert outcome == {
        "first": "ModuleNotFoundError",
        "registered": [False, False],
        "partial": ["Enum", "os", "clr", "ctypes"],
        "new": True,
        "complete": True,
        # The version check runs with every execution of the body: two failed, one complete.
        "warnings": 0 if ON_310 else 3,
        "kept": False,
        "same": True,
    }


NOTES = {
    "clr": "brivane_computer needs the CLR bridge 'clr' of the package pythonnet: pip install pythonnet",
    "pythoncom": "brivane_computer needs the COM module 'pythoncom' of the package pywin32: pip install pywin32",
}


@pytest.mark.parametrize(
    "module, source, kind, name, message",
    [
        ("clr", None, "ModuleNotFoundError", "clr", "import of clr halted; None in sys.modules"),
        ("pythoncom", None, "ModuleNotFoundError", "pythoncom", "import of pythoncom halted; None in sys.modules"),
        # The package is there but fails: a DLL that does not load, a module of its own that is missing.
        (
            "clr",
            "raise ImportError('DLL load failed while importing clr')",
            "ImportError",
            None,
            "DLL load failed while importing clr",
        ),
        (
            "pythoncom",
            "import pywintypes_gone",
            "ModuleNotFoundError",
            "pywintypes_gone",
            "No module named 'pywintypes_gone'",
        ),
    ],
    ids=["clr-missing", "pythoncom-missing", "clr-fails", "pythoncom-lacks-its-own"],
)
def test_import_error_of_bridge_or_com_propagates_at_first_use_with_a_note_when_missing(
    python, tmp_path, module, source, kind, name, message
):
    if source is None:
        hide, shadowed = f"sys.modules[{module!r}] = None", {}
    else:
        # A module of that name in a folder before the stand-in's.
        (tmp_path / f"{module}.py").write_text(source + "\n")
        hide, shadowed = "", {"PYTHONPATH": python_path(str(tmp_path))}
    result = python(
        f"""
        import json, sys, warnings
        warnings.simplefilter("ignore")
        {hide}
        import brivane_computer
        try:
            from brivane_computer import setup_brivane_computer
        except ImportError as error:
            print(json.dumps([type(error).__name__, error.name, str(error), getattr(error, "__notes__", [])]))
    """,
        env=shadowed,
    )
    notes = [NOTES[module]] if name == module and not ON_310 else []
    assert json.loads(result.stdout) == [kind, name, message, notes]


def test_module_registers_itself(python):
    python(
        LOCATE
        + """
        warnings.simplefilter("ignore")
        assert "brivane_computer.brivane_core" not in sys.modules
        spec = new_spec()
        module = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(module)
        assert sys.modules["brivane_computer.brivane_core"] is module
        assert module.__name__ == "brivane_computer.brivane_core"
        assert module.load_dll.__module__ == "brivane_computer.brivane_core"
        assert "brivane_computer" not in sys.modules
    """
    )


def test_module_keeps_an_existing_registration(python):
    python(
        LOCATE
        + """
        import types
        warnings.simplefilter("ignore")
        placeholder = types.ModuleType("placeholder")
        sys.modules["brivane_computer.brivane_core"] = placeholder
        spec = new_spec()
        module = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(module)
        assert sys.modules["brivane_computer.brivane_core"] is placeholder
        assert callable(module.setup_brivane_computer)
    """
    )


def test_one_interpreter_per_process(python):
    result = python("""
        import json, warnings
        warnings.simplefilter("ignore")
        import brivane_computer.brivane_core
        code = "import brivane_computer.brivane_core"
        try:
            import _interpreters as interpreters  # 3.13
            interpreter = interpreters.create("legacy")
            failure = interpreters.run_string(interpreter, code)
            outcome = [failure.type.__name__, failure.msg] if failure is not None else None
        except ImportError:
            try:
                import _xxsubinterpreters as interpreters  # 3.10 to 3.12
            except ImportError:
                print(json.dumps("unavailable"))
                raise SystemExit
            try:
                interpreter = interpreters.create(isolated=False)
            except TypeError:
                interpreter = interpreters.create()
            try:
                outcome = interpreters.run_string(interpreter, code)
            except Exception as error:  # RunFailedError: "<class 'ImportError'>: <message>"
                kind, message = str(error).split(": ", 1)
                outcome = [kind.replace("<class ", "").strip("'<>"), message]
        interpreters.destroy(interpreter)
        print(json.dumps(outcome))
    """)
    outcome = json.loads(result.stdout)
    if outcome == "unavailable":
        pytest.skip("this interpreter offers no subinterpreters")
    assert outcome == [
        "ImportError",
        "Interpreter change detected - this module can only be loaded into one interpreter per process.",
    ]
