/* The bound of the micro cases: functions that do nothing but what no
 * implementation can avoid (raise the same exception, or return None), timed
 * through the same loops as the module and its floor. A target below the
 * ratio of its bound cannot be met by any function called that way. */
#define PY_SSIZE_T_CLEAN
#include <Python.h>

static PyObject *setup_error_arguments, *count_error_arguments, *keyword_error_arguments;

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

static PyObject *return_none(PyObject *self, PyObject *argument) {
    Py_RETURN_NONE;
}

static PyMethodDef methods[] = {
    {"raise_setup_error", raise_setup_error, METH_O, NULL},
    {"raise_count_error", (PyCFunction)(void (*)(void))raise_count_error, METH_FASTCALL | METH_KEYWORDS, NULL},
    {"raise_keyword_error", (PyCFunction)(void (*)(void))raise_keyword_error, METH_FASTCALL | METH_KEYWORDS, NULL},
    {"return_none", return_none, METH_O, NULL},
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
    if (!setup_error_arguments || !count_error_arguments || !keyword_error_arguments) return NULL;
    return PyModule_Create(&definition);
}
