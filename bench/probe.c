/* The bound of the micro cases: functions that do nothing but what no
 * implementation can avoid (raise the same exception; read the globals that
 * must be read at every call), timed through the same loops as the module and
 * its floor. A target below the ratio of its bound cannot be met by any
 * function called that way. The probe uses the full C API with its inline
 * reference counting: nothing is cheaper. */
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <string.h>

static PyObject *setup_error_arguments, *count_error_arguments, *keyword_error_arguments;
static PyObject *namespace, *valid_setup_key, *dlls_key; /* the module's namespace, bound by the cases */
static PyObject *names[4];                               /* "Name", "SubFamilies", "Settings", "Value" */
static PyObject *listdir, *join, *isfile;                /* the host's os.listdir, os.path.join and os.path.isfile */

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

/* Whether `object` is a str holding exactly the ASCII text `key` of `length` characters. */
static int named(PyObject *object, const char *key, Py_ssize_t length) {
    return PyUnicode_Check(object) && PyUnicode_GET_LENGTH(object) == length && PyUnicode_IS_ASCII(object) &&
           memcmp(PyUnicode_DATA(object), key, (size_t)length) == 0;
}

/* One level of one pass of FindSolverPaths over a plain document (lists,
 * dicts, str), with the inline list access and string tests of the full C
 * API: entries named wanted[level] lead to the next level's list (the member
 * names[level + 1]), and at the last level to their "Value"; the last match wins. */
static int walk(PyObject *entries, PyObject *name_key, const char *const wanted[3], int level, PyObject **found) {
    Py_ssize_t length = (Py_ssize_t)strlen(wanted[level]);
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(entries); ++i) {
        PyObject *entry = PyList_GET_ITEM(entries, i);
        PyObject *name = PyDict_GetItemWithError(entry, name_key);
        if (name == NULL) return -1;
        if (!named(name, wanted[level], length)) continue;
        /* "SubFamilies", then "Settings", then "Value" */
        PyObject *member = PyDict_GetItemWithError(entry, names[level + 1]);
        if (member == NULL) return -1;
        if (level == 2) {
            *found = member;
        } else if (walk(member, name_key, wanted, level + 1, found) < 0) {
            return -1;
        }
    }
    return 0;
}

/* The two passes that FindSolverPaths must make, on a plain document only. */
static PyObject *find_solver_paths_walk(PyObject *self, PyObject *document) {
    PyObject *families = PyDict_GetItemString(document, "Families");
    if (families == NULL || !PyList_CheckExact(families)) {
        PyErr_SetString(PyExc_RuntimeError, "the probe expects a plain settings document");
        return NULL;
    }
    /* The document's own "Name" key, so that lookups are settled by identity as the module's are. */
    PyObject *name_key = NULL, *key, *value;
    Py_ssize_t position = 0;
    if (PyList_GET_SIZE(families) > 0) {
        while (PyDict_Next(PyList_GET_ITEM(families, 0), &position, &key, &value)) {
            if (PyUnicode_Check(key) && PyUnicode_CompareWithASCIIString(key, "Name") == 0) name_key = key;
        }
    }
    if (name_key == NULL) name_key = names[0];
    PyObject *revav = Py_None, *quelbar = Py_None;
    static const char *const revav_path[3] = {"REVAV", "PATH", "WINDOWS SOLVER PATH"};
    static const char *const quelbar_path[3] = {"QUELBAR", "PATH", "SOLVER PATH"};
    if (walk(families, name_key, revav_path, 0, &revav) < 0 ||
        walk(families, name_key, quelbar_path, 0, &quelbar) < 0) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_KeyError, "a member is missing");
        return NULL;
    }
    if (PyUnicode_Check(revav) && PyUnicode_GET_LENGTH(revav) == 0) revav = Py_None;
    if (PyUnicode_Check(quelbar) && PyUnicode_GET_LENGTH(quelbar) == 0) quelbar = Py_None;
    return PyTuple_Pack(2, revav, quelbar);
}

