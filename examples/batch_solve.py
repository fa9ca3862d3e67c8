"""Solve every model of a projects folder in worker processes, each in a sandbox.

    python batch_solve.py INSTALLATION PROJECTS_FOLDER [--solver Quelbar] [--jobs 2] [--results DIR]

Each worker process sets the module up once, so this script does not. Progress shows as a bar in a
terminal and as one line per model otherwise; the run ends with one line of counts, then a table of the
models that failed or timed out, if any. The models' own folders are never written to; with --results, the
files that each solve wrote are kept there, one folder per model.
"""

from __future__ import annotations

import sys

from brivane_computer.batch import find_models, solve_many
from common import argument_parser


def main() -> None:
    parser = argument_parser(__doc__ or "")
    parser.add_argument("projects_folder")
    parser.add_argument("--solver", choices=("Quelbar", "Revav"), default="Quelbar")
    parser.add_argument("--jobs", type=int, default=2, help="models solved at once")
    parser.add_argument("--results", help="folder that keeps what each solve wrote")
    arguments = parser.parse_args()

    models = find_models([arguments.projects_folder])
    report = solve_many(
        models,
        arguments.installation,
        solver=arguments.solver,
        jobs=arguments.jobs,
        settings=arguments.settings,
        data_sources=arguments.data_sources,
        timeout=1800,
        retries=1,
        results=arguments.results,
    )
    print(report.summary())
    for model in report.models:
        print(f"{model.status}: {model.path} wrote {', '.join(model.results) or 'nothing'}")
    sys.exit(0 if report.ok else 1)


# Each worker starts a fresh interpreter that imports this script: the guard keeps it from starting a
# batch of its own.
if __name__ == "__main__":
    main()
