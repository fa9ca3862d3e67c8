// Brivane.Pelorix.Core: models, commands, the native library and solutions.
using System;
using System.Collections;
using System.Collections.Generic;
using System.IO;
using System.Linq;
using System.Runtime.InteropServices;
using System.Text;
using Brivane.SDK;
using Brivane.StandIn;
using Brivane.StandIn.Support;

namespace Brivane.Pelorix.Core {

internal static class Modules {
    // The product module of a model or study: Pelorix or Karvona only.
    public static BrivaneModule Check(BrivaneModule module) {
        if (module != BrivaneModule.Pelorix && module != BrivaneModule.Karvona) {
            throw new ArgumentException("Invalid Brivane module: " + module);
        }
        return module;
    }

    public static bool TryParse(object name, out BrivaneModule module) {
        module = BrivaneModule.Pelorix;
        if (Equals(name, "Pelorix")) return true;
        module = BrivaneModule.Karvona;
        return Equals(name, "Karvona");
    }
}

// What the calculation codes share: a model's CalculationCode is one of them.
public abstract class CalculationCode {}

// Calculation code of piping models.
[Catalogued]
public sealed class PipingCode : CalculationCode {
    public const string Name = "Piping";
}

// Calculation code of structure models.
[Catalogued]
public sealed class StructureCode : CalculationCode {
    public const string Name = "Structure";
}

// A named layer of a model.
[Catalogued]
public class Layer {
    private readonly string name;

    public Layer(string name) {
        Journal.Record("Layer", ".ctor", name);
        if (name == null) throw new ArgumentNullException("name");
        this.name = name;
    }

    private Layer(string name, bool unjournaled) { this.name = name; }

    internal static Layer Make(string name) { return new Layer(name, true); }

    public string Name { get { return name; } }

    public override string ToString() { return "Layer('" + name + "')"; }
}

// The Layers of a model; names are unique.
public class LayerCollection : ICollection {
    internal readonly List<Layer> Items = new List<Layer>();

    internal LayerCollection() {}

    public void Add(object layer) {
        Journal.Record("LayerCollection", "Add", layer);
        var added = layer as Layer;
        if (added == null) throw new ArgumentException("Layers.Add expects a Layer");
        if (Names.Contains(added.Name)) throw new ArgumentException("Layer '" + added.Name + "' already exists.");
        Items.Add(added);
    }

    public int Count { get { return Items.Count; } }

    public string[] Names { get { return Items.Select(l => l.Name).ToArray(); } }

    IEnumerator IEnumerable.GetEnumerator() { return Items.ToList().GetEnumerator(); }
    void ICollection.CopyTo(Array array, int index) { ((ICollection)Items).CopyTo(array, index); }
    bool ICollection.IsSynchronized { get { return false; } }
    object ICollection.SyncRoot { get { return this; } }
}

// A vokel model: its product module (piping or structure), layers and
// elements. Model() starts as a piping model until a file is loaded.
[Catalogued]
public class Model {
    private BrivaneModule module;
    private CalculationCode code;
    private LayerCollection layers;
    internal List<string> ElementList;
    private string file;

    public Model() {
        Journal.Record("Model", ".ctor");
        Apply(BrivaneModule.Pelorix, new string[0], new string[0]);
    }

    public Model(BrivaneModule module) {
        Journal.Record("Model", ".ctor", module);
        Apply(Modules.Check(module), new string[0], new string[0]);
    }

    private void Apply(BrivaneModule kind, IEnumerable<string> layerNames, IEnumerable<string> elements) {
        module = kind;
        code = kind == BrivaneModule.Pelorix ? (CalculationCode)new PipingCode() : new StructureCode();
        layers = new LayerCollection();
        foreach (string name in layerNames) layers.Items.Add(Layer.Make(name));
        ElementList = elements.ToList();
    }

    internal BrivaneModule Kind { get { return module; } }
    internal LayerCollection LayerItems { get { return layers; } }

    public BrivaneModule Module { get { return module; } }

    public CalculationCode CalculationCode {
        get {
            Journal.Record("Model", "get_CalculationCode");
            return code;
        }
    }

    public LayerCollection Layers {
        get {
            Journal.Record("Model", "get_Layers");
            return layers;
        }
    }

    public string[] Elements { get { return ElementList.ToArray(); } }

