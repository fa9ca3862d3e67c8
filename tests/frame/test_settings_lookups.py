"""FindSolverPaths and FindDataProjectPaths on parsed settings documents."""

import collections.abc

import pytest
from brivane_standin import journal

from .support_frame import module_globals

REVAV = ("REVAV", "PATH", "WINDOWS SOLVER PATH")
QUELBAR = ("QUELBAR", "PATH", "SOLVER PATH")


def setting(name, value):
    return {"Name": name, "Value": value}


def sub(name, *settings):
    return {"Name": name, "Settings": list(settings)}


def family(name, *subs):
    return {"Name": name, "SubFamilies": list(subs)}


def path_family(key, value):
    name, sub_name, setting_name = key
    return family(name, sub(sub_name, setting(setting_name, value)))


def document(*families):
    return {"Families": list(families)}


class Untouched:
    """A container member that must never be read."""

    def __iter__(self):
        raise AssertionError("read")

    def __getitem__(self, key):
        raise AssertionError("read")


class RaisingName:
    """A name whose comparison would fail: it must never be compared."""

    def __eq__(self, other):
        raise AssertionError("compared")

    __ne__ = __eq__
    __hash__ = object.__hash__


@pytest.mark.parametrize(
    "doc, expected",
    [
        (document(), (None, None)),
        (document(path_family(REVAV, "r.exe")), ("r.exe", None)),
        (document(path_family(QUELBAR, "q.exe")), (None, "q.exe")),
        (document(path_family(QUELBAR, "q.exe"), path_family(REVAV, "r.exe")), ("r.exe", "q.exe")),
        # the last match in document order wins, across families and sub-families
        (document(path_family(REVAV, "first"), path_family(REVAV, "second")), ("second", None)),
        (
            document(
                family(
                    "REVAV",
                    sub("PATH", setting("WINDOWS SOLVER PATH", "a")),
                    sub("PATH", setting("WINDOWS SOLVER PATH", "b"), setting("WINDOWS SOLVER PATH", "c")),
                ),
                family("REVAV", sub("PATH")),
            ),
            ("c", None),
        ),
        (
            document(
                family("QUELBAR", sub("PATH", setting("SOLVER PATH", "a"), setting("OTHER", "x"))),
                family("QUELBAR", sub("PATH", setting("SOLVER PATH", "b")), sub("OUTPUT", setting("SOLVER PATH", "z"))),
            ),
            (None, "b"),
        ),
        # only the empty string becomes None; everything else is returned as stored
        (document(path_family(REVAV, ""), path_family(QUELBAR, "")), (None, None)),
        (document(path_family(REVAV, "x"), path_family(REVAV, "")), (None, None)),
        (document(path_family(REVAV, ""), path_family(REVAV, "x")), ("x", None)),
        (document(path_family(REVAV, 12), path_family(QUELBAR, 2.5)), (12, 2.5)),
        (document(path_family(REVAV, 0), path_family(QUELBAR, False)), (0, False)),
        (document(path_family(REVAV, None), path_family(QUELBAR, [])), (None, [])),
        (document(path_family(REVAV, " "), path_family(QUELBAR, b"")), (" ", b"")),
        (document(path_family(REVAV, {"p": 1})), ({"p": 1}, None)),
        # the setting keys belong to their own family only
        (document(family("REVAV", sub("PATH", setting("SOLVER PATH", "q")))), (None, None)),
        (document(family("QUELBAR", sub("PATH", setting("WINDOWS SOLVER PATH", "r")))), (None, None)),
    ],
)
def test_find_solver_paths(core, doc, expected):
    result = core.FindSolverPaths(doc)
    assert type(result) is tuple
    assert result == expected


@pytest.mark.parametrize(
    "names",
    [
        ("revav", "PATH", "WINDOWS SOLVER PATH"),
        ("Revav", "PATH", "WINDOWS SOLVER PATH"),
        (" REVAV", "PATH", "WINDOWS SOLVER PATH"),
        ("REVAV ", "PATH", "WINDOWS SOLVER PATH"),
        ("REVAV\n", "PATH", "WINDOWS SOLVER PATH"),
        ("", "PATH", "WINDOWS SOLVER PATH"),
        ("REVAV", "path", "WINDOWS SOLVER PATH"),
        ("REVAV", "Path", "WINDOWS SOLVER PATH"),
        ("REVAV", "PATH ", "WINDOWS SOLVER PATH"),
        ("REVAV", "PATHS", "WINDOWS SOLVER PATH"),
        ("REVAV", "PATH", "windows solver path"),
        ("REVAV", "PATH", "WINDOWS SOLVER PATH "),
        ("REVAV", "PATH", "WINDOWS  SOLVER PATH"),
        ("REVAV", "PATH", "SOLVER PATH"),
        ("REVAV", "PATH", "WINDOWS SOLVER"),
    ],
)
def test_names_match_exactly(core, names):
    assert core.FindSolverPaths(document(path_family(names, "r.exe"))) == (None, None)


