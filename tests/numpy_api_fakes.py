"""Stand-ins for NumPy's C API table, for import tests in fresh interpreters.

A fake is a module placed in sys.modules under "numpy.core.multiarray",
whose "_ARRAY_API" capsule points to a table of C function pointers (made with
ctypes) of which only the three that the import checks call are set:
the ABI version (slot 0), the byte order (slot 210) and the API feature
version (slot 211)."""

import ctypes
import sys
import types

ABI_VERSION_SLOT = 0
BYTE_ORDER_SLOT = 210
FEATURE_VERSION_SLOT = 211
LITTLE_ENDIAN = 1

_new_capsule = ctypes.pythonapi.PyCapsule_New
_new_capsule.restype = ctypes.py_object
_new_capsule.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]

# Everything a capsule points to must outlive the interpreter's use of it.
_kept = []


def api_table(abi_version, feature_version, byte_order=LITTLE_ENDIAN):
    unsigned = ctypes.CFUNCTYPE(ctypes.c_uint)
    signed = ctypes.CFUNCTYPE(ctypes.c_int)
    functions = {
        ABI_VERSION_SLOT: unsigned(lambda: abi_version),
        FEATURE_VERSION_SLOT: unsigned(lambda: feature_version),
        BYTE_ORDER_SLOT: signed(lambda: byte_order),
    }
    table = (ctypes.c_void_p * 400)()
    for slot, function in functions.items():
        table[slot] = ctypes.cast(function, ctypes.c_void_p)
    _kept.append((table, functions))
    return table


def capsule(table, name=None):
    return _new_capsule(ctypes.addressof(table), name, None)


def install(**attributes):
    """Makes the fake the module that "numpy.core.multiarray" imports."""
    module = types.ModuleType("numpy.core.multiarray")
    for name, value in attributes.items():
        setattr(module, name, value)
    sys.modules["numpy.core.multiarray"] = module
