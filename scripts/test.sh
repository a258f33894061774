#!/usr/bin/env bash
# The test command.  Sets everything up on a fresh machine (interpreters, build
# dependencies, environments), then runs the suite in these modes:
#   release     the optimised build on every interpreter of the matrix: CPython
#               3.11, 3.12, 3.13 and 3.14 with the GIL, 3.14t free-threaded and
#               3.15 as a forward check, each in its own environment; then rows,
#               getters and mappings pickled on each are read back on all
#   clang       Clang with libc++ (Debian's clang 14 and libc++ 14, which has no
#               std::atomic_ref, like older Apple toolchains) builds with
#               warnings as errors on 3.14t and 3.11 and passes the suite
#   leaks       a debug build of 3.14t, our asserts compiled in; every test is
#               repeated and fails if reference counts or allocated blocks keep growing
#   sanitizers  the extensions built with AddressSanitizer and UBSan, on 3.14t and
#               on 3.14 with the GIL (code built only with the GIL is checked too)
#   tsan        the thread tests without the GIL on a ThreadSanitizer build of
#               3.14t, extensions instrumented too; any report fails the run
#   parallel    the release suite on 3.14t without the GIL, built declaring it
#               unneeded, each test run by several threads at once
#               (pytest-run-parallel); tests marked thread_unsafe run on one
#   pure        the pure-Python twin (-Dpure_python=true) on 3.14t: the suite
#               (native-only tests skip with their reasons), and pickles of each
#               implementation read by the other
#   cross       scripts/cross.sh: every extension compiled and linked, warnings as
#               errors, for macOS arm64 and x86-64, Windows x86-64 (Clang in MSVC
#               mode, MinGW GCC) and FreeBSD x86-64, against 3.11, 3.14 and 3.14t headers
#   fuzz        each atheris harness of tests/fuzz/ for a minute against a build with
#               ASan, UBSan and the asserts (3.12), after replaying its seed corpus and
#               every input that once failed; then the coverage the corpora reach
#   wheels      scripts/wheels.sh for 3.14t and 3.11 and the pure-Python wheel (on
#               3.11): wheels built, repaired,
#               installed into fresh environments and tested from outside the tree;
#               and for Linux aarch64 3.14t and 3.14: cross-built, repaired and
#               tested under qemu (--only aarch64 runs just those)
# Usage: scripts/test.sh [--quick | --only MODE] [pytest args]
#   --quick     only the release pass on 3.14t
# The run ends with a table of every pass and the line "N passed, N failed, N skipped";
# it fails when a test fails or an interpreter of the matrix can't be found or built.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

matrix=(3.11 3.12 3.13 3.14 3.14t 3.15)
wheel_pythons=(3.14t 3.11 pure)
aarch64_pythons=(aarch64-3.14t aarch64-3.14)
clang_matrix=(3.14t 3.11)
modes=(release clang leaks sanitizers tsan parallel pure cross fuzz wheels)
case "${1:-}" in
    --quick) modes=(release); matrix=(3.14t); shift ;;
    --only) modes=("$2"); shift 2 ;;
esac

results="$root/build/test-results"
rm -rf "$results"
mkdir -p "$results"

# --- the table ----------------------------------------------------------------

rows=()
total_passed=0 total_failed=0 total_skipped=0

# record PASS INTERPRETER BUILD PASSED FAILED SKIPPED SECONDS [NOTE]
record() {
    rows+=("$(printf '%-11s %-13s %-41s %7s %7s %7s %6ss  %s' "$1" "$2" "$3" "$4" "$5" "$6" "$7" "${8:-}")")
    total_passed=$((total_passed + $4)) total_failed=$((total_failed + $5)) total_skipped=$((total_skipped + $6))
}

# not_run PASS INTERPRETER BUILD SECONDS WHY: a pass that could not run counts as one failure.
not_run() {
    record "$1" "$2" "$3" 0 1 0 "$4" "NOT RUN: $5"
    echo "=== $1 on $2: not run: $5" >&2
}

junit_attr() { sed -n "s/.* $1=\"\([0-9]*\)\".*/\1/p" <<<"$2"; }

