#!/usr/bin/env bash
# Runs one oracle generator (tests/gen_*.py) into a vectors directory.
# scripts/test.sh gives each of its runs an id (KEELSON_VECTORS_RUN) and lets
# the later presets share the first one's vectors: a generator whose output
# was made earlier in the same run is not run again. Without an id it always
# runs.
#
#   tests/run_generator.sh <generator> <vectors directory>
set -euo pipefail
gen=$1
dir=$2
stamp="$dir/.$(basename "$gen" .py).run"
run=${KEELSON_VECTORS_RUN:-}
if [ -n "$run" ] && [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$run" ]; then
  echo "$(basename "$gen"): vectors made earlier in this run"
  exit 0
fi
rm -f "$stamp"
/usr/bin/python3 "$gen" "$dir"
if [ -n "$run" ]; then echo "$run" >"$stamp"; fi
