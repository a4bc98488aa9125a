#!/usr/bin/env bash
# Builds the fuzz preset (clang 14, libFuzzer with AddressSanitizer and
# UndefinedBehaviorSanitizer) and runs one of its targets for a while. CI runs
# each target once over its seeds only (tests/fuzz/run_seeds.sh).
#
# Usage: tests/fuzz/run.sh [target] [seconds]
#   target   the program of a tests/fuzz/<target>.cpp (default asn_fuzz); a
#            lone number is the seconds of asn_fuzz
#   seconds  how long to run (default 1800)
# Seeds: tests/fuzz/<target>.seeds/ when it exists; asn_fuzz and x509_fuzz also take every
# system certificate (as DER) and the DER samples of
# python3-cryptography-vectors. The corpus grows in build/fuzz/work/corpus-<target>.
# Installs clang-14 and libclang-rt-14-dev when they are missing (as root).
# Exit status 0 when the run ended without a crash, leak, time-out (10 s per
# input) or fatal stop; findings are written to build/fuzz/work/ as
# <target>-crash-*, <target>-leak-* or <target>-timeout-*.
set -euo pipefail
cd "$(dirname "$0")/../.."

target=asn_fuzz
if [ $# -gt 0 ] && ! [[ $1 =~ ^[0-9]+$ ]]; then
  target=$1
  shift
fi
seconds=${1:-1800}

missing=()
for p in clang-14 libclang-rt-14-dev; do
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
cmake --build --preset fuzz --target "$target" -j4

work=build/fuzz/work
corpus=$work/corpus-$target
mkdir -p "$corpus"
inputs=("$corpus")
[ -d "tests/fuzz/$target.seeds" ] && inputs+=("tests/fuzz/$target.seeds")

if [ "$target" = asn_fuzz ] || [ "$target" = x509_fuzz ]; then
  seeds=$work/seeds-asn
  mkdir -p "$seeds"
  for pem in /etc/ssl/certs/*.pem; do
    openssl x509 -in "$pem" -outform DER -out "$seeds/$(basename "$pem" .pem).der" 2>/dev/null || true
  done
  vectors=$(/usr/bin/python3 -c 'import cryptography_vectors, os; print(os.path.dirname(cryptography_vectors.__file__))')
  cp "$vectors"/x509/PKITS_data/certs/*.crt "$vectors"/x509/custom/*.der "$vectors"/pkcs12/*.p12 "$seeds"/
  inputs+=("$seeds")
fi

echo "== $target for ${seconds}s"
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  "build/fuzz/$target" -max_total_time="$seconds" -timeout=10 -print_final_stats=1 \
    -artifact_prefix="$work/$target-" "${inputs[@]}"
