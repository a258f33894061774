#!/usr/bin/env bash
# The test command.  Sets everything up on a fresh machine, then runs the suite
# four ways:
#   release     the optimised build on python3.14t
#   leaks       a debug build of the same interpreter; every test is repeated and
#               fails if reference counts or allocated blocks keep growing
#   sanitizers  the extensions built with AddressSanitizer and UBSan
#   tsan        the thread tests without the GIL, interpreter and extensions built
#               with ThreadSanitizer; any report fails the run
# Usage: scripts/test.sh [--quick | --only release|leaks|sanitizers|tsan] [pytest args]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

modes=(release leaks sanitizers tsan)
case "${1:-}" in
    --quick) modes=(release); shift ;;
    --only) modes=("$2"); shift 2 ;;
esac

# -P keeps the source tree off sys.path, so the installed (built) package is what gets imported.
run_release() {
    bash scripts/setup.sh
    .venv/bin/python -P -m pytest "$@"
}

run_leaks() {
    TESSEL_PYTHON=debug TESSEL_VENV="$root/.venv-debug" TESSEL_BUILD_DIR="$root/build/debug" \
        bash scripts/setup.sh
    TESSEL_HYPOTHESIS_PROFILE=repeat .venv-debug/bin/python -P -m pytest -p no:cacheprovider --leaks "$@"
}

run_sanitizers() {
    TESSEL_VENV="$root/.venv-asan" TESSEL_BUILD_DIR="$root/build/asan" \
        TESSEL_MESON_ARGS="-Db_sanitize=address,undefined -Db_lundef=false -Dbuildtype=debugoptimized -Dcpp_args=-fno-sanitize-recover=all" \
        bash scripts/setup.sh
    # The interpreter itself is not instrumented, so the runtimes must come first;
    # objects come from mimalloc, whose debug hooks catch overruns and use after free there.
    local preload
    preload="$(g++ -print-file-name=libasan.so):$(g++ -print-file-name=libubsan.so)"
    TESSEL_HYPOTHESIS_PROFILE=repeat \
    LD_PRELOAD="$preload" \
    ASAN_OPTIONS="detect_leaks=0:abort_on_error=1:strict_string_checks=1" \
    UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1" \
    PYTHONMALLOC=mimalloc_debug \
        .venv-asan/bin/python -P -m pytest -p no:cacheprovider "$@"
}

run_tsan() {
    local python meson="$root/build/tsan-meson"
    python=$(bash scripts/python.sh tsan)
    # Meson needn't run under TSan, ten times slower: the release interpreter
    # runs the environment's own meson (pure Python) for the build.
    mkdir -p "$root/build"
    printf '#!/bin/sh\nPYTHONPATH=%s exec %s -P -m mesonbuild.mesonmain "$@"\n' \
        "$root/.venv-tsan/lib/python3.14t/site-packages" "$(bash scripts/python.sh release)" >"$meson"
    chmod +x "$meson"
    MESON="$meson" TESSEL_PYTHON=tsan TESSEL_VENV="$root/.venv-tsan" TESSEL_BUILD_DIR="$root/build/tsan" \
        TESSEL_MESON_ARGS="-Db_sanitize=thread -Db_lundef=false -Dbuildtype=debugoptimized" \
        bash scripts/setup.sh
    # The interpreter links the TSan runtime itself, so nothing is preloaded; its
    # own suppressions cover its known benign races.  Subprocesses of the tests
    # inherit all of this.  A report halts the process at once, so pytest must
    # leave the error stream alone for it to be seen.  TSan runs about ten
    # times slower: thread tests only.
    PYTHON_GIL=0 \
    TSAN_OPTIONS="suppressions=$(dirname "$(dirname "$python")")/tsan-suppressions.txt halt_on_error=1 exitcode=66 second_deadlock_stack=1" \
        .venv-tsan/bin/python -P -m pytest -p no:cacheprovider --capture=sys tests/test_threads.py "$@"
}

for mode in "${modes[@]}"; do
    echo "=== tests: $mode build" >&2
    "run_$mode" "$@"
done
