"""The watch of a confined run: a removal outside the sandbox fails the test that made it, even when swallowed."""

import os
import subprocess
import sys
import textwrap

import pytest
from brivane_testkit.confinement import CHILD_WATCH, python_path

from ..support import ROOT

SWALLOWED = """
import shutil
try:
    shutil.rmtree({target!r})
except OSError:
    pass
"""


@pytest.mark.parametrize("where", ["test", "child"], ids=["in the test", "in a process the test starts"])
def test_a_swallowed_removal_outside_the_sandbox_fails_its_test(tmp_path, where):
    target = ROOT / "standin"
    removal = SWALLOWED.format(target=str(target))
    body = textwrap.indent(
        removal if where == "test" else f"subprocess.run([sys.executable, '-c', {removal!r}], check=True)", "    "
    )
    (tmp_path / "test_swallowed.py").write_text(f"import subprocess, sys\n\n\ndef test_swallowed():\n{body}\n")
    # The inner run watches itself as a session; the watch of this run's children would count its removal twice.
    environment = dict(os.environ, PYTHONPATH=python_path(leave_out=[CHILD_WATCH]))
    result = subprocess.run(
        [
            sys.executable,
            "-m",
            "pytest",
            "-q",
            "-p",
            "no:cacheprovider",
            "-p",
            "brivane_testkit.confinement",
            str(tmp_path / "test_swallowed.py"),
        ],
        capture_output=True,
        text=True,
        cwd=tmp_path,
        env=environment,
        timeout=120,
    )
    assert result.returncode == 1, result.stdout + result.stderr
    assert (
        f"test_swallowed attempted 1 operation(s) outside the sandbox:\nshutil.rmtree {str(target)!r}" in result.stdout
    )
    assert target.is_dir()
