#include "sdk/bridge.hpp"

#include "host_names.hpp"
#include "module_globals.hpp"
#include "sdk/product.hpp"

namespace brivane::sdk {

bool load_assemblies(const Module& module, std::initializer_list<const Name*> files) {
    for (const Name* file : files) {
        PyObject* name = file->get();
        if (name == nullptr || !module.call(functions::load_dll, name)) return false;
    }
    return true;
}

bool import_classes(const Module& module, const Name& namespace_name,
                    std::initializer_list<std::pair<const Name*, Ref*>> targets) {
    PyObject* ns = namespace_name.get();
    if (ns == nullptr) return false;
    Ref fromlist = Ref::consuming(PyTuple_New(static_cast<Py_ssize_t>(targets.size())));
    if (!fromlist) return false;
    Py_ssize_t position = 0;
    for (const auto& [name, target] : targets) {
        PyObject* key = name->get();
        if (key == nullptr) return false;
        add_reference(key);
        PyTuple_SetItem(fromlist.get(), position++, key);
    }
    // The same call that `from ns import ...` makes, through the (replaceable) __import__.
    Ref importer = module.builtin(host::import);
    if (!importer) return false;
    Ref level = Ref::consuming(PyLong_FromLong(0));
    if (!level) return false;
    Ref imported = call(importer, ns, PyModule_GetDict(module.object()), Py_None, fromlist, level);
    if (!imported) return false;
    for (const auto& [name, target] : targets) {
        *target = attribute(imported, *name);
        if (!*target) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
            PyErr_Clear();
            PyErr_Format(PyExc_ImportError, "cannot import name '%s' from '%s' (unknown location)", name->text(),
                         namespace_name.text());
            return false;
        }
    }
    return true;
}

Ref import_class(const Module& module, const Name& namespace_name, const Name& cls) {
    Ref imported;
    if (!import_classes(module, namespace_name, {{&cls, &imported}})) return {};
    return imported;
}

bool reference_core_library(const Module& module) {
    PyObject* name = assembly::core_library.get();
    return name != nullptr && module.call_imported(host::clr, host::AddReference, name);
}

bool apply_set_up_culture(const Module& module, const Ref& thread_class) {
    for (const Name* property : {&member::CurrentCulture, &member::CurrentUICulture}) {
        Ref culture = module.get(globals::cultureInfo);
        if (!culture) return false;
        Ref current_thread = attribute(thread_class, member::CurrentThread);
        if (!current_thread || !set_attribute(current_thread.get(), *property, culture.get())) return false;
    }
    return true;
}

Ref discipline(const Module& module, const Name& kind) {
    if (!load_assemblies(module, {&assembly::sdk})) return {};
    Ref disciplines = import_class(module, ns::sdk, cls::BrivaneModule);
    if (!disciplines) return {};
    return attribute(disciplines, kind);
}

}  // namespace brivane::sdk
