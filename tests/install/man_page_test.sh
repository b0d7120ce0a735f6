#!/usr/bin/env bash
# talvod's manual page as installed: groff reads it without a warning, it
# has the sections an administrator looks for, and it names every key the
# configuration takes (the lists the configuration's reader checks keys
# against), so that a key added without its documentation is caught.
#   man_page_test.sh SOURCE_DIR BUILD_DIR
set -uo pipefail
source=$(realpath "$1")
build=$(realpath "$2")
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
source "$source/tests/install/checks.sh"

cmake --install "$build" --component service --prefix "$tmp/usr" >/dev/null
page=$tmp/usr/share/man/man8/talvod.8
check "talvod.8 is installed" [ -s "$page" ]
if command -v groff >/dev/null; then
    groff -man -ww -z "$page" 2>"$tmp/groff.log"
    check "groff reads it without a warning" [ ! -s "$tmp/groff.log" ]
    cat "$tmp/groff.log"
    groff -man -Tutf8 -P -cbou "$page" 2>/dev/null >"$tmp/talvod.txt"
else
    cp "$page" "$tmp/talvod.txt"
fi
for section in NAME SYNOPSIS OPTIONS CONFIGURATION SIGNALS FILES "EXIT STATUS"; do
    check "section $section" grep -qx "$section" "$tmp/talvod.txt"
done
for signal in SIGTERM SIGHUP; do check "names $signal" grep -q "$signal" "$tmp/talvod.txt"; done
check "names the configuration file" grep -q /etc/talvod/talvod.toml "$tmp/talvod.txt"

# Every key of every table of the configuration.
keys=$(grep -o 'c\.Keys([a-z]*, {[^}]*}' "$source/tools/service/config.cpp" | grep -o '"[a-z_]*"' | tr -d '"' | sort -u)
check "the configuration's keys are found in config.cpp" [ "$(wc -w <<<"$keys")" -ge 20 ]
missing=()
for key in $keys; do grep -qw -- "$key" "$tmp/talvod.txt" || missing+=("$key"); done
check "every configuration key is described${missing[*]:+ (missing: ${missing[*]})}" [ ${#missing[@]} -eq 0 ]

echo "man page: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
