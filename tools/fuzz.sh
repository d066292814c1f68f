#!/usr/bin/env bash
# Runs every fuzz target of a fuzz build for a bounded time, seeded from tests/fuzz/corpus.
set -euo pipefail
build=${1:-build/fuzz}
seconds=${2:-60}
root=$(cd "$(dirname "$0")/.." && pwd)

shopt -s nullglob
targets=("$build"/tests/fuzz/fuzz_*)
[ ${#targets[@]} -eq 0 ] && { echo "no fuzz targets built"; exit 0; }
for target in "${targets[@]}"; do
  [ -x "$target" ] || continue
  name=$(basename "$target")
  work="$build/corpus/$name"
  mkdir -p "$work"
  seeds="$root/tests/fuzz/corpus/${name#fuzz_}"
  echo "== $name for ${seconds}s"
  args=("$work")
  [ -d "$seeds" ] && args+=("$seeds")
  status=0
  # Undefined behaviour stops the run like a crash does, also in a target built without
  # -fno-sanitize-recover.
  ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
    "$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
    -print_final_stats=1 -artifact_prefix="$build/$name-" "${args[@]}" > "$build/$name.log" 2>&1 || status=$?
  tail -n 12 "$build/$name.log"
  [ "$status" -eq 0 ] || { echo "$name found a problem (status $status), see $build/$name.log"; exit 1; }
done
