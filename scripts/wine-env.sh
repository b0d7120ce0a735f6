# Sourced by the test scripts: a private Wine prefix for the Windows tests,
# with its own wineserver started up front (later starts are then fast, and
# the server never takes a test's pseudo-terminal as its terminal).  32-bit
# by default; TALVO_WINE_ARCH=win64 makes it the 64-bit prefix of the win64
# build, run with the 64-bit loader ($TALVO_WINE).
if [ "${TALVO_WINE_ARCH:-win32}" = win64 ]; then
    export WINEPREFIX="${TALVO_WINEPREFIX64:-$(pwd)/build/wine-prefix64}"
    export WINEARCH=win64
    export TALVO_WINE=/usr/lib/wine/wine64
else
    export WINEPREFIX="${WINEPREFIX:-$(pwd)/build/wine-prefix}"
    export WINEARCH=win32
    export TALVO_WINE=wine
fi
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
unset DISPLAY WAYLAND_DISPLAY

talvo_wine_start() {
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
        mkdir -p "$WINEPREFIX"
        wineboot -i >/dev/null 2>&1 && wineserver -w
    fi
    (wineserver -f -p </dev/null >/dev/null 2>&1 &)
    sleep 0.3
    # The first program of a new server starts Wine's own services, which
    # live as long as the server: start them here with no terminal and no
    # pipe of ours, or they would hold a test runner's output open.
    "$TALVO_WINE" cmd /c exit </dev/null >/dev/null 2>&1 || true
}

# Stops the server and waits for it, so that its folder under $TMPDIR can go.
talvo_wine_stop() {
    wineserver -k >/dev/null 2>&1 || true
    wineserver -w >/dev/null 2>&1 || true
    # Wine leaves the server's folder (wine-XXXXXX/server-DEV-INODE, named
    # after the prefix) in the temporary folder: take it and its parent
    # when nothing else is in it.
    local id dir
    id=$(stat -c '%d %i' "$WINEPREFIX" 2>/dev/null) || return 0
    id=$(printf 'server-%x-%x' $id)
    for dir in "${TMPDIR:-/tmp}"/wine-*/"$id"; do
        [ -d "$dir" ] || continue
        rm -rf "$dir"
        rmdir "$(dirname "$dir")" 2>/dev/null || true
    done
}
