#!/usr/bin/env bash
# Cross-builds the Windows wheel, dist/brivane_computer-VERSION-cp310-abi3-win_amd64.whl, with zig's clang,
# which links the UCRT as python.org's CPython does; then compiles the module once more with MinGW-w64 GCC
# at -Werror for that compiler's diagnostics (its build links msvcrt and is not shipped).
#
# The interpreter's side comes from this machine and the project: the stable-ABI headers of the Linux
# CPython 3.10 with the project's Windows pyconfig.h (cross/windows/), and an import library for python3.dll
# made from the project's python3.def. scripts/check-windows.sh checks the wheel.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
cd "$ROOT"

say() { echo "build-windows: $*" >&2; }

packages=()
command -v x86_64-w64-mingw32-g++ >/dev/null || packages+=(g++-mingw-w64-x86-64-posix)
command -v x86_64-w64-mingw32-dlltool >/dev/null || packages+=(binutils-mingw-w64-x86-64)
if ((${#packages[@]})); then
    install_debian "the Windows cross-build" --no-install-recommends "${packages[@]}" || exit 1
fi
venv="$(make_venv windows-build-3.10 3.10 "$ROOT/requirements/windows-build.txt")"

kit="$ROOT/build/windows/python"
say "the interpreter's side for the cross-build in ${kit#"$ROOT"/}: 3.10 headers with cross/windows/pyconfig.h, libpython3.dll.a"
rm -rf "$kit"
mkdir -p "$kit"
headers="$("$(python_for 3.10)" -c 'import sysconfig; print(sysconfig.get_path("include"))')"
# Copies keep their times, so that a later run recompiles only what changed.
cp -pR "$headers" "$kit/include"
cp -p cross/windows/pyconfig.h "$kit/include/pyconfig.h"
x86_64-w64-mingw32-dlltool --input-def cross/windows/python3.def --dllname python3.dll \
    --output-lib "$kit/libpython3.dll.a"
python_hints=(-DPython_INCLUDE_DIR="$kit/include" -DPython_SABI_LIBRARY="$kit/libpython3.dll.a")

# zig builds its Windows C runtime and libc++ into its cache on first use: a few minutes, once per machine.
export BRIVANE_ZIG_PYTHON="$venv/bin/python"
rm -f dist/brivane_computer-*-win_amd64.whl
# A platform of its own: scikit-build-core would otherwise tag the wheel for this machine and share the Linux
# build folder.
settings=(--config-settings=cmake.toolchain-file=cross/windows/zig.cmake --config-settings=cmake.python-hints=false
          --config-settings=build-dir=build/windows/zig --config-settings=wheel.tags=cp310-abi3-win_amd64
          --config-settings=cmake.build-type=Release)
for hint in "${python_hints[@]}"; do settings+=(--config-settings="cmake.define.${hint#-D}"); done
PATH="$venv/bin:$PATH" with_progress "build-windows: the wheel with zig $("$venv/bin/python" -m ziglang version) (scikit-build-core, CMake)" \
    "$venv/bin/python" -m pip wheel -q --disable-pip-version-check --no-deps --no-build-isolation \
    -w dist "${settings[@]}" .
wheel="$(ls dist/brivane_computer-*-cp310-abi3-win_amd64.whl)"
say "built ${wheel#"$ROOT"/}"

gcc_build="$ROOT/build/windows/gcc"
PATH="$venv/bin:$PATH" with_progress "build-windows: the module with $(x86_64-w64-mingw32-g++ --version | head -n 1) at -Werror" \
    sh -c 'cmake -S "$1" -B "$2" -G Ninja --toolchain "$1/cross/windows/mingw-gcc.cmake" -DCMAKE_BUILD_TYPE=Release \
               "$3" "$4" >/dev/null && cmake --build "$2" >/dev/null' \
    cmake "$ROOT" "$gcc_build" "${python_hints[@]}"
say "MinGW-w64 GCC compiled and linked ${gcc_build#"$ROOT"/}/brivane_core.pyd without a warning"
