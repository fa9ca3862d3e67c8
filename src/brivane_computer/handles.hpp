// Owned references to Python objects.
//
// The ownership rule: every reference that this module owns lives in a Ref
// (or, for one scope on a hot path, in a Pin), so that no error path can leak
// it and no reader has to count references; what the module keeps between
// calls lives in Refs of its State (state.hpp). The one exception is Leaked,
// the holder of the objects that the module gives up on purpose. Borrowed
// pointers are only ever used for the span of a call that cannot run Python
// code, or point into an object that a Ref of the State holds for as long as
// the pointer is used; anything kept longer is taken into a Ref first.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <optional>
#include <utility>

namespace brivane {

// Reference counts change through the interpreter's functions rather than the
// inline macros, so that a debug interpreter's reference total stays exact
// with this release-built, stable-ABI module (its leak hunt relies on it).
inline void add_reference(PyObject* object) noexcept { Py_IncRef(object); }
inline void drop_reference(PyObject* object) noexcept { Py_DecRef(object); }

class Ref {
public:
    Ref() noexcept = default;

    // Consumes a new reference: the result of a C API call that returns one.
    // Nothing is added; the Ref drops it at the end.
    static Ref consuming(PyObject* object) noexcept { return Ref(object); }
    // Becomes one more owner of an object that someone else owns (a borrowed
    // reference): adds a reference, which the Ref drops at the end.
    static Ref owning(PyObject* object) noexcept {
        add_reference(object);
        return Ref(object);
    }

    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    Ref& operator=(Ref&& other) noexcept {
        if (this != &other) {
            // Drop the old object last: its finaliser may run Python code.
            PyObject* old = std::exchange(object_, std::exchange(other.object_, nullptr));
            drop_reference(old);
        }
        return *this;
    }
    ~Ref() { drop_reference(object_); }

    PyObject* get() const noexcept { return object_; }
    PyObject* release() noexcept { return std::exchange(object_, nullptr); }
    Ref copy() const noexcept { return owning(object_); }
    explicit operator bool() const noexcept { return object_ != nullptr; }

private:
    explicit Ref(PyObject* object) noexcept : object_(object) {}
    PyObject* object_ = nullptr;
};

// The holder of the objects that the module leaks on purpose: what a solver
// run still going may use when its interpreter ends (state.hpp). A reference
// handed over is kept for ever: no count may change once the interpreter that
// owned the object is gone, and freeing it under the running thread would be
// worse than the leak.
class Leaked {
public:
    static void keep(Ref object) noexcept { static_cast<void>(object.release()); }
};

// Keeps a borrowed object alive for one scope, such as an element of a list
// whose visit may run Python code that empties the list. The two counts are
// balanced within the scope, so the inline operations leave a debug
// interpreter's total as it was; they cost no call on the hot paths that
// visit many elements.
class Pin {
public:
    explicit Pin(PyObject* object) noexcept : object_(object) { Py_INCREF(object_); }
    Pin(const Pin&) = delete;
    Pin& operator=(const Pin&) = delete;
    ~Pin() { Py_DECREF(object_); }
    PyObject* get() const noexcept { return object_; }

private:
    PyObject* object_;
};

// What a raise helper returns once it has set an exception: the failure value
// of whichever kind of function passes it on, an empty Ref or false. So every
// raise reads `return raise_...(...)`, and none can be dropped by mistake.
struct [[nodiscard]] Raised {
    operator Ref() const noexcept { return Ref(); }
    operator bool() const noexcept { return false; }
};

inline Ref none() noexcept { return Ref::owning(Py_None); }
inline Ref boolean(bool value) noexcept { return Ref::owning(value ? Py_True : Py_False); }

// A truth value that may have failed: std::nullopt means a Python exception is set.
using Truth = std::optional<bool>;

inline PyObject* as_object(PyObject* object) noexcept { return object; }
inline PyObject* as_object(const Ref& ref) noexcept { return ref.get(); }

}  // namespace brivane
