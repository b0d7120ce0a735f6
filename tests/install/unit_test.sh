#!/usr/bin/env bash
# talvod's systemd unit as `cmake --install --prefix` writes it: the programs
# named where that prefix put them (not where the build was configured to
# go), accepted by `systemd-analyze verify`, and hardened to an exposure of
# 4 or below by `systemd-analyze security`.  Without systemd-analyze the
# paths are checked alone.
#   unit_test.sh BUILD_DIR
set -euo pipefail
build=$(realpath "$1")
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
fail() { echo "FAILED: $*"; exit 1; }

for prefix in "$tmp/opt/talvo" "$tmp/usr"; do
    cmake --install "$build" --component service --prefix "$prefix" >/dev/null
    unit=$prefix/lib/systemd/system/talvod.service
    [ -f "$unit" ] || fail "no unit at $unit"
    grep -qx "ExecStart=$prefix/bin/talvod /etc/talvod/talvod.toml" "$unit" ||
        fail "ExecStart in $unit: $(grep ExecStart= "$unit")"
    grep -qx "ExecStartPre=$prefix/bin/talvod --check /etc/talvod/talvod.toml" "$unit" ||
        fail "ExecStartPre in $unit: $(grep ExecStartPre= "$unit")"
    grep -q "$prefix/share/talvo/talvod.example.toml" "$unit" || fail "the example's path in $unit"
    [ -x "$prefix/bin/talvod" ] && [ -f "$prefix/share/talvo/talvod.example.toml" ] &&
        [ -f "$prefix/lib/sysusers.d/talvod.conf" ] || fail "the service's files under $prefix"
    if ! systemd-analyze --version >/dev/null 2>&1; then
        echo "systemd-analyze is not available: the unit's paths were checked, not the unit"
        continue
    fi
    systemd-analyze verify "$unit" || fail "systemd-analyze verify $unit"
    exposure=$(systemd-analyze security --offline=yes "$unit" | sed -n 's/.*Overall exposure level for talvod.service: \([0-9.]*\).*/\1/p')
    awk -v e="${exposure:-99}" 'BEGIN { exit !(e <= 4.0) }' || fail "exposure ${exposure:-unknown} is above 4"
    echo "$unit: verified, exposure $exposure"
done
echo "unit: 1 passed, 0 failed"
