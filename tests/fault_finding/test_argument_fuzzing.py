"""Property-based fuzzing of every function of brivane_core with hostile arguments and globals.

Each of the 35 functions of the module namespace is called, before set-up and
after a set-up on a stand-in installation, with batches of BATCH argument
tuples: None, ints (huge ones too), floats (nan, inf), booleans, strings
(empty, non-ASCII, lone surrogates, embedded NUL, very long, path-like with
separators and ".."), bytes, lists, dicts, settings-shaped documents, objects
whose special methods raise (or return the wrong kind of value), str/int/list/
dict subclasses that do the same, and, after set-up, real product objects
(models, a command, a solution, the application). Positional and keyword
(valid, invalid, duplicate names) arguments, in right and wrong counts, and
plausible calls with some arguments replaced. Every call must end in a result
or a Python exception (brivane_testkit.fuzzing.Harness.call); a crash ends the run.

Paths among the arguments include roots ("/", "//", "C:\\", "\\\\srv\\share\\"),
"", ".", "..", absolute paths, the working folder and its parents, folders the
module made and one the script made, as str, bytes and path-like objects.

The globals are fuzzed too: each global of the module (and a script's own
_pendingTempDirectories_) is given hostile values (brivane_testkit.fuzzing.global_values)
before every call of every function, with arguments the set-up module accepts.

The calls run jailed (brivane_testkit.jail): what a call removes or writes must
lie within what it may touch, or the test fails naming the call, and nothing
is forwarded outside a sandbox under the test's tmp_path, so roots reach the
module's decisions but never the real rmtree. After each test nothing beside
the sandbox may have changed.

Profiles (BRIVANE_FUZZ_PROFILE), both derandomized with a fixed seed per
function and phase and without an example database: "quick" (default, 3
examples per function and phase, and 3 values per global and phase, for the
normal test run) and "ci" (scripts/fuzz.sh: BRIVANE_FUZZ_EXAMPLES examples per function and phase, 100
by default: with BATCH=50 (BRIVANE_FUZZ_BATCH), 10,000 calls per function;
every value for every global and phase). BRIVANE_FUZZ_REPORT names a JSON file
that receives the calls made per function and their outcomes, and the jail's
counts;
BRIVANE_FUZZ_TRACE names a file that receives every call before it is made
(to find the call of a crash).
"""

import collections
import json
import os
import random
import shutil
import sys
import tempfile
import threading
import zlib

import pytest

hypothesis = pytest.importorskip("hypothesis")
from brivane_testkit.fuzzing import (  # noqa: E402
    CATALOG,
    FUNCTIONS,
    INITIAL_GLOBALS,
    PLAUSIBLE,
    FuzzFault,
    Harness,
    HostileInterrupt,
    Recipe,
    catalog_value,
    global_values,
    materialize,
    new_counts,
)
from hypothesis import HealthCheck, given, seed, settings  # noqa: E402
from hypothesis import strategies as st  # noqa: E402
from hypothesis.configuration import set_hypothesis_home_dir  # noqa: E402

import brivane_computer  # noqa: E402

BATCH = int(os.environ.get("BRIVANE_FUZZ_BATCH", "50"))
PROFILE = os.environ.get("BRIVANE_FUZZ_PROFILE", "quick")
CI_EXAMPLES = int(os.environ.get("BRIVANE_FUZZ_EXAMPLES", "100"))

_common = dict(
    deadline=None,
    suppress_health_check=[
        HealthCheck.too_slow,
        HealthCheck.data_too_large,
        HealthCheck.large_base_example,
        HealthCheck.filter_too_much,
    ],
    print_blob=True,
)
# Hypothesis keeps caches beside the current folder unless told otherwise: in the sandbox, like everything else.
set_hypothesis_home_dir(os.path.join(tempfile.gettempdir(), "hypothesis"))
settings.register_profile("ci", max_examples=CI_EXAMPLES, derandomize=True, database=None, **_common)
# Derandomized as well, with no example database (a confined run could not keep one): every run of the
# normal test command makes the same calls, so a failure there is never a matter of chance.
settings.register_profile("quick", max_examples=3, derandomize=True, database=None, **_common)
if PROFILE not in ("ci", "quick"):
    raise ValueError(f"BRIVANE_FUZZ_PROFILE must be 'ci' or 'quick', not {PROFILE!r}")

# File tests are forwarded as the host makes them, warnings included: on 3.10 os.stat warns about a memoryview
# before refusing it, on 3.13 about a bool taken for a descriptor.
pytestmark = [
    pytest.mark.filterwarnings("ignore:stat. path should be:DeprecationWarning"),
    pytest.mark.filterwarnings("ignore:bool is used as a file descriptor:RuntimeWarning"),
]

