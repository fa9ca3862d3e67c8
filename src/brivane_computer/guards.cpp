#include "guards.hpp"

#include "module_globals.hpp"

namespace brivane {
namespace {

// Made once and shared by every raise, like a constant of Python source. It
// is kept as the argument tuple of the exception, which the host unpacks
// into EnvironmentError(message) when the exception is caught.
constinit Name invalid_setup_message{
    "Invalid setup! Please call 'from brivane_computer import setup_brivane_computer' and set up with "
    "Pelorix installation directory."};

bool refuse() {
    static PyObject* arguments = nullptr;  // kept for the life of the process, like the message
    if (arguments == nullptr) {
        PyObject* message = invalid_setup_message.get();
        if (message == nullptr) return false;
        arguments = PyTuple_Pack(1, message);
        if (arguments == nullptr) return false;
    }
    PyErr_SetObject(PyExc_OSError, arguments);
    return false;
}

}  // namespace

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
