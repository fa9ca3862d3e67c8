#!/usr/bin/env bash
# Checks the Windows wheel of scripts/build-windows.sh as far as this machine can:
#   1. its tag and files, and the extension's PE image: it exports only PyInit_brivane_core and imports only
#      python3.dll, KERNEL32.dll and the UCRT's api-ms-win-crt-* sets, and from python3.dll exactly the names
#      of cross/windows/python3.def (cross/windows/check_wheel.py);
#   2. every imported Python symbol belongs to the stable ABI of 3.10 (abi3audit);
#   3. Wine loads the extension beside a stub python3.dll and calls PyInit_brivane_core: the definition it
#      returns has the module's name and its two slots, and no import is left unresolved;
#   4. the workflow of the native build is valid for GitHub and selects the builds meant.
# What none of this shows, a real import by CPython on Windows, the workflow .github/workflows/wheels.yml does.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
cd "$ROOT"

say() { echo "check-windows: $*" >&2; }

wheel="$(ls dist/brivane_computer-*-cp310-abi3-win_amd64.whl)" || {
    echo "check-windows: no Windows wheel in dist/: run ./scripts/build-windows.sh first" >&2
    exit 1
}
packages=()
command -v x86_64-w64-mingw32-gcc >/dev/null || packages+=(gcc-mingw-w64-x86-64-posix)
[[ -x /usr/lib/wine/wine64 ]] || packages+=(wine64)
wine=yes
if ((${#packages[@]})); then
    install_debian "the Wine loader check" --no-install-recommends "${packages[@]}" || wine=
fi
venv="$(make_venv windows-check-3.13 3.13 "$ROOT/requirements/windows-check.txt")"

say "1. tag, files and PE image of ${wheel#"$ROOT"/}"
"$venv/bin/python" cross/windows/check_wheel.py "$wheel" cross/windows/python3.def

say "2. stable ABI of 3.10 (abi3audit $("$venv/bin/abi3audit" --version | awk '{print $NF}'))"
report="$("$venv/bin/abi3audit" --strict --report "$wheel")"
"$venv/bin/python" - "$report" <<'EOF'
import json, sys
results = [r["result"] for spec in json.loads(sys.argv[1])["specs"].values() for r in spec["wheel"]]
assert [r["is_abi3"] for r in results] == [True], results
for result in results:
    assert result["baseline"] == "3.10" and not result["non_abi3_symbols"] and not result["future_abi3_objects"], result
    print(f"abi3audit: stable ABI {result['baseline']}, newest symbol from {result['computed']}, 0 violations")
EOF

say "3. Wine loads the extension beside a stub python3.dll and calls PyInit_brivane_core"
if [[ -z "$wine" ]]; then
    say "3. skipped: Wine or MinGW-w64's gcc is missing (the Debian packages are named above)"
else
    folder="$ROOT/build/windows/wine"
    rm -rf "$folder"
    mkdir -p "$folder"
    "$venv/bin/python" cross/windows/wine/stub_python3.py cross/windows/python3.def "$folder/stub_python3.c"
    x86_64-w64-mingw32-gcc -O2 -Wall -Werror -shared -o "$folder/python3.dll" "$folder/stub_python3.c" \
        cross/windows/python3.def
    x86_64-w64-mingw32-gcc -O2 -Wall -Werror -municode -DPy_LIMITED_API=0x030A0000 \
        -I build/windows/python/include -o "$folder/loader.exe" cross/windows/wine/loader.c
    "$venv/bin/python" -c 'import sys, zipfile; open(sys.argv[2], "wb").write(zipfile.ZipFile(sys.argv[1]).read("brivane_computer/brivane_core.pyd"))' \
        "$wheel" "$folder/brivane_core.pyd"
    # Wine keeps its prefix in HOME, inside the sandbox, and its server's socket in /tmp/.wine-UID, a fixed place
    # (the repository itself may lie under /tmp): the folder is made here, empty, and inside the confinement a
    # private tmpfs is mounted on it. The first run makes the prefix (a few seconds). The results stay in the sandbox.
    sandbox="$ROOT/build/confined/windows-wine"
    wine_server="/tmp/.wine-$(id -u)"
    mkdir -p -m 700 "$wine_server"
    with_progress "check-windows: running the loader under Wine (confined)" \
        confined windows-wine sh -c 'mount -t tmpfs -o size=16m,mode=700 tmpfs "$2" && cp -R "$1" "$BRIVANE_CONFINED/run" &&
            cd "$BRIVANE_CONFINED/run" && WINEPREFIX="$HOME/wine" WINEDLLOVERRIDES="mscoree,mshtml=" WINEDEBUG=warn+module \
            /usr/lib/wine/wine64 loader.exe brivane_core.pyd >loader.out 2>wine.log; echo $? >status' \
        sh "$folder" "$wine_server" || true
    # Windows writes text with CRLF line ends.
    output="$(tr -d "\r" <"$sandbox/run/loader.out" 2>/dev/null || true)"
    status="$(cat "$sandbox/run/status" 2>/dev/null || echo none)"
    expected=$'name brivane_computer.brivane_core\ndoc (null)\nsize 0\nmethods (null)\nslots create exec'
    unresolved="$(grep -a 'No implementation for' "$sandbox/run/wine.log" || true)"
    if [[ "$status" != 0 || "$output" != "$expected" || -n "$unresolved" ]]; then
        echo "check-windows: the loader test failed (exit status $status)" >&2
        echo "--- loader output:"$'\n'"$output"$'\n'"--- expected:"$'\n'"$expected" >&2
        [[ -z "$unresolved" ]] || echo "--- unresolved imports:"$'\n'"$unresolved" >&2
        echo "--- Wine's log: ${sandbox#"$ROOT"/}/run/wine.log" >&2
        exit 1
    fi
    say "the loader got the module definition: ${output//$'\n'/; }; no unresolved import"
fi
say "4. the workflow of the native build (not run here): GitHub's workflow schema and cibuildwheel's selection"
"$venv/bin/check-jsonschema" --builtin-schema vendor.github-workflows .github/workflows/wheels.yml
selected="$(cd "$ROOT/build" && "$venv/bin/cibuildwheel" --print-build-identifiers --platform windows "$ROOT")"
if [[ "$selected" != $'cp310-win_amd64\ncp313-win_amd64' ]]; then
    echo "check-windows: cibuildwheel would build and test ${selected//$'\n'/ }, not cp310-win_amd64 and cp313-win_amd64" >&2
    exit 1
fi
say "cibuildwheel selects ${selected//$'\n'/ }: the wheel built with 3.10, tested with 3.10 and 3.13"
checked="every check"
[[ -n "$wine" ]] || checked="every check but Wine's"
say "$checked passed; the real import by CPython runs only on Windows (.github/workflows/wheels.yml)"
