#!/bin/bash
# Network lines against peers written elsewhere: Debian's ser2net serving
# the software terminal's pseudo-terminal as raw TCP and as RFC 2217, and
# pyserial's RFC 2217 client against the software terminal's own RFC 2217
# side.  Loopback addresses only.  Skipped (77) without ser2net or pyserial.
#   peers_test.sh BUILD_DIR
set -euo pipefail
build=$1
sim=$build/talvo-sim
cli=$build/talvo
command -v ser2net >/dev/null || { echo "ser2net not installed"; exit 77; }
/usr/bin/python3 -c 'import serial.rfc2217' 2>/dev/null || { echo "python3-serial not installed"; exit 77; }

dir=$(mktemp -d "${TMPDIR:-/tmp}/talvo-peers.XXXXXX")
pids=()
cleanup() {
    for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
    for p in "${pids[@]}"; do wait "$p" 2>/dev/null || true; done
    rm -rf "$dir"
}
trap cleanup EXIT
fail() { echo "FAIL: $*"; exit 1; }

# Starts a program in the background with its output in $dir/$1.out and
# waits for the line `$2: VALUE` in it; VALUE goes to $value.
start() {
    local name=$1 key=$2; shift 2
    "$@" >"$dir/$name.out" 2>"$dir/$name.err" &
    pids+=($!)
    for _ in $(seq 100); do
        # The program's output file is made by its own process, perhaps
        # not yet.
        value=$(sed -n "s/^$key: //p" "$dir/$name.out" 2>/dev/null | head -1 || true)
        [ -n "$value" ] && return
        sleep 0.05
    done
    cat "$dir/$name.err" >&2
    fail "$name did not start"
}
# One control command to a software terminal; prints the answer.
control() {
    exec 3<>"/dev/tcp/127.0.0.1/$1"
    echo "$2" >&3
    local answer
    read -r answer <&3
    exec 3<&-
    echo "${answer%$'\r'}"
}
free_port() { /usr/bin/python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }
wait_listening() {
    for _ in $(seq 100); do
        (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null && return
        sleep 0.05
    done
    fail "nothing listens on $1"
}

# ---- ser2net in front of the software terminal on a pseudo-terminal ---------
start sim device "$sim" --terminal 1
pty=$value
pty_control=$(sed -n 's/^control: 127.0.0.1://p' "$dir/sim.out")
raw=$(free_port)
rfc=$(free_port)
cat >"$dir/ser2net.yaml" <<YAML
connection: &raw
  accepter: tcp,127.0.0.1,$raw
  connector: serialdev,$pty,4800n81,local
connection: &rfc
  accepter: telnet(rfc2217),tcp,127.0.0.1,$rfc
  connector: serialdev,$pty,4800n81,local
YAML
ser2net -n -d -c "$dir/ser2net.yaml" >"$dir/ser2net.out" 2>&1 &
ser2net_pid=$!
pids+=($ser2net_pid)
wait_listening "$raw"
wait_listening "$rfc"

# ser2net opens the device when a client connects and lets it go some time
# after the client left, both in the background: a command that comes too
# early finds the device not yet (or still) in use and is tried again.
again() {
    for _ in 1 2 3 4 5; do
        "$@" >"$dir/again.out" 2>&1 && return 0
        sleep 0.5
    done
    cat "$dir/again.out"
    return 1
}
for url in "tcp://127.0.0.1:$raw" "rfc2217://127.0.0.1:$rfc"; do
    again "$cli" --port "$url" --baud 9600 --echo-time 300 status || fail "status through ser2net at $url"
    again "$cli" --port "$url" --baud 9600 --echo-time 300 cmw set NETWORKLINE1 || fail "cmw set through ser2net at $url"
    [ "$(control "$pty_control" 'get 1 cmw')" = "ok NETWORKLINE1" ] || fail "cmw not set through $url"
    control "$pty_control" 'set 1 cmw ABCDEFGHIJKL' >/dev/null
done
# (The RFC 2217 open succeeds only when ser2net acknowledged 9600 baud; it
# sets the device back to its own settings when the client leaves.)
echo "ser2net raw TCP and RFC 2217: ok"

# Another client holds the device (as talvod would): ser2net takes a new
# connection and closes it at once, and the tool says who may be in the way.
# ser2net lets a device go some time after its client left: until then a new
# client is turned away too, so the hold is taken again until it stays.
held_by() {
    local got rc
    for _ in $(seq 20); do
        exec 5<>"/dev/tcp/127.0.0.1/$1"
        # Turned away: a line of text and the end.  Held: silence (Telnet's
        # negotiation aside, which ends no line).
        if IFS= read -r -t 0.3 -u 5 got; then rc=0; else rc=$?; fi
        [ "$rc" -gt 128 ] && return 0
        exec 5<&-
        sleep 0.2
    done
    fail "could not take the device for another client"
}
held_by "$raw"
if "$cli" --port "rfc2217://127.0.0.1:$rfc" --baud 9600 status >"$dir/held.out" 2>&1; then
    cat "$dir/held.out"; fail "status went through while another client held the device"
fi
grep -q "another client may hold the port" "$dir/held.out" || { cat "$dir/held.out"; fail "no word of another client (rfc2217)"; }
grep -q "already in use" "$dir/held.out" || { cat "$dir/held.out"; fail "ser2net's own words not passed on"; }
exec 5<&-
sleep 0.3
held_by "$rfc"
if "$cli" --port "tcp://127.0.0.1:$raw" --baud 9600 --repeat 1 status >"$dir/held.out" 2>&1; then
    cat "$dir/held.out"; fail "status went through while another client held the device"
fi
grep -q "another client may hold the port" "$dir/held.out" || { cat "$dir/held.out"; fail "no word of another client (tcp)"; }
exec 5<&-
again "$cli" --port "tcp://127.0.0.1:$raw" --baud 9600 --echo-time 300 status || fail "status once the device is free"
echo "ser2net with the device held by another client: ok"

# ---- pyserial's RFC 2217 server (PortManager) in front of the pseudo-terminal ---
kill "$ser2net_pid" 2>/dev/null; wait "$ser2net_pid" 2>/dev/null || true   # ser2net lets the device go
cat >"$dir/portmanager.py" <<'PY'
import socket, sys, threading, serial, serial.rfc2217

class PtySerial(serial.Serial):
    # A pseudo-terminal has no modem lines to set or read.
    def _update_dtr_state(self): pass
    def _update_rts_state(self): pass
    def _update_break_state(self): pass
    cts = dsr = ri = cd = property(lambda self: False)

class Connection:
    def __init__(self, sock): self.sock = sock
    def write(self, data): self.sock.sendall(data)

port = PtySerial(sys.argv[1], 4800, timeout=0.02)
server = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
server.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
server.bind(("127.0.0.1", 0))
server.listen(1)
print("port: %d" % server.getsockname()[1], flush=True)
while True:
    sock, _ = server.accept()
    sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    manager = serial.rfc2217.PortManager(port, Connection(sock))
    alive = [True]
    def pump():
        while alive[0]:
            data = port.read(256)
            if data:
                try:
                    sock.sendall(b"".join(manager.escape(data)))
                except OSError:
                    break
    reader = threading.Thread(target=pump, daemon=True)
    reader.start()
    while True:
        try:
            data = sock.recv(1024)
        except OSError:
            data = b""
        if not data:
            break
        port.write(b"".join(manager.filter(data)))
    alive[0] = False
    reader.join()
    sock.close()
PY
start portmanager port /usr/bin/python3 "$dir/portmanager.py" "$pty"
pm_port=$value
"$cli" --port "rfc2217://127.0.0.1:$pm_port" --baud 9600 --echo-time 300 status >"$dir/status.out" 2>&1 ||
    { cat "$dir/status.out" "$dir/portmanager.err"; fail "status through pyserial's PortManager"; }
[ "$(stty -F "$pty" speed 2>/dev/null)" = 9600 ] || fail "PortManager did not set the baud rate"
echo "pyserial PortManager: ok"

# ---- pyserial's RFC 2217 client against the software terminal ----------------
start netsim line "$sim" --listen rfc2217:127.0.0.1:0 --terminal 1
url=$value
net_control=$(sed -n 's/^control: 127.0.0.1://p' "$dir/netsim.out")
# A request frame as the library sends it, taken from the terminal's log.
"$cli" --port "$url" --baud 4800 status >/dev/null 2>&1 || fail "status over $url"
frame=$(control "$net_control" frames | awk '{print $NF}')
[ -n "$frame" ] || fail "no frame logged"
control "$net_control" clearframes >/dev/null
/usr/bin/python3 - "${url#rfc2217://}" "$frame" <<'PY' || fail "pyserial against the software terminal"
import sys, serial
address, frame = sys.argv[1], bytes.fromhex(sys.argv[2])
port = serial.serial_for_url("rfc2217://%s?ign_set_control" % address, baudrate=19200, timeout=2)
port.reset_input_buffer()
port.write(frame)
reply = b""
while not (len(reply) > 3 and reply[-3] == 3):
    chunk = port.read(1)
    if not chunk:
        break
    reply += chunk
port.close()
if not reply.startswith(b"\x02"):
    sys.exit("no reply: %r" % reply)
print("pyserial reply:", reply)
PY
[ "$(control "$net_control" 'net baud')" = "ok 19200" ] || fail "pyserial's baud rate did not reach the terminal"
echo "pyserial against talvo-sim rfc2217: ok"
