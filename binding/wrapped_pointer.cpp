// The runtime's object types and the recognition of wrapped pointers made by
// other modules of the process.
#include "wrapped_pointer.h"

#include "holders.h"

#include <cstdlib>
#include <cstring>

static const char qv_object_doc[] =
    "Swig object carries a C/C++ instance pointer";

static QvWrappedPointer *qv_as_wrapped(PyObject *object) {
    return reinterpret_cast<QvWrappedPointer *>(object);
}

// The pointed-to memory is never freed here: this module makes no wrapped
// pointers and so knows no destructor for what one might own.
static void qv_wrapped_pointer_dealloc(PyObject *self) {
    Py_CLEAR(qv_as_wrapped(self)->next);
    Py_TYPE(self)->tp_free(self);
}

static PyObject *qv_wrapped_pointer_disown(PyObject *self, PyObject *) {
    qv_as_wrapped(self)->own = 0;
    Py_RETURN_NONE;
}

static PyObject *qv_wrapped_pointer_acquire(PyObject *self, PyObject *) {
    qv_as_wrapped(self)->own = 1;
    Py_RETURN_NONE;
}

// own() reports the ownership flag; own(value) also sets it.
static PyObject *qv_wrapped_pointer_own(PyObject *self, PyObject *args) {
    PyObject *value = nullptr;
    if (!PyArg_UnpackTuple(args, "own", 0, 1, &value)) {
        return nullptr;
    }
    QvReference previous(PyBool_FromLong(qv_as_wrapped(self)->own));
    if (value) {
        const int truth = PyObject_IsTrue(value);
        if (truth < 0) {
            return nullptr;
        }
        qv_as_wrapped(self)->own = truth;
    }
    return previous.release();
}

// Links another wrapped pointer right after this one.
static PyObject *qv_wrapped_pointer_append(PyObject *self, PyObject *next) {
    if (!qv_is_wrapped_pointer(next)) {
        PyErr_SetString(PyExc_TypeError,
                        "Attempt to append a non SwigPyObject");
        return nullptr;
    }
    PyObject *rest = qv_as_wrapped(self)->next;
    PyObject *replaced = qv_as_wrapped(next)->next;
    Py_INCREF(next);
    qv_as_wrapped(next)->next = rest;
    qv_as_wrapped(self)->next = next;
    Py_XDECREF(replaced);
    Py_RETURN_NONE;
}

static PyObject *qv_wrapped_pointer_next(PyObject *self, PyObject *) {
    PyObject *next = qv_as_wrapped(self)->next;
    if (!next) {
        Py_RETURN_NONE;
    }
    Py_INCREF(next);
    return next;
}

// The last of the '|'-separated alternatives of the readable name.
static const char *qv_pretty_name(const QvTypeEntry *type) {
    if (!type) {
        return "unknown";
    }
    if (!type->str) {
        return type->name;
    }
    const char *bar = std::strrchr(type->str, '|');
    return bar ? bar + 1 : type->str;
}

static PyObject *qv_wrapped_pointer_repr(PyObject *self) {
    return PyUnicode_FromFormat("<Swig Object of type '%s' at %p>",
                                qv_pretty_name(qv_as_wrapped(self)->type),
                                static_cast<void *>(self));
}

static PyObject *qv_wrapped_pointer_int(PyObject *self) {
    return PyLong_FromVoidPtr(qv_as_wrapped(self)->ptr);
}

// Two wrapped pointers are equal when they wrap the same address.
static PyObject *qv_wrapped_pointer_richcompare(PyObject *self, PyObject *other,
                                                int op) {
    if ((op != Py_EQ && op != Py_NE) || !qv_is_wrapped_pointer(other)) {
        Py_RETURN_NOTIMPLEMENTED;
    }
    const bool same = qv_as_wrapped(self)->ptr == qv_as_wrapped(other)->ptr;
    return PyBool_FromLong(op == Py_EQ ? same : !same);
}

static PyMethodDef qv_wrapped_pointer_methods[] = {
    {"disown", qv_wrapped_pointer_disown, METH_NOARGS, nullptr},
    {"acquire", qv_wrapped_pointer_acquire, METH_NOARGS, nullptr},
    {"own", qv_wrapped_pointer_own, METH_VARARGS, nullptr},
    {"append", qv_wrapped_pointer_append, METH_O, nullptr},
    {"next", qv_wrapped_pointer_next, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr}};

// Both types are static types, filled in and readied on first use. A heap
// type (PyType_FromSpec) would need a dotted name such as
// "_quorvel_wrap.SwigPyObject" to avoid a deprecation warning, while other
// modules of the runtime recognise these objects by the plain name. Static
// storage starts zeroed, so only the slots we use are set; the reference count
// of one keeps the type from ever being deallocated.
static PyTypeObject qv_wrapped_pointer_type_object;
static PyNumberMethods qv_wrapped_pointer_number;
static bool qv_wrapped_pointer_ready = false;

