#!/usr/bin/env bash
# Runs the benchmarks and prints each figure against its goal:
#   - InqStat round trip against a raw write+read of the same bytes on the
#     same pseudo-terminal, Linux and TALVO.dll under Wine, pinned to one core,
#     and the line API's status round trip against the same raw loop;
#   - the same over loopback TCP and RFC 2217 against a raw socket loop;
#   - CPU while waiting on a silent terminal, Linux and Wine (Wine server
#     included);
#   - a six-record collection at 4800 baud against the line time of its bytes;
#   - one batch appended to a store of a million records against an empty one;
#   - a card blocked through talvod's HTTP API until the 30 software terminals
#     of three paced lines hold it, against the line time of one line's pushes.
#   - with TALVO_BENCH_SERVICE=1, talvod's page with TALVO_BENCH_PAGE_RECORDS
#     records (15 million by default) against an empty database, and with
#     TALVO_BENCH_TALVOD_BEFORE=path/talvod, records/s into PostgreSQL of
#     that talvod against this build's.
# Figures are ratios measured in this one run; nothing here is a test.
#
#   scripts/bench.sh              # builds the linux and win32 presets first
#   TALVO_BENCH_SECONDS=5 scripts/bench.sh    # shorter waits
# Other builds can be measured with the same benchmarks:
#   TALVO_BENCH_LINUX=build/linux TALVO_BENCH_WIN32=build/win32 (the build
#   folders holding the benchmarks), TALVO_BENCH_LIBRARY=path/libtalvo.so and
#   TALVO_BENCH_DLL=path/TALVO.dll (the library measured).  TALVO_BENCH_WINE=0
#   leaves out Wine.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

linux_build=$(realpath -m "${TALVO_BENCH_LINUX:-$root/build/linux}")
win32_build=$(realpath -m "${TALVO_BENCH_WIN32:-$root/build/win32}")
seconds=${TALVO_BENCH_SECONDS:-20}
with_wine=${TALVO_BENCH_WINE:-1}
core=$(($(nproc) - 1))
pin() { taskset -c "$core" "$@"; }

if [ -z "${TALVO_BENCH_LINUX:-}" ]; then
    cmake --preset linux >/dev/null && cmake --build --preset linux >/dev/null
fi
if [ "$with_wine" = 1 ] && [ -z "${TALVO_BENCH_WIN32:-}" ]; then
    cmake --preset win32 >/dev/null && cmake --build --preset win32 >/dev/null
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/talvo-bench-XXXXXX")
results=$work/results
wineserver_pid=
cleanup() {
    if [ -n "$wineserver_pid" ]; then
        wineserver -k >/dev/null 2>&1 || true
        wait "$wineserver_pid" 2>/dev/null || true
        # and the server folder Wine leaves in the temporary folder
        if declare -F talvo_wine_stop >/dev/null; then talvo_wine_stop; fi
    fi
    rm -rf "$work"
}
trap cleanup EXIT
: >"$results"

# Runs one benchmark in the scratch folder; its RESULT lines are kept.  A
# benchmark that fails is reported and the others still run.
failures=0
run() {
    local title=$1 out
    shift
    printf '\n== %s\n' "$title"
    last_output=
    if ! out=$(cd "$work" && "$@" 2>&1); then
        printf '%s\nbench: %s failed\n' "$out" "$title"
        failures=$((failures + 1))
        return 0
    fi
    grep -v '^RESULT\|^WALL_MS\|^device: \|^link: \|^line: \|^port: \|^control: ' <<<"$out" | grep -v '^动态库' || true
    grep '^RESULT' <<<"$out" >>"$results" || true
    last_output=$out
}

if [ -n "${TALVO_BENCH_LIBRARY:-}" ]; then export TALVO_LIBRARY=$(realpath "$TALVO_BENCH_LIBRARY"); fi

run "Linux: InqStat round trip against the raw loop (core $core)" \
    pin "$linux_build/talvo-sim" --exec -- "$linux_build/talvo_bench_round_trip" 500 16
run "Linux: the line API's status round trip against the raw loop (core $core)" \
    pin "$linux_build/talvo-sim" --exec -- "$linux_build/talvo_bench_line_round_trip" 500 16
run "Linux: InqStat round trip over loopback TCP against a raw socket loop (core $core)" \
    pin "$linux_build/talvo-sim" --listen tcp:127.0.0.1:0 --exec -- "$linux_build/talvo_bench_net_round_trip" 500 16
run "Linux: InqStat round trip over RFC 2217 against a raw socket loop (core $core)" \
    pin "$linux_build/talvo-sim" --listen rfc2217:127.0.0.1:0 --exec -- "$linux_build/talvo_bench_net_round_trip" 500 16
