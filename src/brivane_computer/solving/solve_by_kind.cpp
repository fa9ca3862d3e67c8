// solvePipingModel and solveStructureModel: check the model's kind, pick the
// solver and run it on a worker thread that the caller waits for; and
// solve_by_kind, which hands solve's loaded model to the one of its kind.
#include "solving/solve_by_kind.hpp"
#include "arguments.hpp"
#include "errors.hpp"
#include "full_path.hpp"
#include "function_table.hpp"
#include "guards.hpp"
#include "host_names.hpp"
#include "module_globals.hpp"
#include "sdk/bridge.hpp"
#include "sdk/product.hpp"
#include "solving/run_handshake.hpp"

namespace brivane {
namespace {

constinit Name invalid_model_message{"Invalid vokel."};
constinit Name not_piping_message{"The vokel is not a piping model."};
constinit Name not_structure_message{"The vokel is not a structure model."};

// Guard, model present, model of the expected kind; then _Solution_ is cleared.
bool check_model(const Module& module, Guard guard, PyObject* model, const Name& code_class,
                 const Name& wrong_kind_message) {
    if (!check_guard(module, guard)) return false;
    Truth missing = equals(model, Py_None);
    if (!missing) return false;
    if (*missing) return raise_environment_error(invalid_model_message);
    if (!sdk::load_assemblies(module, {&sdk::assembly::pelorix_core})) return false;
    Ref code_type = sdk::import_class(module, sdk::ns::pelorix_core, code_class);
    if (!code_type) return false;
    Ref code = attribute(model, sdk::member::CalculationCode);
    if (!code) return false;
    const int of_kind = PyObject_IsInstance(code.get(), code_type.get());
    if (of_kind < 0) return false;
    if (!of_kind) return raise_environment_error(wrong_kind_message);
    // Dropped, not disposed.
    return module.set(globals::solution, Py_None);
}

// Runs the run function `run_name` on a new daemon thread and waits for it.
// An exception of the run ends the worker only; the result is _Solution_.
// A run that an earlier caller stopped waiting for (Ctrl-C) ends first: two
// solvers never run at once.
Ref run_on_worker(const Module& module, const Name& run_name, const Arguments<3>& run_arguments) {
    if (!run_handshake::wait_for_abandoned(module)) return {};
    Ref run = module.get(run_name);
    if (!run) return {};
    Ref thread_arguments = Ref::consuming(PyTuple_Pack(3, run_arguments[0], run_arguments[1], run_arguments[2]));
    if (!thread_arguments) return {};
    Ref thread_class = module.imported(host::threading, host::Thread);
    if (!thread_class) return {};
    Ref worker =
        call_with_keywords(thread_class.get(), {}, {{&host::target, run.get()}, {&host::args, thread_arguments.get()}});
    if (!worker || !set_attribute(worker.get(), host::daemon, Py_True)) return {};
    if (!run_handshake::issue(worker.get(), run_arguments[2])) return {};
    if (!call_method(worker, host::start) || !call_method(worker, host::join)) {
        // Interrupted, in the start or the join: a body that began goes on without its caller, and
        // one that has not begun never will.
        run_handshake::give_up(worker.get());
        return {};
    }
    run_handshake::joined(worker.get());
    return module.get(globals::solution);
}

// Whether solver path global is configured (not None).
Truth configured(const Module& module, const Name& path_global) {
    Ref path = module.get(path_global);
    if (!path) return std::nullopt;
    Truth missing = equals(path.get(), Py_None);
    if (!missing) return std::nullopt;
    return !*missing;
}

Ref solve_with_revav(const Module& module, const Arguments<3>& run_arguments) {
    Truth ready = configured(module, globals::revav);
    if (!ready) return {};
    if (!*ready) return none();
    if (!sdk::load_assemblies(module, {&sdk::assembly::sdk, &sdk::assembly::helper, &sdk::assembly::revav_core})) {
        return {};
    }
    return run_on_worker(module, functions::RevavSolve, run_arguments);
}

Ref solve_with_quelbar(const Module& module, const Arguments<3>& run_arguments) {
    Truth ready = configured(module, globals::quelbar);
    if (!ready) return {};
    if (!*ready) return none();
    if (!sdk::load_assemblies(module, {&sdk::assembly::sdk, &sdk::assembly::quelbar_core})) return {};
    return run_on_worker(module, functions::QuelbarSolve, run_arguments);
}

Truth names_solver(PyObject* solver_name, const char* solver) {
    Ref expected = text(solver);
    if (!expected) return std::nullopt;
    return equals(solver_name, expected.get());
}

constexpr Signature<4> solve_piping_signature{"solvePipingModel",
                                              {"vokel", "vokelFilename", "solvername", "directory"}};
Ref solve_piping_model(Module module, const Arguments<4>& arguments) {
    auto [model, given_file, solver_name, given_directory] = arguments;
    if (!check_model(module, Guard::Piping, model, sdk::cls::PipingCode, not_piping_message)) {
        return {};
    }
    Ref model_file = text_path(module, given_file);
    if (!model_file) return {};
    Ref directory = text_path(module, given_directory);
    if (!directory) return {};
    const Arguments<3> run_arguments{model, model_file.get(), directory.get()};
    Truth revav = names_solver(solver_name, sdk::revav_solver);
    if (!revav) return {};
    if (*revav) return solve_with_revav(module, run_arguments);
    Truth quelbar = names_solver(solver_name, sdk::quelbar_solver);
    if (!quelbar) return {};
    if (*quelbar) return solve_with_quelbar(module, run_arguments);
    if (!module.print("Invalid solver name. use 'Revav' or 'Quelbar'.")) return {};
    return none();
}

constexpr Signature<3> solve_structure_signature{"solveStructureModel", {"vokel", "vokelFilename", "directory"}};
Ref solve_structure_model(Module module, const Arguments<3>& arguments) {
    if (!check_model(module, Guard::Structure, arguments[0], sdk::cls::StructureCode, not_structure_message)) {
        return {};
    }
    Ref model_file = text_path(module, arguments[1]);
    if (!model_file) return {};
    Ref directory = text_path(module, arguments[2]);
    if (!directory) return {};
    return solve_with_revav(module, {arguments[0], model_file.get(), directory.get()});
}

}  // namespace

Ref solve_by_kind(const Module& module, PyObject* model, PyObject* model_file, PyObject* solver_name,
                  PyObject* folder) {
    if (!sdk::load_assemblies(module, {&sdk::assembly::pelorix_core})) return {};
    Ref piping_code, structure_code;
    if (!sdk::import_classes(module, sdk::ns::pelorix_core,
                             {{&sdk::cls::PipingCode, &piping_code}, {&sdk::cls::StructureCode, &structure_code}})) {
        return {};
    }
    Ref code = attribute(model, sdk::member::CalculationCode);
    if (!code) return {};
    int of_kind = PyObject_IsInstance(code.get(), piping_code.get());
    if (of_kind < 0) return {};
    if (of_kind) {
        if (!module.call(functions::solvePipingModel, model, model_file, solver_name, folder)) return {};
        return module.get(globals::solution);
    }
    code = attribute(model, sdk::member::CalculationCode);
    if (!code) return {};
    of_kind = PyObject_IsInstance(code.get(), structure_code.get());
    if (of_kind < 0) return {};
    if (of_kind) {
        if (!module.call(functions::solveStructureModel, model, model_file, folder)) return {};
        return module.get(globals::solution);
    }
    return none();
}

PyMethodDef solvePipingModel_function = define_function<solve_piping_signature, solve_piping_model>(
    "solvePipingModel(vokel, vokelFilename, solvername, directory)\n"
    "\n"
    "Solve a piping vokeL with use of a solver.\n"
    "solvername can be 'Revav' or 'Quelbar'.\n"
    "The path of the selected solver must exist in Pelorix's settings.\n"
    "Return a Solution object.");

PyMethodDef solveStructureModel_function = define_function<solve_structure_signature, solve_structure_model>(
    "solveStructureModel(vokel, vokelFilename, directory)\n"
    "\n"
    "Solve a structure vokeL with use of a Revav solver.\n"
    "The path of Revav solver must exist in Pelorix's settings.\n"
    "Return a Solution object.");

}  // namespace brivane