# record_junit PASS INTERPRETER BUILD XML STATUS SECONDS [NOTE]: a row from pytest's junit XML.
record_junit() {
    local tag tests failures errors skipped
    if ! tag=$(grep -o '<testsuite [^>]*>' "$4" 2>/dev/null | head -n1) || [ -z "$tag" ]; then
        not_run "$1" "$2" "$3" "$6" "pytest wrote no results (exit $5)"
        return
    fi
    tests=$(junit_attr tests "$tag") failures=$(junit_attr failures "$tag")
    errors=$(junit_attr errors "$tag") skipped=$(junit_attr skipped "$tag")
    local failed=$((failures + errors)) note="${7:-}"
    if [ "$5" -ne 0 ] && [ "$failed" -eq 0 ]; then
        failed=1 note="pytest exited $5${note:+; $note}"
    fi
    record "$1" "$2" "$3" $((tests - failed - skipped)) "$failed" "$skipped" "$6" "$note"
}

# describe PYTHON: the build, as the table shows it.
describe() {
    "$1" -c '
import sys, sysconfig
build = ["free-threaded" if sysconfig.get_config_var("Py_GIL_DISABLED") else "GIL"]
if hasattr(sys, "gettotalrefcount"):
    build.append("debug")
if sys.version_info.releaselevel != "final":
    build.append("pre-release")
print(", ".join(build))'
}

# venv and build directory per interpreter; 3.14t keeps the ones the other scripts use.
venv_of() { if [ "$1" = 3.14t ]; then echo "$root/.venv"; else echo "$root/.venv-$1"; fi; }
build_of() { if [ "$1" = 3.14t ]; then echo "$root/build/release"; else echo "$root/build/$1"; fi; }

# --- modes ----------------------------------------------------------------------
# A mode is a function run_MODE that gets the pytest arguments.  The release and
# wheels modes record their own rows; for any other, pytest writes junit XML
# (through PYTEST_ADDOPTS) that becomes the mode's row, built on 3.14t.

# -P keeps the source tree off sys.path, so the installed (built) package is what gets imported.
run_release() {
    local v py venv started status
    for v in "${matrix[@]}"; do
        echo "=== tests: release build on $v" >&2
        started=$SECONDS
        if ! py=$(bash scripts/python.sh "$v"); then
            not_run release "$v" "?" $((SECONDS - started)) "interpreter $v not found or not built (see above)"
            continue
        fi
        venv=$(venv_of "$v")
        if ! TESSEL_PYTHON="$v" TESSEL_VENV="$venv" TESSEL_BUILD_DIR="$(build_of "$v")" bash scripts/setup.sh; then
            not_run release "$v" "$(describe "$py")" $((SECONDS - started)) "set-up or build failed (see above)"
            continue
        fi
        set +e
        if [ "$v" = 3.14t ]; then
            # The type checks need one interpreter only; they run on the main one.
            TESSEL_TYPECHECK=1 "$venv/bin/python" -P -m pytest --junitxml="$results/release-$v.xml" "$@"
        else
            "$venv/bin/python" -P -m pytest --junitxml="$results/release-$v.xml" "$@"
        fi
        status=$?
        set -e
        record_junit release "$(version_of "$py")" "$(describe "$py")" "$results/release-$v.xml" "$status" \
            $((SECONDS - started))
    done
    [ "${#matrix[@]}" -gt 1 ] && cross_pickles
    return 0
}

version_of() { "$1" -c 'import platform, sysconfig; print(platform.python_version() + ("t" if sysconfig.get_config_var("Py_GIL_DISABLED") else ""))'; }

