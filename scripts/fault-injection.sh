#!/usr/bin/env bash
# Fault injection: tests/test_fault_injection.py alone, against a development
# build, on Python 3.10 and 3.13 (BRIVANE_FAULT_PYTHONS="3.10" for one). Every
# host call of the file-handling functions fails in turn; prints the number of
# cases and of violated invariants ("data lost") per interpreter, and fails
# when pytest fails or any invariant was violated (known defects included).
# Extra arguments go to pytest.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
cd "$ROOT"

package="$("$ROOT/scripts/dev-build.sh" "$ROOT/build/dev-stress")"
report="$(mktemp -d)"
trap 'rm -rf "$report"' EXIT

status=0
summary=()
for minor in ${BRIVANE_FAULT_PYTHONS:-3.10 3.13}; do
    venv="$(make_venv "test-$minor" "$minor" "$ROOT/requirements/test.txt")"
    file="$report/$minor.jsonl"
    : >"$file"
    echo "== Python $minor"
    BRIVANE_FAULT_REPORT="$file" PYTHONPATH="$package" PATH="$venv/bin:$PATH" \
        "$venv/bin/python" -m pytest tests/test_fault_injection.py -q -p no:cacheprovider "$@" || status=$?
    read -r cases lost wrong < <("$venv/bin/python" - "$file" <<'EOF'
import json, sys
rows = [json.loads(line) for line in open(sys.argv[1], encoding="utf-8")]
lost = [r for r in rows if r["violations"]]
for r in lost:
    print(f"  data lost in {r['case']}: {'; '.join(r['violations'])}", file=sys.stderr)
print(len(rows), len(lost), sum(1 for r in rows if r["mismatches"]))
EOF
)
    summary+=("fault-injection cases: $cases, data lost: $lost (Python $minor; wrong outcomes: $wrong)")
    if [[ "$lost" -ne 0 || "$wrong" -ne 0 ]]; then status=1; fi
done
printf '%s\n' "${summary[@]}"
exit "$status"
