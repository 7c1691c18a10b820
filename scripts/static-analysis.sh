#!/usr/bin/env bash
# Static analysis of our own code (the deliverables, the platform layer and the simulator; not the
# tests and not third-party code): clang-tidy with .clang-tidy over the POSIX build's compile
# database and over the Win64 build's (the Win32 sources, with the MinGW-w64 headers), and cppcheck
# over the sources. Fails on any finding. Needs the compile databases of the `default` and
# `mingw64` presets: configures them when they are missing.
# Suppressions are commented where they stand: checks turned off in .clang-tidy, single findings
# with NOLINT or cppcheck-suppress at their line, whole-tree ones in scripts/cppcheck-suppressions.
set -euo pipefail
cd "$(dirname "$0")/.."

jobs=$(nproc)
ours="^$PWD/(tester|serial|msglib|platform|tools|gang)/"

for preset in default mingw64; do
  [ -f "build/$preset/compile_commands.json" ] || cmake --preset "$preset" >/dev/null
done

status=0
run_tidy() {
  local log
  log=$(mktemp)
  if ! run-clang-tidy -quiet -j "$jobs" "$@" >"$log" 2>&1 || grep -qE '(error|warning): ' "$log"; then
    grep -vE '^(clang-tidy|\[|[0-9]+ warnings? generated|Suppressed|Use -header-filter|Running)' "$log" || true
    status=1
  fi
  rm -f "$log"
}

echo "clang-tidy: POSIX build"
run_tidy -p build/default "$ours"

# The Win32 sources, compiled for x86_64-w64-mingw32 with the cross compiler's C++ library and
# the MinGW-w64 headers (clang's own intrinsics headers, not GCC's).
echo "clang-tidy: Windows sources (MinGW-w64 x86_64)"
mingw_includes=()
while read -r dir; do
  mingw_includes+=("-extra-arg=-isystem$dir")
done < <(echo | x86_64-w64-mingw32-g++-posix -x c++ -E -v - 2>&1 |
  sed -n '/#include <...> search starts here/,/End of search list/p' | sed -n 's/^ \(\/.*\/c++.*\)$/\1/p')
mingw_includes+=("-extra-arg=-isystem/usr/x86_64-w64-mingw32/include")
run_tidy -p build/mingw64 -extra-arg-before=--target=x86_64-w64-mingw32 -extra-arg=-nostdinc++ \
  "${mingw_includes[@]}" "^$PWD/platform/win32/"

echo "cppcheck"
if ! cppcheck --quiet --error-exitcode=1 --inline-suppr --std=c++20 --language=c++ \
  --enable=warning,style,performance,portability \
  --suppressions-list=scripts/cppcheck-suppressions \
  -I platform -I serial -I tester -I msglib -I msglib/include -I gang \
  tester serial msglib platform tools gang; then
  status=1
fi

if [ "$status" -ne 0 ]; then
  echo "static analysis: findings above" >&2
  exit 1
fi
echo "static analysis: clean"
