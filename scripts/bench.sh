#!/usr/bin/env bash
# The benchmark suite: installs pyperf and Cython into .venv/bench-3.10, builds the module
# as the wheel is built (Release) into build/bench, the probe and the compiled-Python peer, and runs
# bench/run.py confined (sandbox build/confined/bench: the cases solve, dispose
# and copy), which prints the table; its results, written in the sandbox, are
# copied to bench/results/latest.json afterwards.
# Arguments go to bench/run.py (--fast, --rounds N, --case TEXT, --compare FILE, --no-save, --check).
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
cd "$ROOT"

venv="$(make_venv bench-3.10 3.10 "$ROOT/requirements/bench.txt")"
package="$(BUILD_TYPE=Release ./scripts/dev-build.sh "$ROOT/build/bench")"
"$venv/bin/python" "$ROOT/bench/probe.py" >/dev/null
"$venv/bin/python" "$ROOT/bench/peer_build.py" >/dev/null
results="$ROOT/build/confined/bench/results"
# The stand-in installation builds its native library with the build environment's CMake.
PATH="$ROOT/.venv/build-3.10/bin:$PATH" confined bench env BRIVANE_BENCH_RESULTS="$results" \
    PYTHONPATH="$package:$TEST_PYTHONPATH" \
    "$venv/bin/python" "$ROOT/bench/run.py" "$@"
if [[ -f "$results/latest.json" ]]; then
    cp "$results/latest.json" "$ROOT/bench/results/latest.json"
    echo "copied to bench/results/latest.json"
fi