def test_str_subclass_names_match(core):
    class Text(str):
        pass

    doc = document(family(Text("REVAV"), sub(Text("PATH"), setting(Text("WINDOWS SOLVER PATH"), "r.exe"))))
    assert core.FindSolverPaths(doc) == ("r.exe", None)


@pytest.mark.parametrize("name", [RaisingName(), None, 1, b"REVAV", ["REVAV"], ("REVAV",)])
def test_non_string_names_never_match(core, name):
    doc = document(
        {"Name": name, "SubFamilies": Untouched()},
        family(
            "REVAV",
            {"Name": name, "Settings": Untouched()},
            sub("PATH", {"Name": name, "Value": "never"}, setting("WINDOWS SOLVER PATH", "r.exe")),
        ),
    )
    assert core.FindSolverPaths(doc) == ("r.exe", None)


def test_members_read_only_under_matches(core):
    doc = document(
        {"Name": "GRAPHICS", "SubFamilies": Untouched()},
        family(
            "REVAV",
            {"Name": "VIEW", "Settings": Untouched()},
            sub("PATH", {"Name": "OTHER", "Value": Untouched()}, setting("WINDOWS SOLVER PATH", "r")),
        ),
        family("QUELBAR", sub("OUTPUT", {"Name": "MAX FIELD LENGTH"})),
    )
    assert core.FindSolverPaths(doc) == ("r", None)


@pytest.mark.parametrize(
    "doc, missing",
    [
        ({}, "Families"),
        (document({"SubFamilies": []}), "Name"),
        (document(family("GRAPHICS"), {"Value": 1}), "Name"),
        (document({"Name": "REVAV"}), "SubFamilies"),
        (document({"Name": "QUELBAR"}), "SubFamilies"),
        (document(family("REVAV", {"Settings": []})), "Name"),
        (document(family("REVAV", {"Name": "PATH"})), "Settings"),
        (document(family("REVAV", sub("PATH", {"Value": "r"}))), "Name"),
        (document(family("REVAV", sub("PATH", {"Name": "WINDOWS SOLVER PATH"}))), "Value"),
        (document(family("QUELBAR", sub("PATH", {"Name": "SOLVER PATH"}))), "Value"),
    ],
)
def test_missing_members(core, doc, missing):
    with pytest.raises(KeyError) as caught:
        core.FindSolverPaths(doc)
    assert caught.value.args == (missing,)


@pytest.mark.parametrize(
    "doc",
    [
        document({"Name": "GRAPHICS"}),
        document(family("REVAV", {"Name": "VIEW"})),
        document(family("REVAV", sub("PATH", {"Name": "OTHER"}))),
    ],
)
def test_unread_members_may_be_missing(core, doc):
    assert core.FindSolverPaths(doc) == (None, None)


def test_revav_pass_completes_before_quelbar_pass(core):
    """Two full passes: a Quelbar entry that breaks is reached only after the
    whole Revav pass, and a broken Revav entry stops before any Quelbar read."""
    broken_quelbar = {"Name": "QUELBAR"}
    with pytest.raises(KeyError, match="SubFamilies"):
        core.FindSolverPaths(document(broken_quelbar, path_family(REVAV, "r")))
    reads = []

    class Watched(dict):
        def __getitem__(self, key):
            reads.append((self.get("Name"), key))
            return dict.__getitem__(self, key)

    doc = {"Families": [Watched(family("QUELBAR", sub("PATH"))), Watched(family("REVAV", sub("PATH")))]}
    assert core.FindSolverPaths(doc) == (None, None)
    assert reads == [
        ("QUELBAR", "Name"),
        ("REVAV", "Name"),
        ("REVAV", "SubFamilies"),
        ("QUELBAR", "Name"),
        ("QUELBAR", "SubFamilies"),
        ("REVAV", "Name"),
    ]


@pytest.mark.parametrize(
    "doc",
    [
        {"Families": 5},
        {"Families": None},
        document({"Name": "REVAV", "SubFamilies": 3}),
        document(family("QUELBAR", {"Name": "PATH", "Settings": True})),
    ],
)
def test_non_iterable_containers(core, doc):
    with pytest.raises(TypeError):
        core.FindSolverPaths(doc)


