#!/usr/bin/env bash
# Installs what the build and the tests need (as root), builds every preset and
# runs the whole test suite in default and asan, and the tests labelled
# threaded in tsan. Exit status: 0 only when every test passed.
set -euo pipefail
cd "$(dirname "$0")/.."

# The Debian packages: scripts/packages.txt, shared with scripts/demo.sh.
source scripts/packages.sh

jobs=$(nproc)
presets=(${KEELSON_PRESETS:-default asan tsan})
status=0
summary=()

# gcc 12's ThreadSanitizer expects its shadow memory at fixed addresses, which
# collide with mappings on kernels that randomise more than 28 bits
# (vm.mmap_rnd_bits); without address randomisation they stay clear. The build
# runs the test binary too (test discovery), so it goes through the same wrapper.
tsanWrap=()
if [ "$(cat /proc/sys/vm/mmap_rnd_bits 2>/dev/null || echo 0)" -gt 28 ]; then
  tsanWrap=(setarch "$(uname -m)" -R)
fi

# The Python oracles' vectors do not depend on the preset: the first preset
# makes them, the next ones use them (tests/run_generator.sh).
export KEELSON_VECTORS_RUN="$(date +%s%N)-$$"
first=""

# CPU time (user+sys of everything this script ran) per step, for the CI budget.
# `times` must run in this shell, not a subshell, to see its children.
cpu=()
cpu_file=$(mktemp)
trap 'rm -f "$cpu_file"' EXIT
cpu_total() {
  times >"$cpu_file"
  cpu_now=$(tail -1 "$cpu_file" | awk '{ for (i = 1; i <= 2; i++) { split($i, t, /[ms]/); s += t[1] * 60 + t[2] } } END { printf "%.0f", s }')
}
cpu_minutes() { echo "$(( $1 / 60 )).$(( $1 % 60 * 10 / 60 )) CPU-min"; }
cpu_total; cpu_last=$cpu_now
cpu_mark() {
  cpu_total
  cpu+=("$1: $(cpu_minutes $(( cpu_now - cpu_last )))")
  cpu_last=$cpu_now
}

for preset in "${presets[@]}"; do
  wrap=()
  [ "$preset" = tsan ] && wrap=("${tsanWrap[@]}")
  echo "== $preset: configure and build"
  cmake --preset "$preset" >/dev/null
  "${wrap[@]}" cmake --build --preset "$preset" -j "$jobs"
  cpu_mark "$preset build"
  echo "== $preset: test"
  # Presets run one after another, so they can share the first one's vectors
  # (a copy would trip over the deep directory trees some oracles make).
  if [ -n "$first" ] && [ -d "build/$first/vectors" ]; then
    rm -rf "build/$preset/vectors"
    ln -s "../$first/vectors" "build/$preset/vectors"
  elif [ -L "build/$preset/vectors" ]; then
    rm -f "build/$preset/vectors"
  fi
  first=${first:-$preset}
  log="build/$preset/ctest.log"
  if "${wrap[@]}" ctest --preset "$preset" -j "$jobs" 2>&1 | tee "$log"; then :; else status=1; fi
  cpu_mark "$preset test"
  summary+=("$preset: $(grep -E 'tests passed|tests failed' "$log" | tail -1)")
  # Name the failures in the summary, which is what a truncated CI log keeps.
  while IFS= read -r line; do summary+=("  $line"); done < <(
    sed -n '/The following tests FAILED:/,$p' "$log" | grep -E '^[[:space:]]+[0-9]+ - ' || true)
done

echo "== summary"
printf '%s\n' "${summary[@]}"
printf '%s\n' "${cpu[@]}"
cpu_total
echo "total: $(cpu_minutes "$cpu_now")"
exit $status