run "Linux: CPU while waiting ${seconds} s on a silent terminal" "$linux_build/talvo_bench_idle_wait" "$seconds"
run "Linux: six-record collection at 4800 baud" "$linux_build/talvo_bench_collection" 10
run "Linux: one batch into a store of a million records" "$linux_build/talvo_bench_store_append" 25 1000000
run "Linux: two lines from two threads against one line alone, 9600 baud" "$linux_build/talvo_bench_parallel_lines" 40
# The library in the benchmark's own process opens no port of its settings
# file at load, and that file stays in the scratch folder.
run "talvod: a card blocked on 3 lines x 10 terminals at 9600 baud against its pushes' line time (core $core)" \
    env TMPDIR="$work" TALVO_WINDIR="$work" TALVO_DEFER_PORT=1 taskset -c "$core" "$linux_build/talvo_service_bench" block 20
if [ "${TALVO_BENCH_SERVICE:-0}" = 1 ]; then
    # talvod: the page with a year of records against an empty database,
    # and (given another talvod) records/s into PostgreSQL against it.
    page_records=${TALVO_BENCH_PAGE_RECORDS:-15000000}
    run "talvod: the page with $page_records records against an empty database (core $core)" \
        pin "$linux_build/talvo_service_bench" page "$page_records"
    if [ -n "${TALVO_BENCH_TALVOD_BEFORE:-}" ]; then
        export TALVO_BENCH_TALVOD_BEFORE=$(realpath "$TALVO_BENCH_TALVOD_BEFORE")
        run "talvod: records/s into PostgreSQL, $TALVO_BENCH_TALVOD_BEFORE against this build (core $core)" \
            pin "$linux_build/talvo_service_bench" rate 6000
    fi
fi

if [ "$with_wine" = 1 ]; then
    # A Wine prefix of the benchmarks' own, with its own server pinned to the
    # same core as the host and the terminal.
    export WINEPREFIX=$(realpath -m "${TALVO_BENCH_WINEPREFIX:-$root/build/bench-wine-prefix}")
    source scripts/wine-env.sh
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
        mkdir -p "$WINEPREFIX"
        wineboot -i >/dev/null 2>&1 && wineserver -w
    fi
    wineserver -k >/dev/null 2>&1 || true
    wineserver -w >/dev/null 2>&1 || true
    taskset -c "$core" wineserver -f -p </dev/null >/dev/null 2>&1 &
    wineserver_pid=$!
    sleep 0.3
    pin wine cmd /c exit </dev/null >/dev/null 2>&1 || true
    # The server's own process (wineserver may be a wrapper that runs it).
    server_pid=$wineserver_pid
    child=$(pgrep -P "$wineserver_pid" 2>/dev/null | head -1 || true)
    [ -z "$child" ] || server_pid=$child
    printf '\nWine server %s on core %s\n' "$server_pid" "$(taskset -pc "$server_pid" | sed 's/.*: //')"

    bench_dir=$win32_build
    if [ -n "${TALVO_BENCH_DLL:-}" ]; then
        bench_dir=$work/win32
        mkdir -p "$bench_dir"
        cp "$win32_build"/talvo_bench_*.exe "$bench_dir/"
        cp "$(realpath "$TALVO_BENCH_DLL")" "$bench_dir/TALVO.dll"
    fi
    sim=$linux_build/talvo-sim
    link=$WINEPREFIX/dosdevices/com7
    export TALVO_SIM_COMNAME=COM7
    on_wine() { pin "$sim" --link "$link" --exec -- wine "$bench_dir/$1.exe" "${@:2}"; }

    run "Wine: InqStat round trip against the raw Win32 loop (core $core)" on_wine talvo_bench_round_trip 250 16

    ticks() { awk '{print $14 + $15}' "/proc/$server_pid/stat"; }
    before=$(ticks)
    run "Wine: CPU while waiting ${seconds} s on a silent terminal" on_wine talvo_bench_idle_wait "$seconds"
    after=$(ticks)
    wall=$(sed -n 's/^WALL_MS //p' <<<"$last_output")
    host=$(awk '$2 == "idle_cpu_wine_host" {print $3}' "$results")
    hz=$(getconf CLK_TCK)
    if [ -n "$wall" ] && [ -n "$host" ]; then
        awk -v a="$after" -v b="$before" -v hz="$hz" -v wall="$wall" -v host="$host" 'BEGIN {
            server = 100 * (a - b) * 1000 / hz / wall
            printf "Wine server: %.2f %% of a core; host and server together: %.2f %%\n", server, host + server
            printf "RESULT idle_cpu_wine_total %.4f 1.0000 %% of a core\n", host + server >> "/dev/stderr"
        }' 2>>"$results"
    fi
fi

printf '\n== Figures against the goals\n'
awk '{
    verdict = ($3 + 0 <= $4 + 0) ? "within the goal" : "ABOVE THE GOAL"
    unit = $5; for (i = 6; i <= NF; i++) unit = unit " " $i
    printf "%-22s %9.3f %-14s goal <= %-6g %s\n", $2, $3, unit, $4, verdict
}' "$results" | sed 's/^/  /'
[ "$failures" -eq 0 ] || { echo "bench: $failures benchmark(s) failed"; exit 1; }
