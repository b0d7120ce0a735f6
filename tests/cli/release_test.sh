#!/usr/bin/env bash
# Release artefacts are release builds: the installed library and programs
# (Linux) or the DLL and talvo.exe in dist/win32 are stripped, each with its
# debug information in a separate file that it links to; the man page and the
# bash completion are installed with the tool.
#   release_test.sh install BUILD_DIR
#   release_test.sh dist DIST_DIR OBJDUMP
set -euo pipefail
mode=$1
failed=0
fail() { echo "FAILED: $*"; failed=$((failed + 1)); }
sections() { "$objdump" -h "$1" | awk '{print $2}'; }
check_split() {  # binary, its debug file
    local bin=$1 debug=$2
    [ -f "$bin" ] || { fail "missing: $bin"; return; }
    sections "$bin" | grep -qx '.debug_info' && fail "$bin still carries debug information"
    sections "$bin" | grep -qx '.gnu_debuglink' || fail "$bin has no link to its debug file"
    [ -f "$debug" ] || { fail "missing: $debug"; return; }
    sections "$debug" | grep -qx '.debug_info' || fail "$debug holds no debug information"
}

if [ "$mode" = install ]; then
    objdump=objdump
    tmp=$(mktemp -d)
    trap 'rm -rf "$tmp"' EXIT
    cmake --install "$2" --prefix "$tmp" >/dev/null
    lib=$(readlink -f "$tmp/lib/libtalvo.so.1")
    check_split "$lib" "$tmp/lib/.debug/$(basename "$lib").debug"
    check_split "$tmp/bin/talvo" "$tmp/bin/.debug/talvo.debug"
    check_split "$tmp/bin/talvo-sim" "$tmp/bin/.debug/talvo-sim.debug"
    if [ -f "$tmp/bin/talvod" ]; then
        check_split "$tmp/bin/talvod" "$tmp/bin/.debug/talvod.debug"
        TALVO_WINDIR="$tmp" "$tmp/bin/talvod" --version | grep -q '^talvod [0-9]' || fail "talvod --version"
        grep -q '^\.TH TALVOD "\?8' "$tmp/share/man/man8/talvod.8" || fail "talvod's man page not installed"
    fi
    "$tmp/bin/talvo-sim" --version | grep -q '^talvo-sim [0-9]' || fail "talvo-sim --version"
    if command -v help2man >/dev/null; then
        grep -q '^\.TH TALVO-SIM "\?1' "$tmp/share/man/man1/talvo-sim.1" || fail "talvo-sim's man page not installed"
    fi
    # gdb finds the debug information through the link.
    if command -v gdb >/dev/null; then
        gdb -batch -ex 'info line InqStat' "$lib" 2>&1 | grep -q 'Line [0-9]' || fail "gdb finds no line for InqStat"
    fi
    grep -q '^\.TH TALVO 1' "$tmp/share/man/man1/talvo.1" || fail "man page not installed"
    bash -n "$tmp/share/bash-completion/completions/talvo" || fail "completion script does not parse"
else
    objdump=$3
    check_split "$2/TALVO.dll" "$2/.debug/TALVO.dll.debug"
    check_split "$2/talvo.exe" "$2/.debug/talvo.exe.debug"
fi
echo "release: $((failed == 0 ? 1 : 0)) passed, $((failed > 0 ? 1 : 0)) failed"
[ "$failed" -eq 0 ]
