#!/usr/bin/env bash
# keelson serve against nginx (one worker each) under wrk: builds
# webserv_bench in the default preset and runs it; it prints requests/s of
# both, requests per server CPU-second and their ratios. Needs nginx and wrk.
# Usage: bench/webserv_bench.sh [wrk seconds, default 20]
set -euo pipefail
cd "$(dirname "$0")/.."
for tool in /usr/sbin/nginx wrk openssl; do
  command -v "$tool" > /dev/null || { echo "missing: $tool" >&2; exit 1; }
done
cmake --preset default > /dev/null
cmake --build --preset default -j3 --target webserv_bench keelson > /dev/null
WEBSERV_BENCH_SECONDS=${1:-20} \
  build/default/webserv_bench
