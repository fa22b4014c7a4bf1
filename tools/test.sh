#!/usr/bin/env bash
# Builds every preset and runs every test: the unit tests natively, under ASan/UBSan and under
# Wine, the whole-system tests, the Linux ones a second time against the sanitizer build, and
# each fuzz harness for a bounded time. Ends with one line "N passed, N failed, N skipped";
# exits non-zero on any failure.
set -uo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

"$root/tools/setup.sh" || { echo "setup failed"; echo "0 passed, 1 failed"; exit 1; }

passed=0 failed=0 skipped=0
failures=()
log_dir="$root/build/test-logs"
mkdir -p "$log_dir"

fail() { failed=$((failed + 1)); failures+=("$1"); echo "FAILED: $1"; }

# Counts one GoogleTest run from its output file.
count_gtest() {
    local name=$1 out=$2 rc=$3 p f
    p=$(sed -n 's/^\[  PASSED  \] \([0-9]*\) tests\{0,1\}\..*/\1/p' "$out" | tail -n 1)
    f=$(sed -n 's/^\[  FAILED  \] \([0-9]*\) tests\{0,1\}, listed below.*/\1/p' "$out" | tail -n 1)
    passed=$((passed + ${p:-0}))
    if [ -n "$f" ]; then
        failed=$((failed + f)); failures+=("$name: $f tests")
        grep '^\[  FAILED  \] [A-Za-z]' "$out" | sort -u
    elif [ "$rc" -ne 0 ] || [ -z "$p" ]; then
        fail "$name (exit $rc, see $out)"
    fi
}

echo "== Building the presets"
for preset in linux linux-clang linux-asan linux-release win32 win64; do
    echo "-- $preset"
    if ! { cmake --preset "$preset" >"$log_dir/configure-$preset.log" 2>&1 &&
        cmake --build --preset "$preset" >"$log_dir/build-$preset.log" 2>&1; }; then
        tail -n 40 "$log_dir/configure-$preset.log" "$log_dir/build-$preset.log"
        fail "build of preset $preset"
    fi
done
if [ "$failed" -ne 0 ]; then
    echo "$passed passed, $failed failed, $skipped skipped"
    exit 1
fi

export MEREL_SOURCE="$root"
export MEREL_BUILD_LINUX="$root/build/linux"
export MEREL_BUILD_WIN32="$root/build/win32"
export MEREL_BUILD_WIN64="$root/build/win64"

echo "== Unit tests, native"
out="$log_dir/unit-linux.log"
timeout 600 "$MEREL_BUILD_LINUX/tests/unit/merel_unit_tests" >"$out" 2>&1
count_gtest "unit tests (linux)" "$out" $?
tail -n 3 "$out"

# The sanitizers stop a program at their first report (-fno-sanitize-recover=all) and write it
# to a file of their own: the service, started by the bus, has no stderr that a test sees.
sanitizer_dir="$log_dir/sanitizers"
rm -rf "$sanitizer_dir"
mkdir -p "$sanitizer_dir"
sanitizer_env=(
    "ASAN_OPTIONS=log_path=$sanitizer_dir/asan:abort_on_error=1:detect_leaks=1"
    "UBSAN_OPTIONS=log_path=$sanitizer_dir/ubsan:print_stacktrace=1:halt_on_error=1"
)
# Counts a sanitizer report written since the last call as one failure of `name`.
check_sanitizer_reports() {
    local name=$1 reports
    reports=$(find "$sanitizer_dir" -type f | sort)
    [ -z "$reports" ] && return 0
    for r in $reports; do head -n 30 "$r"; mv "$r" "$log_dir/"; done
    fail "$name: sanitizer report (see $log_dir)"
}

echo "== Unit tests, ASan/UBSan build"
out="$log_dir/unit-linux-asan.log"
env "${sanitizer_env[@]}" timeout 900 "$root/build/linux-asan/tests/unit/merel_unit_tests" \
    >"$out" 2>&1
count_gtest "unit tests (linux-asan)" "$out" $?
check_sanitizer_reports "unit tests (linux-asan)"
tail -n 3 "$out"

