#include "solving/abandoned_run.hpp"

#include "errors.hpp"
#include "host_names.hpp"
#include "kept_state.hpp"
#include "solving/made_folders.hpp"

namespace brivane::abandoned_run {
namespace {

struct Record {
    KeptObject worker;  // the thread object
    KeptObject folder;  // an exact str or bytes copy, or nothing
    bool ended = false;
};
constinit Record record;

// Seconds between two looks at whether the run ended.
constexpr double wait_step = 0.05;

void forget(bool free_objects) noexcept {
    record.worker.release(free_objects);
    record.folder.release(free_objects);
    record.ended = false;
}

bool going() noexcept { return record.worker.get() != nullptr && !record.ended; }

}  // namespace

void remember(PyObject* worker, PyObject* folder) {
    PendingError error = PendingError::fetch();
    forget(true);
    record.worker.keep(Ref::owning(worker).release());
    record.folder.keep(made_folders::exact_copy(folder).release());
    // A folder that cannot be recorded is not protected; what stopped the join matters more.
    PyErr_Clear();
    error.restore();
}

Truth still_going(const Module& module) {
    if (!going()) return false;
    Ref worker = Ref::owning(record.worker.get());
    Ref threads = module.call_host(host::threading, host::enumerate);
    if (!threads) return std::nullopt;
    const int listed = PySequence_Contains(threads.get(), worker.get());
    if (listed < 0) return std::nullopt;
    if (!listed && record.worker.get() == worker.get()) record.ended = true;
    return listed == 1;
}

bool wait_for_end(const Module& module) {
    Truth running = still_going(module);
    if (!running) return false;
    if (*running) {
        Ref pause = module.call_host(host::threading, host::Event);
        if (!pause) return false;
        Ref step = Ref::consuming(PyFloat_FromDouble(wait_step));
        if (!step) return false;
        while (*running) {
            if (!call_method(pause, host::wait, step)) return false;
            running = still_going(module);
            if (!running) return false;
        }
    }
    forget(true);
    return true;
}

Truth is_current_thread() {
    if (!going()) return false;
    Ref worker = Ref::owning(record.worker.get());
    Ref identity = attribute(worker, host::ident);
    if (!identity) return std::nullopt;
    if (identity.get() == Py_None) return false;
    const unsigned long thread = PyLong_AsUnsignedLong(identity.get());
    if (thread == static_cast<unsigned long>(-1) && PyErr_Occurred()) return std::nullopt;
    return thread == PyThread_get_thread_ident();
}

void end() noexcept { record.ended = true; }

bool holds(PyObject* folder) noexcept {
    return going() && record.folder.get() != nullptr && made_folders::same_path(record.folder.get(), folder);
}

void release(bool free_objects) noexcept { forget(free_objects); }

}  // namespace brivane::abandoned_run
