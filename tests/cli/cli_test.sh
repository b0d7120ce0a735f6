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
t() { "$talvo" --port "$port" --echo-time 60 --wait-time 300 --repeat 1 $via "$@"; }

# Every family, through the line API and then through the 43 exports.
dir=$(mktemp -d)
for via in "" legacy; do
    control reset >/dev/null
    control add 1 consumption >/dev/null
    control add 2 attendance >/dev/null
    check "$via status" 0 '^terminal 1 answers and accepts commands$' t status
    check "$via --trace" 0 'send terminal=1 command=10 len=18 \| 02 30 30 30 31 31 30' t --trace status
    check "$via status of a silent terminal" 1 'talvo: .*status: .*error -3' t -t 9 status
    check "$via clear-ram" 0 '^$' t clear-ram
    check "$via cmw set" 0 '^$' t cmw set ABCDEF
    check "$via cmw get" 0 '^ABCDEF000000$' t cmw get
    check "$via mdeb set" 0 '^$' t mdeb set 1234.56
    check "$via mdeb get" 0 '^1234.56$' t mdeb get
    check "$via key set" 0 '^$' t key set a1b2c3
    check "$via key check" 0 '^$' t key check A1B2C3
    check "$via key check refused" 1 'terminal 1 refused' t key check 000000
    check "$via key flags" 0 '^1 0 1 0$' t key flags
    check "$via blacklist add" 0 '^$' t blacklist add 111111 222222
    check "$via blacklist read" 0 '2 cards' t blacklist read
    check "$via menu set" 0 '^$' t menu set 3.50 12
    check "$via menu read" 0 '12\.00' t menu read
    check "$via subsidy max" 0 '^$' t subsidy max 150.5
    [ "$(control get 1 maxbt)" = "505001" ] && passed=$((passed + 1)) || { failed=$((failed + 1)); echo "FAILED: $via subsidy max on the terminal"; }
    check "$via clock set" 0 '^$' t clock set "2026/03/15 10:20"
    check "$via clock get" 0 '^2026/03/15 10:20$' t clock get
    check "$via zones set" 0 '^$' t zones set 06:30 11:00
    check "$via zones get" 0 '^2  11:00$' t zones get
    check "$via lock" 0 '^$' t lock
    check "$via unlock" 0 '^$' t unlock
    check "$via attend zones set" 0 '^$' t -t 2 attend zones set 08:00-12:00/01
    check "$via attend zones get" 0 '^1  08:00-12:00  01$' t -t 2 attend zones get
    check "$via attend reason" 0 '^$' t -t 2 attend reason set 3 AB
    check "$via attend reason get" 0 '^AB$' t -t 2 attend reason get 3
    check "$via attend clock set" 0 '^$' t -t 2 attend clock set 20260315102030
    # The terminal's clock runs on from the time set.
    check "$via attend clock get" 0 '^2026/03/15 10:20:[345][0-9]$' t -t 2 attend clock get

    for card in 000001 000002 000003 000004 000005 000006 000007; do
        control record 1 seal "${card}00100032240930005000" >/dev/null
    done
    check "$via collect --all" 0 '^7 records stored in .*, total 70\.00$' t collect --all --store "$dir/store$via.dat"
    check "$via records" 0 'total: 7 records, 70\.00' "$talvo" records "$dir/store$via.dat"
    control set 1 mark 258 >/dev/null
done
via=""
cmp -s "$dir/store.dat" "$dir/storelegacy.dat" && passed=$((passed + 1)) || { failed=$((failed + 1)); echo "FAILED: the two ways stored different files"; }

check "records --csv" 0 '^001,000007,13,10\.00,' "$talvo" records --csv "$dir/store.dat"
check "records --json" 0 '"count": 7' "$talvo" records --json "$dir/store.dat"
cp "$dir/store.dat" "$dir/before.dat"
head -c 100 "$dir/store.dat" >"$dir/cut.dat"
check "damaged store" 2 'damaged record store' "$talvo" records "$dir/cut.dat"
check "foreign file" 2 'not a record store' "$talvo" records "$0"
check "missing file" 2 'cannot be read' "$talvo" records "$dir/none.dat"
cmp -s "$dir/store.dat" "$dir/before.dat" && passed=$((passed + 1)) || { failed=$((failed + 1)); echo "FAILED: records changed the file"; }

# ack: the 43 exports' Clearjyzm clears a count; the line API clears the
# batch it fetched.
check "legacy ack" 0 'batch mark is 258' t legacy ack --count 3
for card in 000001 000002; do control record 1 seal "${card}00100032240930005000" >/dev/null; done
check ack 0 'cleared a batch of 2 records without storing it; its batch mark is 259' t ack
[ "$(control get 1 records)" = "0" ] && passed=$((passed + 1)) || { failed=$((failed + 1)); echo "FAILED: ack left records"; }
check "ack of nothing" 0 'terminal 1 has no records' t ack
check decode 0 'card 001234  type 13  amount 1234.50' t -t 5 decode 00123450341232240930005000BB

check "unknown command" 2 "unknown command or argument 'frobnicate'" "$talvo" frobnicate
check "missing argument" 2 'text is required \(see talvo cmw set --help\)' "$talvo" cmw set
check "terminal out of range" 2 'not in range 0 to 255' "$talvo" -t 256 status
check "no such device" 1 'cannot open /dev/talvo-none: the serial device does not exist' "$talvo" --port /dev/talvo-none status
check "no such device: the system's reason" 1 'cannot open /dev/talvo-none: No such file or directory' "$talvo" --port /dev/talvo-none status
check "legacy: no such device" 1 'error -1' "$talvo" --port /dev/talvo-none legacy status

cd "$dir" && check "demo without a terminal on stdin" 0 'total: 30 records' "$talvo" demo --dir demo
[ -f "$dir/demo/records.dat" ] && [ -f "$dir/demo/ErrRec.doc" ] && passed=$((passed + 1)) || { failed=$((failed + 1)); echo "FAILED: demo files"; }
rm -rf "$dir"

echo "cli: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
