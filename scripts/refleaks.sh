#!/usr/bin/env bash
# Reference-leak hunt on Debian's debug interpreter (python3-dbg), which loads
# the same stable-ABI wheel: every test area repeated, growth reported per area.
# Runs confined (sandbox build/confined/refleaks).
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
cd "$ROOT"

if ! command -v python3-dbg >/dev/null 2>&1; then
    install_debian "the leak hunt" python3-dbg || exit 1
fi
wheel="$(build_wheel)"
# The stand-in's native library is built with CMake from the test environment.
venv="$(make_venv test-3.10 3.10 "$ROOT/requirements/test.txt")"
unpacked="$(mktemp -d)"
trap 'rm -rf "$unpacked"' EXIT
python3-dbg -m zipfile -e "$wheel" "$unpacked"
PATH="$venv/bin:$PATH" confined refleaks env PYTHONPATH="$unpacked:$TEST_PYTHONPATH" \
    python3-dbg "$ROOT/reliability/refleaks.py"
