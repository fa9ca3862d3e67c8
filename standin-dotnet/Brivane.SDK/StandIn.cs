// The stand-in's own controls, readable and settable from Python through the
// CLR bridge: the call journal, the fault knobs, the process-wide product
// state and the catalogue mark of the classes the product exposes.
using System;
using System.Collections.Generic;
using System.Globalization;
using System.Runtime.InteropServices;
using System.Threading;

namespace Brivane.StandIn {

// Marks the classes that the class inspector's look-up by class name finds.
[AttributeUsage(AttributeTargets.Class | AttributeTargets.Enum, Inherited = false)]
public sealed class CataloguedAttribute : Attribute {}

// One journal entry. Members use .NET accessor names: ".ctor", "set_X",
// "get_X" and the plain method name.
public sealed class Call {
    internal Call(string target, string member, object[] args, ulong thread, int managedThreadId) {
        Target = target;
        Member = member;
        Args = args;
        Thread = thread;
        ManagedThreadId = managedThreadId;
    }

    public string Target { get; private set; }
    public string Member { get; private set; }
    public object[] Args { get; private set; }
    // The native thread (pthread_self), which is what Python's threading.get_ident() gives.
    public ulong Thread { get; private set; }
    public int ManagedThreadId { get; private set; }
    public string Name { get { return Target + "." + Member; } }

    public override string ToString() { return Name; }
}

// One entry per call made into the product, in order.
public static class Journal {
    private static readonly object Lock = new object();
    private static readonly List<Call> Entries_ = new List<Call>();

    [DllImport("libc")]
    private static extern UIntPtr pthread_self();

    public static ulong CurrentNativeThread() { return pthread_self().ToUInt64(); }

    // Appends one entry, then throws the exception that the raise_on knob holds
    // for "target.member", if any.
    public static void Record(string target, string member, params object[] args) {
        var call = new Call(target, member, args ?? new object[0], CurrentNativeThread(),
                            System.Threading.Thread.CurrentThread.ManagedThreadId);
        lock (Lock) Entries_.Add(call);
        Exception error = Knobs.RaiseOnFor(call.Name);
        if (error != null) throw error;
    }

    public static Call[] Entries() {
        lock (Lock) return Entries_.ToArray();
    }

    public static string[] Names() {
        lock (Lock) return Entries_.ConvertAll(c => c.Name).ToArray();
    }

    public static void Clear() {
        lock (Lock) Entries_.Clear();
    }
}

// Behaviour and fault knobs, named as in the Python stand-in.
public static class Knobs {
    private static readonly object Lock = new object();
    private static readonly Dictionary<string, Exception> RaiseOn_ = new Dictionary<string, Exception>();

    public static bool SettingsControllerMissing { get; private set; }
    public static int? QuelbarRunResult { get; private set; }
    public static int? RevavRunResult { get; private set; }
    public static int? RevavBuildResult { get; private set; }
    public static bool QuelbarAnalysisModelMissing { get; private set; }
    public static string DefaultCulture { get; private set; }
    public static int? FailWritesAfter { get; private set; }

    static Knobs() { Reset(); }

    public static void Reset() {
        lock (Lock) RaiseOn_.Clear();
        SettingsControllerMissing = false;
        QuelbarRunResult = null;
        RevavRunResult = null;
        RevavBuildResult = null;
        QuelbarAnalysisModelMissing = false;
        FailWritesAfter = null;
        SetDefaultCulture("fr-FR");
    }

    // The journaled call "Target.member" records itself and then throws `error`.
    public static void RaiseOn(string name, Exception error) {
        lock (Lock) {
            if (error == null) RaiseOn_.Remove(name);
            else RaiseOn_[name] = error;
        }
    }

    internal static Exception RaiseOnFor(string name) {
        lock (Lock) {
            Exception error;
            return RaiseOn_.TryGetValue(name, out error) ? error : null;
        }
    }

    // Sets a knob by its Python name; the value is given as text (null: unset).
    public static void Set(string name, string value) {
        switch (name) {
            case "settings_controller_missing": SettingsControllerMissing = Flag(value); break;
            case "quelbar_analysis_model_missing": QuelbarAnalysisModelMissing = Flag(value); break;
            case "quelbar_run_result": QuelbarRunResult = Number(value); break;
            case "revav_run_result": RevavRunResult = Number(value); break;
            case "revav_build_result": RevavBuildResult = Number(value); break;
            case "fail_writes_after": FailWritesAfter = Number(value); break;
            case "default_culture": SetDefaultCulture(value ?? "fr-FR"); break;
            default: throw new ArgumentException("Unknown knob '" + name + "'.");
        }
    }

    private static bool Flag(string value) { return value == "True" || value == "true" || value == "1"; }

    private static int? Number(string value) {
        if (value == null) return null;
        return int.Parse(value, CultureInfo.InvariantCulture);
    }

    // The culture that every thread starts with that has not chosen one.
    private static void SetDefaultCulture(string name) {
        DefaultCulture = name;
        var culture = new CultureInfo(name);
        CultureInfo.DefaultThreadCurrentCulture = culture;
        CultureInfo.DefaultThreadCurrentUICulture = culture;
    }
}

// Process-wide product state shared by the assemblies.
public static class State {
    private static readonly object Lock = new object();
    private static readonly Dictionary<object, string> OpenResults = new Dictionary<object, string>();

    // Path last given to a successful QBLibrary.Initialize, or null.
    public static string QBLibraryPath { get; internal set; }

    public static void SetQBLibraryPath(string path) { QBLibraryPath = path; }

    public static void AddOpenResult(object owner, string path) {
        lock (Lock) OpenResults[owner] = path;
    }

    public static void RemoveOpenResult(object owner) {
        lock (Lock) OpenResults.Remove(owner);
    }

    // Results files that a solution keeps open, sorted.
    public static string[] OpenResultFiles() {
        lock (Lock) {
            var paths = new List<string>(OpenResults.Values);
            paths.Sort(StringComparer.Ordinal);
            return paths.ToArray();
        }
    }
}

// Everything the stand-in keeps between calls, forgotten at once.
public static class Control {
    // Clears the journal, restores the knobs and the product state, and gives
    // the calling thread the default culture again.
    public static void Reset() {
        Journal.Clear();
        Knobs.Reset();
        State.QBLibraryPath = null;
        var culture = new CultureInfo(Knobs.DefaultCulture);
        Thread.CurrentThread.CurrentCulture = culture;
        Thread.CurrentThread.CurrentUICulture = culture;
    }

    // (CurrentCulture name, CurrentUICulture name) of the calling thread.
    public static string[] CurrentCultures() {
        return new[] { Thread.CurrentThread.CurrentCulture.Name, Thread.CurrentThread.CurrentUICulture.Name };
    }
}

}  // namespace Brivane.StandIn
