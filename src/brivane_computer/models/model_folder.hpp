// The files that belong to a model file in its folder: its fre file (its
// base name plus ".fre", else "conception.fre") and its first ".thf" file.
// Each rule lives here once; the functions differ only in how they name the
// first choice, as each one's steps fix.
#pragma once

#include "module_namespace.hpp"

namespace brivane {

// `first_choice` when something exists there, else "conception.fre" in `folder`.
Ref fre_file_or_conception(const Module& module, PyObject* first_choice, PyObject* folder);

// os.path.splitext(path)[0] + ".fre": the model file with ".fre" for its extension.
Ref with_fre_extension(const Module& module, PyObject* path);

// The fre file in `directory` for a model of base name `study_name`:
// `directory` joined with the name plus ".fre", by the rule above.
Ref fre_file_in(const Module& module, PyObject* directory, PyObject* study_name);

// The same for a model file, in its own folder.
Ref fre_file_for(const Module& module, PyObject* model_file);

// find_first_file(directory, ".thf"), through the module namespace.
Ref first_thf_file(const Module& module, PyObject* directory);

// os.path.splitext(os.path.basename(path))[0]
Ref stem_of(const Module& module, PyObject* path);

}  // namespace brivane
