#!/usr/bin/env bash
# Runs every fuzz target listed in BUILD/fuzz_targets.txt for SECONDS each,
# starting from its seed corpus in the repository. New inputs the fuzzer finds
# go to BUILD/fuzz-corpus/NAME (the repository's seeds stay as they are); an
# input that crashes a target is kept as BUILD/fuzz-crashes/NAME-crash-...
# and fails the run. Usage: scripts/fuzz.sh [BUILD [SECONDS]]
set -euo pipefail
build=${1:-build-fuzz}
seconds=${2:-20}
list="$build/fuzz_targets.txt"
if [ ! -s "$list" ]; then
  echo "no fuzz targets listed in $list (configure with -DJTAGNAND_FUZZ=ON)" >&2
  exit 1
fi
mkdir -p "$build/fuzz-crashes"
failed=()
summary=()
while IFS=$'\t' read -r name program corpus; do
  [ -n "$name" ] || continue
  work="$build/fuzz-corpus/$name"
  mkdir -p "$work"
  log="$build/fuzz-$name.log"
  echo "== fuzz_$name for ${seconds}s (seeds: $corpus)"
  status=0
  # -timeout: one input taking 10 s is a hang; -rss_limit_mb: the simulated
  # chips are allocated as written, so a run stays far below it.
  "$program" "$work" "$corpus" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
    -artifact_prefix="$build/fuzz-crashes/$name-" -print_final_stats=1 >"$log" 2>&1 || status=$?
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  coverage=$(grep -o 'cov: [0-9]*' "$log" | tail -1 || true)
  if [ "$status" -ne 0 ]; then
    failed+=("$name")
    summary+=("fuzz_$name: FAILED (status $status), see $log")
    tail -n 40 "$log" >&2
  else
    summary+=("fuzz_$name: ${runs:-?} inputs in ${seconds}s, ${coverage:-cov: ?}, no crash")
  fi
done <"$list"
printf '%s\n' "${summary[@]}"
if [ "${#failed[@]}" -gt 0 ]; then
  echo "fuzzing found a fault in: ${failed[*]} (inputs in $build/fuzz-crashes)" >&2
  exit 1
fi
