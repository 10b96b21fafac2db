// Conversions of train's scalar and string arguments to the engine's types.
#ifndef QUORVEL_BINDING_CONVERSIONS_H
#define QUORVEL_BINDING_CONVERSIONS_H

#include <Python.h>
#include <cstdint>
#include <string>

// A conversion's outcome, with the runtime's error codes: the generic failure
// is reported like a type error.
enum class QvStatus : int {
    ok = 0,
    generic_error = -1,
    type_error = -5,
    overflow_error = -7,
};

// Each leaves no exception set; on failure the output is not written.
QvStatus qv_as_unsigned_int(PyObject *object, std::uint32_t *value);
QvStatus qv_as_float(PyObject *object, float *value);
QvStatus qv_as_string(PyObject *object, std::string *value);
QvStatus qv_as_bool(PyObject *object, bool *value);

// Returns true for ok; otherwise sets the exception that the status stands
// for, with the message "in method 'train', argument <number> of type
// '<type_word>'", and returns false.
bool qv_converted(QvStatus status, int number, const char *type_word);

#endif
