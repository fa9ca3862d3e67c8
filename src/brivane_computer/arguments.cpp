#include "arguments.hpp"

#include <cstdint>
#include <cstring>
#include <string_view>
#include <utility>

namespace brivane {
namespace {

// The text of an argument error, written piece by piece into a buffer: the
// same characters that the host's format would give, without parsing a
// format on every failed call. A piece that does not fit, or a keyword that
// is not plain ASCII, marks the message incomplete; the caller then falls
// back to the host's formatting.
class Message {
public:
    Message& add(std::string_view piece) {
        std::size_t length = piece.size();
        if (length > capacity - used_) {
            length = capacity - used_;
            complete_ = false;
        }
        std::memcpy(buffer_ + used_, piece.data(), length);
        used_ += length;
        return *this;
    }
    // At most `limit` bytes of `piece`, as "%.<limit>s" takes them.
    Message& add(const char* piece, std::size_t limit) { return add(std::string_view(piece).substr(0, limit)); }
    Message& add(Py_ssize_t number) {
        char digits[24];
        std::size_t count = 0;
        // Through the unsigned value, so that the most negative number has digits too.
        std::size_t magnitude = number < 0 ? 0 - static_cast<std::size_t>(number) : static_cast<std::size_t>(number);
        do {
            digits[count++] = static_cast<char>('0' + magnitude % 10);
            magnitude /= 10;
        } while (magnitude != 0);
        if (number < 0) put('-');
        while (count > 0) put(digits[--count]);
        return *this;
    }
    // A keyword name, as "%U" gives it; only plain ASCII is copied here.
    Message& add_text(PyObject* text) {
        const Py_ssize_t length = PyUnicode_GetLength(text);
        if (length < 0 || static_cast<std::size_t>(length) > capacity - used_) {
            PyErr_Clear();
            complete_ = false;
            return *this;
        }
        for (Py_ssize_t i = 0; i < length; ++i) {
            const Py_UCS4 character = PyUnicode_ReadChar(text, i);
            if (character >= 0x80) {
                PyErr_Clear();  // (Py_UCS4)-1 is also how a failed read reports
                complete_ = false;
                return *this;
            }
            buffer_[used_++] = static_cast<char>(character);
        }
        return *this;
    }
    bool complete() const noexcept { return complete_; }
    Ref text() const { return Ref::consuming(PyUnicode_FromStringAndSize(buffer_, static_cast<Py_ssize_t>(used_))); }

private:
    static constexpr std::size_t capacity = 400;
    void put(char character) noexcept {
        if (used_ < capacity) {
            buffer_[used_++] = character;
        } else {
            complete_ = false;
        }
    }
    char buffer_[capacity];
    std::size_t used_ = 0;
    bool complete_ = true;
};

// A script that calls a function wrongly in a loop meets the same error
// again and again, so the last errors are kept, each as the argument tuple
// of its exception: raising one again formats and allocates nothing. An
// error is known by its function (the signature's name, one pointer per
// function), its kind, the count given and the keyword object, which the
// cache keeps alive so that its identity cannot pass to another object.
enum class Mistake { Count, Keyword, RepeatedKeyword, NoKeywords, NoArguments };

struct ErrorKey {
    const char* function;
    Mistake mistake;
    Py_ssize_t given;
    PyObject* keyword;
    bool operator==(const ErrorKey&) const = default;
};

class ErrorCache {
public:
    // Raises the error of `key`, made by `make_message` when it is not kept yet; always false.
    template <class MakeMessage>
    bool raise(const ErrorKey& key, MakeMessage&& make_message) {
        Entry& entry = entries_[slot(key)];
        if (entry.arguments == nullptr || !(entry.key == key)) {
            Ref message = make_message();
            if (!message) return false;
            PyObject* arguments = PyTuple_Pack(1, message.get());
            if (arguments == nullptr) return false;
            if (key.keyword != nullptr) add_reference(key.keyword);
            // The old entry goes last: dropping a keyword may run its finaliser.
            Entry old = std::exchange(entry, Entry{key, arguments});
            drop_reference(old.arguments);
            drop_reference(old.key.keyword);
        }
        // The host makes TypeError(*arguments) when the exception is caught.
        PyErr_SetObject(PyExc_TypeError, entry.arguments);
        return false;
    }

