#include "calls.hpp"

#include "state.hpp"

namespace brivane {

Ref call_with_keywords(PyObject* callable, std::initializer_list<PyObject*> positional_arguments, Keywords keywords) {
    Ref positional = Ref::consuming(PyTuple_New(static_cast<Py_ssize_t>(positional_arguments.size())));
    if (!positional) return {};
    Ref named = Ref::consuming(PyDict_New());
    if (!named) return {};
    Py_ssize_t position = 0;
    for (PyObject* argument : positional_arguments) {
        add_reference(argument);
        PyTuple_SetItem(positional.get(), position++, argument);
    }
    for (const auto& [name, value] : keywords) {
        PyObject* key = name->get();
        if (key == nullptr || PyDict_SetItem(named.get(), key, value) < 0) return {};
    }
    return Ref::consuming(PyObject_Call(callable, positional.get(), named.get()));
}

Ref exact_str_or_bytes(PyObject* value) {
    if (PyUnicode_Check(value)) return Ref::consuming(PyUnicode_Substring(value, 0, PyUnicode_GetLength(value)));
    if (PyBytes_CheckExact(value)) return Ref::owning(value);
    if (PyBytes_Check(value))
        return Ref::consuming(PyBytes_FromStringAndSize(PyBytes_AsString(value), PyBytes_Size(value)));
    return {};
}

namespace {

// `first, second = value` as the host itself runs it, compiled once: its
// errors (the counts, the type name of a non-iterable, a failing __iter__)
// are the running interpreter's own, whatever its version.
constexpr const char* unpacker_source =
    "def unpack(value):\n"
    "    first, second = value\n"
    "    return first, second\n";

// Compiled once per interpreter life and kept in the State.
Ref host_unpacker() {
    if (state().unpacker) return state().unpacker.copy();
    Ref code = Ref::consuming(Py_CompileString(unpacker_source, "<brivane_core>", Py_file_input));
    if (!code) return {};
    Ref scope = Ref::consuming(PyDict_New());
    if (!scope || PyDict_SetItemString(scope.get(), "__builtins__", PyEval_GetBuiltins()) < 0) return {};
    Ref executed = Ref::consuming(PyEval_EvalCode(code.get(), scope.get(), scope.get()));
    if (!executed) return {};
    PyObject* function = PyDict_GetItemString(scope.get(), "unpack");
    if (function == nullptr) {
        PyErr_SetString(PyExc_SystemError, "unpacking helper not defined");
        return {};
    }
    state().unpacker = Ref::owning(function);
    return state().unpacker.copy();
}

}  // namespace

bool unpack_pair(PyObject* iterable, Ref& first, Ref& second) {
    Ref helper = host_unpacker();
    if (!helper) return false;
    Ref pair = call(helper, iterable);
    if (!pair) return false;
    // The helper is reachable through gc, so its code may have been replaced: trust nothing it returns.
    if (!PyTuple_Check(pair.get()) || PyTuple_Size(pair.get()) != 2) {
        PyErr_SetString(PyExc_SystemError, "the unpacking helper did not return a pair");
        return false;
    }
    Ref unpacked_first = Ref::owning(PyTuple_GetItem(pair.get(), 0));
    if (!unpacked_first) return false;
    Ref unpacked_second = Ref::owning(PyTuple_GetItem(pair.get(), 1));
    if (!unpacked_second) return false;
    first = std::move(unpacked_first);
    second = std::move(unpacked_second);
    return true;
}

Raised raise_with_message(PyObject* kind, const char* before, PyObject* part, const char* after) {
    // Each failure on the way leaves its own exception set, which is raised instead.
    Ref empty = text("");
    if (!empty) return {};
    Ref formatted = Ref::consuming(PyObject_Format(part, empty.get()));
    if (!formatted) return {};
    Ref message = Ref::consuming(PyUnicode_FromFormat("%s%U%s", before, formatted.get(), after));
    if (!message) return {};
    PyErr_SetObject(kind, message.get());
    return {};
}

}  // namespace brivane
