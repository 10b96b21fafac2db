// _quorvel_peer: a minimal peer module of the binding runtime (version 4),
// written from the published record layout independently of the binding's
// own declarations, so that a layout slip on either side shows up in tests.
//
// It registers three types, "_p_char" (char *), "_p_int" (int *) and
// "_p_std__string" (std::string *), creating the registry when it comes
// first and sharing a type entry that an earlier module registered, and it
// makes wrapped pointer objects ("SwigPyObject") of those types.
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

struct CastRecord;

struct TypeEntry {
    const char *name;
    const char *str;
    TypeEntry *(*dcast)(void **);
    CastRecord *cast;
    void *clientdata;
    int owndata;
};

struct CastRecord {
    TypeEntry *type;
    void *(*converter)(void *, int *);
    CastRecord *next;
    CastRecord *prev;
};

struct ModuleRecord {
    TypeEntry **types;
    size_t size;
    ModuleRecord *next;
    TypeEntry **type_initial;
    CastRecord **cast_initial;
    void *clientdata;
};

struct WrappedPointer {
    PyObject ob_base;
    void *ptr;
    TypeEntry *type;
    int own;
    PyObject *next;
};

enum class Kind { chars = 0, ints = 1, string = 2 };

TypeEntry peer_chars = {"_p_char", "char *", nullptr, nullptr, nullptr, 0};
TypeEntry peer_ints = {"_p_int", "int *", nullptr, nullptr, nullptr, 0};
TypeEntry peer_string = {"_p_std__string", "std::string *", nullptr,
                         nullptr,          nullptr,         0};
// One cast table per type, each closed by an empty record.
CastRecord peer_casts[3][2] = {{{&peer_chars, nullptr, nullptr, nullptr}, {}},
                               {{&peer_ints, nullptr, nullptr, nullptr}, {}},
                               {{&peer_string, nullptr, nullptr, nullptr}, {}}};
CastRecord *peer_cast_initial[3] = {peer_casts[0], peer_casts[1],
                                    peer_casts[2]};
TypeEntry *peer_initial[3] = {&peer_chars, &peer_ints, &peer_string};
TypeEntry *peer_types[4] = {nullptr, nullptr, nullptr, nullptr};
ModuleRecord peer_module = {peer_types, 3, nullptr, nullptr, nullptr, nullptr};

const char capsule_name[] = "swig_runtime_data4.type_pointer_capsule";

TypeEntry *find_elsewhere(const char *name) {
    for (ModuleRecord *m = peer_module.next; m != &peer_module; m = m->next) {
        for (size_t i = 0; i < m->size; ++i) {
            if (m->types[i] && std::strcmp(m->types[i]->name, name) == 0) {
                return m->types[i];
            }
        }
    }
    return nullptr;
}

void join_registry() {
    peer_module.type_initial = peer_initial;
    peer_module.cast_initial = peer_cast_initial;
    peer_module.next = &peer_module;
    auto *head = static_cast<ModuleRecord *>(PyCapsule_Import(capsule_name, 0));
    if (!head) {
        PyErr_Clear();
        PyObject *registry = PyImport_AddModule("swig_runtime_data4");
        PyObject *capsule = PyCapsule_New(&peer_module, capsule_name, nullptr);
        if (registry && capsule &&
            PyModule_AddObject(registry, "type_pointer_capsule", capsule) ==
                0) {
            capsule = nullptr;
        }
        Py_XDECREF(capsule);
        PyErr_Clear();
    } else {
        peer_module.next = head->next;
        head->next = &peer_module;
    }
    for (size_t i = 0; i < 3; ++i) {
        TypeEntry *entry = find_elsewhere(peer_initial[i]->name);
        if (!entry) {
            entry = peer_initial[i];
            peer_casts[i][0].next = entry->cast;
            entry->cast = &peer_casts[i][0];
        }
        peer_types[i] = entry;
    }
}

