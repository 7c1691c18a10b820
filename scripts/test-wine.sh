#!/usr/bin/env bash
# The Windows build and its tests under Wine:
#   1. cross build with MinGW-w64 (preset mingw) and its unit tests, run under Wine;
#   2. the Linux build's `wine` tests against that build: the library host by name and ordinal,
#      and runs of ZqCmdLin.exe.
# Wine runs without a display: the programs' windows are message-only windows.
set -euo pipefail
cd "$(dirname "$0")/.."

jobs=$(nproc)
win32_build="$PWD/build/mingw"

step() { printf '\n==== %s\n' "$*"; }

step "Windows cross build (MinGW-w64 i686)"
cmake --preset mingw
cmake --build --preset mingw -j "$jobs"

step "Windows unit tests under Wine"
export WINEDEBUG=-all
export WINEPREFIX="$win32_build/wineprefix"
# Make the prefix before the tests start, so that parallel tests do not race to create it.
wineboot -i
wineserver -w
ctest --preset mingw -j "$jobs"
unset WINEPREFIX

step "Windows binaries under Wine from the Linux build"
cmake --preset default -DZQ_WIN32_BUILD_DIR="$win32_build"
ctest --preset default -L wine
