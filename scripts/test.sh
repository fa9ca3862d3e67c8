#!/usr/bin/env bash
# Builds the wheel once and runs every test on each supported interpreter
# against the installed wheel, each run confined (scripts/confine.sh): only its sandbox under build/confined/
# is writable. Chromium, which the page's browser test runs, is installed first when missing (by root; anyone
# else is told, and that test is skipped). Extra arguments go to pytest: paths among them run those tests only.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
cd "$ROOT"

ensure_chromium
build_wheel
status=0
for minor in ${BRIVANE_TEST_PYTHONS:-3.10 3.13}; do
    venv="$(make_venv "test-$minor" "$minor" "$ROOT/requirements/test.txt")" || exit 1
    install_wheel "$venv"
    echo "=== Python $minor ==="
    # From the repository root but not from src/: the tests import the installed wheel. Without a path among
    # the arguments pytest runs its testpaths, the whole of tests/.
    PATH="$venv/bin:$PATH" confined "test-$minor" env PYTHONPATH="$TEST_PYTHONPATH" \
        "$venv/bin/python" -m pytest -p no:cacheprovider "$@" \
        || status=1
done
exit "$status"
