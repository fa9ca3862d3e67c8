"""The checks of a batch's input, all made before anything starts: no worker, no report line, no folder.

``check_input`` is the one entry step. Each rule is a small function that
raises ``BatchInputError`` (``BatchInputNotFound`` for a file or folder that
does not exist) with one line that says what the value is and what is
expected; a collection of models given as one path is a ``TypeError``. The
command line only turns these into a line and exit status 2.
"""

from __future__ import annotations

import contextlib
import json
import ntpath
import os
import tempfile
from collections.abc import Iterable
from dataclasses import dataclass, fields, replace
from decimal import Decimal
from numbers import Real
from typing import Any

from ._errors import BatchInputError, BatchInputNotFound
from ._files import NotRegularFile, TooLarge, is_regular_or_absent, read_regular
from ._identity import identity
from ._messages import SOLVERS
from ._models import FoundModel, ModelSource, find_models, model_sources
from ._module_facts import MODULES, module_name, settings_paths
from ._outputs import check_report_file, check_results_folder
from .report import ModelResult, ReportError, check_page_file, last_outcomes

# Windows waits on at most 63 handles at once, and the batch waits on two for each worker.
MAX_JOBS = 31
MAX_RETRIES = 100
# A settings file of the product is a few kilobytes: a larger one is not one.
SETTINGS_LIMIT = 16 << 20
# Replacing a worker after each model is the least; the most is only a bound on what is sensible.
MAX_MODELS_PER_WORKER = 1_000_000
# A week: longer waits overflow the timers of the system's waits.
MAX_TIMEOUT = 7 * 24 * 3600
# The settings files as set-up reads them: (role, parameter, option).
_SETTINGS_FILES = (("settings file", "settings", "--settings"), ("data-sources file", "data_sources", "--data-sources"))


@dataclass(frozen=True)
class Options:
    """A batch's options, which ``solve_many`` takes by keyword: the one list of them, with their defaults.
    ``check_input`` gives them back checked: numbers in range, paths absolute, the module by name, the
    settings files' default paths filled in."""

    solver: str
    sandbox: bool = True
    module: Any = "Pelorix"
    settings: str | None = None
    data_sources: str | None = None
    jobs: int = 1
    timeout: float | None = None
    retries: int = 0
    results: str | None = None
    report: str | None = None
    resume: bool = False
    progress: bool = True
    executor: Any = None
    max_models_per_worker: int | None = None
    html: str | None = None
    max_failures: int | None = None


OPTION_NAMES = tuple(option.name for option in fields(Options))


@dataclass(frozen=True)
class BatchInput:
    """A batch's input once checked: the models found, the installation, the options, and what the checks
    learnt on the way."""

    models: list[FoundModel]
    installation: str
    options: Options
    # On a cluster, {address: threads} of its workers.
    workers: dict[str, int] | None
    # With resume, {normalised model path: its last outcome that was not a skip} of the report.
    earlier: dict[str, ModelResult]


def options_given(caller: str, given: dict[str, Any]) -> Options:
    """The options given by keyword to ``caller``; a name that is not an option, or a missing solver, is the
    ``TypeError`` of a call with a wrong keyword."""
    for name in given:
        if name not in OPTION_NAMES:
            raise TypeError(f"{caller}() got an unexpected keyword argument {name!r}")
    if "solver" not in given:
        raise TypeError(f"{caller}() missing 1 required keyword-only argument: 'solver'")
    return Options(**given)


