// The binding runtime's type registry: this module's record, its one type
// entry, and the steps that create or join the process-wide list.
#include "registry.h"

#include <cstring>

// The layouts are read by peers through the capsule: pin them down so that a
// change to the structs cannot go unnoticed.
static_assert(offsetof(QvTypeEntry, cast) == 3 * sizeof(void *),
              "type entry layout of the runtime changed");
static_assert(offsetof(QvTypeEntry, owndata) == 5 * sizeof(void *),
              "type entry layout of the runtime changed");
static_assert(sizeof(QvCastRecord) == 4 * sizeof(void *),
              "cast record layout of the runtime changed");
static_assert(offsetof(QvModuleRecord, clientdata) == 5 * sizeof(void *),
              "module record layout of the runtime changed");

static const char qv_registry_module_name[] = "swig_runtime_data4";
static const char qv_capsule_attribute[] = "type_pointer_capsule";
static const char qv_capsule_name[] = "swig_runtime_data4.type_pointer_capsule";

// The module's one type, a plain character pointer; only the string
// conversion's fallback for wrapped pointers looks it up.
static QvTypeEntry qv_char_pointer_entry = {"_p_char", "char *", nullptr,
                                            nullptr,   nullptr,  0};
// Each type lists itself among the types that convert into it.
static QvCastRecord qv_char_pointer_casts[] = {
    {&qv_char_pointer_entry, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr}};
static QvTypeEntry *qv_type_initial[] = {&qv_char_pointer_entry};
static QvCastRecord *qv_cast_initial[] = {qv_char_pointer_casts};
// The entries in use, filled at the first initialisation: our own, or the
// entry of the same name that a module registered before us.
static QvTypeEntry *qv_types[] = {nullptr, nullptr};
// Lives as long as the process, since the list and the capsule point to it.
static QvModuleRecord qv_module = {qv_types, 1,       nullptr,
                                   nullptr,  nullptr, nullptr};

// Where type look-ups start: the record that the capsule points to, or our
// own record when no registry could be had.
static QvModuleRecord *qv_registry_head = nullptr;
static PyObject *qv_this_name = nullptr;

PyObject *qv_this_attribute_name() {
    if (!qv_this_name) {
        qv_this_name = PyUnicode_InternFromString("this");
    }
    return qv_this_name;
}

// Runs when the registry module is torn down, at interpreter exit. Only the
// first record's entries are looked at, as the module that made the capsule
// is the one responsible for it. The client data record itself is not freed:
// whoever owns it allocated it, and the process is ending.
static void qv_destroy_registry(PyObject *capsule) {
    auto *module = static_cast<QvModuleRecord *>(
        PyCapsule_GetPointer(capsule, qv_capsule_name));
    if (module && module->types) {
        for (std::size_t i = 0; i < module->size; ++i) {
            QvTypeEntry *entry = module->types[i];
            if (entry && entry->owndata && entry->clientdata) {
                Py_CLEAR(*static_cast<PyObject **>(entry->clientdata));
                entry->clientdata = nullptr;
                entry->owndata = 0;
            }
        }
    }
    Py_CLEAR(qv_this_name);
}

static QvTypeEntry *qv_bisect(const QvModuleRecord *module, const char *name) {
    if (!module->types) {
        return nullptr;
    }
    std::size_t low = 0;
    std::size_t high = module->size;
    while (low < high) {
        const std::size_t middle = low + (high - low) / 2;
        QvTypeEntry *entry = module->types[middle];
        // A module that is still registering has holes in its table.
        if (!entry || !entry->name) {
            return nullptr;
        }
        const int order = std::strcmp(name, entry->name);
        if (order == 0) {
            return entry;
        }
        if (order < 0) {
            high = middle;
        } else {
            low = middle + 1;
        }
    }
    return nullptr;
}

// Searches the modules from `start` along the list up to, not including,
// `end`; with end == start the whole circle.
static QvTypeEntry *qv_query_mangled(QvModuleRecord *start, QvModuleRecord *end,
                                     const char *name) {
    QvModuleRecord *module = start;
    do {
        if (QvTypeEntry *entry = qv_bisect(module, name)) {
            return entry;
        }
        module = module->next;
    } while (module && module != end);
    return nullptr;
}