    void release(bool free_objects) noexcept {
        for (Entry& entry : entries_) {
            Entry old = std::exchange(entry, Entry{});
            if (!free_objects) continue;
            drop_reference(old.arguments);
            drop_reference(old.key.keyword);
        }
    }

private:
    struct Entry {
        ErrorKey key{};
        PyObject* arguments = nullptr;
    };
    static constexpr std::size_t size = 64;
    static std::size_t slot(const ErrorKey& key) noexcept {
        std::size_t mixed = reinterpret_cast<std::uintptr_t>(key.function) ^
                            (reinterpret_cast<std::uintptr_t>(key.keyword) >> 4) ^
                            (static_cast<std::size_t>(key.mistake) << 8) ^ static_cast<std::size_t>(key.given);
        mixed ^= mixed >> 17;
        mixed *= 0x9E3779B97F4A7C15ull;
        return (mixed >> 40) % size;
    }
    Entry entries_[size];
};

// Kept until the interpreter ends, like the interpreter's own constants.
constinit ErrorCache error_cache;

bool wrong_count(const char* function, std::size_t count, Py_ssize_t given) {
    return error_cache.raise({function, Mistake::Count, given, nullptr}, [&] {
        Message message;
        message.add(function, 200).add("() takes exactly ").add(static_cast<Py_ssize_t>(count));
        message.add(" positional argument").add(count == 1 ? "" : "s").add(" (").add(given).add(" given)");
        if (message.complete()) return message.text();
        return Ref::consuming(PyUnicode_FromFormat("%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                                               function, "exactly", static_cast<Py_ssize_t>(count),
                                               count == 1 ? "" : "s", given));
    });
}

// "<function>() got <what> keyword argument '<keyword>'"
bool wrong_keyword(const char* function, Mistake mistake, PyObject* keyword) {
    const char* what = mistake == Mistake::Keyword ? "an unexpected" : "multiple values for";
    return error_cache.raise({function, mistake, 0, keyword}, [&] {
        Message message;
        message.add(function).add("() got ").add(what).add(" keyword argument '").add_text(keyword).add("'");
        if (message.complete()) return message.text();
        return Ref::consuming(PyUnicode_FromFormat("%s() got %s keyword argument '%U'", function, what, keyword));
    });
}

bool parse_without_parameters(const char* function, Py_ssize_t nargs, PyObject* kwnames) {
    // Keywords are reported first, as the host does for functions without parameters.
    if (kwnames != nullptr && PyTuple_Size(kwnames) > 0) {
        return error_cache.raise({function, Mistake::NoKeywords, 0, nullptr}, [&] {
            Message message;
            message.add(function, 200).add("() takes no keyword arguments");
            if (message.complete()) return message.text();
            return Ref::consuming(PyUnicode_FromFormat("%.200s() %s", function, "takes no keyword arguments"));
        });
    }
    if (nargs != 0) {
        return error_cache.raise({function, Mistake::NoArguments, nargs, nullptr}, [&] {
            Message message;
            message.add(function, 200).add("() takes no arguments (").add(nargs).add(" given)");
            if (message.complete()) return message.text();
            return Ref::consuming(PyUnicode_FromFormat("%.200s() %s (%zd given)", function, "takes no arguments", nargs));
        });
    }
    return true;
}

// Index of the parameter that a keyword names, or -1. Compared by value
// without running Python code, so str subclasses cannot interfere.
Py_ssize_t parameter_index(PyObject* keyword, const char* const* parameters, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
        if (PyUnicode_CompareWithASCIIString(keyword, parameters[i]) == 0) return static_cast<Py_ssize_t>(i);
    }
    return -1;
}

}  // namespace

bool parse_arguments(const char* function, const char* const* parameters, std::size_t count,
                     PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out) {
    if (count == 0) return parse_without_parameters(function, nargs, kwnames);
    if (nargs > static_cast<Py_ssize_t>(count)) return wrong_count(function, count, nargs);

    for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
    for (std::size_t i = static_cast<std::size_t>(nargs); i < count; ++i) out[i] = nullptr;

    const Py_ssize_t keywords = kwnames == nullptr ? 0 : PyTuple_Size(kwnames);
    for (Py_ssize_t k = 0; k < keywords; ++k) {
        PyObject* keyword = PyTuple_GetItem(kwnames, k);
        if (keyword == nullptr) return false;
        if (!PyUnicode_Check(keyword)) {
            PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", function);
            return false;
        }
        const Py_ssize_t index = parameter_index(keyword, parameters, count);
        if (index < 0) return wrong_keyword(function, Mistake::Keyword, keyword);
        if (out[index] != nullptr) return wrong_keyword(function, Mistake::RepeatedKeyword, keyword);
        out[index] = args[nargs + k];
    }

    for (std::size_t i = 0; i < count; ++i) {
        if (out[i] == nullptr) return wrong_count(function, count, static_cast<Py_ssize_t>(i));
    }
    return true;
}

void release_argument_errors(bool free_objects) noexcept { error_cache.release(free_objects); }

}  // namespace brivane
