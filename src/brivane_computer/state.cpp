#include "state.hpp"

#include "errors.hpp"

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
    visit(kept.unpacker);
    visit(kept.interned_names);
}

// Takes everything out of the State, which begins a new life.
State take_all() noexcept {
    State& current = state();
    State taken = std::move(current);
    current = State{};
    current.life = taken.life + 1;
    return taken;
}

void let_go(State& ended, bool keep) noexcept {
    if (ended.elsewhere != nullptr) ended.elsewhere->let_go(keep);
    each_object(ended, [keep](Ref& object) {
        if (keep) {
            Leaked::keep(std::move(object));
        } else {
            object = Ref();
        }
    });
}

}  // namespace

bool release_state() noexcept {
    const KeptElsewhere* elsewhere = state().elsewhere;
    Ref module = state().module.copy();
    PendingError error;
    if (elsewhere != nullptr && module && !elsewhere->at_exit(module.get())) error = PendingError::fetch();
    // A solver run still going, or a worker whose body may yet begin, may be using what is kept.
    const bool in_use = state().elsewhere != nullptr && state().elsewhere->in_use();
    State ended = take_all();
    state().released = true;
    let_go(ended, in_use);
    if (!error.value()) return true;
    error.restore();
    return false;
}

void forget_ended_interpreter() noexcept {
    if (!state().released && !state().ended) return;
    State ended = take_all();
    let_go(ended, true);
}

}  // namespace brivane