    // File last loaded or saved, or null.
    public string FilePath { get { return file; } }

    public void SaveToFile(string path) {
        Journal.Record("Model", "SaveToFile", path);
        Save(path);
    }

    internal void Save(string path) {
        var document = new JsonObject();
        document.Set("standin-model", 1L);
        document.Set("module", module.ToString());
        document.Set("layers", layers.Names.ToList<object>());
        document.Set("elements", ElementList.ToList<object>());
        Files.WriteAtomic(path, Json.Dump(document, 1));
        file = path;
    }

    public void LoadFromFile(string path) {
        Journal.Record("Model", "LoadFromFile", path);
        Load(path);
    }

    internal void Load(string path) {
        JsonObject document = Files.ReadJson(path, "standin-model");
        BrivaneModule kind;
        List<string> layerNames = Strings(document.Get("layers"));
        List<string> elements = Strings(document.Get("elements"));
        if (!Modules.TryParse(document.Get("module"), out kind) || layerNames == null || elements == null) {
            throw new InvalidDataException("'" + path + "' is not a valid model file.");
        }
        Apply(kind, layerNames, elements);
        file = path;
    }

    private static List<string> Strings(object value) {
        var list = value as List<object>;
        if (list == null || !list.All(v => v is string)) return null;
        return list.Cast<string>().ToList();
    }

    // Writes the solver input (fre) file.
    public void WriteFreFile(string frefile, string a2, int maxLength, int rotation, bool a5, bool imperial,
                             bool inlineRestraints, bool inlineDLCS, bool inlineINDI, bool a10, string a11,
                             string a12) {
        object[] args = { frefile, a2, maxLength, rotation, a5, imperial, inlineRestraints, inlineDLCS, inlineINDI,
                          a10, a11, a12 };
        Journal.Record("Model", "WriteFreFile", args);
        if (frefile == null) throw new ArgumentNullException("frefile");
        if (maxLength <= 0 || rotation < 0 || rotation > 2) {
            throw new ArgumentException("maxLength must be positive, rotation 0, 1 or 2");
        }
        if (State.QBLibraryPath == null) throw new InvalidOperationException("QBLibrary is not initialized.");
        var lines = new List<string> {
            Fre.Marker, "module=" + module, "layers=" + Json.DumpOneLine(layers.Names.ToList<object>()),
            "elements=" + ElementList.Count
        };
        for (int i = 0; i < args.Length; i++) lines.Add(Fre.Arguments[i] + "=" + PyText.Repr(args[i]));
        Files.WriteAtomic(frefile, string.Join("\n", lines) + "\n");
    }
}

// The fre file's layout.
internal static class Fre {
    public const string Marker = "STANDIN-FRE 1";
    public static readonly string[] Arguments = {
        "frefile", "a2", "maxLength", "rotation", "a5", "imperial", "inlineRestraints", "inlineDLCS", "inlineINDI",
        "a10", "a11", "a12"
    };

    // Fields of a fre file as strings (values as written).
    public static Dictionary<string, string> Read(string path) {
        string text = Files.ReadText(path);
        string[] lines = text.Split('\n');
        if (lines.Length == 0 || lines[0] != Marker) throw new InvalidDataException("'" + path + "' is not a fre file.");
        var fields = new Dictionary<string, string>();
        foreach (string line in lines.Skip(1)) {
            int equals = line.IndexOf('=');
            if (equals >= 0) fields[line.Substring(0, equals)] = line.Substring(equals + 1);
        }
        return fields;
    }
}

// Loader of the native Quelbar library.
[Catalogued]
public static class QBLibrary {
    public const int READY = 20240;
    private const int RTLD_NOW = 2;

    [DllImport("libdl.so.2")]
    private static extern IntPtr dlopen(string file, int mode);

    [DllImport("libdl.so.2")]
    private static extern IntPtr dlsym(IntPtr handle, string name);

    [DllImport("libdl.so.2")]
    private static extern IntPtr dlerror();

    [UnmanagedFunctionPointer(CallingConvention.Cdecl)]
    private delegate int InitializeFunction();

