#include "guards.hpp"

#include "errors.hpp"
#include "module_globals.hpp"

namespace brivane {
namespace {

constinit Name invalid_setup_message{
    "Invalid setup! Please call 'from brivane_computer import setup_brivane_computer' and set up with "
    "Pelorix installation directory."};

Raised refuse() { return raise_environment_error(invalid_setup_message); }

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
