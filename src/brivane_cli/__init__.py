"""The command line ``brivane`` (also ``python -m brivane_computer``).

    brivane solve INSTALLATION MODEL_OR_FOLDER... --solver Revav|Quelbar [options]
    brivane solve ... --scheduler tls://HOST:PORT --tls-ca FILE --tls-cert FILE --tls-key FILE
    brivane solve ... --dry-run
    brivane doctor INSTALLATION [--settings FILE] [--data-sources FILE]
    brivane report FILE [--all] [--html OUT] [--against OLD] [--json] [--junit FILE]
    brivane --version

It lives outside the package ``brivane_computer``, and only a command that
solves on this machine loads the package's native module, which needs the
CLR bridge: ``brivane report`` and ``brivane solve --scheduler`` run where the
bridge is missing, and ``brivane doctor`` says when it is what is missing.
"""

from __future__ import annotations

import argparse
import os
import shlex
import signal
import subprocess
import sys
import warnings
from collections.abc import Sequence
from types import ModuleType
from typing import Any

from ._cluster import Scheduler, SchedulerInputError, close, connect, scheduler
from ._doctor import doctor
from ._output import show
from ._report import ReportInputError, add_report_command, report
from ._signals import exit_status, stop_signals_handled

__all__ = ["main"]


DESCRIPTION = "Solve many Pelorix models unattended, check an installation, and read what a batch did."
SOLVE_HELP = """\
Solve every model given, each by itself, in worker processes: progress shows while it runs; at the end,
one line of counts, then a table of the models that failed or timed out, if any. By default each model is
solved in a throw-away copy of its files (a sandbox), so the model's own folder is never written to; the
files that the solve added or changed are listed in the report and, with --results, kept.

With --scheduler the models are solved on a Dask cluster instead, one at a time by each of its workers
(run each with one thread), which set up on INSTALLATION as it is on their machine, with --settings and
--data-sources as given. The models and --results must then be paths that every worker and this machine
see alike (\\\\server\\share\\...). The connection must be TLS with a private certificate authority
(tls://HOST:PORT with --tls-ca, --tls-cert and --tls-key); a plain tcp:// scheduler is accepted only on
this machine, or with --insecure. The command waits 30 s for the scheduler (Dask's setting
distributed.comm.timeouts.connect). It needs the extra: pip install brivane_computer[cluster].

A stop signal ends the batch in order, as Ctrl-C does: it stops handing out models, ends the workers (and
whatever their solves started), closes the report with an end record that says what stopped it, and
removes its temporary folders. Each worker also ends by itself within 2 s when this command is gone,
however it ended.

Every model given ends with an outcome: solved, failed, timed out, skipped (--resume), or, when the batch
is stopped, stopped (it was being solved) or not started. Output that cannot be shown (a closed pipe or
terminal) only ends the progress and the summary; the batch goes on as it would have.

exit status: 0 every model solved (or skipped by --resume), 1 some model failed or timed out, or the batch
crashed (its report says why), 2 the command cannot start (bad input), 130 stopped with Ctrl-C, 143 with
SIGTERM, 129 with SIGHUP, 149 with Ctrl-Break (the report keeps every model's outcome).
"""
DOCTOR_HELP = """\
Check an installation the way set-up uses it: the installation and Extensions folders, the settings and
data-sources files, the solver paths they give, the product's assemblies, the native solver library and
the CLR bridge; then run set-up. One line per check says what to do about a failure.

exit status: 0 set-up succeeds (lines marked warn only limit what can be solved), 1 set-up would fail.
"""


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> None:  # type: ignore[override]
        # One line: the usage block would bury what is wrong.
        self.exit(2, f"{self.prog}: {message}\n")


# The options' values are only converted here: the batch checks their ranges, as for any caller.
def _whole(text: str) -> int:
    try:
        return int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a whole number, got {text!r}") from None


def _seconds(text: str) -> float:
    try:
        return float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a number of seconds, got {text!r}") from None


