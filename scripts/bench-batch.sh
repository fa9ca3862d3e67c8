#!/usr/bin/env bash
# The batch benchmark (bench/batch.py): solve_many against a bare loop of solve and disposeSolution, with the
# wheel as users install it. It solves and deletes, so it runs confined (scripts/confine.sh) in
# build/confined/bench-batch; its figures are copied to bench/results/batch.json. Arguments go to
# bench/batch.py (--rounds N, --models N, --memory-models N). The page of its 2,000-model report is loaded in
# headless Chromium, installed when missing.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
cd "$ROOT"

ensure_chromium
build_wheel >/dev/null
venv="$(make_venv bench-3.10 3.10 "$ROOT/requirements/bench.txt")"
install_wheel "$venv"
status=0
confined bench-batch env PYTHONPATH="$TEST_PYTHONPATH" "$venv/bin/python" "$ROOT/bench/batch.py" "$@" || status=$?
cp "$ROOT/build/confined/bench-batch/batch.json" "$ROOT/bench/results/batch.json"
exit "$status"
