"""The files the benchmark works on, made once per run in one folder.

installation/   a stand-in installation (set-up runs on it)
listing/        10,000 regular files, for find_first_file
big_model/      a 200 MB model file with its fre file and a thf file, for the sandboxed solve
small_files/    5,000 small files in 10 sub-folders, for copyDirectoryToTemp
layout.json     what the cases need to know about the above
"""

import json
import os

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)

LISTING_ENTRIES = 10_000
BIG_MODEL_BYTES = 200 * 1024 * 1024
SMALL_FILES = 5_000
SMALL_FOLDERS = 10
SETTINGS_FAMILIES = 10_000


def settings_document():
    """A settings document of 10,000 families whose two solver families sit near the end."""
    families = [
        {
            "Name": f"FAMILY {index:05d}",
            "SubFamilies": [{"Name": "GENERAL", "Settings": [{"Name": "OPTION", "Value": str(index)}]}],
        }
        for index in range(SETTINGS_FAMILIES - 2)
    ]
    families.insert(
        SETTINGS_FAMILIES - 12,
        {
            "Name": "REVAV",
            "SubFamilies": [
                {"Name": "VIEW", "Settings": [{"Name": "COLOUR", "Value": "Blue"}]},
                {"Name": "PATH", "Settings": [{"Name": "WINDOWS SOLVER PATH", "Value": "C:\\Solvers\\revav.exe"}]},
            ],
        },
    )
    families.insert(
        SETTINGS_FAMILIES - 4,
        {
            "Name": "QUELBAR",
            "SubFamilies": [
                {
                    "Name": "PATH",
                    "Settings": [
                        {"Name": "SOLVER PATH", "Value": "C:\\Solvers\\quelbar.exe"},
                        {"Name": "TIMEOUT", "Value": "600"},
                    ],
                }
            ],
        },
    )
    # The document as the settings file would give it: parsed JSON.
    return json.loads(json.dumps({"Version": 3, "Families": families}))


def _listing(folder):
    os.makedirs(folder)
    for index in range(LISTING_ENTRIES):
        with open(os.path.join(folder, f"entry_{index:05d}.dat"), "wb") as f:
            f.write(b"x")
    # The directory order is the file system's: only the entry listed last gets an ending of its own.
    names = os.listdir(folder)
    last = names[-1]
    return {
        "folder": folder,
        "entries": len(names),
        "last": last,
        "ending_last": last[len("entry") :].lower(),
        "ending_none": ".thf",
    }


def _big_model(folder):
    os.makedirs(folder)
    model = os.path.join(folder, "model.vokel")
    block = os.urandom(1024 * 1024)
    with open(model, "wb") as f:
        for _ in range(BIG_MODEL_BYTES // len(block)):
            f.write(block)
    fre = os.path.join(folder, "model.fre")
    with open(fre, "w", encoding="utf-8") as f:
        f.write("STANDIN-FRE 1\nmodule=Pelorix\nelements=0\n")
    thf = os.path.join(folder, "loads.thf")
    with open(thf, "w", encoding="utf-8") as f:
        f.write("thf\n")
    return {"model": model, "fre": fre, "thf": thf}


def _small_files(folder):
    per_folder = SMALL_FILES // SMALL_FOLDERS
    payload = b"small file\n" * 10
    for sub in range(SMALL_FOLDERS):
        sub_folder = os.path.join(folder, f"part_{sub:02d}")
        os.makedirs(sub_folder)
        for index in range(per_folder):
            with open(os.path.join(sub_folder, f"file_{index:04d}.txt"), "wb") as f:
                f.write(payload)
    return {"folder": folder, "files": SMALL_FILES}


def build(directory):
    """Makes every fixture under `directory` (which must be empty) and returns the layout."""
    from brivane_standin.installation import create_installation

    installation = create_installation(os.path.join(directory, "installation"))
    layout = {
        "installation": installation._asdict(),
        "listing": _listing(os.path.join(directory, "listing")),
        "big_model": _big_model(os.path.join(directory, "big_model")),
        "small_files": _small_files(os.path.join(directory, "small_files")),
    }
    with open(os.path.join(directory, "layout.json"), "w", encoding="utf-8") as f:
        json.dump(layout, f, indent=1)
    return layout


def load(directory):
    with open(os.path.join(directory, "layout.json"), encoding="utf-8") as f:
        return json.load(f)
