#!/usr/bin/env bash
# The talvo command-line tool against the software terminal: one subcommand
# of each family, its output and its exit status.  Run through
#   talvo-sim --terminal 1 --terminal 2:attendance --exec -- cli_test.sh TALVO
set -uo pipefail
talvo=$(realpath "$1")
port=$TALVO_SIM_DEVICE
exec 3<>"/dev/tcp/127.0.0.1/${TALVO_SIM_CONTROL#*:}"
control() { echo "$*" >&3; read -r -u 3 answer; echo "${answer#ok }"; }

passed=0
failed=0
check() {  # name, expected status, expected output (a grep pattern), command...
    local name=$1 status=$2 pattern=$3
    shift 3
    local out rc
    out=$("$@" 2>&1 </dev/null)
    rc=$?
    if [ "$rc" -eq "$status" ] && grep -Eq -- "$pattern" <<<"$out"; then
        passed=$((passed + 1))
    else
        failed=$((failed + 1))
        echo "FAILED: $name: status $rc (want $status), output:"
        sed 's/^/    /' <<<"$out"
    fi
}
t() { "$talvo" --port "$port" --echo-time 60 --wait-time 300 --repeat 1 "$@"; }

check status 0 '^terminal 1 answers and accepts commands$' t status
check "--trace" 0 'send terminal=1 command=10 len=18 \| 02 30 30 30 31 31 30' t --trace status
check "status of a silent terminal" 1 'error -3 \(no reply' t -t 9 status
check clear-ram 0 '^$' t clear-ram
check "cmw set" 0 '^$' t cmw set ABCDEF
check "cmw get" 0 '^ABCDEF000000$' t cmw get
check "mdeb set" 0 '^$' t mdeb set 1234.56
check "mdeb get" 0 '^1234.56$' t mdeb get
check "key set" 0 '^$' t key set a1b2c3
check "key check" 0 '^$' t key check A1B2C3
check "key check refused" 1 'terminal 1 refused' t key check 000000
check "key flags" 0 '^1 0 1 0$' t key flags
check "blacklist add" 0 '^$' t blacklist add 111111 222222
check "blacklist read" 0 '2 cards' t blacklist read
check "menu set" 0 '^$' t menu set 3.50 12
check "menu read" 0 '12\.00' t menu read
check "subsidy max" 0 '^$' t subsidy max 150.5
[ "$(control get 1 maxbt)" = "505001" ] && passed=$((passed + 1)) || { failed=$((failed + 1)); echo "FAILED: subsidy max on the terminal"; }
check "clock set" 0 '^$' t clock set "2026/03/15 10:20"
check "clock get" 0 '^2026/03/15 10:20$' t clock get
check "zones set" 0 '^$' t zones set 06:30 11:00
check "zones get" 0 '^2  11:00$' t zones get
check lock 0 '^$' t lock
check unlock 0 '^$' t unlock
check "attend zones set" 0 '^$' t -t 2 attend zones set 08:00-12:00/01
check "attend zones get" 0 '^1  08:00-12:00  01$' t -t 2 attend zones get
check "attend reason" 0 '^$' t -t 2 attend reason set 3 AB
check "attend reason get" 0 '^AB$' t -t 2 attend reason get 3
check "attend clock" 0 '^2026/03/15 10:20:30$' bash -c "$(declare -f t); talvo=$talvo port=$port; t -t 2 attend clock set 20260315102030 && t -t 2 attend clock get"

dir=$(mktemp -d)
for card in 000001 000002 000003 000004 000005 000006 000007; do
    control record 1 seal "${card}00100032240930005000" >/dev/null
done
check "collect --all" 0 '^7 records stored in .*, total 70\.00$' t collect --all --store "$dir/store.dat"
check records 0 'total: 7 records, 70\.00' "$talvo" records "$dir/store.dat"
check "records --csv" 0 '^001,000007,13,10\.00,' "$talvo" records --csv "$dir/store.dat"
check "records --json" 0 '"count": 7' "$talvo" records --json "$dir/store.dat"
cp "$dir/store.dat" "$dir/before.dat"
head -c 100 "$dir/store.dat" >"$dir/cut.dat"
check "damaged store" 2 'damaged record store' "$talvo" records "$dir/cut.dat"
check "foreign file" 2 'not a record store' "$talvo" records "$0"
check "missing file" 2 'cannot be read' "$talvo" records "$dir/none.dat"
cmp -s "$dir/store.dat" "$dir/before.dat" && passed=$((passed + 1)) || { failed=$((failed + 1)); echo "FAILED: records changed the file"; }
control set 1 mark 258 >/dev/null
check ack 0 'batch mark is 258' t ack --count 3
check decode 0 'card 001234  type 13  amount 1234.50' t -t 5 decode 00123450341232240930005000BB

check "unknown command" 2 "unknown command or argument 'frobnicate'" "$talvo" frobnicate
check "missing argument" 2 'text is required \(see talvo cmw set --help\)' "$talvo" cmw set
check "terminal out of range" 2 'not in range 0 to 255' "$talvo" -t 256 status
check "no such device" 1 'cannot be opened|error -1' "$talvo" --port /dev/talvo-none status

cd "$dir" && check "demo without a terminal on stdin" 0 'total: 30 records' "$talvo" demo --dir demo
[ -f "$dir/demo/records.dat" ] && [ -f "$dir/demo/ErrRec.doc" ] && passed=$((passed + 1)) || { failed=$((failed + 1)); echo "FAILED: demo files"; }
rm -rf "$dir"

echo "cli: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
