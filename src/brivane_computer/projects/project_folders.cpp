// addProjectFolder, removeProjectFolder and removeProject: plain folders of
// the projects area, without the product.
#include "arguments.hpp"
#include "function_table.hpp"
#include "guards.hpp"
#include "host_names.hpp"

namespace brivane {
namespace {

constexpr Signature<2> add_project_folder_signature{"addProjectFolder", {"directory", "folderName"}};
Ref add_project_folder(Module module, const Arguments<2>& arguments) {
    auto [directory, folder_name] = arguments;
    if (!check_guard(module, Guard::Setup)) return {};
    Ref folder = module.call_os_path(host::join, directory, folder_name);
    if (!folder) return {};
    Truth taken = module.exists(folder.get());
    if (!taken) return {};
    if (*taken) return text("");
    if (!module.call_host(host::os, host::makedirs, folder)) return {};
    return folder;
}

// Steps that may fail without the caller hearing of it: the folder is left
// as it is, partly removed at worst.
bool remove_tree_from_parent(const Module& module, const Ref& folder) {
    Ref parent = module.call_os_path(host::dirname, folder);
    return parent && module.call_host(host::os, host::chdir, parent) &&
           module.call_host(host::shutil, host::rmtree, folder);
}

Ref remove_folder_tree(const Module& module, PyObject* path) {
    if (!check_guard(module, Guard::Setup)) return {};
    // Made absolute first: the working directory changes before the removal,
    // and a relative path must still name the folder the caller meant.
    Ref folder = module.call_os_path(host::abspath, path);
    if (!folder) return {};
    Truth found = module.exists(folder.get());
    if (!found) return {};
    if (!*found) return none();
    Ref is_folder = module.call_os_path(host::isdir, folder);
    if (!is_folder) return {};
    Truth folder_exists = truth(is_folder.get());
    if (!folder_exists) return {};
    if (!*folder_exists) return none();

    if (!remove_tree_from_parent(module, folder)) {
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
