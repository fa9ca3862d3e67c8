"""The argument errors that every function raises before its body runs, and
the binding of positional and keyword arguments to the parameters."""

import pytest
from brivane_standin import journal
from brivane_testkit.module_table import BY_NAME, FUNCTIONS, GUARD_MESSAGE

import brivane_computer

from .support_frame import Untouchable, ids, module_globals, vectorcall

WITH_PARAMETERS = [f for f in FUNCTIONS if f.parameters]
WITHOUT_PARAMETERS = [f for f in FUNCTIONS if not f.parameters]
SEVERAL_PARAMETERS = [f for f in FUNCTIONS if len(f.parameters) > 1]


def positional_message(function, given):
    count = len(function.parameters)
    plural = "" if count == 1 else "s"
    return f"{function.name}() takes exactly {count} positional argument{plural} ({given} given)"


@pytest.fixture
def untouched(core, capsys):
    """Checks after the test that no body ran: no product call, no global
    changed, nothing printed."""
    before = module_globals(core)
    yield
    assert journal.names() == []
    assert module_globals(core) == before
    assert capsys.readouterr().out == ""


def raises_exactly(message, call, *args, **kwargs):
    with pytest.raises(TypeError) as caught:
        call(*args, **kwargs)
    assert str(caught.value) == message


def values(count):
    return [Untouchable() for _ in range(count)]


# --- positional counts --------------------------------------------------------


@pytest.mark.parametrize("function", WITH_PARAMETERS, ids=ids(WITH_PARAMETERS))
@pytest.mark.parametrize("extra", [1, 2])
def test_too_many_positional(core, untouched, function, extra):
    given = len(function.parameters) + extra
    raises_exactly(positional_message(function, given), getattr(core, function.name), *values(given))


@pytest.mark.parametrize("function", WITH_PARAMETERS, ids=ids(WITH_PARAMETERS))
def test_too_many_positional_with_keywords(core, untouched, function):
    # The count is the complaint even when a keyword is wrong as well.
    given = len(function.parameters) + 1
    raises_exactly(
        positional_message(function, given), getattr(core, function.name), *values(given), nothing=Untouchable()
    )


@pytest.mark.parametrize("function", WITH_PARAMETERS, ids=ids(WITH_PARAMETERS))
def test_too_few_positional(core, untouched, function):
    for given in range(len(function.parameters)):
        raises_exactly(positional_message(function, given), getattr(core, function.name), *values(given))


@pytest.mark.parametrize("function", WITH_PARAMETERS, ids=ids(WITH_PARAMETERS))
def test_missing_after_keywords(core, untouched, function):
    """The count given is the number of parameters filled before the first missing one."""
    parameters = function.parameters
    call = getattr(core, function.name)
    for missing in range(len(parameters)):
        # Everything but one parameter by keyword.
        keywords = {name: Untouchable() for name in parameters if name != parameters[missing]}
        raises_exactly(positional_message(function, missing), call, **keywords)
        # The parameters before it by position, a later one by keyword.
        later = {name: Untouchable() for name in parameters[missing + 1 :][-1:]}
        raises_exactly(positional_message(function, missing), call, *values(missing), **later)


def test_setup_with_only_its_second_keyword(core, untouched):
    raises_exactly(
        "setup_brivane_computer() takes exactly 2 positional arguments (0 given)",
        core.setup_brivane_computer,
        brivaneModule=brivane_computer.BrivaneModule.Pelorix,
    )


# --- keywords -----------------------------------------------------------------


@pytest.mark.parametrize("function", WITH_PARAMETERS, ids=ids(WITH_PARAMETERS))
@pytest.mark.parametrize("keyword", ["name", "nothing", "", "kwargs"])
def test_unexpected_keyword(core, untouched, function, keyword):
    raises_exactly(
        f"{function.name}() got an unexpected keyword argument '{keyword}'",
        getattr(core, function.name),
        *values(len(function.parameters)),
        **{keyword: Untouchable()},
    )


