#include "solving/run_handshake.hpp"

#include "host_names.hpp"
#include "solving/made_folders.hpp"
#include "solving/records.hpp"

namespace brivane::run_handshake {
namespace {

using solving::Phase;
using solving::Ticket;

// Seconds between two looks at whether an abandoned run ended.
constexpr double wait_step = 0.05;

auto& tickets() noexcept { return solving::records().tickets; }

void forget(Ticket& ticket) noexcept {
    // Taken out first: the ticket is free before dropping the worker can run any code.
    Ref worker = std::move(ticket.worker);
    Ref folder = std::move(ticket.folder);
    ticket.phase = Phase::free;
    ticket.ident = 0;
}

Ticket* of_worker(PyObject* worker) noexcept {
    for (Ticket& ticket : tickets()) {
        if (ticket.phase != Phase::free && ticket.worker.get() == worker) return &ticket;
    }
    return nullptr;
}

// The ticket of the body running on this thread.
Ticket* of_this_thread() noexcept {
    const unsigned long self = PyThread_get_thread_ident();
    for (Ticket& ticket : tickets()) {
        if ((ticket.phase == Phase::running || ticket.phase == Phase::abandoned) && ticket.ident == self) {
            return &ticket;
        }
    }
    return nullptr;
}

// A free slot; when none is left, the oldest worker given up before its body began.
Ticket* free_slot() noexcept {
    Ticket* oldest = nullptr;
    for (Ticket& ticket : tickets()) {
        if (ticket.phase == Phase::free) return &ticket;
        if (ticket.phase == Phase::cancelled && (oldest == nullptr || ticket.issued < oldest->issued)) {
            oldest = &ticket;
        }
    }
    if (oldest != nullptr) forget(*oldest);
    return oldest;
}

bool any_abandoned() noexcept {
    for (const Ticket& ticket : tickets()) {
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
    ticket->worker = Ref::owning(worker);
    ticket->folder = std::move(recorded);
    ticket->phase = Phase::starting;
    ticket->issued = ++solving::records().issued_tickets;
    return true;
}

void joined(PyObject* worker) noexcept {
    if (Ticket* ticket = of_worker(worker)) forget(*ticket);
}

void give_up(PyObject* worker) noexcept {
    Ticket* ticket = of_worker(worker);
    if (ticket == nullptr) return;
    switch (ticket->phase) {
        case Phase::starting: ticket->phase = Phase::cancelled; break;
        case Phase::running: ticket->phase = Phase::abandoned; break;
        case Phase::ended: forget(*ticket); break;
        default: break;
    }
}

Truth enter() {
    const unsigned long self = PyThread_get_thread_ident();
    // Which waiting worker this thread is: reading a thread's ident runs Python code, so the
    // workers are held while they are looked at, and the ticket is found again afterwards.
    Ref found;
    for (std::size_t i = 0; i < tickets().size() && !found; ++i) {
        if (tickets()[i].phase != Phase::starting && tickets()[i].phase != Phase::cancelled) continue;
        Ref worker = tickets()[i].worker.copy();
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
        forget(*ticket);
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
    forget(*ticket);
    return true;
}

bool abandoned_here() noexcept {
    const Ticket* ticket = of_this_thread();
    return ticket != nullptr && ticket->phase == Phase::abandoned;
}

bool wait_for_abandoned(const Module& module) {
    if (!any_abandoned()) return true;
    Ref pause = module.call_imported(host::threading, host::Event);
    if (!pause) return false;
    Ref step = Ref::consuming(PyFloat_FromDouble(wait_step));
    if (!step) return false;
    while (any_abandoned()) {
        if (!call_method(pause, host::wait, step)) return false;
    }
    return true;
}

bool holds(PyObject* folder) noexcept {
    for (const Ticket& ticket : tickets()) {
        if ((ticket.phase == Phase::running || ticket.phase == Phase::abandoned) && ticket.folder.get() != nullptr &&
            made_folders::same_path(ticket.folder.get(), folder)) {
            return true;
        }
    }
    return false;
}

bool outstanding() noexcept {
    for (const Ticket& ticket : tickets()) {
        if (ticket.phase != Phase::free && ticket.phase != Phase::ended) return true;
    }
    return false;
}

}  // namespace brivane::run_handshake
