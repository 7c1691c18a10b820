#!/usr/bin/env bash
# Tells whether this machine runs 32-bit Windows programs under Wine, by trying: a 32-bit program
# that exits with 42 is built and started. Many 64-bit-only kernels refuse 32-bit programs, and
# then 32-bit Wine cannot start at all.
# Prints "yes" or "no" on stdout and one line with the reason on stderr.
# ZQ_WINE32=yes or ZQ_WINE32=no gives the answer instead (ZQ_WINE32_REASON, if set, says why).
# Usage: scripts/wine32-probe.sh [wine prefix]   (default build/mingw/wineprefix)
set -euo pipefail
cd "$(dirname "$0")/.."

answer() {
  echo "$1"
  echo "32-bit Wine probe: $1 ($2)" >&2
  exit 0
}

case "${ZQ_WINE32:-}" in
  yes | no) answer "$ZQ_WINE32" "${ZQ_WINE32_REASON:-forced by ZQ_WINE32=$ZQ_WINE32}" ;;
  "") ;;
  *) echo "ZQ_WINE32 must be yes, no or unset, not '$ZQ_WINE32'" >&2; exit 2 ;;
esac

prefix=${1:-$PWD/build/mingw/wineprefix}
command -v wine >/dev/null || answer no "no wine program"
command -v i686-w64-mingw32-gcc >/dev/null || answer no "no i686-w64-mingw32-gcc to build the probe"

dir=$(mktemp -d "${TMPDIR:-/tmp}/zq-wine32-probe-XXXXXX")
trap 'rm -rf "$dir"' EXIT
printf 'int main(void) { return 42; }\n' >"$dir/probe.c"
i686-w64-mingw32-gcc -o "$dir/probe.exe" "$dir/probe.c"
mkdir -p "$(dirname "$prefix")"
status=0
# A new prefix is made on the first start, which takes a while.
output=$(WINEPREFIX="$prefix" WINEDEBUG=-all timeout 300 wine "$dir/probe.exe" 2>&1) || status=$?
if [ "$status" -eq 42 ]; then
  answer yes "a 32-bit program ran under wine"
fi
answer no "a 32-bit program under wine ended with status $status: $(printf '%s' "$output" | tail -n 1)"