# Rows, getters and immutable mappings pickled on each interpreter, read on all.
cross_pickles() {
    echo "=== tests: pickles across interpreters" >&2
    local dir="$results/pickles" v venv started=$SECONDS have=() out passed=0 failed=0 status=0
    mkdir -p "$dir"
    for v in "${matrix[@]}"; do
        venv=$(venv_of "$v")
        # Only the environments that this run built and tested.
        [ -f "$results/release-$v.xml" ] || continue
        "$venv/bin/python" -P tests/pickle_matrix.py write "$dir" && have+=("$v") || status=1
    done
    for v in "${have[@]}"; do
        venv=$(venv_of "$v")
        out=$("$venv/bin/python" -P tests/pickle_matrix.py read "$dir") || status=1
        printf '%s\n' "$out" | sed "s/^/[read on $v] /"
        passed=$((passed + $(sed -n 's/^\([0-9]*\) passed, \([0-9]*\) failed$/\1/p' <<<"$out" | tail -n1)))
        failed=$((failed + $(sed -n 's/^\([0-9]*\) passed, \([0-9]*\) failed$/\2/p' <<<"$out" | tail -n1)))
    done
    if [ "$status" -ne 0 ] && [ "$failed" -eq 0 ]; then
        failed=1
    fi
    record pickles "${#have[@]} of ${#matrix[@]}" "protocols 0-5, each read on all" "$passed" "$failed" 0 \
        $((SECONDS - started))
}

# Clang on libc++ in environments of their own.  A build whose compile
# commands weren't Clang's with libc++ fails its row, so the row can't pass on
# another toolchain's build.
run_clang() {
    local v py venv started status
    for v in "${clang_matrix[@]}"; do
        echo "=== tests: Clang and libc++ build on $v" >&2
        started=$SECONDS
        if ! bash scripts/debs.sh clang libc++-dev libc++abi-dev; then
            not_run clang "$v" "?" $((SECONDS - started)) "Clang and libc++ could not be installed"
            continue
        fi
        if ! py=$(bash scripts/python.sh "$v"); then
            not_run clang "$v" "?" $((SECONDS - started)) "interpreter $v not found or not built (see above)"
            continue
        fi
        venv="$root/.venv-clang-$v"
        if ! CC=clang CXX=clang++ CXXFLAGS=-stdlib=libc++ LDFLAGS=-stdlib=libc++ \
             TESSEL_PYTHON="$v" TESSEL_VENV="$venv" TESSEL_BUILD_DIR="$root/build/clang-$v" bash scripts/setup.sh; then
            not_run clang "$v" "$(describe "$py")" $((SECONDS - started)) "set-up or build failed (see above)"
            continue
        fi
        if ! grep -q '"command": "clang++ .*-stdlib=libc++' "$root/build/clang-$v/compile_commands.json"; then
            not_run clang "$v" "$(describe "$py")" $((SECONDS - started)) "the build was not Clang's with libc++"
            continue
        fi
        set +e
        "$venv/bin/python" -P -m pytest --junitxml="$results/clang-$v.xml" "$@"
        status=$?
        set -e
        record_junit clang "$(version_of "$py")" "$(describe "$py"), Clang $(clang -dumpversion), libc++" \
            "$results/clang-$v.xml" "$status" $((SECONDS - started))
    done
    return 0
}

# The debug build also checks our own asserts: meson-python's release
# defaults would compile them out (-DNDEBUG), so they are asked for, and a
# build that still defines NDEBUG fails the mode.
run_leaks() {
    TESSEL_PYTHON=debug TESSEL_VENV="$root/.venv-debug" TESSEL_BUILD_DIR="$root/build/debug" \
        TESSEL_MESON_ARGS="-Db_ndebug=false" bash scripts/setup.sh
    if grep -q -- '-DNDEBUG' "$root/build/debug/compile_commands.json"; then
        echo "=== leaks: the debug build compiles asserts out (-DNDEBUG)" >&2
        return 1
    fi
    TESSEL_HYPOTHESIS_PROFILE=repeat .venv-debug/bin/python -P -m pytest -p no:cacheprovider --leaks "$@"
}

# The sanitizer builds: free-threaded, and with the GIL for the code compiled only there.
sanitizer_pythons=(${TESSEL_SANITIZER_PYTHONS:-3.14t 3.14})

