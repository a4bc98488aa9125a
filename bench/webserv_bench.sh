#!/usr/bin/env bash
# The web server against nginx (one worker each) under wrk and ab: builds
# webserv_bench in the default preset and runs it; it prints requests/s of
# both and their ratio. Needs nginx, wrk and ab (apache2-utils).
# Usage: bench/webserv_bench.sh [wrk seconds, default 20] [ab requests, default 100000]
set -euo pipefail
cd "$(dirname "$0")/.."
for tool in /usr/sbin/nginx wrk ab; do
  command -v "$tool" > /dev/null || { echo "missing: $tool" >&2; exit 1; }
done
cmake --preset default > /dev/null
cmake --build --preset default -j3 --target webserv_bench > /dev/null
WEBSERV_BENCH_SECONDS=${1:-20} WEBSERV_BENCH_AB_REQUESTS=${2:-100000} \
  build/default/webserv_bench
