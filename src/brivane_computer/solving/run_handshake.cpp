#include "solving/run_handshake.hpp"

#include <array>

#include "host_names.hpp"
#include "kept_state.hpp"
#include "solving/made_folders.hpp"

namespace brivane::run_handshake {
namespace {

enum class Phase { free, starting, cancelled, running, abandoned, ended };

struct Ticket {
    KeptObject worker;  // the thread object
    KeptObject folder;  // an exact str or bytes copy, or nothing
    Phase phase = Phase::free;
    unsigned long ident = 0;  // the body's thread, once it began
    unsigned long issued = 0;
};

// One ticket per solve at a time, in practice; the others are workers given
// up while they started, kept so that a body that runs late still finds
// itself cancelled.
constinit std::array<Ticket, 16> tickets;
constinit unsigned long issued_count = 0;

// Seconds between two looks at whether an abandoned run ended.
constexpr double wait_step = 0.05;

void forget(Ticket& ticket, bool free_objects) noexcept {
    ticket.worker.release(free_objects);
    ticket.folder.release(free_objects);
    ticket.phase = Phase::free;
    ticket.ident = 0;
}

Ticket* of_worker(PyObject* worker) noexcept {
    for (Ticket& ticket : tickets) {
        if (ticket.phase != Phase::free && ticket.worker.get() == worker) return &ticket;
    }
    return nullptr;
}

// The ticket of the body running on this thread.
Ticket* of_this_thread() noexcept {
    const unsigned long self = PyThread_get_thread_ident();
    for (Ticket& ticket : tickets) {
        if ((ticket.phase == Phase::running || ticket.phase == Phase::abandoned) && ticket.ident == self) {
            return &ticket;
        }
    }
    return nullptr;
}

// A free slot; when none is left, the oldest worker given up before its body began.
Ticket* free_slot() noexcept {
    Ticket* oldest = nullptr;
    for (Ticket& ticket : tickets) {
        if (ticket.phase == Phase::free) return &ticket;
        if (ticket.phase == Phase::cancelled && (oldest == nullptr || ticket.issued < oldest->issued)) {
            oldest = &ticket;
        }
    }
    if (oldest != nullptr) forget(*oldest, true);
    return oldest;
}

bool any_abandoned() noexcept {
    for (const Ticket& ticket : tickets) {
        if (ticket.phase == Phase::abandoned) return true;
    }
    return false;
}

}  // namespace

bool issue(PyObject* worker, PyObject* folder) {
    Ref recorded = made_folders::exact_copy(folder);
    if (PyErr_Occurred()) return false;
    Ticket* ticket = free_slot();
    if (ticket == nullptr) {
        PyErr_SetString(PyExc_RuntimeError, "too many solver runs at once");
        return false;
    }
    ticket->worker.keep(Ref::owning(worker).release());
    ticket->folder.keep(recorded.release());
    ticket->phase = Phase::starting;
    ticket->issued = ++issued_count;
    return true;
}

void joined(PyObject* worker) noexcept {
    if (Ticket* ticket = of_worker(worker)) forget(*ticket, true);
}

void give_up(PyObject* worker) noexcept {
    Ticket* ticket = of_worker(worker);
    if (ticket == nullptr) return;
    switch (ticket->phase) {
        case Phase::starting: ticket->phase = Phase::cancelled; break;
        case Phase::running: ticket->phase = Phase::abandoned; break;
        case Phase::ended: forget(*ticket, true); break;
        default: break;
    }
}

Truth enter() {
    const unsigned long self = PyThread_get_thread_ident();
    // Which waiting worker this thread is: reading a thread's ident runs Python code, so the
    // workers are held while they are looked at, and the ticket is found again afterwards.
    Ref found;
    for (std::size_t i = 0; i < tickets.size() && !found; ++i) {
        if (tickets[i].phase != Phase::starting && tickets[i].phase != Phase::cancelled) continue;
        Ref worker = Ref::owning(tickets[i].worker.get());
        Ref ident = attribute(worker, host::ident);
        if (!ident) return std::nullopt;
        if (ident.get() == Py_None) continue;
        const unsigned long thread = PyLong_AsUnsignedLong(ident.get());
        if (thread == static_cast<unsigned long>(-1) && PyErr_Occurred()) return std::nullopt;
        if (thread == self) found = std::move(worker);
    }
    if (!found) return true;
    // From here on no Python code runs: the caller gives up either before or after this step.
    Ticket* ticket = of_worker(found.get());
    if (ticket == nullptr) return true;
    if (ticket->phase == Phase::cancelled) {
        forget(*ticket, true);
        return false;
    }
    if (ticket->phase != Phase::starting) return true;
    ticket->phase = Phase::running;
    ticket->ident = self;
    return true;
}

bool leave() noexcept {
    Ticket* ticket = of_this_thread();
    if (ticket == nullptr) return false;
    if (ticket->phase == Phase::running) {
        ticket->phase = Phase::ended;
        return false;
    }
    forget(*ticket, true);
    return true;
}

bool abandoned_here() noexcept {
    const Ticket* ticket = of_this_thread();
    return ticket != nullptr && ticket->phase == Phase::abandoned;
}

bool wait_for_abandoned(const Module& module) {
    if (!any_abandoned()) return true;
    Ref pause = module.call_host(host::threading, host::Event);
    if (!pause) return false;
    Ref step = Ref::consuming(PyFloat_FromDouble(wait_step));
    if (!step) return false;
    while (any_abandoned()) {
        if (!call_method(pause, host::wait, step)) return false;
    }
    return true;
}

bool holds(PyObject* folder) noexcept {
    for (const Ticket& ticket : tickets) {
        if ((ticket.phase == Phase::running || ticket.phase == Phase::abandoned) && ticket.folder.get() != nullptr &&
            made_folders::same_path(ticket.folder.get(), folder)) {
            return true;
        }
    }
    return false;
}

bool outstanding() noexcept {
    for (const Ticket& ticket : tickets) {
        if (ticket.phase != Phase::free && ticket.phase != Phase::ended) return true;
    }
    return false;
}

void release(bool free_objects) noexcept {
    for (Ticket& ticket : tickets) forget(ticket, free_objects);
}

}  // namespace brivane::run_handshake