run_sanitizers() {
    local v py venv builddir started status preload
    # The interpreter itself is not instrumented, so the runtimes must come first;
    # objects come from mimalloc, whose debug hooks catch overruns and use after free there.
    preload="$(g++ -print-file-name=libasan.so):$(g++ -print-file-name=libubsan.so)"
    for v in "${sanitizer_pythons[@]}"; do
        echo "=== tests: sanitizers build on $v" >&2
        started=$SECONDS
        if [ "$v" = 3.14t ]; then
            venv="$root/.venv-asan" builddir="$root/build/asan"
        else
            venv="$root/.venv-asan-$v" builddir="$root/build/asan-$v"
        fi
        if ! py=$(bash scripts/python.sh "$v"); then
            not_run sanitizers "$v" "?" $((SECONDS - started)) "interpreter $v not found or not built (see above)"
            continue
        fi
        if ! TESSEL_PYTHON="$v" TESSEL_VENV="$venv" TESSEL_BUILD_DIR="$builddir" \
            TESSEL_MESON_ARGS="-Db_sanitize=address,undefined -Db_lundef=false -Dbuildtype=debugoptimized -Dcpp_args=-fno-sanitize-recover=all" \
            bash scripts/setup.sh; then
            not_run sanitizers "$v" "$(describe "$py"), ASan+UBSan" $((SECONDS - started)) "set-up or build failed (see above)"
            continue
        fi
        # A report halts the process at once: pytest must leave the error stream alone for it to be seen.
        set +e
        TESSEL_HYPOTHESIS_PROFILE=repeat \
        LD_PRELOAD="$preload" \
        ASAN_OPTIONS="detect_leaks=0:abort_on_error=1:strict_string_checks=1" \
        UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1" \
        PYTHONMALLOC=mimalloc_debug \
            "$venv/bin/python" -P -m pytest -p no:cacheprovider --capture=sys --junitxml="$results/sanitizers-$v.xml" "$@"
        status=$?
        set -e
        record_junit sanitizers "$(version_of "$py")" "$(describe "$py"), ASan+UBSan" "$results/sanitizers-$v.xml" \
            "$status" $((SECONDS - started))
    done
    return 0
}

run_tsan() {
    local python
    python=$(bash scripts/python.sh tsan)
    # The TSan interpreter has the release 3.14t's ABI but runs about ten times
    # slower, pip and meson included: the release interpreter builds the
    # instrumented extensions and installs them with the test tools into an
    # environment of its own, and the TSan interpreter imports them from there.
    TESSEL_VENV="$root/.venv-tsan" TESSEL_BUILD_DIR="$root/build/tsan" \
        TESSEL_MESON_ARGS="-Db_sanitize=thread -Db_lundef=false -Dbuildtype=debugoptimized -Dfree_threading=true" \
        bash scripts/setup.sh
    # The interpreter links the TSan runtime itself, so nothing is preloaded; its
    # own suppressions cover its known benign races, ours a few more in the
    # standard library (tests/tsan-suppressions.txt).  Subprocesses of the tests
    # inherit all of this.  A report halts the process at once, so pytest must
    # leave the error stream alone for it to be seen.  The thread tests, and the
    # row and mapping tests each run by two threads at once (as in the parallel
    # mode); the extensions are built declaring the GIL unneeded, as there.
    # The largest history keeps the stack of an old write, such as CPython's
    # own update of a class's slots when __init__ is assigned, so a report
    # against it names that write and the interpreter's suppression matches.
    local suppressions="$root/build/tsan/suppressions.txt"
    cat "$(dirname "$(dirname "$python")")/tsan-suppressions.txt" tests/tsan-suppressions.txt >"$suppressions"
    PYTHONPATH="$root/.venv-tsan/lib/python3.14t/site-packages" PYTHON_GIL=0 TESSEL_FREE_THREADING=1 \
    TSAN_OPTIONS="suppressions=$suppressions halt_on_error=1 exitcode=66 second_deadlock_stack=1 history_size=7" \
        "$python" -P -m pytest -p no:cacheprovider --capture=sys --parallel-threads=2 \
        tests/test_threads.py tests/test_rowkit.py tests/test_mapkit.py "$@"
}