static PyTypeObject *qv_wrapped_pointer_type() {
    PyTypeObject *type = &qv_wrapped_pointer_type_object;
    if (!qv_wrapped_pointer_ready) {
        Py_SET_REFCNT(type, 1);
        type->tp_name = "SwigPyObject";
        type->tp_basicsize = sizeof(QvWrappedPointer);
        type->tp_dealloc = qv_wrapped_pointer_dealloc;
        type->tp_repr = qv_wrapped_pointer_repr;
        qv_wrapped_pointer_number.nb_int = qv_wrapped_pointer_int;
        type->tp_as_number = &qv_wrapped_pointer_number;
        // Only C code makes these objects, so Python may not call the type.
        type->tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION;
        type->tp_doc = qv_object_doc;
        type->tp_richcompare = qv_wrapped_pointer_richcompare;
        type->tp_methods = qv_wrapped_pointer_methods;
        if (PyType_Ready(type) < 0) {
            return nullptr;
        }
        qv_wrapped_pointer_ready = true;
    }
    return type;
}

static void qv_packed_data_dealloc(PyObject *self) {
    std::free(reinterpret_cast<QvPackedData *>(self)->pack);
    Py_TYPE(self)->tp_free(self);
}

static PyTypeObject qv_packed_data_type_object;
static bool qv_packed_data_ready = false;

PyTypeObject *qv_packed_data_type() {
    PyTypeObject *type = &qv_packed_data_type_object;
    if (!qv_packed_data_ready) {
        Py_SET_REFCNT(type, 1);
        type->tp_name = "SwigPyPacked";
        type->tp_basicsize = sizeof(QvPackedData);
        type->tp_dealloc = qv_packed_data_dealloc;
        type->tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION;
        type->tp_doc = qv_object_doc;
        if (PyType_Ready(type) < 0) {
            return nullptr;
        }
        qv_packed_data_ready = true;
    }
    return type;
}

bool qv_is_wrapped_pointer(PyObject *object) {
    PyTypeObject *own_type = qv_wrapped_pointer_type();
    if (!own_type) {
        // The name test below still recognises every module's objects.
        PyErr_Clear();
    } else if (PyObject_TypeCheck(object, own_type)) {
        return true;
    }
    // Each module of the runtime has its own copy of the type: a static type
    // made in C, with the layout above. Python code can give a class the
    // same name, but such a class is a heap type whose instances lack the
    // layout, and reading one as a wrapped pointer would follow whatever
    // lies past its end.
    PyTypeObject *type = Py_TYPE(object);
    return !PyType_HasFeature(type, Py_TPFLAGS_HEAPTYPE) &&
           type->tp_basicsize >=
               static_cast<Py_ssize_t>(sizeof(QvWrappedPointer)) &&
           std::strcmp(type->tp_name, "SwigPyObject") == 0;
}

// A new reference to the wrapped pointer that the object is or leads to
// through "this" attributes, or null with no exception set. The walk is
// bounded because an object may lead back to itself.
static PyObject *qv_find_wrapped_pointer(PyObject *object) {
    PyObject *this_name = qv_this_attribute_name();
    if (!this_name) {
        PyErr_Clear();
        return nullptr;
    }
    Py_INCREF(object);
    QvReference current(object);
    for (int step = Py_GetRecursionLimit(); step >= 0; --step) {
        if (qv_is_wrapped_pointer(current.get())) {
            return current.release();
        }
        PyObject *next = PyObject_GetAttr(current.get(), this_name);
        if (!next) {
            PyErr_Clear();
            return nullptr;
        }
        current.reset(next);
    }
    return nullptr;
}

bool qv_pointer_from_object(PyObject *object, QvTypeEntry *type,
                            void **pointer) {
    if (object == Py_None) {
        *pointer = nullptr;
        return true;
    }
    // Holding the head keeps the whole chain alive while it is walked.
    QvReference head(qv_find_wrapped_pointer(object));
    PyObject *link = head.get();
    for (int step = Py_GetRecursionLimit(); link && step >= 0; --step) {
        QvWrappedPointer *wrapped = qv_as_wrapped(link);
        if (wrapped->type == type) {
            *pointer = wrapped->ptr;
            return true;
        }
        QvCastRecord *cast =
            wrapped->type ? qv_find_cast(wrapped->type->name, type) : nullptr;
        if (cast) {
            // Our types have no converters that allocate, so the flag that
            // reports new memory is not needed.
            int new_memory = 0;
            *pointer = cast->converter
                           ? cast->converter(wrapped->ptr, &new_memory)
                           : wrapped->ptr;
            return true;
        }
        link = wrapped->next;
    }
    return false;
}
