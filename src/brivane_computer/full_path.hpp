// A path argument read once and made full when a call begins. A path
// object's __fspath__ runs once, and every later step of the call uses that
// one value: another thread that changes the current folder, or an object
// that names another place at each read, cannot make one step check one
// place and the next write or delete another.
#pragma once

#include "module_namespace.hpp"

namespace brivane {

// os.fspath(argument), called once, as an exact str or bytes: the caller's
// object runs no more code after this. TypeError for what is no path.
Ref read_path_once(const Module& module, PyObject* argument);

// The full path of `path` (an exact str or bytes), as an exact str or bytes.
// Under Windows rules (the module's os.name is "nt"): os.path.abspath, which
// also completes a drive-relative path such as "C:foo" and collapses "." and
// ".." by text, as Windows itself does. Elsewhere: the current folder joined
// with the path as given, never normalised, since "link/.." names the parent
// of the link's target, not the folder that holds the link. Links are never
// resolved: a mapped drive keeps its name. An absolute path is used as it is,
// without asking for the current folder.
Ref full_path(const Module& module, const Ref& path);

// A path given as bytes, as text: os.fsdecode(argument), an exact str. The
// functions that take a path decode it at entry, before they dispose of or
// write anything, so that the product sees text and the paths they return
// are text. Any other argument comes back unchanged.
Ref text_path(const Module& module, PyObject* argument);

// read_path_once, the bytes decoded as text_path does, and full_path
// together, for the calls that copy or write by a path. An empty path stays
// empty: it names no file, not the current folder. An argument that is no path at all (neither str, bytes nor an
// object with __fspath__) comes back unchanged, for the later steps to refuse
// as the host does.
Ref full_path_once(const Module& module, PyObject* argument);

}  // namespace brivane
