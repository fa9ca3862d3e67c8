// The folders the module made and may delete: the sandboxes of solve and the
// copies of copyDirectoryToTemp. The record is the module's own, out of reach
// of scripts: a global that a script can assign must never decide what the
// module deletes, only which of its own folders it means.
#pragma once

#include "module_namespace.hpp"

namespace brivane::made_folders {

// A str or bytes path as an exact object (a subclass's value copied); an
// empty Ref, without an exception, for anything else or an empty path.
Ref exact_copy(PyObject* path);
// Equal paths of the same exact type, compared without running Python code.
bool same_path(PyObject* recorded, PyObject* named) noexcept;

// Records a folder that the module has just created with os.mkdir, and
// protects it until `unprotect`: the creator calls it as soon as the mkdir
// returned, before any Python code can run. Only a str or bytes is recorded,
// as an exact copy of its value (what the operating system was given);
// anything else is not, so it is never deleted. Runs no Python code.
bool remember_protected(PyObject* folder);

// Ends one protection of `folder`, taken by remember_protected or protect.
// Runs no Python code and never fails.
void unprotect(PyObject* folder) noexcept;

// Holds `folder` protected while its user works in it: a protected folder is
// never deleted, whichever thread asks; a deletion asked meanwhile leaves it
// pending, for a later disposeSolution.
class Protection {
public:
    Protection() noexcept = default;
    explicit Protection(Ref folder) noexcept : folder_(std::move(folder)) {}
    Protection(Protection&&) noexcept = default;
    Protection& operator=(Protection&& other) noexcept {
        end();
        folder_ = std::move(other.folder_);
        return *this;
    }
    ~Protection() { end(); }
    void end() noexcept {
        if (folder_) unprotect(folder_.get());
        folder_ = Ref();
    }

private:
    Ref folder_;
};

// The recorded folder that `named` names (an equal str or bytes value), now
// pending, or an empty Ref. Every other recorded folder is forgotten, not
// deleted (the module only ever cleans up the folder its global names),
// except one still protected by the call that is making it. Runs no Python
// code; fails (an empty Ref with MemoryError) only without memory.
Ref take_named(PyObject* named);

// When solve names its new `folder` in _tempDirectory_ instead of `replaced`:
// a folder of the module's that the global named was made by another thread's
// solve since this one's disposeSolution. It becomes pending, as one thread's
// next solve would have disposed of it, rather than forgotten. Runs no
// Python code; false with MemoryError only without memory.
bool hand_over_replaced(PyObject* replaced, PyObject* folder);

// Deletes one of the module's own folders (os.path.isdir, then
// shutil.rmtree): one that this process's records hold, made or pending;
// anything else is left alone. It is pending from the first attempt until it is gone, so
// that a failed or interrupted deletion is taken up again by a later
// disposeSolution; while it is protected or a solver run still works in it,
// it only waits, and while another thread deletes it, that thread is left to
// it. An ordinary error is reported on standard output when the folder is
// still there afterwards (`report`) and the call goes on; anything else (an
// interrupt) is returned as a failure.
bool delete_own_folder(const Module& module, const Ref& folder, bool report = true);

// The folder that `named` names when the module made it (take_named), then
// every folder still pending from earlier calls. Runs Python code (the host's
// os and shutil, print); `named` must be kept alive by the caller.
bool delete_named_and_pending(const Module& module, PyObject* named);

// Tries every pending folder again.
bool retry_pending(const Module& module);

}  // namespace brivane::made_folders
