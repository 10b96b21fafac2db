// The binding runtime's two object types: "SwigPyObject", a native pointer
// with its registered type, and "SwigPyPacked", a copy of raw bytes with its
// type. This module creates neither; it only recognises wrapped pointers that
// other modules of the runtime made, in the fallback of its string conversion.
#ifndef QUORVEL_BINDING_WRAPPED_POINTER_H
#define QUORVEL_BINDING_WRAPPED_POINTER_H

#include "registry.h"

#include <Python.h>
#include <cstddef>

// Layout shared with every module of the runtime: each has its own copy of
// the type, so objects are recognised by layout and type name, not by type.
struct QvWrappedPointer {
    PyObject ob_base;
    void *ptr;
    QvTypeEntry *type;
    int own;
    PyObject *next; // the next wrapped pointer of a chain, or null
};

struct QvPackedData {
    PyObject ob_base;
    void *pack; // owned copy of the bytes
    QvTypeEntry *type;
    std::size_t size;
};

// Whether the object is a wrapped pointer: of our type, or of a C type named
// "SwigPyObject". Readies our type on first use; leaves no exception set.
bool qv_is_wrapped_pointer(PyObject *object);

// The pointer of `type` that the object carries, itself or through its "this"
// attribute or along its chain. None carries a null pointer. Returns false,
// with no exception set, when the object carries no such pointer.
bool qv_pointer_from_object(PyObject *object, QvTypeEntry *type,
                            void **pointer);

// The packed-data type, readied on first use; null with an exception set on
// failure. No code path of this module makes packed objects.
PyTypeObject *qv_packed_data_type();

#endif
