// tuplegetter: picks several items out of a row (through its own key
// lookup), a tuple or any other subscriptable object at once.
#ifndef TESSEL_ROWKIT_TUPLEGETTER_H
#define TESSEL_ROWKIT_TUPLEGETTER_H

#include "attributes.h"

namespace {

// Set once by tp_new and never changed: item_count == len(items).
struct TupleGetterObject {
    PyObject_HEAD
    Py_ssize_t item_count;
    PyObject *items;  // the constructor's own positional-argument tuple, owned
    vectorcallfunc vectorcall;
    bool positions_only;  // every item a non-negative int: our lookup of one runs no Python code
};

extern PyTypeObject TupleGetterType;

// True when every item is a non-negative int of one digit.
inline bool only_positions(PyObject *items) noexcept
{
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(items); i++) {
        PyObject *item = PyTuple_GET_ITEM(items, i);  // borrowed from items
        if (!PyLong_CheckExact(item) || !PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject *>(item)) ||
            PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject *>(item)) < 0) {
            return false;
        }
    }
    return true;
}

inline TupleGetterObject *as_getter(PyObject *self) noexcept
{
    TupleGetterObject *getter = reinterpret_cast<TupleGetterObject *>(self);
    assert(getter->items == nullptr || (getter->item_count == PyTuple_GET_SIZE(getter->items) &&
                                        getter->positions_only == only_positions(getter->items)));
    return getter;
}

// Interned "_get_by_key_impl_mapping", and BaseRow's own descriptor for it
// (borrowed from the type's dict, which holds it until the interpreter ends;
// both are forgotten then, with everything else cached for that interpreter).
PyObject *mapping_method_name = nullptr;
PyObject *own_mapping_method = nullptr;

void tuplegetter_dealloc(PyObject *self)
{
    PyObject_GC_UnTrack(self);
    Py_CLEAR(as_getter(self)->items);
    PyObject_GC_Del(self);
}

int tuplegetter_traverse(PyObject *self, visitproc visit, void *arg)
{
    Py_VISIT(as_getter(self)->items);
    return 0;
}

// True when calling X._get_by_key_impl_mapping(key) is sure to be our own
// subscript: a BaseRow whose type neither overrides the method nor changes
// attribute lookup, and that has no instance dict that could shadow it.
bool uses_own_mapping_lookup(PyObject *operand) noexcept
{
    PyTypeObject *type = Py_TYPE(operand);
    if (type == &BaseRowType) {
        return true;
    }
    return PyType_IsSubtype(type, &BaseRowType) && type->tp_getattro == baserow_getattro && type->tp_dictoffset == 0 &&
           !PyType_HasFeature(type, Py_TPFLAGS_MANAGED_DICT) &&
           tessel::compat::type_lookup_for_identity(type, mapping_method_name) == own_mapping_method;
}

// One item through the row's mapping lookup, as PyObject_CallMethod(X,
// "_get_by_key_impl_mapping", "O", item) would do it: a tuple item arrives as
// its elements, so only a one-element tuple makes a valid call.
PyObject *fetch_from_row(PyObject *operand, PyObject *item)
{
    if (PyTuple_Check(item)) {
        if (PyTuple_GET_SIZE(item) != 1) {
            // Let the method report the argument count in its own words.
            return call_method_spreading_tuple(operand, "_get_by_key_impl_mapping", item);
        }
        item = PyTuple_GET_ITEM(item, 0);  // borrowed from the items tuple
    }
    return baserow_subscript(operand, item);
}

// Result tuples are kept from the collector while they have empty slots, so
// Python code run by a lookup (an item's __index__, a key's __eq__, a hook)
// can't reach one through gc.get_referrers.  The shared empty tuple is never
// tracked and stays so.
inline void hide(PyObject *tuple) noexcept
{
    if (PyTuple_GET_SIZE(tuple) != 0) {
        PyObject_GC_UnTrack(tuple);
    }
}

inline PyObject *show(PyObject *tuple) noexcept
{
    assert(!PyObject_GC_IsTracked(tuple));
    if (PyTuple_GET_SIZE(tuple) != 0) {
        PyObject_GC_Track(tuple);
    }
    return tuple;
}

// The items of an exact tuple operand; small non-negative int items are read
// in place (no Python code runs), anything else is an ordinary subscript,
// before which the result is hidden.
PyObject *fetch_from_tuple(TupleGetterObject *self, PyObject *operand)
{
    Py_ssize_t count = self->item_count;
    Ref result(PyTuple_New(count));
    if (!result) {
        return nullptr;
    }
    bool hidden = false;
    for (Py_ssize_t i = 0; i < count; i++) {
        PyObject *item = PyTuple_GET_ITEM(self->items, i);  // borrowed from items
        if (PyLong_CheckExact(item) && PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject *>(item))) {
            Py_ssize_t index = PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject *>(item));
            if (index >= 0 && index < PyTuple_GET_SIZE(operand)) {
                PyTuple_SET_ITEM(result.get(), i, Py_NewRef(PyTuple_GET_ITEM(operand, index)));
                continue;
            }
        }
        if (!hidden) {
            hide(result.get());
            hidden = true;
        }
        PyObject *value = PyObject_GetItem(operand, item);
        if (value == nullptr) {
            return nullptr;
        }
        PyTuple_SET_ITEM(result.get(), i, value);
    }
    return hidden ? show(result.release()) : result.release();
}

