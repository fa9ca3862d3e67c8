// solve: a model file solved by name, in its own folder or in a sandbox copy;
// copyDirectoryToTemp: a whole folder copied to a new temporary folder.
#include "arguments.hpp"
#include "errors.hpp"
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
    Ref temporary = module.call_imported(host::tempfile, host::gettempdir);
    if (!temporary) return {};
    Ref unique = module.call_imported(host::uuid, host::uuid4);
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
    return target && module.call_imported(host::shutil, host::copy, source, target);
}

// Tries a few names before it gives up: only a replaced uuid4 gives one twice.
constexpr int sandbox_names = 8;

// os.mkdir(folder): a folder that exists already is never taken for a new
// one. Once it returned the folder is the module's own, recorded and
// protected at once, before any Python code can run.
Truth make_folder(const Module& module, PyObject* folder) {
    if (!module.call_imported(host::os, host::mkdir, folder)) {
        if (!PyErr_ExceptionMatches(PyExc_FileExistsError)) return std::nullopt;
        PyErr_Clear();
        return false;
    }
    if (!made_folders::remember_protected(folder)) return std::nullopt;
    return true;
}

// A new folder under the system temporary folder, made by this call.
Ref make_sandbox(const Module& module) {
    for (int attempt = 0; attempt < sandbox_names; ++attempt) {
        Ref folder = new_temporary_folder_name(module);
        if (!folder) return {};
        Truth made = make_folder(module, folder.get());
        if (!made) return {};
        if (*made) return folder;
    }
    PyErr_SetString(PyExc_FileExistsError, "every new temporary folder name is taken");
    return {};
}

// A creation cut short by any exception, an interrupt included: the folder
// this call made goes before the exception does; a folder that cannot be
// deleted stays pending, for disposeSolution. False, with the exception set.
bool give_up_folder(const Module& module, const Ref& folder, made_folders::Protection& protection) {
    PendingError error = PendingError::fetch();
    protection.end();
    made_folders::delete_own_folder(module, folder, false);
    error.restore_unless_replaced();
    return false;
}

// _tempDirectory_ = folder. A folder of the module's that the global names
// until now is handed over to the next disposeSolution instead of being
// forgotten (made_folders::hand_over_replaced).
bool name_sandbox(const Module& module, const Ref& folder) {
    PyObject* current = module.peek(globals::tempDirectory);
    if (current == nullptr) {
        // A global that a script deleted names nothing.
        if (!PyErr_ExceptionMatches(PyExc_NameError)) return false;
        PyErr_Clear();
    } else {
        // Held: the records may allocate, and a collection may run code that rebinds the global.
        Ref replaced = Ref::owning(current);
        if (!made_folders::hand_over_replaced(replaced.get(), folder.get())) return false;
    }
    return module.set(globals::tempDirectory, folder);
}

// Copies the model, its fre file and its first thf file into the folder
// this call made. Returns the model file to solve.
Ref copy_model_files(const Module& module, PyObject* model_file, PyObject* folder, PyObject* fre_file,
                     PyObject* thf_file) {
    Ref base = module.call_os_path(host::basename, model_file);
    if (!base) return {};
    Ref copied_model = module.call_os_path(host::join, folder, base);
    if (!copied_model || !module.call_imported(host::shutil, host::copy, model_file, copied_model)) return {};
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
    Ref folder;
    bool made = false;
    if (*in_sandbox) {
        folder = make_sandbox(module);
        if (!folder) return {};
        made = true;
    } else {
        folder = model_folder.copy();
        Truth folder_exists = module.exists(folder.get());
        if (!folder_exists) return {};
        // Missing only when it went since the file was found.
        if (!*folder_exists) {
            Truth created = make_folder(module, folder.get());
            if (!created) return {};
            made = *created;
        }
    }
    // A folder this call made is protected from its creation until the solve ends: while the files
    // are copied and while the run works in it, no disposeSolution of any thread deletes it.
    made_folders::Protection protection(made ? folder.copy() : Ref());
    Ref solved_file = Ref::owning(model_file);
    if (made) {
        solved_file = copy_model_files(module, model_file, folder.get(), fre_file.get(), thf_file.get());
        if (!solved_file || !name_sandbox(module, folder)) {
            give_up_folder(module, folder, protection);
            return {};
        }
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
    // Only a folder that this call made is filled: an existing one (FileExistsError) is left alone.
    Truth made = make_folder(module, folder.get());
    if (!made) {
        if (!PyErr_ExceptionMatches(PyExc_Exception)) return {};
        PyErr_Clear();
        return text("");
    }
    if (!*made) return text("");
    made_folders::Protection protection(folder.copy());
    Ref copy_tree = module.imported(host::shutil, host::copytree);
    if (copy_tree &&
        call_with_keywords(copy_tree.get(), {source.get(), folder.get()}, {{&host::dirs_exist_ok, Py_True}})) {
        return folder;
    }
    give_up_folder(module, folder, protection);
    if (!PyErr_ExceptionMatches(PyExc_Exception)) return {};
    PyErr_Clear();
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
