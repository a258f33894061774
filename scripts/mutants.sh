#!/usr/bin/env bash
# Mutation smoke, on demand (slow; not part of CI): does the suite catch small
# deliberate bugs?  Each mutant below is one exact edit (file, old text, new
# text), applied alone to a scratch copy of this checkout, which is then
# rebuilt and run through the suite in the mutant's mode (-x, the mutated
# module's tests first, hypothesis seeded so runs compare).  Prints a table:
# killed, SURVIVED, or no build (it doesn't compile).  A mutant whose old text
# is no longer in its file exactly once (the code moved on: update the list)
# fails the run before anything is built, named, so the table never shrinks
# silently.
#
# A mutant's mode is the test command's pass that can see it:
#   quick             (the default) the release build on 3.14t
#   sanitizers-3.14   ASan+UBSan on 3.14 with the GIL (scripts/test.sh --only
#                     sanitizers, that interpreter only): code built only with the GIL
#   leaks             the debug build's leak check (scripts/test.sh --only leaks)
#   races             the release build on 3.14t, its race scenarios (GIL off,
#                     debug allocator) run up to $TESSEL_MUTANT_RACE_RUNS times
#                     (default 5): a race is seen only when the threads meet
#                     in the few instructions it lasts, which a run may miss
#
# Usage: scripts/mutants.sh [name-substring ...]   (default: every mutant)
# The scratch copy lives in $TESSEL_MUTANTS_DIR (default /tmp/tessel-mutants-$USER)
# and keeps its environments and build directories, so rebuilds are incremental.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
scratch=${TESSEL_MUTANTS_DIR:-/tmp/tessel-mutants-${USER:-$(id -un)}}
per_mutant_timeout=${TESSEL_MUTANT_TIMEOUT:-600}

