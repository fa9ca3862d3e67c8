// Brivane.Quelbar.Core: the Quelbar solver of piping models.
using System.Collections.Generic;
using System.IO;
using Brivane.Pelorix.Core;
using Brivane.StandIn;

namespace Brivane.Quelbar.Core {

// QuelbarSolver(solverPath, model, frefile, thffile); thffile "" means none.
// Run() codes: 0 success (writes <fre stem>.qres next to the fre file), 1 fre
// file missing or not a fre file, 2 thf file missing, 3 fre file of a
// structure model.
[Catalogued]
public class QuelbarSolver : SolverBase {
    private AnalysisModel analysis;

    protected override string SolverName { get { return "Quelbar"; } }

    public QuelbarSolver(string path, object model, string frefile, string thffile) {
        Journal.Record("QuelbarSolver", ".ctor", path, model, frefile, thffile);
        Setup(path, model, frefile, thffile);
    }

    public int Run() {
        Journal.Record("QuelbarSolver", "Run");
        CheckAlive();
        Dictionary<string, string> fre = ReadFre(Input);
        int code;
        string module;
        if (fre == null) code = 1;
        else if (!ThfReadable()) code = 2;
        else if (!fre.TryGetValue("module", out module) || module != "Pelorix") code = 3;
        else {
            code = 0;
            string elements;
            ElementCount = int.Parse(fre.TryGetValue("elements", out elements) ? elements : "0");
        }
        if (Knobs.QuelbarRunResult.HasValue) code = Knobs.QuelbarRunResult.Value;
        if (code == 0) {
            WriteResults(Path.ChangeExtension(Input, null) + ".qres", new[] {
                new KeyValuePair<string, string>("maxLength", Field(fre, "maxLength")),
                new KeyValuePair<string, string>("rotation", Field(fre, "rotation")),
            });
            analysis = new AnalysisModel(ElementCount);
        }
        return code;
    }

    private static string Field(Dictionary<string, string> fre, string name) {
        string value;
        return fre != null && fre.TryGetValue(name, out value) ? value : "None";
    }

    public AnalysisModel GetAnalysisModel() {
        Journal.Record("QuelbarSolver", "GetAnalysisModel");
        CheckAlive();
        if (Knobs.QuelbarAnalysisModelMissing) return null;
        return analysis;
    }
}

// What a successful Quelbar run has analysed.
public class AnalysisModel {
    private readonly int count;

    internal AnalysisModel(int count) { this.count = count; }

    public int ElementCount { get { return count; } }
}

}  // namespace Brivane.Quelbar.Core
