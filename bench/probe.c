/* The bound of the micro cases: functions that do nothing but what no
 * implementation can avoid (raise the same exception; read the globals that
 * must be read at every call), timed through the same loops as the module and
 * its floor. A target below the ratio of its bound cannot be met by any
 * function called that way. The probe uses the full C API with its inline
 * reference counting: nothing is cheaper. */
#define PY_SSIZE_T_CLEAN
#include <Python.h>

static PyObject *setup_error_arguments, *count_error_arguments, *keyword_error_arguments;
static PyObject *namespace, *valid_setup_key, *dlls_key;  /* the module's namespace, bound by the cases */

/* The set-up guard's EnvironmentError, from a kept argument tuple. */
static PyObject *raise_setup_error(PyObject *self, PyObject *argument) {
    PyErr_SetObject(PyExc_OSError, setup_error_arguments);
    return NULL;
}

/* An argument error, from a kept argument tuple, whatever the arguments. */
static PyObject *raise_count_error(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PyErr_SetObject(PyExc_TypeError, count_error_arguments);
    return NULL;
}

static PyObject *raise_keyword_error(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PyErr_SetObject(PyExc_TypeError, keyword_error_arguments);
    return NULL;
}

/* What load_dll must do for a name already loaded: read _validSetup_ and
 * _dlls_ from the module namespace and test membership. */
static PyObject *load_dll_lookups(PyObject *self, PyObject *dllname) {
    PyObject *valid = PyDict_GetItemWithError(namespace, valid_setup_key);
    if (valid == NULL) return NULL;
    if (valid != Py_True) {
        PyErr_SetString(PyExc_RuntimeError, "the probe expects a completed set-up");
        return NULL;
    }
    PyObject *loaded = PyDict_GetItemWithError(namespace, dlls_key);
    if (loaded == NULL) return NULL;
    Py_INCREF(loaded);
    int known = PySequence_Contains(loaded, dllname);
    Py_DECREF(loaded);
    if (known < 0) return NULL;
    if (!known) {
        PyErr_SetString(PyExc_RuntimeError, "the probe expects a name already loaded");
        return NULL;
    }
    Py_RETURN_NONE;
}

static PyObject *bind_namespace(PyObject *self, PyObject *dict) {
    if (!PyDict_Check(dict)) {
        PyErr_SetString(PyExc_TypeError, "a dict is needed");
        return NULL;
    }
    Py_INCREF(dict);
    Py_XSETREF(namespace, dict);
    Py_RETURN_NONE;
}

static PyMethodDef methods[] = {
    {"raise_setup_error", raise_setup_error, METH_O, NULL},
    {"raise_count_error", (PyCFunction)(void (*)(void))raise_count_error, METH_FASTCALL | METH_KEYWORDS, NULL},
    {"raise_keyword_error", (PyCFunction)(void (*)(void))raise_keyword_error, METH_FASTCALL | METH_KEYWORDS, NULL},
    {"load_dll_lookups", load_dll_lookups, METH_O, NULL},
    {"bind_namespace", bind_namespace, METH_O, NULL},
    {NULL, NULL, 0, NULL},
};

static struct PyModuleDef definition = {PyModuleDef_HEAD_INIT, "bench_probe", NULL, -1, methods};

static PyObject *kept(const char *message) {
    return Py_BuildValue("(s)", message);
}

PyMODINIT_FUNC PyInit_bench_probe(void) {
    setup_error_arguments = kept("Invalid setup! Please call 'from brivane_computer import setup_brivane_computer' "
                                 "and set up with Pelorix installation directory.");
    count_error_arguments = kept("load_dll() takes exactly 1 positional argument (2 given)");
    keyword_error_arguments = kept("load_dll() got an unexpected keyword argument 'name'");
    /* Interned, like the names that the module and the interpreter look up. */
    valid_setup_key = PyUnicode_InternFromString("_validSetup_");
    dlls_key = PyUnicode_InternFromString("_dlls_");
    if (!setup_error_arguments || !count_error_arguments || !keyword_error_arguments || !valid_setup_key ||
        !dlls_key) {
        return NULL;
    }
    return PyModule_Create(&definition);
}
