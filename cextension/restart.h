// Static type objects across an interpreter's end and a new start.
//
// Our types are static and readied once, but what readying fills in (their
// dictionaries, bases, MROs, names) belongs to the interpreter of the time.
// An embedding application may end it (Py_FinalizeEx) and start another in
// the same process; the types would then still read as ready, pointing into
// freed memory.  So each module keeps a copy of its types as compiled, and
// at the very end of Py_FinalizeEx (Py_AtExit, when no Python code can run)
// puts them back, along with emptying its own caches; the next
// initialisation readies them afresh for the new interpreter.
#ifndef TESSEL_RESTART_H
#define TESSEL_RESTART_H

#include "compat.h"

#include <cstddef>

namespace tessel {

template <std::size_t N>
struct StaticTypes {
    PyTypeObject *types[N];
    PyTypeObject compiled[N];  // taken before the first readying
    bool saved;
    bool exit_registered;  // for the interpreter now running
};

// Readies the types for the running interpreter and has `at_exit` (which
// calls restore_types) run at its end; -1 with an error set.
template <std::size_t N>
int ready_types(StaticTypes<N> &state, void (*at_exit)()) noexcept
{
    if (!state.exit_registered) {
        if (!state.saved) {
            for (std::size_t i = 0; i < N; i++) {
                assert(!PyType_HasFeature(state.types[i], Py_TPFLAGS_READY));
                state.compiled[i] = *state.types[i];
            }
            state.saved = true;
        }
        if (Py_AtExit(at_exit) < 0) {
            // Without it a restarted interpreter would meet stale types.
            PyErr_SetString(PyExc_ImportError,
                            "tessel: no room left for an exit function (Py_AtExit), needed to load the module");
            return -1;
        }
        state.exit_registered = true;
    }
    for (std::size_t i = 0; i < N; i++) {
        if (PyType_Ready(state.types[i]) < 0) {
            return -1;
        }
    }
    return 0;
}

// The types as compiled again; only once the interpreter is gone.
template <std::size_t N>
void restore_types(StaticTypes<N> &state) noexcept
{
    assert(state.saved);
    for (std::size_t i = 0; i < N; i++) {
        *state.types[i] = state.compiled[i];
    }
    state.exit_registered = false;
}

}  // namespace tessel

#endif  // TESSEL_RESTART_H
