// Module initialisation: the method table, the type registry, and the import
// of NumPy's C API. This is the one file that fills NumPy's function table;
// every other file refers to it (NO_IMPORT_ARRAY).
#include "holders.h"
#include "numpy_api.h"
#include "registry.h"
#include "train.h"

static PyObject *qv_instance_method_new(PyObject *, PyObject *function) {
    return PyInstanceMethod_New(function);
}

static PyMethodDef qv_methods[] = {
    {"SWIG_PyInstanceMethod_New", qv_instance_method_new, METH_O, nullptr},
    {"train", qv_train, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr}};

// Single-phase initialisation without per-module state: the NumPy table and
// the registry record are process-wide.
static PyModuleDef qv_module_definition = {PyModuleDef_HEAD_INIT,
                                           "_quorvel_wrap",
                                           nullptr,
                                           -1,
                                           qv_methods,
                                           nullptr,
                                           nullptr,
                                           nullptr,
                                           nullptr};

// NumPy 2 keeps its internals under numpy._core and leaves numpy.core as an
// alias from which "_ARRAY_API" still reads without a deprecation warning; a
// NumPy that dropped the alias is reached under the new name.
static PyObject *qv_import_numpy_module() {
    PyObject *module = PyImport_ImportModule("numpy.core.multiarray");
    if (module) {
        return module;
    }
    PyErr_Clear();
    return PyImport_ImportModule("numpy._core.multiarray");
}

static int qv_fail_numpy_import(PyObject *type, const char *message) {
    qv_numpy_api = nullptr;
    PyErr_SetString(type, message);
    return -1;
}

// Fills NumPy's function table and checks that the running NumPy can serve a
// module built against these headers.
static int qv_import_numpy_api() {
    QvReference numpy(qv_import_numpy_module());
    if (!numpy.get()) {
        return qv_fail_numpy_import(PyExc_ImportError,
                                    "numpy.core.multiarray failed to import");
    }
    QvReference api(PyObject_GetAttrString(numpy.get(), "_ARRAY_API"));
    numpy.reset(nullptr);
    if (!api.get()) {
        return qv_fail_numpy_import(PyExc_AttributeError,
                                    "_ARRAY_API not found");
    }
    if (!PyCapsule_CheckExact(api.get())) {
        return qv_fail_numpy_import(PyExc_RuntimeError,
                                    "_ARRAY_API is not PyCapsule object");
    }
    // NumPy's capsule has no name; asking for none refuses any other.
    qv_numpy_api =
        static_cast<void **>(PyCapsule_GetPointer(api.get(), nullptr));
    api.reset(nullptr);
    if (!qv_numpy_api) {
        return qv_fail_numpy_import(PyExc_RuntimeError,
                                    "_ARRAY_API is NULL pointer");
    }

    // From here on the table can be called through.
    const unsigned int abi_version = PyArray_GetNDArrayCVersion();
    if (abi_version != NPY_ABI_VERSION) {
        qv_numpy_api = nullptr;
        PyErr_Format(PyExc_RuntimeError,
                     "module compiled against ABI version %x but this version "
                     "of numpy is %x",
                     static_cast<int>(NPY_ABI_VERSION),
                     static_cast<int>(abi_version));
        return -1;
    }
    const unsigned int api_version = PyArray_GetNDArrayCFeatureVersion();
    if (api_version < NPY_FEATURE_VERSION) {
        qv_numpy_api = nullptr;
        PyErr_Format(PyExc_RuntimeError,
                     "module compiled against API version %x but this version "
                     "of numpy is %x",
                     static_cast<int>(NPY_FEATURE_VERSION),
                     static_cast<int>(api_version));
        return -1;
    }
    // NumPy's inline accessors choose a struct layout by this version.
    PyArray_RUNTIME_VERSION = static_cast<int>(api_version);

    const int byte_order = PyArray_GetEndianness();
    if (byte_order == NPY_CPU_UNKNOWN_ENDIAN) {
        return qv_fail_numpy_import(PyExc_RuntimeError,
                                    "FATAL: module compiled as unknown endian");
    }
#if NPY_BYTE_ORDER == NPY_BIG_ENDIAN
    if (byte_order != NPY_CPU_BIG) {
        return qv_fail_numpy_import(PyExc_RuntimeError,
                                    "FATAL: module compiled as big endian, but "
                                    "detected different endianness at runtime");
    }
#else
    if (byte_order != NPY_CPU_LITTLE) {
        return qv_fail_numpy_import(
            PyExc_RuntimeError, "FATAL: module compiled as little endian, but "
                                "detected different endianness at runtime");
    }
#endif
    return 0;
}

PyMODINIT_FUNC PyInit__quorvel_wrap(void) {
    // Nothing here throws C++ exceptions: only C API calls and plain stores.
    QvReference module(
        PyModule_Create2(&qv_module_definition, PYTHON_API_VERSION));
    if (!module.get()) {
        return nullptr;
    }
    if (!PyModule_GetDict(module.get())) {
        return nullptr;
    }

    qv_join_registry();

    if (qv_import_numpy_api() < 0) {
        // The cause goes to standard error; the import reports one fixed
        // message whatever the cause was.
        PyErr_Print();
        PyErr_SetString(PyExc_ImportError,
                        "numpy.core.multiarray failed to import");
        return nullptr;
    }
    return module.release();
}
