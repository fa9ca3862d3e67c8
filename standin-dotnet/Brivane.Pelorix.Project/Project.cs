// Brivane.Pelorix.Project: projects and their studies.
using System;
using System.Collections.Generic;
using System.IO;
using System.Linq;
using System.Windows;
using Brivane.SDK;
using Brivane.StandIn;
using Brivane.StandIn.Support;

namespace Brivane.Pelorix.Project {

// A study of a project (a snapshot: Name, Module, X, Y).
[Catalogued]
public class StudyModel {
    private readonly JsonObject study;

    internal StudyModel(JsonObject study) { this.study = study.Copy(); }

    public string Name { get { return (string)study.Get("name"); } }

    public BrivaneModule Module {
        get { return Equals(study.Get("module"), "Pelorix") ? BrivaneModule.Pelorix : BrivaneModule.Karvona; }
    }

    public double X { get { return Convert.ToDouble(study.Get("x")); } }

    public double Y { get { return Convert.ToDouble(study.Get("y")); } }

    public override string ToString() { return "StudyModel('" + Name + "')"; }
}

// One open project. The project file of a folder D is D/<folder name>.project
// (the whole folder name). Every change is written to the project file at
// once. Deleting the last study is refused (InvalidOperationException); a
// duplicate is named "<name> - Copy", then "<name> - Copy (2)", ... and
// becomes current. A view model of the product's window, it listens to
// weak events like the other view models.
[Catalogued]
public class ProjectViewModel : IWeakEventListener {
    private string file;
    private JsonObject project;

    public ProjectViewModel(object parent) {
        Journal.Record("ProjectViewModel", ".ctor", parent);
        if (parent != null) throw new ArgumentException("ProjectViewModel expects a null parent");
    }

    bool IWeakEventListener.ReceiveWeakEvent(Type managerType, object sender, EventArgs e) { return false; }

    public void CreateNewProject(string projectDirectory, Point point, string text, string studyName,
                                 BrivaneModule module) {
        Journal.Record("ProjectViewModel", "CreateNewProject", projectDirectory, point, text, studyName, module);
        Files.CheckPath(projectDirectory);
        if (!Directory.Exists(projectDirectory)) {
            throw new DirectoryNotFoundException("Could not find a part of the path '" + projectDirectory + "'.");
        }
        JsonObject study = NewStudy(point, module, studyName);
        if (text == null) throw new ArgumentNullException("text");
        string folder = Path.GetFileName(NormalisedFolder(projectDirectory));
        string path = Path.Combine(projectDirectory, folder + ".project");
        if (File.Exists(path) || Directory.Exists(path)) throw new IOException("The project '" + path + "' already exists.");
        file = path;
        project = new JsonObject();
        project.Set("standin-project", 1L);
        project.Set("name", folder);
        project.Set("text", text);
        project.Set("current", studyName);
        project.Set("studies", new List<object> { study });
        Save();
    }

    // The folder without trailing separators (the last component is its name).
    private static string NormalisedFolder(string directory) {
        string trimmed = directory.TrimEnd('/');
        return trimmed.Length == 0 ? directory : trimmed;
    }

    public void LoadFromFile(string path) {
        Journal.Record("ProjectViewModel", "LoadFromFile", path);
        JsonObject document = Files.ReadJson(path, "standin-project");
        var studies = document.Get("studies") as List<object>;
        if (studies == null || !studies.All(ValidStudy)) {
            throw new InvalidDataException("'" + path + "' is not a valid project file.");
        }
        file = path;
        project = document;
    }

    private static bool ValidStudy(object entry) {
        var study = entry as JsonObject;
        if (study == null) return false;
        object module = study.Get("module");
        return (Equals(module, "Pelorix") || Equals(module, "Karvona")) && study.Get("name") is string;
    }

    public StudyModel GetStudy(string name) {
        Journal.Record("ProjectViewModel", "GetStudy", name);
        JsonObject study = Find(name);
        return study == null ? null : new StudyModel(study);
    }

    public void AddEmptyStudy(Point point, BrivaneModule module, string name) {
        Journal.Record("ProjectViewModel", "AddEmptyStudy", point, module, name);
        JsonObject study = NewStudy(point, module, name);
        if (Find(name) != null) throw new ArgumentException("The study '" + name + "' already exists.");
        Studies().Add(study);
        Save();
    }

    public void SetCurrentStudy(string name) {
        Journal.Record("ProjectViewModel", "SetCurrentStudy", name);
        if (Find(name) == null) throw new ArgumentException("Unknown study '" + name + "'.");
        project.Set("current", name);
        Save();
    }

    public string GetCurrentStudyName() {
        Journal.Record("ProjectViewModel", "GetCurrentStudyName");
        Studies();
        return project.Get("current") as string;
    }

    public void DeleteCurrentStudy() {
        Journal.Record("ProjectViewModel", "DeleteCurrentStudy");
        List<object> studies = Studies();
        int index = Current();
        if (studies.Count == 1) throw new InvalidOperationException("A project keeps at least one study.");
        studies.RemoveAt(index);
        project.Set("current", ((JsonObject)studies[Math.Min(index, studies.Count - 1)]).Get("name"));
        Save();
    }

    public void DuplicateCurrentStudy() {
        Journal.Record("ProjectViewModel", "DuplicateCurrentStudy");
        List<object> studies = Studies();
        var original = (JsonObject)studies[Current()];
        string name = (string)original.Get("name");
        string copy = name + " - Copy";
        for (int number = 2; Find(copy) != null; number++) copy = name + " - Copy (" + number + ")";
        JsonObject duplicate = original.Copy();
        duplicate.Set("name", copy);
        studies.Add(duplicate);
        project.Set("current", copy);
        Save();
    }

    public bool RenameCurrentStudy(string name) {
        Journal.Record("ProjectViewModel", "RenameCurrentStudy", name);
        List<object> studies = Studies();
        var study = (JsonObject)studies[Current()];
        if (string.IsNullOrWhiteSpace(name)) return false;
        if (name == (string)study.Get("name")) return true;
        if (Find(name) != null) return false;
        study.Set("name", name);
        project.Set("current", name);
        Save();
        return true;
    }

    // ---- inner working

    private List<object> Studies() {
        if (project == null) throw new InvalidOperationException("No project is open.");
        return (List<object>)project.Get("studies");
    }

    private JsonObject Find(string name) {
        return Studies().Cast<JsonObject>().FirstOrDefault(s => Equals(s.Get("name"), name));
    }

    private int Current() {
        List<object> studies = Studies();
        object current = project.Get("current");
        for (int index = 0; index < studies.Count; index++) {
            if (Equals(((JsonObject)studies[index]).Get("name"), current)) return index;
        }
        throw new InvalidOperationException("No current study.");
    }

    private void Save() { Files.WriteAtomic(file, Json.Dump(project, 1)); }

    private static JsonObject NewStudy(Point point, BrivaneModule module, string name) {
        if (module != BrivaneModule.Pelorix && module != BrivaneModule.Karvona) {
            throw new ArgumentException("Invalid Brivane module: " + module);
        }
        if (name == null) throw new ArgumentNullException("studyName");
        if (name.Trim().Length == 0) throw new ArgumentException("A study needs a name.");
        var study = new JsonObject();
        study.Set("name", name);
        study.Set("module", module.ToString());
        study.Set("x", point.X);
        study.Set("y", point.Y);
        return study;
    }
}

}  // namespace Brivane.Pelorix.Project
