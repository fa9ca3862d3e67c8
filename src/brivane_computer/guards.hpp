// The set-up guards that guarded functions apply before anything else.
#pragma once

#include "module_namespace.hpp"

namespace brivane {

enum class Guard {
    Setup,      // _validSetup_
    Piping,     // _validSetup_ and _validPelorix_
    Structure,  // _validSetup_ and _validKarvona_
};

// False with EnvironmentError set when the guard fails (or reading a flag raised).
bool check_guard(const Module& module, Guard guard);

}  // namespace brivane