def _parser() -> argparse.ArgumentParser:
    parser = _Parser(prog="brivane", description=DESCRIPTION)
    parser.add_argument("--version", action="version", version=f"brivane {_version()}")
    # Checked after the parse, so that an unknown option is told as such, not as a missing command.
    commands = parser.add_subparsers(dest="command", metavar="COMMAND")

    solve = commands.add_parser(
        "solve", help="solve many models", description=SOLVE_HELP, formatter_class=argparse.RawDescriptionHelpFormatter
    )
    solve.add_argument(
        "installation", metavar="INSTALLATION", help="the Pelorix installation folder, the one that holds Extensions"
    )
    solve.add_argument(
        "models",
        metavar="MODEL_OR_FOLDER",
        nargs="+",
        help="model files (.vokel), and folders whose model files below are all solved",
    )
    solve.add_argument(
        "--solver",
        required=True,
        metavar="Revav|Quelbar",
        help="the solver of piping models (structure models always use Revav); its path must be "
        "set in the product's settings",
    )
    solve.add_argument(
        "--in-place",
        action="store_true",
        help="solve each model in its own folder, where the solver writes its files; models of "
        "one folder share its fre and .thf files, so they are solved one after the other",
    )
    solve.add_argument(
        "--jobs",
        type=_whole,
        metavar="N",
        help="models solved at once (default 1); each worker is a product instance of its own, "
        "with its memory and possibly a licence seat; not with --scheduler, where the "
        "cluster's workers decide",
    )
    solve.add_argument(
        "--timeout",
        type=_seconds,
        metavar="S",
        help="seconds one solve may take; a longer solve is stopped and its model marked "
        "'timed out' (default: no limit)",
    )
    solve.add_argument(
        "--retries",
        type=_whole,
        default=0,
        metavar="K",
        help="times a failed or timed-out model is solved again, at once (default 0); a model "
        "that does not load, or whose solver refuses its input, is not",
    )
    solve.add_argument(
        "--max-failures",
        type=_whole,
        metavar="N",
        help="stop in order once N models failed or timed out: those being solved finish, the rest "
        "are not started (default: no limit)",
    )
    solve.add_argument(
        "--max-models-per-worker",
        type=_whole,
        metavar="N",
        help="replace a worker (on a cluster, a worker's solver child) after N models, releasing "
        "the memory that a product instance grows to hold over hundreds of models "
        "(default: no limit)",
    )
    solve.add_argument(
        "--results",
        metavar="DIR",
        help="copy the files that each solve added or changed to DIR/<model>/, <model> being the "
        "model's path below the folder it was found in (or its name), the same folder in "
        "later runs; a folder of another model's or of someone else's files is left alone "
        "(<model>-2 is taken); DIR must lie outside the models' folders; without it, sandbox "
        "results are only listed and in-place results stay beside the model",
    )
    solve.add_argument(
        "--report",
        metavar="FILE",
        help="write the report to FILE (JSON Lines, one line per model, written as models finish); "
        "an earlier report in FILE keeps its runs, this one is added after them; any other "
        "file that is not empty is refused",
    )
    solve.add_argument(
        "--resume",
        action="store_true",
        help="with --report: skip the models that FILE marks solved with the same solver and mode, "
        "as long as every input of their solve is unchanged (the model file, its fre file "
        "and its first .thf file, by content), and add to FILE",
    )
    solve.add_argument(
        "--html",
        metavar="OUT",
        help="write a page to OUT when the batch ends, however it ends: the summary, the models' "
        "table, a timeline of the worker slots and the solve times (as brivane report --html; "
        "needs the extra: pip install brivane_computer[report])",
    )
    solve.add_argument(
        "--dry-run",
        action="store_true",
        help="list each model, the results folder it would get and whether --resume would solve "
        "or skip it; start nothing and write nothing (the CLR bridge is not needed)",
    )
    solve.add_argument("--quiet", action="store_true", help="show no progress (the summary still comes at the end)")
    _settings_options(solve)
    cluster = solve.add_argument_group("on a Dask cluster")
    cluster.add_argument(
        "--scheduler",
        metavar="ADDRESS",
        help="solve on the workers of the Dask scheduler at ADDRESS: tls://HOST:PORT, or "
        "tcp://HOST:PORT on this machine or with --insecure (no scheme means tcp); "
        "INSTALLATION, --settings and --data-sources are then not checked here, they "
        "must exist on every worker",
    )
    cluster.add_argument(
        "--tls-ca",
        metavar="FILE",
        help="with tls://: the certificate (PEM) of the authority that signed the scheduler's, "
        "the workers' and this machine's certificates",
    )
    cluster.add_argument(
        "--tls-cert", metavar="FILE", help="with tls://: this machine's certificate (PEM), signed by that authority"
    )
    cluster.add_argument("--tls-key", metavar="FILE", help="with tls://: the private key of --tls-cert (PEM)")
    cluster.add_argument(
        "--insecure",
        action="store_true",
        help="accept a plain tcp:// scheduler on another machine; anyone who can reach it runs "
        "code on every worker, so only on a network you trust",
    )

    check = commands.add_parser(
        "doctor",
        help="check an installation before solving",
        description=DOCTOR_HELP,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    check.add_argument(
        "installation", metavar="INSTALLATION", help="the Pelorix installation folder, the one that holds Extensions"
    )
    _settings_options(check)
    add_report_command(commands)
    return parser


def _settings_options(parser: argparse.ArgumentParser) -> None:
    parser.add_argument(
        "--settings",
        metavar="FILE",
        help="the product's Pelorix.settings, when it is not in its usual place under ProgramData",
    )
    parser.add_argument(
        "--data-sources", metavar="FILE", help="the product's DataSources.settings, when it is not in its usual place"
    )


def _version() -> str:
    from brivane_computer.batch.report import package_version

    # A development build that was not installed has no version to tell.
    return package_version() or "(not installed)"


class _BadInput(Exception):
    """What the command cannot start with: one line, exit status 2."""


def main(argv: Sequence[str] | None = None) -> int:
    """Runs the command line; returns the exit status."""
    parser = _parser()
    arguments = parser.parse_args(argv)
    if arguments.command is None:
        parser.error("choose a command: solve, doctor or report (brivane --help says what each does)")
    arguments.argv = list(sys.argv[1:] if argv is None else argv)
    try:
        if arguments.command == "doctor":
            return doctor(arguments.installation, arguments.settings, arguments.data_sources)
        if arguments.command == "report":
            return report(_import_batch(None), arguments)
        return _solve(arguments)
    except (_BadInput, SchedulerInputError, ReportInputError) as error:
        show(f"brivane {arguments.command}: {error}", sys.stderr)
        return 2
    except KeyboardInterrupt as stop:
        show("brivane: stopped", sys.stderr)
        return exit_status(getattr(stop, "number", signal.SIGINT))


def _solve(arguments: argparse.Namespace) -> int:
    cluster = _cluster_options(arguments)
    if arguments.dry_run:
        # Nothing is solved: no worker, no cluster, no native module.
        return _dry_run(_import_batch(None), arguments)
    batch = _import_batch(arguments.installation if cluster is None else None)
    with stop_signals_handled(batch.StopSignal):
        return _run(batch, arguments, cluster)


def _options(arguments: argparse.Namespace) -> dict[str, Any]:
    """solve_many's options from the command's."""
    return dict(
        solver=arguments.solver,
        sandbox=not arguments.in_place,
        settings=arguments.settings,
        data_sources=arguments.data_sources,
        timeout=arguments.timeout,
        retries=arguments.retries,
        results=arguments.results,
        report=arguments.report,
        resume=arguments.resume,
        max_models_per_worker=arguments.max_models_per_worker,
        html=arguments.html,
        max_failures=arguments.max_failures,
        progress=not arguments.quiet,
    )


def _dry_run(batch: ModuleType, arguments: argparse.Namespace) -> int:
    options = {name: value for name, value in _options(arguments).items() if name not in ("progress", "html")}
    try:
        planned = batch.dry_run(
            arguments.models,
            arguments.installation,
            **options,
            **({} if arguments.jobs is None else {"jobs": arguments.jobs}),
        )
    except batch.BatchInputError as error:
        raise _BadInput(error.command_line) from None
    for model in planned:
        where = f"  -> {model.results_folder}" if model.results_folder else ""
        show(f"{'would ' + model.action:11}  {model.path}{where}")
    to_solve = sum(1 for model in planned if model.action == "solve")
    show(
        f"{len(planned)} model{'' if len(planned) == 1 else 's'}: {to_solve} to solve, {len(planned) - to_solve} "
        "to skip (nothing was started or written)"
    )
    return 0


def _run(batch: ModuleType, arguments: argparse.Namespace, cluster: Any) -> int:
    client = connect(cluster) if cluster is not None else None
    # On a cluster its workers decide how many models are solved at once.
    jobs = 1 if arguments.jobs is None else arguments.jobs
    spread: dict[str, Any] = {"executor": client} if client is not None else {"jobs": jobs}
    try:
        report = batch.solve_many(arguments.models, arguments.installation, **_options(arguments), **spread)
    except batch.BatchInputError as error:
        # Bad input, a report or results folder that the batch may not write to among it, found before any
        # worker started; said in the command's words.
        raise _BadInput(error.command_line) from None
    except batch.BatchCrashed as crashed:
        # One line of what ended it, then every model's outcome.
        show(f"brivane solve: {crashed}", sys.stderr)
        if crashed.report is not None:
            show(crashed.report.summary())
        return 1
    except batch.BatchInterrupted as interrupted:
        show(interrupted.report.summary())
        how = "Ctrl-C" if interrupted.signal == signal.SIGINT else signal.Signals(interrupted.signal).name
        show(f"brivane solve: stopped by {how}; the report keeps every model's outcome", sys.stderr)
        _after(arguments, interrupted.report)
        return exit_status(interrupted.signal)
    finally:
        if client is not None:
            close(client)
    show(report.summary())
    _after(arguments, report)
    return 0 if report.ok else 1


def _after(arguments: argparse.Namespace, report: Any) -> None:
    """Where the page went, and the command that solves again only the models that did not solve."""
    if arguments.html is not None:
        show(f"page: {os.path.abspath(arguments.html)}")
    rerun = rerun_command(arguments, report)
    if rerun:
        show(f"to solve again only the models that did not solve:\n  {rerun}")


def rerun_command(arguments: argparse.Namespace, report: Any) -> str | None:
    """The command that solves again only the models of ``report`` that did not solve: the same command with
    --resume, which skips what solved, when there is a report; else the same options with those models."""
    left = [model.path for model in report.models if model.status not in ("solved", "skipped")]
    if not left:
        return None
    if arguments.report is not None:
        words = list(arguments.argv) + ([] if arguments.resume else ["--resume"])
    else:
        given = set(arguments.models)
        words = [word for word in arguments.argv if word not in given or word == arguments.installation]
        at = words.index(arguments.installation) + 1 if arguments.installation in words else 1
        words[at:at] = left
    words = [word for word in words if word != "--dry-run"]
    quoted = subprocess.list2cmdline(words) if sys.platform == "win32" else shlex.join(words)
    return f"brivane {quoted}"


def _cluster_options(arguments: argparse.Namespace) -> Scheduler | None:
    """The scheduler that the options name, or None; the options of a cluster only go with --scheduler."""
    if arguments.scheduler is None:
        given = [
            option
            for option, value in (
                ("--tls-ca", arguments.tls_ca),
                ("--tls-cert", arguments.tls_cert),
                ("--tls-key", arguments.tls_key),
                ("--insecure", arguments.insecure),
            )
            if value
        ]
        if given:
            raise _BadInput(f"{', '.join(given)}: only with --scheduler")
        return None
    if arguments.jobs is not None:
        raise _BadInput(
            "--jobs: not with --scheduler, where the cluster's workers decide how many models are solved at once"
        )
    return scheduler(arguments.scheduler, arguments.tls_ca, arguments.tls_cert, arguments.tls_key, arguments.insecure)


def _import_batch(installation: str | None) -> ModuleType:
    """The batch; with the ``installation`` of a batch solved on this machine, also the native module, which
    its workers load: one line now rather than every worker failing to set up."""
    import brivane_computer.batch as batch

    if installation is None:
        return batch
    try:
        with warnings.catch_warnings():
            # A newer interpreter than the module's warns once; the command has nothing to do about it.
            warnings.simplefilter("ignore", RuntimeWarning)
            import brivane_computer.brivane_core  # noqa: F401
    except Exception as error:
        raise _BadInput(
            f"the module brivane_computer.brivane_core does not load ({type(error).__name__}: "
            f"{error}): run brivane doctor {installation}"
        ) from None
    return batch
