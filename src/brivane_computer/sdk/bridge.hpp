// How the module reaches the product: assemblies loaded by file name through
// the module's own load_dll, classes imported from .NET namespaces through
// the CLR bridge's import hook.
#pragma once

#include <initializer_list>

#include "module_namespace.hpp"

namespace brivane::sdk {

// Calls the module function load_dll with each file name, in order.
bool load_assemblies(const Module& module, std::initializer_list<const Name*> files);

// `from <namespace> import <cls>`.
Ref import_class(const Module& module, const Name& namespace_name, const Name& cls);

// `from <namespace> import a, b, ...` as one import; fills each target.
bool import_classes(const Module& module, const Name& namespace_name,
                    std::initializer_list<std::pair<const Name*, Ref*>> targets);

// A discipline: the member `kind` (Pelorix or Karvona) of the product's own
// enumeration BrivaneModule of Brivane.SDK, which is not the module's
// BrivaneModule.
Ref discipline(const Module& module, const Name& kind);

// clr.AddReference("mscorlib"), which makes the System namespaces importable.
bool reference_core_library(const Module& module);

// Gives the current .NET thread the culture held in _CultureInfo_ (both its
// culture and its UI culture), reading the global and the thread afresh each time.
bool apply_set_up_culture(const Module& module, const Ref& thread_class);

}  // namespace brivane::sdk