COUNTS = new_counts()
OUTCOMES = collections.Counter()  # (function, "returned" or the exception's type name) -> calls
GLOBAL_COUNTS = new_counts()  # the calls of the globals fuzzing
JAIL = collections.Counter()  # the jails' counts: out of bounds, contained, refused reads


# --- strategies --------------------------------------------------------------------------------
#
# An example is a few fresh values made by hypothesis (text, path-like text, bytes, ints, floats, nested
# containers, settings-shaped documents) and a byte string, the recipe, that Recipe turns into BATCH calls:
# argument counts, positional or keyword passing, keyword names, and for each argument a value of the
# shared catalog (special strings and numbers, hostile objects, product objects) or a fresh one. Shrinking
# the recipe towards zero bytes shrinks the calls towards exact counts of None.

SEGMENTS = [
    "..",
    ".",
    "",
    "models",
    "projects",
    "P1",
    "S1",
    "study1.vokel",
    "a.thf",
    "conception.fre",
    "x",
    "é",
    "中文",
    "a\x00b",
    "*",
    " ",
    "new folder",
    "P1.project",
    "deep",
    "tmp",
    "Extensions",
    "~",
    "...",
]
SETTINGS_KEYS = [
    "Families",
    "SubFamilies",
    "Settings",
    "Name",
    "Value",
    "CurrentDatasDirectory",
    "CurrentProjectsDirectory",
]
SETTINGS_NAMES = ["REVAV", "QUELBAR", "PATH", "WINDOWS SOLVER PATH", "SOLVER PATH", "GRAPHICS", "revav", ""]
RECIPE_BYTES = 12  # per call, on average enough for the decisions of a call

path_text = st.lists(st.sampled_from(SEGMENTS) | st.text(max_size=6), min_size=1, max_size=5).map("/".join)
text = path_text | st.text(max_size=20)
binary = st.binary(max_size=16)
leaf = st.one_of(
    st.none(),
    st.booleans(),
    st.integers(),
    st.floats(allow_nan=True, allow_infinity=True),
    text,
    binary,
    st.integers(0, len(CATALOG) - 1).map(catalog_value),
)


def settings_documents(values):
    """Nested dicts and lists shaped like the product's settings documents, with odd members."""
    names = st.sampled_from(SETTINGS_NAMES) | values
    setting = st.fixed_dictionaries({}, optional={"Name": names, "Value": values})
    sub_family = st.fixed_dictionaries({}, optional={"Name": names, "Settings": st.lists(setting | values, max_size=2)})
    family = st.fixed_dictionaries(
        {}, optional={"Name": names, "SubFamilies": st.lists(sub_family | values, max_size=2)}
    )
    return st.fixed_dictionaries(
        {},
        optional={
            "Families": st.lists(family | values, max_size=2) | values,
            "CurrentDatasDirectory": values,
            "CurrentProjectsDirectory": values,
        },
    )


keys = st.sampled_from(SETTINGS_KEYS) | st.text(max_size=4) | st.integers(-2, 2)
nested = st.recursive(
    leaf,
    lambda children: st.one_of(
        st.lists(children, max_size=3), st.tuples(children, children), st.dictionaries(keys, children, max_size=3)
    ),
    max_leaves=4,
)
fresh_values = st.lists(st.one_of(text, text, leaf, nested, settings_documents(leaf)), max_size=5)
examples = st.tuples(fresh_values, st.binary(min_size=BATCH * RECIPE_BYTES, max_size=BATCH * RECIPE_BYTES))


# --- the tests ---------------------------------------------------------------------------------


@pytest.fixture(scope="module", autouse=True)
def report():
    """Writes the calls made per function to BRIVANE_FUZZ_REPORT once the module's tests ran."""
    yield
    target = os.environ.get("BRIVANE_FUZZ_REPORT")
    if target:
        os.makedirs(os.path.dirname(os.path.abspath(target)), exist_ok=True)
        with open(target, "w", encoding="utf-8") as f:
            json.dump(
                {
                    "profile": PROFILE,
                    "batch": BATCH,
                    "python": sys.version.split()[0],
                    "calls": dict(sorted(COUNTS.items())),
                    "total": sum(COUNTS.values()),
                    "global_calls": sum(GLOBAL_COUNTS.values()),
                    "globals": len(GLOBALS),
                    "jail": dict(JAIL),
                    "outcomes": {
                        name: dict(sorted((outcome, n) for (f, outcome), n in OUTCOMES.items() if f == name))
                        for name in sorted(COUNTS)
                    },
                },
                f,
                indent=1,
            )


def jailed(tmp_path, counts, outcomes=None):
    with Harness(tmp_path, counts, outcomes) as made:
        yield made
    jail = made.jail
    JAIL.update(
        {"out of bounds": len(jail.violations), "contained": jail.contained, "refused reads": jail.refused_reads}
    )
    made.verify_outside()


