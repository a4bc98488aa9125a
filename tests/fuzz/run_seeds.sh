#!/usr/bin/env bash
# Runs every fuzz target of build/fuzz (the fuzz preset, built first) once over
# each of its seeds: tests/fuzz/<target>.seeds/, or one empty input for a
# target without seeds. scripts/test.sh runs it in CI; tests/fuzz/run.sh is
# the long run that searches.
#
# Usage: tests/fuzz/run_seeds.sh
# Each target is bounded (10 s per input, 300 s in all). Exit status 0 when
# every target ran every seed without a crash, leak, time-out or fatal stop;
# the targets that did not are named on the last line, their findings left in
# build/fuzz/work/ as <target>-crash-* and the like.
set -euo pipefail
cd "$(dirname "$0")/../.."

work=build/fuzz/work
mkdir -p "$work"
empty=$work/empty-input
: >"$empty"
failed=()
count=0
for src in tests/fuzz/*_fuzz.cpp; do
  target=$(basename "$src" .cpp)
  program=build/fuzz/$target
  if [ ! -x "$program" ]; then
    echo "== $target: not built" >&2
    failed+=("$target")
    continue
  fi
  inputs=()
  if [ -d "tests/fuzz/$target.seeds" ]; then
    mapfile -t inputs < <(find "tests/fuzz/$target.seeds" -type f | sort)
  fi
  [ ${#inputs[@]} -gt 0 ] || inputs=("$empty")
  # Files, not directories: libFuzzer runs each file once and stops.
  if ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
       timeout 300 "$program" -timeout=10 -artifact_prefix="$work/$target-" "${inputs[@]}" \
       >"$work/$target-seeds.log" 2>&1; then
    echo "== $target: ${#inputs[@]} seed(s) ran"
    count=$((count + 1))
  else
    echo "== $target: FAILED (build/fuzz/work/$target-seeds.log):" >&2
    tail -20 "$work/$target-seeds.log" >&2
    failed+=("$target")
  fi
done
if [ ${#failed[@]} -gt 0 ]; then
  echo "fuzz seeds: ${#failed[@]} target(s) failed: ${failed[*]}"
  exit 1
fi
echo "fuzz seeds: $count targets, every seed ran"
