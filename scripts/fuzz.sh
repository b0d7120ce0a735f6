#!/usr/bin/env bash
# Runs the fuzz targets with libFuzzer and the address and undefined-behaviour
# sanitizers (clang 14, the fuzz preset in build/fuzz):
#
#   scripts/fuzz.sh [SECONDS] [TARGET...]
#
# Each target (all of them unless named: reply, collection, record, store, settings,
# telnet, device_url, config, desired, command, query, values) runs for
# SECONDS (60) from its seed corpus in tests/fuzz/corpus/TARGET, one after
# the other.  New inputs go to the work folder (FUZZ_WORK, build/fuzz/work),
# findings to FUZZ_FINDINGS (tests/fuzz/findings)/TARGET; the exit status
# is 1 when there is a finding.  Add a finding to the corpus once it is
# fixed, so that ctest replays it on every build.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

seconds=${1:-60}
[ $# -gt 0 ] && shift
if ! [[ $seconds =~ ^[0-9]+$ ]] || [ "$seconds" -eq 0 ]; then
    echo "usage: scripts/fuzz.sh [SECONDS] [TARGET...]" >&2
    exit 2
fi
all=(reply collection record store settings telnet device_url config desired command query values)
targets=("$@")
[ ${#targets[@]} -eq 0 ] && targets=("${all[@]}")
for t in "${targets[@]}"; do
    if [ ! -d "tests/fuzz/corpus/$t" ]; then
        echo "fuzz: no target '$t' (${all[*]})" >&2
        exit 2
    fi
done
work=${FUZZ_WORK:-$root/build/fuzz/work}
findings=${FUZZ_FINDINGS:-$root/tests/fuzz/findings}

# A fuzzer still running when this script is stopped is stopped with it.
child=
stop() {
    if [ -n "$child" ]; then
        kill "$child" 2>/dev/null || true
        wait "$child" 2>/dev/null || true
    fi
}
trap 'stop; exit 130' INT TERM
trap stop EXIT

cmake --preset fuzz >/dev/null
cmake --build build/fuzz --target "${targets[@]/#/fuzz_}"

found=0
for t in "${targets[@]}"; do
    mkdir -p "$work/$t" "$findings/$t"
    log="$work/$t.log"
    set +e
    build/fuzz/fuzz_$t -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
        -artifact_prefix="$findings/$t/" "$work/$t" "tests/fuzz/corpus/$t" >"$log" 2>&1 &
    child=$!
    wait "$child"
    status=$?
    child=
    set -e
    execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
    cov=$(grep -oE 'cov: [0-9]+ ft: [0-9]+' "$log" | tail -1)
    corpus=$(find "$work/$t" -type f | wc -l)
    shopt -s nullglob
    saved=("$findings/$t"/*)
    shopt -u nullglob
    if [ "$status" -ne 0 ] || [ ${#saved[@]} -gt 0 ]; then
        found=1
        echo "fuzz_$t: FINDING after ${execs:-?} executions (log: $log)"
        grep -E 'invariant broken|ERROR: |SUMMARY: ' "$log" | head -5 | sed 's/^/    /'
        for f in "${saved[@]}"; do
            echo "    saved: $f   (replay: build/fuzz/fuzz_$t $f)"
        done
    else
        echo "fuzz_$t: ${execs:-0} executions, ${cov:-cov: ?}, corpus $corpus inputs, no findings"
    fi
    rmdir "$findings/$t" 2>/dev/null || true
done
rmdir "$findings" 2>/dev/null || true
exit $found
