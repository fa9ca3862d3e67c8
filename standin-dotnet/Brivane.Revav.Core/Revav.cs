// Brivane.Revav.Core: the Revav solver of piping and structure models.
using System;
using System.Collections.Generic;
using System.Globalization;
using System.IO;
using System.Threading;
using Brivane.Pelorix.Core;
using Brivane.StandIn;
using Brivane.StandIn.Support;

namespace Brivane.Revav.Core {

// RevavSolver(solverPath, model, modelFile, thffile, flag).
// BuildAnalysisModel(keepDistantModels) reads the model file: -3 thf file
// missing, -2 model file missing or not a model, -1 nothing to analyse (no
// elements), else 0. Run() returns 5 when no analysis model was built, else 0
// and writes <model stem>.rres in the model file's folder. Numbers in that
// file follow the calling thread's CurrentCulture, which the file also names.
[Catalogued]
public class RevavSolver : SolverBase {
    private bool built;

    protected override string SolverName { get { return "Revav"; } }

    public RevavSolver(string path, object model, string modelFile, string thffile, bool flag) {
        Journal.Record("RevavSolver", ".ctor", path, model, modelFile, thffile, flag);
        Setup(path, model, modelFile, thffile);
    }

    public int BuildAnalysisModel(bool keepDistantModels) {
        Journal.Record("RevavSolver", "BuildAnalysisModel", keepDistantModels);
        CheckAlive();
        int code;
        try {
            JsonObject document = Files.ReadJson(Input, "standin-model");
            var elements = document.Get("elements") as List<object>;
            ElementCount = elements == null ? 0 : elements.Count;
            code = ElementCount > 0 ? 0 : -1;
        } catch (Exception) {
            code = -2;
        }
        if (code == 0 && !ThfReadable()) code = -3;
        if (Knobs.RevavBuildResult.HasValue) code = Knobs.RevavBuildResult.Value;
        built = code >= 0;
        return code;
    }

    public int Run() {
        Journal.Record("RevavSolver", "Run");
        CheckAlive();
        int code = built ? 0 : 5;
        if (Knobs.RevavRunResult.HasValue) code = Knobs.RevavRunResult.Value;
        if (code == 0) {
            CultureInfo culture = Thread.CurrentThread.CurrentCulture;
            WriteResults(Path.ChangeExtension(Input, null) + ".rres", new[] {
                new KeyValuePair<string, string>("culture", culture.Name),
                new KeyValuePair<string, string>("uiCulture", Thread.CurrentThread.CurrentUICulture.Name),
                new KeyValuePair<string, string>("maxDisplacement", (0.125 * ElementCount).ToString("F3", culture)),
            });
        }
        return code;
    }
}

}  // namespace Brivane.Revav.Core
