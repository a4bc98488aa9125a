#!/usr/bin/env bash
# Builds the fuzz preset (clang 14, libFuzzer with AddressSanitizer and
# UndefinedBehaviorSanitizer) and runs the ASN.1 / X.500 target, seeded with
# every system certificate (as DER) and the DER samples of
# python3-cryptography-vectors. Not part of CI.
#
# Usage: tests/fuzz/run.sh [seconds]      (default 1800)
# Exit status 0 when the run ended without a crash, leak or fatal stop;
# findings are written to build/fuzz/work/ as crash-*, leak-* or timeout-*.
set -euo pipefail
cd "$(dirname "$0")/../.."
seconds=${1:-1800}

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j4

work=build/fuzz/work
seeds=$work/seeds-asn
corpus=$work/corpus-asn
mkdir -p "$seeds" "$corpus"
for pem in /etc/ssl/certs/*.pem; do
  openssl x509 -in "$pem" -outform DER -out "$seeds/$(basename "$pem" .pem).der" 2>/dev/null || true
done
vectors=$(/usr/bin/python3 -c 'import cryptography_vectors, os; print(os.path.dirname(cryptography_vectors.__file__))')
cp "$vectors"/x509/PKITS_data/certs/*.crt "$vectors"/x509/custom/*.der "$vectors"/pkcs12/*.p12 "$seeds"/

echo "== asn_fuzz for ${seconds}s ($(ls "$seeds" | wc -l) seeds)"
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  build/fuzz/asn_fuzz -max_total_time="$seconds" -timeout=10 -print_final_stats=1 \
    -artifact_prefix="$work/" "$corpus" "$seeds"
