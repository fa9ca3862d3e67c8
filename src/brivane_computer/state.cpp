#include "state.hpp"

#include "solving/run_handshake.hpp"

namespace brivane {

namespace detail {
constinit StateStorage state_storage;
}  // namespace detail

namespace {

// Every object the State holds, in the order they are let go: the names
// last, since letting the others go may run code that needs a name.
template <class Visit>
void each_object(State& kept, Visit&& visit) {
    visit(kept.module);
    for (run_handshake::Ticket& ticket : kept.tickets) {
        visit(ticket.worker);
        visit(ticket.folder);
    }
    for (Ref* folders : {&kept.folders_made, &kept.folders_pending, &kept.folder_protections, &kept.folders_deleting}) {
        visit(*folders);
    }
    visit(kept.unpacker);
    visit(kept.interned_names);
}

// Takes everything out of the State, which begins a new life; only the
// interpreter record stays.
State take_all() noexcept {
    State& current = state();
    State taken = std::move(current);
    current = State{};
    current.has_interpreter = taken.has_interpreter;
    current.interpreter = taken.interpreter;
    current.life = taken.life + 1;
    return taken;
}

}  // namespace

void release_state() noexcept {
    // A solver run still going, or a worker whose body may yet begin, may be using what is kept.
    const bool in_use = run_handshake::outstanding();
    State ended = take_all();
    state().released = true;
    each_object(ended, [in_use](Ref& object) {
        if (in_use) {
            Leaked::keep(std::move(object));
        } else {
            object = Ref();
        }
    });
}

void forget_ended_interpreter() noexcept {
    if (!state().released) return;
    State ended = take_all();
    each_object(ended, [](Ref& object) { Leaked::keep(std::move(object)); });
}

}  // namespace brivane