@pytest.mark.parametrize("doc", [5, None, [], "Families"])
def test_document_without_item_access(core, doc):
    with pytest.raises(TypeError):
        core.FindSolverPaths(doc)


class Mapping(collections.abc.Mapping):
    """A read-only mapping that is not a dict."""

    def __init__(self, **items):
        self._items = items

    def __getitem__(self, key):
        return self._items[key]

    def __iter__(self):
        return iter(self._items)

    def __len__(self):
        return len(self._items)


def test_other_mappings_and_sequences(core):
    doc = Mapping(
        Families=(
            Mapping(
                Name="REVAV",
                SubFamilies=iter(
                    [Mapping(Name="PATH", Settings=(Mapping(Name="WINDOWS SOLVER PATH", Value="r.exe"),))]
                ),
            ),
            Mapping(
                Name="QUELBAR",
                SubFamilies=[Mapping(Name="PATH", Settings=(x for x in [Mapping(Name="SOLVER PATH", Value="q.exe")]))],
            ),
        )
    )
    assert core.FindSolverPaths(doc) == ("r.exe", "q.exe")


def test_iterator_families_are_read_once_per_pass(core):
    # The member is read again for the second pass: an exhausted iterator finds nothing.
    families = iter([path_family(REVAV, "r"), path_family(QUELBAR, "q")])
    assert core.FindSolverPaths({"Families": families}) == ("r", None)


def test_errors_of_the_document_pass_through(core):
    class Failing(dict):
        def __getitem__(self, key):
            raise LookupError(f"no {key}")

    with pytest.raises(LookupError, match="no Families"):
        core.FindSolverPaths(Failing())


def test_solver_paths_are_pure(core):
    before = module_globals(core)
    core.FindSolverPaths(document(path_family(REVAV, "r"), path_family(QUELBAR, "q")))
    core.FindDataProjectPaths({"CurrentDatasDirectory": "d", "CurrentProjectsDirectory": "p"})
    assert module_globals(core) == before
    assert journal.names() == []


def test_installation_settings_document(core, installation):
    import json

    with open(installation.settings_path, encoding="utf-8") as f:
        doc = json.load(f)
    assert core.FindSolverPaths(doc) == (installation.revav_solver, installation.quelbar_solver)


# --- FindDataProjectPaths -----------------------------------------------------


@pytest.mark.parametrize(
    "doc, expected",
    [
        ({"CurrentDatasDirectory": "D", "CurrentProjectsDirectory": "P"}, ("D", "P")),
        ({"CurrentDatasDirectory": "", "CurrentProjectsDirectory": ""}, ("", "")),
        ({"CurrentProjectsDirectory": 2, "CurrentDatasDirectory": None, "RecentProjects": []}, (None, 2)),
        (Mapping(CurrentDatasDirectory=["d"], CurrentProjectsDirectory={"p": 1}), (["d"], {"p": 1})),
    ],
)
def test_find_data_project_paths(core, doc, expected):
    result = core.FindDataProjectPaths(doc)
    assert type(result) is tuple
    assert result == expected


def test_data_project_paths_keep_the_objects(core):
    data, projects = object(), object()
    found = core.FindDataProjectPaths({"CurrentDatasDirectory": data, "CurrentProjectsDirectory": projects})
    assert found[0] is data and found[1] is projects


@pytest.mark.parametrize(
    "doc, missing",
    [
        ({}, "CurrentDatasDirectory"),
        ({"CurrentProjectsDirectory": "P"}, "CurrentDatasDirectory"),
        ({"CurrentDatasDirectory": "D"}, "CurrentProjectsDirectory"),
        ({"currentdatasdirectory": "D", "CurrentProjectsDirectory": "P"}, "CurrentDatasDirectory"),
    ],
)
def test_data_project_paths_missing(core, doc, missing):
    with pytest.raises(KeyError) as caught:
        core.FindDataProjectPaths(doc)
    assert caught.value.args == (missing,)


def test_data_project_paths_read_order(core):
    reads = []

    class Watched(dict):
        def __getitem__(self, key):
            reads.append(key)
            return dict.__getitem__(self, key)

    core.FindDataProjectPaths(Watched(CurrentProjectsDirectory="P", CurrentDatasDirectory="D", Other=1))
    assert reads == ["CurrentDatasDirectory", "CurrentProjectsDirectory"]


@pytest.mark.parametrize("doc", [None, 3, ["CurrentDatasDirectory"]])
def test_data_project_paths_without_item_access(core, doc):
    with pytest.raises(TypeError):
        core.FindDataProjectPaths(doc)
