// Reading rows: the sequence slots over the stored values (length, item,
// iteration, hash) and the key lookup behind row[key], _get_by_key_impl and
// column attributes, with the parent's hooks for what the key map doesn't
// answer.
#ifndef TESSEL_ROWKIT_LOOKUP_H
#define TESSEL_ROWKIT_LOOKUP_H

#include "construct.h"

namespace {

// ---------------------------------------------------------------------------
// Sequence behaviour over the stored values

// A slot that may run Python code holds the values (values_of) while it uses
// them: a sequence set through _data may run code (its __len__, __hash__,
// ...) that replaces them meanwhile.  Item access borrows them where no other
// thread can release them (field_if_unshared) and reads only a tuple's item
// then.  A null field is passed on, for the protocols' own null-argument
// SystemError.

// The length of held values (null passed on, as above).
inline Py_ssize_t values_length(PyObject *values)
{
    if (values != nullptr && PyTuple_CheckExact(values)) {
        return PyTuple_GET_SIZE(values);
    }
    return guarded([values] { return PySequence_Size(values); }, Py_ssize_t{-1});
}

Py_ssize_t baserow_length(PyObject *self)
{
    return values_length(values_of(as_row(self)).get());
}

PyObject *baserow_item(PyObject *self, Py_ssize_t index)
{
    PyObject *values = tessel::shared::field_if_unshared(&as_row(self)->values);
    if (values != nullptr) {
        return Py_XNewRef(PyTuple_GetItem(values, index));
    }
    Ref held = values_of(as_row(self));
    if (!held) {
        return unset_field();
    }
    return Py_XNewRef(PyTuple_GetItem(held.get(), index));
}

PyObject *baserow_iter(PyObject *self)
{
    Ref values = values_of(as_row(self));
    if (!values || !PyTuple_CheckExact(values.get())) {
        values.reset(guarded([&values] { return PySequence_Tuple(values.get()); }, static_cast<PyObject *>(nullptr)));
        if (!values) {
            return nullptr;
        }
    }
    return PyObject_GetIter(values.get());
}

Py_hash_t baserow_hash(PyObject *self)
{
    Ref values = values_of(as_row(self));
    if (!values) {
        unset_field();
        return -1;
    }
    if (PyTuple_CheckExact(values.get())) {
        const Py_hash_t *known = tessel::compat::tuple_hash_field(values.get());
        Py_hash_t hash = known != nullptr ? load_relaxed(known) : -1;
        if (hash != -1) {
            return hash;  // computed before: nothing left to recurse into
        }
    }
    // Guarded even for a tuple: hashing it hashes its items, which may be rows.
    return guarded([&values] { return PyObject_Hash(values.get()); }, Py_hash_t{-1});
}

PyObject *baserow_values_impl(PyObject *self, PyObject *)
{
    Ref values = values_of(as_row(self));
    if (values && PyTuple_CheckExact(values.get())) {
        return PySequence_List(values.get());
    }
    return guarded([&values] { return PySequence_List(values.get()); }, static_cast<PyObject *>(nullptr));
}

// ---------------------------------------------------------------------------
// Key lookup

// How a hook of the parent is called on the argument: with None after it
// ("OO"), spread into the arguments when it is a tuple (the "O" format's
// way), or as the one argument ("(O)") of a hook that must raise, whose
// return is an error.
enum class Hook { kWithNone, kSpreadingTuple, kMustRaise };

// Calls a hook method of the row's parent.  The parent is read once and held
// for the call, since the hook (or a __getattr__ on the way to it) may
// replace it; a hook that must raise is called on the parent its message
// names, whatever the hook (or another thread) sets meanwhile.
template <Hook kHow>
PyObject *call_hook(BaseRowObject *self, const char *method, PyObject *arg)
{
    Ref parent = parent_of(self);
    if (!parent) {
        return unset_field();
    }
    if constexpr (kHow == Hook::kSpreadingTuple) {
        return call_method_spreading_tuple(parent.get(), method, arg);
    }
    else if constexpr (kHow == Hook::kWithNone) {
        return PyObject_CallMethod(parent.get(), method, "OO", arg, Py_None);
    }
    else {
        static_assert(kHow == Hook::kMustRaise);
        Ref result(PyObject_CallMethod(parent.get(), method, "(O)", arg));
        if (result) {
            PyErr_Format(PyExc_RuntimeError, "%.200s.%s() returned instead of raising", Py_TYPE(parent.get())->tp_name,
                         method);
        }
        return nullptr;
    }
}

// The value at a position of the (held) values, by tuple item access: the
// interpreter's IndexError out of range and its SystemError when the values
// aren't a tuple.
inline PyObject *row_value_at(PyObject *values, Py_ssize_t position)
{
    if (values == nullptr) {
        return unset_field();
    }
    if (PyTuple_CheckExact(values) && static_cast<size_t>(position) < static_cast<size_t>(PyTuple_GET_SIZE(values))) {
        return Py_NewRef(PyTuple_GET_ITEM(values, position));
    }
    return Py_XNewRef(PyTuple_GetItem(values, position));
}

// The value at a position (a negative one is out of range, as for
// PyTuple_GetItem); the values are borrowed where no other thread can release
// them meanwhile (the hot path), held otherwise.
inline PyObject *value_at(BaseRowObject *self, Py_ssize_t position)
{
    PyObject *values = tessel::shared::field_if_unshared(&self->values);
    if (values != nullptr) {
        return row_value_at(values, position);
    }
    return row_value_at(values_of(self).get(), position);
}

// Everything after the map's answer that isn't a plain record found for a
// subscript or attribute: a missing key, an odd record, an ambiguous name,
// the warning.  Out of line, so the common lookup stays short.
TESSEL_NOINLINE PyObject *resolve_record(BaseRowObject *self, PyObject *key, bool mapping, long style,
                                         PyObject *steal_record)
{
    Ref record(steal_record);
    if (!record) {
        if (PySlice_Check(key)) {
            PyErr_SetString(PyExc_KeyError, "can't use slices for mapping access");
            return nullptr;
        }
        record.reset(call_hook<Hook::kWithNone>(self, "_key_fallback", key));
        if (!record) {
            return nullptr;
        }
    }
    PyObject *index;  // borrowed from record
    if (PyTuple_Check(record.get()) && PyTuple_GET_SIZE(record.get()) > 0) {
        index = PyTuple_GET_ITEM(record.get(), 0);
    }
    else {
        index = PyTuple_GetItem(record.get(), 0);  // the interpreter's error for a bad record
        if (index == nullptr) {
            return nullptr;
        }
    }
    if (index == Py_None) {
        return call_hook<Hook::kMustRaise>(self, "_raise_for_ambiguous_column_name", record.get());
    }
    long position = as_long(index);
    if (position == -1 && PyErr_Occurred()) {
        return nullptr;
    }
    record.reset();
    if (!mapping && style == kKeyObjectsButWarn) {
        Ref ignored(call_hook<Hook::kSpreadingTuple>(self, "_warn_for_nonint", key));
        if (!ignored) {
            return nullptr;
        }
    }
    // Read afresh: the warning hook may have replaced the values.
    return value_at(self, position);
}

// A key that is neither an exact int nor (outside key style 1) a slice.
inline PyObject *lookup_in_keymap(BaseRowObject *self, PyObject *key, bool mapping, long style)
{
    if (!mapping && style == kKeyIntegerOnly) {
        return call_hook<Hook::kMustRaise>(self, "_raise_for_nonint", key);
    }
    PyObject *found;
    {
        // Held: hashing or comparing the key may run Python code that replaces it.
        Ref keymap = keymap_of(self);
        if (!keymap) {
            return unset_field();
        }
        if (PyDict_GetItemRef(keymap.get(), key, &found) < 0) {
            PyErr_Clear();  // an unhashable or uncomparable key is simply not held
        }
    }
    // The common record, (position, ...) with a small position, read here.
    if (found != nullptr && PyTuple_CheckExact(found) && PyTuple_GET_SIZE(found) > 0 &&
        (mapping || style != kKeyObjectsButWarn)) {
        PyObject *index = PyTuple_GET_ITEM(found, 0);
        if (PyLong_CheckExact(index) && PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject *>(index))) {
            Py_ssize_t position = PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject *>(index));
            Py_DECREF(found);
            return value_at(self, position);
        }
    }
    return resolve_record(self, key, mapping, style, found);
}

