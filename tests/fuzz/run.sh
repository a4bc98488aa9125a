#!/usr/bin/env bash
# Builds one libFuzzer target of tests/fuzz/ with the fuzz preset (clang-14,
# -fsanitize=fuzzer,address,undefined) and runs it for the given time:
#   tests/fuzz/run.sh <target> <seconds> [more libFuzzer options]
# for example tests/fuzz/run.sh dictionary_path_fuzz 600. The corpus grows in
# build/fuzz/corpus/<target> from the seeds in tests/fuzz/<target>.seeds/, if
# any; crashes and slow inputs land in
# build/fuzz/artifacts/<target>/. Exit status 0 only when nothing was found.
# Not part of CI. Installs clang-14 and libclang-rt-14-dev when missing.
set -euo pipefail
cd "$(dirname "$0")/../.."

usage="usage: tests/fuzz/run.sh <target> <seconds> [libFuzzer options]"
target=${1:?$usage}
seconds=${2:?$usage}
shift 2

packages=(clang-14 libclang-rt-14-dev cmake ninja-build)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "Missing Debian packages: ${missing[*]} (install them as root)" >&2
    exit 1
  fi
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}"
fi

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz --target "$target" -j 4

corpus="build/fuzz/corpus/$target"
artifacts="build/fuzz/artifacts/$target/"
mkdir -p "$corpus" "$artifacts"
# Hand-written starting inputs, when the target has some.
seeds=()
[ -d "tests/fuzz/$target.seeds" ] && seeds=("tests/fuzz/$target.seeds")
# Per-input time-out of 10 s: an input that runs longer counts as a finding.
exec "build/fuzz/$target" "$corpus" "${seeds[@]}" -max_total_time="$seconds" -timeout=10 \
  -rss_limit_mb=2048 -artifact_prefix="$artifacts" -print_final_stats=1 "$@"
