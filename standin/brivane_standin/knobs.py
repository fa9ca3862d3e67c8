"""Behaviour and fault knobs of the stand-in.

Tests change the attributes of the single object :data:`knobs` and call
``knobs.reset()`` afterwards. Processes that a test only starts (the batch's
workers) take their knobs from the environment: ``BRIVANE_STANDIN_KNOBS``
holds a JSON object of knob names and values, applied at every reset.
"""

import json
import os

ENVIRONMENT = "BRIVANE_STANDIN_KNOBS"


class Knobs:
    """Plain attributes read by the stand-in at every call.

    raise_on
        dict "Target.member" -> exception instance.  The journaled call with
        that name records itself and then raises the exception, before doing
        anything else.  Names follow the journal: "QuelbarSolver..ctor",
        "Model.SaveToFile", "Thread.set_CurrentCulture", "clr.AddReference",
        "pythoncom.CoUninitialize", ...
    settings_controller_missing
        ``BrivaneApplication.GetSettingsController()`` returns None.
    quelbar_run_result
        None: ``QuelbarSolver.Run()`` behaves naturally; an int: Run returns
        it (a non-zero value writes no results file).
    revav_run_result
        The same for ``RevavSolver.Run()``.
    revav_build_result
        None: ``RevavSolver.BuildAnalysisModel()`` behaves naturally; an int:
        it returns that value (a negative one builds nothing).
    quelbar_analysis_model_missing
        ``QuelbarSolver.GetAnalysisModel()`` returns None even after a
        successful run.
    default_culture
        Name of the initial CurrentCulture and CurrentUICulture of every
        .NET thread object (default "fr-FR", so a change to "en-US" shows).
    fail_writes_after
        None, or a number of bytes: every file the product writes (model,
        fre, project, results files) stops after that many bytes of its
        temporary file and raises ``System.IO.IOException``; the target file
        is left as it was and the temporary file is removed.
    solve_seconds
        Seconds that every solver ``Run()`` waits before it works.
    solve_waits_for
        None, or a file that every ``Run()`` waits for: what other processes
        must have done first.
    solve_iterations
        Loop iterations that every ``Run()`` computes before it works: a
        solve that is bound by the processor.
    hang_on
        Model file stems (the name without ".vokel") whose ``Run()`` never
        returns.
    crash_on
        Model file stems whose ``Run()`` kills its own process, as a crash
        inside the product does.
    crash_first_on
        Model file stems whose first ``Run()`` of all processes kills its
        process; later ones solve (claims are files of ``state_folder``).
    licence_seats
        None: no limit. A number: a process takes a seat with its first
        ``BrivaneApplication`` and holds it until it ends; the constructor
        raises ``InvalidOperationException`` when none is free; the refused
        process appends its id to ``state_folder``/refusals as it ends.
        Seats are locks on files of ``state_folder``.
    state_folder
        Folder of what processes share: licence seats and crash claims.
    journal_file
        None, or a file to which every journal entry is also appended, one
        JSON line with its process and time: the journal of many processes.
    extra_results
        File names, relative to the results file's folder, that every
        successful run also writes ("Reports/stress.txt").
    """

    def __init__(self):
        self.reset()

    def reset(self):
        self.raise_on = {}
        self.settings_controller_missing = False
        self.quelbar_run_result = None
        self.revav_run_result = None
        self.revav_build_result = None
        self.quelbar_analysis_model_missing = False
        self.default_culture = "fr-FR"
        self.fail_writes_after = None
        self.solve_seconds = 0
        self.solve_waits_for = None
        self.solve_iterations = 0
        self.hang_on = ()
        self.crash_on = ()
        self.crash_first_on = ()
        self.licence_seats = None
        self.state_folder = None
        self.journal_file = None
        self.extra_results = ()
        self._apply_environment()

    def _apply_environment(self):
        text = os.environ.get(ENVIRONMENT)
        if not text:
            return
        values = json.loads(text)
        for name, value in values.items():
            # raise_on holds exception objects, which JSON cannot carry.
            if name.startswith("_") or name == "raise_on" or not hasattr(self, name):
                raise ValueError(f"{ENVIRONMENT}: no knob {name!r}")
            setattr(self, name, tuple(value) if isinstance(value, list) else value)


knobs = Knobs()
