// What the project functions share: the project file of a project folder,
// the placement point of a new study and the product's project view model.
#pragma once

#include "module_namespace.hpp"

namespace brivane {

// <projectDirectory>/<last component without its extension>.project
Ref project_file_of(const Module& module, PyObject* project_directory);

// Point((screenWidth - 300) / 2, (screenheight - 400) / 2): the top-left
// corner of the product's 300 by 400 window centred on the screen.
Ref placement_point(const Ref& point_class, PyObject* screen_width, PyObject* screen_height);

// ProjectViewModel(None), loaded from the project file.
Ref open_project(const Ref& view_model_class, const Ref& project_file);

// The product's module value (BrivaneModule.Pelorix or .Karvona of its SDK).
Ref product_module_value(const Module& module, const Name& kind);

}  // namespace brivane
