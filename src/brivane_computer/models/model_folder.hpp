// The files that belong to a model file in its folder.
#pragma once

#include "module_namespace.hpp"

namespace brivane {

// The fre file of a model file: "<base name>.fre" beside it when that exists,
// else "conception.fre" in the same folder.
Ref fre_file_for(const Module& module, PyObject* model_file);

// The fre file in `directory` for a model of base name `study_name`, by the same rule.
Ref fre_file_in(const Module& module, PyObject* directory, PyObject* study_name);

// os.path.splitext(os.path.basename(path))[0]
Ref stem_of(const Module& module, PyObject* path);

}  // namespace brivane