# name | file | old text | new text [| mode]   (\n in the texts is a newline, \| a bar)
mutants=(
    "getter fast path loses a reference|cextension/rowkit/tuplegetter.h|PyTuple_SET_ITEM(result.get(), i, Py_NewRef(PyTuple_GET_ITEM(operand, index)));|PyTuple_SET_ITEM(result.get(), i, PyTuple_GET_ITEM(operand, index));"
    "getter fast path reads one past the end|cextension/rowkit/tuplegetter.h|if (index >= 0 && index < PyTuple_GET_SIZE(operand)) {|if (index >= 0 && index <= PyTuple_GET_SIZE(operand)) {"
    "row item access leaks a reference|cextension/rowkit/lookup.h|        return Py_NewRef(PyTuple_GET_ITEM(values, position));|        return Py_NewRef(Py_NewRef(PyTuple_GET_ITEM(values, position)));"
    "row position 0 read as negative|cextension/rowkit/lookup.h|        if (index >= 0) {\n            return value_at(self, index);|        if (index > 0) {\n            return value_at(self, index);"
    "None processor called|cextension/rowkit/construct.h|PyObject *stored = processor == Py_None ? Py_NewRef(value)|PyObject *stored = processor == nullptr ? Py_NewRef(value)"
    "ambiguous record not sent to its hook|cextension/rowkit/lookup.h|    if (index == Py_None) {\n        return call_hook<Hook::kMustRaise>|    if (index == nullptr) {\n        return call_hook<Hook::kMustRaise>"
    "keymap message text|cextension/rowkit/construct.h|\"keymap must be a dict\"|\"keymap must be dict\""
    "attribute cache ignores class changes|cextension/rowkit/attr_cache.h|load_acquire(&entry.version) == version;|(load_acquire(&entry.version) == version \|\| version != 0);"
    "fast construction loses a reference|cextension/rowkit/construct.h|            values = args[4];\n            Py_INCREF(values);|            values = args[4];"
    "column names interned without bound|tessel/engine/result.py|        if len(_interned_names) >= _INTERNED_NAMES_MAX:|        if False:"
    "attribute message unbounded|cextension/rowkit/attributes.h|Could not locate column in row for column '%.200U'|Could not locate column in row for column '%U'"
    "parser without its None test|cextension/conversions.cpp|    if (value == Py_None) {\n        return Py_NewRef(Py_None);\n    }\n    int fields[kMaxFields]|    int fields[kMaxFields]"
    "parser threshold off by one|cextension/conversions.cpp|    if (converted < parser.min_fields) {|    if (converted <= parser.min_fields) {"
    "time message unbounded|cextension/conversions.cpp|\"Couldn't parse time string: %.200s\"|\"Couldn't parse time string: %s\""
    "conditional decode loses a reference|cextension/conversions.cpp|        return Py_NewRef(value);  // str subclasses come back as they are|        return value;"
    "get default loses a reference|cextension/readonlymap.cpp|        return Py_NewRef(nargs == 2 ? args[1] : Py_None);|        return nargs == 2 ? args[1] : Py_None;"
    "merge_with None test|cextension/readonlymap.cpp|        if (arg == Py_None) {\n            continue;|        if (arg == nullptr) {\n            continue;"
    "merge_with merges an empty dict|cextension/readonlymap.cpp|            if (PyDict_GET_SIZE(arg) == 0) {|            if (PyDict_GET_SIZE(arg) < 0) {"
    "union skips a one-item dict|cextension/readonlymap.cpp|    if (PyDict_GET_SIZE(source.get()) == 0) {|    if (PyDict_GET_SIZE(source.get()) <= 1) {"
    "BOOL column left unconverted|tessel/engine/sqlite.py|        return _boolean(error(\"a boolean (0 or 1)\"))|        return None"
    "NUMERIC integers through a double|cextension/readers.cpp|        text.reset(integer_text(value, reader->scale));|        text.reset(value == Py_None ? integer_text(value, reader->scale) : float_text(PyLong_AsDouble(value), reader->scale));"
    "fixed format rounds ties away from even|cextension/fixed_format.h|(any_below(product, shift - 1) \|\| (out->value & 1) != 0)|(any_below(product, shift - 1) \|\| true)"
    "REAL reader takes inexact integers|cextension/readers.cpp|if (d >= 9223372036854775808.0 \|\| static_cast<long long>(d) != v) {|if (d >= 9223372036854775808.0) {"
    "reader leaks its fallback|cextension/readers.cpp|    Py_CLEAR(reader->otherwise);\n    Py_TYPE(self)->tp_free(self);|    Py_TYPE(self)->tp_free(self);|leaks"
    "fetchall returns its first chunk only|tessel/engine/sqlite.py|iter(partial(self.cursor.fetchmany, self.CHUNK), [])|iter([self.cursor.fetchmany(self.CHUNK)])"
    "fetchmany over-fetches past its size|tessel/engine/sqlite.py|min(size - len(rows), self.CHUNK)|min(size, self.CHUNK)"
    "NUMERIC integer text not padded|tessel/engine/sqlite.py|if -scale < int(value.as_tuple().exponent) <= 0:|if -scale < int(value.as_tuple().exponent) < 0:"
    "message names the wrong storage class|tessel/engine/sqlite.py|float: \"REAL\"|float: \"FLOAT\""
    "subclass hook chain stops at BaseRow|cextension/rowkit/construct.h|    next.reset(PyObject_GetAttrString(next.get(), \"__init_subclass__\"));|    next.reset(PyObject_GetAttrString(reinterpret_cast<PyObject *>(&PyBaseObject_Type), \"__init_subclass__\"));"
    "own slots left unset on the short path|cextension/rowkit/construct.h|type->tp_alloc == PyType_GenericAlloc && type->tp_basicsize == sizeof(BaseRowObject) &&|type->tp_alloc == PyType_GenericAlloc &&"
    "getter result left untracked|cextension/rowkit/tuplegetter.h|    return show(result.release());|    return result.release();"
    "values holding a tracked tuple left untracked|cextension/rowkit/construct.h|    return !PyTuple_CheckExact(item) \|\| PyObject_GC_IsTracked(item);|    return !PyTuple_CheckExact(item);"
    "attribute table trusts class version 0|cextension/rowkit/attr_cache.h|    if (version != 0 && known_not_an_attribute(entry, type, name, version)) {\n        return true;\n    }\n    Ref descriptor(tessel::compat::type_lookup_ref(type, name));\n    if (descriptor) {\n        return false;\n    }\n    if (version != 0 && tessel::compat::never_freed(name)) {|    if (known_not_an_attribute(entry, type, name, version)) {\n        return true;\n    }\n    Ref descriptor(tessel::compat::type_lookup_ref(type, name));\n    if (descriptor) {\n        return false;\n    }\n    if (tessel::compat::never_freed(name)) {"
    "attribute table keeps names that can be freed|cextension/rowkit/attr_cache.h|    if (version != 0 && tessel::compat::never_freed(name)) {|    if (version != 0) {"
    "free list kept one past its end|cextension/readonlymap.cpp|        if (count == Capacity) {|        if (count > Capacity) {|sanitizers-3.14"
    "borrowed read of a field another thread owns|cextension/shared_fields.h|    return value != nullptr && owned_by_this_thread(value) ? value : nullptr;|    return value;|races"
)

