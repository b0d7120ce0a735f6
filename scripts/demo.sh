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

step "packages"
scripts/install-deps.sh "${packages[@]}"

# Its own folder, so that the full builds' settings stay as they are.
step "configuring (linux preset, in build/demo)"
cmake --preset linux -B build/demo "${options[@]}" --no-warn-unused-cli >/dev/null
step "building libtalvo.so, talvo and talvo-sim"
cmake --build build/demo --target talvo talvo-cli talvo-sim
step "talvo demo"
cd "$here"
exec "$repo/build/demo/talvo" demo "$@"
