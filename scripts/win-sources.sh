#!/usr/bin/env bash
# The C and C++ sources talvod.exe is built from that MinGW has no package
# of: SQLite (its amalgamation, sqlite3.c and sqlite3.h, made from Debian's
# source package with tclsh) and cpp-httplib's single header (Debian's
# binary package ships a header without the implementation, which lives in a
# Linux library).  Both come from Debian's source packages through a
# private list of the machine's own archives (its deb entries read as
# deb-src); nothing is downloaded from anywhere else.
#
#   scripts/win-sources.sh DIR     # DIR/sqlite3.c, sqlite3.h, httplib.h
#
# Does nothing when DIR already holds all three.
set -euo pipefail
out=${1:?usage: win-sources.sh DIR}
mkdir -p "$out"
out=$(cd "$out" && pwd)
if [ -s "$out/sqlite3.c" ] && [ -s "$out/sqlite3.h" ] && [ -s "$out/httplib.h" ]; then
    exit 0
fi
for tool in apt-get dpkg-source tclsh make cc; do
    command -v "$tool" >/dev/null || { echo "win-sources: $tool is missing (scripts/install-deps.sh)" >&2; exit 1; }
done
work=$(mktemp -d "${TMPDIR:-/tmp}/talvo-winsrc-XXXXXX")
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/parts" "$work/lists/partial"
if [ -f /etc/apt/sources.list.d/debian.sources ]; then
    sed 's/^Types: deb$/Types: deb-src/' /etc/apt/sources.list.d/debian.sources > "$work/parts/src.sources"
fi
if [ -f /etc/apt/sources.list ]; then
    sed -n 's/^deb /deb-src /p' /etc/apt/sources.list > "$work/parts/src.list"
fi
opts=(-o Dir::Etc::sourcelist=/dev/null -o Dir::Etc::sourceparts="$work/parts" -o Dir::State::lists="$work/lists"
      -o Debug::NoLocking=1 -o APT::Sandbox::User=root)
apt-get "${opts[@]}" -qq update
(cd "$work" && apt-get "${opts[@]}" -qq source --download-only sqlite3 cpp-httplib >/dev/null)

# Unpacked with Debian's patches applied.
(cd "$work" && dpkg-source -q -x "$(ls cpp-httplib_*.dsc | head -1)" httplib >/dev/null 2>&1 &&
    dpkg-source -q -x "$(ls sqlite3_*.dsc | head -1)" sqlite >/dev/null 2>&1)

# cpp-httplib: the upstream tree's header, whole.
cp "$work/httplib/httplib.h" "$out/httplib.h.part"

# SQLite: the amalgamation, made by its own build (lemon and the keyword
# hash are small host programs; tclsh joins the files).
(cd "$work/sqlite" && ./configure --disable-tcl >/dev/null && make -s sqlite3.c >/dev/null)
cp "$work/sqlite/sqlite3.c" "$out/sqlite3.c.part"
cp "$work/sqlite/sqlite3.h" "$out/sqlite3.h.part"
for f in httplib.h sqlite3.c sqlite3.h; do mv "$out/$f.part" "$out/$f"; done
echo "win-sources: $(grep -m1 '#define SQLITE_VERSION ' "$out/sqlite3.h" | awk '{print $3}') and cpp-httplib $(grep -m1 'CPPHTTPLIB_VERSION' "$out/httplib.h" | awk '{print $3}') in $out"