// One lookup reads the key style once, whatever a hook assigns meanwhile.
PyObject *baserow_lookup(BaseRowObject *self, PyObject *key, bool mapping, long style)
{
    if (PyLong_CheckExact(key)) {
        if (style == kKeyObjectsOnly) {
            PyErr_Format(PyExc_KeyError, "%R", key);
            return nullptr;
        }
        long index = as_long(key);
        if (index == -1 && PyErr_Occurred()) {
            return nullptr;
        }
        if (index >= 0) {
            return value_at(self, index);
        }
        // The length may come from Python code (a sequence set through
        // _data), so the values are held across it.
        Ref values = values_of(self);
        if (!values) {
            return unset_field();
        }
        Py_ssize_t length = values_length(values.get());
        if (length < 0) {
            return nullptr;
        }
        return row_value_at(values.get(), index + length);
    }
    if (PySlice_Check(key) && style != kKeyObjectsOnly) {
        Ref values = values_of(self);
        if (!values) {
            return unset_field();
        }
        if (PyTuple_CheckExact(values.get())) {
            return PyObject_GetItem(values.get(), key);  // a tuple's slice is a tuple
        }
        return guarded(
            [&values, key]() -> PyObject * {
                Ref part(PyObject_GetItem(values.get(), key));
                return part ? PySequence_Tuple(part.get()) : nullptr;
            },
            static_cast<PyObject *>(nullptr));
    }
    return lookup_in_keymap(self, key, mapping, style);
}

// Styles that let row[key] refuse or warn; every other style reads keys as keys.
inline bool subscript_is_mapping(long style) noexcept
{
    return style != kKeyIntegerOnly && style != kKeyObjectsButWarn;
}

PyObject *baserow_subscript(PyObject *self, PyObject *key)
{
    BaseRowObject *row = as_row(self);
    long style = key_style_of(row);
    return baserow_lookup(row, key, subscript_is_mapping(style), style);
}

PyObject *baserow_get_by_key_impl(PyObject *self, PyObject *key)
{
    BaseRowObject *row = as_row(self);
    return baserow_lookup(row, key, false, key_style_of(row));
}

}  // namespace

#endif  // TESSEL_ROWKIT_LOOKUP_H
