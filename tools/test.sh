#!/usr/bin/env bash
# Builds every preset and runs every test: the unit tests natively and under Wine, then the
# whole-system tests. Ends with one line "N passed, N failed, N skipped"; exits non-zero on
# any failure.
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
for preset in linux win32 win64; do
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

for preset in win64 win32; do
    echo "== Unit tests, $preset build under Wine"
    out="$log_dir/unit-$preset.log"
    timeout 900 "$root/tests/run-wine-unit.sh" "$root/build/$preset/tests/unit/merel_unit_tests.exe" \
        >"$out" 2>&1
    rc=$?
    if [ "$rc" -eq 77 ]; then
        skipped=$((skipped + 1))
        grep -i skip "$out" | tail -n 1
    else
        count_gtest "unit tests ($preset under Wine)" "$out" "$rc"
        tail -n 3 "$out"
    fi
done

echo "== Whole-system tests"
for t in "$root"/tests/e2e/*.sh "$root"/tests/e2e/*.py; do
    [ -x "$t" ] || continue
    name=$(basename "$t")
    out="$log_dir/e2e-$name.log"
    echo "-- $name"
    timeout 900 "$t" >"$out" 2>&1
    rc=$?
    ok=$(grep -c '^ok - ' "$out")
    bad=$(grep -c '^not ok - ' "$out")
    skip=$(grep -c '^skip - ' "$out")
    grep -E '^(ok|not ok|skip) - ' "$out"
    passed=$((passed + ok)); skipped=$((skipped + skip))
    if [ "$bad" -gt 0 ]; then
        failed=$((failed + bad)); failures+=("$name: $bad cases")
    elif [ "$rc" -ne 0 ]; then
        tail -n 20 "$out"
        fail "$name (exit $rc, see $out)"
    fi
done

if [ "${#failures[@]}" -gt 0 ]; then
    echo "== Failures"
    printf '  %s\n' "${failures[@]}"
fi
echo "$passed passed, $failed failed, $skipped skipped"
[ "$failed" -eq 0 ]
