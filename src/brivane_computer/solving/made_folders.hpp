// The folders the module made and may delete: the sandboxes of solve and the
// copies of copyDirectoryToTemp. The record is the module's own, out of reach
// of scripts: a global that a script can assign must never decide what the
// module deletes, only which of its own folders it means.
#pragma once

#include "handles.hpp"

namespace brivane::made_folders {

// Records a folder that the module has just created. Only a str or bytes is
// recorded, as an exact copy of its value (what the operating system was
// given); anything else is not, so it is never deleted.
bool remember(PyObject* folder);

// The recorded folder that `named` names (an equal str or bytes value), or an
// empty Ref. Every other recorded folder is forgotten, not deleted: the module
// only ever cleans up the folder its global names. Runs no Python code and
// never fails.
Ref take_named(PyObject* named);

// Folders whose deletion was started and has not succeeded yet: retried by
// each disposeSolution until they are gone.
bool add_pending(const Ref& folder);
bool drop_pending(PyObject* folder);
// The pending folders as a tuple, a snapshot that later changes do not touch.
Ref pending();

}  // namespace brivane::made_folders
