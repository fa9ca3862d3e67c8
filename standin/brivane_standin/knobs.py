"""Behaviour and fault knobs of the stand-in.

Tests change the attributes of the single object :data:`knobs` and call
``knobs.reset()`` afterwards.
"""


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


knobs = Knobs()
