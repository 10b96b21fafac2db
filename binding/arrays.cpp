// Every file but module.cpp refers to the NumPy table that module.cpp fills.
#define NO_IMPORT_ARRAY
#include "arrays.h"

#include <string>

const char *qv_element_type_name(int type_number) {
    // Positions are NumPy's type numbers; 23 is the half-precision float,
    // which keeps the historical name "char".
    static const char *const names[] = {"bool",
                                        "byte",
                                        "unsigned byte",
                                        "short",
                                        "unsigned short",
                                        "int",
                                        "unsigned int",
                                        "long",
                                        "unsigned long",
                                        "long long",
                                        "unsigned long long",
                                        "float",
                                        "double",
                                        "long double",
                                        "complex float",
                                        "complex double",
                                        "complex long double",
                                        "object",
                                        "string",
                                        "unicode",
                                        "void",
                                        "ntypes",
                                        "notype",
                                        "char"};
    const int count = static_cast<int>(sizeof names / sizeof names[0]);
    if (type_number < 0 || type_number >= count) {
        return "unknown";
    }
    return names[type_number];
}

const char *qv_python_kind_name(PyObject *object) {
    if (!object) {
        return "C NULL value";
    }
    if (object == Py_None) {
        return "Python None";
    }
    if (PyCallable_Check(object)) {
        return "callable";
    }
    if (PyBytes_Check(object)) {
        return "string";
    }
    if (PyLong_Check(object)) {
        return "int";
    }
    if (PyFloat_Check(object)) {
        return "float";
    }
    if (PyDict_Check(object)) {
        return "dict";
    }
    if (PyList_Check(object)) {
        return "list";
    }
    if (PyTuple_Check(object)) {
        return "tuple";
    }
    return "unkown type";
}

static bool qv_has_element_type(PyObject *object, int type_number) {
    return PyArray_Check(object) &&
           PyArray_EquivTypenums(
               PyArray_TYPE(reinterpret_cast<PyArrayObject *>(object)),
               type_number);
}

bool qv_acquire_input_array(PyObject *object, int type_number,
                            QvInputArray *input) {
    PyArrayObject *array = nullptr;
    if (qv_has_element_type(object, type_number)) {
        array = reinterpret_cast<PyArrayObject *>(object);
    } else {
        // NumPy's default requirements: a contiguous, aligned, writeable
        // result, cast only where the cast is safe (float64 is refused).
        PyObject *made =
            PyArray_FromAny(object, PyArray_DescrFromType(type_number), 0, 0,
                            NPY_ARRAY_DEFAULT, nullptr);
        if (!made) {
            return false;
        }
        input->owner.reset(made);
        array = reinterpret_cast<PyArrayObject *>(made);
    }
    // A byte-swapped array would reach the engine as garbage values, so it
    // is copied into native order like a non-contiguous one is made
    // contiguous: the descriptor asked for is always the native one.
    if (!PyArray_IS_C_CONTIGUOUS(array) || !PyArray_ISNOTSWAPPED(array)) {
        PyObject *copy =
            PyArray_FromAny(reinterpret_cast<PyObject *>(array),
                            PyArray_DescrFromType(PyArray_TYPE(array)), 0, 0,
                            NPY_ARRAY_DEFAULT | NPY_ARRAY_ENSUREARRAY, nullptr);
        if (!copy) {
            return false;
        }
        input->owner.reset(copy);
        array = reinterpret_cast<PyArrayObject *>(copy);
    }
    input->array = array;
    return true;
}

PyArrayObject *qv_acquire_inplace_array(PyObject *object, int type_number) {
    const char *wanted = qv_element_type_name(type_number);
    if (qv_has_element_type(object, type_number)) {
        auto *array = reinterpret_cast<PyArrayObject *>(object);
        if (qv_check_one_dimension(array) && qv_check_contiguous(array) &&
            qv_check_native_byte_order(array) && qv_check_writeable(array)) {
            return array;
        }
        return nullptr;
    }
    if (PyArray_Check(object)) {
        PyErr_Format(PyExc_TypeError,
                     "Array of type '%s' required.  Array of type '%s' given",
                     wanted,
                     qv_element_type_name(PyArray_TYPE(
                         reinterpret_cast<PyArrayObject *>(object))));
    } else {
        PyErr_Format(PyExc_TypeError,
                     "Array of type '%s' required.  A '%s' was given", wanted,
                     qv_python_kind_name(object));
    }
    return nullptr;
}

bool qv_check_one_dimension(PyArrayObject *array) {
    if (PyArray_NDIM(array) == 1) {
        return true;
    }
    PyErr_Format(PyExc_TypeError,
                 "Array must have %d dimensions.  Given array has %d "
                 "dimensions",
                 1, PyArray_NDIM(array));
    return false;
}

bool qv_check_contiguous(PyArrayObject *array) {
    if (PyArray_IS_C_CONTIGUOUS(array)) {
        return true;
    }
    PyErr_SetString(PyExc_TypeError,
                    "Array must be contiguous.  A non-contiguous array was "
                    "given");
    return false;
}

bool qv_check_native_byte_order(PyArrayObject *array) {
    if (PyArray_ISNOTSWAPPED(array)) {
        return true;
    }
    PyErr_SetString(PyExc_TypeError,
                    "Array must have native byteorder.  A byte-swapped array "
                    "was given");
    return false;
}

// The engine writes into the in-place arrays; a read-only one (a view of a
// bytes object, a frozen array) must not be written behind NumPy's back.
bool qv_check_writeable(PyArrayObject *array) {
    if (PyArray_ISWRITEABLE(array)) {
        return true;
    }
    PyErr_SetString(PyExc_TypeError,
                    "Array must be writeable.  A read-only array was given");
    return false;
}

static std::string qv_decimal(QvElementCount value) {
    std::string digits;
    do {
        digits.insert(digits.begin(), static_cast<char>('0' + value % 10));
        value /= 10;
    } while (value != 0);
    return digits;
}

bool qv_check_length(PyArrayObject *array, const char *name,
                     QvElementCount required) {
    const npy_intp length = PyArray_SIZE(array);
    if (static_cast<QvElementCount>(length) >= required) {
        return true;
    }
    PyErr_Format(PyExc_ValueError,
                 "Array '%s' must have at least %s elements.  Given array has "
                 "%zd elements",
                 name, qv_decimal(required).c_str(),
                 static_cast<Py_ssize_t>(length));
    return false;
}
