#include "model_folder.hpp"

#include "host_names.hpp"

namespace brivane {
namespace {
constexpr const char* fre_ending = ".fre";
constexpr const char* fallback_fre_name = "conception.fre";
}  // namespace

Ref stem_of(const Module& module, PyObject* path) {
    Ref base = module.call_os_path(host::basename, path);
    if (!base) return {};
    Ref parts = module.call_os_path(host::splitext, base);
    if (!parts) return {};
    return Ref::consuming(PySequence_GetItem(parts.get(), 0));
}

Ref fre_file_in(const Module& module, PyObject* directory, PyObject* study_name) {
    Ref ending = text(fre_ending);
    if (!ending) return {};
    Ref name = Ref::consuming(PyNumber_Add(study_name, ending.get()));
    if (!name) return {};
    Ref first_choice = module.call_os_path(host::join, directory, name);
    if (!first_choice) return {};
    Truth found = module.exists(first_choice.get());
    if (!found) return {};
    if (*found) return first_choice;
    Ref fallback = text(fallback_fre_name);
    if (!fallback) return {};
    return module.call_os_path(host::join, directory, fallback);
}

Ref fre_file_for(const Module& module, PyObject* model_file) {
    Ref directory = module.call_os_path(host::dirname, model_file);
    if (!directory) return {};
    Ref study_name = stem_of(module, model_file);
    if (!study_name) return {};
    return fre_file_in(module, directory.get(), study_name.get());
}

}  // namespace brivane
