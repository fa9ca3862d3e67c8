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
// afresh. Two exceptions:
// - what a solver run still going may use is not released but handed to
//   Leaked (handles.hpp): freeing it under the running thread would be worse;
// - the record of the first interpreter stays for the whole process: the
//   stable ABI of 3.10 has no place where a module keeps a value per
//   interpreter.
#pragma once

#include <array>
#include <cstdint>

#include "handles.hpp"

namespace brivane {

namespace run_handshake {

enum class Phase { free, starting, cancelled, running, abandoned, ended };

// A worker's ticket (run_handshake.hpp).
struct Ticket {
    Ref worker;  // the thread object
    Ref folder;  // an exact str or bytes copy, or nothing
    Phase phase = Phase::free;
    unsigned long ident = 0;  // the body's thread, once it began
    unsigned long issued = 0;
};

}  // namespace run_handshake

struct State {
    // Loading (module.cpp). The interpreter record is the process-wide one.
    bool has_interpreter = false;
    std::int64_t interpreter = 0;  // the first interpreter that created the module
    Ref module;                    // the one module object of the interpreter's life
    bool executed = false;
    // Set by release_state: what is kept afterwards (by a later atexit
    // callback or a run that outlived the release) belongs to an ended
    // interpreter, and the next one lets it go untouched.
    bool released = false;

    // Interned names (names.hpp): a tuple that owns every name interned in
    // this life. A Name keeps a borrowed pointer into it, valid while its
    // stamp equals `life`.
    Ref interned_names;
    std::uint64_t life = 1;

    // The unpacking helper (calls.hpp).
    Ref unpacker;

    // The folders the module made (made_folders.hpp): tuples of exact str or
    // bytes, immutable, so that no one who reaches a tuple can change it.
    Ref folders_made;
    Ref folders_pending;
    Ref folder_protections;  // a folder once per protection
    Ref folders_deleting;    // while a thread deletes them

    // The solver runs' tickets (run_handshake.hpp). One per solve at a time,
    // in practice; the others are workers given up while they started, kept
    // so that a body that runs late still finds itself cancelled.
    std::array<run_handshake::Ticket, 16> tickets;
    unsigned long issued_tickets = 0;
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

// The one release point, called by the atexit callback (module.cpp).
void release_state() noexcept;

// When a new interpreter creates the module: what an ended interpreter's
// code kept after its release is let go untouched (Leaked).
void forget_ended_interpreter() noexcept;

}  // namespace brivane
