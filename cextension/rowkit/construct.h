// Building rows: the values (through the column processors), filling a
// fresh row, __init__, the vectorcall fast path, __init_subclass__, and
// dealloc/traverse.
#ifndef TESSEL_ROWKIT_CONSTRUCT_H
#define TESSEL_ROWKIT_CONSTRUCT_H

#include "host.h"

namespace {

// Item i of a list, tuple or other sequence as a new reference.  Processors
// run Python code while a row is built and may change a list we are reading,
// so items are taken with their own reference and bounds-checked each time.
PyObject *item_ref(PyObject *seq, Py_ssize_t i) noexcept
{
    if (PyTuple_Check(seq)) {
        return Py_XNewRef(PyTuple_GetItem(seq, i));
    }
    if (PyList_Check(seq)) {
        return PyList_GetItemRef(seq, i);
    }
    return PySequence_GetItem(seq, i);
}

// What the collector asks of a tuple's item before it stops tracking the
// tuple: an object outside the collector, or a tuple it no longer tracks.
inline bool may_be_tracked(PyObject *item) noexcept
{
    if (!PyType_IS_GC(Py_TYPE(item))) {
        return false;
    }
    return !PyTuple_CheckExact(item) || PyObject_GC_IsTracked(item);
}

PyObject *processed_values(PyObject *processors, PyObject *fast, Py_ssize_t n) noexcept;

// The stored values for a raw row: a tuple, processed where a processor is given.
PyObject *build_values(PyObject *processors, PyObject *raw) noexcept
{
    // An exact tuple is its own fast sequence.
    Ref fast(PyTuple_CheckExact(raw) ? Py_NewRef(raw) : PySequence_Fast(raw, "row must be a sequence"));
    if (!fast) {
        return nullptr;
    }
    if (processors == Py_None) {
        if (PyTuple_CheckExact(fast.get())) {
            return fast.release();  // immutable: share it rather than copy it
        }
        return PyList_AsTuple(fast.get());
    }
    Py_ssize_t n = PySequence_Fast_GET_SIZE(fast.get());
    Py_ssize_t m = PySequence_Size(processors);
    if (m != n) {
        if (m < 0) {
            PyErr_Clear();
        }
        PyErr_Format(PyExc_RuntimeError, "number of values in row (%zd) differ from number of column processors (%zd)",
                     n, m);
        return nullptr;
    }
    // A processor may build a row whose processors build a row, and so on,
    // without a Python frame in between (a partial of a row class).
    return guarded([&] { return processed_values(processors, fast.get(), n); }, static_cast<PyObject *>(nullptr));
}

// Item i of a sequence for the length of one step: borrowed from an exact
// tuple, which nothing can change while we hold it, or else a new reference
// kept in `owner` (see item_ref).  Null with an error set on failure.
TESSEL_ALWAYS_INLINE PyObject *item_for_step(PyObject *seq, bool exact_tuple, Py_ssize_t i, Ref &owner) noexcept
{
    if (exact_tuple) {
        assert(0 <= i && i < PyTuple_GET_SIZE(seq));
        return PyTuple_GET_ITEM(seq, i);
    }
    owner.reset(item_ref(seq, i));
    return owner.get();
}

// processor(value) as a new reference.  A built-in function or method of one
// argument (convkit's converters and processors' methods, the host's readers)
// is called through its C function, as the interpreter's own call does once
// past its recursion check, which the row build has made already (guarded).
TESSEL_ALWAYS_INLINE PyObject *call_processor(PyObject *processor, PyObject *value) noexcept
{
    if (PyCFunction_CheckExact(processor) && PyCFunction_GET_FLAGS(processor) == METH_O) {
        PyObject *result = PyCFunction_GET_FUNCTION(processor)(PyCFunction_GET_SELF(processor), value);
        // What the interpreter checks of every such call in its debug build.
        assert((result != nullptr) != (PyErr_Occurred() != nullptr));
        return result;
    }
    return PyObject_CallOneArg(processor, value);
}

// The processed values of a fast sequence of n items (n processors).
PyObject *processed_values(PyObject *processors, PyObject *fast, Py_ssize_t n) noexcept
{
    Ref values(PyTuple_New(n));
    if (!values) {
        return nullptr;
    }
    // Hidden from the collector until full, so a processor can't reach the
    // empty slots (the shared empty tuple is never tracked and stays so).
    bool tracked = PyObject_GC_IsTracked(values.get());
    if (tracked) {
        PyObject_GC_UnTrack(values.get());
    }
    const bool tuple_of_processors = PyTuple_CheckExact(processors);
    const bool tuple_of_values = PyTuple_CheckExact(fast);
    bool may_form_cycle = false;
    for (Py_ssize_t i = 0; i < n; i++) {
        Ref value_owner;
        PyObject *value = item_for_step(fast, tuple_of_values, i, value_owner);
        if (value == nullptr) {
            return nullptr;
        }
        Ref processor_owner;
        PyObject *processor = item_for_step(processors, tuple_of_processors, i, processor_owner);
        if (processor == nullptr) {
            return nullptr;
        }
        PyObject *stored = processor == Py_None ? Py_NewRef(value) : call_processor(processor, value);
        if (stored == nullptr) {
            return nullptr;
        }
        may_form_cycle = may_form_cycle || may_be_tracked(stored);
        // Still ours alone and hidden, whatever the processor did.
        assert(Py_REFCNT(values.get()) == 1 && !PyObject_GC_IsTracked(values.get()));
        PyTuple_SET_ITEM(values.get(), i, stored);
    }
    // Values that can't hold references back leave the tuple out of the
    // collector's work, as the collector itself would decide on its next pass.
    if (tracked && may_form_cycle) {
        PyObject_GC_Track(values.get());
    }
    return values.release();
}

// The initialiser's work on already unpacked (borrowed) arguments.  A failure
// leaves in place the fields stored before it.  `unseen`: a row under
// construction, kept from every other thread by the filling rule (row.h).
int baserow_fill(BaseRowObject *self, PyObject *parent, PyObject *processors, PyObject *keymap, PyObject *key_style,
                 PyObject *raw, bool unseen) noexcept
{
    assert(!unseen || (Py_REFCNT(self) == 1 && !PyObject_GC_IsTracked(reinterpret_cast<PyObject *>(self)) &&
                       self->parent == nullptr && self->values == nullptr && self->keymap == nullptr));
    auto store = [self, unseen](PyObject **field, PyObject *steal) {
        if (unseen) {
            assert(*field == nullptr && Py_REFCNT(self) == 1);
            store_release(field, steal);
        }
        else {
            tessel::shared::replace_field(reinterpret_cast<PyObject *>(self), field, steal);
        }
    };
    store(&self->parent, Py_NewRef(parent));
    PyObject *values = build_values(processors, raw);
    if (values == nullptr) {
        return -1;
    }
    store(&self->values, values);
    if (!PyDict_CheckExact(keymap)) {
        PyErr_SetString(PyExc_TypeError, "keymap must be a dict");
        return -1;
    }
    store(&self->keymap, Py_NewRef(keymap));
    long style = as_long(key_style);
    if (style == -1 && PyErr_Occurred()) {
        return -1;
    }
    store_relaxed(&self->key_style, style);
    return 0;
}

int baserow_init(PyObject *self, PyObject *args, PyObject *)
{
    PyObject *parent, *processors, *keymap, *key_style, *raw;  // borrowed from args
    if (!PyArg_UnpackTuple(args, "BaseRow", 5, 5, &parent, &processors, &keymap, &key_style, &raw)) {
        return -1;
    }
    return baserow_fill(as_row(self), parent, processors, keymap, key_style, raw, false);
}

// True when calling this subclass is still what calling BaseRow is: the
// generic allocator, our initialiser and the metaclass's ordinary call.
// Read on every call, since __new__ or __init__ may be assigned at any time.
bool keeps_base_construction(PyTypeObject *type) noexcept
{
    return type->tp_new == PyType_GenericNew && type->tp_init == baserow_init &&
           Py_TYPE(type)->tp_call == PyType_Type.tp_call;
}

// True when an instance of this class is exactly a BaseRow (no slots, dict or
// weak references added) and is allocated the generic way, so allocating it
// needs no zeroed space beyond the fields we fill.
inline bool plain_layout(PyTypeObject *type) noexcept
{
    return type->tp_alloc == PyType_GenericAlloc && type->tp_basicsize == sizeof(BaseRowObject) &&
           type->tp_itemsize == 0 && type->tp_dictoffset == 0 && type->tp_weaklistoffset == 0;
}

// The ordinary route, as the interpreter takes it for a class without a
// vectorcall: an argument tuple and keyword dict for the metaclass's call.
TESSEL_NOINLINE PyObject *construct_through_type_call(PyObject *type, PyObject *const *args, Py_ssize_t nargs,
                                                      PyObject *kwnames)
{
    Ref positional(PyTuple_New(nargs));
    if (!positional) {
        return nullptr;
    }
    for (Py_ssize_t i = 0; i < nargs; i++) {
        PyTuple_SET_ITEM(positional.get(), i, Py_NewRef(args[i]));
    }
    Ref keywords;
    if (kwnames != nullptr && PyTuple_GET_SIZE(kwnames) != 0) {
        keywords.reset(PyDict_New());
        if (!keywords) {
            return nullptr;
        }
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(kwnames); i++) {
            if (PyDict_SetItem(keywords.get(), PyTuple_GET_ITEM(kwnames, i), args[nargs + i]) < 0) {
                return nullptr;
            }
        }
    }
    return Py_TYPE(type)->tp_call(type, positional.get(), keywords.get());
}

