#!/usr/bin/python3
"""TLS PRF vectors for core/security/tls1_test.cpp.

Usage: /usr/bin/python3 tests/gen_tls_prf.py <vectors-dir>

The PRF of RFC 2246 (P_MD5 xor P_SHA1 over the two halves of the secret, an
odd length sharing the middle byte) and of RFC 5246 (P_SHA256, P_SHA384),
answered by Python's hmac, and a few rows by `openssl kdf TLS1-PRF`. File
tls_prf.txt, one case per line, tab-separated, hex fields ('-' for empty):
  SOURCE VERSION HASH LABEL SECRET SEED OUT
VERSION is 31 (TLS 1.0/1.1 PRF) or 33; HASH names the TLS 1.2 hash.
"""
import hashlib
import hmac
import os
import random
import subprocess
import sys

SEED = 20261207
LABELS = ["master secret", "key expansion", "client finished", "server finished"]


def p_hash(digest, secret, seed, length):
    out, a = b"", seed
    while len(out) < length:
        a = hmac.new(secret, a, digest).digest()
        out += hmac.new(secret, a + seed, digest).digest()
    return out[:length]


def prf(version, digest, secret, label, seed, length):
    full = label.encode() + seed
    if version == 0x33:
        return p_hash(digest, secret, full, length)
    half = (len(secret) + 1) // 2
    md5 = p_hash(hashlib.md5, secret[:half], full, length)
    sha = p_hash(hashlib.sha1, secret[len(secret) - half:], full, length)
    return bytes(x ^ y for x, y in zip(md5, sha))


def openssl_prf(digest_name, secret, label, seed, length):
    out = subprocess.run(
        ["openssl", "kdf", "-keylen", str(length), "-kdfopt", "digest:" + digest_name,
         "-kdfopt", "hexsecret:" + secret.hex(), "-kdfopt",
         "hexseed:" + (label.encode() + seed).hex(), "TLS1-PRF"],
        check=True, capture_output=True, text=True, timeout=60).stdout
    return bytes.fromhex(out.strip().replace(":", ""))


def main():
    if len(sys.argv) != 2:
        sys.exit("usage: gen_tls_prf.py <vectors-dir>")
    rng = random.Random(SEED)
    rnd = lambda n: bytes(rng.getrandbits(8) for _ in range(n))
    configs = [(0x31, "SHA256", hashlib.sha256), (0x33, "SHA256", hashlib.sha256),
               (0x33, "SHA384", hashlib.sha384)]
    rows = []
    for version, name, digest in configs:
        for secret_length in (1, 32, 48, 66):
            for label in LABELS:
                secret, seed = rnd(secret_length), rnd(64 if "finished" not in label else 36)
                lengths = range(1, 201) if (secret_length == 48 and label == "key expansion") \
                    else (1, 12, 47, 48, 104, 200)
                for length in lengths:
                    out = prf(version, digest, secret, label, seed, length)
                    rows.append(["python", "%x" % version, name, label, secret.hex(), seed.hex(),
                                 out.hex()])
    for version, name, openssl_name in [(0x31, "SHA256", "MD5-SHA1"), (0x33, "SHA256", "SHA256"),
                                        (0x33, "SHA384", "SHA384")]:
        for secret_length, length in ((48, 104), (66, 136)):
            secret, seed = rnd(secret_length), rnd(64)
            out = openssl_prf(openssl_name, secret, "key expansion", seed, length)
            rows.append(["openssl", "%x" % version, name, "key expansion", secret.hex(),
                         seed.hex(), out.hex()])
    with open(os.path.join(sys.argv[1], "tls_prf.txt"), "w") as f:
        for row in rows:
            f.write("\t".join(row) + "\n")


if __name__ == "__main__":
    main()