@pytest.mark.parametrize("function", WITH_PARAMETERS, ids=ids(WITH_PARAMETERS))
def test_keyword_names_are_case_sensitive(core, untouched, function):
    first = function.parameters[0]
    other = first.upper() if first != first.upper() else first.lower()
    raises_exactly(
        f"{function.name}() got an unexpected keyword argument '{other}'",
        getattr(core, function.name),
        **{other: Untouchable()},
    )


@pytest.mark.parametrize("function", WITH_PARAMETERS, ids=ids(WITH_PARAMETERS))
def test_unexpected_keyword_before_missing(core, untouched, function):
    # An unknown keyword is reported even when parameters are missing too.
    raises_exactly(
        f"{function.name}() got an unexpected keyword argument 'extra'",
        getattr(core, function.name),
        extra=Untouchable(),
    )


@pytest.mark.parametrize("function", WITH_PARAMETERS, ids=ids(WITH_PARAMETERS))
def test_multiple_values(core, untouched, function):
    call = getattr(core, function.name)
    for position, name in enumerate(function.parameters):
        raises_exactly(
            f"{function.name}() got multiple values for keyword argument '{name}'",
            call,
            *values(position + 1),
            **{name: Untouchable()},
        )


@pytest.mark.parametrize("function", SEVERAL_PARAMETERS, ids=ids(SEVERAL_PARAMETERS))
def test_multiple_values_for_the_first_with_the_rest_missing(core, untouched, function):
    first = function.parameters[0]
    raises_exactly(
        f"{function.name}() got multiple values for keyword argument '{first}'",
        getattr(core, function.name),
        Untouchable(),
        **{first: Untouchable()},
    )


def test_load_dll_examples(core, untouched):
    raises_exactly("load_dll() takes exactly 1 positional argument (2 given)", core.load_dll, "a", "b")
    raises_exactly("load_dll() got an unexpected keyword argument 'name'", core.load_dll, name="a")
    raises_exactly("load_dll() got multiple values for keyword argument 'dllname'", core.load_dll, "a", dllname="a")


@pytest.mark.parametrize("function", FUNCTIONS, ids=ids(FUNCTIONS))
def test_non_string_keyword_from_the_call_syntax(core, untouched, function):
    # The interpreter refuses such a call itself, before the function is reached.
    with pytest.raises(TypeError, match="keywords must be strings"):
        getattr(core, function.name)(**{1: Untouchable()})


@pytest.mark.parametrize("function", WITH_PARAMETERS, ids=ids(WITH_PARAMETERS))
@pytest.mark.parametrize("keyword", [1, b"dllname", None])
def test_non_string_keyword_reaching_the_function(core, untouched, function, keyword):
    raises_exactly(
        f"{function.name}() keywords must be strings",
        vectorcall,
        getattr(core, function.name),
        values(len(function.parameters) - 1),
        [(keyword, Untouchable())],
    )


@pytest.mark.parametrize("function", WITH_PARAMETERS, ids=ids(WITH_PARAMETERS))
def test_non_string_keyword_after_a_valid_one(core, untouched, function):
    first = function.parameters[0]
    raises_exactly(
        f"{function.name}() keywords must be strings",
        vectorcall,
        getattr(core, function.name),
        [],
        [(first, Untouchable()), (7, Untouchable())],
    )


def test_vectorcall_helper_binds_like_a_normal_call(core, tmp_path):
    assert vectorcall(
        core.FindDataProjectPaths, [], [("dataSources", {"CurrentDatasDirectory": 1, "CurrentProjectsDirectory": 2})]
    ) == (1, 2)
    (tmp_path / "a.thf").write_text("")
    assert vectorcall(core.find_first_file, [str(tmp_path)], [("ext", ".thf")]) == str(tmp_path / "a.thf")


