"""Run the batch command line, then read its report to list the models that need an engineer.

    python nightly_batch.py INSTALLATION PLANT_FOLDER REPORT_FILE

It runs what one would type:

    brivane solve INSTALLATION PLANT_FOLDER --solver Quelbar --jobs 2 --timeout 1800 --retries 1
                  --report REPORT_FILE --resume

Run it again after an interruption or a fix: models already solved, and unchanged since, are skipped.
The report is JSON Lines, one record per line; this script reads it with nothing but the json module.
"""
from __future__ import annotations

import json
import subprocess
import sys

from common import argument_parser


def main() -> None:
    parser = argument_parser(__doc__ or "")
    parser.add_argument("plant_folder")
    parser.add_argument("report_file")
    arguments = parser.parse_args()

    command = [sys.executable, "-m", "brivane_computer", "solve", arguments.installation, arguments.plant_folder,
               "--solver", "Quelbar", "--jobs", "2", "--timeout", "1800", "--retries", "1",
               "--report", arguments.report_file, "--resume"]
    for option, value in (("--settings", arguments.settings), ("--data-sources", arguments.data_sources)):
        if value:
            command += [option, value]
    status = subprocess.call(command)
    if status not in (0, 1):
        sys.exit(status)  # bad input (2) or Ctrl-C (130): the command said why

    # Every run appends to the report; a model's last record that is not "skipped" is its latest outcome.
    latest: dict[str, dict[str, object]] = {}
    with open(arguments.report_file, encoding="utf-8") as report:
        for line in report:
            record = json.loads(line)
            if record["record"] == "model" and record["status"] != "skipped":
                latest[record["path"]] = record
    attention = [r for r in latest.values() if r["status"] != "solved"]
    print(f"{len(latest) - len(attention)} of {len(latest)} models solved")
    for record in attention:
        print(f"needs attention: {record['path']} ({record['status']}: {record['error_message']})")
    sys.exit(1 if attention else 0)


if __name__ == "__main__":
    main()