def check_input(models: Iterable[ModelSource], installation: str, given: Options, probe: bool = True) -> BatchInput:
    """Every rule of ``solve_many``'s input, cheapest first; raises at the first that fails. Without ``probe``
    (a dry run, which writes nothing) no file is made to show that an output's folder can be written."""
    sources = model_sources(models)
    if given.solver not in SOLVERS:
        raise BatchInputError(f"unknown solver {given.solver!r}: use 'Revav' or 'Quelbar' (letter case counts)")
    jobs = _whole("jobs", given.jobs, 1, MAX_JOBS)
    retries = _whole("retries", given.retries, 0, MAX_RETRIES)
    timeout = _timeout(given.timeout)
    max_models = given.max_models_per_worker
    if max_models is not None:
        max_models = _whole("max_models_per_worker", max_models, 1, MAX_MODELS_PER_WORKER)
    max_failures = given.max_failures
    if max_failures is not None:
        max_failures = _whole("max_failures", max_failures, 1, MAX_MODELS_PER_WORKER)
    if given.resume and given.report is None:
        raise BatchInputError(
            "resume needs the report of the earlier batch (report=FILE)",
            "--resume needs --report FILE, the report of the earlier batch",
        )
    default_settings, default_data_sources = settings_paths()
    settings = given.settings if given.settings is not None else default_settings
    data_sources = given.data_sources if given.data_sources is not None else default_data_sources
    workers = None
    if given.executor is None:
        installation = check_installation(installation, settings, data_sources)
    else:
        # The installation is the workers': each checks it as it sets up.
        workers = _cluster(given.executor, jobs)
    found = find_models(sources)
    if not found:
        raise BatchInputError(f"no model files (.vokel) found in {', '.join(map(str, sources)) or 'no path'}")
    report = _report_file(given.report, probe)
    if report is not None:
        check_report_file(report, [model.path for model in found])
    results = _results_folder(given.results, probe)
    if results is not None:
        named = [os.fspath(source) for source in sources if not isinstance(source, FoundModel)]
        check_results_folder(results, {os.path.dirname(model.path) for model in found} | set(named))
    page = check_page_file(given.html, probe) if given.html is not None else None
    if page is not None and report is not None and _same_file(page, report):
        raise BatchInputError(f"the page {page} is the report: give the page a name of its own")
    earlier = _earlier(report) if given.resume and report and os.path.exists(report) and os.path.getsize(report) else {}
    options = replace(
        given,
        sandbox=bool(given.sandbox),
        module=_module(given.module),
        settings=settings,
        data_sources=data_sources,
        jobs=jobs,
        timeout=timeout,
        retries=retries,
        results=results,
        report=report,
        resume=bool(given.resume),
        progress=bool(given.progress),
        max_models_per_worker=max_models,
        html=page,
        max_failures=max_failures,
    )
    return BatchInput(found, installation, options, workers, earlier)


def _same_file(one: str, other: str) -> bool:
    if os.path.normcase(one) == os.path.normcase(other):
        return True
    return os.path.exists(one) and os.path.exists(other) and identity(one) == identity(other)


def _whole(name: str, value: Any, least: int, most: int) -> int:
    if isinstance(value, bool) or not isinstance(value, int) or not least <= value <= most:
        raise BatchInputError(
            f"{name} must be a whole number from {least} to {most}, not {value!r}",
            f"{_option(name)} must be a whole number from {least} to {most}, not {value!r}",
        )
    return int(value)


def _option(name: str) -> str:
    """The option of brivane solve that gives the argument ``name``."""
    return "--" + name.replace("_", "-")


def _timeout(value: Any) -> float | None:
    if value is None:
        return None
    # Any real number: a Decimal is one, though the numbers module does not say so.
    seconds = None
    if not isinstance(value, bool) and isinstance(value, (Real, Decimal)):
        with contextlib.suppress(ValueError, OverflowError):
            seconds = float(value)
    # Written so that nan fails too.
    if seconds is None or not 0 < seconds <= MAX_TIMEOUT:
        raise BatchInputError(
            f"timeout must be None or a number of seconds above 0 and at most {MAX_TIMEOUT} (a week), not {value!r}",
            f"--timeout must be a number of seconds above 0 and at most {MAX_TIMEOUT} (a week), not {value!r}",
        )
    return seconds


def _module(value: Any) -> str:
    name = module_name(value)
    if name is None:
        raise BatchInputError(
            f"module must be a BrivaneModule member or its name ({', '.join(MODULES)}), not {value!r}"
        )
    return name


def check_installation(installation: Any, settings: Any, data_sources: Any) -> str:
    """The rules of the machine that solves: the installation folder holds Extensions, and the settings files
    (unless None) are UTF-8 JSON files. Checked before a batch starts on this machine, and by each worker of
    a cluster as it sets up. Returns the installation's absolute path."""
    path = _installation(installation)
    for (role, parameter, option), file in zip(_SETTINGS_FILES, (settings, data_sources)):
        if file is not None:
            _settings_file(role, parameter, option, file)
    return path


def _path(what: str, value: Any) -> str:
    path = os.fspath(value) if isinstance(value, (str, os.PathLike)) else None
    if not isinstance(path, str) or not path:
        raise BatchInputError(f"the {what} must be a path given as text or a path object, not {value!r}")
    if "\0" in path:
        raise BatchInputError(f"the {what} {path!r} holds a NUL character, which no file name can")
    # A Windows path where this system is not Windows (the product's default settings paths) is shown as it is
    # written, not joined to the current folder; it names nothing here.
    if ntpath.isabs(path) and not os.path.isabs(path):
        return path
    return os.path.abspath(path)


def _installation(value: Any) -> str:
    path = _path("installation folder", value)
    if not os.path.exists(path):
        raise BatchInputNotFound(
            f"the installation folder {path} does not exist: give the Pelorix installation "
            "folder, the one that holds Extensions"
        )
    if not os.path.isdir(path):
        raise BatchInputError(
            f"the installation folder {path} is a file, not a folder: give the Pelorix "
            "installation folder, the one that holds Extensions"
        )
    if not os.path.isdir(os.path.join(path, "Extensions")):
        raise BatchInputError(f"the installation folder {path} has no Extensions folder: is it a Pelorix installation?")
    return path


