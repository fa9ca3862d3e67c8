#include "solving/records.hpp"

#include "forks.hpp"
#include "module_namespace.hpp"
#include "solving/made_folders.hpp"
#include "solving/run_handshake.hpp"
#include "state.hpp"

namespace brivane::solving {
namespace {

struct Storage {
    Records records;
    unsigned forks = 0;  // forks::seen() when the records were last this process's
};

// Never destroyed, as the State.
union StorageHolder {
    constexpr StorageHolder() : storage() {}
    ~StorageHolder() {}
    Storage storage;
};
constinit StorageHolder holder;

Records take(Records& records) noexcept {
    Records taken = std::move(records);
    records = Records{};
    return taken;
}

template <class Visit>
void each_object(Records& records, Visit&& visit) {
    for (Ticket& ticket : records.tickets) {
        visit(ticket.worker);
        visit(ticket.folder);
    }
    for (Ref* folders :
         {&records.folders_made, &records.folders_pending, &records.folder_protections, &records.folders_deleting}) {
        visit(*folders);
    }
}

// A parent's records in a child: the tuples of paths go at once, which runs
// no code; a parent's thread objects are kept for ever, since dropping one may
// run code where the caller allows none.
void forget_parents(Records& records) noexcept {
    Records parents = take(records);
    for (Ticket& ticket : parents.tickets) Leaked::keep(std::move(ticket.worker));
}

// The storage, its parent's records let go when this process is a child made by a fork since they were made.
Storage& this_process() noexcept {
    Storage& storage = holder.storage;
    if (storage.forks != forks::seen()) {
        forget_parents(storage.records);
        storage.forks = forks::seen();
    }
    return storage;
}

bool in_use() noexcept { return run_handshake::outstanding(); }

// This process's folders that no protection and no run still going keeps:
// those whose deletion was asked and could not be made yet.
bool at_exit(PyObject* module) { return made_folders::retry_pending(Module(module)); }

void let_go(bool keep) noexcept {
    Records ended = take(this_process().records);
    each_object(ended, [keep](Ref& object) {
        if (keep) {
            Leaked::keep(std::move(object));
        } else {
            object = Ref();
        }
    });
}

constexpr KeptElsewhere kept{&in_use, &at_exit, &let_go};

}  // namespace

Records& records() noexcept {
    Records& current = this_process().records;
    state().elsewhere = &kept;
    return current;
}

}  // namespace brivane::solving
