#!/usr/bin/env bash
# The integration run: the module driven through the real CLR bridge (pythonnet)
# on Mono, against the C# stand-in of the product (standin-dotnet/), and the same
# suite through the project's Python stand-in, both checked against one table of
# behaviour (integration/behaviour.py).
#
#   ./scripts/integration.sh [pytest arguments...]
#
# Installs Mono from the distribution's archive when missing (as root; anyone
# else is told the packages, and the Mono bridge's run is skipped), builds the module
# into build/dev-mono and the assemblies into build/integration-mono, and runs
# the test root integration/ (its own conftest.py, which refuses to run
# unconfined) in a virtual environment of its own (.venv/integration-3.10),
# confined (sandboxes build/confined/integration-BRIDGE). PYTHONPATH gives the
# bridge: standin/ for the stand-in's; for Mono's, a folder with the stand-in's
# pythoncom and helpers but not its clr, which would shadow the real one.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
cd "$ROOT"

# Mono: runtime, compiler, the embedding library pythonnet loads, WindowsBase
# (System.Windows.Point) and the netstandard facade pythonnet's runtime needs.
packages=(mono-runtime mono-mcs libmonosgen-2.0-1 libmono-windowsbase4.0-cil mono-devel)
bridges=(standin mono)
if ! command -v mcs >/dev/null || ! command -v mono >/dev/null || ! ldconfig -p | grep -q libmonosgen-2.0 ||
   [[ ! -f /usr/lib/mono/4.5/Facades/netstandard.dll || ! -f /usr/lib/mono/4.5/WindowsBase.dll ]]; then
    install_debian "the real CLR bridge on Mono" "${packages[@]}" || bridges=(standin)
fi

venv="$(make_venv integration-3.10 3.10 "$ROOT/requirements/integration.txt")"
package="$(./scripts/dev-build.sh "$ROOT/build/dev-mono" 2>/dev/null | tail -n 1)"
assemblies="$ROOT/build/integration-mono/assemblies"
if [[ " ${bridges[*]} " == *" mono "* ]]; then standin-dotnet/build.sh "$assemblies" >/dev/null; fi
com="$ROOT/build/integration-mono/com"
rm -rf "$com"
mkdir -p "$com"
cp standin/pythoncom.py "$com/"
ln -s "$ROOT/standin/brivane_standin" "$com/brivane_standin"

if command -v mono >/dev/null; then mono --version | head -n 1; fi
echo "pythonnet $("$venv/bin/python" -c 'from importlib.metadata import version; print(version("pythonnet"))')"

status=0
if [[ " ${bridges[*]} " != *" mono "* ]]; then
    echo "== the module through the mono bridge: skipped, Mono is missing (its Debian packages are named above)"
fi
for bridge in "${bridges[@]}"; do
    echo "== the module through the ${bridge} bridge"
    if [[ "$bridge" == standin ]]; then platform="$ROOT/standin"; else platform="$com"; fi
    PATH="$venv/bin:$PATH" confined "integration-$bridge" env BRIVANE_BRIDGE="$bridge" \
        BRIVANE_STANDIN_ASSEMBLIES="$assemblies" PYTHONNET_RUNTIME=mono \
        PYTHONPATH="$package:$platform:$ROOT/testkit" \
        timeout 600 "$venv/bin/python" -W "ignore:Hosting Mono versions before" -m pytest -q -p no:cacheprovider \
        integration "$@" || status=1
done
exit "$status"