void wrapped_dealloc(PyObject *self) {
    auto *wrapped = reinterpret_cast<WrappedPointer *>(self);
    if (wrapped->own) {
        if (wrapped->type == peer_types[static_cast<int>(Kind::string)]) {
            delete static_cast<std::string *>(wrapped->ptr);
        } else {
            std::free(wrapped->ptr);
        }
    }
    Py_XDECREF(wrapped->next);
    Py_TYPE(self)->tp_free(self);
}

// A static type, so that its name can be the plain "SwigPyObject" by which
// modules of the runtime recognise each other's objects.
PyTypeObject wrapped_type_object;
PyTypeObject *wrapped_type = &wrapped_type_object;

int ready_wrapped_type() {
    Py_SET_REFCNT(wrapped_type, 1);
    wrapped_type->tp_name = "SwigPyObject";
    wrapped_type->tp_basicsize = sizeof(WrappedPointer);
    wrapped_type->tp_dealloc = wrapped_dealloc;
    wrapped_type->tp_flags =
        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION;
    return PyType_Ready(wrapped_type);
}

PyObject *make_wrapped(void *ptr, Kind kind) {
    auto *wrapped = reinterpret_cast<WrappedPointer *>(
        wrapped_type->tp_alloc(wrapped_type, 0));
    if (!wrapped) {
        return nullptr;
    }
    wrapped->ptr = ptr;
    wrapped->type = peer_types[static_cast<int>(kind)];
    wrapped->own = 1;
    wrapped->next = nullptr;
    return reinterpret_cast<PyObject *>(wrapped);
}

// wrap_chars(bytes or None): a char * to a NUL-terminated copy of the bytes
// (which may hold NULs of their own), or a null char *.
PyObject *wrap_chars(PyObject *, PyObject *value) {
    if (value == Py_None) {
        return make_wrapped(nullptr, Kind::chars);
    }
    char *buffer = nullptr;
    Py_ssize_t length = 0;
    if (PyBytes_AsStringAndSize(value, &buffer, &length) < 0) {
        return nullptr;
    }
    auto *copy = static_cast<char *>(std::malloc(length + 1));
    std::memcpy(copy, buffer, length + 1);
    return make_wrapped(copy, Kind::chars);
}

// wrap_int(): an int * pointer, a type that converts to no string.
PyObject *wrap_int(PyObject *, PyObject *) {
    return make_wrapped(std::calloc(1, sizeof(int)), Kind::ints);
}

// wrap_string(str): a std::string * holding the UTF-8 of the text.
PyObject *wrap_string(PyObject *, PyObject *value) {
    Py_ssize_t length = 0;
    const char *utf8 = PyUnicode_AsUTF8AndSize(value, &length);
    if (!utf8) {
        return nullptr;
    }
    return make_wrapped(new std::string(utf8, length), Kind::string);
}

// chain(first, second): links second after first and returns first.
PyObject *chain(PyObject *, PyObject *args) {
    PyObject *first = nullptr;
    PyObject *second = nullptr;
    if (!PyArg_ParseTuple(args, "O!O!", wrapped_type, &first, wrapped_type,
                          &second)) {
        return nullptr;
    }
    Py_INCREF(second);
    Py_XSETREF(reinterpret_cast<WrappedPointer *>(first)->next, second);
    Py_INCREF(first);
    return first;
}

PyMethodDef peer_methods[] = {{"wrap_chars", wrap_chars, METH_O, nullptr},
                              {"wrap_int", wrap_int, METH_NOARGS, nullptr},
                              {"wrap_string", wrap_string, METH_O, nullptr},
                              {"chain", chain, METH_VARARGS, nullptr},
                              {nullptr, nullptr, 0, nullptr}};

PyModuleDef peer_definition = {PyModuleDef_HEAD_INIT,
                               "_quorvel_peer",
                               nullptr,
                               -1,
                               peer_methods,
                               nullptr,
                               nullptr,
                               nullptr,
                               nullptr};

} // namespace

PyMODINIT_FUNC PyInit__quorvel_peer(void) {
    PyObject *module = PyModule_Create(&peer_definition);
    if (!module) {
        return nullptr;
    }
    if (ready_wrapped_type() < 0) {
        Py_DECREF(module);
        return nullptr;
    }
    join_registry();
    return module;
}
