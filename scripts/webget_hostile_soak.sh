#!/usr/bin/env bash
# Soak of the WebGet connection against the hostile server: the CI test with
# 2,000 requests (or $1) instead of 200, in the asan build when it exists,
# else the default build. Exit status: the test's.
set -euo pipefail
cd "$(dirname "$0")/.."
requests="${1:-2000}"
build=build/asan
[ -x "$build/keelson_tests" ] || build=build/default
KEELSON_HOSTILE_REQUESTS="$requests" KEELSON_VECTORS="$PWD/build/default/vectors" \
  "$build/keelson_tests" --gtest_filter='WebGetConnectionThreaded.HostileServer'