# Coverage-guided fuzzing: each harness of tests/fuzz/ (atheris, libFuzzer) for
# $fuzz_seconds against a build with ASan, UBSan and our asserts, after
# replaying its seed corpus and every input that once failed
# (tests/fuzz/regressions/); the corpus grows under build/fuzz/corpus across
# runs.  Then every input of the corpora is replayed through a build made for
# gcov, and the lines each source file has covered are reported.
fuzz_python=3.12
fuzz_seconds=${TESSEL_FUZZ_SECONDS:-60}
fuzz_harnesses=(convkit rowkit mapkit)

run_fuzz() {
    local started=$SECONDS py venv="$root/.venv-fuzz" site runtime h log status executed added corpora
    echo "=== tests: fuzz, $fuzz_seconds s per harness" >&2
    if ! bash scripts/debs.sh clang libclang-rt-14-dev; then
        not_run fuzz "$fuzz_python" "?" $((SECONDS - started)) "Clang and its runtimes could not be installed"
        return 0
    fi
    if ! py=$(bash scripts/python.sh "$fuzz_python"); then
        not_run fuzz "$fuzz_python" "?" $((SECONDS - started)) "interpreter $fuzz_python not found (see above)"
        return 0
    fi
    # libFuzzer's coverage hooks come from atheris' runtime, preloaded with
    # ASan's; its UBSan lacks Clang 14's function-type check, hence its flag.
    if ! CC=clang CXX=clang++ CXXFLAGS="-fsanitize=fuzzer-no-link -fno-sanitize=function -fno-sanitize-recover=all" \
        TESSEL_PYTHON="$fuzz_python" TESSEL_VENV="$venv" TESSEL_BUILD_DIR="$root/build/fuzz" \
        TESSEL_MESON_ARGS="-Db_sanitize=address,undefined -Db_lundef=false -Db_ndebug=false -Dbuildtype=debugoptimized" \
        bash scripts/setup.sh \
        || ! PYTHONWARNINGS=ignore "$venv/bin/python" -m pip install -q --disable-pip-version-check \
            -r requirements-fuzz.txt >&2; then
        not_run fuzz "$fuzz_python" "$(describe "$py")" $((SECONDS - started)) "set-up or build failed (see above)"
        return 0
    fi
    site=$("$venv/bin/python" -c 'import sysconfig; print(sysconfig.get_path("platlib"))')
    runtime=(env LD_PRELOAD="$site/asan_with_fuzzer.so" PYTHONMALLOC=malloc
             ASAN_OPTIONS="detect_leaks=0:abort_on_error=1" UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1")
    for h in "${fuzz_harnesses[@]}"; do
        started=$SECONDS log="$results/fuzz-$h.log"
        mkdir -p "$root/build/fuzz/corpus/$h" "$root/build/fuzz/crashes"
        # The harnesses import their models from tests/; the script's own
        # directory comes first on the path, never the source tree's package.
        # libFuzzer refuses a directory that isn't there, and git keeps no
        # empty one: a harness with no regression yet has none.
        corpora=("$root/build/fuzz/corpus/$h" "corpus/$h")
        [ -d "tests/fuzz/regressions/$h" ] && corpora+=("regressions/$h")
        set +e
        (cd tests/fuzz && "${runtime[@]}" "$venv/bin/python" "fuzz_$h.py" --replay "regressions/$h" "corpus/$h" \
            && "${runtime[@]}" "$venv/bin/python" "fuzz_$h.py" -max_total_time="$fuzz_seconds" -timeout=30 \
                -print_final_stats=1 -artifact_prefix="$root/build/fuzz/crashes/$h-" "${corpora[@]}") >"$log" 2>&1
        status=$?
        set -e
        executed=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n1)
        added=$(sed -n 's/^stat::new_units_added: *//p' "$log" | tail -n1)
        if [ "$status" -eq 0 ] && [ -n "$executed" ]; then
            record fuzz "$(version_of "$py")" "fuzz_$h, ASan+UBSan, asserts" 1 0 0 $((SECONDS - started)) \
                "$executed executions, $added new inputs"
        else
            tail -n 60 "$log" >&2
            record fuzz "$(version_of "$py")" "fuzz_$h, ASan+UBSan, asserts" 0 1 0 $((SECONDS - started)) \
                "failed (exit $status; log $log); keep the input that failed in tests/fuzz/regressions/$h/"
        fi
    done
    fuzz_coverage "$venv"
}

