#!/usr/bin/env bash
# The test command.  Sets everything up on a fresh machine, then runs the suite
# three ways:
#   release     the optimised build on python3.14t
#   leaks       a debug build of the same interpreter; every test is repeated and
#               fails if reference counts or allocated blocks keep growing
#   sanitizers  the extensions built with AddressSanitizer and UBSan
# Usage: scripts/test.sh [--quick | --only release|leaks|sanitizers] [pytest args]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

modes=(release leaks sanitizers)
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

for mode in "${modes[@]}"; do
    echo "=== tests: $mode build" >&2
    "run_$mode" "$@"
done
