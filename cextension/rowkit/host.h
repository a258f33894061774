// What rowkit takes from the host package: its modules, imported on first
// use and cached for the main interpreter, the classes and functions it
// looks up in them by name, and the "O"-format call its hooks expect.
#ifndef TESSEL_ROWKIT_HOST_H
#define TESSEL_ROWKIT_HOST_H

#include "row.h"

namespace {

// Host package modules: imported on first use, then kept for the main
// interpreter's lifetime.  Any other interpreter has modules of its own, made
// and destroyed with it, and asks its sys.modules each time.

PyObject *result_module_cache = nullptr;
PyObject *row_module_cache = nullptr;

// Everything rowkit takes from the host package by name.
struct HostName {
    PyObject **module_cache;
    const char *module;
    const char *attribute;
};

constexpr HostName kHostMetadataClass{&result_module_cache, "tessel.engine.result", "ResultMetaData"};
constexpr HostName kHostRowClass{&row_module_cache, "tessel.engine.row", "Row"};
constexpr HostName kHostReconstructor{&row_module_cache, "tessel.engine.row", "rowproxy_reconstructor"};

PyInterpreterState *main_interpreter = nullptr;  // set when the module is made, before any row exists

// Borrowed reference to the cached module (never released: it lives as long
// as the main interpreter, and is forgotten with it), or null with the
// import's error; a failed import leaves the cache empty.  Two threads may
// both import; the first to publish wins and the other drops its reference
// (sys.modules hands both the same module anyway).  Main interpreter only.
PyObject *host_module(const HostName &name) noexcept
{
    assert(PyInterpreterState_Get() == main_interpreter);
    PyObject **cache = name.module_cache;
    PyObject *module = load_acquire(cache);
    if (module != nullptr) {
        return module;
    }
    PyObject *imported = PyImport_ImportModule(name.module);
    if (imported == nullptr) {
        return nullptr;
    }
    PyObject *expected = nullptr;
    if (tessel::shared::compare_exchange(cache, expected, imported)) {
        return imported;
    }
    Py_DECREF(imported);
    return expected;
}

// New reference to the host's attribute, looked up afresh each time (the
// host may rebind it), or null with an error.
PyObject *host_attribute(const HostName &name) noexcept
{
    assert(main_interpreter != nullptr);
    if (PyInterpreterState_Get() != main_interpreter) {
        Ref own(PyImport_ImportModule(name.module));
        return own ? PyObject_GetAttrString(own.get(), name.attribute) : nullptr;
    }
    PyObject *module = host_module(name);  // borrowed, kept while the interpreter lives
    if (module == nullptr) {
        return nullptr;
    }
    return PyObject_GetAttrString(module, name.attribute);
}

// obj.method(arg) through the "O" call format, which hands a tuple argument
// (or a tuple subclass) over as its items, one argument each.  The host's
// hooks and methods are called that way, and hosts rely on it.
PyObject *call_method_spreading_tuple(PyObject *obj, const char *method, PyObject *arg)
{
    return PyObject_CallMethod(obj, method, "O", arg);
}

}  // namespace

#endif  // TESSEL_ROWKIT_HOST_H
