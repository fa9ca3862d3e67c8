#include "model_folder.hpp"

#include "host_names.hpp"
#include "module_globals.hpp"

namespace brivane {
namespace {

constexpr const char* fre_ending = ".fre";
constexpr const char* fallback_fre_name = "conception.fre";
constexpr const char* thf_ending = ".thf";

// name + ".fre"
Ref plus_fre_ending(PyObject* name) {
    Ref ending = text(fre_ending);
    if (!ending) return {};
    return Ref::consuming(PyNumber_Add(name, ending.get()));
}

}  // namespace

Ref fre_file_or_conception(const Module& module, PyObject* first_choice, PyObject* folder) {
    Truth found = module.exists(first_choice);
    if (!found) return {};
    if (*found) return Ref::owning(first_choice);
    Ref fallback = text(fallback_fre_name);
    if (!fallback) return {};
    return module.call_os_path(host::join, folder, fallback);
}

Ref with_fre_extension(const Module& module, PyObject* path) {
    Ref parts = module.call_os_path(host::splitext, path);
    if (!parts) return {};
    Ref without_extension = Ref::consuming(PySequence_GetItem(parts.get(), 0));
    if (!without_extension) return {};
    return plus_fre_ending(without_extension.get());
}

Ref stem_of(const Module& module, PyObject* path) {
    Ref base = module.call_os_path(host::basename, path);
    if (!base) return {};
    Ref parts = module.call_os_path(host::splitext, base);
    if (!parts) return {};
    return Ref::consuming(PySequence_GetItem(parts.get(), 0));
}

Ref fre_file_in(const Module& module, PyObject* directory, PyObject* study_name) {
    Ref name = plus_fre_ending(study_name);
    if (!name) return {};
    Ref first_choice = module.call_os_path(host::join, directory, name);
    if (!first_choice) return {};
    return fre_file_or_conception(module, first_choice.get(), directory);
}

Ref fre_file_for(const Module& module, PyObject* model_file) {
    Ref directory = module.call_os_path(host::dirname, model_file);
    if (!directory) return {};
    Ref study_name = stem_of(module, model_file);
    if (!study_name) return {};
    return fre_file_in(module, directory.get(), study_name.get());
}

Ref first_thf_file(const Module& module, PyObject* directory) {
    Ref ending = text(thf_ending);
    if (!ending) return {};
    return module.call(functions::find_first_file, directory, ending);
}

}  // namespace brivane