def _settings_file(role: str, parameter: str, option: str, value: Any) -> None:
    """A settings file as set-up reads it: a file, UTF-8, JSON."""
    path = _path(role, value)

    def bad(kind: type[BatchInputError], message: str) -> BatchInputError:
        # Where to give the file: the argument, or on the command line the option.
        return kind(
            message.format(where=f"give its place with {parameter}="),
            message.format(where=f"give its place with {option}"),
        )

    if not os.path.exists(path):
        raise bad(BatchInputNotFound, f"the {role} {path} does not exist: {{where}}")
    if os.path.isdir(path):
        raise bad(BatchInputError, f"the {role} {path} is a folder, not a file: {{where}}")
    try:
        text = read_regular(path, SETTINGS_LIMIT).decode("utf-8")
        json.loads(text)
    except NotRegularFile:
        raise bad(
            BatchInputError, f"the {role} {path} is not a regular file (a FIFO or a device, say): {{where}}"
        ) from None
    except OSError as error:
        raise BatchInputError(f"the {role} {path} cannot be read ({error.strerror or error})") from None
    except UnicodeDecodeError as error:
        raise BatchInputError(
            f"the {role} {path} is not UTF-8 text (byte {error.object[error.start]:#04x} at "
            f"position {error.start}): save it as UTF-8 without BOM"
        ) from None
    except TooLarge:
        raise bad(
            BatchInputError,
            f"the {role} {path} is larger than {SETTINGS_LIMIT >> 20} MiB: not a settings "
            "file of the product; {where}",
        ) from None
    except ValueError as error:
        raise BatchInputError(f"the {role} {path} is not valid JSON ({error}): restore the product's file") from None


def _cluster(executor: Any, jobs: int) -> dict[str, int]:
    try:
        from distributed import Client

        is_client = isinstance(executor, Client)
    except ImportError:  # then nothing is a Client
        is_client = False
    if not is_client:
        raise BatchInputError(f"executor must be a distributed.Client, not {type(executor).__name__}")
    if jobs != 1:
        raise BatchInputError(
            "jobs counts worker processes of this machine: with an executor, each of its "
            "workers solves one model at a time (leave jobs at 1)"
        )
    from .cluster import cluster_workers

    try:
        return cluster_workers(executor)
    except ValueError as error:
        raise BatchInputError(str(error)) from None


def _report_file(value: Any, probe: bool) -> str | None:
    """The report's path, once a probe has shown that it can be written."""
    if value is None:
        return None
    path = _path("report", value)
    if os.path.isdir(path):
        raise BatchInputError(f"the report {path} is a folder, not a file: give a file name")
    if not is_regular_or_absent(path):
        raise BatchInputError(f"the report {path} is not a regular file (a FIFO or a device, say): give a file name")
    if os.path.exists(path):
        try:
            # Opened to append, and closed with nothing written: the file stays as it was.
            os.close(os.open(path, os.O_WRONLY | os.O_APPEND))
        except OSError as error:
            raise BatchInputError(f"the report {path} cannot be written ({error.strerror or error})") from None
        return path
    folder = _existing_folder("report", path, os.path.dirname(path))
    if folder != os.path.dirname(path):
        raise BatchInputNotFound(f"the report {path} cannot be made: its folder {os.path.dirname(path)} does not exist")
    if probe:
        _probe("report", path, folder)
    return path


def _results_folder(value: Any, probe: bool) -> str | None:
    if value is None:
        return None
    path = _path("results folder", value)
    if os.path.exists(path) and not os.path.isdir(path):
        raise BatchInputError(f"the results folder {path} is a file, not a folder")
    folder = _existing_folder("results folder", path, path)
    if probe:
        _probe("results folder", path, folder)
    return path


def _existing_folder(what: str, path: str, folder: str) -> str:
    """``folder``, or its nearest ancestor that exists, which must be a folder."""
    while not os.path.exists(folder) and os.path.dirname(folder) != folder:
        folder = os.path.dirname(folder)
    if not os.path.isdir(folder):
        raise BatchInputError(f"the {what} {path} lies below {folder}, which is a file, not a folder")
    return folder


def _probe(what: str, path: str, folder: str) -> None:
    """Makes and removes a file in ``folder``: whether the batch can write there, leaving nothing behind."""
    try:
        handle, probe = tempfile.mkstemp(prefix=".brivane-probe-", dir=folder)
    except OSError as error:
        raise BatchInputError(f"the {what} {path} cannot be written in {folder} ({error.strerror or error})") from None
    os.close(handle)
    os.remove(probe)


def _earlier(report: str) -> dict[str, ModelResult]:
    try:
        return last_outcomes(report)
    except ReportError as error:
        raise BatchInputError(f"{error}: resume needs a report of this batch") from None
