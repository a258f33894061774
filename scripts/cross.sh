#!/usr/bin/env bash
# Compiles and links every extension module that meson.build lists, with our
# warnings as errors, for the platforms this machine can't run, against the
# headers of CPython 3.11, 3.14 and 3.14t; prints a line per target and
# interpreter and fails naming each target that fails.
# Usage: scripts/cross.sh [TARGET...]      (all five by default)
#   macos-arm64     zig's Clang and libc++, macOS 11.0 (the arm64 wheels' deployment target)
#   macos-x86_64    zig's Clang and libc++, macOS 10.13 (the x86-64 wheels')
#   windows-msvc    Clang in MSVC mode (_MSC_VER 1930), Wine's C runtime headers and
#                   import libraries, libc++'s headers; linked by lld-link
#   windows-mingw   Debian's MinGW-w64 GCC 12
#   freebsd-x86_64  zig's Clang and libc++, FreeBSD 14
# scripts/cross.sh --regenerate rewrites the configure results kept in
# tests/cross/ (see there) and exits.
#
# What this proves is that our sources compile and link there: the wheel
# workflow builds and runs the real wheels.  Linking needs the interpreter's
# symbols: macOS looks them up when the module is loaded (-undefined
# dynamic_lookup, as the wheels do), FreeBSD's shared objects may leave them
# undefined, and Windows links against an import library made here from the
# names the headers export (PyAPI_FUNC, PyAPI_DATA), so a call to anything
# else fails the link, as it would with the real python3XY.lib.
#
# Compiled objects are kept under build/cross/ with a stamp of everything that
# went into them (our sources, the headers, the flags, the compiler): a second
# run over unchanged sources reuses them.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

all_targets=(macos-arm64 macos-x86_64 windows-msvc windows-mingw freebsd-x86_64)
pythons=(3.11 3.14 3.14t)
regenerate=0
targets=()
for arg in "$@"; do
    case "$arg" in
        --regenerate) regenerate=1 ;;
        *) targets+=("$arg") ;;
    esac
done
[ ${#targets[@]} -gt 0 ] || targets=("${all_targets[@]}")

say() { printf '=== cross: %s\n' "$*" >&2; }
die() { printf 'cross.sh: %s\n' "$*" >&2; exit 1; }

work="$root/build/cross"
fixtures="$root/tests/cross"
mkdir -p "$work"

# --- tools -------------------------------------------------------------------

# zig (its Clang, libc++ headers, the macOS and FreeBSD C libraries, lld-link
# and dlltool), pinned in requirements-cross.txt, in an environment of its own.
tools="$work/tools"
tools_python=$(bash scripts/python.sh 3.13) || die "no interpreter for the tools"
if [ ! -x "$tools/bin/python" ]; then
    "$tools_python" -m venv "$tools"
fi
want=$(sha256sum requirements-cross.txt | cut -d' ' -f1)
if [ "$(cat "$tools/.requirements.sha256" 2>/dev/null)" != "$want" ]; then
    PYTHONWARNINGS=ignore "$tools/bin/python" -m pip install -q --disable-pip-version-check -r requirements-cross.txt >&2 \
        || die "could not install requirements-cross.txt"
    echo "$want" > "$tools/.requirements.sha256"
fi
# zig's own cache (the C libraries it builds for each target, compiled objects) stays under build/ too.
export ZIG_GLOBAL_CACHE_DIR="$work/zig-cache" ZIG_LOCAL_CACHE_DIR="$work/zig-cache"
zig() { "$tools/bin/python" -m ziglang "$@"; }
zig_lib=$("$tools/bin/python" -c 'import os, ziglang; print(os.path.join(os.path.dirname(ziglang.__file__), "lib"))')

need_debs=()
for t in "${targets[@]}"; do
    case "$t" in
        windows-msvc) need_debs+=(libwine-dev) ;;
        windows-mingw) need_debs+=(g++-mingw-w64-x86-64-posix) ;;
    esac
