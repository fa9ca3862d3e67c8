#include "calls.hpp"

namespace brivane {

Ref call_with_keywords(PyObject* callable, std::initializer_list<PyObject*> positional_arguments, Keywords keywords) {
    Ref positional = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(positional_arguments.size())));
    Ref named = Ref::steal(PyDict_New());
    if (!positional || !named) return {};
    Py_ssize_t position = 0;
    for (PyObject* argument : positional_arguments) {
        add_reference(argument);
        PyTuple_SetItem(positional.get(), position++, argument);
    }
    for (const auto& [name, value] : keywords) {
        PyObject* key = name->get();
        if (key == nullptr || PyDict_SetItem(named.get(), key, value) < 0) return {};
    }
    return Ref::steal(PyObject_Call(callable, positional.get(), named.get()));
}

Ref item(PyObject* object, const Name& key) {
    PyObject* name = key.get();
    if (name == nullptr) return {};
    return Ref::steal(PyObject_GetItem(object, name));
}

bool unpack_pair(PyObject* iterable, Ref& first, Ref& second) {
    Ref iterator = Ref::steal(PyObject_GetIter(iterable));
    if (!iterator) {
        if (PyErr_ExceptionMatches(PyExc_TypeError)) {
            PyErr_Clear();
            Ref type_name = Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(iterable)), "__name__"));
            if (type_name) PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %S object", type_name.get());
        }
        return false;
    }
    Ref values[2];
    for (int got = 0; got < 2; ++got) {
        values[got] = Ref::steal(PyIter_Next(iterator.get()));
        if (!values[got]) {
            if (!PyErr_Occurred()) {
                PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %d)", got);
            }
            return false;
        }
    }
    Ref extra = Ref::steal(PyIter_Next(iterator.get()));
    if (extra) {
        PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 2)");
        return false;
    }
    if (PyErr_Occurred()) return false;
    first = std::move(values[0]);
    second = std::move(values[1]);
    return true;
}

Ref raise_with_message(PyObject* kind, const char* before, PyObject* part, const char* after) {
    Ref empty = text("");
    if (!empty) return {};
    Ref formatted = Ref::steal(PyObject_Format(part, empty.get()));
    if (!formatted) return {};
    Ref message = Ref::steal(PyUnicode_FromFormat("%s%U%s", before, formatted.get(), after));
    if (!message) return {};
    PyErr_SetObject(kind, message.get());
    return {};
}

}  // namespace brivane
