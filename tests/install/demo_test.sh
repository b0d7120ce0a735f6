#!/usr/bin/env bash
# The README's two demos run as a user runs them, each checked for what the
# README promises and for leaving nothing running:
#   scripts/demo.sh          talvo demo to its end: every step ok, the records
#                            collected, the store file and ErrRec.doc kept;
#   scripts/demo-service.sh  talvod and two software lines: the page, the
#                            token, the records collected, the build's
#                            progress; stopped with SIGTERM and with Ctrl-C
#                            (SIGINT to its process group: status 0, nothing
#                            printed); a second demo on a port in use fails
#                            and stops what it started.
#   demo_test.sh SOURCE_DIR
# Ends with "demos: N passed, N failed".
set -uo pipefail
source=$(realpath "$1")
tmp=$(mktemp -d)
python=/usr/bin/python3
demo_pids=()
holder=
cleanup() {
    local pid
    [ -z "$holder" ] || kill "$holder" 2>/dev/null
    for pid in "${demo_pids[@]}"; do kill -TERM -- "-$pid" 2>/dev/null || true; done
    for pid in "${demo_pids[@]}"; do wait "$pid" 2>/dev/null || true; done
    rm -rf "$tmp"
}
forget_demo() {  # PID
    local pid kept=()
    for pid in "${demo_pids[@]}"; do [ "$pid" = "$1" ] || kept+=("$pid"); done
    demo_pids=("${kept[@]}")
}
trap cleanup EXIT

source "$(dirname "${BASH_SOURCE[0]}")/checks.sh"

# Processes whose command line names PATH (the demos put their folder in the
# command lines of talvod and the software terminals); none when all stopped.
left_running() {  # PATH
    pgrep -af -- "$1" | grep -v -e "pgrep" -e "demo_test.sh" || true
}
nothing_left() {  # PATH
    local left
    left=$(left_running "$1")
    [ -z "$left" ] || { echo "still running:"; echo "$left"; return 1; }
}

