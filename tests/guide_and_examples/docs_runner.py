"""Runs the Python blocks of a document one after another in one namespace, as a reader typing them would.

    python docs_runner.py BLOCKS.json SETTINGS DATA_SOURCES

BLOCKS.json holds [[label, code, head], ...]. Head blocks (imports, warning filters) are the top lines of a
script: they run at this file's top level, so batch workers, which import this file again, run them too;
the guard keeps the workers from running the other blocks. The machine's settings files are SETTINGS and
DATA_SOURCES, which the module is pointed at before the first block that sets up, as a machine with the
files in their usual place needs no block for.
"""

import json
import sys

NAMESPACE = {"__name__": "__main__"}


def run(label, code):
    if __name__ == "__main__":
        print(f"--- {label}", flush=True)
    exec(compile(code, label, "exec"), NAMESPACE)


with open(sys.argv[1], encoding="utf-8") as blocks_file:
    BLOCKS = json.load(blocks_file)
for label, code, head in BLOCKS:
    if head:
        run(label, code)


def main(settings, data_sources):
    pointed = False
    for label, code, head in BLOCKS:
        if head:
            continue
        if not pointed and "setup_brivane_computer(" in code:
            import brivane_computer

            brivane_computer._settingsPath_, brivane_computer._dataSourcesPath_ = settings, data_sources
            pointed = True
        run(label, code)


if __name__ == "__main__":
    main(*sys.argv[2:])
