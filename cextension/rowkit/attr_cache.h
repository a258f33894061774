// The attribute-name table: names known to be no attribute of a row class,
// so that row.<column> skips the type's attribute probe.  A fixed table of
// entries shared by all threads, each guarded by a seqlock; one entry point,
// surely_not_an_attribute().
#ifndef TESSEL_ROWKIT_ATTR_CACHE_H
#define TESSEL_ROWKIT_ATTR_CACHE_H

#include "lookup.h"

namespace {

// What an entry says: `name` is nothing along the MRO of `type` while the
// type's version is `version`.  The interpreter renews a version whenever
// the class or a base changes, and an entry keeps only names that are never
// freed, so a stale entry can match neither a changed class nor another
// name.  Only the main interpreter uses the table: each interpreter numbers
// versions on its own, so a class freed in one and another made at its
// address in the next could share a number.  (The free-threaded build loads
// our modules in no other interpreter.)
//
// Threads share the table without a lock: each entry is a seqlock.
//   - sequence is even while nobody writes the entry, odd while one writer
//     does; a writer takes it from even to odd with a compare-exchange, so
//     only one writes at a time, and from odd to the next even when done.
//     One that finds it odd leaves the entry to the writer at work.
//   - a reader reads sequence, then the fields, then sequence again, and
//     trusts the fields only when both reads are the same even count;
//     otherwise it misses, which only costs the type's attribute probe.
//   - version != 0 and never_freed(name) for every entry written.
struct NotAnAttribute {
    std::uint32_t sequence;
    std::uint32_t version;
    PyTypeObject *type;
    PyObject *name;
};

constexpr std::size_t kNotAnAttributeSlots = 64;
static_assert((kNotAnAttributeSlots & (kNotAnAttributeSlots - 1)) == 0, "a mask picks the slot");
NotAnAttribute not_an_attribute[kNotAnAttributeSlots];

// Empties the table, when the interpreter whose classes it describes is gone.
void forget_not_an_attribute() noexcept
{
    for (NotAnAttribute &entry : not_an_attribute) {
        entry = NotAnAttribute{};
    }
}

inline bool in_main_interpreter() noexcept
{
    if constexpr (!tessel::compat::kFreeThreadedBuild) {
        return PyInterpreterState_Get() == main_interpreter;
    }
    else {
        return true;
    }
}

inline NotAnAttribute &not_an_attribute_entry(PyObject *name, std::uint32_t version) noexcept
{
    std::size_t hash = (reinterpret_cast<std::uintptr_t>(name) >> 4) ^ version;
    return not_an_attribute[hash & (kNotAnAttributeSlots - 1)];
}

inline bool known_not_an_attribute(NotAnAttribute &entry, PyTypeObject *type, PyObject *name,
                                   std::uint32_t version) noexcept
{
    // Acquiring loads: a field from a write under way makes the second count
    // read show that write (odd, or past it).
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
    assert(version != 0 && tessel::compat::never_freed(name));
    // Releasing stores: whoever reads one of them also sees the odd count.
    store_release(&entry.name, name);
    store_release(&entry.type, type);
    store_release(&entry.version, version);
    // Nobody else writes while the count is odd.
    assert(load_relaxed(&entry.sequence) == sequence + 1);
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

}  // namespace

#endif  // TESSEL_ROWKIT_ATTR_CACHE_H