done
if [ ${#need_debs[@]} -gt 0 ]; then
    bash scripts/debs.sh "${need_debs[@]}" || die "could not install ${need_debs[*]}"
fi
wine_include=/usr/include/wine/wine
wine_lib=/usr/lib/x86_64-linux-gnu/wine/x86_64-windows

# --- headers -----------------------------------------------------------------

# The 3.14.7 tarball (the one scripts/python.sh builds from) gives the headers
# of 3.14 and 3.14t and Windows' PC/pyconfig.h, which serves Windows as
# shipped.  3.11's headers are those of the interpreter the test command runs
# (its own Linux pyconfig.h left out); the platform's configure results
# (tests/cross/) and PC/pyconfig.h are the 3.14.7 tarball's for it too, the
# 3.11 tarball not being in the Debian archive we reach.
cache=${TESSEL_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/tessel}
tarball="$cache/python3.14_3.14.7.orig.tar.xz"
headers="$work/headers"
if [ ! -f "$headers/3.14/Python.h" ] || [ ! -f "$headers/pc/pyconfig.h" ]; then
    [ -f "$tarball" ] || bash scripts/python.sh 3.14 >/dev/null || die "no CPython 3.14.7 tarball (scripts/python.sh 3.14 fetches it)"
    rm -rf "$headers" "$work/src"
    mkdir -p "$work/src" "$headers/pc"
    tar -xJf "$tarball" -C "$work/src" Python-3.14.7/Include Python-3.14.7/PC/pyconfig.h
    cp -r "$work/src/Python-3.14.7/Include" "$headers/3.14"
    cp "$work/src/Python-3.14.7/PC/pyconfig.h" "$headers/pc/pyconfig.h"
fi
if [ ! -f "$headers/3.11/Python.h" ]; then
    py311=$(bash scripts/python.sh 3.11) || die "no CPython 3.11 for its headers"
    include=$("$py311" -c 'import sysconfig; print(sysconfig.get_config_var("INCLUDEPY"))')
    mkdir -p "$headers/3.11"
    cp -r "$include"/. "$headers/3.11/"
    rm -f "$headers/3.11/pyconfig.h"
fi
include_of() { echo "$headers/${1%t}"; }

# --- regenerating the configure results ---------------------------------------

# CPython's configure, run as a cross build against zig's C libraries, gives
# each platform's pyconfig.h.  It takes about a minute a target, so its
# results are kept in tests/cross/, comments and blank lines dropped.  The
# Darwin release is set to 20 so that configure doesn't define _XOPEN_SOURCE
# (which hides what macOS adds to POSIX); FreeBSD is not among the cross
# builds configure knows, so a copy of it is told to go on.
if [ "$regenerate" = 1 ]; then
    build_python=$(bash scripts/python.sh 3.14) || die "no CPython 3.14 to run configure with"
    rm -rf "$work/configure"
    mkdir -p "$work/configure" "$fixtures"
    tar -xJf "$tarball" -C "$work/configure"
    source_dir="$work/configure/Python-3.14.7"
    sed -e 's/^\t\tMACHDEP="unknown"$/\t\t_host_ident=$host_cpu/' \
        -e 's/^\t\tas_fn_error $? "cross build not supported for $host" "$LINENO" 5$/\t\t:/' \
        "$source_dir/configure" > "$source_dir/configure.any"
    chmod +x "$source_dir/configure.any"
    for spec in "macos-arm64 aarch64-macos aarch64-apple-darwin20 darwin Darwin 20.0.0" \
                "macos-x86_64 x86_64-macos x86_64-apple-darwin20 darwin Darwin 20.0.0" \
                "freebsd-x86_64 x86_64-freebsd x86_64-unknown-freebsd14 freebsd14 FreeBSD 14.0"; do
        read -r name zig_target host machdep system release <<<"$spec"
        say "configure for $name"
        dir="$work/configure/$name"
        mkdir -p "$dir"
        printf '#!/bin/sh\nexec %q -m ziglang cc -target %s "$@"\n' "$tools/bin/python" "$zig_target" > "$dir/cc"
        chmod +x "$dir/cc"
        (
            cd "$dir"
            CC="$dir/cc" CPP="$dir/cc -E" MACHDEP=$machdep ac_sys_system=$system ac_sys_release=$release \
            ac_cv_buggy_getaddrinfo=no ac_cv_file__dev_ptmx=no ac_cv_file__dev_ptc=no \
                "$source_dir/configure.any" --host="$host" --build=x86_64-pc-linux-gnu \
                --with-build-python="$build_python" --without-ensurepip --disable-test-modules >"$dir.log" 2>&1
        ) || die "configure for $name failed (see $dir.log)"
        {
            echo "/* CPython 3.14.7's configure for $host, run by scripts/cross.sh --regenerate. */"
            grep -E '^[[:space:]]*#' "$dir/pyconfig.h"
        } > "$fixtures/pyconfig-$name.h"
    done
    exit 0
fi

# --- the modules --------------------------------------------------------------

# Every native module of meson.build's extensions list: "name source".
mapfile -t modules < <("$tools/bin/python" - <<'EOF'
import re
text = open("meson.build").read()
block = text[text.index("extensions = ["):]
block = block[:block.index("\n]")]
for name, source in re.findall(r"\[\s*'(\w+)',\s*'([^']+)'", block):
    print(name, source)
EOF
)
[ ${#modules[@]} -gt 0 ] || die "found no extension modules in meson.build"

# The flags of our own release builds (meson's warning_level=2, werror, the
# extension arguments of meson.build).
common=(-std=c++20 -O3 -DNDEBUG -Wall -Winvalid-pch -Wextra -Werror -fno-exceptions -fno-rtti -fno-threadsafe-statics
        -Wno-missing-field-initializers)
elf_or_macho=(-fPIC -fvisibility=hidden -fvisibility-inlines-hidden)

# Apple's rules for what its libc++ has at a deployment target (zig turns them
# off, as it links a libc++ of its own; the wheels use the system's):
# std::to_chars of a double at macOS 11 is then an error, as with Xcode.
# Zig's libc++ no longer supports targets before macOS 11 and says so with a
# #warning, which is let pass for the x86-64 wheels' 10.13.
apple_availability=(-U_LIBCPP_HAS_VENDOR_AVAILABILITY_ANNOTATIONS -D_LIBCPP_HAS_VENDOR_AVAILABILITY_ANNOTATIONS=1)

# libc++ configured as zig configures it, here for the Microsoft ABI and
# without Microsoft's vcruntime headers (which Wine doesn't have).
libcxx_msvc=(-D_LIBCPP_ABI_VERSION=1 -D_LIBCPP_ABI_NAMESPACE=__1 -D_LIBCPP_NO_VCRUNTIME -D_LIBCPP_HAS_THREADS=1
             -D_LIBCPP_HAS_MONOTONIC_CLOCK -D_LIBCPP_HAS_TERMINAL -D_LIBCPP_HAS_MUSL_LIBC=0
             -D_LIBCPP_DISABLE_VISIBILITY_ANNOTATIONS -D_LIBCPP_HAS_VENDOR_AVAILABILITY_ANNOTATIONS=0
             -D_LIBCPP_HAS_FILESYSTEM=1 -D_LIBCPP_HAS_RANDOM_DEVICE -D_LIBCPP_HAS_LOCALIZATION -D_LIBCPP_HAS_UNICODE
             -D_LIBCPP_HAS_WIDE_CHARACTERS -D_LIBCPP_HAS_NO_STD_MODULES -D_LIBCPP_PSTL_BACKEND_SERIAL
             -D_LIBCPP_HARDENING_MODE=_LIBCPP_HARDENING_MODE_NONE
             -D_LIBCPP_ASSERTION_SEMANTIC_DEFAULT=_LIBCPP_ASSERTION_SEMANTIC_IGNORE)

# import_library PYTHON: python3XY[t].lib for that interpreter, from the names
# its headers export (every PyAPI_FUNC and PyAPI_DATA, whatever the build
# options around them: a superset of what the DLL has, never less).
import_library() {
    local v=$1 dll lib
    dll="python$(tr -d . <<<"${v%t}")${v//[0-9.]/}"
    lib="$work/implib/$dll.lib"
    if [ ! -f "$lib" ]; then
        mkdir -p "$work/implib"
        "$tools/bin/python" - "$(include_of "$v")" "$dll.dll" > "$work/implib/$dll.def" <<'EOF'
import pathlib, re, sys
include, dll = pathlib.Path(sys.argv[1]), sys.argv[2]
declared = re.compile(r"PyAPI_(?:FUNC|DATA)\s*\([^;{]*?\)\s*\(?\s*\*?\s*([A-Za-z_]\w*)\s*[(\[;,)]", re.S)
renamed = re.compile(r"^[ \t]*#[ \t]*define[ \t]+([A-Za-z_]\w*)[ \t]+([A-Za-z_]\w*)[ \t]*$", re.M)
names, renames = set(), {}
for header in include.rglob("*.h"):
    text = re.sub(r"/\*.*?\*/", " ", header.read_text(errors="replace"), flags=re.S)
    renames.update(renamed.findall(text))
    text = re.sub(r"^[ \t]*#[ \t]*define[^\n]*(?:\\\n[^\n]*)*", " ", text, flags=re.M)
    names.update(declared.findall(text))
# A declaration a macro renames (3.11's PyArg_ParseTuple is _PyArg_ParseTuple_SizeT
# under PY_SSIZE_T_CLEAN) exports the name it becomes too.
names |= {renames[name] for name in names if name in renames}
print(f"LIBRARY {dll}\nEXPORTS")
print("\n".join(f"    {name}" for name in sorted(names)))
EOF
        zig dlltool -m i386:x86-64 -d "$work/implib/$dll.def" -l "$lib" || die "dlltool failed for $dll"
    fi
    echo "$lib"
}

# compile TARGET PYTHON SOURCE OBJECT; link TARGET PYTHON OUTPUT OBJECT
compile() {
    local target=$1 v=$2 source=$3 object=$4 include ft=()
    include=$(include_of "$v")
    [[ "$v" != *t ]] || ft=(-DPy_GIL_DISABLED=1)
    case "$target" in
        macos-arm64)
            zig c++ -target aarch64-macos.11.0 "${common[@]}" "${elf_or_macho[@]}" "${apple_availability[@]}" "${ft[@]}" \
                -I"$work/platform/$target" -I"$include" -c "$source" -o "$object" ;;
        macos-x86_64)
            zig c++ -target x86_64-macos.10.13 "${common[@]}" "${elf_or_macho[@]}" "${apple_availability[@]}" \
                -Wno-#warnings "${ft[@]}" \
                -I"$work/platform/$target" -I"$include" -c "$source" -o "$object" ;;
        freebsd-x86_64)
            zig c++ -target x86_64-freebsd "${common[@]}" "${elf_or_macho[@]}" "${ft[@]}" \
                -I"$work/platform/$target" -I"$include" -c "$source" -o "$object" ;;
        windows-msvc)
            # What meson adds for MSVC (sscanf is the standard one); the
            # import library is linked by name below, not by pyconfig.h's pragma.
            zig clang --target=x86_64-pc-windows-msvc -fms-compatibility -fms-extensions \
                -fms-compatibility-version=19.30 -nostdinc -isystem "$zig_lib/libcxx/include" \
                -isystem "$zig_lib/include" -isystem "$wine_include/msvcrt" -isystem "$wine_include/windows" \
                "${libcxx_msvc[@]}" "${common[@]}" "${ft[@]}" -D_CRT_SECURE_NO_WARNINGS -DPy_NO_LINK_LIB \
                -I"$headers/pc" -I"$include" -c "$source" -o "$object" ;;
        windows-mingw)
            # GCC 12 warns of an out-of-bounds read in mingw-w64's own
            # __readgsqword, a false alarm of its page-size heuristic.
            x86_64-w64-mingw32-g++-posix --param=min-pagesize=0 "${common[@]}" "${ft[@]}" \
                -I"$headers/pc" -I"$include" -c "$source" -o "$object" ;;
        *) die "unknown target $target" ;;
    esac
}

