#!/usr/bin/env bash
# dist/win32 (dist/win64) holds what a Windows host programmer needs, and
# the C host example links against its import library and runs under Wine
# ($TALVO_WINE: wine, or the 64-bit loader).
#   dist_test.sh DIST_DIR SOURCE_DIR TALVO_SIM [CC]
set -euo pipefail
dist=$(realpath "$1")
source=$(realpath "$2")
sim=$3
cc=${4:-i686-w64-mingw32-gcc}
wine=${TALVO_WINE:-wine}
for f in TALVO.dll TALVO.def libTALVO.a talvo.h talvo.exe; do
    [ -f "$dist/$f" ] || { echo "missing from $dist: $f"; exit 1; }
done
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
"$cc" -Wall -Werror -o "$tmp/host.exe" "$source/examples/host.c" -I"$dist" -L"$dist" -lTALVO
cp "$dist/TALVO.dll" "$tmp/"
printf '[CommParam]\r\nComName=COM7\r\nEchoTime=60\r\n' >"$WINEPREFIX/drive_c/windows/VELDA.INI"
out=$("$sim" --link "$WINEPREFIX/dosdevices/com7" --exec -- "$wine" "$tmp/host.exe" 2>&1)
grep -q 'terminal 1 answers' <<<"$out" && grep -q 'amount: 1234.50' <<<"$out" || { echo "$out"; exit 1; }
# The command-line tool from the folder, too.
out=$("$sim" --link "$WINEPREFIX/dosdevices/com7" --exec -- "$wine" "$dist/talvo.exe" --port COM7 cmw get 2>&1)
grep -q '^000000000000' <<<"$out" || { echo "$out"; exit 1; }
echo "dist: 1 passed, 0 failed"
