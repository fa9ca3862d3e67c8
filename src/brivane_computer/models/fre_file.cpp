// writeFreFile: the solver input (fre) file of a model, written by the model
// itself with the options chosen in the product's settings.
#include "arguments.hpp"
#include "errors.hpp"
#include "full_path.hpp"
#include "function_table.hpp"
#include "guards.hpp"
#include "host_names.hpp"
#include "model_folder.hpp"
#include "module_globals.hpp"
#include "sdk/bridge.hpp"
#include "sdk/product.hpp"

namespace brivane {
namespace {

namespace keys = sdk::settings;

class SettingsReader {
public:
    SettingsReader(const Module& module, Ref controller) : module_(module), controller_(std::move(controller)) {}

    Ref value(const char* family, const char* setting) const {
        Ref family_name = text(family);
        if (!family_name) return {};
        Ref setting_name = text(setting);
        if (!setting_name) return {};
        return call_method(controller_, sdk::member::GetSettingValue, family_name, setting_name);
    }
    // int(value)
    Ref whole_number(const char* family, const char* setting) const {
        Ref raw = value(family, setting);
        if (!raw) return {};
        return module_.call_builtin(host::int_, raw);
    }
    // int(value) == 1
    Ref switched_on(const char* family, const char* setting) const {
        Ref number = whole_number(family, setting);
        if (!number) return {};
        Ref one = Ref::consuming(PyLong_FromLong(1));
        if (!one) return {};
        Truth on = equals(number.get(), one.get());
        if (!on) return {};
        return boolean(*on);
    }
    // "Degrees" gives 1, "Milliradians" 2, anything else 0.
    Ref rotation_option(const char* family, const char* setting) const {
        Ref units = value(family, setting);
        if (!units) return {};
        long option = 0;
        for (const auto& [word, number] : {std::pair{keys::degrees, 1L}, std::pair{keys::milliradians, 2L}}) {
            Ref candidate = text(word);
            if (!candidate) return {};
            Truth same = equals(units.get(), candidate.get());
            if (!same) return {};
            if (*same) {
                option = number;
                break;
            }
        }
        return Ref::consuming(PyLong_FromLong(option));
    }

private:
    const Module& module_;
    Ref controller_;
};

constinit Name missing_library_message{"Invalid setup! Brivane.Quelbar.lib not found!"};

// Initialises the native solver library of the installation, which must lie in the Extensions folder.
bool initialise_native_library(const Module& module) {
    if (!sdk::load_assemblies(module, {&sdk::assembly::pelorix_core})) return false;
    Ref library = sdk::import_class(module, sdk::ns::pelorix_core, sdk::cls::QBLibrary);
    if (!library) return false;
    Ref folder = module.get(globals::dllPath);
    if (!folder) return false;
    PyObject* library_name = sdk::native_solver_library.get();
    if (!library_name) return false;
    Ref library_file = module.call_os_path(host::join, folder, library_name);
    if (!library_file) return false;
    Truth present = module.exists(library_file.get());
    if (!present) return false;
    if (!*present) {
        return raise_environment_error(missing_library_message);
    }
    return static_cast<bool>(call_method(library, sdk::member::Initialize, library_file));
}

// The old fre file waits aside while the product writes the new one, under
// the fre file's name followed by ".old" (then ".old1", ".old2", ...): a name
// that this call creates exclusively first, so that the move never replaces
// a file of the user's. After a crash, the old content is found there.
constexpr const char* aside_ending = ".old";
constexpr int aside_names = 100;

// Swallows an ordinary error, as the steps that may fail without harm do;
// false when an interrupt (or the like) must go on.
bool ordinary_error_cleared() {
    if (!PyErr_ExceptionMatches(PyExc_Exception)) return false;
    PyErr_Clear();
    return true;
}

// A new empty file beside `fre_file`, created exclusively (open(name, "xb")).
Ref claim_aside_name(const Module& module, const Ref& fre_file) {
    Ref mode = text("xb");
    if (!mode) return {};
    for (int attempt = 0; attempt < aside_names; ++attempt) {
        Ref name =
            attempt == 0 ? text(aside_ending) : Ref::consuming(PyUnicode_FromFormat("%s%d", aside_ending, attempt));
        if (!name) return {};
        Ref aside = Ref::consuming(PyNumber_Add(fre_file.get(), name.get()));
        if (!aside) return {};
        Ref file = module.call_builtin(host::open, aside, mode);
        if (file) {
            if (!call_method(file, host::close)) return {};
            return aside;
        }
        if (!PyErr_ExceptionMatches(PyExc_FileExistsError)) return {};
        PyErr_Clear();
    }
    PyErr_SetString(PyExc_FileExistsError, "every aside name of the fre file is taken");
    return {};
}

// Where the old file went: `aside` names it, or is empty when it stayed in
// place. `failed` when an interrupt must go on.
struct MovedAside {
    Ref aside;
    bool failed = false;
};

// A file that cannot be moved aside (locked, no permission) stays where it
// is, and the writer is called on the same path.
MovedAside move_aside(const Module& module, const Ref& fre_file) {
    Ref aside = claim_aside_name(module, fre_file);
    if (!aside) return {{}, !ordinary_error_cleared()};
    if (module.call_imported(host::os, host::replace, fre_file, aside)) return {std::move(aside)};
    PendingError error = PendingError::fetch();
    // The claimed name is this call's own empty file.
    if (!module.call_imported(host::os, host::remove, aside) && !ordinary_error_cleared()) {
        error.restore_unless_replaced();
        return {{}, true};
    }
    error.restore();
    return {{}, !ordinary_error_cleared()};
}

// One attempt at putting things in order after the writer: when the writer
// failed or left no file, the old file goes back; once a new file stands, the
// aside copy goes. False with the exception set.
bool put_in_order(const Module& module, const Ref& fre_file, const Ref& aside, bool written) {
    if (written) {
        Ref is_file = module.call_os_path(host::isfile, fre_file);
        if (!is_file) return false;
        Truth stands = truth(is_file.get());
        if (!stands) return false;
        // An old copy that cannot be deleted harms nothing: it is left where the user finds it.
        if (*stands) return module.call_imported(host::os, host::remove, aside) || ordinary_error_cleared();
    }
    return static_cast<bool>(module.call_imported(host::os, host::replace, aside, fre_file));
}

// Attempts at putting things in order: an attempt cut short (a Ctrl-C that
// lands in it) is made again, and the first error is raised once things are
// in order, so that an interrupt after the writer leaves no aside copy.
constexpr int order_attempts = 3;

// The exception being raised names the aside copy that stays: in its message
// when it has none (a Ctrl-C), otherwise in a note where the host has notes.
void name_kept_copy(const Ref& aside) {
    PendingError error = PendingError::fetch();
    Ref message = Ref::consuming(PyUnicode_FromFormat("the previous fre file is kept as '%S'", aside.get()));
    Ref arguments = message ? attribute(error.value(), host::args) : Ref();
    if (arguments && PyTuple_Check(arguments.get()) && PyTuple_Size(arguments.get()) == 0) {
        Ref named = Ref::consuming(PyTuple_Pack(1, message.get()));
        if (named) set_attribute(error.value(), host::args, named.get());
    } else if (arguments) {
        Ref add_note = attribute(error.value(), host::add_note);
        if (add_note) call(add_note, message);
    }
    PyErr_Clear();  // a copy that cannot be named leaves the error as it was
    error.restore();
}

// After the writer (`written` false with its error set). False with an
// exception set: the writer's, or the first that putting things in order met.
bool settle(const Module& module, const Ref& fre_file, const Ref& aside, bool written) {
    PendingError writer_error;
    if (!written) writer_error = PendingError::fetch();
    PendingError first;
    bool in_order = false;
    for (int attempt = 0; attempt < order_attempts && !in_order; ++attempt) {
        in_order = put_in_order(module, fre_file, aside, written);
        if (!in_order) {
            PendingError error = PendingError::fetch();
            if (!first.value()) first = std::move(error);
        }
    }
    if (first.value()) {
        first.restore();
        if (!in_order) name_kept_copy(aside);
        // As from a finally block: the writer's error becomes the context.
        if (!written) writer_error.restore_unless_replaced();
        return false;
    }
    if (written) return true;
    writer_error.restore();
    return false;
}

constexpr Signature<2> write_fre_file_signature{"writeFreFile", {"vokel", "vokelFilename"}};
Ref write_fre_file(Module module, const Arguments<2>& arguments) {
    auto [model, given_file] = arguments;
    if (!check_guard(module, Guard::Setup)) return {};
    Ref model_file = full_path_once(module, given_file);
    if (!model_file) return {};
    if (!initialise_native_library(module)) return {};

    Ref fre_file = fre_file_for(module, model_file.get());
    if (!fre_file) return {};

    // Everything that may stop the call is read before the old file is touched.
    Ref application = module.get(globals::application);
    if (!application) return {};
    Ref controller = call_method(application, sdk::member::GetSettingsController);
    if (!controller) return {};
    Truth has_controller = differs(controller.get(), Py_None);
    if (!has_controller) return {};
    if (!*has_controller) return none();

    const SettingsReader settings(module, std::move(controller));
    Ref max_length = settings.whole_number(keys::quelbar_family, keys::max_field_length);
    if (!max_length) return {};
    Ref rotation = settings.rotation_option(keys::quelbar_family, keys::rotation_units);
    if (!rotation) return {};
    Ref inline_restraints = settings.switched_on(keys::quelbar_family, keys::inline_restraints);
    if (!inline_restraints) return {};
    Ref inline_dlcs = settings.switched_on(keys::quelbar_family, keys::inline_dlcs);
    if (!inline_dlcs) return {};
    Ref inline_indi = settings.switched_on(keys::quelbar_family, keys::inline_indi);
    if (!inline_indi) return {};
    Ref imperial = settings.switched_on(keys::pelorix_family, keys::imperial_notation);
    if (!imperial) return {};

    // Through a link the writer would replace the link by a file and leave its target as it was.
    Ref link = module.call_os_path(host::islink, fre_file);
    if (!link) return {};
    Truth linked = truth(link.get());
    if (!linked) return {};
    if (*linked) {
        return raise_with_message(PyExc_OSError, "The fre file '", fre_file.get(),
                                  "' is a symbolic link: writeFreFile writes no fre file through a link, and "
                                  "leaves the link and its target as they are.");
    }

    Truth old_file = module.exists(fre_file.get());
    if (!old_file) return {};
    MovedAside moved;
    if (*old_file) {
        moved = move_aside(module, fre_file);
        if (moved.failed) return {};
    }
    // Twelve positional arguments; the writer's fixed options are always None or False.
    Ref written = call_method(model, sdk::member::WriteFreFile, fre_file, Py_None, max_length, rotation, Py_False,
                              imperial, inline_restraints, inline_dlcs, inline_indi, Py_False, Py_None, Py_None);
    if (moved.aside && !settle(module, fre_file, moved.aside, static_cast<bool>(written))) return {};
    if (!written) return {};
    return none();
}

}  // namespace

PyMethodDef writeFreFile_function = define_function<write_fre_file_signature, write_fre_file>(
    "writeFreFile(vokel, vokelFilename)\n"
    "\n"
    "Write the fre file corresponding to the vokel in the directory with respect of the settings.");

}  // namespace brivane
