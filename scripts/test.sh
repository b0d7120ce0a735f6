#!/usr/bin/env bash
# Sets up a fresh Debian machine, builds both libraries and runs every test:
#   the Linux library natively and under the address and undefined-behaviour
#   sanitizers, and TALVO.dll under Wine against the software terminal.
set -euo pipefail
cd "$(dirname "$0")/.."
start=$(date +%s)

# Every temporary file of the run - the tests', the tools', Wine's server
# folder - goes under one folder, removed at the end whatever happened.  The
# PostgreSQL tests' server user must be able to pass through it.
export TMPDIR=$(mktemp -d "${TMPDIR:-/tmp}/talvo-run-XXXXXX")
chmod 755 "$TMPDIR"
cleanup() {
    if declare -F talvo_wine_stop >/dev/null; then talvo_wine_stop; fi
    rm -rf "$TMPDIR"
}
trap cleanup EXIT
step() { printf '\n== %s (%ss)\n' "$1" "$(($(date +%s) - start))"; }

step "packages"
scripts/install-deps.sh

step "build: linux"
cmake --preset linux >/dev/null
cmake --build --preset linux
step "build: linux-asan"
cmake --preset linux-asan >/dev/null
cmake --build --preset linux-asan
step "build: win32"
cmake --preset win32 >/dev/null
cmake --build --preset win32
step "build: win64"
cmake --preset win64 >/dev/null
cmake --build --preset win64

passed=0
failed=0
run_ctest() {
    local preset=$1 log
    log=$(mktemp)
    step "tests: $preset"
    set +e
    ctest --preset "$preset" 2>&1 | tee "$log"
    set -e
    local line total bad
    line=$(grep -E 'tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" | tail -1)
    if [ -z "$line" ]; then
        failed=$((failed + 1))
    else
        total=$(sed -E 's/.*out of ([0-9]+).*/\1/' <<<"$line")
        bad=$(sed -E 's/.*passed, ([0-9]+) tests? failed.*/\1/' <<<"$line")
        passed=$((passed + total - bad))
        failed=$((failed + bad))
    fi
    rm -f "$log"
}

run_ctest linux
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 run_ctest linux-asan

source scripts/wine-env.sh
talvo_wine_start
run_ctest win32
talvo_wine_stop

# The 64-bit DLL: the same suite in a 64-bit prefix with the 64-bit loader.
TALVO_WINE_ARCH=win64 source scripts/wine-env.sh
talvo_wine_start
run_ctest win64

# What a user runs from the README, end to end: both demos, and the Debian
# packages built, checked, installed with apt and purged again.  Each script
# ends with its own "N passed, N failed".
run_script() {  # STEP SCRIPT ARGS...
    local log line
    log=$(mktemp)
    step "$1"
    shift
    set +e
    "$@" 2>&1 | tee "$log"
    set -e
    line=$(grep -E '^[a-z0-9.-]+: [0-9]+ passed, [0-9]+ failed$' "$log" | tail -1 || true)
    if [ -z "$line" ]; then
        failed=$((failed + 1))
    else
        passed=$((passed + $(sed -E 's/.*: ([0-9]+) passed.*/\1/' <<<"$line")))
        failed=$((failed + $(sed -E 's/.*passed, ([0-9]+) failed/\1/' <<<"$line")))
    fi
    rm -f "$log"
}
# talvod.exe under 64-bit Wine (its prefix's server still runs from the
# win64 suite) against software terminals of the Linux build.
run_script "talvod.exe under Wine" tests/windows/talvod_wine_test.sh .
talvo_wine_stop
run_script "demos" tests/install/demo_test.sh .
run_script "Debian packages" tests/install/deb_test.sh .

step "done"
echo "talvo: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
