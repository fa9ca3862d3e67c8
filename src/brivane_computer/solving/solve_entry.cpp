// solve: a model file solved by name, in its own folder or in a sandbox copy;
// copyDirectoryToTemp: a whole folder copied to a new temporary folder.
#include "arguments.hpp"
#include "full_path.hpp"
#include "function_table.hpp"
#include "guards.hpp"
#include "host_names.hpp"
#include "models/model_folder.hpp"
#include "module_globals.hpp"
#include "solving/made_folders.hpp"
#include "solving/solve_by_kind.hpp"

namespace brivane {
namespace {

// tempfile.gettempdir() joined with str(uuid.uuid4())
Ref new_temporary_folder_name(const Module& module) {
    Ref temporary = module.call_host(host::tempfile, host::gettempdir);
    if (!temporary) return {};
    Ref unique = module.call_host(host::uuid, host::uuid4);
    if (!unique) return {};
    Ref unique_text = Ref::consuming(PyObject_Str(unique.get()));
    if (!unique_text) return {};
    return module.call_os_path(host::join, temporary, unique_text);
}

// shutil.copy(source, folder joined with source's base name), when source exists.
bool copy_into(const Module& module, PyObject* source, PyObject* folder) {
    Truth found = module.exists(source);
    if (!found) return false;
    if (!*found) return true;
    Ref base = module.call_os_path(host::basename, source);
    if (!base) return false;
    Ref target = module.call_os_path(host::join, folder, base);
    return target && module.call_host(host::shutil, host::copy, source, target);
}

// Creates the working folder and copies the model, its fre file and its first
// thf file into it. Returns the model file to solve.
Ref prepare_folder(const Module& module, PyObject* model_file, PyObject* folder, PyObject* fre_file,
                   PyObject* thf_file) {
    if (!module.call_host(host::os, host::makedirs, folder)) return {};
    // Recorded at once, so that a failed copy still leaves it for disposeSolution to delete.
    if (!made_folders::remember(folder) || !module.set(globals::tempDirectory, folder)) return {};
    Ref base = module.call_os_path(host::basename, model_file);
    if (!base) return {};
    Ref copied_model = module.call_os_path(host::join, folder, base);
    if (!copied_model || !module.call_host(host::shutil, host::copy, model_file, copied_model)) return {};
    if (!copy_into(module, fre_file, folder) || !copy_into(module, thf_file, folder)) return {};
    return copied_model;
}

constexpr Signature<3> solve_signature{"solve", {"filename", "solvername", "sandbox"}};
Ref solve(Module module, const Arguments<3>& arguments) {
    auto [given_file, solver_name, sandbox] = arguments;
    if (!check_guard(module, Guard::Setup)) return {};
    // A bare name means the current folder at the call, never a later one.
    Ref model_file_path = full_path_once(module, given_file);
    if (!model_file_path) return {};
    PyObject* model_file = model_file_path.get();
    Truth found = module.exists(model_file);
    if (!found) return {};
    if (!*found) {
        if (!module.print("Invalid filename")) return {};
        return none();
    }
    if (!module.call(functions::disposeSolution)) return {};

    Ref model_folder = module.call_os_path(host::dirname, model_file);
    if (!model_folder) return {};
    Ref first_choice = with_fre_extension(module, model_file);
    if (!first_choice) return {};
    Ref fre_file = fre_file_or_conception(module, first_choice.get(), model_folder.get());
    if (!fre_file) return {};
    Ref thf_file = first_thf_file(module, model_folder.get());
    if (!thf_file) return {};

    Truth in_sandbox = truth(sandbox);
    if (!in_sandbox) return {};
    Ref folder = *in_sandbox ? new_temporary_folder_name(module) : model_folder.copy();
    if (!folder) return {};
    Ref solved_file = Ref::owning(model_file);
    Truth folder_exists = module.exists(folder.get());
    if (!folder_exists) return {};
    if (!*folder_exists) {
        solved_file = prepare_folder(module, model_file, folder.get(), fre_file.get(), thf_file.get());
        if (!solved_file) return {};
    }

    Ref model = module.call(functions::loadVokel, solved_file);
    if (!model) return {};
    Truth loaded = differs(model.get(), Py_None);
    if (!loaded) return {};
    if (!*loaded) {
        if (!module.print("Invalid vokel")) return {};
        return none();
    }
    return solve_by_kind(module, model.get(), solved_file.get(), solver_name, folder.get());
}

constexpr Signature<1> copy_directory_signature{"copyDirectoryToTemp", {"directory"}};
Ref copy_directory_to_temp(Module module, const Arguments<1>& arguments) {
    Ref source = full_path_once(module, arguments[0]);
    if (!source) return {};
    Ref folder = new_temporary_folder_name(module);
    if (!folder) return {};
    // Only a folder that did not exist before is this call's own: it may be
    // cleaned up here, and deleted by disposeSolution once _tempDirectory_ names it.
    Truth taken = module.exists(folder.get());
    if (!taken) return {};
    Ref copy_tree = module.host(host::shutil, host::copytree);
    if (!copy_tree) return {};
    if (call_with_keywords(copy_tree.get(), {source.get(), folder.get()}, {{&host::dirs_exist_ok, Py_True}})) {
        if (!*taken && !made_folders::remember(folder.get())) return {};
        return folder;
    }
    if (!PyErr_ExceptionMatches(PyExc_Exception)) return {};
    PyErr_Clear();
    if (*taken) return text("");

    // Remove what was copied before the failure: the folder is this call's own.
    Ref remove_tree = module.host(host::shutil, host::rmtree);
    if (remove_tree) call_with_keywords(remove_tree.get(), {folder.get()}, {{&host::ignore_errors, Py_True}});
    if (PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_Exception)) return {};
        PyErr_Clear();
    }
    return text("");
}

}  // namespace

PyMethodDef solve_function = define_function<solve_signature, solve>(
    "solve(filename, solvername, sandbox)\n"
    "\n"
    "Solve a piping/structure vokeL with use of a solver in a sandbox or not.\n"
    "solvername can be 'Revav' or 'Quelbar'.\n"
    "The path of the selected solver must exist in Pelorix's settings.\n"
    "Return a Solution object or None if invalid filename or solvername.");

PyMethodDef copyDirectoryToTemp_function = define_function<copy_directory_signature, copy_directory_to_temp>(
    "copyDirectoryToTemp(directory)\n"
    "\n"
    "Return a unic temporary directory with all the content of directory.\n"
    "Return an empty string if a problem occurs.");

}  // namespace brivane
