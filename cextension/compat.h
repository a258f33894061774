// The one place that knows which CPython we are built for.
//
// The modules are written against the newest interpreter's API and call one
// name per operation; where an older supported interpreter (3.11 and newer)
// lacks a call, it is supplied here with the same ownership semantics, and
// never by a slower generic path.  Interpreter internals that carry an
// underscore are wrapped under names of our own, so a change in a future
// release is mended here only.
#ifndef TESSEL_COMPAT_H
#define TESSEL_COMPAT_H

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#if defined(PYPY_VERSION) || defined(GRAALVM_PYTHON)
#error "tessel supports CPython only: 3.11, 3.12, 3.13 and 3.14 (with or without the GIL) and newer"
#endif

#if PY_VERSION_HEX < 0x030B0000
#error "tessel supports CPython 3.11, 3.12, 3.13 and 3.14 (with or without the GIL) and newer"
#endif

// ---------------------------------------------------------------------------
// Public calls that arrived in 3.13

#if PY_VERSION_HEX < 0x030D0000
// A new reference to d[key] in *result: 1 found, 0 absent, -1 error.
inline int PyDict_GetItemRef(PyObject *dict, PyObject *key, PyObject **result) noexcept
{
    PyObject *item = PyDict_GetItemWithError(dict, key);  // borrowed
    if (item != nullptr) {
        *result = Py_NewRef(item);
        return 1;
    }
    *result = nullptr;
    return PyErr_Occurred() ? -1 : 0;
}

// A new reference to list[i], or null with IndexError (SystemError for a non-list).
inline PyObject *PyList_GetItemRef(PyObject *list, Py_ssize_t i) noexcept
{
    return Py_XNewRef(PyList_GetItem(list, i));
}

// 1 when the attribute exists, 0 when it doesn't (no error set), -1 on error.
inline int PyObject_HasAttrWithError(PyObject *obj, PyObject *name) noexcept
{
    PyObject *value;
    int found = _PyObject_LookupAttr(obj, name, &value);
    Py_XDECREF(value);
    return found;
}

// Per-object locks exist only on free-threaded builds (3.13 on); with the GIL
// the sections are plain blocks, as the interpreter's own macros are there.
#define Py_BEGIN_CRITICAL_SECTION(op) {
#define Py_END_CRITICAL_SECTION() }
#define Py_BEGIN_CRITICAL_SECTION2(a, b) {
#define Py_END_CRITICAL_SECTION2() }
#endif

// ---------------------------------------------------------------------------
// Compact integers (3.12 on): a value of at most one digit, read without a call

#if PY_VERSION_HEX < 0x030C0000
inline int PyUnstable_Long_IsCompact(const PyLongObject *op) noexcept
{
    Py_ssize_t size = Py_SIZE(reinterpret_cast<PyObject *>(const_cast<PyLongObject *>(op)));
    return -1 <= size && size <= 1;
}

inline Py_ssize_t PyUnstable_Long_CompactValue(const PyLongObject *op) noexcept
{
    Py_ssize_t size = Py_SIZE(reinterpret_cast<PyObject *>(const_cast<PyLongObject *>(op)));
    return size * static_cast<Py_ssize_t>(op->ob_digit[0]);
}
#endif

