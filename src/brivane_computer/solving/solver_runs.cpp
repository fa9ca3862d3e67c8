// _QuelbarSolve and _RevavSolve: one solver run inside a COM apartment,
// leaving a Solution in _Solution_ on success.
#include "arguments.hpp"
#include "errors.hpp"
#include "full_path.hpp"
#include "function_table.hpp"
#include "host_names.hpp"
#include "models/model_folder.hpp"
#include "module_globals.hpp"
#include "sdk/bridge.hpp"
#include "sdk/product.hpp"
#include "solving/made_folders.hpp"
#include "solving/run_handshake.hpp"

namespace brivane {
namespace {

// Opens a COM apartment on the current thread, runs `body` and closes the
// apartment on every path, as a finally block would.
template <class Body>
Ref in_apartment(const Module& module, Body&& body) {
    if (!module.call_imported(host::pythoncom, host::CoInitialize)) return {};
    const bool completed = body();
    PendingError error;
    if (!completed) error = PendingError::fetch();
    Ref closed = module.call_imported(host::pythoncom, host::CoUninitialize);
    if (!completed) {
        error.restore_unless_replaced();
        return {};
    }
    if (!closed) return {};
    return none();
}

// result == 0, with the host's equality.
Truth is_zero(const Ref& result) {
    Ref zero = Ref::consuming(PyLong_FromLong(0));
    if (!zero) return std::nullopt;
    return equals(result.get(), zero.get());
}

bool keep_solution(const Module& module, const Ref& solution_class, const Ref& solver) {
    Ref solution = call(solution_class, Py_None, solver);
    if (!solution) return false;
    // A run that its caller stopped waiting for never replaces a later solve's
    // solution; it closes the files its own holds, so that its folder can go.
    if (run_handshake::abandoned_here()) return static_cast<bool>(call_method(solution, sdk::member::Dispose));
    return module.set(globals::solution, solution);
}

bool dispose(const Ref& solver) { return static_cast<bool>(call_method(solver, sdk::member::Dispose)); }

// solver_class(arguments...) with IgnoreWarnings set, as both runs make their solver.
template <class... Args>
Ref make_solver(const Ref& solver_class, const Args&... arguments) {
    Ref solver = call(solver_class, arguments...);
    if (!solver || !set_attribute(solver.get(), sdk::member::IgnoreWarnings, Py_True)) return {};
    return solver;
}

bool run_quelbar(const Module& module, PyObject* model, PyObject* model_file, PyObject* directory) {
    Ref study_name = stem_of(module, model_file);
    if (!study_name) return false;
    Ref fre_file = fre_file_in(module, directory, study_name.get());
    if (!fre_file) return false;
    Truth has_fre_file = module.exists(fre_file.get());
    if (!has_fre_file) return false;
    // The writer puts the file beside the model file; in the normal flow that is `directory`.
    if (!*has_fre_file && !module.call(functions::writeFreFile, model, model_file)) return false;
    Ref thf_file = first_thf_file(module, directory);
    if (!thf_file) return false;

    Ref solver_class = sdk::import_class(module, sdk::ns::quelbar_core, sdk::cls::QuelbarSolver);
    if (!solver_class) return false;
    Ref solution_class = sdk::import_class(module, sdk::ns::pelorix_core, sdk::cls::Solution);
    if (!solution_class) return false;
    Ref solver_path = module.get(globals::quelbar);
    if (!solver_path) return false;
    Ref solver = make_solver(solver_class, solver_path, model, fre_file, thf_file);
    if (!solver) return false;

    Ref result = call_method(solver, sdk::member::Run);
    if (!result) return false;
    Truth succeeded = is_zero(result);
    if (!succeeded) return false;
    if (!*succeeded) return dispose(solver);
    Ref analysis = call_method(solver, sdk::member::GetAnalysisModel);
    if (!analysis) return false;
    Truth has_analysis = differs(analysis.get(), Py_None);
    if (!has_analysis) return false;
    // Without an analysis model there is no solution, and nothing else would release the solver.
    return *has_analysis ? keep_solution(module, solution_class, solver) : dispose(solver);
}

bool run_revav(const Module& module, PyObject* model, PyObject* model_file, PyObject* directory) {
    Ref thf_file = first_thf_file(module, directory);
    if (!thf_file) return false;
    if (!sdk::reference_core_library(module)) return false;
    Ref thread_class = sdk::import_class(module, sdk::ns::threading, sdk::cls::Thread);
    if (!thread_class || !sdk::apply_set_up_culture(module, thread_class)) return false;

    Ref solver_class = sdk::import_class(module, sdk::ns::revav_core, sdk::cls::RevavSolver);
    if (!solver_class) return false;
    Ref solution_class = sdk::import_class(module, sdk::ns::pelorix_core, sdk::cls::Solution);
    if (!solution_class) return false;
    Ref solver_path = module.get(globals::revav);
    if (!solver_path) return false;
    // The Revav solver reads the model file itself; it has no fre file.
    Ref solver = make_solver(solver_class, solver_path, model, model_file, thf_file, Py_False);
    if (!solver) return false;

    PyObject* keep_distant_models = Py_False;
    Ref built = call_method(solver, sdk::member::BuildAnalysisModel, keep_distant_models);
    if (!built) return false;
    Ref zero = Ref::consuming(PyLong_FromLong(0));
    if (!zero) return false;
    const int failed_to_build = PyObject_RichCompareBool(built.get(), zero.get(), Py_LT);
    if (failed_to_build < 0) return false;
    if (failed_to_build) return dispose(solver);

    Ref result = call_method(solver, sdk::member::Run);
    if (!result) return false;
    Truth succeeded = is_zero(result);
    if (!succeeded) return false;
    return *succeeded ? keep_solution(module, solution_class, solver) : dispose(solver);
}

// The end of a run's body: when its caller had given it up, its folder is
// free now, and a deletion that waited for it is made. The run's own error
// (`result` empty) waits aside meanwhile; an error of the deletion takes
// over, with it as context.
Ref end_run(const Module& module, Ref result) {
    PendingError error;
    if (!result) error = PendingError::fetch();
    if (run_handshake::leave() && !made_folders::retry_pending(module)) {
        if (!result) error.restore_unless_replaced();
        return {};
    }
    if (!result) error.restore();
    return result;
}

template <auto run>
Ref solver_run(Module module, const Arguments<3>& arguments) {
    // A worker that its caller gave up before this body began touches nothing.
    Truth go_on = run_handshake::enter();
    if (!go_on) return {};
    if (!*go_on) return none();
    Ref result;
    // The previous solution is dropped, not disposed: disposing is disposeSolution's job.
    if (module.set(globals::solution, Py_None)) {
        Ref model_file = text_path(module, arguments[1]);
        Ref directory = model_file ? text_path(module, arguments[2]) : Ref();
        if (directory) {
            result = in_apartment(module, [&] { return run(module, arguments[0], model_file.get(), directory.get()); });
        }
    }
    return end_run(module, std::move(result));
}

constexpr Signature<3> quelbar_solve_signature{"_QuelbarSolve", {"vokel", "vokelFilename", "directory"}};
constexpr Signature<3> revav_solve_signature{"_RevavSolve", {"vokel", "vokelFilename", "directory"}};

}  // namespace

PyMethodDef QuelbarSolve_function = define_function<quelbar_solve_signature, solver_run<run_quelbar>>(
    "_QuelbarSolve(vokel, vokelFilename, directory)\n"
    "\n"
    "Private method.\n"
    "Solve a vokel with Quelbar solver in directory.\n"
    "Global _Quelbar_ path exists.\n"
    "Fill the global variable _Solution_ ");

PyMethodDef RevavSolve_function = define_function<revav_solve_signature, solver_run<run_revav>>(
    "_RevavSolve(vokel, vokelFilename, directory)\n"
    "\n"
    "Private method.\n"
    "Solve a vokel with Revav solver in directory.\n"
    "Global _Revav_ path exists.\n"
    "Fill the global variable _Solution_ ");

}  // namespace brivane
