// tessel.mapkit: immutabledict, a read-only mapping over a private dict.
//
// The private dict is an exact dict that only we hold (apart from what
// __reduce__ hands to pickle); every read goes straight to it and every
// "change" builds a new instance.
#include "pyref.h"
#include "restart.h"

using tessel::Ref;

namespace {

struct ImmutableDictObject {
    PyObject_HEAD
    PyObject *dict;  // exact dict, owned; set once when the instance is made, never replaced
};

extern PyTypeObject ImmutableDictType;

// The private dict (borrowed) of `self`, which must be an immutabledict.
inline PyObject *private_dict(PyObject *self) noexcept
{
    assert(Py_IS_TYPE(self, &ImmutableDictType));
    PyObject *dict = reinterpret_cast<ImmutableDictObject *>(self)->dict;
    assert(dict != nullptr && PyDict_CheckExact(dict));
    return dict;
}

}  // namespace

// Exported for native callers; also our length slot.  The caller passes an
// immutabledict: the type is not checked.
extern "C" TESSEL_EXPORT Py_ssize_t ImmutableDict_length(PyObject *self)
{
    return PyDict_Size(private_dict(self));
}

namespace {

// Instances released lately, kept for reuse where the GIL guards them: a
// merge then allocates what {**a, **b} does, whose dicts come from a free
// list too.  None are kept on the free-threaded build.
template <int Capacity>
struct FreeList {
    ImmutableDictObject *items[Capacity] = {};
    int count = 0;  // items[0 .. count) are kept, 0 <= count <= Capacity

    ImmutableDictObject *take() noexcept
    {
        assert(0 <= count && count <= Capacity);
        return count > 0 ? items[--count] : nullptr;
    }

