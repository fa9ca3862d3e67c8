// The private record of the folders the module made, held in the State as
// tuples of exact str or bytes objects.
#include "solving/made_folders.hpp"

#include <cstring>

#include "errors.hpp"
#include "host_names.hpp"
#include "solving/records.hpp"
#include "solving/run_handshake.hpp"

namespace brivane::made_folders {
namespace {

Py_ssize_t size_of(const Ref& folders) { return folders ? PyTuple_Size(folders.get()) : 0; }

// `folders` with `folder` added at the end.
bool append(Ref& folders, PyObject* folder) {
    // Held through the allocation, which may collect garbage and so run a finaliser that changes `folders`.
    const Ref before = folders.copy();
    const Py_ssize_t size = size_of(before);
    Ref grown = Ref::consuming(PyTuple_New(size + 1));
    if (!grown) return false;
    for (Py_ssize_t i = 0; i < size; ++i) {
        PyObject* kept = PyTuple_GetItem(before.get(), i);
        add_reference(kept);
        PyTuple_SetItem(grown.get(), i, kept);
    }
    add_reference(folder);
    PyTuple_SetItem(grown.get(), size, folder);
    folders = std::move(grown);  // a tuple of str or bytes: dropping the old one runs no Python code
    return true;
}

bool contains(const Ref& folders, PyObject* folder) noexcept {
    for (Py_ssize_t i = 0; i < size_of(folders); ++i) {
        if (same_path(PyTuple_GetItem(folders.get(), i), folder)) return true;
    }
    return false;
}

bool add_pending(const Ref& folder) {
    Ref& pending = solving::records().folders_pending;
    return contains(pending, folder.get()) || append(pending, folder.get());
}

// `folders` without the entries equal to `folder` (only the first with `only_one`).
bool drop(Ref& folders, PyObject* folder, bool only_one) {
    // Held through the allocation, as in append.
    const Ref before = folders.copy();
    const Py_ssize_t size = size_of(before);
    Py_ssize_t equal = 0;
    for (Py_ssize_t i = 0; i < size; ++i) equal += same_path(PyTuple_GetItem(before.get(), i), folder);
    const Py_ssize_t dropped = only_one && equal > 0 ? 1 : equal;
    if (dropped == 0) return true;
    Ref remaining;
    if (size > dropped) {
        remaining = Ref::consuming(PyTuple_New(size - dropped));
        if (!remaining) return false;
        Py_ssize_t position = 0, skipped = 0;
        for (Py_ssize_t i = 0; i < size; ++i) {
            PyObject* other = PyTuple_GetItem(before.get(), i);
            if (skipped < dropped && same_path(other, folder)) {
                ++skipped;
                continue;
            }
            add_reference(other);
            PyTuple_SetItem(remaining.get(), position++, other);
        }
    }
    folders = std::move(remaining);
    return true;
}

bool drop_pending(PyObject* folder) { return drop(solving::records().folders_pending, folder, false); }

Ref pending() {
    if (!solving::records().folders_pending) return Ref::consuming(PyTuple_New(0));
    return solving::records().folders_pending.copy();
}

// Deletes `folder` when it names a folder.
bool delete_folder(const Module& module, PyObject* folder) {
    Ref is_folder = module.call_os_path(host::isdir, folder);
    if (!is_folder) return false;
    Truth folder_exists = truth(is_folder.get());
    if (!folder_exists) return false;
    return !*folder_exists || module.call_imported(host::shutil, host::rmtree, folder);
}

}  // namespace

Ref exact_copy(PyObject* path) {
    Ref exact = exact_str_or_bytes(path);
    if (!exact) return {};
    const Py_ssize_t length =
        PyUnicode_Check(exact.get()) ? PyUnicode_GetLength(exact.get()) : PyBytes_Size(exact.get());
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

bool remember_protected(PyObject* folder) {
    Ref recorded = exact_copy(folder);
    if (!recorded) return !PyErr_Occurred();
    if (!append(solving::records().folder_protections, recorded.get())) return false;
    if (append(solving::records().folders_made, recorded.get())) return true;
    unprotect(recorded.get());
    return false;
}

void unprotect(PyObject* folder) noexcept {
    // Dropping an entry allocates a smaller tuple; without memory for it the protection stays, which
    // keeps a folder rather than losing one.
    if (!drop(solving::records().folder_protections, folder, true)) PyErr_Clear();
}

Ref take_named(PyObject* named) {
    solving::Records& kept = solving::records();
    Ref found;
    for (Py_ssize_t i = 0; i < size_of(kept.folders_made) && !found; ++i) {
        PyObject* recorded = PyTuple_GetItem(kept.folders_made.get(), i);
        if (same_path(recorded, named)) found = Ref::owning(recorded);
    }
    // From now on its deletion is asked for: pending until it is gone.
    if (found && !add_pending(found)) return {};
    // What a call is still making stays recorded: its global may come to name it. The record is held through
    // the allocations below, which may run a finaliser that changes it.
    Ref still_made;
    const Ref made = kept.folders_made.copy();
    const Py_ssize_t size = size_of(made);
    for (Py_ssize_t i = 0; i < size; ++i) {
        PyObject* recorded = PyTuple_GetItem(made.get(), i);
        if (recorded == found.get() || !contains(kept.folder_protections, recorded)) continue;
        // Without memory for the smaller record, that folder is forgotten: never deleted, as any other.
        if (!append(still_made, recorded)) PyErr_Clear();
    }
    kept.folders_made = std::move(still_made);
    return found;
}

bool hand_over_replaced(PyObject* replaced, PyObject* folder) {
    solving::Records& kept = solving::records();
    if (same_path(folder, replaced)) return true;
    for (Py_ssize_t i = 0; i < size_of(kept.folders_made); ++i) {
        PyObject* recorded = PyTuple_GetItem(kept.folders_made.get(), i);
        if (!same_path(recorded, replaced)) continue;
        Ref taken = Ref::owning(recorded);
        return add_pending(taken) && drop(kept.folders_made, taken.get(), false);
    }
    return true;
}

namespace {

bool in_use(PyObject* folder) noexcept {
    return contains(solving::records().folder_protections, folder) || run_handshake::holds(folder);
}

}  // namespace

bool delete_own_folder(const Module& module, const Ref& folder, bool report) {
    // Only a folder of this process's records: never one that a parent made before the fork, even when a
    // call that the fork interrupted goes on with it in the child.
    const solving::Records& kept = solving::records();
    if (!contains(kept.folders_made, folder.get()) && !contains(kept.folders_pending, folder.get())) return true;
    if (!add_pending(folder)) return false;
    // One deleter at a time: another thread that deletes it is left to it.
    if (in_use(folder.get()) || contains(solving::records().folders_deleting, folder.get())) return true;
    if (!append(solving::records().folders_deleting, folder.get())) return false;
    const bool deleted = delete_folder(module, folder.get());
    PendingError error;
    if (!deleted) error = PendingError::fetch();
    if (!drop(solving::records().folders_deleting, folder.get(), true)) {
        error.restore_unless_replaced();
        return false;
    }
    if (deleted) return drop_pending(folder.get());
    error.restore();
    if (!PyErr_ExceptionMatches(PyExc_Exception)) return false;
    error = PendingError::fetch();
    // Whatever removed it, a folder that is gone is not reported.
    Ref still_there = module.call_os_path(host::isdir, folder);
    if (!still_there) return false;
    Truth there = truth(still_there.get());
    if (!there) return false;
    if (!*there) return drop_pending(folder.get());
    if (!report) return true;
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
    if (!sandbox && PyErr_Occurred()) return false;
    if (sandbox && !delete_own_folder(module, sandbox)) return false;
    return retry(module, earlier);
}

bool retry_pending(const Module& module) {
    Ref earlier = pending();
    return earlier && retry(module, earlier);
}

}  // namespace brivane::made_folders
