// FindSolverPaths and FindDataProjectPaths: the module's reading of the
// product's settings document and data-sources document.
#include <cstring>

#include "arguments.hpp"
#include "calls.hpp"
#include "function_table.hpp"
#include "module_namespace.hpp"
#include "sdk/product.hpp"

namespace brivane {
namespace {

namespace keys = sdk::settings;

// The member names, made once: a document of many entries is read with the
// same key objects, whose hash is computed only once.
constinit Name families_key{keys::families};
constinit Name sub_families_key{keys::sub_families};
constinit Name settings_key{keys::settings};
constinit Name name_key{keys::name};
constinit Name value_key{keys::value};
constinit Name current_data_directory_key{keys::current_data_directory};
constinit Name current_projects_directory_key{keys::current_projects_directory};

Ref member(PyObject* entry, const Name& key) {
    PyObject* name = key.get();
    if (name == nullptr) return {};
    return Ref::consuming(PyObject_GetItem(entry, name));
}

// Calls `visit` with each element of the container held in `entry[key]`;
// stops with false when reading or visiting raises.
template <class Visit>
bool for_each_in(PyObject* entry, const Name& key, Visit&& visit) {
    Ref container = member(entry, key);
    if (!container) return false;
    if (PyList_CheckExact(container.get())) {
        // What the list's own iterator does, without making one: the length is read at every step.
        for (Py_ssize_t i = 0; i < PyList_Size(container.get()); ++i) {
            PyObject* borrowed = PyList_GetItem(container.get(), i);
            if (borrowed == nullptr) return false;
            Pin element(borrowed);
            if (!visit(element.get())) return false;
        }
        return true;
    }
    Ref iterator = Ref::consuming(PyObject_GetIter(container.get()));
    if (!iterator) return false;
    while (Ref element = Ref::consuming(PyIter_Next(iterator.get()))) {
        if (!visit(element.get())) return false;
    }
    return !PyErr_Occurred();
}

// A key of the settings document, with its length for a quick "no".
struct Key {
    explicit Key(const char* key_text) : text(key_text), length(static_cast<Py_ssize_t>(std::strlen(key_text))) {}
    const char* text;
    Py_ssize_t length;
};

// Whether `object` is a str (or subclass) whose value is exactly `key`; no Python code runs.
bool is_exactly(PyObject* object, const Key& key) {
    // The exact type is tested inline first: most names are plain str.
    const bool is_text = Py_IS_TYPE(object, &PyUnicode_Type) || PyUnicode_Check(object);
    return is_text && PyUnicode_GetLength(object) == key.length &&
           PyUnicode_CompareWithASCIIString(object, key.text) == 0;
}

// Whether entry["Name"] is exactly `key`; nullopt when reading it raises.
Truth named(PyObject* entry, const Key& key) {
    Ref name = member(entry, name_key);
    if (!name) return std::nullopt;
    return is_exactly(name.get(), key);
}

// One full pass over the document: no loop stops at a match, so the last
// matching setting in document order wins.
Ref find_setting(PyObject* settings, const char* family, const char* sub_family, const char* setting) {
    const Key family_key(family), sub_family_key(sub_family), setting_key(setting);
    Ref found = none();
    const bool complete = for_each_in(settings, families_key, [&](PyObject* family_entry) {
        Truth family_matches = named(family_entry, family_key);
        if (!family_matches) return false;
        if (!*family_matches) return true;
        return for_each_in(family_entry, sub_families_key, [&](PyObject* sub_family_entry) {
            Truth sub_family_matches = named(sub_family_entry, sub_family_key);
            if (!sub_family_matches) return false;
            if (!*sub_family_matches) return true;
            return for_each_in(sub_family_entry, settings_key, [&](PyObject* setting_entry) {
                Truth setting_matches = named(setting_entry, setting_key);
                if (!setting_matches) return false;
                if (!*setting_matches) return true;
                Ref value = member(setting_entry, value_key);
                if (!value) return false;
                found = std::move(value);
                return true;
            });
        });
    });
    if (!complete) return {};
    return found;
}

// Only the empty string means "not configured".
Ref none_if_empty(Ref value) {
    if (PyUnicode_Check(value.get()) && PyUnicode_GetLength(value.get()) == 0) return none();
    return value;
}

constexpr Signature<1> find_solver_paths_signature{"FindSolverPaths", {"settings"}};
Ref find_solver_paths(Module, const Arguments<1>& arguments) {
    PyObject* settings = arguments[0];
    Ref revav = find_setting(settings, keys::revav_family, keys::path_sub_family, keys::revav_solver_path);
    if (!revav) return {};
    Ref quelbar = find_setting(settings, keys::quelbar_family, keys::path_sub_family, keys::quelbar_solver_path);
    if (!quelbar) return {};
    revav = none_if_empty(std::move(revav));
    quelbar = none_if_empty(std::move(quelbar));
    return Ref::consuming(PyTuple_Pack(2, revav.get(), quelbar.get()));
}

constexpr Signature<1> find_data_project_paths_signature{"FindDataProjectPaths", {"dataSources"}};
Ref find_data_project_paths(Module, const Arguments<1>& arguments) {
    Ref data = member(arguments[0], current_data_directory_key);
    if (!data) return {};
    Ref projects = member(arguments[0], current_projects_directory_key);
    if (!projects) return {};
    return Ref::consuming(PyTuple_Pack(2, data.get(), projects.get()));
}

}  // namespace

PyMethodDef FindSolverPaths_function = define_function<find_solver_paths_signature, find_solver_paths>(
    "FindSolverPaths(settings)\n"
    "\n"
    "Return the path of Revav solver and Quelbar solver in the current settings json object.\n"
    "None if not defined.");

PyMethodDef FindDataProjectPaths_function = define_function<find_data_project_paths_signature, find_data_project_paths>(
    "FindDataProjectPaths(dataSources)\n"
    "\n"
    "Return the path of the datas and of the projets in the current settings json object.");

}  // namespace brivane
