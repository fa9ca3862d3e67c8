#!/usr/bin/env bash
# Thread stress (reliability/thread_stress.py): eight threads calling the module
# while its globals, sibling functions and host modules keep changing.
#
#   ./scripts/stress.sh [seconds]        default 30
#
# First under the AddressSanitizer/UndefinedBehaviorSanitizer build on Python
# 3.10, with the environment of scripts/sanitize.sh (the first report stops
# the run and fails it); then once with the plain build on Python 3.13 for
# BRIVANE_STRESS_PLAIN_SECONDS (default: the same time, at most 10 s; 0 skips
# it). Each run is confined (sandboxes build/confined/stress-sanitized and
# stress-plain). Prints the figures of each run; fails on a crash, a deadlock, a
# SystemError, an exception left set, an operation out of the bounds of its
# call, a folder of the script's own removed or a sanitizer report.
# BRIVANE_STRESS_SEED repeats a run.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
cd "$ROOT"

seconds="${1:-30}"
plain_seconds="${BRIVANE_STRESS_PLAIN_SECONDS:-$(( seconds < 10 ? seconds : 10 ))}"
seed=()
if [[ -n "${BRIVANE_STRESS_SEED:-}" ]]; then seed=(--seed "$BRIVANE_STRESS_SEED"); fi

sanitized="$(CMAKE_ARGS="-DBRIVANE_SANITIZE=ON" BUILD_TYPE=RelWithDebInfo "$ROOT/scripts/dev-build.sh" "$ROOT/build/sanitize-stress")"
venv="$(make_venv test-3.10 3.10 "$ROOT/requirements/test.txt")"
if [[ "$plain_seconds" != "0" ]]; then
    plain="$("$ROOT/scripts/dev-build.sh" "$ROOT/build/dev-stress")"
    venv13="$(make_venv test-3.13 3.13 "$ROOT/requirements/test.txt")"
fi
# The sanitizers' reports go into the sandbox, the one place the run may write.
reports="$ROOT/build/confined/stress-sanitized/reports"

status=0
echo "== sanitizer build, Python 3.10, ${seconds} s"
# PYTHONMALLOC=malloc lets the sanitizer see every allocation; the interpreter is not instrumented, so the
# runtime is preloaded.
PATH="$venv/bin:$PATH" confined stress-sanitized env LD_PRELOAD="$(g++ -print-file-name=libasan.so)" \
    PYTHONMALLOC=malloc \
    ASAN_OPTIONS="halt_on_error=1:detect_leaks=1:malloc_context_size=2:log_path=$reports/asan" \
    LSAN_OPTIONS="suppressions=$ROOT/reliability/lsan.supp:print_suppressions=0" \
    UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:log_path=$reports/ubsan" \
    PYTHONPATH="$sanitized:$TEST_PYTHONPATH" \
    "$venv/bin/python" "$ROOT/reliability/thread_stress.py" --seconds "$seconds" --reports "$reports" "${seed[@]}" \
    || status=$?
# Counted again once every process has ended: leak reports are written at exit.
count="$(sanitizer_reports "$reports")"
if [[ "$count" -ne 0 ]]; then status=1; fi
echo "sanitizer reports (all processes): $count"

if [[ "$plain_seconds" != "0" ]]; then
    echo "== plain build, Python 3.13, ${plain_seconds} s"
    PATH="$venv13/bin:$PATH" confined stress-plain env PYTHONPATH="$plain:$TEST_PYTHONPATH" \
        "$venv13/bin/python" "$ROOT/reliability/thread_stress.py" --seconds "$plain_seconds" "${seed[@]}" \
        || status=$?
fi
exit "$status"
