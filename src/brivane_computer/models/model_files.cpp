// loadVokel, saveVokel, getVokel and find_first_file: model files on disk.
#include "arguments.hpp"
#include "full_path.hpp"
#include "function_table.hpp"
#include "guards.hpp"
#include "host_names.hpp"
#include "module_globals.hpp"
#include "sdk/bridge.hpp"
#include "sdk/product.hpp"

namespace brivane {
namespace {

constexpr Signature<1> load_vokel_signature{"loadVokel", {"vokelFilename"}};
Ref load_vokel(Module module, const Arguments<1>& arguments) {
    if (!check_guard(module, Guard::Setup)) return {};
    Ref filename_text = text_path(module, arguments[0]);
    if (!filename_text) return {};
    PyObject* filename = filename_text.get();
    Truth found = module.exists(filename);
    if (!found) return {};
    if (!*found) return none();

    if (!sdk::load_assemblies(module, {&sdk::assembly::sdk, &sdk::assembly::helper, &sdk::assembly::pelorix_core})) {
        return {};
    }
    Ref model_class = sdk::import_class(module, sdk::ns::pelorix_core, sdk::cls::Model);
    if (!model_class) return {};
    Ref model = call(model_class);
    if (!model) return {};
    if (!call_method(model, sdk::member::LoadFromFile, filename)) {
        // A file that the product cannot load is "no model", not an error.
        if (!PyErr_ExceptionMatches(PyExc_Exception)) return {};
        PyErr_Clear();
        return none();
    }
    return model;
}

constexpr Signature<2> save_vokel_signature{"saveVokel", {"vokel", "vokelFilename"}};
Ref save_vokel(Module module, const Arguments<2>& arguments) {
    PyObject* model = arguments[0];
    if (!check_guard(module, Guard::Setup)) return {};
    Ref filename = text_path(module, arguments[1]);
    if (!filename) return {};
    Truth present = differs(model, Py_None);
    if (!present) return {};
    if (*present) {
        if (!call_method(model, sdk::member::SaveToFile, filename)) return {};
        if (!module.call(functions::writeFreFile, model, filename)) return {};
    }
    return none();
}

constexpr Signature<1> get_vokel_signature{"getVokel", {"directory"}};
Ref get_vokel(Module module, const Arguments<1>& arguments) {
    if (!check_guard(module, Guard::Setup)) return {};
    Ref directory = text_path(module, arguments[0]);
    if (!directory) return {};
    Ref ending = text(".vokel");
    if (!ending) return {};
    return module.call(functions::find_first_file, directory, ending);
}

// name.lower().endswith(ending), each method called as the host calls one, without a bound method.
Truth lowered_ends_with(PyObject* name, PyObject* ending) {
    PyObject* lower = host::lower.get();
    PyObject* endswith = host::endswith.get();
    if (lower == nullptr || endswith == nullptr) return std::nullopt;
    Ref lowered = Ref::consuming(PyObject_CallMethodObjArgs(name, lower, nullptr));
    if (!lowered) return std::nullopt;
    Ref matches = Ref::consuming(PyObject_CallMethodObjArgs(lowered.get(), endswith, ending, nullptr));
    if (!matches) return std::nullopt;
    return truth(matches.get());
}

// The listing is taken once; the file test runs only for names with the
// right ending, and only until the first match.
constexpr Signature<2> find_first_file_signature{"find_first_file", {"directory", "ext"}};
Ref find_first_file(Module module, const Arguments<2>& arguments) {
    // The ending is compared with the names of a text listing: given as bytes, it is decoded too.
    Ref directory = text_path(module, arguments[0]);
    if (!directory) return {};
    Ref ending_text = text_path(module, arguments[1]);
    if (!ending_text) return {};
    PyObject* ending = ending_text.get();
    Ref listing = module.call_imported(host::os, host::listdir, directory);
    if (!listing) return {};
    Ref entries = Ref::consuming(PyObject_GetIter(listing.get()));
    if (!entries) return {};
    while (Ref name = Ref::consuming(PyIter_Next(entries.get()))) {
        Truth ends_right = lowered_ends_with(name.get(), ending);
        if (!ends_right) return {};
        if (!*ends_right) continue;

        Ref path = module.call_os_path(host::join, directory, name);
        if (!path) return {};
        Ref is_file = module.call_os_path(host::isfile, path);
        if (!is_file) return {};
        Truth regular = truth(is_file.get());
        if (!regular) return {};
        if (*regular) return path;
    }
    if (PyErr_Occurred()) return {};
    return text("");
}

}  // namespace

PyMethodDef loadVokel_function = define_function<load_vokel_signature, load_vokel>(
    "loadVokel(vokelFilename)\n"
    "\n"
    "Load a vokeL based on its filename.\n"
    "Return the vokeL class if exists. None otherwise.");

PyMethodDef saveVokel_function = define_function<save_vokel_signature, save_vokel>(
    "saveVokel(vokel, vokelFilename)\n"
    "\n"
    "Save the vokel with its filename. It will also save a fre file with the same name.");

PyMethodDef getVokel_function = define_function<get_vokel_signature, get_vokel>(
    "getVokel(directory)\n"
    "\n"
    "Return the first vokel filename in the directory or empty string if doesn't exist.");

PyMethodDef find_first_file_function = define_function<find_first_file_signature, find_first_file>(
    "find_first_file(directory, ext)\n"
    "\n"
    "Return the first file with extension = ext in directory or empty string if not exists.");

}  // namespace brivane
