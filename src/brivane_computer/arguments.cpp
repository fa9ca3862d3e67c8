#include "arguments.hpp"

namespace brivane {
namespace {

Raised wrong_count(const char* function, std::size_t count, Py_ssize_t given) {
    PyErr_Format(PyExc_TypeError, "%.200s() takes exactly %zd positional argument%s (%zd given)", function,
                 static_cast<Py_ssize_t>(count), count == 1 ? "" : "s", given);
    return {};
}

Raised unexpected_keyword(const char* function, PyObject* keyword) {
    PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", function, keyword);
    return {};
}

Raised repeated_keyword(const char* function, PyObject* keyword) {
    PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", function, keyword);
    return {};
}

bool parse_without_parameters(const char* function, Py_ssize_t nargs, PyObject* kwnames) {
    // Keywords are reported first, as the host does for functions without parameters.
    if (kwnames != nullptr && PyTuple_Size(kwnames) > 0) {
        PyErr_Format(PyExc_TypeError, "%.200s() takes no keyword arguments", function);
        return false;
    }
    if (nargs != 0) {
        PyErr_Format(PyExc_TypeError, "%.200s() takes no arguments (%zd given)", function, nargs);
        return false;
    }
    return true;
}

// Index of the parameter that a keyword names, or -1. Compared by value
// without running Python code, so str subclasses cannot interfere.
Py_ssize_t parameter_index(PyObject* keyword, const char* const* parameters, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
        if (PyUnicode_CompareWithASCIIString(keyword, parameters[i]) == 0) return static_cast<Py_ssize_t>(i);
    }
    return -1;
}

}  // namespace

bool parse_arguments(const char* function, const char* const* parameters, std::size_t count, PyObject* const* args,
                     Py_ssize_t nargs, PyObject* kwnames, PyObject** out) {
    if (count == 0) return parse_without_parameters(function, nargs, kwnames);
    if (nargs > static_cast<Py_ssize_t>(count)) return wrong_count(function, count, nargs);

    for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
    for (std::size_t i = static_cast<std::size_t>(nargs); i < count; ++i) out[i] = nullptr;

    const Py_ssize_t keywords = kwnames == nullptr ? 0 : PyTuple_Size(kwnames);
    for (Py_ssize_t k = 0; k < keywords; ++k) {
        PyObject* keyword = PyTuple_GetItem(kwnames, k);
        if (keyword == nullptr) return false;
        if (!PyUnicode_Check(keyword)) {
            PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", function);
            return false;
        }
        const Py_ssize_t index = parameter_index(keyword, parameters, count);
        if (index < 0) return unexpected_keyword(function, keyword);
        if (out[index] != nullptr) return repeated_keyword(function, keyword);
        out[index] = args[nargs + k];
    }

    for (std::size_t i = 0; i < count; ++i) {
        if (out[i] == nullptr) return wrong_count(function, count, static_cast<Py_ssize_t>(i));
    }
    return true;
}

}  // namespace brivane
