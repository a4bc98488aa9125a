#!/usr/bin/env bash
# Skips that cannot pass for passes: each e2e script ends with 77 (ctest's
# skip code for them) when nginx is not on its PATH, and scripts/test.sh's
# accounting names every skipped test of a ctest log that its list does not
# allow for the preset, and only those.
set -uo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
failures=0
passed=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# A PATH that has python3 and the usual tools but no nginx (/usr/sbin).
nopath=/usr/local/bin:/usr/bin:/bin
if PATH=$nopath command -v nginx >/dev/null; then
  fail "nginx is on $nopath: the table cannot hide it"
else
  while read -r script args; do
    PATH=$nopath /usr/bin/python3 "$root/tests/e2e/$script" $args --keelson /nonexistent \
      >"$scratch/out" 2>&1
    got=$?
    if [ "$got" -eq 77 ] && grep -q "nginx" "$scratch/out"; then
      passed=$((passed + 1))
    else
      fail "$script $args without nginx: exit $got, expected 77 naming nginx ($(head -c 300 "$scratch/out"))"
    fi
  done <<'EOF'
documents_e2e.py
durable_e2e.py linkplant
failures_e2e.py
field_e2e.py keepalive
preflight_e2e.py refusals
serve_e2e.py contract
sync_e2e.py sync
update_e2e.py kill
EOF
fi

# ctest's list of tests that did not run, as it prints it.
cat >"$scratch/ctest.log" <<'EOF'
100% tests passed, 0 tests failed out of 6

The following tests did not run:
	 12 - MemoryDeathTest.SecondFreeStops (Skipped)
	 40 - Kernels/AesPaths.RoundTrip/shani (Skipped)
	1571 - e2e.documents (Skipped)
	1572 - LoopbackPeer.OwnerOfEachKindOfClient (Skipped)
	1573 - TlsConstantTime.CbcCheckTouchesNoPlaintextUnderMemcheck (Skipped)
EOF
while IFS='|' read -r preset wanted; do
  got=$(bash "$root/scripts/test.sh" --unallowed-skips "$preset" "$scratch/ctest.log" | paste -sd ' ')
  if [ "$got" = "$wanted" ]; then
    passed=$((passed + 1))
  else
    fail "$preset: unallowed skips '$got', expected '$wanted'"
  fi
done <<'EOF'
default|MemoryDeathTest.SecondFreeStops e2e.documents LoopbackPeer.OwnerOfEachKindOfClient TlsConstantTime.CbcCheckTouchesNoPlaintextUnderMemcheck
asan|e2e.documents LoopbackPeer.OwnerOfEachKindOfClient
tsan|MemoryDeathTest.SecondFreeStops e2e.documents LoopbackPeer.OwnerOfEachKindOfClient
EOF

echo "$passed passed, $failures failed"
exit "$failures"
