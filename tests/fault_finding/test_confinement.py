"""The confinement of an ordinary user (scripts/confine.sh by a user namespace): a write that its user makes
without it is refused within it."""

import os
import subprocess
import sys

import pytest

from ..support import ROOT

WRITE = 'echo canary >"$0"'


@pytest.mark.skipif(sys.platform == "win32", reason="the confinement is Linux's; Windows runs on a throw-away runner")
def test_a_canary_write_that_succeeds_without_the_user_namespace_fails_within_it(tmp_path):
    # The sandbox's parent: a place that this user writes without the confinement, as the canary needs.
    canary, sandbox = tmp_path / "canary", tmp_path / "sandbox"
    # The sanitizers that a sanitizer run preloads are the module's, not the shell's.
    environment = {
        name: value
        for name, value in os.environ.items()
        if name not in ("LD_PRELOAD", "ASAN_OPTIONS", "LSAN_OPTIONS", "UBSAN_OPTIONS")
    }
    assert subprocess.run(["sh", "-c", WRITE, canary], env=environment, timeout=60).returncode == 0
    assert canary.read_text() == "canary\n"
    canary.unlink()

    # A /proc of its own, in a pid namespace of its own: this run's /proc is read-only, and a user namespace
    # is mapped by writing to it. BRIVANE_CONFINE_WAY: this run's user may be root, or root in a user namespace.
    confine = ["unshare", "--pid", "--fork", "--mount-proc", ROOT / "scripts" / "confine.sh", sandbox]
    inside = ["sh", "-c", f'echo inside >"$BRIVANE_CONFINED/inside" && {WRITE}', canary]
    environment["BRIVANE_CONFINE_WAY"] = "user-namespace"
    confined = subprocess.run([*confine, *inside], env=environment, capture_output=True, text=True, timeout=60)
    up = [line for line in confined.stderr.splitlines() if line.startswith("confine.sh: confined in a user namespace")]
    assert up, confined.stderr
    assert str(tmp_path) in up[0].split("canary writes to ")[1].removesuffix(" refused").split(", ")
    assert confined.returncode != 0 and f"{canary}: Read-only file system" in confined.stderr, confined.stderr
    assert not canary.exists() and (sandbox / "inside").read_text() == "inside\n"
