#!/usr/bin/env bash
# The bindings in the install tree: Talvo.cs and talvo.pas compile against
# it, and the Python package, installed from it with pip and no package
# index, finds the installed library and talvo-sim by itself and drives the
# software terminal.
#   install_test.sh BUILD_DIR PYTHON3
set -euo pipefail
build=$(realpath "$1")
python=${2:-python3}
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
prefix=$tmp/prefix

cmake --install "$build" --prefix "$prefix" >/dev/null
share=$prefix/share/talvo
for f in dotnet/Talvo.cs pascal/talvo.pas python/pyproject.toml python/README.md python/src/talvo/__init__.py \
         python/src/talvo/_paths.py python/backend/talvo_build_backend.py; do
    [ -f "$share/$f" ] || { echo "missing from the install tree: share/talvo/$f"; exit 1; }
done
grep -q "\"$prefix/lib\"" "$share/python/src/talvo/_paths.py" || { echo "_paths.py does not name $prefix/lib"; exit 1; }

if command -v mcs >/dev/null; then
    mcs -warnaserror -define:TALVO_LINUX -target:library -out:"$tmp/Talvo.dll" "$share/dotnet/Talvo.cs"
fi
if command -v fpc >/dev/null; then
    fpc -Sew -vw -FU"$tmp" -Fl"$prefix/lib" "$share/pascal/talvo.pas" >"$tmp/fpc.log" || { cat "$tmp/fpc.log"; exit 1; }
fi

if ! "$python" -m pip --version >/dev/null 2>&1; then
    echo "install: pip is not installed, the Python package was not tried"
    exit 0
fi
# A copy of the installed folder: pip leaves nothing behind in the tree.
cp -r "$share/python" "$tmp/python-src"
"$python" -m pip install -q --no-index --no-deps --no-cache-dir --disable-pip-version-check \
    --target "$tmp/site" "$tmp/python-src"

# Nothing points at the build: the package finds the installed library.
mkdir -p "$tmp/windir"
printf '[CommParam]\nComName=%s\n' "$tmp/no-legacy-port" >"$tmp/windir/VELDA.INI"
env -u TALVO_LIBRARY -u TALVO_SIM PATH=/usr/bin:/bin PYTHONPATH="$tmp/site" PYTHONDONTWRITEBYTECODE=1 \
    TALVO_WINDIR="$tmp/windir" "$python" - "$prefix" "$tmp/site" 2>"$tmp/stderr" <<'PY' || { cat "$tmp/stderr"; exit 1; }
import sys
import talvo
from talvo import _native
from talvo.sim import Sim, find_sim

prefix, site = sys.argv[1], sys.argv[2]
assert talvo.__file__.startswith(site), talvo.__file__
assert _native.library()._name.startswith(prefix + "/lib/"), _native.library()._name
assert find_sim() == prefix + "/bin/talvo-sim", find_sim()
with Sim() as sim, sim.line() as line:
    line.set_cmw(1, "42")
    assert line.cmw(1) == "420000000000"
print("library", talvo.library_version())
PY
echo "bindings_install: 1 passed, 0 failed"
