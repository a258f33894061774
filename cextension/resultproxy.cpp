// tessel.rowkit: BaseRow, the base of the host package's result rows, and
// tuplegetter, which picks several items out of a row at once.
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
#include "pyref.h"
#include "restart.h"
#include "shared_fields.h"

#include <cstddef>
#include <cstdint>

using tessel::Ref;
using tessel::shared::load_acquire;
using tessel::shared::load_relaxed;
using tessel::shared::store_relaxed;
using tessel::shared::store_release;

namespace {

// Key styles (the host names them too, next to Row): what row[key] accepts.
// Any value other than these reads like KEY_OBJECTS_NO_WARN.
enum KeyStyle : long {
    KEY_INTEGER_ONLY = 0,      // positions; keys go to the parent's refusal hook
    KEY_OBJECTS_ONLY = 1,      // keys; an int is a KeyError
    KEY_OBJECTS_BUT_WARN = 2,  // both, keys with the parent's warning hook
    KEY_OBJECTS_NO_WARN = 3,   // both
};

// Every field may be replaced by a setter or a re-run initialiser while
// another thread reads the row: object fields are read with field_ref() and
// replaced with replace_field() (portable.h), the key style is read and
// written atomically.  A reader sees the old value or the new one, held.
//
// The one rule for filling: a row under construction is reachable by nobody
// else.  Its maker holds the only reference and keeps it from the collector
// (through which alone another thread could find it) until every field is
// stored; those first stores are plain.  Any store to a row that may have
// been shown, by a setter or the initialiser run again, is replace_field().
struct BaseRowObject {
    PyObject_HEAD
    PyObject *parent;      // result metadata object, owned; null until set
    PyObject *row;         // the values, owned: a tuple from the initialiser, any sequence from _data
    PyObject *keymap;      // exact dict from column keys to records, owned
    Py_ssize_t key_style;  // a C long's value, kept at the width the shared-field atomics have
};

struct TupleGetterObject {
    PyObject_HEAD
    Py_ssize_t item_count;
    PyObject *items;  // the constructor's own positional-argument tuple, owned
    vectorcallfunc vectorcall;
};

extern PyTypeObject BaseRowType;
extern PyTypeObject TupleGetterType;

inline BaseRowObject *as_row(PyObject *self) noexcept
{
    return reinterpret_cast<BaseRowObject *>(self);
}

inline TupleGetterObject *as_getter(PyObject *self) noexcept
{
    return reinterpret_cast<TupleGetterObject *>(self);
}

// The row's fields, each a new reference (empty when never set).
inline Ref parent_of(BaseRowObject *self) noexcept
{
    return Ref(tessel::shared::field_ref(reinterpret_cast<PyObject *>(self), &self->parent));
}

inline Ref values_of(BaseRowObject *self) noexcept
{
    return Ref(tessel::shared::field_ref(reinterpret_cast<PyObject *>(self), &self->row));
}

inline Ref keymap_of(BaseRowObject *self) noexcept
{
    return Ref(tessel::shared::field_ref(reinterpret_cast<PyObject *>(self), &self->keymap));
}

inline long key_style_of(const BaseRowObject *self) noexcept
{
    return static_cast<long>(load_relaxed(&self->key_style));
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

// ---------------------------------------------------------------------------
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

constexpr HostName host_metadata_class{&result_module_cache, "tessel.engine.result", "ResultMetaData"};
constexpr HostName host_row_class{&row_module_cache, "tessel.engine.row", "Row"};
constexpr HostName host_reconstructor{&row_module_cache, "tessel.engine.row", "rowproxy_reconstructor"};

// Borrowed reference to the cached module (never released: it lives as long
// as the main interpreter, and is forgotten with it), or null
// with the import's error; a failed import leaves the cache empty.  Two
// threads may both import; the first to publish wins and the other drops its
// reference (sys.modules hands both the same module anyway).
PyObject *host_module(const HostName &name) noexcept
{
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

PyInterpreterState *main_interpreter = nullptr;  // set when the module is made, before any row exists

// New reference to the host's attribute, looked up afresh each time (the
// host may rebind it), or null with an error.
PyObject *host_attribute(const HostName &name) noexcept
{
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

// Interned "_get_by_key_impl_mapping", and BaseRow's own descriptor for it
// (owned by the type's dict, which lives as long as the process).
PyObject *mapping_method_name = nullptr;
PyObject *own_mapping_method = nullptr;

// ---------------------------------------------------------------------------
// Construction

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

// An int's value as a C long; -1 with an error pending when it doesn't fit
// (or has no integer value).  Small ints skip the exported conversion.
inline long as_long(PyObject *number) noexcept
{
    if (PyLong_CheckExact(number) && PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject *>(number))) {
        return PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject *>(number));
    }
    return PyLong_AsLong(number);
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
    bool may_form_cycle = false;
    for (Py_ssize_t i = 0; i < n; i++) {
        Ref value(item_ref(fast, i));
        if (!value) {
            return nullptr;
        }
        Ref processor(item_ref(processors, i));
        if (!processor) {
            return nullptr;
        }
        if (processor.get() != Py_None) {
            value.reset(PyObject_CallOneArg(processor.get(), value.get()));
            if (!value) {
                return nullptr;
            }
        }
        may_form_cycle = may_form_cycle || may_be_tracked(value.get());
        PyTuple_SET_ITEM(values.get(), i, value.release());
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
// construction, kept from every other thread by the filling rule above.
int baserow_fill(BaseRowObject *self, PyObject *parent, PyObject *processors, PyObject *keymap, PyObject *key_style,
                 PyObject *raw, bool unseen) noexcept
{
    assert(!unseen || (Py_REFCNT(self) == 1 && !PyObject_GC_IsTracked(reinterpret_cast<PyObject *>(self)) &&
                       self->parent == nullptr && self->row == nullptr && self->keymap == nullptr));
    auto store = [self, unseen](PyObject **field, PyObject *steal) {
        if (unseen) {
            assert(*field == nullptr);
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
    store(&self->row, values);
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
        // PyArg_UnpackTuple's own wording.
        PyErr_Format(PyExc_TypeError, "BaseRow expected 5 arguments, got %zd", nargs);
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
        self->row = values;
        self->keymap = args[2];
        self->key_style = PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject *>(args[3]));
        PyObject_GC_Track(self);
        return reinterpret_cast<PyObject *>(self);
    }
    return construct_generally(cls, args, nargs);
}

// Gives a new subclass BaseRow's vectorcall while the class is still being
// made, so no other thread uses it yet; then does what the next
// __init_subclass__ along the MRO does.  Its destructor stays the
// interpreter's, which keeps the class's per-thread reference count.
PyObject *baserow_init_subclass(PyObject *cls, PyObject *args, PyObject *kwargs)
{
    PyTypeObject *type = reinterpret_cast<PyTypeObject *>(cls);
    if (PyType_Check(cls) && PyType_HasFeature(type, Py_TPFLAGS_HEAPTYPE) && type->tp_vectorcall == nullptr &&
        PyType_IsSubtype(type, &BaseRowType)) {
        type->tp_vectorcall = baserow_vectorcall;
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
    Py_CLEAR(row->row);
    Py_CLEAR(row->keymap);
    Py_TYPE(self)->tp_free(self);
    Py_TRASHCAN_END;
}

int baserow_traverse(PyObject *self, visitproc visit, void *arg)
{
    BaseRowObject *row = as_row(self);
    Py_VISIT(row->parent);
    Py_VISIT(row->row);
    Py_VISIT(row->keymap);
    return 0;
}

// ---------------------------------------------------------------------------
// Sequence behaviour over the stored values

// The values, held: a sequence set through _data may run Python code (its
// __len__, __hash__, ...) that replaces them while we use them.  A null field
// is passed on, for the protocols' own null-argument SystemError.
inline Ref held_values(PyObject *self) noexcept
{
    return values_of(as_row(self));
}

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
    return values_length(held_values(self).get());
}

PyObject *baserow_item(PyObject *self, Py_ssize_t index)
{
    PyObject *row = tessel::shared::field_if_unshared(&as_row(self)->row);
    if (row != nullptr) {
        return Py_XNewRef(PyTuple_GetItem(row, index));
    }
    Ref held = held_values(self);
    if (!held) {
        return unset_field();
    }
    return Py_XNewRef(PyTuple_GetItem(held.get(), index));
}

PyObject *baserow_iter(PyObject *self)
{
    Ref values = held_values(self);
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
    Ref values = held_values(self);
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
    Ref values = held_values(self);
    if (values && PyTuple_CheckExact(values.get())) {
        return PySequence_List(values.get());
    }
    return guarded([&values] { return PySequence_List(values.get()); }, static_cast<PyObject *>(nullptr));
}

// ---------------------------------------------------------------------------
// Key lookup

// Calls a hook method of the row's parent with one ("(O)") or two ("OO")
// objects.  The parent is held for the call, since the hook (or a
// __getattr__ on the way to it) may replace it.
PyObject *call_hook(BaseRowObject *self, const char *method, const char *format, PyObject *arg,
                    PyObject *second = nullptr)
{
    Ref parent = parent_of(self);
    if (!parent) {
        return unset_field();
    }
    return PyObject_CallMethod(parent.get(), method, format, arg, second);
}

// The same with the "O" format: a tuple argument arrives as its items.
PyObject *call_hook_spreading_tuple(BaseRowObject *self, const char *method, PyObject *arg)
{
    Ref parent = parent_of(self);
    if (!parent) {
        return unset_field();
    }
    return call_method_spreading_tuple(parent.get(), method, arg);
}

// Calls one of the hooks that must raise; the lookup fails either way.
PyObject *raise_through_hook(BaseRowObject *self, const char *method, PyObject *arg)
{
    Ref parent = parent_of(self);  // named in the message, whatever the hook did
    Ref result(call_hook(self, method, "(O)", arg));
    if (result) {
        PyErr_Format(PyExc_RuntimeError, "%.200s.%s() returned instead of raising", Py_TYPE(parent.get())->tp_name,
                     method);
    }
    return nullptr;
}

// The value at a position of the (held) values, by tuple item access: the
// interpreter's IndexError out of range and its SystemError when the values
// aren't a tuple.
inline PyObject *row_value_at(PyObject *row, Py_ssize_t position)
{
    if (row == nullptr) {
        return unset_field();
    }
    if (PyTuple_CheckExact(row) && static_cast<size_t>(position) < static_cast<size_t>(PyTuple_GET_SIZE(row))) {
        return Py_NewRef(PyTuple_GET_ITEM(row, position));
    }
    return Py_XNewRef(PyTuple_GetItem(row, position));
}

// The value at a non-negative position; the values are borrowed where no
// other thread can release them meanwhile (the hot path), held otherwise.
inline PyObject *value_at(BaseRowObject *self, Py_ssize_t position)
{
    PyObject *row = tessel::shared::field_if_unshared(&self->row);
    if (row != nullptr) {
        return row_value_at(row, position);
    }
    return row_value_at(values_of(self).get(), position);
}

// Everything after the map's answer that isn't a plain record found for a
// subscript or attribute: a missing key, an odd record, an ambiguous name,
// the warning.  Out of line, so the common lookup stays short.
TESSEL_NOINLINE PyObject *resolve_record(BaseRowObject *self, PyObject *key, bool mapping, long style, PyObject *found)
{
    Ref record(found);
    if (!record) {
        if (PySlice_Check(key)) {
            PyErr_SetString(PyExc_KeyError, "can't use slices for mapping access");
            return nullptr;
        }
        record.reset(call_hook(self, "_key_fallback", "OO", key, Py_None));
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
        return raise_through_hook(self, "_raise_for_ambiguous_column_name", record.get());
    }
    long position = as_long(index);
    if (position == -1 && PyErr_Occurred()) {
        return nullptr;
    }
    record.reset();
    if (!mapping && style == KEY_OBJECTS_BUT_WARN) {
        Ref ignored(call_hook_spreading_tuple(self, "_warn_for_nonint", key));
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
    if (!mapping && style == KEY_INTEGER_ONLY) {
        return raise_through_hook(self, "_raise_for_nonint", key);
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
        (mapping || style != KEY_OBJECTS_BUT_WARN)) {
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
        if (style == KEY_OBJECTS_ONLY) {
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
        Ref row = values_of(self);
        if (!row) {
            return unset_field();
        }
        Py_ssize_t length = values_length(row.get());
        if (length < 0) {
            return nullptr;
        }
        return row_value_at(row.get(), index + length);
    }
    if (PySlice_Check(key) && style != KEY_OBJECTS_ONLY) {
        Ref row = values_of(self);
        if (!row) {
            return unset_field();
        }
        if (PyTuple_CheckExact(row.get())) {
            return PyObject_GetItem(row.get(), key);  // a tuple's slice is a tuple
        }
        return guarded(
            [&row, key]() -> PyObject * {
                Ref part(PyObject_GetItem(row.get(), key));
                return part ? PySequence_Tuple(part.get()) : nullptr;
            },
            static_cast<PyObject *>(nullptr));
    }
    return lookup_in_keymap(self, key, mapping, style);
}

// Styles that let row[key] refuse or warn; every other style reads keys as keys.
inline bool subscript_is_mapping(long style) noexcept
{
    return style != KEY_INTEGER_ONLY && style != KEY_OBJECTS_BUT_WARN;
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

// Names known to be nothing along a class's MRO, so that row.<column> can
// skip the type-attribute probe.  An entry holds for one version of the class
// (the interpreter renews it whenever the class or a base changes) and only
// names that are never freed, so a stale entry can match neither a changed
// class nor another name.  Only the main interpreter uses it: each
// interpreter numbers versions on its own, so a class freed in one and
// another made at its address in the next could share a number.  (The
// free-threaded build loads our modules in no other interpreter.)  Threads share the table without the GIL through a
// sequence count per entry, odd while it is written: a reader that sees it
// change (or odd) just misses, and a writer that finds another one at work
// leaves the entry to it.
struct NotAnAttribute {
    std::uint32_t sequence;
    std::uint32_t version;
    PyTypeObject *type;
    PyObject *name;
};

constexpr std::size_t not_an_attribute_slots = 64;
NotAnAttribute not_an_attribute[not_an_attribute_slots];

inline bool in_main_interpreter() noexcept
{
    if constexpr (!tessel::compat::free_threaded_build) {
        return PyInterpreterState_Get() == main_interpreter;
    }
    else {
        return true;
    }
}

inline NotAnAttribute &not_an_attribute_entry(PyObject *name, std::uint32_t version) noexcept
{
    std::size_t hash = (reinterpret_cast<std::uintptr_t>(name) >> 4) ^ version;
    return not_an_attribute[hash & (not_an_attribute_slots - 1)];
}

inline bool known_not_an_attribute(NotAnAttribute &entry, PyTypeObject *type, PyObject *name,
                                   std::uint32_t version) noexcept
{
    // Acquiring loads: a field from a write under way makes the second count
    // read show that write.
    std::uint32_t before = load_acquire(&entry.sequence);
    bool same = load_acquire(&entry.name) == name && load_acquire(&entry.type) == type &&
                load_acquire(&entry.version) == version;
    return same && (before & 1) == 0 && load_relaxed(&entry.sequence) == before;
}

inline void remember_not_an_attribute(NotAnAttribute &entry, PyTypeObject *type, PyObject *name,
                                      std::uint32_t version) noexcept
{
    std::uint32_t sequence = load_relaxed(&entry.sequence);
    if ((sequence & 1) != 0 || !tessel::shared::compare_exchange(&entry.sequence, sequence, sequence + 1)) {
        return;
    }
    // Releasing stores: whoever reads one of them also sees the odd count.
    store_release(&entry.name, name);
    store_release(&entry.type, type);
    store_release(&entry.version, version);
    store_release(&entry.sequence, sequence + 2);
}

// True when the generic attribute lookup is sure to find nothing: no instance
// dict, and nothing of that name along the type's MRO (a type-cache probe).
bool surely_not_an_attribute(PyObject *self, PyObject *name) noexcept
{
    PyTypeObject *type = Py_TYPE(self);
    if (!PyUnicode_Check(name) || type->tp_dictoffset != 0 || PyType_HasFeature(type, Py_TPFLAGS_MANAGED_DICT)) {
        return false;
    }
    // Read before the probe: a change during it renews the version, so what
    // the probe saw is never filed under a version it doesn't describe.  0,
    // which leaves the table alone, outside the main interpreter.
    std::uint32_t version = in_main_interpreter() ? tessel::shared::type_version(type) : 0;
    NotAnAttribute &entry = not_an_attribute_entry(name, version);
    if (version != 0 && known_not_an_attribute(entry, type, name, version)) {
        return true;
    }
    Ref descriptor(tessel::compat::type_lookup_ref(type, name));
    if (descriptor) {
        return false;
    }
    if (version != 0 && tessel::compat::never_freed(name)) {
        remember_not_an_attribute(entry, type, name, version);
    }
    return true;
}

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
// Attributes

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
    Ref metadata_class(host_attribute(host_metadata_class));
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
    tessel::shared::replace_field(self, &as_row(self)->row, Py_NewRef(value));
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
    long style = PyLong_AsLong(value);
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
    Ref reconstructor(host_attribute(host_reconstructor));
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
    Ref row_class(host_attribute(host_row_class));
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
    if (load_acquire(&row->parent) == nullptr || load_acquire(&row->row) == nullptr ||
        load_acquire(&row->keymap) == nullptr) {
        PyErr_SetString(PyExc_RuntimeError,
                        "__setstate__ for BaseRow subclasses must set values for parent, row, and keymap");
        return nullptr;
    }
    return obj.release();
}

PyMethodDef baserow_methods[] = {
    {"_values_impl", baserow_values_impl, METH_NOARGS, "Return the values represented by this BaseRow as a list."},
    {"__reduce__", baserow_reduce, METH_NOARGS, "Pickle support method."},
    {"_get_by_key_impl", baserow_get_by_key_impl, METH_O, "implement mapping-like getitem as well as sequence getitem"},
    {"_get_by_key_impl_mapping", baserow_subscript, METH_O,
     "implement mapping-like getitem as well as sequence getitem"},
    {"_filter_on_values", baserow_filter_on_values, METH_O,
     "return a new Row with per-value filters applied to columns"},
    {"__init_subclass__", tessel::as_cfunction(baserow_init_subclass), METH_VARARGS | METH_KEYWORDS | METH_CLASS,
     "Give the subclass BaseRow's fast construction while it keeps BaseRow's __new__ and __init__."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef baserow_getset[] = {
    {"_parent", baserow_get_parent, baserow_set_parent, "ResultMetaData", nullptr},
    {"_data", baserow_get_data, baserow_set_data, "processed data list", nullptr},
    {"_keymap", baserow_get_keymap, baserow_set_keymap, "Key to (obj, index) dict", nullptr},
    {"_key_style", baserow_get_key_style, baserow_set_key_style, "Return the key style", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PySequenceMethods baserow_as_sequence = {
    .sq_length = baserow_length,
    .sq_item = baserow_item,
};

PyMappingMethods baserow_as_mapping = {
    .mp_length = baserow_length,
    .mp_subscript = baserow_subscript,
    .mp_ass_subscript = nullptr,
};

PyTypeObject BaseRowType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "tessel.rowkit.BaseRow",
    .tp_basicsize = sizeof(BaseRowObject),
    .tp_itemsize = 0,
    .tp_dealloc = baserow_dealloc,
    .tp_as_sequence = &baserow_as_sequence,
    .tp_as_mapping = &baserow_as_mapping,
    .tp_hash = baserow_hash,
    .tp_getattro = baserow_getattro,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
    .tp_doc = "BaseRow is a abstract base class for Row",
    .tp_traverse = baserow_traverse,
    .tp_iter = baserow_iter,
    .tp_methods = baserow_methods,
    .tp_getset = baserow_getset,
    .tp_init = baserow_init,
    .tp_new = PyType_GenericNew,
    .tp_vectorcall = baserow_vectorcall,
};

// ---------------------------------------------------------------------------
// tuplegetter

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
    for (Py_ssize_t i = 0; i < count; i++) {
        PyObject *item = PyTuple_GET_ITEM(self->items, i);  // borrowed from items
        PyObject *value;
        if (own_lookup) {
            value = fetch_from_row(operand, item);
        }
        else if (has_method) {
            value = call_method_spreading_tuple(operand, "_get_by_key_impl_mapping", item);
        }
        else {
            value = PyObject_GetItem(operand, item);
        }
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
        PyErr_SetString(PyExc_TypeError, "tuplegetter expected 1 argument, got 0");
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

PyMethodDef tuplegetter_methods[] = {
    {"__reduce__", tuplegetter_reduce, METH_NOARGS, "Return state information for pickling"},
    {nullptr, nullptr, 0, nullptr},
};

PyTypeObject TupleGetterType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "tessel.engine.util.tuplegetter",
    .tp_basicsize = sizeof(TupleGetterObject),
    .tp_itemsize = 0,
    .tp_dealloc = tuplegetter_dealloc,
    .tp_vectorcall_offset = offsetof(TupleGetterObject, vectorcall),
    .tp_repr = tuplegetter_repr,
    .tp_call = PyVectorcall_Call,
    .tp_getattro = PyObject_GenericGetAttr,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL,
    .tp_doc = "tuplegetter(item, ...) --> tuplegetter object\n\nReturn a callable object that fetches the given "
              "item(s) from its operand\nand returns them as a tuple.\n",
    .tp_traverse = tuplegetter_traverse,
    .tp_methods = tuplegetter_methods,
    .tp_new = tuplegetter_new,
};

PyMethodDef rowkit_functions[] = {
    {"safe_rowproxy_reconstructor", safe_rowproxy_reconstructor, METH_VARARGS,
     "reconstruct a Row instance from its pickled form."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef rowkit_module = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "rowkit",
    .m_doc = "Module containing C versions of core ResultProxy classes.",
    .m_size = -1,
    .m_methods = rowkit_functions,
};

}  // namespace

namespace {

tessel::StaticTypes<2> rowkit_types{{&BaseRowType, &TupleGetterType}, {}, false, false};

// The end of the interpreter everything cached here describes (restart.h).
// What it held is gone with it, so nothing is released, only forgotten.
void forget_interpreter()
{
    tessel::restore_types(rowkit_types);
    result_module_cache = nullptr;
    row_module_cache = nullptr;
    mapping_method_name = nullptr;
    own_mapping_method = nullptr;
    for (NotAnAttribute &entry : not_an_attribute) {
        entry = NotAnAttribute{};
    }
    main_interpreter = nullptr;
}

}  // namespace

PyMODINIT_FUNC PyInit_rowkit(void)
{
    if (tessel::ready_types(rowkit_types, forget_interpreter) < 0) {
        return nullptr;
    }
    if (mapping_method_name == nullptr) {
        mapping_method_name = PyUnicode_InternFromString("_get_by_key_impl_mapping");
        if (mapping_method_name == nullptr) {
            return nullptr;
        }
        own_mapping_method = tessel::compat::type_lookup_for_identity(
            &BaseRowType, mapping_method_name);  // borrowed, lives with the type
    }
    main_interpreter = PyInterpreterState_Main();
    Ref module(PyModule_Create2(&rowkit_module, PYTHON_API_VERSION));
    if (!module || tessel::compat::declare_gil_use(module.get()) < 0 ||
        tessel::add_type(module.get(), "BaseRow", &BaseRowType) < 0 ||
        tessel::add_type(module.get(), "tuplegetter", &TupleGetterType) < 0) {
        return nullptr;
    }
    return module.release();
}
