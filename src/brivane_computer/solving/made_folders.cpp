// The private record of the folders the module made, held as tuples of exact
// str or bytes objects: immutable, so no one holding a tuple can change it.
#include "solving/made_folders.hpp"

#include <cstring>

namespace brivane::made_folders {
namespace {

// Owned. Kept for the life of the process like the module object itself, and
// never released at exit, when the interpreter may already be gone.
PyObject* made_folders = nullptr;
PyObject* pending_folders = nullptr;

// A str or bytes value as an exact object, for a subclass a copy of its value;
// an empty Ref without an exception for anything else, or an empty path.
Ref exact_path(PyObject* path) {
    if (PyUnicode_Check(path)) {
        const Py_ssize_t length = PyUnicode_GetLength(path);
        if (length <= 0) return {};
        return Ref::steal(PyUnicode_Substring(path, 0, length));  // the object itself when exact
    }
    if (PyBytes_Check(path)) {
        const Py_ssize_t length = PyBytes_Size(path);
        if (length <= 0) return {};
        if (PyBytes_CheckExact(path)) return Ref::take(path);
        return Ref::steal(PyBytes_FromStringAndSize(PyBytes_AsString(path), length));
    }
    return {};
}

// Equal paths of the same exact type, compared without running Python code.
bool same_path(PyObject* recorded, PyObject* named) {
    if (PyUnicode_CheckExact(recorded) && PyUnicode_CheckExact(named)) {
        return PyUnicode_Compare(recorded, named) == 0;
    }
    if (PyBytes_CheckExact(recorded) && PyBytes_CheckExact(named)) {
        const Py_ssize_t size = PyBytes_Size(recorded);
        return size == PyBytes_Size(named) &&
               std::memcmp(PyBytes_AsString(recorded), PyBytes_AsString(named), static_cast<std::size_t>(size)) == 0;
    }
    return false;
}

Py_ssize_t size_of(PyObject* folders) { return folders == nullptr ? 0 : PyTuple_Size(folders); }

void replace(PyObject*& slot, Ref folders) {
    PyObject* old = slot;
    slot = folders.release();
    drop_reference(old);  // a tuple of str or bytes: releasing it runs no Python code
}

// `folders` with `folder` added at the end.
bool append(PyObject*& folders, PyObject* folder) {
    const Py_ssize_t size = size_of(folders);
    Ref grown = Ref::steal(PyTuple_New(size + 1));
    if (!grown) return false;
    for (Py_ssize_t i = 0; i < size; ++i) {
        PyObject* kept = PyTuple_GetItem(folders, i);
        add_reference(kept);
        PyTuple_SetItem(grown.get(), i, kept);
    }
    add_reference(folder);
    PyTuple_SetItem(grown.get(), size, folder);
    replace(folders, std::move(grown));
    return true;
}

}  // namespace

bool remember(PyObject* folder) {
    Ref recorded = exact_path(folder);
    if (!recorded) return !PyErr_Occurred();
    return append(made_folders, recorded.get());
}

Ref take_named(PyObject* named) {
    Ref found;
    for (Py_ssize_t i = 0; i < size_of(made_folders) && !found; ++i) {
        PyObject* recorded = PyTuple_GetItem(made_folders, i);
        if (same_path(recorded, named)) found = Ref::take(recorded);
    }
    replace(made_folders, Ref());
    return found;
}

bool add_pending(const Ref& folder) {
    for (Py_ssize_t i = 0; i < size_of(pending_folders); ++i) {
        if (PyTuple_GetItem(pending_folders, i) == folder.get()) return true;
    }
    return append(pending_folders, folder.get());
}

bool drop_pending(PyObject* folder) {
    const Py_ssize_t size = size_of(pending_folders);
    Py_ssize_t kept = 0;
    for (Py_ssize_t i = 0; i < size; ++i) kept += PyTuple_GetItem(pending_folders, i) != folder;
    if (kept == size) return true;
    Ref remaining;
    if (kept > 0) {
        remaining = Ref::steal(PyTuple_New(kept));
        if (!remaining) return false;
        Py_ssize_t position = 0;
        for (Py_ssize_t i = 0; i < size; ++i) {
            PyObject* other = PyTuple_GetItem(pending_folders, i);
            if (other == folder) continue;
            add_reference(other);
            PyTuple_SetItem(remaining.get(), position++, other);
        }
    }
    replace(pending_folders, std::move(remaining));
    return true;
}

Ref pending() {
    if (pending_folders == nullptr) return Ref::steal(PyTuple_New(0));
    return Ref::take(pending_folders);
}

}  // namespace brivane::made_folders
