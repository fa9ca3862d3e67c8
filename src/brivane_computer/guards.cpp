#include "guards.hpp"

#include "kept_state.hpp"
#include "module_globals.hpp"

namespace brivane {
namespace {

// Made once and shared by every raise, like a constant of Python source. It
// is kept as the argument tuple of the exception, which the host unpacks
// into EnvironmentError(message) when the exception is caught.
constinit Name invalid_setup_message{
    "Invalid setup! Please call 'from brivane_computer import setup_brivane_computer' and set up with "
    "Pelorix installation directory."};

constinit KeptObject refusal_arguments;

Raised refuse() {
    if (refusal_arguments.get() == nullptr) {
        PyObject* message = invalid_setup_message.get();
        if (message == nullptr) return {};
        PyObject* arguments = PyTuple_Pack(1, message);
        if (arguments == nullptr) return {};
        refusal_arguments.keep(arguments);
    }
    PyErr_SetObject(PyExc_OSError, refusal_arguments.get());
    return {};
}

}  // namespace

void release_guard_state(bool free_objects) noexcept { refusal_arguments.release(free_objects); }

bool check_guard(const Module& module, Guard guard) {
    Truth setup = module.flag(globals::validSetup);
    if (!setup) return false;
    if (!*setup) return refuse();
    if (guard == Guard::Setup) return true;
    Truth kind = module.flag(guard == Guard::Piping ? globals::validPelorix : globals::validKarvona);
    if (!kind) return false;
    return *kind || refuse();
}

}  // namespace brivane
