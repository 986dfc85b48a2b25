#!/usr/bin/env bash
# Runs every benchmark built in the given build directory.
set -euo pipefail
build=${1:-build-bench}
found=0
for bench in "$build"/bench/*_bench; do
  [ -x "$bench" ] || continue
  found=1
  echo "== $(basename "$bench")"
  "$bench"
done
if [ "$found" = 0 ]; then echo "no benchmarks built yet"; fi
