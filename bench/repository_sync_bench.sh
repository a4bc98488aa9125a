#!/usr/bin/env bash
# keelson sync against curl (and curl + sha1sum -c) on 127.0.0.1 nginx:
# builds repository_sync_bench in the default preset and runs it with the
# given arguments (see the top of bench/repository_sync_bench.cpp). Where
# strace is installed, each side's uncounted run goes under `strace -f -c`
# so that the rows give system calls per file.
# Usage: bench/repository_sync_bench.sh [--case small|bulk|update|all] [--runs N] ...
set -euo pipefail
cd "$(dirname "$0")/.."
for tool in /usr/sbin/nginx /usr/bin/curl /usr/bin/xdelta3; do
  command -v "$tool" > /dev/null || { echo "missing: $tool" >&2; exit 1; }
done
trace=()
if command -v strace > /dev/null; then
  trace=(--strace "$(command -v strace)")
fi
cmake --preset default > /dev/null
cmake --build --preset default -j3 --target repository_sync_bench keelson > /dev/null
build/default/repository_sync_bench "${trace[@]}" "$@"
