"""Reads the binding runtime's type registry through its capsule with ctypes,
in the published record layout (version 4), independently of the module's
own declarations: a type entry is (name, str, dynamic cast function, cast
list, client data, owns client data); a cast record is (type, converter,
next, prev); a module record is (types, size, next, initial types, initial
cast tables, client data)."""

import ctypes
import sys


class CastRecord(ctypes.Structure):
    pass


class TypeEntry(ctypes.Structure):
    _fields_ = [
        ("name", ctypes.c_char_p),
        ("str", ctypes.c_char_p),
        ("dynamic_cast", ctypes.c_void_p),
        ("cast", ctypes.POINTER(CastRecord)),
        ("clientdata", ctypes.c_void_p),
        ("owndata", ctypes.c_int),
    ]


CastRecord._fields_ = [
    ("type", ctypes.POINTER(TypeEntry)),
    ("converter", ctypes.c_void_p),
    ("next", ctypes.POINTER(CastRecord)),
    ("prev", ctypes.POINTER(CastRecord)),
]


class ModuleRecord(ctypes.Structure):
    pass


ModuleRecord._fields_ = [
    ("types", ctypes.POINTER(ctypes.POINTER(TypeEntry))),
    ("size", ctypes.c_size_t),
    ("next", ctypes.POINTER(ModuleRecord)),
    ("type_initial", ctypes.POINTER(ctypes.POINTER(TypeEntry))),
    ("cast_initial", ctypes.POINTER(ctypes.POINTER(CastRecord))),
    ("clientdata", ctypes.c_void_p),
]

CAPSULE_NAME = b"swig_runtime_data4.type_pointer_capsule"

_get_pointer = ctypes.pythonapi.PyCapsule_GetPointer
_get_pointer.restype = ctypes.c_void_p
_get_pointer.argtypes = [ctypes.py_object, ctypes.c_char_p]


def address(pointer):
    return ctypes.cast(pointer, ctypes.c_void_p).value


def describe_entry(entry_pointer):
    entry = entry_pointer.contents
    casts = []
    cast = entry.cast
    while cast:
        casts.append({
            "type": address(cast.contents.type),
            "type_name": cast.contents.type.contents.name.decode(),
            "converter": cast.contents.converter,
        })  # fmt: skip
        cast = cast.contents.next
    return {
        "address": address(entry_pointer),
        "name": entry.name.decode(),
        "str": entry.str.decode(),
        "dynamic_cast": entry.dynamic_cast,
        "clientdata": entry.clientdata,
        "owndata": entry.owndata,
        "casts": casts,
    }


def describe_module(record_pointer):
    record = record_pointer.contents
    types = [describe_entry(record.types[i]) for i in range(record.size)]
    return {
        "address": address(record_pointer),
        "size": record.size,
        "next": address(record.next),
        "types": types,
        # The type table is closed by a null entry.
        "types_closed": not record.types[record.size],
        "initial": [describe_entry(record.type_initial[i])
                    for i in range(record.size)],  # fmt: skip
        "first_cast_type": [
            address(record.cast_initial[i][0].type) for i in range(record.size)
        ] if record.cast_initial else None,
        "clientdata": record.clientdata,
    }


def walk():
    """The module records from the head (the capsule's pointer) around the
    circular list, each described as plain data."""
    capsule = sys.modules["swig_runtime_data4"].type_pointer_capsule
    head = ctypes.cast(_get_pointer(capsule, CAPSULE_NAME),
                       ctypes.POINTER(ModuleRecord))  # fmt: skip
    records = [describe_module(head)]
    pointer = head.contents.next
    while address(pointer) != records[0]["address"]:
        assert len(records) < 100, "the list does not come back to its head"
        records.append(describe_module(pointer))
        pointer = pointer.contents.next
    return records
