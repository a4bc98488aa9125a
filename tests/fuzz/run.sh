#!/usr/bin/env bash
# Builds the fuzz preset (clang 14, libFuzzer with AddressSanitizer and
# UndefinedBehaviorSanitizer) and runs one target. Not part of CI.
#   asn   the ASN.1 / X.500 readers, seeded with every system certificate (as
#         DER) and the DER samples of python3-cryptography-vectors
#   path  the path normaliser and file URLs, seeded with typical paths and
#         URLs (the first byte of an input picks the normaliser's flags)
#
# Usage: tests/fuzz/run.sh [seconds] [target]      (defaults 1800, asn)
# Exit status 0 when the run ended without a crash, leak or fatal stop;
# findings are written to build/fuzz/work/ as crash-*, leak-* or timeout-*.
set -euo pipefail
cd "$(dirname "$0")/../.."
seconds=${1:-1800}
target=${2:-asn}

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j4

work=build/fuzz/work
seeds=$work/seeds-$target
corpus=$work/corpus-$target
mkdir -p "$seeds" "$corpus"
case "$target" in
  asn)
    for pem in /etc/ssl/certs/*.pem; do
      openssl x509 -in "$pem" -outform DER -out "$seeds/$(basename "$pem" .pem).der" 2>/dev/null || true
    done
    vectors=$(/usr/bin/python3 -c 'import cryptography_vectors, os; print(os.path.dirname(cryptography_vectors.__file__))')
    cp "$vectors"/x509/PKITS_data/certs/*.crt "$vectors"/x509/custom/*.der "$vectors"/pkcs12/*.p12 "$seeds"/
    ;;
  path)
    i=0
    for seed in '\x01/usr/lib/../share/./doc//x/' '\x02D:\\a\\..\\..\\b' '\x05../../a/./b/..' \
                '\x00\\\\server\\share\\x\\..\\y' '\x03\\\\.\\pipe\\name' '\x01~/.config/a b' \
                '\x00file:///tmp/a%20b/%E6%97%A5' '\x00file://localhost/D:/x%23y' '\x04file:////server/s'; do
      printf '%b' "$seed" > "$seeds/seed$i"
      i=$((i + 1))
    done
    ;;
  *)
    echo "unknown target: $target" >&2
    exit 2
    ;;
esac

echo "== ${target}_fuzz for ${seconds}s ($(ls "$seeds" | wc -l) seeds)"
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  build/fuzz/${target}_fuzz -max_total_time="$seconds" -timeout=10 -print_final_stats=1 \
    -artifact_prefix="$work/" "$corpus" "$seeds"