for preset in win64 win32; do
    echo "== Unit tests, $preset build under Wine"
    out="$log_dir/unit-$preset.log"
    timeout 900 "$root/tests/run-wine-unit.sh" "$root/build/$preset/tests/unit/merel_unit_tests.exe" \
        >"$out" 2>&1
    rc=$?
    if [ "$rc" -eq 77 ]; then
        skipped=$((skipped + 1))
        echo "skip - unit tests ($preset under Wine): $(tail -n 1 "$out")"
    else
        count_gtest "unit tests ($preset under Wine)" "$out" "$rc"
        tail -n 3 "$out"
    fi
done

# Runs one whole-system test, through the command given after its label if any (env ...),
# and counts its ok / not ok / skip lines.
run_e2e() {
    local t=$1 label=$2 out rc ok bad skip
    shift 2
    out="$log_dir/e2e-$label.log"
    echo "-- $label"
    timeout 900 "$@" "$t" >"$out" 2>&1
    rc=$?
    ok=$(grep -c '^ok - ' "$out")
    bad=$(grep -c '^not ok - ' "$out")
    skip=$(grep -c '^skip - ' "$out")
    grep -E '^(ok|not ok|skip) - ' "$out"
    passed=$((passed + ok)); skipped=$((skipped + skip))
    if [ "$bad" -gt 0 ]; then
        failed=$((failed + bad)); failures+=("$label: $bad cases")
    elif [ "$rc" -ne 0 ]; then
        tail -n 20 "$out"
        fail "$label (exit $rc, see $out)"
    fi
}

echo "== Whole-system tests"
for t in "$root"/tests/e2e/*.sh "$root"/tests/e2e/*.py; do
    name=$(basename "$t")
    [ -x "$t" ] || continue
    case "$name" in
        # Each Windows test once for the 64-bit and once for the 32-bit server.
        windows_*)
            for bits in 64 32; do
                run_e2e "$t" "$name-win$bits" env MEREL_WINDOWS_BITS=$bits
            done
            ;;
        *) run_e2e "$t" "$name" ;;
    esac
done

echo "== Whole-system tests of the Linux programs, ASan/UBSan build"
for t in "$root"/tests/e2e/*.sh "$root"/tests/e2e/*.py; do
    name=$(basename "$t")
    [ -x "$t" ] || continue
    case "$name" in windows_*) continue ;; esac
    run_e2e "$t" "$name-asan" env MEREL_BUILD_LINUX="$root/build/linux-asan" "${sanitizer_env[@]}"
    check_sanitizer_reports "$name (linux-asan)"
done

echo "== Fuzzing"
# Each harness runs from a copy of its seed corpus, so what it finds does not grow the
# repository's; a crash or a broken property leaves its input in the log folder.
fuzz_seconds=${MEREL_FUZZ_SECONDS:-30}
for bin in "$root"/build/linux-asan/tests/fuzz/fuzz_*; do
    [ -x "$bin" ] || continue
    name=${bin##*/fuzz_}
    scratch="$root/build/fuzz-corpus/$name"
    rm -rf "$scratch"
    mkdir -p "$scratch"
    cp "$root/tests/fuzz/corpus/$name"/* "$scratch/"
    out="$log_dir/fuzz-$name.log"
    timeout $((fuzz_seconds + 120)) "$bin" -max_total_time="$fuzz_seconds" -timeout=10 \
        -rss_limit_mb=2048 -artifact_prefix="$log_dir/fuzz-$name-" "$scratch" >"$out" 2>&1
    rc=$?
    runs=$(sed -n 's/^Done \([0-9]*\) runs.*/\1/p' "$out" | tail -n 1)
    if [ "$rc" -eq 0 ] && [ -n "$runs" ]; then
        passed=$((passed + 1))
        echo "ok - fuzz $name: $runs executions in ${fuzz_seconds} s"
    else
        grep -m 5 -E 'ERROR|SUMMARY|deadly signal|Test unit written' "$out"
        fail "fuzz $name (exit $rc, see $out)"
    fi
done

if [ "${#failures[@]}" -gt 0 ]; then
    echo "== Failures"
    printf '  %s\n' "${failures[@]}"
fi
echo "$passed passed, $failed failed, $skipped skipped"
[ "$failed" -eq 0 ]
