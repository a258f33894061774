#!/usr/bin/env bash
# Prints the path of a CPython interpreter of the test matrix, building it into
# a per-user cache when it must.  Usage: scripts/python.sh [FLAVOUR]
#
#   release | 3.14t  free-threaded 3.14.7 (a python3.14t on PATH, else the cached build)
#   debug            free-threaded 3.14.7 --with-pydebug (refcount totals for leak checks)
#   tsan             free-threaded 3.14.7 --with-thread-sanitizer (Debian's GCC)
#   3.14             3.14.7 with the GIL (cached build)
#   3.15             3.15.0rc2 with the GIL (cached build; a forward check)
#   3.11 3.12 3.13   pyenv's interpreters (never built here)
#   aarch64-3.14t    3.14t and 3.14 for Linux aarch64, cross-built with Debian's
#   aarch64-3.14     toolchain; bin/python3.14[t] runs the real binary under qemu
set -euo pipefail

flavour=${1:-release}
cache=${TESSEL_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/tessel}

say() { printf '%s\n' "$*" >&2; }
die() { say "python.sh: $*"; exit 1; }

# is_flavour EXE MAJOR.MINOR GIL_DISABLED(0|1): the interpreter is the one we want.
is_flavour() {
    "$1" -c "import sys, sysconfig; sys.exit(0 if '%d.%d' % sys.version_info[:2] == '$2' and int(sysconfig.get_config_var('Py_GIL_DISABLED') or 0) == $3 else 1)" 2>/dev/null
}

# Extension modules of the standard library that the suite, the host or the
# benchmarks rely on.  An interpreter without one of them is a lesser one (a
# pure-Python decimal, say) and is never used or kept.
required_modules="_decimal _sqlite3 _ctypes zlib _bz2 _lzma _ssl _hashlib _json _pickle _datetime"
# missing_modules EXE: prints the required modules EXE can't import.
missing_modules() {
    "$1" -c "
import importlib, sys
missing = []
for name in sys.argv[1:]:
    try:
        importlib.import_module(name)
    except ImportError:
        missing.append(name)
print(' '.join(missing))" $required_modules 2>/dev/null || echo '(the interpreter does not start)'
}
version=3.14.7
series=3.14
tarball="python3.14_${version}.orig.tar.xz"
sha256=3b48dac8fb59f62eaa67ac83c1eb12bda1b7a08406dd286e252c11a66be27f81
configure_flags=()
make_install_flags=()
mpdec=0
mpdec_version=4.0.1
mpdec_tarball="mpdecimal_${mpdec_version}.orig.tar.gz"
mpdec_sha256=96d33abb4bb0070c7be0fed4246cd38416188325f820468214471938545b1ac8
cc=()
cross=""
case "$flavour" in
    release|3.14t)
        if found=$(command -v python3.14t 2>/dev/null) && is_flavour "$found" 3.14 1; then
            echo "$found"; exit 0
        fi
        flavour=release; gil=1; exe=python3.14t; configure_flags=(--disable-gil) ;;
    debug) gil=1; exe=python3.14td; configure_flags=(--disable-gil --with-pydebug) ;;
    tsan)
        gil=1; exe=python3.14t
        configure_flags=(--disable-gil --with-thread-sanitizer --disable-test-modules)
        cc=(CC=gcc CXX=g++)
        # Byte-compiling the library under TSan takes longer than the build
        # itself, and its errors are ignored anyway: skip it.
        make_install_flags=(PYTHON_FOR_BUILD=true) ;;
    3.14) gil=0; exe=python3.14 ;;
    aarch64-3.14t|aarch64-3.14)
        # CPython cross-builds only with a build interpreter of its own version.
        cross=aarch64-linux-gnu
        if [ "$flavour" = aarch64-3.14t ]; then
            gil=1; exe=python3.14t; configure_flags=(--disable-gil); build_python_flavour=release
        else
            gil=0; exe=python3.14; build_python_flavour=3.14
        fi ;;
    3.15)
        version=3.15.0rc2; series=3.15; gil=0; exe=python3.15
        tarball="python3.15_3.15.0~rc2.orig.tar.xz"
        sha256=8d93af5eaaaea5adfd41bd786a7ba3f03f2ad1ab57c6a65e0b963deab91d5ad7
        # 3.15 no longer carries libmpdec and bookworm has no package of it:
        # without one, decimal would be the pure-Python module.
        mpdec=1 ;;
    3.11|3.12|3.13)
        root=$(pyenv root 2>/dev/null) || root=${PYENV_ROOT:-$HOME/.pyenv}
        for cand in "$root"/versions/"$flavour".*/bin/python"$flavour"; do
            if [ -x "$cand" ] && is_flavour "$cand" "$flavour" 0; then
                missing=$(missing_modules "$cand")
                [ -z "$missing" ] || die "$cand lacks $missing; rebuild it with pyenv after installing what they need"
                echo "$cand"; exit 0
            fi
        done
        if found=$(command -v python"$flavour" 2>/dev/null) && is_flavour "$found" "$flavour" 0; then
            echo "$found"; exit 0
        fi
        die "no CPython $flavour with the GIL found (looked in $root/versions and on PATH); install it with pyenv" ;;
    *) die "unknown flavour '$flavour' (release, 3.14t, debug, tsan, 3.11, 3.12, 3.13, 3.14, 3.15, aarch64-3.14t, aarch64-3.14)" ;;
