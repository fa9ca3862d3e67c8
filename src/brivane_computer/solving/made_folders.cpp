// The private record of the folders the module made, held as tuples of exact
// str or bytes objects: immutable, so no one holding a tuple can change it.
#include "solving/made_folders.hpp"

#include <cstring>

#include "errors.hpp"
#include "host_names.hpp"
#include "solving/abandoned_run.hpp"

namespace brivane::made_folders {
namespace {

// Owned tuples, kept until the interpreter ends (release).
PyObject* made_folders = nullptr;
PyObject* pending_folders = nullptr;

Py_ssize_t size_of(PyObject* folders) { return folders == nullptr ? 0 : PyTuple_Size(folders); }

void replace(PyObject*& slot, Ref folders) {
    PyObject* old = slot;
    slot = folders.release();
    drop_reference(old);  // a tuple of str or bytes: releasing it runs no Python code
}

// `folders` with `folder` added at the end.
bool append(PyObject*& folders, PyObject* folder) {
    const Py_ssize_t size = size_of(folders);
    Ref grown = Ref::consuming(PyTuple_New(size + 1));
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
        remaining = Ref::consuming(PyTuple_New(kept));
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
    if (pending_folders == nullptr) return Ref::consuming(PyTuple_New(0));
    return Ref::owning(pending_folders);
}

// Deletes `folder` when it names a folder.
bool delete_folder(const Module& module, PyObject* folder) {
    Ref is_folder = module.call_os_path(host::isdir, folder);
    if (!is_folder) return false;
    Truth folder_exists = truth(is_folder.get());
    if (!folder_exists) return false;
    return !*folder_exists || module.call_host(host::shutil, host::rmtree, folder);
}

}  // namespace

Ref exact_copy(PyObject* path) {
    Ref exact = exact_str_or_bytes(path);
    if (!exact) return {};
    const Py_ssize_t length = PyUnicode_Check(exact.get()) ? PyUnicode_GetLength(exact.get()) : PyBytes_Size(exact.get());
    if (length > 0) return exact;
    return {};
}

bool same_path(PyObject* recorded, PyObject* named) noexcept {
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

bool remember(PyObject* folder) {
    Ref recorded = exact_copy(folder);
    if (!recorded) return !PyErr_Occurred();
    return append(made_folders, recorded.get());
}

Ref take_named(PyObject* named) {
    Ref found;
    for (Py_ssize_t i = 0; i < size_of(made_folders) && !found; ++i) {
        PyObject* recorded = PyTuple_GetItem(made_folders, i);
        if (same_path(recorded, named)) found = Ref::owning(recorded);
    }
    replace(made_folders, Ref());
    return found;
}

bool delete_own_folder(const Module& module, const Ref& folder) {
    if (!add_pending(folder)) return false;
    if (abandoned_run::holds(folder.get())) return true;
    if (delete_folder(module, folder.get())) return drop_pending(folder.get());
    if (!PyErr_ExceptionMatches(PyExc_Exception)) return false;
    PendingError error = PendingError::fetch();
    Ref message = text("Impossible to delete temp directory :");
    return message && module.call_builtin(host::print, message, error.value());
}

namespace {

// Tries each folder of a snapshot of the pending ones: a folder that fails in
// this call is not tried twice.
bool retry(const Module& module, const Ref& snapshot) {
    for (Py_ssize_t i = 0; i < PyTuple_Size(snapshot.get()); ++i) {
        if (!delete_own_folder(module, Ref::owning(PyTuple_GetItem(snapshot.get(), i)))) return false;
    }
    return true;
}

}  // namespace

bool delete_named_and_pending(const Module& module, PyObject* named) {
    Ref earlier = pending();
    if (!earlier) return false;
    Ref sandbox = take_named(named);
    if (sandbox && !delete_own_folder(module, sandbox)) return false;
    return retry(module, earlier);
}

bool retry_pending(const Module& module) {
    Ref earlier = pending();
    return earlier && retry(module, earlier);
}

void release(bool free_objects) noexcept {
    for (PyObject** folders : {&made_folders, &pending_folders}) {
        PyObject* old = std::exchange(*folders, nullptr);
        if (free_objects) drop_reference(old);
    }
}

}  // namespace brivane::made_folders
