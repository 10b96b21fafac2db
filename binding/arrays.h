// The rules by which train turns its array arguments into raw pointers.
#ifndef QUORVEL_BINDING_ARRAYS_H
#define QUORVEL_BINDING_ARRAYS_H

#include "holders.h"
#include "numpy_api.h"

// Element counts a run may need: a product of three 32-bit sizes, wider than
// any 64-bit integer, so that the length checks cannot overflow.
using QvElementCount = unsigned __int128;

// The input array as the engine reads it: the caller's own array when it can
// be used as it is (borrowed), or a new array that `owner` releases.
struct QvInputArray {
    PyArrayObject *array = nullptr;
    QvReference owner;
};

// Any object NumPy can turn into a contiguous array of native byte order of
// that element type, converting or copying when needed. Returns false with
// NumPy's exception set when it cannot.
bool qv_acquire_input_array(PyObject *object, int type_number,
                            QvInputArray *input);

// An in-place array, which the engine writes into the caller's memory, so
// nothing is converted: the object itself when it is a NumPy array of that
// element type (borrowed), one-dimensional, contiguous, of native byte order
// and writeable; otherwise null with a TypeError set.
PyArrayObject *qv_acquire_inplace_array(PyObject *object, int type_number);

// Checks of one rule each; false with a TypeError set when it fails.
bool qv_check_one_dimension(PyArrayObject *array);
bool qv_check_contiguous(PyArrayObject *array);
bool qv_check_native_byte_order(PyArrayObject *array);
bool qv_check_writeable(PyArrayObject *array);

// The array holds at least `required` elements, a count that may exceed
// every array size; otherwise false with a ValueError that names the array.
bool qv_check_length(PyArrayObject *array, const char *name,
                     QvElementCount required);

// The names that the messages use for an element type and for an object that
// is not an array.
const char *qv_element_type_name(int type_number);
const char *qv_python_kind_name(PyObject *object);

#endif