    public static void Initialize(string path) {
        Journal.Record("QBLibrary", "Initialize", path);
        Files.CheckPath(path);
        if (!File.Exists(path)) throw new FileNotFoundException("Could not find file '" + path + "'.", path);
        IntPtr library = dlopen(Path.GetFullPath(path), RTLD_NOW);
        IntPtr entry = library == IntPtr.Zero ? IntPtr.Zero : dlsym(library, "bq_initialize");
        if (entry == IntPtr.Zero) {
            IntPtr reason = dlerror();
            throw new BadImageFormatException("'" + path + "' is not a Quelbar library: " +
                                              (reason == IntPtr.Zero ? "?" : Marshal.PtrToStringAnsi(reason)));
        }
        var initialize = (InitializeFunction)Marshal.GetDelegateForFunctionPointer(entry, typeof(InitializeFunction));
        if (initialize() != READY) throw new InvalidOperationException("Quelbar library failed to initialize.");
        State.SetQBLibraryPath(path);
    }
}

// ---- commands

// A named modelling command. Catalogue (exact, case-sensitive names):
//   ADD_PIPE   appends an element "PIPE-<n>" (piping models only)
//   ADD_BEAM   appends an element "BEAM-<n>" (structure models only)
//   ADD_LAYER  appends a layer "Layer <n>" (n = layer count, next free)
//   CLEAR      removes every element (layers stay)
// An unknown name throws ArgumentException in the constructor; a command on
// a model of the wrong kind throws InvalidOperationException when run.
[Catalogued]
public class CustomCommand {
    private static readonly Dictionary<string, Action<Model>> Commands = new Dictionary<string, Action<Model>> {
        { "ADD_PIPE", model => AddElement(model, "PIPE", BrivaneModule.Pelorix) },
        { "ADD_BEAM", model => AddElement(model, "BEAM", BrivaneModule.Karvona) },
        { "ADD_LAYER", AddLayer },
        { "CLEAR", model => model.ElementList.Clear() },
    };

    private readonly string name;
    private bool reload = true, save = true;
    internal readonly Model Target;

    public CustomCommand(object model, string name) {
        Journal.Record("CustomCommand", ".ctor", model, name);
        if (model == null || name == null) throw new ArgumentNullException(model == null ? "model" : "name");
        Target = model as Model;
        if (Target == null) throw new ArgumentException("CustomCommand expects a Model");
        if (!Commands.ContainsKey(name)) throw new ArgumentException("Unknown command '" + name + "'.");
        this.name = name;
    }

    public string Name { get { return name; } }

    public bool NeedToReloadModelAfterCommand {
        get { return reload; }
        set {
            Journal.Record("CustomCommand", "set_NeedToReloadModelAfterCommand", value);
            reload = value;
        }
    }

    public bool NeedToSaveModelAfterCommand {
        get { return save; }
        set {
            Journal.Record("CustomCommand", "set_NeedToSaveModelAfterCommand", value);
            save = value;
        }
    }

    internal void RunOn(Model model) { Commands[name](model); }

    private static void AddElement(Model model, string prefix, BrivaneModule kind) {
        if (model.Kind != kind) throw new InvalidOperationException("command needs a " + kind + " model");
        model.ElementList.Add(prefix + "-" + (model.ElementList.Count + 1));
    }

    private static void AddLayer(Model model) {
        int number = model.LayerItems.Count;
        while (model.LayerItems.Names.Contains("Layer " + number)) number++;
        model.LayerItems.Items.Add(Layer.Make("Layer " + number));
    }
}

// Runs commands on its current `model` as soon as they are added. After a
// command, a model that has a file is saved to it when
// NeedToSaveModelAfterCommand is set, then reloaded from it when
// NeedToReloadModelAfterCommand is set.
[Catalogued]
public class CommandController {
    private BrivaneApplication application;
    private Model current;

    public CommandController() { Journal.Record("CommandController", ".ctor"); }

    public void SetApplication(object application) {
        Journal.Record("CommandController", "SetApplication", application);
        var app = application as BrivaneApplication;
        if (app == null) throw new ArgumentException("SetApplication expects a BrivaneApplication");
        this.application = app;
    }

    public object model {
        get { return current; }
        set {
            Journal.Record("CommandController", "set_model", value);
            if (value != null && !(value is Model)) throw new ArgumentException("model must be a Model");
            current = (Model)value;
        }
    }