// BaseRow(...) through the allocator and the initialiser's own work, for
// everything the fast path below leaves out.  Kept out of line so that path
// stays short.
TESSEL_NOINLINE PyObject *construct_generally(PyTypeObject *cls, PyObject *const *args, Py_ssize_t nargs)
{
    if (nargs != 5) {
        tessel::raise_argument_count("BaseRow", nargs, 5, 5);
        return nullptr;
    }
    Ref self(cls->tp_alloc(cls, 0));  // what PyType_GenericNew does
    if (!self) {
        return nullptr;
    }
    // The generic allocator shows the row to the collector at once; it is
    // hidden again before any Python code runs, and shown once full.  A row
    // that fails stays hidden: it is released here, never seen.
    bool tracked = PyObject_GC_IsTracked(self.get());
    if (tracked) {
        PyObject_GC_UnTrack(self.get());
    }
    if (baserow_fill(as_row(self.get()), args[0], args[1], args[2], args[3], args[4], true) < 0) {
        return nullptr;
    }
    assert(!PyObject_GC_IsTracked(self.get()));
    if (tracked) {
        PyObject_GC_Track(self.get());
    }
    return self.release();
}

// BaseRow(...) without an argument tuple: what type_call would do (generic
// allocation, then the initialiser), keywords ignored likewise.  Subclasses
// get it from __init_subclass__ (a heap type doesn't inherit a vectorcall)
// and keep it only while they keep BaseRow's construction.
PyObject *baserow_vectorcall(PyObject *type, PyObject *const *args, size_t nargsf, PyObject *kwnames)
{
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    PyTypeObject *cls = reinterpret_cast<PyTypeObject *>(type);
    if (cls != &BaseRowType && !keeps_base_construction(cls)) {
        return construct_through_type_call(type, args, nargs, kwnames);
    }
    // The key style may be an int subclass (the host passes an IntEnum
    // member): its value is read as the general path reads it, without
    // calling into Python.
    if (nargs == 5 && PyDict_CheckExact(args[2]) && PyLong_Check(args[3]) &&
        PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject *>(args[3])) && plain_layout(cls)) {
        // The host's rows.  The values come first (processors run Python
        // code); then the row is filled before the collector, the only other
        // way in, is shown it.
        // Py_INCREF rather than Py_NewRef: the compiler inlines only the former here.
        PyObject *values;
        if (args[1] == Py_None && PyTuple_CheckExact(args[4])) {
            values = args[4];
            Py_INCREF(values);
        }
        else {
            values = build_values(args[1], args[4]);
            if (values == nullptr) {
                return nullptr;
            }
        }
        BaseRowObject *self = PyObject_GC_New(BaseRowObject, cls);
        if (self == nullptr) {
            Py_DECREF(values);
            return nullptr;
        }
        Py_INCREF(args[0]);
        Py_INCREF(args[2]);
        self->parent = args[0];
        self->values = values;
        self->keymap = args[2];
        self->key_style = PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject *>(args[3]));
        PyObject_GC_Track(self);
        return reinterpret_cast<PyObject *>(self);
    }
    return construct_generally(cls, args, nargs);
}

