// NumPy's C API as every file of the module sees it. NumPy reaches its
// functions through one table pointer per extension module; module.cpp owns
// that pointer (it fills it at import) and the other files define
// NO_IMPORT_ARRAY before including this header, so that they refer to the
// same pointer instead of each getting an empty copy of their own.
#ifndef QUORVEL_BINDING_NUMPY_API_H
#define QUORVEL_BINDING_NUMPY_API_H

#include <Python.h>

#define PY_ARRAY_UNIQUE_SYMBOL qv_numpy_api
#include <numpy/arrayobject.h>

#endif
