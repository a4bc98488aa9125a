#!/usr/bin/env bash
# The layer check on scratch trees: a downward include and an allowed
# exception pass, an include of a core/net/ header from core/runtime/ fails,
# and a test file may include anything.
set -uo pipefail
check="$(cd "$(dirname "$0")/.." && pwd)/scripts/check_layers.sh"
tree=$(mktemp -d)
trap 'rm -rf "$tree"' EXIT
mkdir -p "$tree"/core/{runtime,platform,net,posix}
echo '#include "core/runtime/str.h"' >"$tree/core/net/url.cpp"
echo '#include "core/platform/platform.h"' >"$tree/core/runtime/time.cpp"
echo '#include "core/net/url.h"' >"$tree/core/runtime/str_test.cpp"
echo '#include "core/net/url.h"' >"$tree/core/posix/socket.cpp"
failures=0
expect() {  # status description
  local got
  bash "$check" "$tree" >/dev/null 2>&1
  got=$?
  if [ "$got" -ne "$1" ]; then echo "FAIL: $2: exit $got, expected $1"; failures=$((failures + 1)); fi
}
expect 0 "downward includes, an allowed exception, a test and core/posix"
echo '#include "core/net/url.h"' >>"$tree/core/runtime/str.cpp"
expect 1 "core/runtime includes core/net"
[ "$failures" -eq 0 ] && echo "2 passed, 0 failed"
exit "$failures"
