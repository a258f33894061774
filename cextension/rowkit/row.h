// rowkit's row object: BaseRowObject, its fields and how threads share
// them, the key styles, and the small helpers every other part uses.
//
// rowkit is one translation unit: resultproxy.cpp includes the headers of
// cextension/rowkit/ in the order they build on each other (row, host,
// construct, lookup, attr_cache, attributes, tuplegetter), so everything
// stays visible to the optimiser at once.  Each header includes the ones it
// builds on, and nothing else includes them.
//
// A row keeps its values (a tuple once built), the result metadata object
// that made it (its "parent"), the key map from column keys to records whose
// item 0 is a position (None when the key names several columns), and a key
// style that decides how subscripts are read.  Keys the map doesn't answer go
// back to the parent through its hook methods.
//
// Instances made by __new__ alone have null fields until __setstate__ or the
// setters fill them; every operation that would read such a field raises
// SystemError instead.
#ifndef TESSEL_ROWKIT_ROW_H
#define TESSEL_ROWKIT_ROW_H

#include "../pyref.h"
#include "../shared_fields.h"

#include <climits>
#include <cstddef>
#include <cstdint>

using tessel::Ref;
using tessel::shared::load_acquire;
using tessel::shared::load_relaxed;
using tessel::shared::store_relaxed;
using tessel::shared::store_release;

namespace {

// Key styles (the host's KEY_* constants, next to Row): what row[key] accepts.
// Any value other than these reads like kKeyObjectsNoWarn.
enum KeyStyle : long {
    kKeyIntegerOnly = 0,     // positions; keys go to the parent's refusal hook
    kKeyObjectsOnly = 1,     // keys; an int is a KeyError
    kKeyObjectsButWarn = 2,  // both, keys with the parent's warning hook
    kKeyObjectsNoWarn = 3,   // both
};

// Every field may be replaced by a setter or a re-run initialiser while
// another thread reads the row.  Rows keep the re-runnable __init__ pattern
// of shared_fields.h, with fields that stand alone: object fields are read
// with field_ref() and replaced with replace_field(), the key style is read
// and written atomically.  A reader sees the old value or the new one, held.
//
// The one rule for filling: a row under construction is reachable by nobody
// else.  Its maker holds the only reference and keeps it from the collector
// (through which alone another thread could find it) until every field is
// stored; those first stores are plain.  Any store to a row that may have
// been shown, by a setter or the initialiser run again, is replace_field().
struct BaseRowObject {
    PyObject_HEAD
    PyObject *parent;      // result metadata object, owned; null until set
    PyObject *values;      // owned: a tuple from the initialiser, any sequence from _data
    PyObject *keymap;      // exact dict from column keys to records, owned
    Py_ssize_t key_style;  // a C long's value, kept at the width the shared-field atomics have
};

extern PyTypeObject BaseRowType;

inline BaseRowObject *as_row(PyObject *self) noexcept
{
    return reinterpret_cast<BaseRowObject *>(self);
}

// The row's fields, each a new reference (empty when never set).
inline Ref parent_of(BaseRowObject *self) noexcept
{
    return Ref(tessel::shared::field_ref(reinterpret_cast<PyObject *>(self), &self->parent));
}

inline Ref values_of(BaseRowObject *self) noexcept
{
    return Ref(tessel::shared::field_ref(reinterpret_cast<PyObject *>(self), &self->values));
}

inline Ref keymap_of(BaseRowObject *self) noexcept
{
    Ref keymap(tessel::shared::field_ref(reinterpret_cast<PyObject *>(self), &self->keymap));
    assert(!keymap || PyDict_CheckExact(keymap.get()));
    return keymap;
}

inline long key_style_of(const BaseRowObject *self) noexcept
{
    Py_ssize_t style = load_relaxed(&self->key_style);
    assert(LONG_MIN <= style && style <= LONG_MAX);
    return static_cast<long>(style);
}

// What the interpreter raises when its protocols are handed a null object;
// used for every read of a field that was never set.
PyObject *unset_field() noexcept
{
    PyErr_SetString(PyExc_SystemError, "null argument to internal routine");
    return nullptr;
}

// Runs call() inside the interpreter's recursion guard, `failed` when the
// guard trips.  A row hands its work to whatever sequence _data holds, and
// that may be a row again: itself, or the head of a long chain of rows.  The
// guard turns such a descent into RecursionError where it would otherwise
// overflow the C stack.  An exact tuple's length, items and slices never lead
// back to a row, so those stay unguarded.
template <typename Call, typename Result>
inline Result guarded(Call call, Result failed) noexcept
{
    if (Py_EnterRecursiveCall(" while using a row's values")) {
        return failed;
    }
    Result result = call();
    Py_LeaveRecursiveCall();
    return result;
}

// An int's value as a C long; -1 with an error pending when it doesn't fit
// (or has no integer value).  Small ints skip the exported conversion.
inline long as_long(PyObject *number) noexcept
{
    if (PyLong_CheckExact(number) && PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject *>(number))) {
        Py_ssize_t value = PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject *>(number));
        // Narrowed on purpose: a compact int is at most one digit (30 bits),
        // so it fits a C long even where long is 32 bits and Py_ssize_t 64 (Windows).
        assert(LONG_MIN <= value && value <= LONG_MAX);
        return static_cast<long>(value);
    }
    return PyLong_AsLong(number);
}

}  // namespace

#endif  // TESSEL_ROWKIT_ROW_H
