// Small wrappers over the C API calls that the functions make all the time.
// Each returns an empty Ref / std::nullopt / false with an exception set on failure.
#pragma once

#include <cassert>
#include <initializer_list>

#include "names.hpp"

namespace brivane {

template <class... Args>
Ref call(PyObject* callable, const Args&... args) {
    // A null argument would end the argument list early, silently.
    assert(((as_object(args) != nullptr) && ...));
    return Ref::consuming(PyObject_CallFunctionObjArgs(callable, as_object(args)..., nullptr));
}
template <class... Args>
Ref call(const Ref& callable, const Args&... args) {
    return call(callable.get(), args...);
}

inline Ref attribute(PyObject* object, const Name& name) {
    PyObject* key = name.get();
    if (key == nullptr) return {};
    return Ref::consuming(PyObject_GetAttr(object, key));
}
inline Ref attribute(const Ref& object, const Name& name) { return attribute(object.get(), name); }

inline bool set_attribute(PyObject* object, const Name& name, PyObject* value) {
    PyObject* key = name.get();
    return key != nullptr && PyObject_SetAttr(object, key, value) == 0;
}

template <class... Args>
Ref call_method(PyObject* object, const Name& method, const Args&... args) {
    Ref bound = attribute(object, method);
    if (!bound) return {};
    return call(bound, args...);
}
template <class... Args>
Ref call_method(const Ref& object, const Name& method, const Args&... args) {
    return call_method(object.get(), method, args...);
}

// f(positional..., name=value, ...)
using Keywords = std::initializer_list<std::pair<const Name*, PyObject*>>;
Ref call_with_keywords(PyObject* callable, std::initializer_list<PyObject*> positional, Keywords keywords);

inline Truth truth(PyObject* object) {
    const int result = PyObject_IsTrue(object);
    if (result < 0) return std::nullopt;
    return result == 1;
}

// The host's == and != (which run the objects' own comparison methods).
inline Truth equals(PyObject* left, PyObject* right) {
    const int result = PyObject_RichCompareBool(left, right, Py_EQ);
    if (result < 0) return std::nullopt;
    return result == 1;
}
inline Truth differs(PyObject* left, PyObject* right) {
    const int result = PyObject_RichCompareBool(left, right, Py_NE);
    if (result < 0) return std::nullopt;
    return result == 1;
}

inline Ref text(const char* value) { return Ref::consuming(PyUnicode_FromString(value)); }

// A str or bytes value as an exact object (the object itself, or a copy of a
// subclass's value), so that what follows runs none of the subclass's code;
// an empty Ref, without an exception, for anything else.
Ref exact_str_or_bytes(PyObject* value);

// `first, second = iterable`, with the host's unpacking errors.
bool unpack_pair(PyObject* iterable, Ref& first, Ref& second);

// Raises `kind` with a message made of the given parts, each formatted as
// format(part, "") would (a str is used unchanged).
Raised raise_with_message(PyObject* kind, const char* before, PyObject* part, const char* after);

}  // namespace brivane
