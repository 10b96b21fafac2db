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

// One conversion per kind of argument, chosen by the type of the result.
// Each leaves no exception set; on failure the result is not written.
QvStatus qv_convert(PyObject *object, std::uint32_t *value);
QvStatus qv_convert(PyObject *object, float *value);
QvStatus qv_convert(PyObject *object, std::string *value);
QvStatus qv_convert(PyObject *object, bool *value);

// The type word that each kind's failure messages carry.
constexpr const char *qv_type_word(const std::uint32_t *) {
    return "unsigned int";
}
constexpr const char *qv_type_word(const float *) { return "float"; }
constexpr const char *qv_type_word(const std::string *) {
    return "std::string";
}
constexpr const char *qv_type_word(const bool *) { return "bool"; }

// Returns true for ok; otherwise sets the exception that the status stands
// for, with the message "in method 'train', argument <number> of type
// '<type_word>'", and returns false.
bool qv_converted(QvStatus status, int number, const char *type_word);

#endif
