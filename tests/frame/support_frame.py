"""What the frame's tests share: ids for the function table, the module's globals as they are now, an argument
that must not be looked at, and a call made the way the interpreter makes it."""

import ctypes
import sys
import types

from brivane_testkit.module_table import GLOBALS


def ids(functions):
    return [function.name for function in functions]


def module_globals(core):
    """The module globals as they are now (the _dlls_ list copied)."""
    return {name: (list(value) if name == "_dlls_" else value) for name in GLOBALS for value in [getattr(core, name)]}


class Untouchable:
    """An argument that fails loudly as soon as anything looks at it."""

    def __getattribute__(self, name):
        raise AssertionError(f"argument inspected ({name})")

    def _refuse(self, *args):
        raise AssertionError("argument inspected")

    __eq__ = __ne__ = __lt__ = __gt__ = __bool__ = __str__ = __repr__ = __fspath__ = __format__ = _refuse
    __iter__ = __len__ = __getitem__ = __hash__ = __index__ = __int__ = __float__ = __sub__ = _refuse


def vectorcall(function, positional, keywords):
    """Calls a built-in function the way the interpreter does, with the
    keyword names handed over as they are (the ``**`` syntax would check
    them itself). ``keywords`` is a sequence of (name, value) pairs."""
    if not isinstance(function, types.BuiltinFunctionType):
        raise TypeError("a built-in function is needed")
    names = tuple(name for name, _ in keywords)
    values = list(positional) + [value for _, value in keywords]
    array = (ctypes.py_object * max(len(values), 1))(*values)
    signature = ctypes.PYFUNCTYPE(
        ctypes.py_object, ctypes.py_object, ctypes.POINTER(ctypes.py_object), ctypes.c_size_t, ctypes.py_object
    )
    if sys.version_info >= (3, 12):
        call = ctypes.pythonapi.PyObject_Vectorcall
        call.restype = ctypes.py_object
        call.argtypes = signature._argtypes_
        return call(function, array, len(positional), names)
    # The vectorcall slot is the last field of the built-in function object.
    offset = type(function).__basicsize__ - ctypes.sizeof(ctypes.c_void_p)
    pointer = ctypes.c_void_p.from_address(id(function) + offset).value
    if not pointer:
        raise RuntimeError("no vectorcall slot")
    return signature(pointer)(function, array, len(positional), names)
