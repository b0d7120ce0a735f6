#!/usr/bin/env bash
# The installed tree: library with its soname, header, pkg-config file, CMake
# package and the two programs; the C host example built against it both
# ways and run against the software terminal.
#   install_test.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=$(realpath "$1")
source=$(realpath "$2")
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
prefix=$tmp/prefix

cmake --install "$build" --prefix "$prefix" >/dev/null
for f in include/talvo.h lib/libtalvo.so.1 lib/pkgconfig/talvo.pc lib/cmake/talvo/talvoConfig.cmake bin/talvo bin/talvo-sim; do
    [ -e "$prefix/$f" ] || { echo "missing from the install tree: $f"; exit 1; }
done
soname=$(objdump -p "$prefix/lib/libtalvo.so.1" | awk '/SONAME/ {print $2}')
[ "$soname" = "libtalvo.so.1" ] || { echo "soname is '$soname'"; exit 1; }

# Both ways: pkg-config and find_package.
PKG_CONFIG_PATH=$prefix/lib/pkgconfig
export PKG_CONFIG_PATH
cc -Wall -Werror -o "$tmp/host-pkgconfig" "$source/examples/host.c" $(pkg-config --cflags --libs talvo) \
    -Wl,-rpath,"$prefix/lib"
cmake -S "$source/examples" -B "$tmp/cmake-build" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$tmp/cmake-build" >/dev/null

# Run both against the installed software terminal.
mkdir -p "$tmp/windir"
cat >"$tmp/run.sh" <<RUN
#!/usr/bin/env bash
set -e
printf '[CommParam]\nComName=%s\nEchoTime=60\n' "\$TALVO_SIM_DEVICE" >"$tmp/windir/VELDA.INI"
export TALVO_WINDIR=$tmp/windir
"$tmp/host-pkgconfig" | grep -q 'terminal 1 answers'
"$tmp/cmake-build/host" | grep -q 'amount: 1234.50'
RUN
chmod +x "$tmp/run.sh"
"$prefix/bin/talvo-sim" --exec -- "$tmp/run.sh" >/dev/null

# The line-API example collects two lines into one CSV file; a second run
# finds nothing left on the terminals.
cat >"$tmp/lines.sh" <<RUN
#!/usr/bin/env bash
set -e
"$tmp/cmake-build/collect_lines" "$tmp/records.csv" "$tmp/line-a" "$tmp/line-b" | grep -q '^13 records collected'
[ "\$(wc -l <"$tmp/records.csv")" -eq 13 ]
[ "\$(grep -c "^$tmp/line-b," "$tmp/records.csv")" -eq 5 ]
"$tmp/cmake-build/collect_lines" "$tmp/records.csv" "$tmp/line-a" "$tmp/line-b" | grep -q '^0 records collected'
RUN
chmod +x "$tmp/lines.sh"
"$prefix/bin/talvo-sim" --records 1:8 --link "$tmp/line-a" --exec -- \
    "$prefix/bin/talvo-sim" --records 1:5 --link "$tmp/line-b" --exec -- "$tmp/lines.sh" >/dev/null
echo "install: 2 passed, 0 failed"
