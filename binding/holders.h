// Scope-bound ownership of Python references for the binding.
#ifndef QUORVEL_BINDING_HOLDERS_H
#define QUORVEL_BINDING_HOLDERS_H

#include <Python.h>

// Owns one strong reference and releases it when the scope ends, whether by a
// return, an early failure or a C++ exception passing through, so that no way
// out of a function leaks the object. Not copyable: two holders of one
// reference would release it twice.
class QvReference {
  public:
    QvReference() = default;
    explicit QvReference(PyObject *object) : object_(object) {}
    ~QvReference() { Py_XDECREF(object_); }
    QvReference(const QvReference &) = delete;
    QvReference &operator=(const QvReference &) = delete;

    PyObject *get() const { return object_; }

    // Takes over a new reference, releasing the one held before.
    void reset(PyObject *object) {
        PyObject *previous = object_;
        object_ = object;
        Py_XDECREF(previous);
    }

    // Hands the reference to the caller, e.g. as a function's result.
    PyObject *release() {
        PyObject *object = object_;
        object_ = nullptr;
        return object;
    }

  private:
    PyObject *object_ = nullptr;
};

#endif
