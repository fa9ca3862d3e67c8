// loadVokel, saveVokel, getVokel and find_first_file: model files on disk.
#include "arguments.hpp"
#include "function_table.hpp"
#include "guards.hpp"
#include "host_names.hpp"
#include "module_globals.hpp"
#include "sdk/bridge.hpp"
#include "sdk/product.hpp"

namespace brivane {
namespace {

constexpr Signature<1> load_vokel_signature{"loadVokel", {"vokelFilename"}};
Ref load_vokel(Module module, const Arguments<1>& arguments) {
    PyObject* filename = arguments[0];
    if (!check_guard(module, Guard::Setup)) return {};
    Truth found = module.exists(filename);
    if (!found) return {};
    if (!*found) return none();

    if (!sdk::load_assemblies(module, {&sdk::assembly::sdk, &sdk::assembly::helper, &sdk::assembly::pelorix_core})) {
        return {};
    }
    Ref model_class = sdk::import_class(module, sdk::ns::pelorix_core, sdk::cls::Model);
    if (!model_class) return {};
    Ref model = call(model_class);
    if (!model) return {};
    if (!call_method(model, sdk::member::LoadFromFile, filename)) {
        // A file that the product cannot load is "no model", not an error.
        if (!PyErr_ExceptionMatches(PyExc_Exception)) return {};
        PyErr_Clear();
        return none();
    }
    return model;
}

constexpr Signature<2> save_vokel_signature{"saveVokel", {"vokel", "vokelFilename"}};
Ref save_vokel(Module module, const Arguments<2>& arguments) {
    auto [model, filename] = arguments;
    if (!check_guard(module, Guard::Setup)) return {};
    Truth present = differs(model, Py_None);
    if (!present) return {};
    if (*present) {
        if (!call_method(model, sdk::member::SaveToFile, filename)) return {};
        if (!module.call(functions::writeFreFile, model, filename)) return {};
    }
    return none();
}

constexpr Signature<1> get_vokel_signature{"getVokel", {"directory"}};
Ref get_vokel(Module module, const Arguments<1>& arguments) {
    if (!check_guard(module, Guard::Setup)) return {};
    Ref ending = text(".vokel");
    if (!ending) return {};
    return module.call(functions::find_first_file, arguments[0], ending);
}

// An ending of ASCII characters, kept as code points, against which entry
// names are tested without making their lower-cased copies.
class AsciiEnding {
public:
    // Usable only for an exact str of ASCII characters; anything else leaves
    // it unusable (and no exception set).
    explicit AsciiEnding(PyObject* ending) {
        if (!PyUnicode_CheckExact(ending)) return;
        const Py_ssize_t length = PyUnicode_GetLength(ending);
        if (length < 0 || length > longest || PyUnicode_AsUCS4(ending, characters_, longest, 0) == nullptr) {
            PyErr_Clear();
            return;
        }
        for (Py_ssize_t i = 0; i < length; ++i) {
            if (characters_[i] >= 0x80) return;
        }
        length_ = length;
        usable_ = true;
    }
    bool usable() const noexcept { return usable_; }

    // name.lower().endswith(ending) for an exact str name, read from its end.
    // An ASCII character lowers to one character (A-Z to a-z, the rest
    // unchanged), so while the name's last characters are ASCII they line up
    // with the ending's last characters, whatever comes before them: the
    // first difference decides "no", and a whole ASCII tail that matches
    // decides "yes". A non-ASCII character in the tail, or a name shorter
    // than the ending, is left to the str methods: nullopt, no exception set.
    std::optional<bool> ends(PyObject* name) const {
        if (!PyUnicode_CheckExact(name)) return std::nullopt;
        const Py_ssize_t length = PyUnicode_GetLength(name);
        if (length < length_) {
            PyErr_Clear();
            return std::nullopt;
        }
        for (Py_ssize_t from_end = 1; from_end <= length_; ++from_end) {
            const Py_UCS4 character = PyUnicode_ReadChar(name, length - from_end);
            if (character >= 0x80) {
                PyErr_Clear();  // (Py_UCS4)-1 is also how a failed read reports
                return std::nullopt;
            }
            const Py_UCS4 lowered = character >= 'A' && character <= 'Z' ? character + ('a' - 'A') : character;
            if (lowered != characters_[length_ - from_end]) return false;
        }
        return true;
    }

private:
    static constexpr Py_ssize_t longest = 260;  // longer than any file name; longer endings take the general path
    Py_UCS4 characters_[longest];
    Py_ssize_t length_ = 0;
    bool usable_ = false;
};

// name.lower().endswith(ending), with the str methods themselves.
Truth lowered_ends_with(PyObject* name, PyObject* ending) {
    Ref lowered = call_method(name, host::lower);
    if (!lowered) return std::nullopt;
    Ref matches = call_method(lowered, host::endswith, ending);
    if (!matches) return std::nullopt;
    return truth(matches.get());
}

// The listing is taken once; the file test runs only for names with the
// right ending, and only until the first match.
constexpr Signature<2> find_first_file_signature{"find_first_file", {"directory", "ext"}};
Ref find_first_file(Module module, const Arguments<2>& arguments) {
    auto [directory, ending] = arguments;
    Ref listing = module.call_host(host::os, host::listdir, directory);
    if (!listing) return {};
    Ref entries = Ref::consuming(PyObject_GetIter(listing.get()));
    if (!entries) return {};
    // The usual listing, str names against a str ending, is tested without calling the str methods.
    const AsciiEnding ascii_ending(ending);
    while (Ref name = Ref::consuming(PyIter_Next(entries.get()))) {
        Truth ends_right = ascii_ending.usable() ? ascii_ending.ends(name.get()) : std::nullopt;
        if (!ends_right) ends_right = lowered_ends_with(name.get(), ending);
        if (!ends_right) return {};
        if (!*ends_right) continue;

        Ref path = module.call_os_path(host::join, directory, name);
        if (!path) return {};
        Ref is_file = module.call_os_path(host::isfile, path);
        if (!is_file) return {};
        Truth regular = truth(is_file.get());
        if (!regular) return {};
        if (*regular) return path;
    }
    if (PyErr_Occurred()) return {};
    return text("");
}

}  // namespace

PyMethodDef loadVokel_function = define_function<load_vokel_signature, load_vokel>(
    "loadVokel(vokelFilename)\n"
    "\n"
    "Load a vokeL based on its filename.\n"
    "Return the vokeL class if exists. None otherwise.");

PyMethodDef saveVokel_function = define_function<save_vokel_signature, save_vokel>(
    "saveVokel(vokel, vokelFilename)\n"
    "\n"
    "Save the vokel with its filename. It will also save a fre file with the same name.");

PyMethodDef getVokel_function = define_function<get_vokel_signature, get_vokel>(
    "getVokel(directory)\n"
    "\n"
    "Return the first vokel filename in the directory or empty string if doesn't exist.");

PyMethodDef find_first_file_function = define_function<find_first_file_signature, find_first_file>(
    "find_first_file(directory, ext)\n"
    "\n"
    "Return the first file with extension = ext in directory or empty string if not exists.");

}  // namespace brivane
