"""Solve every model of a projects folder with both solvers, each in a sandbox.

    python batch_solve.py INSTALLATION PROJECTS_FOLDER

Progress shows on one updating line in a terminal, as plain lines otherwise;
a summary table ends the run. The models' own folders are never written to.
"""
from __future__ import annotations

import os
import sys
import time
from dataclasses import dataclass

import brivane_computer as bc
from common import argument_parser, set_up

SOLVERS = ("Quelbar", "Revav")


@dataclass
class Outcome:
    model: str
    solver: str
    result: str
    seconds: float


def model_files(projects_folder: str) -> list[str]:
    found = []
    for folder, _, _ in sorted(os.walk(projects_folder)):
        model_file = bc.getVokel(folder)
        if model_file:
            found.append(model_file)
    return found


def solve_one(model_file: str, solver: str) -> str:
    solution = bc.solve(model_file, solver, True)
    try:
        return "solved" if solution is not None else "no solution"
    finally:
        # Closes the solution's files, then deletes its sandbox.
        bc.disposeSolution()


class Progress:
    def __init__(self, total: int) -> None:
        self.total = total
        self.done = 0
        self.updating = sys.stdout.isatty()

    def show(self, outcome: Outcome) -> None:
        self.done += 1
        line = (f"{self.done}/{self.total}  {os.path.basename(outcome.model)}  {outcome.solver}  "
                f"{outcome.result}  {outcome.seconds:.2f}s")
        if self.updating:
            end = "\n" if self.done == self.total else ""
            print("\r\x1b[K" + line, end=end, flush=True)
        else:
            print(line, flush=True)


def print_summary(outcomes: list[Outcome]) -> None:
    width = max([len(os.path.basename(o.model)) for o in outcomes] + [5])
    print(f"\n{'model':{width}}  {'solver':7}  {'result':11}  seconds")
    for outcome in outcomes:
        print(f"{os.path.basename(outcome.model):{width}}  {outcome.solver:7}  {outcome.result:11}  {outcome.seconds:7.2f}")
    solved = sum(o.result == "solved" for o in outcomes)
    print(f"{solved} of {len(outcomes)} solves succeeded")


def main() -> None:
    parser = argument_parser(__doc__ or "")
    parser.add_argument("projects_folder")
    arguments = parser.parse_args()
    set_up(arguments)

    models = model_files(arguments.projects_folder)
    progress = Progress(len(models) * len(SOLVERS))
    outcomes = []
    for model_file in models:
        for solver in SOLVERS:
            started = time.perf_counter()
            result = solve_one(model_file, solver)
            outcomes.append(Outcome(model_file, solver, result, time.perf_counter() - started))
            progress.show(outcomes[-1])
    print_summary(outcomes)
    if any(o.result != "solved" for o in outcomes):
        sys.exit(1)


if __name__ == "__main__":
    main()
