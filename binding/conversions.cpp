#include "conversions.h"

#include "registry.h"
#include "wrapped_pointer.h"

#include <cfloat>
#include <cmath>

QvStatus qv_convert(PyObject *object, std::uint32_t *value) {
    // bool is an int subclass, so True and False pass as 1 and 0; NumPy's
    // integer scalars are not int subclasses and fail here.
    if (!PyLong_Check(object)) {
        return QvStatus::type_error;
    }
    const unsigned long converted = PyLong_AsUnsignedLong(object);
    if (PyErr_Occurred()) {
        PyErr_Clear();
        return QvStatus::overflow_error;
    }
    if (converted > UINT32_MAX) {
        return QvStatus::overflow_error;
    }
    *value = static_cast<std::uint32_t>(converted);
    return QvStatus::ok;
}

QvStatus qv_convert(PyObject *object, float *value) {
    double converted = 0.0;
    if (PyFloat_Check(object)) {
        converted = PyFloat_AsDouble(object);
    } else if (PyLong_Check(object)) {
        converted = PyLong_AsDouble(object);
        // An int beyond the double range is a kind failure, not an overflow.
        if (PyErr_Occurred()) {
            PyErr_Clear();
            return QvStatus::type_error;
        }
    } else {
        return QvStatus::type_error;
    }
    // Infinities and NaN are passed on; only finite values out of the float
    // range are refused.
    if (std::isfinite(converted) &&
        (converted < -FLT_MAX || converted > FLT_MAX)) {
        return QvStatus::overflow_error;
    }
    *value = static_cast<float>(converted);
    return QvStatus::ok;
}

// Type entries looked up by name are kept once found. A miss is not kept, so
// a module registering the type later is still seen.
static QvTypeEntry *qv_char_pointer_type = nullptr;
static QvTypeEntry *qv_string_pointer_type = nullptr;

static QvTypeEntry *qv_cached_type(QvTypeEntry **cache, const char *name) {
    if (!*cache) {
        *cache = qv_type_query(name);
    }
    return *cache;
}

QvStatus qv_convert(PyObject *object, std::string *value) {
    if (PyUnicode_Check(object)) {
        Py_ssize_t length = 0;
        const char *utf8 = PyUnicode_AsUTF8AndSize(object, &length);
        // A lone surrogate has no UTF-8 form: a kind failure like any other.
        if (!utf8) {
            PyErr_Clear();
            return QvStatus::type_error;
        }
        // The length is the encoding's, so embedded NULs are kept.
        value->assign(utf8, static_cast<std::size_t>(length));
        return QvStatus::ok;
    }

    // Wrapped pointers made by other modules of the binding runtime. A
    // conversion that succeeds without a value (None, a null pointer) is
    // still a failure for a string argument.
    void *pointer = nullptr;
    if (QvTypeEntry *chars = qv_cached_type(&qv_char_pointer_type, "_p_char")) {
        if (qv_pointer_from_object(object, chars, &pointer)) {
            if (!pointer) {
                return QvStatus::type_error;
            }
            value->assign(static_cast<const char *>(pointer));
            return QvStatus::ok;
        }
    }
    if (QvTypeEntry *strings =
            qv_cached_type(&qv_string_pointer_type, "std::string *")) {
        if (qv_pointer_from_object(object, strings, &pointer)) {
            if (!pointer) {
                return QvStatus::type_error;
            }
            *value = *static_cast<const std::string *>(pointer);
            return QvStatus::ok;
        }
    }
    return QvStatus::generic_error;
}

QvStatus qv_convert(PyObject *object, bool *value) {
    // Only bool itself: 0 and 1 are refused, and so are NumPy's bools.
    if (!PyBool_Check(object)) {
        return QvStatus::generic_error;
    }
    *value = object == Py_True;
    return QvStatus::ok;
}

bool qv_converted(QvStatus status, int number, const char *type_word) {
    PyObject *exception = nullptr;
    switch (status) {
    case QvStatus::ok:
        return true;
    case QvStatus::overflow_error:
        exception = PyExc_OverflowError;
        break;
    case QvStatus::generic_error:
    case QvStatus::type_error:
        exception = PyExc_TypeError;
        break;
    }
    PyErr_Format(exception, "in method 'train', argument %d of type '%s'",
                 number, type_word);
    return false;
}