namespace tessel::compat {

// True when built for a free-threaded interpreter (3.13t on), whether or not
// its GIL is switched on at run time.  On every other build the GIL is held
// around all our code (single-phase modules never run in a subinterpreter of
// their own GIL), so process-wide caches need no lock there.
#ifdef Py_GIL_DISABLED
inline constexpr bool kFreeThreadedBuild = true;
#else
inline constexpr bool kFreeThreadedBuild = false;
#endif

// ---------------------------------------------------------------------------
// A tuple's hash, kept in the tuple once computed (3.14 on): where the field
// exists, a pointer to it (-1 in it until computed, read relaxed); else null.

inline const Py_hash_t *tuple_hash_field(PyObject *tuple) noexcept
{
#if PY_VERSION_HEX >= 0x030E0000
    return &reinterpret_cast<PyTupleObject *>(tuple)->ob_hash;
#else
    (void)tuple;
    return nullptr;
#endif
}

// ---------------------------------------------------------------------------
// Running without the GIL

// Built with the free_threading option (meson), the modules tell a
// free-threaded interpreter (3.13 on) that they need no GIL, so importing
// them leaves it off; otherwise they don't, and the import switches it on.
inline int declare_gil_use(PyObject *module) noexcept
{
#if defined(TESSEL_FREE_THREADING) && defined(Py_GIL_DISABLED) && PY_VERSION_HEX >= 0x030D0000
    return PyUnstable_Module_SetGIL(module, Py_MOD_GIL_NOT_USED);
#else
    (void)module;
    return 0;
#endif
}

// ---------------------------------------------------------------------------
// Argument parsing: 3.13 declares the keyword list const.

#if PY_VERSION_HEX < 0x030D0000
inline char **keyword_list(const char *const *names) noexcept
{
    return const_cast<char **>(names);
}
#else
inline const char *const *keyword_list(const char *const *names) noexcept
{
    return names;
}
#endif

// ---------------------------------------------------------------------------
// Interpreter internals that the attribute fast path relies on

// A new reference to what the type's MRO holds under name (a type-cache
// probe), or null with no error set when nothing does.
inline PyObject *type_lookup_ref(PyTypeObject *type, PyObject *name) noexcept
{
#if PY_VERSION_HEX >= 0x030D0000
    return _PyType_LookupRef(type, name);
#else
    return Py_XNewRef(_PyType_Lookup(type, name));
#endif
}

// What the type's MRO holds under name, borrowed, or null with no error set:
// only to compare with a known object, since on a free-threaded build another
// thread may release it the moment it is returned.
inline PyObject *type_lookup_for_identity(PyTypeObject *type, PyObject *name) noexcept
{
    return _PyType_Lookup(type, name);
}

// The generic attribute lookup that, for a missing attribute, returns null
// without making the AttributeError (the suppress flag).
inline PyObject *generic_getattr_or_null(PyObject *obj, PyObject *name) noexcept
{
    return _PyObject_GenericGetAttrWithDict(obj, name, nullptr, 1);
}

// ---------------------------------------------------------------------------
// "Called under the object's critical section", checked in a debug build
//
// What the interpreter asserts with _Py_CRITICAL_SECTION_ASSERT_OBJECT_LOCKED,
// an internal macro, here through public calls: on a free-threaded debug
// build, that the object's own mutex is locked, unless the caller holds the
// only reference (no other thread can reach the object then).  The public
// calls tell that the mutex is locked, not that this thread locked it.
// PyMutex_IsLocked is public from 3.14 on; elsewhere the check compiles to
// nothing, as the interpreter's own does with the GIL.

#if defined(Py_GIL_DISABLED) && defined(Py_DEBUG) && PY_VERSION_HEX >= 0x030E0000
inline bool locked_or_unshared(const PyObject *op) noexcept
{
    PyObject *obj = const_cast<PyObject *>(op);  // the mutex is only read
    return Py_REFCNT(obj) == 1 || PyMutex_IsLocked(&obj->ob_mutex);
}
#define TESSEL_ASSERT_OBJECT_LOCKED(op)                                                                                \
    assert(tessel::compat::locked_or_unshared(reinterpret_cast<const PyObject *>(op)))
#else
#define TESSEL_ASSERT_OBJECT_LOCKED(op) ((void)0)
#endif

// ---------------------------------------------------------------------------
// Taking a reference to an object another thread may free (free-threaded builds)

#ifdef Py_GIL_DISABLED
// Increments the count unless the object is being freed (3.14 on); before
// that the interpreter offers no such call, and callers take the lock.
inline bool try_incref([[maybe_unused]] PyObject *obj) noexcept
{
#if PY_VERSION_HEX >= 0x030E0000
    return PyUnstable_TryIncRef(obj) != 0;
#else
    return false;
#endif
}

// Makes later try_incref calls on `obj` succeed while it lives.
inline void enable_try_incref([[maybe_unused]] PyObject *obj) noexcept
{
#if PY_VERSION_HEX >= 0x030E0000
    PyUnstable_EnableTryIncRef(obj);
#endif
}
#endif

// ---------------------------------------------------------------------------
// What a cache of attribute-lookup results can be keyed on

// True for an object the interpreter never frees, so its address never comes
// to stand for another object (names in code are such on 3.12 and newer).
inline bool never_freed(PyObject *obj) noexcept
{
#if PY_VERSION_HEX >= 0x030C0000
    return _Py_IsImmortal(obj);
#else
    (void)obj;
    return false;
#endif
}

// ---------------------------------------------------------------------------
// Codec names that PyUnicode_Decode decodes without the codec registry
//
// CPython 3.11 to 3.15 (checked against 3.14.7 and 3.15.0rc2): PyUnicode_Decode
// in Objects/unicodeobject.c normalises the name with _Py_normalize_encoding
// (lower case, each run of characters other than ASCII letters, digits and
// '.' one '_', dropped at either end, given up past ten characters) and for
// the spellings below calls that codec's own decoder (on Windows also for
// "mbcs", left out here); every other name goes to the codec registry.  A
// caller may call the same decoder itself.

enum class DecodeShortcut : unsigned char {
    kNone,  // through the codec registry
    kUtf8,
    kUtf16,
    kUtf32,
    kAscii,
    kLatin1,
};

inline DecodeShortcut decode_shortcut(const char *encoding) noexcept
{
    constexpr size_t kLongest = 10;  // "iso_8859_1"
    char lower[kLongest + 1];
    size_t length = 0;
    bool punctuation = false;
    for (const char *p = encoding; *p != '\0'; ++p) {
        const unsigned char c = static_cast<unsigned char>(*p);
        const bool letter = (c | 0x20) >= 'a' && (c | 0x20) <= 'z';
        const bool digit = c >= '0' && c <= '9';
        if (!letter && !digit && c != '.') {
            punctuation = true;
            continue;
        }
        if (punctuation && length > 0) {
            if (length == kLongest) {
                return DecodeShortcut::kNone;
            }
            lower[length++] = '_';
        }
        punctuation = false;
        if (length == kLongest) {
            return DecodeShortcut::kNone;
        }
        lower[length++] = static_cast<char>(letter ? c | 0x20 : c);
    }
    assert(length <= kLongest);
    lower[length] = '\0';
    struct Spelling {
        const char *name;
        DecodeShortcut codec;
    };
    static constexpr Spelling kSpellings[] = {
        {"utf8", DecodeShortcut::kUtf8},         {"utf_8", DecodeShortcut::kUtf8},
        {"utf16", DecodeShortcut::kUtf16},       {"utf_16", DecodeShortcut::kUtf16},
        {"utf32", DecodeShortcut::kUtf32},       {"utf_32", DecodeShortcut::kUtf32},
        {"ascii", DecodeShortcut::kAscii},       {"us_ascii", DecodeShortcut::kAscii},
        {"latin1", DecodeShortcut::kLatin1},     {"latin_1", DecodeShortcut::kLatin1},
        {"iso_8859_1", DecodeShortcut::kLatin1}, {"iso8859_1", DecodeShortcut::kLatin1},
    };
    for (const Spelling &spelling : kSpellings) {
        if (strcmp(lower, spelling.name) == 0) {  // <string.h> comes with Python.h
            return spelling.codec;
        }
    }
    return DecodeShortcut::kNone;
}

}  // namespace tessel::compat

#endif  // TESSEL_COMPAT_H