# --- functions without parameters ---------------------------------------------


@pytest.mark.parametrize("function", WITHOUT_PARAMETERS, ids=ids(WITHOUT_PARAMETERS))
@pytest.mark.parametrize("given", [1, 2, 3])
def test_no_arguments(core, untouched, function, given):
    raises_exactly(
        f"{function.name}() takes no arguments ({given} given)", getattr(core, function.name), *values(given)
    )


@pytest.mark.parametrize("function", WITHOUT_PARAMETERS, ids=ids(WITHOUT_PARAMETERS))
@pytest.mark.parametrize("positional", [0, 1])
def test_no_keyword_arguments(core, untouched, function, positional):
    # A keyword is the complaint, also next to positional arguments.
    raises_exactly(
        f"{function.name}() takes no keyword arguments",
        getattr(core, function.name),
        *values(positional),
        module=Untouchable(),
    )


@pytest.mark.parametrize("function", WITHOUT_PARAMETERS, ids=ids(WITHOUT_PARAMETERS))
def test_no_keyword_arguments_even_non_string(core, untouched, function):
    raises_exactly(
        f"{function.name}() takes no keyword arguments",
        vectorcall,
        getattr(core, function.name),
        [],
        [(1, Untouchable())],
    )


def test_dispose_solution_example(core, untouched):
    raises_exactly("disposeSolution() takes no arguments (1 given)", core.disposeSolution, None)


def test_empty_keyword_mapping_is_no_keyword(core):
    assert core.disposeSolution(**{}) is None


# --- binding ------------------------------------------------------------------


def call_outcome(call, *args, **kwargs):
    try:
        return "returned", call(*args, **kwargs)
    except Exception as error:  # noqa: BLE001 - the outcome is compared, whatever it is
        return type(error).__name__, str(error)


@pytest.fixture
def harmless(tmp_path):
    """Arguments for each function that give a repeatable outcome before set-up."""
    (tmp_path / "existing").mkdir()
    (tmp_path / "notes.txt").write_text("x")
    (tmp_path / "run").mkdir()
    missing = str(tmp_path / "missing")
    return {
        "setup_brivane_computer": (missing, brivane_computer.BrivaneModule.Karvona),
        "FindSolverPaths": (
            {
                "Families": [
                    {
                        "Name": "REVAV",
                        "SubFamilies": [
                            {"Name": "PATH", "Settings": [{"Name": "WINDOWS SOLVER PATH", "Value": "r.exe"}]}
                        ],
                    }
                ]
            },
        ),
        "FindDataProjectPaths": ({"CurrentDatasDirectory": "d", "CurrentProjectsDirectory": "p"},),
        "createVokel": (brivane_computer.BrivaneModule.Pelorix,),
        "_QuelbarSolve": (None, str(tmp_path / "run" / "m.vokel"), str(tmp_path / "run")),
        "_RevavSolve": (None, str(tmp_path / "run" / "m.vokel"), str(tmp_path / "run")),
        "find_first_file": (str(tmp_path), ".txt"),
        "copyDirectoryToTemp": (missing,),
        "addProject": (str(tmp_path), "existing", "Study", 1024, 768, 0),
        "addStudy": (str(tmp_path / "existing"), "Study", 1024, 768, 0),
    }


@pytest.mark.parametrize("function", WITH_PARAMETERS, ids=ids(WITH_PARAMETERS))
def test_keywords_in_any_order(core, harmless, function):
    args = harmless.get(function.name) or values(len(function.parameters))
    call = getattr(core, function.name)
    by_position = call_outcome(call, *args)
    assert by_position[0] != "TypeError"
    keywords = dict(reversed(list(zip(function.parameters, args))))
    assert call_outcome(call, **keywords) == by_position
    if len(args) > 1:
        mixed = dict(list(zip(function.parameters, args))[1:][::-1])
        assert call_outcome(call, args[0], **mixed) == by_position