    bool keep(ImmutableDictObject *released) noexcept
    {
        assert(0 <= count && count <= Capacity);
        if (count == Capacity) {
            return false;
        }
        items[count++] = released;
        return true;
    }
};

// Keeps nothing, and has nothing a compiler could call unused.
template <>
struct FreeList<0> {
    static ImmutableDictObject *take() noexcept { return nullptr; }
    static bool keep(ImmutableDictObject *) noexcept { return false; }
};

constinit FreeList<tessel::compat::kFreeThreadedBuild ? 0 : 16> free_list;

// Wraps a dict we already own in a new instance; the dict is consumed either way.
PyObject *immutabledict_wrap(PyObject *steal_dict) noexcept
{
    Ref dict(steal_dict);
    ImmutableDictObject *self = free_list.take();
    if (self != nullptr) {
        PyObject_Init(reinterpret_cast<PyObject *>(self), &ImmutableDictType);  // a fresh reference count
    }
    else {
        self = PyObject_GC_New(ImmutableDictObject, &ImmutableDictType);
        if (self == nullptr) {
            return nullptr;
        }
    }
    assert(dict && PyDict_CheckExact(dict.get()));
    self->dict = dict.release();  // the one store to the field while the instance lives
    PyObject_GC_Track(self);
    return reinterpret_cast<PyObject *>(self);
}

// A new dict holding a copy of `src` (an exact dict).  PyDict_Copy clones the
// table in one step where it can, as PyDict_Update into an empty dict would.
PyObject *copy_exact_dict(PyObject *src) noexcept
{
    assert(PyDict_CheckExact(src));
    return PyDict_Copy(src);
}

// The dict (borrowed) whose items `arg` stands for, when it can be read
// directly instead of through dict(arg, **keywords): an exact dict, whose
// keywords are ignored (callers rely on that), or, when keywords() says none
// come with it, an immutabledict's private dict.  The dict type would read an
// immutabledict through its keys() and subscript and find the same items in
// the same order: the type can't be subclassed, so nothing overrides those.
// Null for any other argument.  keywords() is asked only for an
// immutabledict, so an exact dict's path tests nothing else.
template <typename HasKeywords>
inline PyObject *dict_behind(PyObject *arg, HasKeywords keywords) noexcept
{
    if (PyDict_CheckExact(arg)) {
        return arg;
    }
    if (Py_IS_TYPE(arg, &ImmutableDictType) && !keywords()) {
        return private_dict(arg);
    }
    return nullptr;
}

inline bool has_keywords(PyObject *kwnames) noexcept
{
    return kwnames != nullptr && PyTuple_GET_SIZE(kwnames) != 0;
}

// dict(*args, **kwargs) from a fast call's arguments: the dict type's own rules.
PyObject *dict_from_call(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) noexcept
{
    return PyObject_Vectorcall(reinterpret_cast<PyObject *>(&PyDict_Type), args, static_cast<size_t>(nargs), kwnames);
}

PyObject *immutabledict_new(PyTypeObject *, PyObject *args, PyObject *kwargs)
{
    PyObject *arg = nullptr;  // borrowed from args
    if (!PyArg_UnpackTuple(args, "ImmutableDict", 0, 1, &arg)) {
        return nullptr;
    }
    PyObject *known = arg != nullptr
                          ? dict_behind(arg, [kwargs] { return kwargs != nullptr && PyDict_GET_SIZE(kwargs) != 0; })
                          : nullptr;
    Ref dict(known != nullptr ? copy_exact_dict(known)
                              : PyObject_Call(reinterpret_cast<PyObject *>(&PyDict_Type), args, kwargs));
    if (!dict) {
        return nullptr;
    }
    return immutabledict_wrap(dict.release());
}

// immutabledict(...) without building an argument tuple and keyword dict;
// the same rules as immutabledict_new.
PyObject *immutabledict_vectorcall(PyObject *, PyObject *const *args, size_t nargsf, PyObject *kwnames)
{
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (nargs > 1) {
        tessel::raise_argument_count("ImmutableDict", nargs, 0, 1);
        return nullptr;
    }
    PyObject *known = nargs == 1 ? dict_behind(args[0], [kwnames] { return has_keywords(kwnames); }) : nullptr;
    Ref dict(known != nullptr ? copy_exact_dict(known) : dict_from_call(args, nargs, kwnames));
    if (!dict) {
        return nullptr;
    }
    return immutabledict_wrap(dict.release());
}

void immutabledict_dealloc(PyObject *self)
{
    PyObject_GC_UnTrack(self);
    Py_CLEAR(reinterpret_cast<ImmutableDictObject *>(self)->dict);
    if (!free_list.keep(reinterpret_cast<ImmutableDictObject *>(self))) {
        PyObject_GC_Del(self);
    }
}

int immutabledict_traverse(PyObject *self, visitproc visit, void *arg)
{
    Py_VISIT(private_dict(self));
    return 0;
}

PyObject *immutabledict_repr(PyObject *self)
{
    return PyUnicode_FromFormat("immutabledict(%R)", private_dict(self));
}

PyObject *immutabledict_subscript(PyObject *self, PyObject *key)
{
    PyObject *value;
    int found = PyDict_GetItemRef(private_dict(self), key, &value);
    if (found == 0) {
        // As dict does: the key itself is the single argument, whatever its type.
        Ref exc_args(PyTuple_Pack(1, key));
        if (exc_args) {
            PyErr_SetObject(PyExc_KeyError, exc_args.get());
        }
        return nullptr;
    }
    return value;  // new reference, or null with the lookup's error
}

PyObject *immutabledict_richcompare(PyObject *self, PyObject *other, int op)
{
    return PyObject_RichCompare(private_dict(self), other, op);
}

PyObject *immutabledict_iter(PyObject *self)
{
    return PyObject_GetIter(private_dict(self));
}

PyObject *immutabledict_union(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames)
{
    if (nargs > 1) {
        tessel::raise_argument_count("ImmutableDict", nargs, 0, 1);
        return nullptr;
    }
    // Held: only read, never stored, but the update below may run Python code.
    Ref source = Ref::newref(nargs == 1 ? dict_behind(args[0], [kwnames] { return has_keywords(kwnames); }) : nullptr);
    if (!source) {
        source.reset(dict_from_call(args, nargs, kwnames));
        if (!source) {
            return nullptr;
        }
    }
    if (PyDict_GET_SIZE(source.get()) == 0) {
        return Py_NewRef(self);
    }
    Ref merged(copy_exact_dict(private_dict(self)));
    if (!merged || PyDict_Update(merged.get(), source.get()) < 0) {
        return nullptr;
    }
    return immutabledict_wrap(merged.release());
}

PyObject *immutabledict_merge_with(PyObject *self, PyObject *const *args, Py_ssize_t nargs)
{
    Ref accumulator;  // made at the first argument that contributes
    for (Py_ssize_t i = 0; i < nargs; i++) {
        PyObject *arg = args[i];  // borrowed from the caller
        if (arg == Py_None) {
            continue;
        }
        if (PyDict_CheckExact(arg)) {
            if (PyDict_GET_SIZE(arg) == 0) {
                continue;
            }
        }
        // Any other argument merges even when empty, so a new instance comes
        // back: callers rely on that.
        Ref other = Ref::newref(dict_behind(arg, [] { return false; }));
        if (!other) {
            other.reset(PyObject_CallOneArg(reinterpret_cast<PyObject *>(&PyDict_Type), arg));
            if (!other) {
                return nullptr;
            }
        }
        if (!accumulator) {
            accumulator.reset(copy_exact_dict(private_dict(self)));
            if (!accumulator) {
                return nullptr;
            }
        }
        if (PyDict_Update(accumulator.get(), other.get()) < 0) {
            return nullptr;
        }
    }
    if (!accumulator) {
        return Py_NewRef(self);
    }
    return immutabledict_wrap(accumulator.release());
}

PyObject *immutabledict_keys(PyObject *self, PyObject *)
{
    return PyDict_Keys(private_dict(self));
}

PyObject *immutabledict_items(PyObject *self, PyObject *)
{
    return PyDict_Items(private_dict(self));
}

PyObject *immutabledict_values(PyObject *self, PyObject *)
{
    return PyDict_Values(private_dict(self));
}

PyObject *immutabledict_contains(PyObject *self, PyObject *key)
{
    int found = PyDict_Contains(private_dict(self), key);
    if (found < 0) {
        return nullptr;
    }
    return PyBool_FromLong(found);
}

PyObject *immutabledict_get(PyObject *self, PyObject *const *args, Py_ssize_t nargs)
{
    if (nargs < 1 || nargs > 2) {
        tessel::raise_argument_count("key", nargs, 1, 2);
        return nullptr;
    }
    PyObject *value;
    int found = PyDict_GetItemRef(private_dict(self), args[0], &value);
    if (found == 0) {
        return Py_NewRef(nargs == 2 ? args[1] : Py_None);
    }
    return value;  // new reference, or null with the lookup's error
}

PyObject *immutabledict_reduce(PyObject *self, PyObject *)
{
    // The private dict itself goes into the pickle form; unpickling copies it.
    return Py_BuildValue("O(O)", Py_TYPE(self), private_dict(self));
}

PyMethodDef immutabledict_methods[] = {
    {"union", tessel::as_cfunction(immutabledict_union), METH_FASTCALL | METH_KEYWORDS,
     "provide a union of this dictionary with the given dictionary-like arguments"},
    {"merge_with", tessel::as_cfunction(immutabledict_merge_with), METH_FASTCALL,
     "provide a union of this dictionary with those given"},
    {"keys", immutabledict_keys, METH_NOARGS, "return dictionary keys"},
    {"__contains__", immutabledict_contains, METH_O, "test a member for containment"},
    {"items", immutabledict_items, METH_NOARGS, "return dictionary items"},
    {"values", immutabledict_values, METH_NOARGS, "return dictionary values"},
    {"get", tessel::as_cfunction(immutabledict_get), METH_FASTCALL, "get a value"},
    {"__reduce__", immutabledict_reduce, METH_NOARGS, "Pickle support method."},
    {nullptr, nullptr, 0, nullptr},
};

PyMappingMethods immutabledict_as_mapping = {
    .mp_length = ImmutableDict_length,
    .mp_subscript = immutabledict_subscript,
    .mp_ass_subscript = nullptr,
};

PyTypeObject ImmutableDictType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "tessel.mapkit.immutabledict",
    .tp_basicsize = sizeof(ImmutableDictObject),
    .tp_itemsize = 0,
    .tp_dealloc = immutabledict_dealloc,
    .tp_repr = immutabledict_repr,
    .tp_as_mapping = &immutabledict_as_mapping,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    .tp_doc = "immutable dictionary",
    .tp_traverse = immutabledict_traverse,
    .tp_richcompare = immutabledict_richcompare,
    .tp_iter = immutabledict_iter,
    .tp_methods = immutabledict_methods,
    .tp_new = immutabledict_new,
    .tp_vectorcall = immutabledict_vectorcall,
};

PyModuleDef mapkit_module = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "mapkit",
    .m_doc = "immutable dictionary implementation",
    .m_size = -1,
};

}  // namespace

namespace {

tessel::StaticTypes<1> mapkit_types{{&ImmutableDictType}, {}, false, false};

// The end of the interpreter the types were readied for (restart.h).
void forget_interpreter()
{
    tessel::restore_types(mapkit_types);
    free_list = {};  // its instances were the ended interpreter's memory
}

}  // namespace

PyMODINIT_FUNC PyInit_mapkit(void)
{
    if (tessel::ready_types(mapkit_types, forget_interpreter) < 0) {
        return nullptr;
    }
    Ref module(PyModule_Create2(&mapkit_module, PYTHON_API_VERSION));
    if (!module || tessel::compat::declare_gil_use(module.get()) < 0 ||
        tessel::add_type(module.get(), "immutabledict", &ImmutableDictType) < 0) {
        return nullptr;
    }
    return module.release();
}
