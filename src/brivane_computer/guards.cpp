#include "guards.hpp"

#include "module_globals.hpp"

namespace brivane {
namespace {

// Made once and shared by every raise, like a constant of Python source.
constinit Name invalid_setup_message{
    "Invalid setup! Please call 'from brivane_computer import setup_brivane_computer' and set up with "
    "Pelorix installation directory."};

bool refuse() {
    PyObject* message = invalid_setup_message.get();
    if (message != nullptr) PyErr_SetObject(PyExc_OSError, message);
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
