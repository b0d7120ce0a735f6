#!/usr/bin/env bash
# The first thing to run: installs what the Linux demo needs when it is
# missing (as root), builds the library and its two programs with the linux
# preset, and runs `talvo demo` against a software terminal.  Nothing of the
# Windows build (Wine, MinGW, the i386 architecture) and none of the test
# tools are installed or built.  The demo leaves its store file and
# ErrRec.doc in a new folder under the current one (or in --dir DIR).
set -euo pipefail
here=$(pwd)
repo=$(cd "$(dirname "$0")/.." && pwd)
cd "$repo"
start=$(date +%s)
step() { printf '\n== %s (%ss)\n' "$1" "$(($(date +%s) - start))"; }

# What the library, talvo and talvo-sim are built with.
packages=(cmake ninja-build g++ pkg-config libcli11-dev)
options=(-DTALVO_BUILD_TESTS=OFF -DTALVO_BUILD_SERVICE=OFF)
# A checkout whose top CMakeLists.txt builds the collection service without
# a way to leave it out needs its headers to configure.
if [ -f tools/service/CMakeLists.txt ] && ! grep -q TALVO_BUILD_SERVICE CMakeLists.txt; then
    packages+=(libsqlite3-dev libpq-dev libtomlplusplus-dev libcpp-httplib-dev)
fi

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    step "installing ${missing[*]}"
    if [ "$(id -u)" -ne 0 ]; then
        echo "demo: run as root to install them, or install them yourself" >&2
        exit 1
    fi
    export DEBIAN_FRONTEND=noninteractive
    apt-get update
    apt-get install -y --no-install-recommends "${missing[@]}"
else
    step "packages: all present"
fi

# Its own folder, so that the full builds' settings stay as they are.
step "configuring (linux preset, in build/demo)"
cmake --preset linux -B build/demo "${options[@]}" --no-warn-unused-cli >/dev/null
step "building libtalvo.so, talvo and talvo-sim"
cmake --build build/demo --target talvo talvo-cli talvo-sim
step "talvo demo"
cd "$here"
exec "$repo/build/demo/talvo" demo "$@"
