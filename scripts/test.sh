#!/usr/bin/env bash
# Installs what the build and the tests need (as root), builds every preset and
# runs the whole test suite in default and asan, the tests labelled threaded in
# tsan, and each fuzz target once over its seeds (tests/fuzz/run_seeds.sh).
# Exit status: 0 only when every test passed; under CI (CI=true, as .ci/run
# sets it) a skipped test fails the run too, unless allowed below.
#
#   scripts/test.sh [--busy]
#
# --busy runs the same, as a small CI machine under load would: pinned to two
# CPUs (taskset) with two CPU hogs beside it on them, started before and
# stopped by their process ids after. KEELSON_PRESETS picks the presets
# (default "default asan tsan fuzz").
set -euo pipefail
cd "$(dirname "$0")/.."

case "${1:-}" in
  -h|--help) sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//'; exit 0 ;;
  --busy)
    shift
    command -v taskset >/dev/null || { echo "test.sh --busy: taskset is missing" >&2; exit 1; }
    # The first two CPUs this shell may run on.
    mapfile -t allowed < <(python3 -c 'import os; print(*sorted(os.sched_getaffinity(0))[:2], sep="\n")')
    two=$(IFS=,; echo "${allowed[*]}")
    hogs=()
    stop_hogs() {
      local pid
      for pid in "${hogs[@]}"; do kill "$pid" 2>/dev/null || true; done
      for pid in "${hogs[@]}"; do wait "$pid" 2>/dev/null || true; done
      hogs=()
    }
    trap stop_hogs EXIT
    for _ in 1 2; do
      taskset -c "$two" bash -c 'while :; do :; done' &
      hogs+=($!)
    done
    echo "== busy: CPUs $two, CPU hogs ${hogs[*]}"
    # The run in a process group of its own, waited for in the background so
    # that an interrupt ends it (by its group's id) and the hogs at once.
    # KEELSON_BUSY tells the tests that pin themselves to a CPU not to.
    KEELSON_BUSY=1 taskset -c "$two" setsid bash "$PWD/scripts/test.sh" "$@" &
    run=$!
    trap 'kill -TERM -- -"$run" 2>/dev/null; wait "$run"; exit 130' INT TERM
    status=0
    wait "$run" || status=$?
    stop_hogs
    echo "== busy: hogs stopped, exit $status"
    exit $status ;;
esac

# The skips a CI run accepts: a test that could not run proves nothing, so any
# other skip (a tool missing, root needed, a row the system refused) fails it.
# Each entry: the presets (extended regex), the ctest names (extended regex)
# and why the skip is right there.
allowedSkips=()
allowSkip() { allowedSkips+=("$1"$'\t'"$2"$'\t'"$3"); }
allowSkip 'asan' '^MemoryDeathTest\.(SecondFreeStops|ExhaustedHeapStops)$' \
  "AddressSanitizer stops on these faults itself, before the code under test can"
allowSkip 'asan|tsan' '^(Tls|Ecdsa|Rsa)ConstantTime\..*UnderMemcheck$' \
  "valgrind cannot run a sanitizer build (the default preset runs them)"
allowSkip '.*' '^HashFileTest\.SparseFilePastFourGiB$' \
  "a file past 4 GiB is a long test (KEELSON_LONG_TESTS=1), outside the CI budget"
allowSkip '.*' '^Kernels/[A-Za-z]+Paths\.' \
  "a kernel path for CPU features this machine does not have"
allowSkip '.*' '^SysInfo\.RealDiskSerialEqualsLsblk$' \
  "the root file system's disk has no serial here (virtual disks often have none)"
# Prints the skipped tests of a ctest log that no entry allows for the preset.
unallowedSkips() {
  local preset=$1 log=$2 name entry p n allowed
  while IFS= read -r name; do
    allowed=0
    for entry in "${allowedSkips[@]}"; do
      IFS=$'\t' read -r p n _ <<<"$entry"
      if [[ $preset =~ ^($p)$ && $name =~ $n ]]; then allowed=1; break; fi
    done
    [ $allowed = 1 ] || echo "$name"
  done < <(sed -n 's/^[[:space:]]*[0-9]\{1,\} - \(.*\) (Skipped)$/\1/p' "$log")
}
# scripts/test.sh --unallowed-skips PRESET LOG runs only that accounting
# (tests/skip_codes_test.sh checks it).
if [ "${1:-}" = --unallowed-skips ]; then
  unallowedSkips "$2" "$3"
  exit 0
fi

# The Debian packages: scripts/packages.txt, shared with scripts/demo.sh.
source scripts/packages.sh

jobs=$(nproc)
presets=(${KEELSON_PRESETS:-default asan tsan fuzz})
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
  if [ "$preset" = fuzz ]; then
    # The fuzz preset has no ctest entries: each target runs over its seeds.
    echo "== fuzz: each target over its seeds"
    if bash tests/fuzz/run_seeds.sh | tee build/fuzz/seeds.log; then :; else status=1; fi
    cpu_mark "fuzz seeds"
    summary+=("fuzz: $(tail -1 build/fuzz/seeds.log)")
    continue
  fi
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
  if [ "${CI:-}" = true ]; then
    mapfile -t skipped < <(unallowedSkips "$preset" "$log")
    if [ ${#skipped[@]} -gt 0 ]; then
      status=1
      summary+=("  ${#skipped[@]} skipped, which CI does not allow (scripts/test.sh):")
      for name in "${skipped[@]}"; do summary+=("    $name"); done
    fi
  fi
done

echo "== summary"
printf '%s\n' "${summary[@]}"
printf '%s\n' "${cpu[@]}"
cpu_total
echo "total: $(cpu_minutes "$cpu_now")"
exit $status
