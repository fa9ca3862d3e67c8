// The handshake between a solve and the worker thread that runs its solver.
//
// The caller issues a ticket for the worker before it starts it. The run's
// body, on entry, finds its ticket (by its thread's ident) and takes it up,
// unless the caller has given the worker up already. Whichever side comes
// first decides, in one step that runs no Python code:
// - a body that finds itself cancelled returns at once and touches nothing;
// - a body that began is a running run until it ends. When its caller gave
//   it up (a Ctrl-C during the start or the join) it is abandoned: its folder
//   is not deleted under it, its Solution never replaces a later solve's (it
//   disposes it), and no other solver run starts before it ends.
// Whether a worker runs comes from this handshake only, never from
// threading's lists: a Ctrl-C inside Thread.start() can leave a worker listed
// whose body never runs, and on 3.10 is_alive() says False for a running
// thread after an interrupted join.
#pragma once

#include "module_namespace.hpp"

namespace brivane::run_handshake {

// Before `worker` starts; its run will work in `folder`.
bool issue(PyObject* worker, PyObject* folder);
// After the join returned: the worker is done with.
void joined(PyObject* worker) noexcept;
// After the start or the join failed (the exception stays set): the caller
// gives the worker up.
void give_up(PyObject* worker) noexcept;

// In a run's body, on entry: true to run, false when the caller cancelled it
// (the body then returns at once); std::nullopt with an exception set. A body
// without a ticket (a run called directly) runs.
Truth enter();
// In a run's body at its end: whether it was abandoned. Then it is forgotten,
// and the folders that waited for it may go.
bool leave() noexcept;
// In a run's body: whether its caller has given it up.
bool abandoned_here() noexcept;

// Before a solver run starts: waits for an abandoned run to end. The wait
// sleeps in short steps, so a Ctrl-C ends it on every platform (false with
// the exception set then).
bool wait_for_abandoned(const Module& module);

// Whether a run that began and has not ended works in `folder` (an equal str
// or bytes).
bool holds(PyObject* folder) noexcept;
// Whether any worker may still run the module's code.
bool outstanding() noexcept;

}  // namespace brivane::run_handshake
