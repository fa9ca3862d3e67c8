#include "errors.hpp"

namespace brivane {

Raised raise_environment_error(const Name& message) {
    PyObject* text = message.get();
    if (text != nullptr) PyErr_SetObject(PyExc_OSError, text);
    return {};
}

PendingError PendingError::fetch() noexcept {
    PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    if (value != nullptr && traceback != nullptr) PyException_SetTraceback(value, traceback);
    PendingError error;
    error.type_ = Ref::consuming(type);
    error.value_ = Ref::consuming(value);
    error.traceback_ = Ref::consuming(traceback);
    return error;
}

void PendingError::restore() noexcept { PyErr_Restore(type_.release(), value_.release(), traceback_.release()); }

void PendingError::restore_unless_replaced() noexcept {
    if (!PyErr_Occurred()) {
        restore();
        return;
    }
    if (!value_) return;
    PendingError replacing = fetch();
    if (replacing.value_ && replacing.value_.get() != value_.get()) {
        PyException_SetContext(replacing.value_.get(), value_.release());
    }
    replacing.restore();
}

}  // namespace brivane
