#include "names.hpp"

namespace brivane {
namespace {

const Name* first_interned = nullptr;

}  // namespace

void Name::intern() const noexcept {
    object_ = PyUnicode_InternFromString(text_);
    if (object_ == nullptr) return;
    next_interned_ = first_interned;
    first_interned = this;
}

void release_names(bool free_objects) noexcept {
    const Name* name = first_interned;
    first_interned = nullptr;
    while (name != nullptr) {
        PyObject* object = std::exchange(name->object_, nullptr);
        if (free_objects) drop_reference(object);
        name = std::exchange(name->next_interned_, nullptr);
    }
}

}  // namespace brivane
