// Interned attribute and global names, created once on first use.
#pragma once

#include "handles.hpp"

namespace brivane {

class Name {
public:
    constexpr explicit Name(const char* text) noexcept : text_(text) {}
    Name(const Name&) = delete;
    Name& operator=(const Name&) = delete;

    // The interned string, or nullptr with MemoryError set. It is kept for the
    // life of the process, like the interpreter's own interned names.
    PyObject* get() const noexcept {
        if (object_ == nullptr) object_ = PyUnicode_InternFromString(text_);
        return object_;
    }
    const char* text() const noexcept { return text_; }

private:
    const char* text_;
    mutable PyObject* object_ = nullptr;
};

}  // namespace brivane
