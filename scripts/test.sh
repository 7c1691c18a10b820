#!/usr/bin/env bash
# Runs every test, as CI does: installs missing packages, then
#   1. GCC build: unit, end-to-end, fault and example tests; then the real-driver stage: the
#      Linux tester and gang through ftdi_sio and 8250 in a QEMU guest (label hil; skips with a
#      line where QEMU or Debian's kernel package cannot be had);
#   2. the Windows builds (MinGW-w64, 32-bit and 64-bit): checks of their binaries that need no
#      execution, their tests under Wine of their word size, and runs of the Windows tester against
#      the Linux build's programmer simulator (scripts/test-wine.sh); 32-bit runs only where the
#      machine runs 32-bit programs, which is probed once by trying (ZQ_WINE32=yes|no forces it);
#   3. static analysis (clang-tidy, cppcheck); the unit and fault tests under AddressSanitizer +
#      UndefinedBehaviorSanitizer (LeakSanitizer included);
#   4. the unit tests under ThreadSanitizer; Clang build (warnings as errors) and its unit tests;
#   5. a plain Release build without a preset, with the system's default compiler, as a user
#      builds it (warnings are not errors there), and its unit tests;
#   6. the packages (Linux .tar.gz and .deb, Win32 and Win64 zips), each unpacked and used as a
#      user would (cmake --workflow --preset package);
#   7. the libFuzzer targets over their seed corpus.
set -euo pipefail
cd "$(dirname "$0")/.."

started=$SECONDS
scripts/install-deps.sh

jobs=$(nproc)

step() { printf '\n==== %s\n' "$*"; }

step "Can this machine run 32-bit Windows programs?"
probe_reason=$(mktemp)
ZQ_WINE32=$(scripts/wine32-probe.sh 2>"$probe_reason")
ZQ_WINE32_REASON=$(sed 's/^32-bit Wine probe: [a-z]* (\(.*\))$/\1/' "$probe_reason")
cat "$probe_reason"
rm -f "$probe_reason"
export ZQ_WINE32 ZQ_WINE32_REASON

step "GCC build and all tests"
# The Windows builds' tests are registered by scripts/test-wine.sh, once those builds exist.
cmake --preset default -DZQ_WIN32_BUILD_DIR= -DZQ_WIN64_BUILD_DIR=
cmake --build --preset default -j "$jobs"
ctest --preset default -j "$jobs" -LE hil

step "Real serial drivers: ftdi_sio and 8250 in a QEMU guest (hil)"
ctest --preset default -L hil --verbose

scripts/test-wine.sh

step "Static analysis: clang-tidy and cppcheck"
scripts/static-analysis.sh

step "Sanitizer build, unit and fault tests"
cmake --preset asan
cmake --build --preset asan -j "$jobs"
ctest --preset asan -j "$jobs" -L 'unit|faults'

step "ThreadSanitizer build, unit tests (serial threads, message loop, tester, library)"
cmake --preset tsan
cmake --build --preset tsan -j "$jobs"
ctest --preset tsan -j "$jobs" -L unit

step "Clang build, unit tests"
cmake --preset clang
cmake --build --preset clang -j "$jobs"
ctest --preset clang -j "$jobs" -L unit

step "Plain Release build (no preset, default compiler), unit tests"
cmake -S . -B build/plain-release -DCMAKE_BUILD_TYPE=Release
cmake --build build/plain-release -j "$jobs"
ctest --test-dir build/plain-release -j "$jobs" -L unit --output-on-failure

step "Packages: build, package, unpack and use"
cmake --workflow --preset package

step "Fuzz targets over their corpus"
cmake --preset fuzz
cmake --build --preset fuzz -j "$jobs"
scripts/fuzz-corpus.sh build/fuzz

step "all tests passed in $((SECONDS - started)) s"
