#!/usr/bin/env bash
# The Windows builds and their tests under Wine:
#   1. cross builds with MinGW-w64: 32-bit (preset mingw) and 64-bit (preset mingw64);
#   2. whether this machine runs 32-bit Windows programs under Wine (scripts/wine32-probe.sh, which
#      tries; many 64-bit-only kernels refuse 32-bit programs); ZQ_WINE32=yes|no gives the answer;
#   3. the unit tests of each build under Wine of its word size (32-bit only where it runs);
#   4. from the Linux build: the checks of both builds' binaries that need no execution (label
#      pe), and the library host and runs of ZqCmdLin.exe under Wine (label wine).
# Wine runs without a display: the programs' windows are message-only windows.
set -euo pipefail
cd "$(dirname "$0")/.."

jobs=$(nproc)
win32_build="$PWD/build/mingw"
win64_build="$PWD/build/mingw64"

step() { printf '\n==== %s\n' "$*"; }

export WINEDEBUG=-all

# The 64-bit loader itself: Debian's `wine` script picks the 32-bit loader whenever it is
# installed, even where the kernel cannot start it.
wine64_loader() {
  local candidate
  for candidate in "$(command -v wine64 || true)" /usr/lib/wine/wine64 /usr/lib64/wine/wine64; do
    if [ -n "$candidate" ] && [ -x "$candidate" ]; then
      echo "$candidate"
      return 0
    fi
  done
  return 1
}

step "Windows cross builds (MinGW-w64 i686 and x86_64)"
cmake --preset mingw
cmake --build --preset mingw -j "$jobs"
cmake --preset mingw64
cmake --build --preset mingw64 -j "$jobs"

step "Can this machine run 32-bit Windows programs?"
probe_reason=$(mktemp)
wine32=$(scripts/wine32-probe.sh "$win32_build/wineprefix" 2>"$probe_reason")
reason=$(cat "$probe_reason")
rm -f "$probe_reason"
if [ "$wine32" = yes ]; then
  echo "$reason: the Win32 binaries are tested under Wine"
else
  echo "SKIPPED the Win32 unit tests, library host and tester runs under Wine: $reason. The Win32 binaries get the checks that need no execution, the Win64 binaries every Wine test."
fi

if [ "$wine32" = yes ]; then
  step "Win32 unit tests under Wine"
  export WINEPREFIX="$win32_build/wineprefix"
  # Make the prefix before the tests start, so that parallel tests do not race to create it.
  wine wineboot -i
  wineserver -w
  ctest --preset mingw -j "$jobs"
  unset WINEPREFIX
fi

step "Win64 unit tests under 64-bit Wine"
if loader=$(wine64_loader); then
  export WINEPREFIX="$win64_build/wineprefix"
  "$loader" wineboot -i
  wineserver -w
  ctest --preset mingw64 -j "$jobs"
  unset WINEPREFIX
  win64_dir="$win64_build"
else
  echo "64-bit Wine: SKIPPED the Win64 unit tests, library host and tester runs (no wine64 loader found)"
  win64_dir=""
fi

step "Windows binaries from the Linux build: checks without execution, and runs under Wine"
win32_runs=OFF
[ "$wine32" = yes ] && win32_runs=ON
cmake --preset default -DZQ_WIN32_BUILD_DIR="$win32_build" -DZQ_WIN64_BUILD_DIR="$win64_dir" \
  -DZQ_WIN32_RUNS="$win32_runs"
ctest --preset default -L 'wine|pe'