# Every input of the seed, regression and grown corpora through a build made
# for gcov (GCC, no optimisation, asserts on); the lines of each source file it reached.
fuzz_coverage() {
    local venv=$1 started=$SECONDS target="$root/build/fuzz-cov/site" build="$root/build/fuzz-cov/build" h out status=0
    echo "=== tests: fuzz corpus coverage" >&2
    if ! PATH="$venv/bin:$PATH" PYTHONWARNINGS=ignore "$venv/bin/python" -m pip install -q --disable-pip-version-check \
        --no-build-isolation --no-deps --upgrade --target "$target" -Cbuild-dir="$build" \
        -Csetup-args=-Dwerror=true -Csetup-args=-Db_coverage=true -Csetup-args=-Dbuildtype=debug \
        -Csetup-args=-Db_ndebug=false . >&2; then
        not_run fuzz-cov "$fuzz_python" "gcov" $((SECONDS - started)) "the coverage build failed (see above)"
        return 0
    fi
    find "$build" -name '*.gcda' -delete
    for h in "${fuzz_harnesses[@]}"; do
        (cd tests/fuzz && PYTHONPATH="$target" "$venv/bin/python" "fuzz_$h.py" --replay "regressions/$h" "corpus/$h" \
            "$root/build/fuzz/corpus/$h") >&2 || status=1
    done
    out=$("$venv/bin/python" tests/fuzz/coverage.py "$build") || status=1
    printf 'fuzz corpus coverage (file, lines run, of lines):\n%s\n' "$out" >&2
    record fuzz-cov "$fuzz_python" "gcov, every corpus input replayed" $((1 - status)) "$status" 0 \
        $((SECONDS - started)) "$(awk '{printf "%s%s %s", (NR > 1 ? ", " : ""), $1, $2}' <<<"$out")"
}

parallel_threads=4

# The release suite without the GIL, every test run by $parallel_threads threads at
# once, on a build that declares the GIL unneeded (as a user may build it).
# Records its own row, which says how many tests ran in parallel.
run_parallel() {
    local started=$SECONDS status log="$results/parallel.log" xml="$results/parallel.xml"
    echo "=== tests: parallel, $parallel_threads threads per test, GIL off" >&2
    if ! TESSEL_VENV="$root/.venv-parallel" TESSEL_BUILD_DIR="$root/build/parallel" \
        TESSEL_MESON_ARGS="-Dfree_threading=true" bash scripts/setup.sh; then
        not_run parallel 3.14t "free-threaded, GIL off" $((SECONDS - started)) "set-up or build failed (see above)"
        return 0
    fi
    set +e
    TESSEL_FREE_THREADING=1 PYTHON_GIL=0 .venv-parallel/bin/python -P -m pytest -p no:cacheprovider -v \
        --parallel-threads=$parallel_threads --junitxml="$xml" "$@" >"$log" 2>&1
    status=$?
    set -e
    # Everything but the passes and skips (failures, the summaries) to the terminal.
    grep -v -E ' (PARALLEL )?PASSED|^tests/.* SKIPPED' "$log" >&2 || true
    # -v names each test's outcome: "PARALLEL PASSED" when its threads ran it at
    # once, "PASSED [thread-unsafe]: reason" when it ran on one thread.
    local parallel single
    parallel=$(grep -c ' PARALLEL PASSED' "$log" || true)
    single=$(grep -c ' PASSED \[thread-unsafe\]' "$log" || true)
    record_junit parallel 3.14t "free-threaded, GIL off, declared" "$xml" "$status" $((SECONDS - started)) \
        "$parallel passed on $parallel_threads threads at once, $single on one (marked)"
}

