// Brivane.SDK: the application object, its settings and class inspection.
using System;
using System.Collections.Generic;
using System.IO;
using System.Linq;
using System.Reflection;
using Brivane.StandIn;
using Brivane.StandIn.Support;

namespace Brivane.SDK {

// The product modules.
[Catalogued]
public enum BrivaneModule { All = -1, Pelorix = 0, Karvona = 1 }

// The product application, without user interface.
[Catalogued]
public class BrivaneApplication {
    private readonly string installation;

    public BrivaneApplication() {
        Journal.Record("BrivaneApplication", ".ctor");
        installation = InstallationDirectory();
    }

    // The installation folder, found from where Brivane.SDK was loaded: the
    // parent of its Extensions folder, or its own folder.
    internal static string InstallationDirectory() {
        string location = typeof(BrivaneApplication).Assembly.Location;
        if (string.IsNullOrEmpty(location)) throw new InvalidOperationException("Brivane.SDK is not loaded from a file");
        string folder = Path.GetDirectoryName(location);
        if (Path.GetFileName(folder).ToLowerInvariant() == "extensions") folder = Path.GetDirectoryName(folder);
        return folder;
    }

    public SettingsController GetSettingsController() {
        Journal.Record("BrivaneApplication", "GetSettingsController");
        if (Knobs.SettingsControllerMissing) return null;
        return new SettingsController(Path.Combine(installation, "Settings", "Pelorix.settings"));
    }
}

// Reads single values of the installation's Pelorix.settings file, afresh at every call.
public class SettingsController {
    private readonly string path;

    internal SettingsController(string path) { this.path = path; }

    public string SettingsPath { get { return path; } }

    // Value of setting `name` in any sub-family of `family`; ArgumentException when there is none.
    public object GetSettingValue(string family, string name) {
        Journal.Record("SettingsController", "GetSettingValue", family, name);
        string text = Files.ReadText(path);
        object document;
        try {
            document = Json.Parse(text);
        } catch (JsonSyntaxException) {
            throw new InvalidDataException("settings file is not JSON");
        }
        foreach (JsonObject fam in Items(document, "Families")) {
            if (!Equals(fam.Get("Name"), family)) continue;
            foreach (JsonObject sub in Items(fam, "SubFamilies")) {
                foreach (JsonObject setting in Items(sub, "Settings")) {
                    if (Equals(setting.Get("Name"), name)) return setting.Get("Value");
                }
            }
        }
        throw new ArgumentException("Unknown setting '" + name + "' in family '" + family + "'.");
    }

    private static IEnumerable<JsonObject> Items(object owner, string key) {
        var obj = owner as JsonObject;
        var list = obj == null ? null : obj.Get(key) as List<object>;
        if (list == null) yield break;
        foreach (object item in list) {
            var entry = item as JsonObject;
            if (entry != null) yield return entry;
        }
    }
}

// Reflection helpers for script authors.
[Catalogued]
public static class BrivaneClassInspector {
    // JSON with the type, namespace, public properties and methods of an
    // object or a class; 2-space indentation when `indent` is true.
    public static string ExportObjectToJson(object obj, bool indent) {
        Journal.Record("BrivaneClassInspector", "ExportObjectToJson", obj, indent);
        if (obj == null) throw new ArgumentNullException("obj");
        Type type = obj as Type ?? obj.GetType();
        var properties = new SortedDictionary<string, JsonObject>(StringComparer.Ordinal);
        var methods = new SortedDictionary<string, JsonObject>(StringComparer.Ordinal);
        const BindingFlags visible = BindingFlags.Public | BindingFlags.Instance | BindingFlags.Static;
        foreach (PropertyInfo property in type.GetProperties(visible)) {
            if (property.GetIndexParameters().Length > 0) continue;
            var entry = new JsonObject();
            entry.Set("Name", property.Name);
            entry.Set("CanWrite", property.GetSetMethod() != null);
            properties[property.Name] = entry;
        }
        foreach (MethodInfo method in type.GetMethods(visible)) {
            if (method.IsSpecialName || method.GetBaseDefinition().DeclaringType == typeof(object)) continue;
            var entry = new JsonObject();
            entry.Set("Name", method.Name);
            entry.Set("Static", method.IsStatic);
            methods[method.Name] = entry;
        }
        var document = new JsonObject();
        document.Set("Type", type.Name);
        document.Set("Namespace", type.Namespace);
        document.Set("Properties", properties.Values.ToList());
        document.Set("Methods", methods.Values.ToList());
        return indent ? Json.Dump(document, 2) : Json.DumpCompact(document);
    }

    // Tuple (namespace, assembly) of the first assembly file of `directory`
    // that exposes a class `name`, else null.
    public static Tuple<string, string> FindNamespaceAndAssemblyFromClassName(string directory, string name) {
        Journal.Record("BrivaneClassInspector", "FindNamespaceAndAssemblyFromClassName", directory, name);
        if (directory == null || name == null) throw new ArgumentNullException(directory == null ? "directory" : "name");
        if (!Directory.Exists(directory)) {
            throw new DirectoryNotFoundException("Could not find a part of the path '" + directory + "'.");
        }
        var entries = Directory.GetFileSystemEntries(directory).Select(Path.GetFileName).ToList();
        entries.Sort(StringComparer.Ordinal);
        foreach (string entry in entries) {
            if (!entry.ToLowerInvariant().EndsWith(".dll")) continue;
            Type[] types;
            try {
                types = Assembly.LoadFrom(Path.Combine(directory, entry)).GetExportedTypes();
            } catch (Exception) {
                continue;
            }
            foreach (Type type in types) {
                if (type.Name == name && type.IsDefined(typeof(CataloguedAttribute), false)) {
                    return Tuple.Create(type.Namespace, type.Assembly.GetName().Name);
                }
            }
        }
        return null;
    }
}

}  // namespace Brivane.SDK
