// A path argument read once and made full when a call begins. A path
// object's __fspath__ runs once, and every later step of the call uses that
// one value: another thread that changes the current folder, or an object
// that names another place at each read, cannot make one step check one
// place and the next write or delete another.
#pragma once

#include "module_namespace.hpp"

namespace brivane {

// The argument as an exact str or bytes (os.fspath, through the module's os),
// made full: on Windows with os.path.abspath, which also resolves a
// drive-relative path such as C:foo; elsewhere as the current folder joined
// with the path as given, never normalised, since "link/.." names the parent
// of the link's target, not the folder that holds the link. An empty path
// stays empty: it names no file, not the current folder. An argument that is
// no path at all (neither str, bytes nor an object with __fspath__) comes back
// unchanged, for the later steps to refuse as the host does.
Ref full_path_once(const Module& module, PyObject* argument);

}  // namespace brivane
