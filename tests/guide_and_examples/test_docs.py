"""The user guide and docs/pypi.md agree with the package: their Python blocks run as written, with the
Windows paths mapped to the test's folders, and their calls use the parameters' real names.

A block that cannot run here is marked in the document's source by the line just above it:
<!-- not run here: WHY -->
"""

import ast
import json
import os
import re
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

from ..support import ROOT, build_model

FENCE = re.compile(r"^( *)```python\s*$")
NOT_RUN = re.compile(r"<!-- not run here: (.+) -->")
# The documents' Windows paths, and what each stands for here.
PATHS = {
    r"C:\Program Files\Brivane\Pelorix 2031.1": "{installation}",
    r"D:\config\Pelorix.settings": "{settings}",
    r"D:\config\DataSources.settings": "{data_sources}",
    r"D:\work": "{root}/work",
    r"D:\plant": "{root}/plant",
    r"D:\plant-results": "{root}/plant-results",
    r"D:\plant.jsonl": "{root}/plant.jsonl",
}
WARNING = "does not match runtime version"


def python_blocks(document):
    """[(label, code, why it is not run or None)] of a document's Python blocks, indented ones too."""
    lines, blocks = (ROOT / document).read_text(encoding="utf-8").splitlines(), []
    for number, line in enumerate(lines):
        fence = FENCE.match(line)
        if fence:
            end = lines.index(fence.group(1) + "```", number + 1)
            above = next((text for text in reversed(lines[:number]) if text.strip()), "")
            not_run = NOT_RUN.search(above)
            blocks.append(
                (
                    f"{document}:{number + 1}",
                    textwrap.dedent("\n".join(lines[number + 1 : end])),
                    not_run and not_run.group(1),
                )
            )
    return blocks


def here(code, places):
    """The block with each raw-string path of PATHS made a path of this machine."""

    def mapped(literal):
        text = literal.group(1)
        for windows in sorted(PATHS, key=len, reverse=True):
            rest = text[len(windows) :]
            if text.startswith(windows) and rest[:1] in ("", "\\"):
                return repr(PATHS[windows].format(**places) + rest.replace("\\", "/"))
        raise AssertionError(f"no place in PATHS for the path {text}")

    return re.sub(r'\br"([^"]*)"', mapped, code)


def head(code):
    """Whether a block is made of imports and warning filters only: the top lines of a script."""
    return all(
        isinstance(statement, (ast.Import, ast.ImportFrom))
        or (
            isinstance(statement, ast.Expr)
            and isinstance(statement.value, ast.Call)
            and ast.unparse(statement.value.func).startswith("warnings.")
        )
        for statement in ast.parse(code).body
    )


@pytest.mark.parametrize("document", ["docs/guide.md", "docs/pypi.md"])
def test_every_python_block_runs_as_written(ready, core, tmp_path, document):
    places = {
        "installation": ready.root,
        "settings": ready.settings_path,
        "data_sources": ready.data_sources_path,
        "root": str(tmp_path),
    }
    build_model(core, str(tmp_path / "plant" / "Piping"), "Piping")
    build_model(core, str(tmp_path / "plant" / "Structure"), "Structure", kind="structure")
    blocks = python_blocks(document)
    run = [(label, here(code, places), head(code)) for label, code, not_run in blocks if not not_run]
    assert len(run) >= len(blocks) - 2
    (tmp_path / "blocks.json").write_text(json.dumps(run))
    (tmp_path / "temp").mkdir()
    result = subprocess.run(
        [
            sys.executable,
            str(Path(__file__).with_name("docs_runner.py")),
            str(tmp_path / "blocks.json"),
            ready.settings_path,
            ready.data_sources_path,
        ],
        capture_output=True,
        text=True,
        cwd=str(tmp_path),
        timeout=300,
        env={**os.environ, "TMPDIR": str(tmp_path / "temp")},
    )
    assert result.returncode == 0, result.stdout + result.stderr
    # The head blocks run first, as the top of a script.
    order = [label for label, _, first in run if first] + [label for label, _, first in run if not first]
    assert [line[4:] for line in result.stdout.splitlines() if line.startswith("--- ")] == order
    if document == "docs/guide.md":
        # The filter that the guide gives silences the version warning on every interpreter.
        assert WARNING not in result.stderr, result.stderr
        assert "2 models: 2 solved" in result.stdout and "2 solved; all fine" in result.stdout
    else:
        assert "\nsolved\n" in result.stdout
    assert list((tmp_path / "temp").iterdir()) == []


def test_calls_in_the_text_use_the_real_parameter_names():
    stubs = ast.parse((ROOT / "src/brivane_computer/brivane_core.pyi").read_text())
    parameters = {f.name: [a.arg for a in f.args.args] for f in stubs.body if isinstance(f, ast.FunctionDef)}
    mentions = []
    for document in ("docs/guide.md", "docs/pypi.md", "README.md"):
        prose = re.sub(r"```.*?```", "", (ROOT / document).read_text(), flags=re.S)
        # A mention like `solvePipingModel(vokel, vokelFilename, solvername, directory)`: names only.
        mentions += re.findall(r"`(?:bc\.)?(\w+)\(((?:\s*[A-Za-z_]\w*\s*,?)*)\)`", prose)
    wrong = [
        f"{name}({names})"
        for name, names in mentions
        if name in parameters and [n.strip() for n in names.split(",") if n.strip()] != parameters[name]
    ]
    assert len(mentions) > 15 and wrong == []
