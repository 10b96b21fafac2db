// The binding runtime's process-wide type registry. Every extension module of
// the process built on the same runtime (version 4) links a record into one
// circular list, published as the capsule "type_pointer_capsule" of the module
// "swig_runtime_data4", and reads the other modules' records through it. The
// layouts below are therefore shared with code we do not control: field order
// and types must stay exactly as they are.
#ifndef QUORVEL_BINDING_REGISTRY_H
#define QUORVEL_BINDING_REGISTRY_H

#include <Python.h>
#include <cstddef>

struct QvTypeEntry;
struct QvCastRecord;

// One registered type, e.g. "_p_char" described as "char *".
struct QvTypeEntry {
    const char *name; // mangled name; each module's table is sorted by it
    const char *str;  // human-readable name, alternatives separated by '|'
    QvTypeEntry *(*dynamic_cast_function)(void **);
    QvCastRecord *cast; // the types convertible into this one, itself included
    void *clientdata;   // language data; its first field is a Python class
    int owndata;        // whether this entry owns its client data
};

// One "this type converts into that type" link.
struct QvCastRecord {
    QvTypeEntry *type;
    void *(*converter)(void *, int *); // null for a plain equivalence
    QvCastRecord *next;
    QvCastRecord *prev;
};

// One module on the circular list.
struct QvModuleRecord {
    QvTypeEntry **types; // sorted by mangled name, closed by a null entry
    std::size_t size;
    QvModuleRecord *next;
    QvTypeEntry **type_initial;
    QvCastRecord **cast_initial;
    void *clientdata;
};

// Creates the registry or links this module's record into an existing one,
// and registers the module's type "_p_char" on the first call. Never fails:
// a registry that cannot be had is skipped, and no exception is left set.
void qv_join_registry();

// The registered type of that mangled name, or else of that human-readable
// name, from any module on the list; null when none has it.
QvTypeEntry *qv_type_query(const char *name);

// The cast record of `type` that stands for the type named `from_name`, or
// null when `from_name` does not convert into `type`.
QvCastRecord *qv_find_cast(const char *from_name, QvTypeEntry *type);

// The interned string "this", the attribute through which a proxy object
// leads to its wrapped pointer; null with an exception set on failure.
PyObject *qv_this_attribute_name();

#endif
