// inspectClass and findNameSpaceAndAssembly: the product's inspector,
// describing objects and locating classes.
#include "arguments.hpp"
#include "function_table.hpp"
#include "guards.hpp"
#include "module_globals.hpp"
#include "sdk/bridge.hpp"
#include "sdk/product.hpp"

namespace brivane {
namespace {

constexpr Signature<2> inspect_class_signature{"inspectClass", {"instance", "indent"}};
Ref inspect_class(Module module, const Arguments<2>& arguments) {
    auto [instance, indent] = arguments;
    if (!check_guard(module, Guard::Setup)) return {};
    if (!sdk::load_assemblies(module, {&sdk::assembly::sdk, &sdk::assembly::pelorix_core})) return {};
    // Importing Model makes the core classes known to the inspector.
    if (!sdk::import_class(module, sdk::ns::pelorix_core, sdk::cls::Model)) return {};
    Ref inspector = sdk::import_class(module, sdk::ns::sdk, sdk::cls::BrivaneClassInspector);
    if (!inspector) return {};
    return call_method(inspector, sdk::member::ExportObjectToJson, instance, indent);
}

constexpr Signature<1> find_namespace_signature{"findNameSpaceAndAssembly", {"className"}};
Ref find_namespace_and_assembly(Module module, const Arguments<1>& arguments) {
    if (!check_guard(module, Guard::Setup)) return {};
    if (!sdk::load_assemblies(module, {&sdk::assembly::sdk})) return {};
    Ref inspector = sdk::import_class(module, sdk::ns::sdk, sdk::cls::BrivaneClassInspector);
    if (!inspector) return {};
    Ref assemblies = module.get(globals::dllPath);
    if (!assemblies) return {};
    Ref value = call_method(inspector, sdk::member::FindNamespaceAndAssemblyFromClassName, assemblies, arguments[0]);
    if (!value) return {};
    Truth missing = equals(value.get(), Py_None);
    if (!missing) return {};
    // A pair even when nothing was found, so that unpacking always works.
    if (*missing) return Ref::consuming(PyTuple_Pack(2, Py_None, Py_None));
    Ref namespace_name = attribute(value, sdk::member::Item1);
    if (!namespace_name) return {};
    Ref assembly = attribute(value, sdk::member::Item2);
    if (!assembly) return {};
    return Ref::consuming(PyTuple_Pack(2, namespace_name.get(), assembly.get()));
}

}  // namespace

PyMethodDef inspectClass_function = define_function<inspect_class_signature, inspect_class>(
    "inspectClass(instance, indent)\n"
    "\n"
    "Return a json structure with all properties and public method of an instance or a class.\n"
    "indent = True for indented json");

PyMethodDef findNameSpaceAndAssembly_function = define_function<find_namespace_signature, find_namespace_and_assembly>(
    "findNameSpaceAndAssembly(className)\n"
    "\n"
    "Return the c# namespace and assembly of a className.\n"
    "Return None if doesn't exists in Pelorix installation.");

}  // namespace brivane
