// Everything the module keeps between calls, in one State reached through
// state().
//
// The State is the process's, not the module object's: the module's
// definition asks for no state block (m_size 0). The module object is one
// for the interpreter's life, and a re-import hands back that same object;
// the interpreter would give a module with a state block a fresh, zeroed
// block at each execution, and a re-import would silently forget the
// pending sandboxes and a run still going.
//
// What the State holds belongs to the interpreter that made it and is
// released at one point: release_state, which the callback that the module
// registers with atexit calls while that interpreter can still run Python
// code (the module object is held until then, so its m_free would never
// run). An interpreter started again in the same process builds everything
// afresh. Two exceptions, both handed to Leaked (handles.hpp) and never
// touched again:
// - what a solver run still going may use: freeing it under the running
//   thread would be worse;
// - what an interpreter whose release never ran still holds (a first import
//   made while its atexit callbacks ran, too late to register one): its
//   objects went with it, and the next interpreter only lets go of them.
#pragma once

#include <cstdint>

#include "handles.hpp"

namespace brivane {

// A part of what the module keeps that a layer holds in a storage of its
// own (the solving's records of its folders and runs). The release point
// reaches it only through these, without knowing what it holds.
struct KeptElsewhere {
    // Whether a worker may still run the module's code.
    bool (*in_use)() noexcept;
    // At exit, before anything is let go, while the interpreter still runs
    // Python code: what may be deleted is deleted. False with an exception set.
    bool (*at_exit)(PyObject* module);
    // Empties the part: every object dropped, or handed to Leaked when `keep`.
    void (*let_go)(bool keep) noexcept;
};

struct State {
    // Loading (module.cpp).
    Ref module;  // the one module object of the interpreter's life
    bool executed = false;
    // Set by release_state: what is kept afterwards (by a later atexit
    // callback or a run that outlived the release) belongs to an ended
    // interpreter, and the next one lets it go untouched.
    bool released = false;
    // Set once the interpreter's finalisation is over, whether or not the
    // release ran: the next interpreter lets go untouched whatever is kept.
    bool ended = false;

    // Interned names (names.hpp): a tuple that owns every name interned in
    // this life. A Name keeps a borrowed pointer into it, valid while its
    // stamp equals `life`.
    Ref interned_names;
    std::uint64_t life = 1;

    // The unpacking helper (calls.hpp).
    Ref unpacker;

    // The solving's records (solving/records.hpp), once used in this life.
    const KeptElsewhere* elsewhere = nullptr;
};

namespace detail {
// Never destroyed: a destructor run at process exit, after the interpreter
// is gone, must change no reference count.
union StateStorage {
    constexpr StateStorage() : state() {}
    ~StateStorage() {}
    State state;
};
extern constinit StateStorage state_storage;
}  // namespace detail

inline State& state() noexcept { return detail::state_storage.state; }

// The one release point, called by the atexit callback (module.cpp): first
// the deletions that may be made at exit, then everything is let go. False,
// with the exception of a deletion set, once everything is let go all the
// same.
bool release_state() noexcept;

// When the module is created: what an ended interpreter's code kept is let
// go untouched (Leaked).
void forget_ended_interpreter() noexcept;

}  // namespace brivane
