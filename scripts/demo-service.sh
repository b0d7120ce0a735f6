#!/usr/bin/env bash
# The collection service at work: installs what it needs when missing (as
# root), builds talvod and the software terminal with the linux preset,
# starts two software lines (a hall with two tills and a door, a kiosk with
# one till), points talvod at them and prints the address of its page.
# While it runs, new sales arrive on the terminals every few seconds; Ctrl-C
# stops everything quietly (exit status 0), SIGTERM too (143, saying so), and
# so does a failure (1, saying what failed).  The configuration, the
# SQLite database and the logs stay in the folder it names (default:
# build/demo-service).  The page's token is in the configuration.
#
#   scripts/demo-service.sh [--dir DIR] [--port PORT]
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
dir="$repo/build/demo-service"
port=8080
while [ $# -gt 0 ]; do
    case "$1" in
        --dir) dir=$(realpath -m "$2"); shift 2 ;;
        --port) port=$2; shift 2 ;;
        -h|--help) sed -n '2,12p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
        *) echo "demo-service: unknown argument $1 (see --help)" >&2; exit 2 ;;
    esac
done
cd "$repo"
step() { printf '== %s\n' "$1"; }

packages=(cmake ninja-build g++ pkg-config libcli11-dev nlohmann-json3-dev libsqlite3-dev libpq-dev
          libtomlplusplus-dev libcpp-httplib-dev)
step "packages"
scripts/install-deps.sh "${packages[@]}"

step "building talvod and talvo-sim (linux preset, in build/demo-service-build; the first time takes minutes)"
cmake --preset linux -B build/demo-service-build -DTALVO_BUILD_TESTS=OFF --no-warn-unused-cli >/dev/null
# The build's progress as Ninja shows it: one line that counts up at a
# terminal, a line a step otherwise.
cmake --build build/demo-service-build --target talvod talvo-sim
bin="$repo/build/demo-service-build"

mkdir -p "$dir"
# Every process the demo starts is in `pids`; whatever ends the demo (Ctrl-C,
# SIGTERM, a failure, talvod going away) stops them all and ends the script.
# They run in sessions of their own, so that Ctrl-C reaches the script alone
# and the script stops them in order (a software terminal that went first
# would fail the sale under way with a connection error).
pids=()
quiet=0
stop() {
    local status=$?
    trap - EXIT INT TERM
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
    if [ "$quiet" -eq 0 ]; then
        echo
        echo "stopped; the database and the logs are in $dir"
    fi
    exit "$status"
}
trap stop EXIT
trap 'quiet=1; exit 0' INT
trap 'exit 143' TERM

# Two software lines, each on a pseudo-terminal linked at a fixed path; the
# control port of each is read from its output once it is up.
start_sim() {  # VARIABLE NAME TERMINALS...
    local var=$1 name=$2
    shift 2
    local args=()
    for t in "$@"; do args+=(--terminal "$t"); done
    setsid "$bin/talvo-sim" "${args[@]}" --link "$dir/tty-$name" >"$dir/sim-$name.out" 2>&1 &
    pids+=($!)
    for _ in $(seq 50); do grep -qs '^control:' "$dir/sim-$name.out" && break; sleep 0.1; done
    local control
    control=$(sed -n 's/^control: 127.0.0.1://p' "$dir/sim-$name.out")
    if [ -z "$control" ]; then
        echo "demo-service: the software terminal '$name' did not start:" >&2
        cat "$dir/sim-$name.out" >&2
        exit 1
    fi
    printf -v "$var" '%s' "$control"
}
start_sim hall hall 1 2 3:attendance
start_sim kiosk kiosk 1

# The page's token: at least 16 characters, as talvod requires of every token.
token="talvo-demo-$(od -An -N6 -tx1 /dev/urandom | tr -d ' \n')"

cat >"$dir/talvod.toml" <<EOF
# Written by scripts/demo-service.sh: two software lines on this machine.
database = "talvod.db"
host = "demo"

[http]
listen = "127.0.0.1"
port = $port
token = "$token"

[jobs]
collect = "5s"
status = "10s"
backoff_min = "2s"
backoff_max = "30s"

[[line]]
name = "hall"
device = "$dir/tty-hall"
baud = 9600
  [[line.terminal]]
  number = 1
  name = "Till 1"
  [[line.terminal]]
  number = 2
  name = "Till 2"
  [[line.terminal]]
  number = 3
  kind = "attendance"
  name = "Door"

[[line]]
name = "kiosk"
device = "$dir/tty-kiosk"
baud = 9600
  [[line.terminal]]
  number = 1
  name = "Kiosk"
  [[line.terminal]]
  number = 7
  name = "Kiosk 2 (unplugged)"
EOF
# The library's settings file for its 43 exports stays in the demo folder.
export TALVO_WINDIR="$dir"
"$bin/talvod" --check "$dir/talvod.toml"

# One sale (or top-up) on a terminal, dated now: 26 characters as the
# terminal keeps them (card, amount, type and month, day, hour, minute,
# second amount); the software terminal adds the check pair.
sale() {  # CONTROL_PORT TERMINAL CARD CENTS TYPE_DIGIT
    local cents=$4 month day hour minute units
    month=$((10#$(date +%m))); day=$(date +%d); hour=$(date +%H); minute=$(date +%M)
    units=$((cents / 100))
    local raw
    raw=$(printf '%06d%02d%02d%02d%X%d%s%s%s000000' "$3" $((cents % 100)) $((units % 100)) $((units / 100 % 100)) \
        $(($5 | month / 10)) $((month % 10)) "$day" "$hour" "$minute")
    exec 3<>"/dev/tcp/127.0.0.1/$1"
    printf 'record %s seal %s\n' "$2" "$raw" >&3
    read -r -t 2 _ <&3 || true
    exec 3<&-
}
# A morning's sales before the service starts.
for i in $(seq 1 24); do
    sale "$hall" $((1 + i % 2)) $((100100 + i)) $((150 + 37 * i)) 0
done
for i in $(seq 1 8); do sale "$kiosk" 1 $((200100 + i)) $((90 + 55 * i)) 0; done
sale "$hall" 1 100999 5000 2   # a top-up

setsid "$bin/talvod" "$dir/talvod.toml" 2>>"$dir/talvod.log" &
talvod=$!
pids+=("$talvod")
for _ in $(seq 50); do
    grep -qs 'http-listening' "$dir/talvod.log" && break
    kill -0 "$talvod" 2>/dev/null || break
    sleep 0.1
done
if ! grep -qs 'http-listening' "$dir/talvod.log"; then
    echo "demo-service: talvod did not start; its log:" >&2
    cat "$dir/talvod.log" >&2
    exit 1
fi
echo
echo "talvod is collecting from two software lines (log: $dir/talvod.log)"
echo "page: http://127.0.0.1:$port/ (token: $token)"
echo "Ctrl-C stops it."

# New sales keep coming while it runs.  The pause is waited for in the
# background so that a signal is taken at once.
n=0
while kill -0 "$talvod" 2>/dev/null; do
    sleep 3 &
    pids+=($!)
    wait $!
    unset 'pids[-1]'
    n=$((n + 1))
    sale "$hall" $((1 + n % 2)) $((100300 + n)) $((120 + (n * 71) % 900)) 0
    [ $((n % 3)) -eq 0 ] && sale "$kiosk" 1 $((200300 + n)) $((80 + (n * 43) % 600)) 0
done
echo "demo-service: talvod ended; its log is $dir/talvod.log" >&2
exit 1