link() {
    local target=$1 v=$2 output=$3 object=$4
    case "$target" in
        macos-arm64) zig cc -target aarch64-macos.11.0 -shared -undefined dynamic_lookup -o "$output" "$object" ;;
        macos-x86_64) zig cc -target x86_64-macos.10.13 -shared -undefined dynamic_lookup -o "$output" "$object" ;;
        freebsd-x86_64) zig cc -target x86_64-freebsd -shared -Wl,--fatal-warnings -o "$output" "$object" ;;
        windows-msvc)
            # No entry point and no default libraries: the C runtime's DLLs
            # through Wine's import libraries, and _fltused, which the static
            # part of the runtime would give, from tests/cross/.
            zig lld-link /nologo /dll /noentry /nodefaultlib /machine:x64 /out:"$output" "$object" \
                "$work/fltused.obj" "$(import_library "$v")" "$wine_lib/libucrtbase.a" "$wine_lib/libvcruntime140.a" ;;
        windows-mingw)
            x86_64-w64-mingw32-g++-posix -shared -static-libgcc -static-libstdc++ -Wl,--fatal-warnings \
                -o "$output" "$object" "$(import_library "$v")" ;;
    esac
}

# The platform's configure results, from tests/cross/, as pyconfig.h.
for target in "${targets[@]}"; do
    [ -f "$fixtures/pyconfig-$target.h" ] || continue
    mkdir -p "$work/platform/$target"
    cmp -s "$fixtures/pyconfig-$target.h" "$work/platform/$target/pyconfig.h" 2>/dev/null \
        || cp "$fixtures/pyconfig-$target.h" "$work/platform/$target/pyconfig.h"
