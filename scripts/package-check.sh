#!/usr/bin/env bash
# Proves the package as users get it: the wheel and the source distribution
# build the same package, the wheel installs without a network into fresh
# virtual environments of 3.10 and 3.13 and imports from any folder (confined:
# sandboxes build/confined/package-check-MINOR), the command line starts, brivane report prints without the
# extras and without the CLR bridge, the extras cluster and report install, and the typed examples, the batch
# and the command line pass mypy --strict as shipped.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
cd "$ROOT"

wheel="$(build_wheel)"
build_venv="$(make_venv build-3.10 3.10 "$ROOT/requirements/build.txt")"
rm -f "$ROOT"/dist/brivane_computer-*.tar.gz
PATH="$build_venv/bin:$PATH" "$build_venv/bin/python" -m build --sdist --no-isolation --outdir "$ROOT/dist" "$ROOT" >/dev/null
sdist="$(ls "$ROOT"/dist/brivane_computer-*.tar.gz)"
echo "built $(basename "$wheel") and $(basename "$sdist")"

scratch="$(mktemp -d)"
trap 'rm -rf "$scratch"' EXIT

# The source distribution builds a wheel with the same files.
PATH="$build_venv/bin:$PATH" "$build_venv/bin/python" -m pip wheel -qq --disable-pip-version-check \
    --no-deps --no-build-isolation -w "$scratch/from-sdist" "$sdist"
list_wheel() { "$build_venv/bin/python" -c 'import sys, zipfile; print("\n".join(sorted(n for n in zipfile.ZipFile(sys.argv[1]).namelist() if ".dist-info/" not in n)))' "$1"; }
shipped_files="$(list_wheel "$wheel")"
diff <(echo "$shipped_files") <(list_wheel "$scratch"/from-sdist/*.whl)
if grep -E -q '(^|/)(clr|pythoncom)\.py$|brivane_standin|\.(cpp|hpp)$' <<<"$shipped_files"; then
    echo "the wheel holds files it must not ship" >&2
    exit 1
fi
for shipped in brivane_computer/__init__.py brivane_computer/__init__.pyi brivane_computer/brivane_core.pyi \
               brivane_computer/py.typed brivane_computer/batch/__init__.py brivane_computer/__main__.py \
               brivane_cli/__init__.py brivane_cli/py.typed; do
    grep -q -x "$shipped" <<<"$shipped_files" || { echo "the wheel lacks $shipped" >&2; exit 1; }
done
echo "the source distribution builds the same wheel; the wheel ships only the package and its command line"

# Fresh environments, no network: the wheel and what it depends on from a folder, as on a machine without
# internet access. The CLR bridge and COM come from the stand-in, as on a user's machine they come from
# their own packages.
# With the extras cluster and report, whose dependencies have wheels for each interpreter.
for minor in 3.10 3.13; do
    "$build_venv/bin/python" -m pip download -qq --disable-pip-version-check --only-binary=:all: \
        --python-version "$minor" --dest "$scratch/wheels" "$wheel[cluster,report]"
done
test_venv="$(make_venv test-3.10 3.10 "$ROOT/requirements/test.txt")"
for minor in 3.10 3.13; do
    venv="$scratch/venv-$minor"
    "$(python_for "$minor")" -m venv "$venv"
    "$venv/bin/python" -m pip install -qq --disable-pip-version-check --no-index --find-links "$scratch/wheels" \
        "$wheel"
    PATH="$test_venv/bin:$PATH" confined "package-check-$minor" env -C / PYTHONPATH="$TEST_PYTHONPATH" \
        "$venv/bin/python" -W ignore::RuntimeWarning -c \
        'import brivane_computer as bc; assert bc.brivane_core.__file__.startswith(__import__("sys").prefix); print("Python", __import__("sys").version.split()[0], "imports", bc.__name__, "with", len(bc.__all__), "names")'
    # The command line, as a console script and as a module.
    PATH="$test_venv/bin:$PATH" confined "package-check-$minor" env -C / PYTHONPATH="$TEST_PYTHONPATH" bash -c \
        '"$1/bin/brivane" solve --help >/dev/null && "$1/bin/python" -W ignore::RuntimeWarning -m brivane_computer doctor --help >/dev/null' \
        - "$venv"
    # brivane report prints without the extra report, and without the CLR bridge (the stand-in left off the
    # path); its page says which extra it needs.
    PATH="$test_venv/bin:$PATH" confined "package-check-$minor" env -C / PYTHONPATH= bash -c \
        'report="$BRIVANE_CONFINED/night.jsonl"
         printf "%s\n" "{\"record\": \"batch\"}" "{\"record\": \"end\", \"seconds\": 1}" >"$report"
         printed="$("$1/bin/brivane" report "$report")" && grep -q "^0 models: none in 1.0 s$" <<<"$printed" || exit 1
         said="$("$1/bin/brivane" report "$report" --html "$BRIVANE_CONFINED/night.html" 2>&1 >/dev/null)"
         test $? -eq 2 && grep -q "pip install brivane_computer\[report\]" <<<"$said"' - "$venv" || {
        echo "brivane report does not print without the extra report, or its page does not name the extra" >&2
        exit 1
    }
    # The extras bring distributed and pygal, which the plain install above goes without.
    for module in distributed pygal; do
        if "$venv/bin/python" -c "import $module" 2>/dev/null; then
            echo "the wheel without its extras installed $module" >&2
            exit 1
        fi
    done
    "$venv/bin/python" -m pip install -qq --disable-pip-version-check --no-index --find-links "$scratch/wheels" \
        "$wheel[cluster]"
    "$venv/bin/python" -c 'import distributed' && "$venv/bin/python" -m pip check >/dev/null || {
        echo "the extra cluster did not install distributed and what it needs" >&2
        exit 1
    }
    "$venv/bin/python" -m pip install -qq --disable-pip-version-check --no-index --find-links "$scratch/wheels" \
        "$wheel[report]"
    "$venv/bin/python" -c 'import pygal' && "$venv/bin/python" -m pip check >/dev/null || {
        echo "the extra report did not install pygal and what it needs" >&2
        exit 1
    }
done
echo "the command line brivane starts from the installed wheel; its extras install distributed and pygal"

typing_venv="$(make_venv typing-3.10 3.10 "$ROOT/requirements/typing.txt")"
install_wheel "$typing_venv"
(cd "$ROOT/examples" && "$typing_venv/bin/python" -m mypy --strict --no-incremental .)
# The batch and the command line are typed inline, as installed.
(cd / && "$typing_venv/bin/python" -m mypy --strict --no-incremental -p brivane_computer.batch -p brivane_cli)
