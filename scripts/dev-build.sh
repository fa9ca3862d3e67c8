#!/usr/bin/env bash
# A quick development build: compiles the module with CMake into BUILD_DIR
# (default build/dev) and lays out an importable package in BUILD_DIR/package.
# Use it with PYTHONPATH=BUILD_DIR/package; the wheel build of test.sh is the real one.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
build_dir="$(realpath -m "${1:-$ROOT/build/dev}")"
venv="$(make_venv build-3.10 3.10 "$ROOT/requirements/build.txt")"
PATH="$venv/bin:$PATH" cmake -S "$ROOT" -B "$build_dir" -G Ninja -DPython_EXECUTABLE="$venv/bin/python" \
    -DCMAKE_BUILD_TYPE="${BUILD_TYPE:-Debug}" ${CMAKE_ARGS:-} >/dev/null
PATH="$venv/bin:$PATH" cmake --build "$build_dir" >&2
package="$build_dir/package/brivane_computer"
mkdir -p "$package"
# The Python files of the packages, sub-packages included, where the wheel puts them.
(cd "$ROOT/src" && find brivane_computer brivane_cli \( -name '*.py' -o -name '*.pyi' -o -name py.typed \) \
    -exec cp --parents {} "$build_dir/package/" \;)
ln -sf "$build_dir"/brivane_core*.so "$package"/
echo "$build_dir/package"
