#!/usr/bin/env bash
# Runs every test, as CI does: installs missing packages, then
#   1. GCC build: unit, end-to-end and example tests;
#   2. the Windows build (MinGW-w64 i686) and its tests under 32-bit Wine, including runs of the
#      Windows tester against the Linux build's programmer simulator;
#   3. the unit tests under AddressSanitizer + UndefinedBehaviorSanitizer;
#   4. Clang build (warnings as errors) and its unit tests;
#   5. the libFuzzer targets over their seed corpus.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh

jobs=$(nproc)

step() { printf '\n==== %s\n' "$*"; }

step "GCC build and all tests"
cmake --preset default
cmake --build --preset default -j "$jobs"
ctest --preset default -j "$jobs"

scripts/test-wine.sh

step "Sanitizer build, unit tests"
cmake --preset asan
cmake --build --preset asan -j "$jobs"
ctest --preset asan -j "$jobs" -L unit

step "Clang build, unit tests"
cmake --preset clang
cmake --build --preset clang -j "$jobs"
ctest --preset clang -j "$jobs" -L unit

step "Fuzz targets over their corpus"
cmake --preset fuzz
cmake --build --preset fuzz -j "$jobs"
scripts/fuzz-corpus.sh build/fuzz

step "all tests passed"
