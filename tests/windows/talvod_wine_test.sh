#!/usr/bin/env bash
# talvod.exe (the win64 build) under 64-bit Wine against software terminals
# (talvo-sim of the Linux build):
#   - a line over tcp:// and one on a COM port mapped to a pseudo-terminal:
#     every queued record in the SQLite file once, the API and the page
#     answered from Linux;
#   - Ctrl+C (SIGINT to the process under Wine): a clean stop, status 0;
#   - a kill (SIGKILL) while it collects and a start again: each record
#     still once;
#   - --check refuses a PostgreSQL target with its reason.
#   talvod_wine_test.sh SOURCE_DIR
# Runs in the 64-bit Wine prefix of scripts/wine-env.sh (started here when
# no server runs).  Ends with "talvod-wine: N passed, N failed".
set -uo pipefail
source=$(realpath "$1")
cd "$source"
tmp=$(mktemp -d)
sims=()
daemon=
cleanup() {
    local pid
    [ -z "$daemon" ] || kill -KILL "$daemon" 2>/dev/null
    for pid in "${sims[@]}"; do kill "$pid" 2>/dev/null || true; done
    for pid in "${sims[@]}" $daemon; do wait "$pid" 2>/dev/null || true; done
    rm -f "$WINEPREFIX/dosdevices/com41"
    if [ -n "${started_wine:-}" ]; then talvo_wine_stop; fi
    rm -rf "$tmp"
}
trap cleanup EXIT
source tests/install/checks.sh
TALVO_WINE_ARCH=win64 source scripts/wine-env.sh
started_wine=1
talvo_wine_start

exe=build/win64/talvod.exe
sim=build/linux/talvo-sim
free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }
winpath() { printf 'Z:%s' "${1//\//\\}"; }

# A software terminal on the network and one on a pseudo-terminal linked as
# COM41 in the prefix, 30 records queued on each.
start_sim() {  # OUT ARGS...
    local out=$1
    shift
    "$sim" "$@" >"$out" 2>&1 &
    sims+=($!)
    for _ in $(seq 100); do grep -q "^line: \|device" "$out" && return 0; sleep 0.1; done
    return 1
}
start_sim "$tmp/sim-net.out" --terminal 1 --records 1:30 --listen tcp:127.0.0.1:0
net_url=$(sed -n 's/^line: //p' "$tmp/sim-net.out" | head -1)
start_sim "$tmp/sim-com.out" --terminal 2 --records 2:30 --link "$WINEPREFIX/dosdevices/com41"
sleep 0.3
port=$(free_port)
cat >"$tmp/talvod.toml" <<TOML
database = '$(winpath "$tmp/records.db")'
[http]
listen = "127.0.0.1"
port = $port
[jobs]
collect = "1s"
status = "1h"
clock = "1d"
clock_at_start = false
[[line]]
name = "net"
device = "$net_url"
  [[line.terminal]]
  number = 1
[[line]]
name = "com"
device = "COM41"
  [[line.terminal]]
  number = 2
TOML

start_daemon() {
    "$TALVO_WINE" "$exe" "$(winpath "$tmp/talvod.toml")" </dev/null >>"$tmp/talvod.log" 2>&1 &
    daemon=$!
    for _ in $(seq 300); do
        curl -sf "http://127.0.0.1:$port/healthz" >/dev/null 2>&1 && return 0
        kill -0 "$daemon" 2>/dev/null || return 1
        sleep 0.1
    done
    return 1
}
records() { sqlite3 "$tmp/records.db" "SELECT count(*) FROM records" 2>/dev/null; }
wait_records() {  # N: until N records are stored (60 s at most)
    for _ in $(seq 600); do
        [ "$(records)" = "$1" ] && return 0
        sleep 0.1
    done
    return 1
}

check "--check refuses a PostgreSQL target with its reason" bash -c "
    printf 'database = \"postgresql://u@h/d\"\n[[line]]\nname = \"a\"\ndevice = \"COM41\"\n  [[line.terminal]]\n  number = 1\n' >'$tmp/pg.toml'
    ! '$TALVO_WINE' '$exe' --check '$(winpath "$tmp/pg.toml")' 2>'$tmp/pg.err' && grep -q 'no PostgreSQL client' '$tmp/pg.err'"
check "talvod.exe starts and answers /healthz" start_daemon
# Killed while it collects (the first records stored, not all yet), then
# started again: what was committed stays, the rest is collected, nothing twice.
for _ in $(seq 600); do n=$(records); [ "${n:-0}" -gt 0 ] && break; sleep 0.05; done
kill -KILL "$daemon"; wait "$daemon" 2>/dev/null; daemon=
check "started again after a kill" start_daemon
check "60 records from tcp:// and COM41, each once" wait_records 60
sleep 3  # three more collections: the terminals have nothing left to give
check "none twice (still 60, all different)" bash -c "[ \"\$(sqlite3 '$tmp/records.db' \"SELECT count(*) || '/' || count(DISTINCT line || terminal || card || at || amount_cents) FROM records\")\" = 60/60 ]"
check "the API counts them" bash -c "curl -sf 'http://127.0.0.1:$port/api/records?limit=1' | grep -q '\"total\":60'"
check "the page is served" bash -c "curl -sf 'http://127.0.0.1:$port/' | grep -qi '<html'"
# Ctrl+C: the process under Wine gets SIGINT, the console handler stops it.
kill -INT "$daemon"
stopped=1
for _ in $(seq 200); do kill -0 "$daemon" 2>/dev/null || { stopped=0; break; }; sleep 0.1; done
wait "$daemon" 2>/dev/null
status=$?
daemon=
check "Ctrl+C stops it cleanly (status 0, 'stopped' logged)" bash -c "[ $stopped = 0 ] && [ $status = 0 ] && grep -q ' stopped' '$tmp/talvod.log'"

if [ "$failed" -gt 0 ] || [ -n "${TALVO_TEST_VERBOSE:-}" ]; then sed 's/^/  talvod: /' "$tmp/talvod.log" | tail -30; fi
echo "talvod-wine: $passed passed, $failed failed"
