"""Checks the Windows wheel as a Windows interpreter would meet it: its tag and
files, and the extension's PE image (what it exports, which DLLs and which
symbols of python3.dll it imports).

    python check_wheel.py [--msvc] WHEEL python3.def

--msvc: the wheel was built with MSVC, whose code also imports its runtime
VCRUNTIME140.dll (python.org's CPython ships it beside python.exe).

Prints what it checked; exits non-zero with the first difference found.
"""

import pathlib
import re
import sys
import zipfile

import pefile

EXTENSION = "brivane_computer/brivane_core.pyd"
# The extension, and the packages' Python files, stubs and markers as the sources hold them.
SOURCES = pathlib.Path(__file__).resolve().parents[2] / "src"
PACKAGE_FILES = {EXTENSION} | {
    path.relative_to(SOURCES).as_posix()
    for path in SOURCES.rglob("*")
    if path.is_file()
    and (path.suffix in (".py", ".pyi") or path.name == "py.typed")
    and "__pycache__" not in path.parts
}
TAG = "cp310-abi3-win_amd64"
# The stable ABI's DLL, the system's and the UCRT's API sets: what python.org's CPython itself imports.
ALLOWED_DLL = r"python3\.dll|kernel32\.dll|api-ms-win-crt-[a-z]+-l1-1-0\.dll"
MSVC_RUNTIME = r"|vcruntime140\.dll"


def fail(message):
    sys.exit(f"check_wheel: {message}")


def definition_names(path):
    with open(path, encoding="ascii") as f:
        return {line.split()[0] for line in f if line.startswith("    ")}


def check_files(wheel):
    if not wheel.filename.endswith(f"-{TAG}.whl"):
        fail(f"{wheel.filename} is not tagged {TAG}")
    names = set(wheel.namelist())
    info = {n for n in names if ".dist-info/" in n}
    tags = re.findall(r"^Tag: (.*)$", wheel.read(next(n for n in info if n.endswith("/WHEEL"))).decode(), re.M)
    if tags != [TAG]:
        fail(f"the WHEEL file says {tags}, not [{TAG!r}]")
    if names - info != PACKAGE_FILES:
        fail(
            f"files differ from the package's: extra {sorted(names - info - PACKAGE_FILES)}, "
            f"missing {sorted(PACKAGE_FILES - names)}"
        )
    print(f"tag {TAG}; files: {', '.join(sorted(PACKAGE_FILES))}")


def check_image(image, definition, allowed=ALLOWED_DLL):
    if image.FILE_HEADER.Machine != pefile.MACHINE_TYPE["IMAGE_FILE_MACHINE_AMD64"] or not image.is_dll():
        fail("the extension is not a 64-bit x86 DLL")
    exports = [e.name.decode() for e in getattr(image, "DIRECTORY_ENTRY_EXPORT").symbols]
    if exports != ["PyInit_brivane_core"]:
        fail(f"exports {exports}, not only PyInit_brivane_core")
    imports = {entry.dll.decode(): {i.name.decode() for i in entry.imports} for entry in image.DIRECTORY_ENTRY_IMPORT}
    foreign = sorted(dll for dll in imports if not re.fullmatch(allowed, dll, re.IGNORECASE))
    if foreign:
        fail(f"imports from {foreign}: only python3.dll, KERNEL32.dll and the UCRT's api-ms-win-crt-* sets")
    if "python3.dll" not in imports:
        fail("imports nothing from python3.dll")
    python = imports["python3.dll"]
    if python != definition:
        fail(
            f"python3.dll imports differ from python3.def: not listed {sorted(python - definition)}, "
            f"not imported {sorted(definition - python)}"
        )
    print("exports PyInit_brivane_core only; imports " + ", ".join(sorted(imports, key=str.lower)))
    print(f"imports exactly the {len(python)} names of python3.def from python3.dll")


def main(arguments):
    msvc = arguments[:1] == ["--msvc"]
    wheel_path, definition_path = arguments[msvc:]
    with zipfile.ZipFile(wheel_path) as wheel:
        check_files(wheel)
        image = pefile.PE(data=wheel.read(EXTENSION))
    check_image(image, definition_names(definition_path), ALLOWED_DLL + MSVC_RUNTIME * msvc)


if __name__ == "__main__":
    main(sys.argv[1:])
