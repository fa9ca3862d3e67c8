// What the module keeps across calls (interned names, prepared messages and
// argument tuples, the unpacking helper, the records of the folders it made
// and of a solver run still going) belongs to the interpreter that made it.
// It is released while that interpreter can still run Python code, from a
// callback that the module registers with atexit when it is loaded, so that an
// interpreter started again in the same process builds everything afresh.
#pragma once

#include <utility>

#include "handles.hpp"

namespace brivane {

// Releases everything kept. With `free_objects` false (a solver run of this
// interpreter may still be using them) the objects are only forgotten, and
// leaked: freeing them under a running thread would be worse.
void release_kept_state(bool free_objects) noexcept;

// One object kept across calls, such as a prepared argument tuple.
class KeptObject {
public:
    PyObject* get() const noexcept { return object_; }
    // Takes over a new reference.
    void keep(PyObject* object) noexcept { object_ = object; }
    void release(bool free_objects) noexcept {
        PyObject* object = std::exchange(object_, nullptr);
        if (free_objects) drop_reference(object);
    }

private:
    PyObject* object_ = nullptr;
};

}  // namespace brivane
