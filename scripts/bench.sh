#!/usr/bin/env bash
# The benchmark suite: installs pyperf into .venv/bench-3.10, builds the module
# as the wheel is built (Release) into build/bench, and runs bench/run.py,
# which prints the table and writes bench/results/latest.json.
# Arguments go to bench/run.py (--fast, --case TEXT, --compare FILE, --no-save).
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
cd "$ROOT"

venv="$(make_venv bench-3.10 3.10 "$ROOT/requirements/bench.txt")"
package="$(BUILD_TYPE=Release ./scripts/dev-build.sh "$ROOT/build/bench")"
# The stand-in installation builds its native library with the build environment's CMake.
PATH="$ROOT/.venv/build-3.10/bin:$PATH" PYTHONPATH="$package" "$venv/bin/python" "$ROOT/bench/run.py" "$@"
