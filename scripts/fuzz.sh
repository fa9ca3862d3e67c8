#!/usr/bin/env bash
# Argument fuzzing of the module, on Python 3.10:
#  (a) the property-based suite tests/fault_finding/test_argument_fuzzing.py with its "ci" profile (every
#      function of the module, before and after set-up, 10,000 calls each) against the module built with
#      AddressSanitizer and UndefinedBehaviorSanitizer by g++ (build/fuzz-sanitize), as scripts/sanitize.sh runs;
#  (b) the coverage-guided fuzzer reliability/atheris_fuzz.py (argument handling, settings lookups, every
#      function before set-up) for FUZZ_SECONDS seconds (60; 1800 with --long) against the module built by clang
#      with libFuzzer coverage, ASan and UBSan (build/fuzz-clang), its corpus kept in build/fuzz-corpus.
# Each runs confined (sandboxes build/confined/fuzz-hypothesis and fuzz-atheris): reports, logs, new corpus
# inputs and crash artifacts are written there and read or copied out (build/fuzz-corpus, build/fuzz-artifacts)
# once the run has ended. Prints the calls made per function, failures, crashes and operations out of bounds
# (testkit/brivane_testkit/jail.py); exits non-zero on any of them.
#
#   scripts/fuzz.sh [--long] [--skip-hypothesis] [--skip-atheris]
# Environment: FUZZ_SECONDS, BRIVANE_FUZZ_EXAMPLES (examples per function and phase, 100 = 10,000 calls per
# function), BRIVANE_FUZZ_TRACE=FILE (every call of (a) written before it is made, the call of a crash:
# written in the sandbox, copied to FILE afterwards).
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
cd "$ROOT"

seconds="${FUZZ_SECONDS:-60}"
run_hypothesis=1
run_atheris=1
for argument in "$@"; do
    case "$argument" in
        --long) seconds="${FUZZ_SECONDS:-1800}" ;;
        --skip-hypothesis) run_hypothesis=0 ;;
        --skip-atheris) run_atheris=0 ;;
        *) echo "usage: $0 [--long] [--skip-hypothesis] [--skip-atheris]" >&2; exit 2 ;;
    esac
done

# clang 16: the module's C++20 (structured bindings captured by lambdas) needs it; bookworm's clang 14 rejects it.
CLANG=clang++-16
missing=()
command -v "$CLANG" >/dev/null 2>&1 || missing+=(clang-16)
compgen -G "/usr/lib/llvm-16/lib/clang/*/share/asan_ignorelist.txt" >/dev/null || missing+=(libclang-rt-16-dev)
if [[ "$run_atheris" -eq 1 && "${#missing[@]}" -ne 0 ]]; then
    install_debian "the coverage-guided fuzzer" "${missing[@]}" || {
        echo "(b) the coverage-guided fuzzer: skipped, clang 16 is missing" >&2
        run_atheris=0
    }
fi

venv="$(make_venv fuzz 3.10 "$ROOT/requirements/fuzz.txt")"
# The stand-in's native library, which the confined runs only use, is built with CMake.
export PATH="$venv/bin:$PATH"
status=0
summary_args=()