# The pure-Python twin (-Dpure_python=true) on 3.14t, in an environment of its
# own: the whole suite against it (the tests that only the native modules can
# pass skip, each with its reason); then rows, getters and mappings pickled by
# each implementation are read back by the other (the native one from .venv).
run_pure() {
    local started=$SECONDS status py venv="$root/.venv-pure" build
    echo "=== tests: the pure-Python twin on 3.14t" >&2
    if ! py=$(bash scripts/python.sh 3.14t); then
        not_run pure 3.14t "?" $((SECONDS - started)) "interpreter 3.14t not found or not built (see above)"
        return 0
    fi
    build="$(describe "$py"), pure-Python twin"
    if ! TESSEL_VENV="$venv" TESSEL_BUILD_DIR="$root/build/pure" TESSEL_MESON_ARGS="-Dpure_python=true" \
         bash scripts/setup.sh; then
        not_run pure 3.14t "$build" $((SECONDS - started)) "set-up or build failed (see above)"
        return 0
    fi
    if [ "$("$venv/bin/python" -P -c 'import tessel; print(tessel.implementation)')" != python ]; then
        not_run pure 3.14t "$build" $((SECONDS - started)) "the build installed something other than the twin"
        return 0
    fi
    set +e
    "$venv/bin/python" -P -m pytest --junitxml="$results/pure.xml" "$@"
    status=$?
    set -e
    record_junit pure "$(version_of "$py")" "$build" "$results/pure.xml" "$status" $((SECONDS - started))
    pure_pickles "$venv"
}

# Pickles of the twin read by the native modules, and the other way round.
pure_pickles() {
    local twin=$1 native="$root/.venv" dir="$results/pure-pickles" started=$SECONDS out status=0 passed=0 failed=0
    echo "=== tests: pickles between the twin and the native modules" >&2
    if ! bash scripts/setup.sh; then
        not_run pickles "twin, native" "?" $((SECONDS - started)) "the native environment could not be set up"
        return 0
    fi
    mkdir -p "$dir/twin" "$dir/native"
    "$twin/bin/python" -P tests/pickle_matrix.py write "$dir/twin" || status=1
    "$native/bin/python" -P tests/pickle_matrix.py write "$dir/native" || status=1
    for pair in "$twin native" "$native twin"; do
        set -- $pair
        out=$("$1/bin/python" -P tests/pickle_matrix.py read "$dir/$2") || status=1
        printf '%s\n' "$out" | sed "s/^/[$2 read by $(basename "$1")] /"
        passed=$((passed + $(sed -n 's/^\([0-9]*\) passed, \([0-9]*\) failed$/\1/p' <<<"$out" | tail -n1)))
        failed=$((failed + $(sed -n 's/^\([0-9]*\) passed, \([0-9]*\) failed$/\2/p' <<<"$out" | tail -n1)))
    done
    if [ "$status" -ne 0 ] && [ "$failed" -eq 0 ]; then
        failed=1
    fi
    record pickles "twin, native" "protocols 0-5, each read by the other" "$passed" "$failed" 0 $((SECONDS - started))
}

# scripts/cross.sh: every extension module compiled and linked, warnings as
# errors, for macOS (arm64, x86-64), Windows (Clang in MSVC mode, MinGW GCC)
# and FreeBSD, against the 3.11, 3.14 and 3.14t headers.  The row counts
# target and interpreter pairs and names the targets that failed.
run_cross() {
    local started=$SECONDS status out passed failed note=""
    echo "=== tests: cross, compiled and linked for macOS, Windows and FreeBSD" >&2
    set +e
    out=$(bash scripts/cross.sh)
    status=$?
    set -e
    printf '%s\n' "$out"
    passed=$(grep -c ' compiled linked' <<<"$out" || true)
    failed=$(grep -c ' FAILED' <<<"$out" || true)
    if [ "$failed" -gt 0 ]; then
        note="failed: $(grep ' FAILED' <<<"$out" | cut -d' ' -f1 | sort -u | tr '\n' ' ')"
    elif [ "$status" -ne 0 ]; then
        failed=1 note="scripts/cross.sh exited $status (see above)"
    fi
    record cross "3.11 3.14 3.14t" "macOS, Windows, FreeBSD: compile and link" "$passed" "$failed" 0 \
        $((SECONDS - started)) "$note"
}

