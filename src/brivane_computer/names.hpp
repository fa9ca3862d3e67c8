// Interned attribute and global names, created on first use.
#pragma once

#include <cstdint>

#include "state.hpp"

namespace brivane {

class Name {
public:
    constexpr explicit Name(const char* text) noexcept : text_(text) {}
    Name(const Name&) = delete;
    Name& operator=(const Name&) = delete;

    // The interned string, or nullptr with MemoryError set. The State owns
    // it (interned_names) until the interpreter that made it ends.
    PyObject* get() const noexcept {
        if (life_ != state().life) intern();
        return object_;
    }
    const char* text() const noexcept { return text_; }

private:
    void intern() const noexcept;

    const char* text_;
    // Borrowed from the State's tuple of interned names, which holds it for
    // the whole life stamped in `life_` and drops it only when that life ends.
    mutable PyObject* object_ = nullptr;
    mutable std::uint64_t life_ = 0;
};

}  // namespace brivane
