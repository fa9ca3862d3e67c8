// One argument parser for every function of the module.
//
// Each function is described by a static Signature (its name and parameter
// names); the parser fills one slot per parameter from a fast call and raises
// the host's TypeError messages, identical for every function.
#pragma once

#include <array>
#include <cassert>
#include <cstddef>

#include "module_namespace.hpp"

namespace brivane {

template <std::size_t N>
struct Signature {
    const char* name;
    std::array<const char*, N> parameters;
};

// Borrowed from the caller, who keeps them alive for the whole call.
template <std::size_t N>
using Arguments = std::array<PyObject*, N>;

// Fills `out[0..count)` or raises TypeError and returns false.
bool parse_arguments(const char* function, const char* const* parameters, std::size_t count, PyObject* const* args,
                     Py_ssize_t nargs, PyObject* kwnames, PyObject** out);

template <const auto& signature, auto body>
PyObject* entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    constexpr std::size_t count = std::tuple_size_v<decltype(signature.parameters)>;
    Arguments<count> arguments{};
    if (kwnames == nullptr && nargs == static_cast<Py_ssize_t>(count)) {
        // The usual call, every argument by position: nothing to check.
        for (std::size_t i = 0; i < count; ++i) arguments[i] = args[i];
    } else if (!parse_arguments(signature.name, signature.parameters.data(), count, args, nargs, kwnames,
                                arguments.data())) {
        return nullptr;
    }
    PyObject* result = body(Module(self), arguments).release();
    // Every error path sets an exception, and no success leaves one set.
    assert((result == nullptr) == (PyErr_Occurred() != nullptr));
    return result;
}

// The method definition of one module function, bound later to the module.
template <const auto& signature, auto body>
PyMethodDef define_function(const char* doc) {
    // The cast through a plain function pointer is how fast-call functions
    // enter a PyMethodDef.
    return PyMethodDef{signature.name,
                       reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&entry<signature, body>)),
                       METH_FASTCALL | METH_KEYWORDS, doc};
}

}  // namespace brivane
