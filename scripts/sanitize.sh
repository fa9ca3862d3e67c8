#!/usr/bin/env bash
# The module built with AddressSanitizer and UndefinedBehaviorSanitizer, and
# the whole test suite run against it on Python 3.10, confined (sandbox
# build/confined/sanitize); the first report stops the run and fails it. Extra
# arguments go to pytest.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
cd "$ROOT"

package="$(CMAKE_ARGS="-DBRIVANE_SANITIZE=ON" BUILD_TYPE=RelWithDebInfo "$ROOT/scripts/dev-build.sh" "$ROOT/build/sanitize")"
venv="$(make_venv test-3.10 3.10 "$ROOT/requirements/test.txt")"
sandbox="$ROOT/build/confined/sanitize"

status=0
# PYTHONMALLOC=malloc lets the sanitizer see every allocation; the interpreter is not instrumented, so the
# runtime is preloaded. Its reports go into the sandbox, the one place the run may write.
PATH="$venv/bin:$PATH" confined sanitize env LD_PRELOAD="$(g++ -print-file-name=libasan.so)" PYTHONMALLOC=malloc \
    ASAN_OPTIONS="halt_on_error=1:detect_leaks=1:malloc_context_size=2:log_path=$sandbox/asan" \
    LSAN_OPTIONS="suppressions=$ROOT/reliability/lsan.supp:print_suppressions=0" \
    UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:log_path=$sandbox/ubsan" \
    PYTHONPATH="$package:$TEST_PYTHONPATH" "$venv/bin/python" -m pytest tests -p no:cacheprovider "$@" || status=$?

reports=$(sanitizer_reports "$sandbox")
echo "sanitizer reports: $reports"
[[ "$status" -eq 0 && "$reports" -eq 0 ]]