    public void AddCommand(object command) {
        Journal.Record("CommandController", "AddCommand", command);
        var custom = command as CustomCommand;
        if (custom == null) throw new ArgumentException("AddCommand expects a CustomCommand");
        if (application == null || current == null) throw new InvalidOperationException("No application or no current model.");
        Model target = current;
        custom.RunOn(target);
        if (custom.NeedToSaveModelAfterCommand && !string.IsNullOrEmpty(target.FilePath)) target.Save(target.FilePath);
        if (custom.NeedToReloadModelAfterCommand && !string.IsNullOrEmpty(target.FilePath)) target.Load(target.FilePath);
    }
}

// ---- solvers and solutions

// What the solver classes share: the constructor's checks, IgnoreWarnings, Dispose.
public abstract class SolverBase {
    private string solverPath;
    private bool ignoreWarnings;
    private bool disposed;
    protected string Input, Thf;
    protected internal string Kind;
    protected internal int ElementCount;
    protected internal string ResultsFile;

    protected internal abstract string SolverName { get; }

    protected void Setup(string path, object model, string inputFile, string thffile) {
        if (path == null || !File.Exists(path)) throw new FileNotFoundException("Solver not found: '" + path + "'.");
        var target = model as Model;
        if (target == null) throw new ArgumentException("the solver expects a Model");
        if (inputFile == null) throw new ArgumentNullException("input file");
        if (thffile == null) throw new ArgumentNullException("thffile");
        solverPath = path;
        Input = inputFile;
        Thf = thffile;
        Kind = target.Kind == BrivaneModule.Pelorix ? "piping" : "structure";
    }

    public bool IgnoreWarnings {
        get { return ignoreWarnings; }
        set {
            Journal.Record(GetType().Name, "set_IgnoreWarnings", value);
            ignoreWarnings = value;
        }
    }

    public bool IsDisposed { get { return disposed; } }

    public void Dispose() {
        Journal.Record(GetType().Name, "Dispose");
        Release();
    }

    protected internal void Release() { disposed = true; }

    protected internal void CheckAlive() {
        if (disposed) throw new ObjectDisposedException(GetType().Name, GetType().Name + " is disposed.");
    }

    protected bool ThfReadable() { return Thf == "" || File.Exists(Thf); }

    protected void WriteResults(string path, IEnumerable<KeyValuePair<string, string>> fields) {
        var lines = new List<string> {
            "STANDIN-" + SolverName.ToUpperInvariant() + "-RESULTS 1", "solver=" + solverPath, "model=" + Kind,
            "elements=" + ElementCount, "input=" + Input, "thf=" + Thf, "ignoreWarnings=" + PyText.Str(ignoreWarnings)
        };
        foreach (var field in fields) lines.Add(field.Key + "=" + field.Value);
        Files.WriteAtomic(path, string.Join("\n", lines) + "\n");
        ResultsFile = path;
    }

    // A fre file's fields, or null when it cannot be read as one.
    protected static Dictionary<string, string> ReadFre(string path) {
        try {
            return Fre.Read(path);
        } catch (Exception) {
            return null;
        }
    }
}

// Results of a successful solver run; keeps the results file open until
// Dispose() (which also releases the solver).
[Catalogued]
public class Solution {
    private readonly SolverBase solver;
    private readonly string path;
    private FileStream handle;

    public Solution(object parent, object solver) {
        Journal.Record("Solution", ".ctor", parent, solver);
        var run = solver as SolverBase;
        if (run == null || run.ResultsFile == null) throw new InvalidOperationException("The solver has no results.");
        run.CheckAlive();
        this.solver = run;
        path = run.ResultsFile;
        handle = new FileStream(path, FileMode.Open, FileAccess.Read, FileShare.ReadWrite | FileShare.Delete);
        State.AddOpenResult(this, path);
    }

    public string ResultsFile { get { return path; } }

    public bool IsDisposed { get { return handle == null; } }

    public string Summary {
        get {
            return solver.SolverName + " solution of a " + solver.Kind + " model (" + solver.ElementCount +
                   " elements): " + path;
        }
    }

    public void Dispose() {
        Journal.Record("Solution", "Dispose");
        if (handle != null) {
            handle.Close();
            handle = null;
            State.RemoveOpenResult(this);
            solver.Release();
        }
    }
}

}  // namespace Brivane.Pelorix.Core
