// createVokel, createPipingVokel and createStructureVokel: new, empty models
// with their layer "0".
#include "arguments.hpp"
#include "function_table.hpp"
#include "guards.hpp"
#include "module_globals.hpp"
#include "sdk/bridge.hpp"
#include "sdk/product.hpp"

namespace brivane {
namespace {

constexpr const char* first_layer_name = "0";

constexpr Signature<1> create_vokel_signature{"createVokel", {"module"}};
Ref create_vokel(Module module, const Arguments<1>& arguments) {
    if (!sdk::load_assemblies(module, {&sdk::assembly::helper, &sdk::assembly::pelorix_core})) return {};
    Ref model_class, layer_class;
    if (!sdk::import_classes(module, sdk::ns::pelorix_core,
                             {{&sdk::cls::Model, &model_class}, {&sdk::cls::Layer, &layer_class}})) {
        return {};
    }
    Ref model = call(model_class, arguments[0]);
    if (!model) return {};
    Ref layer_name = text(first_layer_name);
    if (!layer_name) return {};
    Ref layer = call(layer_class, layer_name);
    if (!layer) return {};
    Ref layers = attribute(model, sdk::member::Layers);
    if (!layers || !call_method(layers, sdk::member::Add, layer)) return {};
    return model;
}

// The discipline (the product's own enumeration, not the module's BrivaneModule) names the kind.
Ref create_model_of_kind(const Module& module, const Name& kind) {
    if (!check_guard(module, Guard::Setup)) return {};
    Ref discipline = sdk::discipline(module, kind);
    if (!discipline) return {};
    return module.call(functions::createVokel, discipline);
}

constexpr Signature<0> create_piping_vokel_signature{"createPipingVokel", {}};
Ref create_piping_vokel(Module module, const Arguments<0>&) {
    return create_model_of_kind(module, sdk::member::Pelorix);
}

constexpr Signature<0> create_structure_vokel_signature{"createStructureVokel", {}};
Ref create_structure_vokel(Module module, const Arguments<0>&) {
    return create_model_of_kind(module, sdk::member::Karvona);
}

}  // namespace

PyMethodDef createVokel_function = define_function<create_vokel_signature, create_vokel>(
    "createVokel(module)\n"
    "\n"
    "For internal use.");

PyMethodDef createPipingVokel_function = define_function<create_piping_vokel_signature, create_piping_vokel>(
    "createPipingVokel()\n"
    "\n"
    "Return an empty piping model with layer 0.");

PyMethodDef createStructureVokel_function = define_function<create_structure_vokel_signature, create_structure_vokel>(
    "createStructureVokel()\n"
    "\n"
    "Return an empty structure model with layer 0.");

}  // namespace brivane
