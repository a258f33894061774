// The one place that knows which compiler we are built with: GCC, Clang (on
// libstdc++ or libc++) or MSVC.  Everything else in cextension/ is plain
// C++20; how threads share fields is in shared_fields.h.
#ifndef TESSEL_PORTABLE_H
#define TESSEL_PORTABLE_H

#include "compat.h"

// ---------------------------------------------------------------------------
// Compiler hints and the exported symbol

#if defined(_MSC_VER) && !defined(__clang__)
#define TESSEL_NOINLINE __declspec(noinline)
#define TESSEL_ALWAYS_INLINE __forceinline
#define TESSEL_COLD
#elif defined(__GNUC__) || defined(__clang__)
#define TESSEL_NOINLINE __attribute__((noinline))
#define TESSEL_ALWAYS_INLINE inline __attribute__((always_inline))
#define TESSEL_COLD __attribute__((cold))
#else
#define TESSEL_NOINLINE
#define TESSEL_ALWAYS_INLINE inline
#define TESSEL_COLD
#endif

// A symbol native callers may look up in the module's shared object.
#define TESSEL_EXPORT Py_EXPORTED_SYMBOL

#endif  // TESSEL_PORTABLE_H
