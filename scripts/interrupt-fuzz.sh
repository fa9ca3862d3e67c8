#!/usr/bin/env bash
# Interrupt fuzzing (reliability/interrupt_fuzz.py): real SIGINTs at random moments of solve, disposeSolution
# and copyDirectoryToTemp, and forks at random moments of them whose child calls the module, a fixed number of
# iterations on Python 3.10 and 3.13 (BRIVANE_FUZZ_PYTHONS="3.10" for one), each confined (sandbox
# build/confined/interrupt-fuzz-MINOR), against a development build.
#
#   ./scripts/interrupt-fuzz.sh [iterations]        default 400 per interpreter
#
# Fails when an iteration removes what it should not, prints a false message or outlasts its bound, when a
# forked child waits, fails or touches its parent's folders, or when the final disposeSolution leaves a folder
# of the module's. BRIVANE_FUZZ_SEED repeats a run.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
cd "$ROOT"

iterations="${1:-400}"
seed=()
if [[ -n "${BRIVANE_FUZZ_SEED:-}" ]]; then seed=(--seed "$BRIVANE_FUZZ_SEED"); fi
package="$("$ROOT/scripts/dev-build.sh" "$ROOT/build/dev-stress")"

status=0
for minor in ${BRIVANE_FUZZ_PYTHONS:-3.10 3.13}; do
    venv="$(make_venv "test-$minor" "$minor" "$ROOT/requirements/test.txt")"
    echo "== Python $minor"
    PATH="$venv/bin:$PATH" confined "interrupt-fuzz-$minor" env PYTHONPATH="$package:$TEST_PYTHONPATH" \
        "$venv/bin/python" "$ROOT/reliability/interrupt_fuzz.py" --iterations "$iterations" "${seed[@]}" \
        || status=1
done
exit "$status"
