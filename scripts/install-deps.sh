#!/usr/bin/env bash
# Installs what the builds and tests need on Debian, as root, and only what
# is missing: CMake, Ninja, GoogleTest, the MinGW-w64 i686 and x86_64 cross
# compilers, 32-bit Wine (which needs the i386 architecture) and 64-bit
# Wine, and what the collection
# service and the bindings are built and tested with: SQLite, libpq and a
# PostgreSQL server, toml++, cpp-httplib, headless Chromium, Mono's C#
# compiler, Free Pascal, pytest and venv; dpkg-dev, file, help2man, lintian and curl
# for the Debian packages and their test; tcl (SQLite's amalgamation for
# talvod.exe, scripts/win-sources.sh), wixl, msitools and nsis (Windows installers);
# libcurl (the service's alerts by webhook and mail) and aiosmtpd (the SMTP
# server their test sends to).
#
#   scripts/install-deps.sh              # everything the builds and tests use
#   scripts/install-deps.sh PACKAGE...   # only these (the demos' lists)
# Exits 1 without installing when packages are missing and this is not root.
set -euo pipefail
export DEBIAN_FRONTEND=noninteractive

packages=("$@")
if [ ${#packages[@]} -eq 0 ]; then
    packages=(cmake ninja-build g++ pkg-config libgtest-dev googletest g++-mingw-w64-i686-posix
              binutils-mingw-w64-i686 g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 wine64 libcli11-dev nlohmann-json3-dev wine wine32:i386
              libsqlite3-dev sqlite3 libpq-dev postgresql libtomlplusplus-dev libcpp-httplib-dev chromium
              mono-mcs mono-runtime fp-compiler fp-units-base fp-units-rtl python3 python3-pytest python3-pip python3-venv
              dpkg-dev file help2man lintian curl ser2net python3-serial tcl wixl msitools nsis
              libcurl4-openssl-dev python3-aiosmtpd)
fi
missing=()
have() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }
for p in "${packages[@]}"; do
    have "$p" || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
    echo "all packages present"
    exit 0
fi
echo "installing: ${missing[*]}"
if [ "$(id -u)" -ne 0 ]; then
    echo "install-deps: run as root to install them, or install them yourself" >&2
    exit 1
fi
if [[ " ${missing[*]}" == *":i386"* ]] && ! dpkg --print-foreign-architectures | grep -qx i386; then
    dpkg --add-architecture i386
fi
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
