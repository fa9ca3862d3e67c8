#!/usr/bin/env bash
# The lint and format gate, the first step of CI:
#   ruff check and ruff format --check over the Python (the settings: pyproject.toml's [tool.ruff]);
#   clang-format --dry-run --Werror over the C and C++ (.clang-format).
# The tools are pinned in requirements/lint.txt; .pre-commit-config.yaml runs the same versions for a
# contributor's commits, which is checked here too.
#
#   ./scripts/lint.sh          checks with each tool and changes nothing; fails when any of them finds something
#   ./scripts/lint.sh --fix    applies what the tools can: ruff check --fix, ruff format, clang-format -i
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
cd "$ROOT"

fix=
case "${1:-}" in
    "") ;;
    --fix) fix=yes ;;
    *) echo "usage: $0 [--fix]" >&2; exit 2 ;;
esac
venv="$(make_venv lint-3.10 3.10 "$ROOT/requirements/lint.txt")"
mapfile -t native < <(git ls-files '*.cpp' '*.hpp' '*.c' '*.h')

while read -r pin; do
    grep -q -F "\"$pin\"" .pre-commit-config.yaml || {
        echo "lint: .pre-commit-config.yaml does not pin $pin, as requirements/lint.txt does" >&2
        exit 1
    }
done < <(grep -E '^[A-Za-z0-9_.-]+==' requirements/lint.txt)

if [[ -n "$fix" ]]; then
    "$venv/bin/ruff" check --fix --quiet . || true
    "$venv/bin/ruff" format --quiet .
    "$venv/bin/clang-format" -i "${native[@]}"
    echo "lint: fixed what the tools could; what is left:" >&2
fi
failed=()
"$venv/bin/ruff" check --quiet . || failed+=("ruff check")
"$venv/bin/ruff" format --check --quiet . || failed+=("ruff format --check")
"$venv/bin/clang-format" --dry-run --Werror "${native[@]}" || failed+=("clang-format")
if [[ "${#failed[@]}" -ne 0 ]]; then
    said="${failed[0]}"
    for tool in "${failed[@]:1}"; do said+=", $tool"; done
    echo "lint: failed: $said (./scripts/lint.sh --fix applies what the tools can)" >&2
    exit 1
fi
echo "lint: $(git ls-files '*.py' '*.pyi' | wc -l) Python files (ruff $("$venv/bin/ruff" --version | cut -d' ' -f2)) and ${#native[@]} C and C++ files ($("$venv/bin/clang-format" --version | grep -o 'version [0-9.]*')) pass"
