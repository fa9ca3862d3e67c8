#!/usr/bin/env bash
# Builds the wheel and runs the demo against a stand-in installation made in a temporary folder, confined
# (sandbox build/confined/demo): the demo deletes folders.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
cd "$ROOT"

build_wheel >/dev/null
venv="$(make_venv test-3.10 3.10 "$ROOT/requirements/test.txt")"
install_wheel "$venv"
echo "running demo/demo.py on Python 3.10 against a stand-in installation" >&2
PATH="$venv/bin:$PATH" confined demo env PYTHONPATH="$TEST_PYTHONPATH" "$venv/bin/python" "$ROOT/demo/demo.py" "$@"
