// A row's attributes: column names as attributes (getattro), the getters
// and setters of its fields, pickling (__reduce__ and the reconstructor) and
// _filter_on_values.
#ifndef TESSEL_ROWKIT_ATTRIBUTES_H
#define TESSEL_ROWKIT_ATTRIBUTES_H

#include "attr_cache.h"

namespace {

// A failed column lookup by attribute: its KeyError becomes an AttributeError.
TESSEL_COLD TESSEL_NOINLINE PyObject *no_such_attribute(PyObject *name)
{
    if (!PyErr_ExceptionMatches(PyExc_KeyError)) {
        return nullptr;
    }
    PyErr_Clear();  // not chained to the KeyError
    // %.200U: the name's own text, cut at 200 characters, whatever characters it holds.
    PyErr_Format(PyExc_AttributeError, "Could not locate column in row for column '%.200U'", name);
    return nullptr;
}

inline PyObject *column_by_attribute(PyObject *self, PyObject *name)
{
    // A name is a str, never an int or slice: straight to the key map.
    PyObject *value = lookup_in_keymap(as_row(self), name, true, key_style_of(as_row(self)));
    return value != nullptr ? value : no_such_attribute(name);
}

// The generic lookup, minus the AttributeError it would make for a column
// name (suppress flag); attributes win over columns.
TESSEL_NOINLINE PyObject *attribute_or_column(PyObject *self, PyObject *name)
{
    PyObject *attribute = tessel::compat::generic_getattr_or_null(self, name);
    if (attribute != nullptr || PyErr_Occurred()) {
        return attribute;
    }
    return column_by_attribute(self, name);
}

PyObject *baserow_getattro(PyObject *self, PyObject *name)
{
    if (!surely_not_an_attribute(self, name)) {
        return attribute_or_column(self, name);
    }
    return column_by_attribute(self, name);
}

// ---------------------------------------------------------------------------
// The fields as attributes: getters and setters

PyObject *field_getter(Ref field)
{
    if (!field) {
        return unset_field();
    }
    return field.release();
}

PyObject *baserow_get_parent(PyObject *self, void *)
{
    return field_getter(parent_of(as_row(self)));
}

PyObject *baserow_get_data(PyObject *self, void *)
{
    return field_getter(values_of(as_row(self)));
}

PyObject *baserow_get_keymap(PyObject *self, void *)
{
    return field_getter(keymap_of(as_row(self)));
}

PyObject *baserow_get_key_style(PyObject *self, void *)
{
    return PyLong_FromLong(key_style_of(as_row(self)));
}

// The setters' refusals: "Cannot delete the '<field>' attribute" and
// "The '<field>' attribute value must be <kind>".
int refuse_deletion(const char *field)
{
    PyErr_Format(PyExc_TypeError, "Cannot delete the '%s' attribute", field);
    return -1;
}

int refuse_value(const char *field, const char *kind)
{
    PyErr_Format(PyExc_TypeError, "The '%s' attribute value must be %s", field, kind);
    return -1;
}

int baserow_set_parent(PyObject *self, PyObject *value, void *)
{
    if (value == nullptr) {
        return refuse_deletion("parent");
    }
    Ref metadata_class(host_attribute(kHostMetadataClass));
    if (!metadata_class) {
        return -1;
    }
    if (PyObject_IsInstance(value, metadata_class.get()) != 1) {
        return refuse_value("parent", "an instance of ResultMetaData");
    }
    tessel::shared::replace_field(self, &as_row(self)->parent, Py_NewRef(value));
    return 0;
}

int baserow_set_data(PyObject *self, PyObject *value, void *)
{
    if (value == nullptr) {
        return refuse_deletion("row");
    }
    if (!PySequence_Check(value)) {
        return refuse_value("row", "a sequence");
    }
    tessel::shared::replace_field(self, &as_row(self)->values, Py_NewRef(value));
    return 0;
}

int baserow_set_keymap(PyObject *self, PyObject *value, void *)
{
    if (value == nullptr) {
        return refuse_deletion("keymap");
    }
    if (!PyDict_CheckExact(value)) {
        return refuse_value("keymap", "a dict");
    }
    tessel::shared::replace_field(self, &as_row(self)->keymap, Py_NewRef(value));
    return 0;
}

int baserow_set_key_style(PyObject *self, PyObject *value, void *)
{
    if (value == nullptr) {
        return refuse_deletion("key_style");
    }
    if (!PyLong_CheckExact(value)) {
        return refuse_value("key_style", "an integer");
    }
    long style = as_long(value);
    if (style == -1 && PyErr_Occurred()) {
        return -1;
    }
    store_relaxed(&as_row(self)->key_style, style);
    return 0;
}

// ---------------------------------------------------------------------------
// Pickling and filtering

PyObject *baserow_reduce(PyObject *self, PyObject *)
{
    Ref state(PyObject_CallMethod(self, "__getstate__", nullptr));
    if (!state) {
        return nullptr;
    }
    Ref reconstructor(host_attribute(kHostReconstructor));
    if (!reconstructor) {
        return nullptr;
    }
    // The attribute, not the type slot: a class that overrides __class__ is honoured.
    Ref cls(PyObject_GetAttrString(self, "__class__"));
    if (!cls) {
        return nullptr;
    }
    Ref arguments(PyTuple_Pack(2, cls.get(), state.get()));
    if (!arguments) {
        return nullptr;
    }
    return PyTuple_Pack(2, reconstructor.get(), arguments.get());
}

PyObject *baserow_filter_on_values(PyObject *self, PyObject *filters)
{
    Ref row_class(host_attribute(kHostRowClass));
    if (!row_class) {
        return nullptr;
    }
    BaseRowObject *row = as_row(self);
    Ref key_style(PyLong_FromLong(key_style_of(row)));
    if (!key_style) {
        return nullptr;
    }
    // Held for the call: the filters run Python code that may replace our fields.
    Ref parent = parent_of(row);
    Ref values = values_of(row);
    Ref keymap = keymap_of(row);
    if (!parent || !values || !keymap) {
        return unset_field();
    }
    PyObject *args[] = {parent.get(), filters, keymap.get(), key_style.get(), values.get()};
    return PyObject_Vectorcall(row_class.get(), args, 5, nullptr);
}

PyObject *safe_rowproxy_reconstructor(PyObject *, PyObject *args)
{
    PyObject *cls, *state;  // borrowed from args
    if (!PyArg_ParseTuple(args, "OO", &cls, &state)) {
        return nullptr;
    }
    Ref obj(call_method_spreading_tuple(cls, "__new__", cls));
    if (!obj) {
        return nullptr;
    }
    if (!PyObject_TypeCheck(obj.get(), &BaseRowType)) {
        PyErr_Format(PyExc_TypeError, "%.200s.__new__() returned a %.200s, not a BaseRow",
                     PyType_Check(cls) ? reinterpret_cast<PyTypeObject *>(cls)->tp_name : Py_TYPE(cls)->tp_name,
                     Py_TYPE(obj.get())->tp_name);
        return nullptr;
    }
    Ref ignored(call_method_spreading_tuple(obj.get(), "__setstate__", state));
    if (!ignored) {
        return nullptr;
    }
    BaseRowObject *row = as_row(obj.get());
    if (load_acquire(&row->parent) == nullptr || load_acquire(&row->values) == nullptr ||
        load_acquire(&row->keymap) == nullptr) {
        PyErr_SetString(PyExc_RuntimeError,
                        "__setstate__ for BaseRow subclasses must set values for parent, row, and keymap");
        return nullptr;
    }
    return obj.release();
}

}  // namespace

#endif  // TESSEL_ROWKIT_ATTRIBUTES_H