/* name.lower().endswith(ending) for ASCII names and endings, read from the end. */
static int ends_with_lowered(PyObject *name, PyObject *ending) {
    Py_ssize_t length = PyUnicode_GET_LENGTH(name), ending_length = PyUnicode_GET_LENGTH(ending);
    if (length < ending_length) return 0;
    for (Py_ssize_t i = 1; i <= ending_length; ++i) {
        Py_UCS4 character = PyUnicode_READ_CHAR(name, length - i);
        if (character >= 'A' && character <= 'Z') character += 'a' - 'A';
        if (character != PyUnicode_READ_CHAR(ending, ending_length - i)) return 0;
    }
    return 1;
}

/* What find_first_file must do: the host's os.listdir, then the first name
 * that ends with `ext` (lowered) and names a file, by the host's os.path. */
static PyObject *find_first_file_walk(PyObject *self, PyObject *const *args, Py_ssize_t nargs) {
    if (nargs != 2 || !PyUnicode_Check(args[1]) || !PyUnicode_IS_ASCII(args[1])) {
        PyErr_SetString(PyExc_TypeError, "the probe expects a directory and an ASCII ending");
        return NULL;
    }
    PyObject *names = PyObject_CallOneArg(listdir, args[0]);
    if (names == NULL) return NULL;
    PyObject *result = NULL;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(names); ++i) {
        PyObject *name = PyList_GET_ITEM(names, i);
        if (!PyUnicode_IS_ASCII(name) || !ends_with_lowered(name, args[1])) continue;
        PyObject *path = PyObject_CallFunctionObjArgs(join, args[0], name, NULL);
        if (path == NULL) goto done;
        PyObject *is_file = PyObject_CallOneArg(isfile, path);
        if (is_file == NULL) {
            Py_DECREF(path);
            goto done;
        }
        int found = PyObject_IsTrue(is_file);
        Py_DECREF(is_file);
        if (found) {
            result = path;
            goto done;
        }
        Py_DECREF(path);
    }
    result = PyUnicode_FromString("");
done:
    Py_DECREF(names);
    return result;
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
    {"find_solver_paths_walk", find_solver_paths_walk, METH_O, NULL},
    {"find_first_file_walk", (PyCFunction)(void (*)(void))find_first_file_walk, METH_FASTCALL, NULL},
    {"bind_namespace", bind_namespace, METH_O, NULL},
    {NULL, NULL, 0, NULL},
};

static struct PyModuleDef definition = {PyModuleDef_HEAD_INIT, "bench_probe", NULL, -1, methods};

static PyObject *kept(const char *message) { return Py_BuildValue("(s)", message); }

PyMODINIT_FUNC PyInit_bench_probe(void) {
    setup_error_arguments = kept(
        "Invalid setup! Please call 'from brivane_computer import setup_brivane_computer' "
        "and set up with Pelorix installation directory.");
    count_error_arguments = kept("load_dll() takes exactly 1 positional argument (2 given)");
    keyword_error_arguments = kept("load_dll() got an unexpected keyword argument 'name'");
    /* Interned, like the names that the module and the interpreter look up. */
    valid_setup_key = PyUnicode_InternFromString("_validSetup_");
    dlls_key = PyUnicode_InternFromString("_dlls_");
    PyObject *os = PyImport_ImportModule("os");
    if (os == NULL) return NULL;
    PyObject *os_path = PyObject_GetAttrString(os, "path");
    listdir = PyObject_GetAttrString(os, "listdir");
    Py_DECREF(os);
    if (os_path == NULL || listdir == NULL) return NULL;
    join = PyObject_GetAttrString(os_path, "join");
    isfile = PyObject_GetAttrString(os_path, "isfile");
    Py_DECREF(os_path);
    if (join == NULL || isfile == NULL) return NULL;
    const char *members[4] = {"Name", "SubFamilies", "Settings", "Value"};
    for (int i = 0; i < 4; ++i) {
        names[i] = PyUnicode_InternFromString(members[i]);
        if (names[i] == NULL) return NULL;
    }
    if (!setup_error_arguments || !count_error_arguments || !keyword_error_arguments || !valid_setup_key || !dlls_key) {
        return NULL;
    }
    return PyModule_Create(&definition);
}
