// Interned attribute and global names, created on first use.
#pragma once

#include "handles.hpp"

namespace brivane {

class Name {
public:
    constexpr explicit Name(const char* text) noexcept : text_(text) {}
    Name(const Name&) = delete;
    Name& operator=(const Name&) = delete;

    // The interned string, or nullptr with MemoryError set. It is kept until
    // the interpreter that made it ends (release_names).
    PyObject* get() const noexcept {
        if (object_ == nullptr) intern();
        return object_;
    }
    const char* text() const noexcept { return text_; }

private:
    friend void release_names(bool free_objects) noexcept;
    void intern() const noexcept;

    const char* text_;
    mutable PyObject* object_ = nullptr;
    mutable const Name* next_interned_ = nullptr;  // the names interned so far form a list
};

// Drops every interned name, so that the next interpreter interns its own.
// Without `free_objects` the strings are left alive (see release_kept_state).
void release_names(bool free_objects) noexcept;

}  // namespace brivane