@pytest.mark.parametrize(
    "name, delegate, kind",
    [
        ("addPipingProject", "addProject", "Pelorix"),
        ("addStructureProject", "addProject", "Karvona"),
        ("addPipingStudy", "addStudy", "Pelorix"),
        ("addStructureStudy", "addStudy", "Karvona"),
    ],
)
def test_keyword_call_passes_arguments_on_in_order(core, ready, monkeypatch, name, delegate, kind):
    seen = []
    monkeypatch.setattr(core, delegate, lambda *args, **kwargs: seen.append((args, kwargs)) or "done")
    parameters = {
        "projectDirectory": "P",
        "directory": "D",
        "projectName": "N",
        "studyName": "S",
        "screenWidth": 1000,
        "screenheight": 700,
    }
    function = getattr(core, name)
    names = BY_NAME[name].parameters
    assert function(**{n: parameters[n] for n in reversed(names)}) == "done"
    ((args, kwargs),) = seen
    assert args[:-1] == tuple(parameters[n] for n in names) and kwargs == {}
    assert args[-1].__class__.__name__ == "BrivaneModule" and args[-1].name == kind
    assert args[-1] is not getattr(brivane_computer.BrivaneModule, kind)  # the product's enumeration


# --- repeated errors ------------------------------------------------------------
# A script that calls a function wrongly in a loop meets the same error again and
# again: each raise must be a new exception with exactly the text of this call.


def test_repeated_errors_are_new_exceptions_with_the_same_text(core):
    caught = []
    for _ in range(3):
        with pytest.raises(TypeError) as raised:
            core.load_dll("a.dll", "b.dll")
        caught.append(raised.value)
    assert [str(error) for error in caught] == [positional_message(BY_NAME["load_dll"], 2)] * 3
    assert caught[0] is not caught[1] and caught[1] is not caught[2]
    assert all(type(error) is TypeError and error.args == (str(error),) for error in caught)
    caught[0].args = ("changed",)
    caught[0].note = "kept"
    with pytest.raises(TypeError) as raised:
        core.load_dll("a.dll", "b.dll")
    assert raised.value.args == (positional_message(BY_NAME["load_dll"], 2),)
    assert not hasattr(raised.value, "note")


def test_every_function_count_and_keyword_keeps_its_own_text(core):
    # Every function, count and keyword in turn, twice: no error answers with another's text.
    expected = {}
    for function in WITH_PARAMETERS:
        for given in range(len(function.parameters) + 1, len(function.parameters) + 4):
            expected[(function.name, given, None)] = positional_message(function, given)
        for keyword in ("name", "Name", "nàme", "x" * 300):
            message = f"{function.name}() got an unexpected keyword argument '{keyword}'"
            expected[(function.name, None, keyword)] = message
    for _ in range(2):
        for (name, given, keyword), message in expected.items():
            call = getattr(core, name)
            with pytest.raises(TypeError) as raised:
                if keyword is None:
                    call(*values(given))
                else:
                    call(**{keyword: None})
            assert str(raised.value) == message


def test_equal_keywords_of_different_objects_and_str_subclasses(core):
    class Keyword(str):
        pass

    for keyword in ("dll" + "name2", "".join(["dllname", "2"]), Keyword("dllname2")):
        with pytest.raises(TypeError) as raised:
            vectorcall(core.load_dll, (), ((keyword, None),))
        assert str(raised.value) == "load_dll() got an unexpected keyword argument 'dllname2'"


def test_repeated_guard_failures_are_new_environment_errors(core):
    caught = []
    for _ in range(2):
        with pytest.raises(EnvironmentError) as raised:
            core.getVokel("folder")
        caught.append(raised.value)
    assert caught[0] is not caught[1]
    for error in caught:
        assert type(error) is OSError and error.errno is None and error.filename is None
        assert error.args == (GUARD_MESSAGE,) and str(error) == GUARD_MESSAGE
