#!/bin/sh
# The checks that follow `make check` in CI:
#   1. the whole test suite in an AddressSanitizer + UndefinedBehaviorSanitizer build (clang);
#   2. the threaded tests (HID module, hub, fault runs, the command line) in a ThreadSanitizer
#      build (clang);
#   3. each fuzz target for a bounded time, from its seed corpus; a crash fails the run.
# Ends with its own "N passed, N failed" line (test cases counted as tools/test-summary.py
# counts them, one case per fuzz target) and exits non-zero on any failure.
#
#   tools/ci-extra.sh            build dirs build-ci-asan and build-ci-tsan beside the sources
#   FUZZ_SECONDS=60              time per fuzz target
#   CI_EXTRA_JOBS=2              parallel compile and test jobs
# Needs clang and libclang-rt-14-dev besides what `make check` needs (tools/setup.sh --test).
set -u
src=$(cd "$(dirname "$0")/.." && pwd)
asan=${ASAN_BUILD:-$src/build-ci-asan}
tsan=${TSAN_BUILD:-$src/build-ci-tsan}
fuzz_seconds=${FUZZ_SECONDS:-60}
jobs=${CI_EXTRA_JOBS:-2}
cxx=${CI_EXTRA_CXX:-clang++}

# Undefined behaviour stops the program (and so fails its test) instead of being printed only.
UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
# Races inside uninstrumented system libraries under the umockdev preload; see the file.
TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:suppressions=$src/tests/tsan.supp"
export UBSAN_OPTIONS TSAN_OPTIONS

started=$(date +%s)
passed=0
failed=0
problems=

elapsed() {
    echo "$(( $(date +%s) - started )) s"
}

note_failure() {
    failed=$((failed + $1))
    problems="$problems
  $2"
}

# Adds up the cases of a finished `meson test` run.
count_tests() {
    line=$(python3 "$src/tools/test-summary.py" "$1" | tail -n 1)
    echo "  $2: $line"
    p=$(echo "$line" | sed -n 's/^\([0-9]*\) passed, \([0-9]*\) failed.*/\1/p')
    f=$(echo "$line" | sed -n 's/^\([0-9]*\) passed, \([0-9]*\) failed.*/\2/p')
    passed=$((passed + ${p:-0}))
    if [ "${f:-1}" != 0 ]; then
        note_failure "${f:-1}" "$2: ${f:-?} failed"
    fi
}

setup() {
    dir=$1
    shift
    if [ ! -f "$dir/build.ninja" ]; then
        CXX=$cxx meson setup "$dir" "$src" "$@" >"$dir.setup.log" 2>&1 || {
            cat "$dir.setup.log"
            return 1
        }
    fi
}

# --- 1. AddressSanitizer + UndefinedBehaviorSanitizer: everything ------------------------------
echo "== AddressSanitizer + UndefinedBehaviorSanitizer build ($(elapsed))"
if setup "$asan" -Db_sanitize=address,undefined -Db_lundef=false && ninja -C "$asan" -j "$jobs" >"$asan.build.log" 2>&1; then
    meson test -C "$asan" --no-rebuild --num-processes "$jobs" --print-errorlogs \
        --timeout-multiplier 3 >"$asan.test.log" 2>&1
    grep -E "^ *[0-9]+/[0-9]+ " "$asan.test.log" | grep -v " OK " | sort -u || true
    count_tests "$asan" "asan+ubsan tests"
    asan_built=1
else
    tail -n 40 "$asan.build.log"
    note_failure 1 "asan+ubsan build failed"
    asan_built=0
fi

# --- 2. ThreadSanitizer: the threaded HID module, hub, fault runs and command line --------------
echo "== ThreadSanitizer build ($(elapsed))"
# The command-line test runs the instrumented program itself: a race there ends it with
# ThreadSanitizer's status, and the test sees the wrong exit status.
tsan_targets="tests/hid/test_hid tests/app/test_hub tests/fault/test_fault_device zevrin tests/cli/test_command_line
    po/build-tree-locale.stamp"
if setup "$tsan" -Db_sanitize=thread -Db_lundef=false && ninja -C "$tsan" -j "$jobs" $tsan_targets >"$tsan.build.log" 2>&1; then
    meson test -C "$tsan" --no-rebuild --num-processes "$jobs" --print-errorlogs \
        --timeout-multiplier 5 hid hub fault_device command_line >"$tsan.test.log" 2>&1
    grep -E "^ *[0-9]+/[0-9]+ " "$tsan.test.log" | grep -v " OK " | sort -u || true
    count_tests "$tsan" "tsan tests (hid, hub, fault_device, command_line)"
else
    tail -n 40 "$tsan.build.log"
    note_failure 1 "tsan build failed"
fi

# --- 3. Fuzzing: each target from its seeds, for a bounded time ---------------------------------
echo "== fuzzing, $fuzz_seconds s per target ($(elapsed))"
if [ "$asan_built" = 1 ]; then
    for target in descriptor report settings config_file; do
        exe="$asan/tests/fuzz/fuzz_$target"
        if [ ! -x "$exe" ]; then
            note_failure 1 "fuzz_$target was not built (is the compiler clang?)"
            continue
        fi
        work=$(mktemp -d)
        mkdir "$work/corpus"
        # New inputs go to the scratch corpus; the seeds in the repository are only read. Leaks
        # count as findings here (the code under test frees what each input allocates).
        ASAN_OPTIONS=detect_leaks=1 "$exe" -max_total_time="$fuzz_seconds" -timeout=10 \
            -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$work/" \
            "$work/corpus" "$src/tests/fuzz/corpus/$target" >"$work/log" 2>&1
        rc=$?
        runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$work/log")
        if [ "$rc" = 0 ]; then
            echo "  fuzz_$target: ${runs:-?} inputs, no finding"
            passed=$((passed + 1))
            rm -rf "$work"
        else
            tail -n 60 "$work/log"
            note_failure 1 "fuzz_$target: finding (exit $rc), input and log kept in $work"
        fi
    done
else
    note_failure 3 "fuzzing skipped: no sanitizer build"
fi

echo "== done in $(elapsed)"
if [ -n "$problems" ]; then
    echo "failures:$problems"
fi
echo "$passed passed, $failed failed"
[ "$failed" = 0 ]