# wheel_rows PASS FLAVOUR... -- PYTEST_ARGS: scripts/wheels.sh for those
# interpreters, a row each; an aarch64 one's row is named after its version.
wheel_rows() {
    local pass=$1 v name status started=$SECONDS failed_before=$total_failed flavours=()
    shift
    while [ "$1" != -- ]; do flavours+=("$1"); shift; done
    shift
    set +e
    TESSEL_JUNIT_DIR="$results" bash scripts/wheels.sh "${flavours[@]}" -- "$@"
    status=$?
    set -e
    for v in "${flavours[@]}"; do
        name=$v
        [[ "$v" != aarch64-* ]] || name="${v#aarch64-}-aarch64"
        if [ -f "$results/wheel-$v.xml" ]; then
            record_junit "$pass" "$name" "$(cat "$results/wheel-$v.build" 2>/dev/null || echo "?")" \
                "$results/wheel-$v.xml" "$(cat "$results/wheel-$v.status" 2>/dev/null || echo 1)" \
                "$(cat "$results/wheel-$v.seconds" 2>/dev/null || echo 0)"
        else
            not_run "$pass" "$name" "?" 0 "no wheel tested (scripts/wheels.sh exited $status)"
        fi
    done
    if [ "$status" -ne 0 ] && [ "$total_failed" -eq "$failed_before" ]; then
        not_run "$pass" all "?" $((SECONDS - started)) "scripts/wheels.sh exited $status (see above)"
    fi
    return 0
}

# One call builds one sdist for all of them and leaves all their wheels in dist/.
run_wheels() { wheel_rows wheel "${wheel_pythons[@]}" "${aarch64_pythons[@]}" -- "$@"; }
run_aarch64() { wheel_rows wheel "${aarch64_pythons[@]}" -- "$@"; }

self_recording=" release clang sanitizers parallel pure fuzz wheels aarch64 cross "
labels_leaks="free-threaded, debug, asserts, leak check"
labels_tsan="free-threaded, ThreadSanitizer"

# A whole run builds the interpreters its later modes need in the background,
# niced, while the first modes test: a pytest run keeps one core of two busy,
# and on a fresh machine the builds are a third of the run.  python.sh's locks
# make a mode that needs one before it is ready wait for it, and if a build
# fails there, the mode builds it again and reports what went wrong.
prefetch=""
if [ "${#modes[@]}" -gt 1 ]; then
    (
        for flavour in debug tsan "${aarch64_pythons[@]}"; do
            nice -n 10 bash scripts/python.sh "$flavour" >/dev/null 2>&1 || true
        done
    ) &
    prefetch=$!
fi

mode_times=()
for mode in "${modes[@]}"; do
    started=$SECONDS
    if ! declare -F "run_$mode" >/dev/null; then
        if [ "${#modes[@]}" -eq 1 ]; then
            not_run "$mode" - - 0 "no such mode (no run_$mode in scripts/test.sh)"
        else
            echo "=== tests: $mode mode not in this checkout (no run_$mode); left out" >&2
        fi
        continue
    fi
    if [[ "$self_recording" == *" $mode "* ]]; then
        "run_$mode" "$@"
        mode_times+=("$mode $((SECONDS - started))s")
        continue
    fi
    echo "=== tests: $mode build" >&2
    label="labels_$mode"
    set +e
    ( set -e; PYTEST_ADDOPTS="${PYTEST_ADDOPTS:-} --junitxml=$results/$mode.xml" "run_$mode" "$@" )
    status=$?
    set -e
    record_junit "$mode" 3.14t "${!label:-free-threaded}" "$results/$mode.xml" "$status" $((SECONDS - started))
    mode_times+=("$mode $((SECONDS - started))s")
done

[ -z "$prefetch" ] || wait "$prefetch" || true

echo
printf '%-11s %-13s %-41s %7s %7s %7s %7s\n' pass interpreter build passed failed skipped time
printf '%s\n' "${rows[@]}"
echo
echo "time by mode (set-up and builds included): $(IFS=,; echo "${mode_times[*]}" | sed 's/,/, /g'); all ${SECONDS}s"
echo "$total_passed passed, $total_failed failed, $total_skipped skipped"
[ "$total_failed" -eq 0 ]
