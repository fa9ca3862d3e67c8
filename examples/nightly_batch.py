"""Run the batch command line, then read its report to list the models that need an engineer.

    python nightly_batch.py INSTALLATION PLANT_FOLDER REPORT_FILE

It runs what one would type:

    brivane solve INSTALLATION PLANT_FOLDER --solver Quelbar --jobs 2 --timeout 1800 --retries 1
                  --report REPORT_FILE --resume

Run it again after an interruption or a fix: models already solved, and unchanged since, are skipped.
Every run appends to the report; read_report(..., runs="all") gives each model's latest outcome.
"""

from __future__ import annotations

import subprocess
import sys

from brivane_computer.batch import SKIPPED, SOLVED, read_report
from common import argument_parser


def main() -> None:
    parser = argument_parser(__doc__ or "")
    parser.add_argument("plant_folder")
    parser.add_argument("report_file")
    arguments = parser.parse_args()

    command = [
        sys.executable,
        "-m",
        "brivane_computer",
        "solve",
        arguments.installation,
        arguments.plant_folder,
        "--solver",
        "Quelbar",
        "--jobs",
        "2",
        "--timeout",
        "1800",
        "--retries",
        "1",
        "--report",
        arguments.report_file,
        "--resume",
    ]
    for option, value in (("--settings", arguments.settings), ("--data-sources", arguments.data_sources)):
        if value:
            command += [option, value]
    status = subprocess.call(command)
    if status not in (0, 1):
        sys.exit(status)  # bad input (2) or Ctrl-C (130): the command said why

    # Each model's last outcome that was not a skip, over every run of the report.
    latest = read_report(arguments.report_file, runs="all").models
    attention = [model for model in latest if model.status not in (SOLVED, SKIPPED)]
    print(f"{len(latest) - len(attention)} of {len(latest)} models solved")
    for model in attention:
        print(f"needs attention: {model.path} ({model.status}: {model.error_message})")
    sys.exit(1 if attention else 0)


if __name__ == "__main__":
    main()
