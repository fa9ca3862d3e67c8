"""Writes the C source of a stub python3.dll for the loader test: every name of
python3.def, functions that stop the process if the module calls them while
loading, data as plain storage, and a PyModuleDef_Init that hands back the
definition. The stub is linked with the same .def, so it exports exactly those names.

    python stub_python3.py python3.def stub.c
"""

import sys


def main(definition_file, output):
    lines = [
        "#include <stdio.h>",
        "#include <stdlib.h>",
        "",
        "static void unexpected(const char* name) {",
        '    printf("unexpected call %s\\n", name);',
        "    fflush(stdout);",
        "    exit(3);",
        "}",
        "",
        "void* PyModuleDef_Init(void* definition) { return definition; }",
    ]
    with open(definition_file, encoding="ascii") as f:
        names = [line.split() for line in f if line.startswith("    ")]
    for name, *kind in names:
        if kind == ["DATA"]:
            lines.append(f"void* {name}[8];")
        elif name != "PyModuleDef_Init":
            lines.append(f'void {name}(void) {{ unexpected("{name}"); }}')
    with open(output, "w", encoding="ascii") as f:
        f.write("\n".join(lines) + "\n")


if __name__ == "__main__":
    main(*sys.argv[1:])