# --- (a) the property-based suite -------------------------------------------------------------------------------
if [[ "$run_hypothesis" -eq 1 ]]; then
    package="$(CMAKE_ARGS="-DBRIVANE_SANITIZE=ON" BUILD_TYPE=RelWithDebInfo "$ROOT/scripts/dev-build.sh" \
        "$ROOT/build/fuzz-sanitize")"
    sandbox="$ROOT/build/confined/fuzz-hypothesis"
    report="$sandbox/fuzz-report.json"
    trace=()
    if [[ -n "${BRIVANE_FUZZ_TRACE:-}" ]]; then trace=(BRIVANE_FUZZ_TRACE="$sandbox/trace.txt"); fi
    echo "=== (a) property-based argument and globals fuzzing: profile ci, gcc ASan/UBSan build ==="
    hypothesis_status=0
    # The bound is for a hang: the run itself takes 15 to 30 minutes on two cores, shared or not.
    confined fuzz-hypothesis env LD_PRELOAD="$(g++ -print-file-name=libasan.so)" PYTHONMALLOC=malloc \
        ASAN_OPTIONS="halt_on_error=1:detect_leaks=1:malloc_context_size=2:log_path=$sandbox/asan" \
        LSAN_OPTIONS="suppressions=$ROOT/reliability/lsan.supp:print_suppressions=0" \
        UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:log_path=$sandbox/ubsan" \
        BRIVANE_FUZZ_PROFILE=ci BRIVANE_FUZZ_REPORT="$report" "${trace[@]}" PYTHONPATH="$package:$TEST_PYTHONPATH" \
        timeout 3600 "$venv/bin/python" -m pytest tests/fault_finding/test_argument_fuzzing.py -q -p no:cacheprovider \
        || hypothesis_status=$?
    if [[ -n "${BRIVANE_FUZZ_TRACE:-}" && -f "$sandbox/trace.txt" ]]; then cp "$sandbox/trace.txt" "$BRIVANE_FUZZ_TRACE"; fi
    sanitizer_reports=$(sanitizer_reports "$sandbox")
    # pytest: 0 passed, 1 failures, anything else (a signal, an abort, a timeout) is the process dying.
    case "$hypothesis_status" in
        0) failures=0; crashes=0 ;;
        1) failures=1; crashes=0 ;;
        *) failures=0; crashes=1; echo "the test process died (status $hypothesis_status); rerun with" \
               "BRIVANE_FUZZ_TRACE=build/fuzz-trace.txt to see the last call" >&2 ;;
    esac
    [[ "$hypothesis_status" -eq 0 && "$sanitizer_reports" -eq 0 ]] || status=1
    summary_args+=(--hypothesis "$report" "$failures" "$crashes" "$sanitizer_reports")
fi

