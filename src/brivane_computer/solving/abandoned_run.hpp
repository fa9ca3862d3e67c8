// The solver run that its caller stopped waiting for. A Ctrl-C during the
// join (or the start) leaves the worker thread running; until that run ends,
// the folder it works in is not deleted, its Solution never replaces a later
// solve's (the run disposes it), and no other solver run starts.
//
// Whether the worker still runs is read from threading.enumerate(), which
// lists a thread from before it starts until its last step. Thread.is_alive()
// cannot tell: on 3.10 an interrupted join marks a running thread as stopped.
#pragma once

#include "module_namespace.hpp"

namespace brivane::abandoned_run {

// After the start or the join of `worker` failed (the exception stays set):
// the worker may be running in `folder`.
void remember(PyObject* worker, PyObject* folder);

// Whether the abandoned run is still going (false once it ended, or when
// there is none); std::nullopt with an exception set when it cannot be told.
Truth still_going(const Module& module);

// Before a solver run starts: waits for an abandoned run to end, then forgets
// it. The wait sleeps in short steps, so a Ctrl-C ends it on every platform;
// false with the exception set then.
bool wait_for_end(const Module& module);

// On a run's own thread: whether this is the abandoned run.
Truth is_current_thread();
// On the abandoned run's thread, when its work is done: it holds nothing any more.
void end() noexcept;

// Whether the abandoned run, as last known to be going, works in `folder`
// (an equal str or bytes).
bool holds(PyObject* folder) noexcept;

// See kept_state.hpp.
void release(bool free_objects) noexcept;

}  // namespace brivane::abandoned_run