done
if [[ " ${targets[*]} " == *" windows-msvc "* ]] && [ ! -f "$work/fltused.obj" ]; then
    zig clang --target=x86_64-pc-windows-msvc -c "$fixtures/fltused.c" -o "$work/fltused.obj"
fi

# --- the run -----------------------------------------------------------------

# A stamp of everything a target's objects come from: our sources, the
# headers, this script, the fixtures and the compilers' versions.
inputs=$( (cat cextension/*.* cextension/*/* scripts/cross.sh "$fixtures"/* requirements-cross.txt;
           find "$headers" -type f -name '*.h' -print0 | sort -z | xargs -0 cat;
           x86_64-w64-mingw32-g++-posix --version 2>/dev/null || true) | sha256sum | cut -d' ' -f1)

failed=()
results="$work/results"
mkdir -p "$results"
for target in "${targets[@]}"; do
    [[ " ${all_targets[*]} " == *" $target "* ]] || die "unknown target $target (${all_targets[*]})"
    for v in "${pythons[@]}"; do
        out="$work/out/$target/$v"
        stamp="$out/.stamp"
        if [ "$(cat "$stamp" 2>/dev/null)" = "$inputs" ]; then
            echo "$target $v compiled linked (unchanged)"
            continue
        fi
        rm -rf "$out"
        mkdir -p "$out"
        ok=1
        compiled=0 linked=0
        for entry in "${modules[@]}"; do
            read -r name source <<<"$entry"
            if compile "$target" "$v" "$source" "$out/$name.o" 2>"$out/$name.compile.log"; then
                compiled=$((compiled + 1))
            else
                ok=0
                sed "s|^|[$target $v $name] |" "$out/$name.compile.log" >&2
                continue
            fi
            suffix=so
            [[ "$target" != windows-* ]] || suffix=pyd
            if link "$target" "$v" "$out/$name.$suffix" "$out/$name.o" 2>"$out/$name.link.log"; then
                linked=$((linked + 1))
            else
                ok=0
                sed "s|^|[$target $v $name link] |" "$out/$name.link.log" >&2
            fi
        done
        if [ "$ok" = 1 ]; then
            echo "$inputs" > "$stamp"
            echo "$target $v compiled linked"
        else
            echo "$target $v FAILED: $compiled of ${#modules[@]} compiled, $linked linked"
            [[ " ${failed[*]} " == *" $target "* ]] || failed+=("$target")
        fi
    done
done
if [ ${#failed[@]} -gt 0 ]; then
    echo "cross: failed for ${failed[*]}" >&2
    exit 1
fi
