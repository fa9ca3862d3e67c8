/* The interpreter's configuration header for 64-bit Windows, as the stable-ABI
 * headers of CPython 3.10 need it to cross-build the module on another system.
 * A native Windows build uses the header of the installed interpreter instead.
 *
 * Windows x64 is LLP64: long stays 32 bits while pointers, size_t and
 * Py_ssize_t have 64. The interpreter lives in a DLL (python3.dll for the
 * stable ABI), so its functions and data are declared dllimport. */
#ifndef Py_PYCONFIG_H
#define Py_PYCONFIG_H

#if !defined(_WIN64)
#error "this configuration describes 64-bit Windows only"
#endif

#define MS_WIN32
#define MS_WIN64
#define MS_WINDOWS
#define NT_THREADS
#define WITH_THREAD

/* The API is imported from the interpreter's DLL. */
#define Py_ENABLE_SHARED 1
#define HAVE_DECLSPEC_DLL

#define SIZEOF_SHORT 2
#define SIZEOF_INT 4
#define SIZEOF_LONG 4
#define SIZEOF_LONG_LONG 8
#define SIZEOF_VOID_P 8
#define SIZEOF_SIZE_T 8
#define SIZEOF_TIME_T 8
#define SIZEOF_WCHAR_T 2
#define SIZEOF_FLOAT 4
#define SIZEOF_DOUBLE 8
#define SIZEOF_FPOS_T 8
#define SIZEOF_HKEY 8
/* Windows has no pid_t; the interpreter passes process ids as int. */
#define SIZEOF_PID_T SIZEOF_INT

#define HAVE_LONG_LONG 1
#define DOUBLE_IS_LITTLE_ENDIAN_IEEE754 1

#define HAVE_PY_SSIZE_T 1
typedef long long Py_ssize_t;

/* The headers the interpreter's headers look for; Windows has no sys/time.h or sys/select.h. */
#define HAVE_ERRNO_H 1
#define HAVE_STDDEF_H 1
#define HAVE_SYS_STAT_H 1

/* The compiler must agree with the sizes above. */
#ifdef __cplusplus
#define Py_CONFIG_SIZE_CHECK(condition) static_assert(condition, #condition)
#else
#define Py_CONFIG_SIZE_CHECK(condition) _Static_assert(condition, #condition)
#endif
Py_CONFIG_SIZE_CHECK(sizeof(short) == SIZEOF_SHORT);
Py_CONFIG_SIZE_CHECK(sizeof(int) == SIZEOF_INT);
Py_CONFIG_SIZE_CHECK(sizeof(long) == SIZEOF_LONG);
Py_CONFIG_SIZE_CHECK(sizeof(long long) == SIZEOF_LONG_LONG);
Py_CONFIG_SIZE_CHECK(sizeof(void*) == SIZEOF_VOID_P);
Py_CONFIG_SIZE_CHECK(sizeof(sizeof(int)) == SIZEOF_SIZE_T);
Py_CONFIG_SIZE_CHECK(sizeof(L'x') == SIZEOF_WCHAR_T);
Py_CONFIG_SIZE_CHECK(sizeof(float) == SIZEOF_FLOAT);
Py_CONFIG_SIZE_CHECK(sizeof(double) == SIZEOF_DOUBLE);
Py_CONFIG_SIZE_CHECK(sizeof(Py_ssize_t) == SIZEOF_SIZE_T);
#undef Py_CONFIG_SIZE_CHECK

#endif /* Py_PYCONFIG_H */
