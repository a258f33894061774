#!/usr/bin/env bash
# Prints the path of a free-threaded CPython 3.14 interpreter, building one
# into a per-user cache when none is found.  Usage: scripts/python.sh [release|debug]
#
# release: a python3.14t on PATH, else the cached build.
# debug:   always the cached --with-pydebug build (refcount totals for leak checks).
set -euo pipefail

flavour=${1:-release}
version=3.14.7
sha256=3b48dac8fb59f62eaa67ac83c1eb12bda1b7a08406dd286e252c11a66be27f81
tarball="python3.14_${version}.orig.tar.xz"
cache=${TESSEL_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/tessel}
prefix="$cache/cpython-${version}t-${flavour}"

say() { printf '%s\n' "$*" >&2; }
die() { say "python.sh: $*"; exit 1; }

is_freethreaded() {
    "$1" -c 'import sys, sysconfig; sys.exit(0 if sys.version_info[:2] == (3, 14) and sysconfig.get_config_var("Py_GIL_DISABLED") else 1)' 2>/dev/null
}

exe=python3.14t
case "$flavour" in
    release)
        if found=$(command -v python3.14t 2>/dev/null) && is_freethreaded "$found"; then
            echo "$found"; exit 0
        fi
        configure_flags=(--disable-gil)
        ;;
    debug) configure_flags=(--disable-gil --with-pydebug); exe=python3.14td ;;
    *) die "unknown flavour '$flavour' (release or debug)" ;;
esac

if [ -f "$prefix/.complete" ] && is_freethreaded "$prefix/bin/$exe"; then
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
missing=()
for p in "${build_deps[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    say "installing build dependencies: ${missing[*]}"
    sudo=""; [ "$(id -u)" -eq 0 ] || sudo=sudo
    $sudo apt-get update -qq >&2 || die "apt-get update failed"
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >&2 \
        || die "could not install build dependencies: ${missing[*]}"
fi

mkdir -p "$cache"
if [ ! -f "$cache/$tarball" ] || ! echo "$sha256  $cache/$tarball" | sha256sum -c --status; then
    url="$(mirror)/pool/main/p/python3.14/$tarball"
    say "downloading $tarball"
    rm -f "$cache/$tarball.part"
    curl -fsSL --retry 3 -o "$cache/$tarball.part" "$url" || die "download of $url failed"
    echo "$sha256  $cache/$tarball.part" | sha256sum -c --status \
        || { rm -f "$cache/$tarball.part"; die "checksum mismatch for $tarball (expected $sha256)"; }
    mv "$cache/$tarball.part" "$cache/$tarball"
fi

work=$(mktemp -d "$cache/build-${flavour}.XXXXXX")
trap 'rm -rf "$work"' EXIT
say "building CPython $version ($flavour, free-threaded) into $prefix; this takes a few minutes"
tar -xf "$cache/$tarball" -C "$work"
src=$(find "$work" -mindepth 1 -maxdepth 1 -type d | head -n1)
log="$cache/build-${flavour}.log"
(
    cd "$src"
    ./configure --prefix="$prefix" "${configure_flags[@]}" --without-ensurepip
    make -j"$(nproc)"
    rm -rf "$prefix"
    make install
) >"$log" 2>&1 || die "CPython build failed; see $log"
"$prefix/bin/$exe" -c 'import sys' 2>/dev/null || die "built interpreter does not start"
is_freethreaded "$prefix/bin/$exe" || die "built interpreter is not free-threaded"
# Marks a finished install, so an interrupted one is rebuilt rather than trusted.
touch "$prefix/.complete"
echo "$prefix/bin/$exe"