// Interned "__getitem__", and what BaseRow's dict holds under it: the
// wrapper of its subscript (borrowed; the type's dict keeps it).
PyObject *getitem_name = nullptr;
PyObject *own_getitem = nullptr;

PyObject *baserow_item(PyObject *self, Py_ssize_t index);

// Gives a new subclass BaseRow's vectorcall and item slot while the class is
// still being made, so no other thread uses it yet; then does what the next
// __init_subclass__ along the MRO does.  Its destructor stays the
// interpreter's, which keeps the class's per-thread reference count.
//
// The item slot: the interpreter fills a subclass's from the __getitem__ it
// inherits, and ours is the wrapper of the subscript, not of the item slot,
// so the subclass would get a generic slot calling row[i], which key style 1
// refuses.  The sequence protocol (reversed(), PySequence_GetItem) reads by
// position in every row, so a subclass that keeps BaseRow's __getitem__
// keeps BaseRow's item slot.  One that defines its own is left the generic
// slot, which calls it.
PyObject *baserow_init_subclass(PyObject *cls, PyObject *args, PyObject *kwargs)
{
    PyTypeObject *type = reinterpret_cast<PyTypeObject *>(cls);
    if (PyType_Check(cls) && PyType_HasFeature(type, Py_TPFLAGS_HEAPTYPE) && PyType_IsSubtype(type, &BaseRowType)) {
        if (type->tp_vectorcall == nullptr) {
            type->tp_vectorcall = baserow_vectorcall;
        }
        // The class's own slot table, never BaseRow's.
        assert(own_getitem != nullptr &&
               type->tp_as_sequence == &reinterpret_cast<PyHeapTypeObject *>(type)->as_sequence);
        if (tessel::compat::type_lookup_for_identity(type, getitem_name) == own_getitem) {
            type->tp_as_sequence->sq_item = baserow_item;
        }
    }
    Ref next(PyObject_CallFunctionObjArgs(reinterpret_cast<PyObject *>(&PySuper_Type),
                                          reinterpret_cast<PyObject *>(&BaseRowType), cls, nullptr));
    if (!next) {
        return nullptr;
    }
    next.reset(PyObject_GetAttrString(next.get(), "__init_subclass__"));
    if (!next) {
        return nullptr;
    }
    return PyObject_Call(next.get(), args, kwargs);
}

void baserow_dealloc(PyObject *self)
{
    PyObject_GC_UnTrack(self);
    // A chain of rows, each the next one's values, is released without
    // recursing once per row (the interpreter does this itself from 3.14 on).
    Py_TRASHCAN_BEGIN(self, baserow_dealloc);
    BaseRowObject *row = as_row(self);
    Py_CLEAR(row->parent);
    Py_CLEAR(row->values);
    Py_CLEAR(row->keymap);
    Py_TYPE(self)->tp_free(self);
    Py_TRASHCAN_END;
}

int baserow_traverse(PyObject *self, visitproc visit, void *arg)
{
    BaseRowObject *row = as_row(self);
    Py_VISIT(row->parent);
    Py_VISIT(row->values);
    Py_VISIT(row->keymap);
    return 0;
}

}  // namespace

#endif  // TESSEL_ROWKIT_CONSTRUCT_H
