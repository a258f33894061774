#!/usr/bin/env bash
# Makes .venv/ on a free-threaded CPython 3.14 with the pinned build and test
# dependencies and tessel installed from this checkout.  Safe to run again:
# it reuses the interpreter, the environment and the incremental build.
# Another interpreter of the matrix: TESSEL_PYTHON=FLAVOUR (see python.sh) with
# its own TESSEL_VENV and TESSEL_BUILD_DIR, as scripts/test.sh does.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

venv=${TESSEL_VENV:-$root/.venv}
builddir=${TESSEL_BUILD_DIR:-$root/build/release}
flavour=${TESSEL_PYTHON:-release}

python=$(bash scripts/python.sh "$flavour")

if [ -x "$venv/bin/python" ] && [ "$("$venv/bin/python" -c 'import sys; print(sys._base_executable)' 2>/dev/null)" != "$python" ] \
   && [ "$(readlink -f "$("$venv/bin/python" -c 'import sys; print(sys._base_executable)' 2>/dev/null)")" != "$(readlink -f "$python")" ]; then
    echo "setup: $venv belongs to another interpreter; recreating it" >&2
    rm -rf "$venv"
fi
if [ ! -x "$venv/bin/python" ]; then
    "$python" -m venv "$venv"
fi

export PATH="$venv/bin:$PATH"  # the pinned meson and ninja build us

# The main environment also gets the packaging and format tools.
requirements=(-r requirements-dev.txt)
[ "$venv" = "$root/.venv" ] && requirements+=(-r requirements-tools.txt)
stamp="$venv/.requirements.sha256"
want=$(echo "${requirements[*]}" | cat - requirements-dev.txt requirements-tools.txt | sha256sum | cut -d' ' -f1)
if [ "$(cat "$stamp" 2>/dev/null)" != "$want" ]; then
    PYTHONWARNINGS=ignore "$venv/bin/python" -m pip install -q --disable-pip-version-check "${requirements[@]}" >&2
    echo "$want" > "$stamp"
fi

# A build directory configured before meson.options changed doesn't learn its
# options on reconfigure: start that one afresh.
if [ -f "$builddir/meson-private/coredata.dat" ] && [ meson.options -nt "$builddir/meson-private/coredata.dat" ]; then
    rm -rf "$builddir"
fi

# No build isolation: the pinned meson-python above builds, and build/ stays
# incremental between runs.
# Our own builds treat warnings as errors; a user's pip install does not.
meson_args=("-Csetup-args=-Dwerror=true")
for arg in ${TESSEL_MESON_ARGS:-}; do
    meson_args+=("-Csetup-args=$arg")
done
PYTHONWARNINGS=ignore "$venv/bin/python" -m pip install -q --disable-pip-version-check --no-build-isolation --no-deps \
    -Cbuild-dir="$builddir" "${meson_args[@]}" . >&2
