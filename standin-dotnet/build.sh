#!/usr/bin/env bash
# Builds the .NET stand-in of the product's assemblies with Mono's C# compiler:
#   standin-dotnet/build.sh OUT_DIR
# writes OUT_DIR/Brivane.SDK.dll ... Brivane.Revav.Core.dll. Every assembly gets
# its own internal copy of the helpers in Support/.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
out="$(realpath -m "${1:?usage: build.sh OUT_DIR}")"
mkdir -p "$out"

build() {  # build NAME "REFERENCES..."
    local name="$1" refs=() ref
    for ref in $2; do
        case "$ref" in
            Brivane.*) refs+=("-r:$out/$ref.dll") ;;
            *) refs+=("-r:$ref") ;;
        esac
    done
    mcs -target:library -nologo -warnaserror+ -nowarn:1591 -optimize+ \
        -out:"$out/$name.dll" "${refs[@]}" "$here/Support/"*.cs "$here/$name/"*.cs
}

build Brivane.SDK "System.Core"
build Brivane.Helper "Brivane.SDK"
build Brivane.Pelorix.Core "System.Core Brivane.SDK"
build Brivane.Pelorix.Project "System.Core WindowsBase Brivane.SDK"
build Brivane.Quelbar.Core "System.Core Brivane.SDK Brivane.Pelorix.Core"
build Brivane.Revav.Core "System.Core Brivane.SDK Brivane.Pelorix.Core"
ls "$out"/Brivane.*.dll
