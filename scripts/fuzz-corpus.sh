#!/usr/bin/env bash
# Runs every libFuzzer target in the given build directory over its seed corpus
# (fuzz/corpus/<target>/), plus a short bounded fuzzing run, so that CI replays known inputs.
set -euo pipefail
cd "$(dirname "$0")/.."
builddir=${1:-build/fuzz}
seconds=${FUZZ_SECONDS:-10}

found=0
for target in $(find "$builddir/fuzz" -type f -perm -u+x -name "fuzz_*" 2>/dev/null | sort); do
  [ -x "$target" ] || continue
  found=1
  name=$(basename "$target")
  corpus=fuzz/corpus/$name
  work=$(mktemp -d)
  [ -d "$corpus" ] && cp -r "$corpus"/. "$work"/
  echo "fuzz: $name (${seconds}s)"
  "$target" -max_total_time="$seconds" -timeout=5 "$work" >"$work.log" 2>&1 || {
    tail -n 40 "$work.log"
    exit 1
  }
  rm -rf "$work" "$work.log"
done
[ "$found" = 1 ] || echo "fuzz: no targets built"