@pytest.fixture
def harness(tmp_path):
    yield from jailed(tmp_path, COUNTS, OUTCOMES)


@pytest.fixture
def globals_harness(tmp_path):
    yield from jailed(tmp_path, GLOBAL_COUNTS)


def test_every_function_is_fuzzed():
    assert len(FUNCTIONS) == 35
    assert set(FUNCTIONS) == set(brivane_computer.__all__) - {"BrivaneModule"}


@pytest.mark.parametrize("phase", ["before", "after"])
@pytest.mark.parametrize("name", sorted(FUNCTIONS))
def test_hostile_arguments(harness, name, phase):
    parameters = FUNCTIONS[name]
    trace_path = os.environ.get("BRIVANE_FUZZ_TRACE")
    trace = open(trace_path, "a", encoding="utf-8", errors="backslashreplace") if trace_path else None

    def run_batch(example):
        fresh, recipe = example
        harness.prepare(phase)
        calls = Recipe(recipe, fresh)
        for _ in range(BATCH):
            args, kwargs = calls.call(name, parameters)
            harness.call(name, args, kwargs, trace)

    # A function of its own per test: its name gives each function and phase its own examples.
    run_batch.__name__ = run_batch.__qualname__ = f"fuzz_{name}_{phase}"
    test = given(examples)(run_batch)
    test = settings(settings.get_profile(PROFILE))(test)
    if PROFILE == "ci":
        test = seed(zlib.crc32(f"{name}/{phase}".encode()))(test)
    try:
        test()
    finally:
        if trace is not None:
            trace.close()
    harness.verify_bounds()


GLOBALS = sorted(INITIAL_GLOBALS) + ["_pendingTempDirectories_"]
GLOBAL_VALUES = global_values()


@pytest.mark.parametrize("phase", ["before", "after"])
@pytest.mark.parametrize("name", GLOBALS)
def test_hostile_globals(globals_harness, name, phase):
    harness = globals_harness
    chooser = random.Random(f"{name}/{phase}")
    values = list(enumerate(GLOBAL_VALUES))
    if PROFILE == "quick":
        values = chooser.sample(values, 3)
    for index, chosen in values:
        harness.prepare(phase)
        value = materialize(chosen, harness.pool)
        kept = list(value) if type(value) is list else None
        order = sorted(FUNCTIONS)
        chooser.shuffle(order)
        for function in order:
            # Set again before each call: set-up and the module's own writes replace some globals.
            vars(made_core())[name] = value
            harness.call(function, PLAUSIBLE[function], {})
            if name == "_pendingTempDirectories_":
                # A script's global of that name is not the module's record: never changed.
                assert vars(made_core()).get(name) is value and (kept is None or value == kept), (
                    f"{function} changed _pendingTempDirectories_ = {chosen!r}"
                )
    harness.verify_bounds()


# --- the checks themselves -----------------------------------------------------------------------


@pytest.fixture
def probe(tmp_path):
    """A harness whose calls are not counted, and a name under which a probe function is bound."""
    with Harness(tmp_path, new_counts()) as made:
        yield made
        vars(made_core())["_fuzz_probe"] = None
        del vars(made_core())["_fuzz_probe"]
    made.verify_outside()


def made_core():
    return brivane_computer.brivane_core


def bind_probe(function):
    vars(made_core())["_fuzz_probe"] = function


def test_a_result_with_an_exception_set_is_a_fault(probe):
    testcapi = pytest.importorskip("_testcapi")
    for function in (testcapi.return_result_with_error, testcapi.return_null_without_error):
        bind_probe(function)
        with pytest.raises(FuzzFault, match="SystemError"):
            probe.call("_fuzz_probe", [], {})


def test_only_exceptions_and_the_arguments_own_interrupts_may_escape(probe):
    def raising(kind):
        def function(*args, **kwargs):
            raise kind("probe")

        return function

    bind_probe(raising(ValueError))
    assert probe.call("_fuzz_probe", [], {}) == "ValueError"
    bind_probe(raising(HostileInterrupt))
    assert probe.call("_fuzz_probe", [], {}) == "HostileInterrupt"
    for kind in (SystemExit, GeneratorExit, SystemError):
        bind_probe(raising(kind))
        with pytest.raises(FuzzFault):
            probe.call("_fuzz_probe", [], {})


def test_a_worker_thread_ending_in_a_fault_is_a_fault(probe):
    def start_worker():
        def run():
            raise SystemError("probe")

        worker = threading.Thread(target=run)
        worker.start()
        worker.join()

    bind_probe(start_worker)
    with pytest.raises(FuzzFault, match="worker thread"):
        probe.call("_fuzz_probe", [], {})