# Copies the checkout (tracked files and new ones, as they stand) into the
# scratch copy, writing only files whose content differs so the build stays
# incremental (a copied file gets a fresh time, which the build sees).
sync() {
    mkdir -p "$scratch"
    (cd "$root" && git ls-files -z --cached --others --exclude-standard) |
        while IFS= read -r -d '' f; do
            [ -f "$root/$f" ] || continue
            if ! cmp -s "$root/$f" "$scratch/$f"; then
                mkdir -p "$scratch/$(dirname "$f")"
                cp "$root/$f" "$scratch/$f"
            fi
        done
}

# The quick suite's files, those of the mutated module first, so -x stops soon.
test_files() {
    local first
    case "$1" in
        *resultproxy*|*rowkit/*) first=test_rowkit ;;
        *conversions*|*fixed_format*) first=test_convkit ;;
        *readonlymap*) first=test_mapkit ;;
        *compat*|*portable*|*shared_fields*) first=test_threads ;;
        *) first=test_sqlite ;;
    esac
    (cd "$scratch" && ls tests/"$first"*.py && ls tests/test_*.py | grep -v "^tests/$first")
}

build() {
    (cd "$scratch" && bash scripts/setup.sh >"$scratch/.mutant-build.log" 2>&1)
}

run_suite() {
    # shellcheck disable=SC2046
    (cd "$scratch" && timeout "$per_mutant_timeout" .venv/bin/python -P -m pytest -x -q -p no:cacheprovider --hypothesis-seed=0 \
        --no-header $(test_files "$1") >"$scratch/.mutant-test.log" 2>&1)
}

# The race scenarios again and again, in the quick suite's environment.
run_races() {
    local i
    for ((i = 0; i < ${TESSEL_MUTANT_RACE_RUNS:-5}; i++)); do
        (cd "$scratch" && timeout "$per_mutant_timeout" .venv/bin/python -P -m pytest -x -q -p no:cacheprovider \
            --no-header tests/test_threads.py -k racing >"$scratch/.mutant-test.log" 2>&1) || return 1
    done
}

# The suite in another pass of the test command, which sets up (and rebuilds)
# that pass's own environment in the scratch copy.
run_mode() {
    local mode=$1 file=$2 pass=$1
    local env=()
    case "$mode" in
        sanitizers-*) pass=sanitizers env=(TESSEL_SANITIZER_PYTHONS="${mode#sanitizers-}") ;;
    esac
    # shellcheck disable=SC2046
    (cd "$scratch" && env "${env[@]}" timeout "$per_mutant_timeout" bash scripts/test.sh --only "$pass" -x -q \
        --hypothesis-seed=0 --no-header $(test_files "$file") >"$scratch/.mutant-test.log" 2>&1)
}

# Applies one edit to the file at PATH (PATH OLD NEW); exit 2 when the old
# text isn't in the file exactly once.  With no NEW the file is only checked.
apply_to() {
    python3 - "$@" <<'EOF'
import sys
path, old = sys.argv[1], sys.argv[2].replace("\\n", "\n")
text = open(path).read()
if text.count(old) != 1:
    sys.exit(2)
if len(sys.argv) > 3:
    open(path, "w").write(text.replace(old, sys.argv[3].replace("\\n", "\n")))
EOF
}

apply() {
    apply_to "$scratch/$1" "$2" "$3"
}

# Splits a table entry into name, file, old, new and mode.
parse() {
    local entry=${1//\\|/$'\x01'}  # an escaped bar is text, not a separator
    IFS='|' read -r name file old new mode <<<"$entry"
    old=${old//$'\x01'/|} new=${new//$'\x01'/|}
    mode=${mode:-quick}
}

selected=("$@")
wanted() {
    [ ${#selected[@]} -eq 0 ] && return 0
    local s
    for s in "${selected[@]}"; do
        [[ "$1" == *"$s"* ]] && return 0
    done
    return 1
}

# Every selected mutant's old text must still be in its file exactly once.
stale=()
for entry in "${mutants[@]}"; do
    parse "$entry"
    wanted "$name" || continue
    apply_to "$root/$file" "$old" || stale+=("$name ($file)")
done
if [ ${#stale[@]} -gt 0 ]; then
    echo "mutants: the old text of these mutants is not in their file exactly once; update the list:" >&2
    printf '  %s\n' "${stale[@]}" >&2
    exit 1
fi

sync
echo "mutants: building and running the unmutated copy in $scratch" >&2
build || { echo "mutants: the unmutated copy doesn't build; see $scratch/.mutant-build.log" >&2; exit 1; }
run_suite baseline || { echo "mutants: the unmutated copy fails its tests; see $scratch/.mutant-test.log" >&2; exit 1; }

results=()
for entry in "${mutants[@]}"; do
    parse "$entry"
    wanted "$name" || continue
    start=$SECONDS
    status=0
    apply "$file" "$old" "$new" || status=$?
    if [ $status -eq 2 ]; then
        verdict="not applicable"
    elif [ $status -ne 0 ]; then
        verdict="error applying"
    elif [[ "$mode" == quick || "$mode" == races ]] && ! build; then
        verdict="no build"
    elif case "$mode" in quick) run_suite "$file" ;; races) run_races ;; *) run_mode "$mode" "$file" ;; esac; then
        verdict="SURVIVED"
    elif grep -q -E '^FAILED: |set-up or build failed' "$scratch/.mutant-test.log"; then
        verdict="no build"  # ninja's failure line, or the test command's
    else
        caught=$(grep -m1 -E '^(FAILED|ERROR) tests' "$scratch/.mutant-test.log" | cut -d' ' -f2 | cut -d'[' -f1 || true)
        # A crash: the test the fault handler's stack names, if any, and what crashed.
        [ -n "$caught" ] || caught="$(grep -m1 -o -E 'line [0-9]+ in test_[A-Za-z0-9_]+' "$scratch/.mutant-test.log" |
            sed 's/.* in //' || true) (crash: $(grep -m1 -o -E 'ERROR: AddressSanitizer: [a-z-]+|runtime error: .{0,40}|Fatal Python error: [A-Za-z ]+|Segmentation fault|Aborted' \
            "$scratch/.mutant-test.log" || echo 'exit status'))"
        verdict="killed by $caught"
    fi
    cp "$root/$file" "$scratch/$file"  # back to the checkout's text, with a fresh time
    results+=("$(printf '%-46s %-18s %-16s %4ss  %s' "$name" "$(basename "$file")" "$mode" $((SECONDS - start)) "$verdict")")
    echo "${results[-1]}" >&2
done

build >/dev/null 2>&1 || true  # leave the copy built as the checkout stands
printf '\n%-46s %-18s %-16s %5s  %s\n' "mutant" "file" "mode" "time" "verdict"
printf '%s\n' "${results[@]}"
survivors=$(printf '%s\n' "${results[@]}" | grep -c -E 'SURVIVED|no build|error applying|not applicable' || true)
[ "$survivors" -eq 0 ]
