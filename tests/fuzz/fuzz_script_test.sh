#!/usr/bin/env bash
# scripts/fuzz.sh as the README gives it, in a short form: two targets for
# two seconds each, built with clang in build/fuzz.  It reports each
# target, refuses what it does not know, and leaves no fuzzer running and
# nothing in its work and findings folders' parent.
set -euo pipefail
source_dir=$1
command -v clang++-14 >/dev/null || { echo "clang 14 is not installed"; exit 77; }
tmp=$(mktemp -d "${TMPDIR:-/tmp}/talvo-fuzz-test-XXXXXX")
trap 'rm -rf "$tmp"' EXIT
export FUZZ_WORK=$tmp/work FUZZ_FINDINGS=$tmp/findings

"$source_dir/scripts/fuzz.sh" 2 device_url telnet >"$tmp/out" 2>&1 || { cat "$tmp/out"; echo "fuzz.sh failed"; exit 1; }
for t in device_url telnet; do
    grep -E "^fuzz_$t: [1-9][0-9]* executions, cov: [0-9]+ ft: [0-9]+, corpus [0-9]+ inputs, no findings$" "$tmp/out" ||
        { cat "$tmp/out"; echo "no report of fuzz_$t"; exit 1; }
    [ -s "$FUZZ_WORK/$t.log" ] || { echo "no log of fuzz_$t"; exit 1; }
done
# No findings, so no findings folder.
[ ! -e "$FUZZ_FINDINGS" ] || { echo "an empty findings folder was left"; exit 1; }
if pgrep -f "$tmp" >/dev/null; then
    echo "a fuzzer is still running"
    exit 1
fi

# An unknown target or a bad duration: usage, status 2, nothing run.
set +e
"$source_dir/scripts/fuzz.sh" 2 no_such_target >"$tmp/out" 2>&1
[ $? -eq 2 ] && grep -q "no target 'no_such_target'" "$tmp/out" || { cat "$tmp/out"; echo "unknown target accepted"; exit 1; }
"$source_dir/scripts/fuzz.sh" 1x >"$tmp/out" 2>&1
[ $? -eq 2 ] && grep -q "usage:" "$tmp/out" || { cat "$tmp/out"; echo "bad duration accepted"; exit 1; }
set -e
echo "fuzz.sh: ok"
