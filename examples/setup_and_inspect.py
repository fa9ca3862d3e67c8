"""Set up against an installation and look at what it offers.

python setup_and_inspect.py "C:\\Program Files\\Brivane\\Pelorix 2031.1"
"""

from __future__ import annotations

import json

import brivane_computer as bc
from common import argument_parser, set_up

PRODUCT_CLASSES = ("Model", "Layer", "CommandController", "ProjectViewModel", "QuelbarSolver", "RevavSolver")


def main() -> None:
    arguments = argument_parser(__doc__ or "").parse_args()
    set_up(arguments)
    print("installation:    ", bc._exePath_)
    print("assemblies from: ", bc._dllPath_)
    print("loaded:          ", ", ".join(bc._dlls_))
    print("Revav solver:    ", bc._Revav_ or "(not configured)")
    print("Quelbar solver:  ", bc._Quelbar_ or "(not configured)")
    print("data folder:     ", bc._dataPath_)
    print("projects folder: ", bc._projectPath_)

    print("\nwhere the product's classes live:")
    for name in PRODUCT_CLASSES:
        namespace, assembly = bc.findNameSpaceAndAssembly(name)
        print(f"  {name:18} {namespace or '-':26} {assembly or 'not in this installation'}")

    description = json.loads(bc.inspectClass(bc.createPipingVokel(), True))
    properties = ", ".join(p["Name"] for p in description.get("Properties", []))
    print(f"\na new piping model has the properties: {properties}")


if __name__ == "__main__":
    main()
