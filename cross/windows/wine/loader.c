/* Loads the module as CPython does on Windows, beside a stub python3.dll, calls
 * its init function and prints the module definition it returns, one fact a
 * line, for scripts/check-windows.sh. Exits non-zero when a step fails. */
#include <Python.h>
#include <stdio.h>
#include <windows.h>

typedef PyObject* (*InitFunction)(void);

int wmain(int argc, wchar_t** argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: loader MODULE.pyd\n");
        return 2;
    }
    /* CPython's own way: a full path, and the flags that search the module's folder, then the system's, for
     * the DLLs it imports. */
    wchar_t path[MAX_PATH];
    if (GetFullPathNameW(argv[1], MAX_PATH, path, NULL) == 0) {
        printf("no full path: error %lu\n", GetLastError());
        return 1;
    }
    HMODULE module = LoadLibraryExW(path, NULL, LOAD_LIBRARY_SEARCH_DEFAULT_DIRS | LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR);
    if (module == NULL) {
        printf("load failed: error %lu\n", GetLastError());
        return 1;
    }
    InitFunction init = (InitFunction)(void (*)(void))GetProcAddress(module, "PyInit_brivane_core");
    if (init == NULL) {
        printf("no PyInit_brivane_core\n");
        return 1;
    }
    /* The stub's PyModuleDef_Init hands back the definition, as the interpreter does for multi-phase init. */
    PyModuleDef* definition = (PyModuleDef*)init();
    if (definition == NULL) {
        printf("init returned NULL\n");
        return 1;
    }
    printf("name %s\n", definition->m_name ? definition->m_name : "(null)");
    printf("doc %s\n", definition->m_doc ? definition->m_doc : "(null)");
    printf("size %lld\n", (long long)definition->m_size);
    printf("methods %s\n", definition->m_methods ? "table" : "(null)");
    printf("slots");
    for (PyModuleDef_Slot* slot = definition->m_slots; slot != NULL && slot->slot != 0; ++slot) {
        printf(" %s", slot->slot == Py_mod_create ? "create" : slot->slot == Py_mod_exec ? "exec" : "other");
        if (slot->value == NULL) printf("(null)");
    }
    printf("\n");
    return 0;
}
