// What the solving keeps between calls: the folders the module made and the
// tickets of the solver runs, in a storage of its own. The one release point
// (state.hpp) lets them go with everything else.
//
// The records are this process's: a child made by fork() starts with none.
// What its parent made or started is not its own, so a child never deletes
// one of its parent's folders and never waits for one of its parent's runs.
#pragma once

#include <array>

#include "handles.hpp"

namespace brivane::solving {

enum class Phase { free, starting, cancelled, running, abandoned, ended };

// A worker's ticket (run_handshake.hpp).
struct Ticket {
    Ref worker;  // the thread object
    Ref folder;  // an exact str or bytes copy, or nothing
    Phase phase = Phase::free;
    unsigned long ident = 0;  // the body's thread, once it began
    unsigned long issued = 0;
};

// The most workers that can hold a ticket at once.
inline constexpr std::size_t ticket_count = 16;

struct Records {
    // The folders the module made (made_folders.hpp): tuples of exact str or
    // bytes, immutable, so that no one who reaches a tuple can change it.
    Ref folders_made;
    Ref folders_pending;
    Ref folder_protections;  // a folder once per protection
    Ref folders_deleting;    // while a thread deletes them

    // One per solve at a time, in practice; the others are workers given up
    // while they started, kept so that a body that runs late still finds
    // itself cancelled.
    std::array<Ticket, ticket_count> tickets;
    unsigned long issued_tickets = 0;
};

// This process's records, in this interpreter's life. What a parent recorded
// before the fork is let go first, without running any Python code.
Records& records() noexcept;

}  // namespace brivane::solving
