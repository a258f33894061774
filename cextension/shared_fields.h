// The rules for fields that threads share, and the one vocabulary of atomics
// they are written in.
//
// Everything here compiles with GCC, with Clang on libstdc++ or libc++ (of
// any version: no std::atomic_ref), and with MSVC.  Atomics are the
// interpreter's own _Py_atomic_* functions from its public headers, which
// CPython compiles with all three; they exist on every free-threaded build
// (3.13 on).  With the GIL every access below is a plain load or store: the
// GIL orders them.
#ifndef TESSEL_SHARED_FIELDS_H
#define TESSEL_SHARED_FIELDS_H

#include "portable.h"

#include <cstdint>
#include <type_traits>

namespace tessel::shared {

// ---------------------------------------------------------------------------
// One vocabulary for atomic access
//
// Pointers (any T *), Py_ssize_t and 32-bit unsigned counters.  Relaxed for
// values read on their own; acquire/release where a reader must also see
// what the writer stored before (a published object, a sequence count);
// compare_exchange is sequentially consistent.

static_assert(std::is_same_v<std::uint32_t, unsigned int>, "32-bit counters are unsigned int");

#ifdef Py_GIL_DISABLED
template <typename T>
inline T *load_relaxed(T *const *field) noexcept
{
    return static_cast<T *>(_Py_atomic_load_ptr_relaxed(field));
}

template <typename T>
inline void store_relaxed(T **field, T *value) noexcept
{
    _Py_atomic_store_ptr_relaxed(field, value);
}

template <typename T>
inline T *load_acquire(T *const *field) noexcept
{
    return static_cast<T *>(_Py_atomic_load_ptr_acquire(field));
}

template <typename T>
inline void store_release(T **field, T *value) noexcept
{
    _Py_atomic_store_ptr_release(field, value);
}

// Stores `desired` if the field holds `expected`; otherwise false, with
// `expected` set to what it holds.
template <typename T>
inline bool compare_exchange(T **field, T *&expected, T *desired) noexcept
{
    void *seen = expected;
    bool stored = _Py_atomic_compare_exchange_ptr(field, &seen, desired) != 0;
    expected = static_cast<T *>(seen);
    return stored;
}

inline Py_ssize_t load_relaxed(const Py_ssize_t *field) noexcept
{
    return _Py_atomic_load_ssize_relaxed(field);
}

inline void store_relaxed(Py_ssize_t *field, Py_ssize_t value) noexcept
{
    _Py_atomic_store_ssize_relaxed(field, value);
}

inline std::uint32_t load_relaxed(const std::uint32_t *field) noexcept
{
    return _Py_atomic_load_uint32_relaxed(field);
}

inline void store_relaxed(std::uint32_t *field, std::uint32_t value) noexcept
{
    _Py_atomic_store_uint32_relaxed(field, value);
}

inline std::uint32_t load_acquire(const std::uint32_t *field) noexcept
{
    return _Py_atomic_load_uint32_acquire(field);
}

inline void store_release(std::uint32_t *field, std::uint32_t value) noexcept
{
    _Py_atomic_store_uint32_release(field, value);
}

inline bool compare_exchange(std::uint32_t *field, std::uint32_t &expected, std::uint32_t desired) noexcept
{
    return _Py_atomic_compare_exchange_uint32(field, &expected, desired) != 0;
}
#else
template <typename T>
inline T load_relaxed(const T *field) noexcept
{
    return *field;
}

template <typename T, typename U>
inline void store_relaxed(T *field, U value) noexcept
{
    *field = value;
}

template <typename T>
inline T load_acquire(const T *field) noexcept
{
    return *field;
}

template <typename T, typename U>
inline void store_release(T *field, U value) noexcept
{
    *field = value;
}

template <typename T>
inline bool compare_exchange(T *field, T &expected, T desired) noexcept
{
    if (*field != expected) {
        expected = *field;
        return false;
    }
    *field = desired;
    return true;
}
#endif

// ---------------------------------------------------------------------------
// Object fields that another thread may replace
//
// Without the GIL a field written by a setter can be swapped and its old
// value released while another thread reads it.  The interpreter's own
// discipline for lists and dicts applies: writers swap under the owner's
// critical section and release the old value after leaving it; readers load
// the pointer atomically and take their reference optimistically, falling
// back to the section when that fails.  The optimistic read may touch an
// object another thread has just freed.  That is safe for the reason the
// interpreter's own lock-free dict and list reads are: the free-threaded
// allocator leaves a freed object's header (owning thread and reference
// counts) in place and its memory readable as an object until every thread
// has passed a quiescent point (CPython's Python/pystate.c, where the
// mimalloc heaps are set up: "We may access ob_tid and the refcount fields in
// the dict and list lock-less accesses, so they must remain valid for a while
// after deallocation").  With the GIL all of this is a plain access.

// A reference that only this thread can drop to zero while it isn't running
// Python code: whatever another thread releases, the object stays alive.
inline bool owned_by_this_thread([[maybe_unused]] PyObject *obj) noexcept
{
#ifdef Py_GIL_DISABLED
    return _Py_IsOwnedByCurrentThread(obj);
#else
    return true;
#endif
}

// A new reference to what *field holds (null when it holds nothing), read
// while another thread may replace it through replace_field on `owner`.
inline PyObject *field_ref([[maybe_unused]] PyObject *owner, PyObject *const *field) noexcept
{
#ifdef Py_GIL_DISABLED
    PyObject *value = load_acquire(field);
    if (value == nullptr) {
        return nullptr;
    }
    if (owned_by_this_thread(value)) {
        Py_INCREF(value);
        return value;
    }
    // The try-increment keeps a freed object's count at zero, and the second
    // load tells whether the field still holds what we got.
    if (tessel::compat::try_incref(value)) {
        if (load_acquire(field) == value) {
            return value;
        }
        Py_DECREF(value);
    }
    Py_BEGIN_CRITICAL_SECTION(owner);
    value = Py_XNewRef(*field);
    if (value != nullptr) {
        tessel::compat::enable_try_incref(value);  // so the next read needs no lock
    }
    Py_END_CRITICAL_SECTION();
    return value;
#else
    return Py_XNewRef(*field);
#endif
}

// The object in *field, borrowed, where that is safe until this thread next
// runs Python code or releases a reference: always with the GIL, and without
// it when this thread owns the object (no other thread can free it then).
// Null otherwise, and when the field is empty: take field_ref() instead.
inline PyObject *field_if_unshared(PyObject *const *field) noexcept
{
    PyObject *value = load_acquire(field);
    return value != nullptr && owned_by_this_thread(value) ? value : nullptr;
}

// ---------------------------------------------------------------------------
// Objects whose __init__ may run again
//
// __init__ (or a setter) may run again on an object that other threads are
// reading.  Rows and both processors keep to one pattern:
//  1. Make each new value before storing it, outside any lock: making one
//     may run Python code, which must not run inside the object's critical
//     section.
//  2. Store values that must agree with each other inside one critical
//     section on the object, each with swap_field(), together with any word
//     derived from them; a field that stands alone is stored by itself with
//     replace_field().  What the fields held is released after the section,
//     as a release may run Python code.
//  3. Read a field that stands alone with field_ref(), without the lock;
//     fields that must agree inside one critical section; a derived word
//     that holds no reference with load_relaxed().
// A row's fields stand alone (its setters replace them one by one, and a
// failed __init__ leaves those it stored); a Decimal processor's type and
// format must agree; a Unicode processor's route is a word derived from its
// names, read on every call without the lock.

// Called under the owner's critical section: stores `steal` in *field (a
// field of `owner`) and returns what the field held, for the caller to
// release after the section.
inline PyObject *swap_field([[maybe_unused]] PyObject *owner, PyObject **field, PyObject *steal) noexcept
{
    TESSEL_ASSERT_OBJECT_LOCKED(owner);
    PyObject *old = *field;
    store_release(field, steal);
    return old;
}

// Stores `steal` in *field under the owner's section and releases what it
// replaces after leaving it (its destructor may run Python code).
inline void replace_field([[maybe_unused]] PyObject *owner, PyObject **field, PyObject *steal) noexcept
{
    PyObject *old;
    Py_BEGIN_CRITICAL_SECTION(owner);
    old = swap_field(owner, field, steal);
    Py_END_CRITICAL_SECTION();
    Py_XDECREF(old);
}

// The version of what the type and its bases hold, as the interpreter's own
// attribute cache keys it: renewed whenever either changes, never reused for
// another state, and 0 while the type has none.  Another thread may renew it
// while we read.
inline std::uint32_t type_version(PyTypeObject *type) noexcept
{
    return load_relaxed(&type->tp_version_tag);
}

}  // namespace tessel::shared

#endif  // TESSEL_SHARED_FIELDS_H
