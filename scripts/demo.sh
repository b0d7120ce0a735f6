#!/usr/bin/env bash
# The first thing to run: installs what is missing, builds the Linux library
# and its tools, and runs `talvo demo` against a software terminal.  The demo
# leaves its store file and ErrRec.doc in a new directory under the current
# one (or in --dir DIR).
set -euo pipefail
here=$(pwd)
repo=$(cd "$(dirname "$0")/.." && pwd)
cd "$repo"
scripts/install-deps.sh >/dev/null
cmake --preset linux >/dev/null
cmake --build --preset linux --target talvo talvo-cli talvo-sim >/dev/null
cd "$here"
exec "$repo/build/linux/talvo" demo "$@"