free_port() {
    "$python" -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

# GET PATH with the token (or none); prints the status and the body.
http_get() {  # PORT PATH [TOKEN]
    "$python" - "$@" <<'PY'
import sys, urllib.request, urllib.error
port, path = sys.argv[1], sys.argv[2]
request = urllib.request.Request(f"http://127.0.0.1:{port}{path}")
if len(sys.argv) > 3:
    request.add_header("Authorization", "Bearer " + sys.argv[3])
try:
    with urllib.request.urlopen(request, timeout=10) as answer:
        print(answer.status)
        print(answer.read().decode())
except urllib.error.HTTPError as e:
    print(e.code)
    print(e.read().decode())
PY
}

# ---- scripts/demo.sh ---------------------------------------------------------
"$source/scripts/demo.sh" --dir "$tmp/demo" >"$tmp/demo.out" 2>&1
status=$?
check "demo.sh exits 0" [ "$status" -eq 0 ]
check "demo.sh: every step ok" bash -c "! grep -q FAILED '$tmp/demo.out'"
# 30 good records of 35 stored; the table's total is the collection's.
running=$(sed -n 's/.*running total \(-\{0,1\}[0-9.]*\)$/\1/p' "$tmp/demo.out" | tail -1)
check "demo.sh: 30 records collected, the table with their total ($running)" \
    bash -c "grep -q '30 records stored' '$tmp/demo.out' && grep -qx 'total: 30 records, $running' '$tmp/demo.out'"
check "demo.sh: store file and ErrRec.doc kept" test -s "$tmp/demo/records.dat" -a -s "$tmp/demo/ErrRec.doc"
check "demo.sh: nothing left running" nothing_left "$tmp/demo"
[ "$failed" -eq 0 ] || tail -40 "$tmp/demo.out"

# ---- scripts/demo-service.sh -------------------------------------------------
# Starts the demo in a process group of its own, as a terminal would, with
# SIGINT taken as at a terminal (a shell starts background commands with
# it ignored), and waits for its page line; its pid is in $demo.
start_service_demo() {  # DIR PORT OUT
    "$python" -c 'import os, signal, sys
signal.signal(signal.SIGINT, signal.SIG_DFL)
os.setsid()
os.execv(sys.argv[1], sys.argv[1:])' "$source/scripts/demo-service.sh" --dir "$1" --port "$2" >"$3" 2>&1 </dev/null &
    demo=$!
    demo_pids+=("$demo")
    # The first run builds talvod and the software terminal.
    for _ in $(seq 1800); do
        grep -qs '^page: ' "$3" && return 0
        kill -0 "$demo" 2>/dev/null || return 1
        sleep 0.5
    done
    return 1
}
# Waits for the demo to end (bounded); its exit status in $demo_status.
wait_demo() {
    for _ in $(seq 200); do
        kill -0 "$demo" 2>/dev/null || break
        sleep 0.1
    done
    if kill -0 "$demo" 2>/dev/null; then
        demo_status=running
        return 1
    fi
    wait "$demo"
    demo_status=$?
    forget_demo "$demo"
}

dir=$tmp/service
port=$(free_port)
if start_service_demo "$dir" "$port" "$tmp/service.out"; then
    check "demo-service.sh starts and prints its page" true
    # The build's progress is shown (its steps, or that it had none to do).
    check "demo-service.sh shows the build's progress" grep -qE '^\[[0-9]+/[0-9]+\] |no work to do' "$tmp/service.out"
    token=$(sed -n 's/^page: .*(token: \(.*\))$/\1/p' "$tmp/service.out")
    check "demo-service.sh: the token it prints has at least 16 characters" [ "${#token}" -ge 16 ]
    check "demo-service.sh: the token is the configuration's" grep -q "token = \"$token\"" "$dir/talvod.toml"
    page=$(http_get "$port" /)
    check "demo-service.sh: the page is served" [ "$(head -1 <<<"$page")" = 200 ]
    answer=$(http_get "$port" /api/terminals)
    check "demo-service.sh: the API wants the token" [ "$(head -1 <<<"$answer")" = 401 ]
    terminals=$(http_get "$port" /api/terminals "$token")
    check "demo-service.sh: five terminals on two lines" \
        "$python" -c 'import json, sys; t = json.loads(sys.argv[1].split("\n", 1)[1]); t = t.get("terminals", t); assert len(t) == 5, t' "$terminals"
    # The 33 sales made before talvod started are collected (every 5 s).
    collected=0
    for _ in $(seq 120); do
        answer=$(http_get "$port" "/api/records?limit=1" "$token")
        collected=$(sed -n '2p' <<<"$answer" |
            "$python" -c 'import json, sys; print(json.load(sys.stdin)["total"])' 2>/dev/null || echo 0)
        [ "$collected" -ge 33 ] && break
        sleep 0.5
    done
    check "demo-service.sh: the morning's 33 sales collected (got $collected)" [ "$collected" -ge 33 ]

    # The README's example of a lost card, as it stands (its port the demo's):
    # the card then applied on the demo's payment terminals.
    example=$(sed -n '/^For example, a card lost at lunchtime:$/,/^Tests (`service_manage`)/p' "$source/README.md" |
        sed -n 's/^    //p' | sed "s/127.0.0.1:8080/127.0.0.1:$port/g")
    check "README: the lost-card example is there" grep -q 'cards/123456/block' <<<"$example"
    TOKEN=$token bash -e -c "$example" >"$tmp/example.out" 2>&1
    check "README: the lost-card example runs" grep -q '"history":\[{"action":"block"' "$tmp/example.out"
    applied=0
    for _ in $(seq 60); do
        answer=$(http_get "$port" /api/cards/123456 "$token")
        applied=$(sed -n '2p' <<<"$answer" | "$python" -c 'import json, sys
print(sum(t["state"] == "applied" for t in json.load(sys.stdin)["terminals"]))' 2>/dev/null || echo 0)
        [ "$applied" -ge 3 ] && break
        sleep 0.5
    done
    check "README: the lost card applied on the three answering tills (got $applied)" [ "$applied" -ge 3 ]

    # A demo whose port another program holds fails, says why, and stops
    # what it started.
    outer=$demo
    "$python" -c 'import socket, time
s = socket.socket()
s.bind(("127.0.0.1", 0))
s.listen()
print(s.getsockname()[1], flush=True)
time.sleep(600)' >"$tmp/holder.port" &
    holder=$!
    for _ in $(seq 50); do [ -s "$tmp/holder.port" ] && break; sleep 0.1; done
    if start_service_demo "$tmp/second" "$(cat "$tmp/holder.port")" "$tmp/second.out"; then
        check "a demo on a port in use fails" false
    fi
    wait_demo
    kill "$holder" 2>/dev/null
    wait "$holder" 2>/dev/null
    holder=
    check "a demo on a port in use exits 1 (got $demo_status)" [ "$demo_status" = 1 ]
    check "a demo on a port in use says that talvod did not start" grep -q 'talvod did not start' "$tmp/second.out"
    check "a demo on a port in use leaves nothing running" nothing_left "$tmp/second"
    demo=$outer

    # SIGTERM to the script alone stops everything.
    kill -TERM "$demo"
    wait_demo
    check "demo-service.sh ends on SIGTERM (status $demo_status)" [ "$demo_status" = 143 ]
    check "demo-service.sh says it stopped" grep -q '^stopped; the database and the logs are in' "$tmp/service.out"
    check "demo-service.sh leaves nothing running after SIGTERM" nothing_left "$dir"
    check "demo-service.sh keeps the database and the log" test -s "$dir/talvod.db" -a -s "$dir/talvod.log"
else
    check "demo-service.sh starts and prints its page" false
    tail -40 "$tmp/service.out"
fi

# Ctrl-C: SIGINT to the whole process group.
dir=$tmp/service-int
port=$(free_port)
if start_service_demo "$dir" "$port" "$tmp/service-int.out"; then
    # A few rounds of sales first, so that Ctrl-C may come in the middle of
    # one; nothing is printed after it, and the status is 0.
    sleep 4
    printed=$(wc -c <"$tmp/service-int.out")
    kill -INT -- "-$demo"
    wait_demo
    check "demo-service.sh ends on Ctrl-C with status 0 (got $demo_status)" [ "$demo_status" = 0 ]
    check "demo-service.sh prints nothing on Ctrl-C" [ "$(tail -c +$((printed + 1)) "$tmp/service-int.out")" = "" ]
    check "demo-service.sh leaves nothing running after Ctrl-C" nothing_left "$dir"
else
    check "demo-service.sh starts again" false
    tail -40 "$tmp/service-int.out"
fi

echo "demos: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
