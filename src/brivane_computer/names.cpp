#include "names.hpp"

namespace brivane {

void Name::intern() const noexcept {
    object_ = nullptr;
    Ref interned = Ref::consuming(PyUnicode_InternFromString(text_));
    if (!interned) return;
    // The State's tuple, one longer: immutable, so no script that reaches it can drop a name under the module.
    State& kept = state();
    const Py_ssize_t count = kept.interned_names ? PyTuple_Size(kept.interned_names.get()) : 0;
    Ref grown = Ref::consuming(PyTuple_New(count + 1));
    if (!grown) return;
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* earlier = PyTuple_GetItem(kept.interned_names.get(), i);
        add_reference(earlier);
        PyTuple_SetItem(grown.get(), i, earlier);
    }
    object_ = interned.get();
    PyTuple_SetItem(grown.get(), count, interned.release());
    kept.interned_names = std::move(grown);  // the old tuple's names are all in the new one
    life_ = kept.life;
}

}  // namespace brivane
