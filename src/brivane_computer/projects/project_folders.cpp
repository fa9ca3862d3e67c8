// addProjectFolder, removeProjectFolder and removeProject: plain folders of
// the projects area, without the product. A removal removes the folder the
// caller named and nothing else: never a root, a drive, the current folder
// through ".", a parent through "..", or what a link points to.
#include <cstring>

#include "arguments.hpp"
#include "full_path.hpp"
#include "function_table.hpp"
#include "guards.hpp"
#include "host_names.hpp"

namespace brivane {
namespace {

constexpr Signature<2> add_project_folder_signature{"addProjectFolder", {"directory", "folderName"}};
Ref add_project_folder(Module module, const Arguments<2>& arguments) {
    if (!check_guard(module, Guard::Setup)) return {};
    Ref directory = text_path(module, arguments[0]);
    if (!directory) return {};
    Ref folder_name = text_path(module, arguments[1]);
    if (!folder_name) return {};
    Ref folder = module.call_os_path(host::join, directory, folder_name);
    if (!folder) return {};
    Truth taken = module.exists(folder.get());
    if (!taken) return {};
    if (*taken) return text("");
    if (!module.call_imported(host::os, host::makedirs, folder)) return {};
    return folder;
}

// One of the path module's separators (os.path.sep, os.path.altsep): a
// character, or none (-1) when the attribute is None.
bool separator(const Module& module, const Name& name, long& character) {
    Ref value = module.os_path(name);
    if (!value) return false;
    character = -1;
    if (value.get() == Py_None) return true;
    if (!PyUnicode_Check(value.get()) || PyUnicode_GetLength(value.get()) != 1) {
        PyErr_SetString(PyExc_TypeError, "a path separator must be one character");
        return false;
    }
    character = static_cast<long>(PyUnicode_ReadChar(value.get(), 0));
    return character != -1 || !PyErr_Occurred();
}

// The path without its trailing separators, in its own type: "P1\\" names
// P1, and a root ("/", "C:\\") keeps nothing after its drive.
Ref without_trailing_separators(const Module& module, const Ref& path) {
    long sep = -1, altsep = -1;
    if (!separator(module, host::sep, sep) || !separator(module, host::altsep, altsep)) return {};
    const bool is_bytes = PyBytes_Check(path.get());
    Py_ssize_t length = is_bytes ? PyBytes_Size(path.get()) : PyUnicode_GetLength(path.get());
    const char* bytes = is_bytes ? PyBytes_AsString(path.get()) : nullptr;
    while (length > 0) {
        const long last = is_bytes ? static_cast<unsigned char>(bytes[length - 1])
                                   : static_cast<long>(PyUnicode_ReadChar(path.get(), length - 1));
        if (last != sep && last != altsep) break;
        --length;
    }
    if (is_bytes) return Ref::consuming(PyBytes_FromStringAndSize(bytes, length));
    return Ref::consuming(PyUnicode_Substring(path.get(), 0, length));
}

// Text of a str or bytes name, compared in the name's own type.
bool names_exactly(PyObject* name, const char* value) {
    if (PyUnicode_Check(name)) return PyUnicode_CompareWithASCIIString(name, value) == 0;
    const std::size_t size = std::strlen(value);
    return PyBytes_Check(name) && static_cast<std::size_t>(PyBytes_Size(name)) == size &&
           std::memcmp(PyBytes_AsString(name), value, size) == 0;
}

// A name that the removal may hand to rmtree: a non-empty str or bytes of the
// path's type that is neither "." nor "..". Anything else names a root, a
// drive, the current folder or a parent, which the caller cannot have meant.
bool removable_name(PyObject* name, const Ref& path) {
    if (PyBytes_Check(path.get()) ? !PyBytes_Check(name) : !PyUnicode_Check(name)) return false;
    return !names_exactly(name, "") && !names_exactly(name, ".") && !names_exactly(name, "..");
}

// os.path.isjunction where the host has it (3.12 on); on older hosts
// shutil.rmtree itself refuses a junction, as it refuses a symbolic link.
Truth is_link_or_junction(const Module& module, const Ref& path) {
    Ref link = module.call_os_path(host::islink, path);
    if (!link) return std::nullopt;
    Truth is_link = truth(link.get());
    if (!is_link || *is_link) return is_link;
    Ref isjunction = module.os_path(host::isjunction);
    if (!isjunction) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return std::nullopt;
        PyErr_Clear();
        return false;
    }
    Ref junction = call(isjunction, path);
    if (!junction) return std::nullopt;
    return truth(junction.get());
}

// The last name of a path, after its trailing separators: "P1\\" names P1,
// and a root ("/", "C:\\") has no name.
bool last_name(const Module& module, const Ref& path, Ref& stripped, Ref& parent, Ref& name) {
    stripped = without_trailing_separators(module, path);
    if (!stripped) return false;
    Ref parts = module.call_os_path(host::split, stripped);
    return parts && unpack_pair(parts.get(), parent, name);
}

// Steps that may fail without the caller hearing of it: the folder is left
// as it is, partly removed at worst. The name is judged as the caller gave
// it too, since Windows' rule of making a path full collapses "." and "..".
// The parent becomes the current folder first, as callers may rely on, but
// the folder is removed by its full path: another thread may change the
// current folder in between.
bool remove_tree_from_parent(const Module& module, const Ref& given, const Ref& folder) {
    Ref stripped, parent, name;
    if (!last_name(module, given, stripped, parent, name)) return false;
    if (!removable_name(name.get(), stripped)) return true;
    if (!last_name(module, folder, stripped, parent, name)) return false;
    if (!removable_name(name.get(), stripped)) return true;
    Truth linked = is_link_or_junction(module, stripped);
    if (!linked) return false;
    if (*linked) return true;
    if (!module.call_imported(host::os, host::chdir, parent)) return false;
    return static_cast<bool>(module.call_imported(host::shutil, host::rmtree, stripped));
}

Ref remove_folder_tree(const Module& module, PyObject* argument) {
    if (!check_guard(module, Guard::Setup)) return {};
    // Read once and made full once: every step below works on this one folder.
    Ref given = read_path_once(module, argument);
    if (!given) return {};
    // "" exists nowhere (made full, it would name the current folder).
    if (names_exactly(given.get(), "")) return none();
    Ref folder = full_path(module, given);
    if (!folder) return {};
    Truth found = module.exists(folder.get());
    if (!found) return {};
    if (!*found) return none();
    Ref is_folder = module.call_os_path(host::isdir, folder);
    if (!is_folder) return {};
    Truth folder_exists = truth(is_folder.get());
    if (!folder_exists) return {};
    if (!*folder_exists) return none();

    if (!remove_tree_from_parent(module, given, folder)) {
        if (!PyErr_ExceptionMatches(PyExc_Exception)) return {};
        PyErr_Clear();
    }
    return none();
}

constexpr Signature<1> remove_project_folder_signature{"removeProjectFolder", {"folderDirectory"}};
Ref remove_project_folder(Module module, const Arguments<1>& arguments) {
    return remove_folder_tree(module, arguments[0]);
}

constexpr Signature<1> remove_project_signature{"removeProject", {"projectDirectory"}};
Ref remove_project(Module module, const Arguments<1>& arguments) { return remove_folder_tree(module, arguments[0]); }

}  // namespace

PyMethodDef addProjectFolder_function = define_function<add_project_folder_signature, add_project_folder>(
    "addProjectFolder(directory, folderName)\n"
    "\n"
    "Add a project folder in directory. Return the folder path or an empty string if already exist or problem.");

PyMethodDef removeProjectFolder_function = define_function<remove_project_folder_signature, remove_project_folder>(
    "removeProjectFolder(folderDirectory)\n"
    "\n"
    "Try to remove a folder by its path.");

PyMethodDef removeProject_function = define_function<remove_project_signature, remove_project>(
    "removeProject(projectDirectory)\n"
    "\n"
    "Try to remove a project by its path.");

}  // namespace brivane