// Compares two names with blanks ignored, as "char*" and "char *" name the
// same type.
static bool qv_same_name(const char *a, const char *a_end, const char *b,
                         const char *b_end) {
    for (;;) {
        while (a != a_end && *a == ' ') {
            ++a;
        }
        while (b != b_end && *b == ' ') {
            ++b;
        }
        if (a == a_end || b == b_end) {
            return a == a_end && b == b_end;
        }
        if (*a != *b) {
            return false;
        }
        ++a;
        ++b;
    }
}

// Whether one of the '|'-separated alternatives of `str` is `name`.
static bool qv_describes(const char *str, const char *name) {
    const char *name_end = name + std::strlen(name);
    for (const char *alternative = str;;) {
        const char *bar = std::strchr(alternative, '|');
        const char *end = bar ? bar : alternative + std::strlen(alternative);
        if (qv_same_name(alternative, end, name, name_end)) {
            return true;
        }
        if (!bar) {
            return false;
        }
        alternative = bar + 1;
    }
}

QvTypeEntry *qv_type_query(const char *name) {
    QvModuleRecord *head = qv_registry_head ? qv_registry_head : &qv_module;
    if (QvTypeEntry *entry = qv_query_mangled(head, head, name)) {
        return entry;
    }
    QvModuleRecord *module = head;
    do {
        for (std::size_t i = 0; module->types && i < module->size; ++i) {
            QvTypeEntry *entry = module->types[i];
            if (entry && entry->str && qv_describes(entry->str, name)) {
                return entry;
            }
        }
        module = module->next;
    } while (module && module != head);
    return nullptr;
}

QvCastRecord *qv_find_cast(const char *from_name, QvTypeEntry *type) {
    for (QvCastRecord *cast = type->cast; cast; cast = cast->next) {
        if (cast->type && std::strcmp(cast->type->name, from_name) == 0) {
            return cast;
        }
    }
    return nullptr;
}

static QvModuleRecord *qv_find_registry() {
    void *pointer = PyCapsule_Import(qv_capsule_name, 0);
    if (!pointer) {
        PyErr_Clear();
        return nullptr;
    }
    return static_cast<QvModuleRecord *>(pointer);
}

// Publishes our record as the head of a new registry. Failures are silent:
// the module then works with its own record alone.
static void qv_create_registry() {
    PyObject *registry = PyImport_AddModule(qv_registry_module_name);
    PyObject *capsule =
        PyCapsule_New(&qv_module, qv_capsule_name, qv_destroy_registry);
    if (!registry || !capsule) {
        Py_XDECREF(capsule);
        PyErr_Clear();
        return;
    }
    // PyModule_AddObject takes the reference only when it succeeds.
    if (PyModule_AddObject(registry, qv_capsule_attribute, capsule) < 0) {
        Py_DECREF(capsule);
        PyErr_Clear();
    }
}

// Decides, for each of our types, which entry the process uses: the one of a
// module that registered the same mangled name earlier, so that all modules
// agree on one entry per type, or else our own.
static void qv_register_types() {
    for (std::size_t i = 0; i < qv_module.size; ++i) {
        QvTypeEntry *initial = qv_module.type_initial[i];
        QvTypeEntry *entry = initial;
        if (qv_module.next != &qv_module) {
            if (QvTypeEntry *shared = qv_query_mangled(
                    qv_module.next, &qv_module, initial->name)) {
                entry = shared;
            }
        }
        for (QvCastRecord *cast = qv_module.cast_initial[i]; cast->type;
             ++cast) {
            // A shared entry already lists what its owner registered.
            if (entry != initial && qv_find_cast(cast->type->name, entry)) {
                continue;
            }
            if (entry->cast) {
                entry->cast->prev = cast;
                cast->next = entry->cast;
            }
            entry->cast = cast;
        }
        qv_module.types[i] = entry;
    }
    qv_module.types[qv_module.size] = nullptr;
}

void qv_join_registry() {
    // Initialisation runs again after a failed import; the record keeps its
    // place on the list from the first time.
    const bool first_initialisation = qv_module.next == nullptr;
    if (first_initialisation) {
        qv_module.type_initial = qv_type_initial;
        qv_module.cast_initial = qv_cast_initial;
        qv_module.next = &qv_module;
    }

    QvModuleRecord *head = qv_find_registry();
    if (!head) {
        qv_create_registry();
        qv_registry_head = &qv_module;
    } else {
        qv_registry_head = head;
        QvModuleRecord *module = head;
        do {
            if (module == &qv_module) {
                return;
            }
            module = module->next;
        } while (module && module != head);
        qv_module.next = head->next;
        head->next = &qv_module;
    }

    if (first_initialisation) {
        qv_register_types();
    }
}