def test_an_operation_out_of_bounds_is_a_fault_even_when_swallowed(probe):
    def remove_working_folder():
        try:
            vars(made_core())["shutil"].rmtree(os.getcwd())
        except Exception:  # noqa: BLE001 - as the module's guarded block does
            pass

    bind_probe(remove_working_folder)
    assert probe.call("_fuzz_probe", [], {}) == "returned"
    assert os.path.isdir(probe.sandbox.work)
    with pytest.raises(FuzzFault, match=r"(?s)1 operations out of bounds.*first: _fuzz_probe\(\): rmtree '.*w2'"):
        probe.verify_bounds()


def removal(target, name):
    """What a removal of `target` does: chdir to its parent, rmtree of its name."""
    return [("chdir", target + "/.."), ("rmtree", name)]


# call, its arguments, the operations it makes (on the folders of `places`), and then: operations out of
# bounds, operations contained, the folder that is gone. The host's rmtree is replaced by one that fails the
# test for anything outside the sandbox, so that even a broken jail removes nothing more.
BOUNDS = {
    "a removal removes the named folder": ("removeProject", ["{named}"], removal("{named}", "named"), 0, 0, "named"),
    "a removal removes nothing else": ("removeProject", ["{named}"], [("rmtree", "{other}")], 1, 0, None),
    "a root never reaches rmtree": ("removeProject", ["/"], removal("/", "/"), 2, 0, None),
    "'' names no folder": ("removeProject", [""], removal("{work}", "{work}"), 2, 0, None),
    "beside the sandbox": ("removeProject", ["{beside}"], removal("{beside}", "canary"), 0, 1, None),
    "dispose removes a folder the module made": ("disposeSolution", [], [("rmtree", "{made}")], 0, 0, "made"),
    "dispose leaves a folder the script made": ("disposeSolution", [], [("rmtree", "{script}")], 1, 0, None),
    "copies go to a new temporary folder": (
        "copyDirectoryToTemp",
        ["{named}"],
        [("copytree", "{named}", "{other}/copy")],
        1,
        0,
        None,
    ),
    "a reading call writes nothing": ("loadVokel", ["{named}/a.vokel"], [("open", "{named}/a.vokel")], 1, 0, None),
    "the product writes what the call names": (
        "saveVokel",
        [None, "{named}/a.vokel"],
        [("product", "{other}/b.vokel")],
        1,
        0,
        None,
    ),
    "and beside it": ("writeFreFile", [None, "{named}/..\x00"], [("product", "{named}/conception.fre")], 0, 0, None),
}


@pytest.mark.parametrize("case", BOUNDS)
def test_the_jail_holds_each_call_to_its_bounds(probe, monkeypatch, case):
    from brivane_standin.product import _files

    name, arguments, operations, out_of_bounds, contained, gone = BOUNDS[case]
    jail, sandbox = probe.jail, probe.sandbox
    places = {
        "named": os.path.join(sandbox.work, "named"),
        "other": os.path.join(sandbox.work, "other"),
        "script": os.path.join(sandbox.temp, "script"),
        "made": os.path.join(sandbox.temp, "made"),
        "beside": os.path.join(probe.parent, "canary"),
        "work": sandbox.work,
    }
    for key in ("named", "other", "script"):
        os.makedirs(os.path.join(places[key], "inner"))
    with jail.calling("solve", ["a.vokel", "Quelbar", True]):
        jail.os.makedirs(places["made"])

    def guarded_rmtree(path, *args, **kwargs):
        assert os.path.realpath(path).startswith(sandbox.root + os.sep), f"the host's rmtree got {path!r}"
        return real_rmtree(path, *args, **kwargs)

    real_rmtree = shutil.rmtree
    monkeypatch.setattr(shutil, "rmtree", guarded_rmtree)
    fill = lambda text: text.format(**places)  # noqa: E731
    made = {
        "chdir": jail.os.chdir,
        "rmtree": jail.shutil.rmtree,
        "copytree": jail.shutil.copytree,
        "open": lambda path: jail.open(path, "w"),
        "product": lambda path: _files.write_atomic(path, "x"),
    }
    with jail.calling(name, [fill(a) if isinstance(a, str) else a for a in arguments]):
        for operation, *paths in operations:
            try:
                made[operation](*map(fill, paths))
            except PermissionError:
                pass
    assert [v.call.split("(")[0] for v in jail.violations] == [name] * out_of_bounds
    assert jail.contained == contained
    for key in ("named", "other", "script", "made", "beside"):
        assert os.path.isdir(places[key]) == (key != gone), key


def test_the_hosts_rmtree_removes_nothing_outside_the_sandbox_while_jailed(probe):
    beside = os.path.join(probe.parent, "canary")
    with pytest.raises(PermissionError):
        shutil.rmtree(beside)
    assert os.path.isdir(beside)
    assert [violation.operation for violation in probe.jail.violations] == ["the host's rmtree of"]
