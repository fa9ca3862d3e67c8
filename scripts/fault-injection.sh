#!/usr/bin/env bash
# Fault injection: tests/fault_finding/test_fault_injection.py alone, against a development
# build, on Python 3.10 and 3.13 (BRIVANE_FAULT_PYTHONS="3.10" for one), each
# confined (sandbox build/confined/fault-injection-MINOR). Every
# host call of the file-handling functions fails in turn; prints the number of
# cases and of violated invariants ("data lost") per interpreter, and fails
# when pytest fails or any invariant was violated (known defects included).
# Extra arguments go to pytest.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
cd "$ROOT"

package="$("$ROOT/scripts/dev-build.sh" "$ROOT/build/dev-stress")"

status=0
summary=()
for minor in ${BRIVANE_FAULT_PYTHONS:-3.10 3.13}; do
    venv="$(make_venv "test-$minor" "$minor" "$ROOT/requirements/test.txt")"
    # The report is written inside the run's sandbox and read once the run has ended.
    file="$ROOT/build/confined/fault-injection-$minor/report.jsonl"
    echo "== Python $minor"
    PATH="$venv/bin:$PATH" confined "fault-injection-$minor" env BRIVANE_FAULT_REPORT="$file" \
        PYTHONPATH="$package:$TEST_PYTHONPATH" "$venv/bin/python" -m pytest tests/fault_finding/test_fault_injection.py \
        -q -p no:cacheprovider "$@" || status=$?
    read -r cases lost wrong < <("$venv/bin/python" - "$file" <<'EOF'
import json, os, sys
rows = []
if os.path.exists(sys.argv[1]):
    rows = [json.loads(line) for line in open(sys.argv[1], encoding="utf-8")]
lost = [r for r in rows if r["violations"]]
for r in lost:
    print(f"  data lost in {r['case']}: {'; '.join(r['violations'])}", file=sys.stderr)
print(len(rows), len(lost), sum(1 for r in rows if r["mismatches"]))
EOF
)
    summary+=("fault-injection cases: $cases, data lost: $lost (Python $minor; wrong outcomes: $wrong)")
    if [[ "$lost" -ne 0 || "$wrong" -ne 0 || "$cases" -eq 0 ]]; then status=1; fi
done
printf '%s\n' "${summary[@]}"
exit "$status"
