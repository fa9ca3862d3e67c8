// The module's fixed refusals, and exceptions held aside while cleanup code
// runs, with the host's chaining.
#pragma once

#include "names.hpp"

namespace brivane {

// Raises EnvironmentError (the host's OSError) with a fixed message. The
// message is a Name, made once like a constant of Python source, so that a
// refusal met again and again formats nothing.
Raised raise_environment_error(const Name& message);

// The exception being raised, taken out of the thread state so that a
// cleanup step (a finally block, a with-block exit) can call Python code.
class PendingError {
public:
    static PendingError fetch() noexcept;
    PendingError() noexcept = default;
    PendingError(PendingError&&) noexcept = default;
    PendingError& operator=(PendingError&&) noexcept = default;

    PyObject* value() const noexcept { return value_.get(); }

    // Raises the held exception again.
    void restore() noexcept;
    // After a cleanup step: when the step raised, its exception stays and the
    // held one becomes its __context__, as a finally block does; otherwise the
    // held one is raised again.
    void restore_unless_replaced() noexcept;

private:
    Ref type_;
    Ref value_;
    Ref traceback_;
};

}  // namespace brivane
