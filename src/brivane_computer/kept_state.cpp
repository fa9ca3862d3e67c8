#include "kept_state.hpp"

#include "calls.hpp"
#include "guards.hpp"
#include "solving/run_handshake.hpp"
#include "solving/made_folders.hpp"

namespace brivane {

void release_kept_state(bool free_objects) noexcept {
    made_folders::release(free_objects);
    run_handshake::release(free_objects);
    release_unpacker(free_objects);
    release_guard_state(free_objects);
    // Last: the releases above may still need a name (none do today, but a
    // name dropped first would be interned again and leaked).
    release_names(free_objects);
}

}  // namespace brivane