# --- (b) the coverage-guided fuzzer -----------------------------------------------------------------------------
if [[ "$run_atheris" -eq 1 ]]; then
    package="$(CMAKE_ARGS="-DCMAKE_CXX_COMPILER=$CLANG -DBRIVANE_FUZZ=ON" BUILD_TYPE=RelWithDebInfo \
        "$ROOT/scripts/dev-build.sh" "$ROOT/build/fuzz-clang")"
    corpus="$ROOT/build/fuzz-corpus"
    artifacts="$ROOT/build/fuzz-artifacts"
    sandbox="$ROOT/build/confined/fuzz-atheris"
    report="$sandbox/report.json"
    output="$sandbox/atheris.log"
    mkdir -p "$corpus" "$artifacts"
    runtime="$("$venv/bin/python" -c "import atheris; print(atheris.path())")/asan_with_fuzzer.so"
    echo "=== (b) coverage-guided fuzzing: atheris, ${seconds} s, clang libFuzzer/ASan/UBSan build ==="
    atheris_status=0
    # libFuzzer writes new inputs into its first corpus folder, in the sandbox, and reads the kept corpus
    # as its second; both folders must exist before it starts.
    confined fuzz-atheris bash -c 'mkdir -p "$BRIVANE_CONFINED/corpus" "$BRIVANE_CONFINED/artifacts" &&
                                   exec "$@" >"$BRIVANE_CONFINED/atheris.log" 2>&1' atheris \
        env LD_PRELOAD="$runtime" PYTHONMALLOC=malloc \
        ASAN_OPTIONS="halt_on_error=1:detect_leaks=0:allocator_may_return_null=1" \
        UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1" \
        BRIVANE_FUZZ_SANDBOX="$sandbox/jail" BRIVANE_FUZZ_FINDINGS="$sandbox/out-of-bounds" \
        BRIVANE_FUZZ_ATHERIS_REPORT="$report" PYTHONPATH="$package:$TEST_PYTHONPATH" \
        timeout $((seconds + 600)) "$venv/bin/python" reliability/atheris_fuzz.py -max_total_time="$seconds" \
        -timeout=60 -rss_limit_mb=4096 -print_final_stats=1 -artifact_prefix="$sandbox/artifacts/" \
        "$sandbox/corpus" "$corpus" || atheris_status=$?
    touch "$output" 2>/dev/null || true
    grep -E "^INFO: Loaded|^#[0-9]+ +DONE|^Done|^stat::number_of_executed_units|ERROR|SUMMARY|Uncaught" "$output" || true
    cp -n "$sandbox"/corpus/* "$corpus"/ 2>/dev/null || true
    found=$(find "$sandbox/artifacts" -type f 2>/dev/null | wc -l)
    if [[ "$found" -ne 0 ]]; then cp "$sandbox"/artifacts/* "$artifacts"/; fi
    if [[ "$atheris_status" -ne 0 || "$found" -ne 0 ]]; then
        tail -n 60 "$output" >&2
        echo "new artifacts in $artifacts: $found (atheris status $atheris_status)" >&2
        status=1
        [[ "$found" -ne 0 ]] || found=1
    fi
    summary_args+=(--atheris "$report" "$output" "$found" "$seconds")
fi

"$venv/bin/python" - "${summary_args[@]}" <<'EOF' || status=1
import json, re, sys

arguments = sys.argv[1:]
failed = []
while arguments:
    kind = arguments.pop(0)
    if kind == "--hypothesis":
        path, failures, crashes, reports = arguments[:4]
        del arguments[:4]
        try:
            with open(path, encoding="utf-8") as f:
                report = json.load(f)
        except (OSError, ValueError):
            report = {"calls": {}, "total": 0}
        calls = report["calls"]
        print(f"\n(a) property-based suite (hypothesis, profile {report.get('profile', '?')}, "
              f"{report.get('batch', '?')} calls per example, Python {report.get('python', '?')}):")
        for name, count in calls.items():
            returned = report.get("outcomes", {}).get(name, {}).get("returned", 0)
            print(f"    {name:26} {count:7} calls  ({returned} returned, {count - returned} raised)")
        least = min(calls.values()) if calls else 0
        print(f"    {'total':26} {report['total']:7} calls in {len(calls)} functions (fewest per function: {least})")
        print(f"    globals: {report.get('globals', 0)} given hostile values before every function: "
              f"{report.get('global_calls', 0)} calls")
        jail = report.get("jail", {})
        print(f"    operations out of bounds: {jail.get('out of bounds', '?')}   within bounds but refused outside the "
              f"sandbox: {jail.get('contained', '?')}   reads outside refused: {jail.get('refused reads', '?')}")
        print(f"    failures: {failures}   crashes: {crashes}   sanitizer reports: {reports}")
    elif kind == "--atheris":
        path, log, found, seconds = arguments[:4]
        del arguments[:4]
        try:
            with open(path, encoding="utf-8") as f:
                report = json.load(f)
        except (OSError, ValueError):
            report = {"inputs": 0, "calls": {}, "total": 0}
        with open(log, encoding="utf-8", errors="replace") as f:
            text = f.read()
        done = re.findall(r"#(\d+)\s+DONE\s+cov: (\d+) ft: (\d+) corp: (\d+)", text)
        counters = re.search(r"INFO: Loaded 1 modules\s+\((\d+) inline 8-bit counters\)", text)
        print(f"\n(b) coverage-guided fuzzer (atheris, {seconds} s):")
        if done:
            runs, cov, features, corpus = done[-1]
            print(f"    {runs} inputs, coverage {cov} of {counters.group(1) if counters else '?'} module edges"
                  f" ({features} features), corpus {corpus} inputs")
        calls = report["calls"]
        busiest = sorted(calls.items(), key=lambda item: -item[1])
        print("    calls per function: " + ", ".join(f"{name} {count}" for name, count in busiest))
        print(f"    total calls: {report['total']} in {report['inputs']} inputs;   crashes: {found}")
        print(f"    operations out of bounds: {report.get('out_of_bounds', '?')} in "
              f"{report.get('inputs_out_of_bounds', '?')} inputs;   within bounds but refused outside the sandbox: "
              f"{report.get('contained', '?')}")
        for violation in report.get("violations", []):
            print(f"      {violation}")
        if report.get("out_of_bounds", 1):
            failed.append("atheris: operations out of bounds (inputs kept in build/confined/fuzz-atheris/out-of-bounds)")
for failure in failed:
    print(f"\n{failure}")
sys.exit(1 if failed else 0)
EOF
echo
if [[ "$status" -eq 0 ]]; then echo "fuzzing: no failures"; else echo "fuzzing: FAILED"; fi
exit "$status"
