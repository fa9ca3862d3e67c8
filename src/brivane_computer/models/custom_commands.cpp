// createCommand and executeCommand: the product's named commands run on a
// model through the module's command controller.
#include "arguments.hpp"
#include "function_table.hpp"
#include "guards.hpp"
#include "module_globals.hpp"
#include "sdk/bridge.hpp"
#include "sdk/product.hpp"

namespace brivane {
namespace {

constexpr Signature<2> create_command_signature{"createCommand", {"commandName", "vokel"}};
Ref create_command(Module module, const Arguments<2>& arguments) {
    auto [command_name, model] = arguments;
    if (!check_guard(module, Guard::Setup)) return {};
    if (!sdk::load_assemblies(module, {&sdk::assembly::pelorix_core})) return {};
    Ref command_class = sdk::import_class(module, sdk::ns::pelorix_core, sdk::cls::CustomCommand);
    if (!command_class) return {};

    // The controller works on the model of the latest command made.
    Ref controller = module.get(globals::commandController);
    if (!controller || !set_attribute(controller.get(), sdk::member::model, model)) return {};

    // The product takes the model first and the name second.
    Ref command = call(command_class, model, command_name);
    if (!command) return {};
    // Running it must neither reload nor save the model: saving is the script's choice.
    if (!set_attribute(command.get(), sdk::member::NeedToReloadModelAfterCommand, Py_False) ||
        !set_attribute(command.get(), sdk::member::NeedToSaveModelAfterCommand, Py_False)) {
        return {};
    }
    return command;
}

constexpr Signature<1> execute_command_signature{"executeCommand", {"command"}};
Ref execute_command(Module module, const Arguments<1>& arguments) {
    if (!check_guard(module, Guard::Setup)) return {};
    Ref controller = module.get(globals::commandController);
    if (!controller || !call_method(controller, sdk::member::AddCommand, arguments[0])) return {};
    return none();
}

}  // namespace

PyMethodDef createCommand_function = define_function<create_command_signature, create_command>(
    "createCommand(commandName, vokel)\n"
    "\n"
    "Create a custom command based on its name.");

PyMethodDef executeCommand_function = define_function<execute_command_signature, execute_command>(
    "executeCommand(command)\n"
    "\n"
    "Execute the custom command on current vokeL. You need to save the vokeL manually!");

}  // namespace brivane
