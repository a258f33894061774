// Small reference-owning helpers shared (as source, not state) by our modules,
// and the few calls they all make the same way.
//
// Rules this header keeps: no exceptions, no RTTI, nothing with a static
// constructor or destructor.  A Ref owns exactly one strong reference or
// nothing; borrowed references stay plain PyObject* and are named as such.
#ifndef TESSEL_PYREF_H
#define TESSEL_PYREF_H

#include "portable.h"

#include <utility>

namespace tessel {

// Owner of one new reference (or of nothing).  Move-only.
class Ref {
public:
    constexpr Ref() noexcept = default;
    // Takes over a new reference (null allowed: it then owns nothing).
    explicit constexpr Ref(PyObject *steal) noexcept : obj_(steal) {}
    Ref(const Ref &) = delete;
    Ref &operator=(const Ref &) = delete;
    Ref(Ref &&other) noexcept : obj_(other.release()) {}
    Ref &operator=(Ref &&other) noexcept
    {
        Py_XSETREF(obj_, other.release());
        return *this;
    }
    ~Ref() { Py_XDECREF(obj_); }

    // Takes a new reference to `obj` (null allowed) and owns it: what
    // Py_XNewRef does, for a pointer that something else owns.
    static Ref newref(PyObject *obj) noexcept { return Ref(Py_XNewRef(obj)); }

    PyObject *get() const noexcept { return obj_; }
    explicit operator bool() const noexcept { return obj_ != nullptr; }

    // Hands the reference to the caller (who now owns it).
    [[nodiscard]] PyObject *release() noexcept { return std::exchange(obj_, nullptr); }

    // Replaces what is held by a new reference, dropping the old one.
    void reset(PyObject *steal = nullptr) noexcept { Py_XSETREF(obj_, steal); }

private:
    PyObject *obj_ = nullptr;
};

// Method-table entries want PyCFunction; going through void(*)(void) keeps
// -Wcast-function-type quiet for the other calling conventions.
template <typename F>
inline PyCFunction as_cfunction(F *fn) noexcept
{
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(fn));
}

// callable(arg) as a new reference.  An immutable class that makes its
// instances in __new__ alone (the plain metaclass, object's __init__), such
// as Decimal, is called through its __new__ directly: what the metaclass's
// call does for it, without the call machinery on the way, and since the
// class is immutable neither slot can change under us.
inline PyObject *call_one_arg(PyObject *callable, PyObject *arg) noexcept
{
    if (PyType_Check(callable) && Py_TYPE(callable)->tp_call == PyType_Type.tp_call) {
        PyTypeObject *type = reinterpret_cast<PyTypeObject *>(callable);
        if (PyType_HasFeature(type, Py_TPFLAGS_IMMUTABLETYPE) && type->tp_init == PyBaseObject_Type.tp_init &&
            type->tp_new != nullptr && type != &PyType_Type) {
            PyObject *args = PyTuple_Pack(1, arg);
            if (args == nullptr) {
                return nullptr;
            }
            PyObject *result = type->tp_new(type, args, nullptr);
            Py_DECREF(args);
            return result;
        }
    }
    return PyObject_CallOneArg(callable, arg);
}

// Raises the TypeError PyArg_UnpackTuple raises, in its words, for a call of
// `name` with `nargs` positional arguments where it takes min to max: the
// fast-call entries report what a tuple-based call would.
TESSEL_NOINLINE inline void raise_argument_count(const char *name, Py_ssize_t nargs, Py_ssize_t min,
                                                 Py_ssize_t max) noexcept
{
    assert(0 <= min && min <= max && (nargs < min || nargs > max));
    const bool few = nargs < min;
    const Py_ssize_t bound = few ? min : max;
    PyErr_Format(PyExc_TypeError, "%.200s expected %s%zd argument%s, got %zd", name,
                 min == max ? "" : (few ? "at least " : "at most "), bound, bound == 1 ? "" : "s", nargs);
}

// Adds a type to its module under `name`; unlike PyModule_AddObject it never
// leaves a reference behind on failure, and the caller fails the import.
inline int add_type(PyObject *module, const char *name, PyTypeObject *type) noexcept
{
    return PyModule_AddObjectRef(module, name, reinterpret_cast<PyObject *>(type));
}

}  // namespace tessel

#endif  // TESSEL_PYREF_H