PyObject *tuplegetter_fetch(TupleGetterObject *self, PyObject *operand)
{
    if (PyTuple_CheckExact(operand)) {
        // A tuple has no lookup method and can't be given one: subscript it.
        return fetch_from_tuple(self, operand);
    }
    // The method is looked up again for every item: a lookup may run Python
    // code (a hook, a key's __eq__) that changes the row's class or the class
    // itself.  Our own lookup is decided once and decided again only when
    // either has changed; the class's version is read before the probe, so a
    // change during it renews the version too.  A class without a version
    // (0) is probed again for every item.
    PyTypeObject *probed_type = Py_TYPE(operand);
    std::uint32_t probed_version = tessel::shared::type_version(probed_type);
    bool own_lookup = uses_own_mapping_lookup(operand);
    bool has_method = own_lookup;
    if (!own_lookup) {
        // An error while testing counts as "no such method", quietly: the
        // operand is then subscripted like any other.
        int found = PyObject_HasAttrWithError(operand, mapping_method_name);
        if (found < 0) {
            PyErr_Clear();
        }
        has_method = found > 0;
    }
    Py_ssize_t count = self->item_count;
    Ref result(PyTuple_New(count));
    if (!result) {
        return nullptr;
    }
    hide(result.get());
    Py_ssize_t i = 0;
    // Items through our own lookup, while the row's class and its version stay.
    // Positions alone can't change either, so their getters skip the test.
    for (; own_lookup && i < count; i++) {
        if (i > 0 && !self->positions_only &&
            (Py_TYPE(operand) != probed_type || probed_version == 0 ||
             tessel::shared::type_version(probed_type) != probed_version)) [[unlikely]] {
            probed_type = Py_TYPE(operand);
            probed_version = tessel::shared::type_version(probed_type);
            // Still a row (a class assigned to it keeps its layout), so the
            // method is still there, if no longer ours: called by name below.
            assert(PyType_IsSubtype(Py_TYPE(operand), &BaseRowType));
            if (!uses_own_mapping_lookup(operand)) {
                break;
            }
        }
        PyObject *value = fetch_from_row(operand, PyTuple_GET_ITEM(self->items, i));  // item borrowed from items
        if (value == nullptr) {
            return nullptr;
        }
        PyTuple_SET_ITEM(result.get(), i, value);
    }
    for (; i < count; i++) {
        PyObject *item = PyTuple_GET_ITEM(self->items, i);  // borrowed from items
        PyObject *value = has_method ? call_method_spreading_tuple(operand, "_get_by_key_impl_mapping", item)
                                     : PyObject_GetItem(operand, item);
        if (value == nullptr) {
            return nullptr;
        }
        PyTuple_SET_ITEM(result.get(), i, value);
    }
    return show(result.release());
}

PyObject *tuplegetter_vectorcall(PyObject *self, PyObject *const *args, size_t nargsf, PyObject *)
{
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (nargs < 1) {
        tessel::raise_argument_count("tuplegetter", nargs, 1, 1);  // more are ignored
        return nullptr;
    }
    return tuplegetter_fetch(as_getter(self), args[0]);
}

PyObject *tuplegetter_new(PyTypeObject *type, PyObject *args, PyObject *kwds)
{
    if (kwds != nullptr) {
        if (!PyDict_CheckExact(kwds)) {
            PyErr_BadInternalCall();
            return nullptr;
        }
        if (PyDict_GET_SIZE(kwds) != 0) {
            PyErr_Format(PyExc_TypeError, "%.200s() takes no keyword arguments", "tuplegetter");
            return nullptr;
        }
    }
    TupleGetterObject *self = PyObject_GC_New(TupleGetterObject, type);
    if (self == nullptr) {
        return nullptr;
    }
    self->item_count = PyTuple_GET_SIZE(args);
    self->items = Py_NewRef(args);
    self->vectorcall = tuplegetter_vectorcall;
    self->positions_only = only_positions(args);
    PyObject_GC_Track(self);
    return reinterpret_cast<PyObject *>(self);
}

PyObject *tuplegetter_repr(PyObject *self)
{
    const char *type_name = Py_TYPE(self)->tp_name;
    int entered = Py_ReprEnter(self);
    if (entered != 0) {
        return entered > 0 ? PyUnicode_FromFormat("%s(...)", type_name) : nullptr;
    }
    TupleGetterObject *getter = as_getter(self);
    PyObject *text = PyUnicode_FromFormat(getter->item_count == 1 ? "%s(%R)" : "%s%R", type_name, getter->items);
    Py_ReprLeave(self);
    return text;
}

PyObject *tuplegetter_reduce(PyObject *self, PyObject *)
{
    return PyTuple_Pack(2, reinterpret_cast<PyObject *>(Py_TYPE(self)), as_getter(self)->items);
}

}  // namespace

#endif  // TESSEL_ROWKIT_TUPLEGETTER_H