esac

usable() {
    [ -f "$prefix/.complete" ] && is_flavour "$prefix/bin/$exe" "$series" "$gil" \
        && [ -z "$(missing_modules "$prefix/bin/$exe")" ]
}

suffix=""; [ "$gil" -eq 1 ] && suffix=t
prefix="$cache/cpython-${version}${suffix}-${flavour}"
if usable; then
    echo "$prefix/bin/$exe"; exit 0
fi

# The archive's address comes from the machine's own apt configuration.
mirror() {
    local uri
    uri=$(grep -hsE '^\s*URIs:' /etc/apt/sources.list.d/*.sources 2>/dev/null \
          | awk '{print $2}' | grep -vE 'security|updates' | grep -E '/debian/?$' | head -n1 || true)
    if [ -z "$uri" ]; then
        uri=$(grep -hsE '^\s*deb\s' /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null \
              | awk '{for (i = 2; i <= NF; i++) if ($i ~ /^[a-z]+:\/\//) {print $i; exit}}' \
              | grep -vE 'security' | head -n1 || true)
    fi
    [ -n "$uri" ] || die "no Debian archive found in the apt configuration"
    echo "${uri%/}"
}

build_deps=(build-essential libssl-dev libffi-dev zlib1g-dev libsqlite3-dev libbz2-dev liblzma-dev
            libreadline-dev uuid-dev libgdbm-dev libncurses-dev libzstd-dev pkg-config xz-utils curl)
bash "$(dirname "$0")/debs.sh" "${build_deps[@]}" || die "could not install the build dependencies"

if [ -n "$cross" ]; then
    # The libraries the standard library links, as arm64 multiarch packages.
    bash "$(dirname "$0")/debs.sh" g++-aarch64-linux-gnu qemu-user-static libc6:arm64 \
        libssl-dev:arm64 libffi-dev:arm64 zlib1g-dev:arm64 libsqlite3-dev:arm64 libbz2-dev:arm64 \
        liblzma-dev:arm64 libzstd-dev:arm64 uuid-dev:arm64 \
        || die "could not install the aarch64 cross toolchain and libraries"
    build_python=$(bash "$0" "$build_python_flavour") || die "no build interpreter ($build_python_flavour) for $flavour"
fi

mkdir -p "$cache"
# Two runs wanting the same interpreter wait for each other instead of
# building it twice into one prefix.
exec 9>"$cache/.lock-$flavour"
flock 9
if usable; then
    echo "$prefix/bin/$exe"; exit 0
fi

# fetch NAME SHA256 POOL_DIR: the archive NAME in the cache, checked.
fetch() {
    local name=$1 sum=$2 dir=$3 url
    # Builds of other flavours may fetch the same archive at the same time.
    exec 7>"$cache/.lock-$name"
    flock 7
    if [ -f "$cache/$name" ] && echo "$sum  $cache/$name" | sha256sum -c --status; then
        exec 7>&-
        return
    fi
    url="$(mirror)/pool/main/$dir/${name//\~/%7E}"
    say "downloading $name"
    rm -f "$cache/$name.part"
    curl -fsSL --retry 3 -o "$cache/$name.part" "$url" || die "download of $url failed"
    echo "$sum  $cache/$name.part" | sha256sum -c --status \
        || { rm -f "$cache/$name.part"; die "checksum mismatch for $name (expected sha256 $sum)"; }
    mv "$cache/$name.part" "$cache/$name"
    exec 7>&-
}
fetch "$tarball" "$sha256" "p/python${series}"

work=$(mktemp -d "$cache/build-${flavour}.XXXXXX")
trap 'rm -rf "$work"' EXIT
log="$cache/build-${flavour}.log"
: >"$log"

if [ "$mpdec" = 1 ]; then
    # Static and position-independent, so _decimal carries it and the
    # interpreter needs no library path.  Shared by every flavour that wants it.
    mpdec_prefix="$cache/mpdecimal-${mpdec_version}"
    if [ ! -f "$mpdec_prefix/.complete" ]; then
        fetch "$mpdec_tarball" "$mpdec_sha256" m/mpdecimal
        say "building libmpdec $mpdec_version into $mpdec_prefix"
        mkdir "$work/mpdec"
        tar -xzf "$cache/$mpdec_tarball" -C "$work/mpdec" --strip-components=1
        (
            cd "$work/mpdec"
            ./configure --prefix="$mpdec_prefix" --disable-cxx --disable-shared CFLAGS="-O2 -fPIC"
            make -j"$(nproc)"
            rm -rf "$mpdec_prefix"
            make install
        ) >>"$log" 2>&1 || die "libmpdec $mpdec_version build failed; see $log"
        touch "$mpdec_prefix/.complete"
    fi
    configure_flags+=(--with-system-libmpdec
                      "LIBMPDEC_CFLAGS=-I$mpdec_prefix/include"
                      "LIBMPDEC_LIBS=$mpdec_prefix/lib/libmpdec.a -lm")
fi

say "building CPython $version ($flavour) into $prefix; this takes a few minutes"
mkdir "$work/cpython"
tar -xf "$cache/$tarball" -C "$work/cpython" --strip-components=1
src="$work/cpython"
if [ -n "$cross" ]; then
    # What configure can't find out without running a target program: Linux's
    # devices, and a glibc getaddrinfo that works.
    printf '%s\n' ac_cv_file__dev_ptmx=yes ac_cv_file__dev_ptc=no ac_cv_buggy_getaddrinfo=no >"$work/config.site"
    configure_flags+=(--host="$cross" --build="$(uname -m)-linux-gnu" --with-build-python="$build_python")
    cc=(CC="$cross-gcc" CXX="$cross-g++" READELF="$cross-readelf")
fi
(
    cd "$src"
    if [ -n "$cross" ]; then
        export CONFIG_SITE="$work/config.site"
        export PKG_CONFIG_LIBDIR="/usr/lib/$cross/pkgconfig:/usr/share/pkgconfig"
    fi
    ./configure --prefix="$prefix" "${configure_flags[@]}" --without-ensurepip "${cc[@]}"
    make -j"$(nproc)"
    rm -rf "$prefix"
    make install "${make_install_flags[@]}"
) >>"$log" 2>&1 || die "CPython $version ($flavour) build failed; see $log"
if [ -n "$cross" ]; then
    # No binfmt_misc is assumed: the interpreter's name is a script that runs
    # the real binary under qemu, passing its own path as argv[0] so that
    # sys.executable is the script and subprocesses of it are emulated too.
    mv "$prefix/bin/$exe" "$prefix/bin/$exe-$cross"
    cat >"$prefix/bin/$exe" <<WRAPPER
#!/bin/sh
# The $cross interpreter, under user-mode emulation.
exec qemu-aarch64-static -0 "\$0" "\$(dirname "\$0")/$exe-$cross" "\$@"
WRAPPER
    chmod +x "$prefix/bin/$exe"
fi
if [ "$flavour" = tsan ]; then
    # Kept beside the interpreter: the TSan runs read the interpreter's own suppressions.
    cp "$src/Tools/tsan/suppressions_free_threading.txt" "$prefix/tsan-suppressions.txt"
fi
"$prefix/bin/$exe" -c 'import sys' 2>/dev/null || die "built interpreter $prefix/bin/$exe does not start"
is_flavour "$prefix/bin/$exe" "$series" "$gil" || die "built interpreter $prefix/bin/$exe is not CPython $series with Py_GIL_DISABLED=$gil"
missing=$(missing_modules "$prefix/bin/$exe")
[ -z "$missing" ] || die "CPython $version ($flavour) was built without $missing (see $log); install what they need and run again"
# Marks a finished install, so an interrupted one is rebuilt rather than trusted.
touch "$prefix/.complete"
echo "$prefix/bin/$exe"
