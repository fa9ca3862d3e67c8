// A path argument read once and made full once, so that every later step
// works on one value: a path object's __fspath__ cannot name one folder for
// a check and another for the operation, and another thread that changes the
// process's current folder cannot move a relative path under the call.
#pragma once

#include "module_namespace.hpp"

namespace brivane {

// os.fspath(argument), called once, as an exact str or bytes: the caller's
// object runs no more code after this. TypeError for what is no path.
Ref read_path_once(const Module& module, PyObject* argument);

// The full path of `path` (an exact str or bytes), as an exact str or bytes.
// Under Windows rules (os.name "nt"): os.path.abspath, which also completes a
// drive-relative path such as "C:foo" and collapses "." and ".." by text, as
// Windows itself does. Elsewhere: the current folder joined with the path as
// given, without normalising it, so that "link/.." still names the parent of
// what the link points to. Links are never resolved: a mapped drive keeps its
// name. An absolute path is used as it is, without asking for the current folder.
Ref full_path(const Module& module, const Ref& path);

}  // namespace brivane
