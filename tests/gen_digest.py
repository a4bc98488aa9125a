#!/usr/bin/python3
"""Digest, HMAC and PBKDF2 vectors for core/security/hash_algorithms_test.cpp,
core/security/hash_test.cpp and core/security/hmac_test.cpp.

Usage: /usr/bin/python3 tests/gen_digest.py <vectors-dir>

Known answers come from Debian's python3-cryptography-vectors (NIST CAVP
byte-oriented SHA files, the MD5, HMAC and PBKDF2 RFC files) and from the
MD4 and MD2 appendix suites below, each checked here against pycryptodome.
Random cases are answered by hashlib, hmac, zlib, pycryptodome and the
openssl command. Files, one case per line, hex fields, '-' for empty:
  digest_kat.txt      ALG MSG DIGEST
  digest_monte.txt    ALG SEED MD_0 ... MD_99 (the CAVP Monte chain)
  digest_random.txt   SEED-INDEX MSG then one digest per ALGS entry, then
                      the CRC-32 of the upper-cased message
  digest_big.txt      ALG DIGEST of the 600 MiB stream (see bigStream)
  hmac_kat.txt        ALG KEY MSG MAC
  hmac_random.txt     ALG KEY MSG MAC
  pbkdf2.txt          SOURCE PASSWORD SALT ITERATIONS LENGTH KEY
"""
import hashlib
import hmac
import os
import random
import subprocess
import sys
import zlib

from Cryptodome.Hash import MD2, MD4

SEED = 20240519
ALGS = ["MD2", "MD4", "MD5", "SHA1", "SHA224", "SHA256", "SHA384", "SHA512", "CRC"]
BIG_CHUNK = 1 << 20
BIG_CHUNKS = 600
OPENSSL_MD4 = ["openssl", "dgst", "-md4", "-provider", "legacy", "-provider", "default", "-r"]

MD4_SUITE = [
    (b"", "31d6cfe0d16ae931b73c59d7e0c089c0"),
    (b"a", "bde52cb31de33e46245e05fbdbd6fb24"),
    (b"abc", "a448017aaf21d8525fc10ae87aa6729d"),
    (b"message digest", "d9130a8164549fe818874806e1c7014b"),
    (b"abcdefghijklmnopqrstuvwxyz", "d79e1c308aa5bbcdeea8ed63df412da9"),
    (b"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
     "043f8582f241db351ce627e153e7f0e4"),
    (b"1234567890" * 8, "e33b4ddc9c38f2199c3e7b164fcc0536"),
]
MD2_SUITE = [
    (b"", "8350e5a3e24c153df2275c9f80692773"),
    (b"a", "32ec01ec4a6dac72c0ab96fb34c0b5d1"),
    (b"abc", "da853b0d3f88d99b30283a69e6ded6bb"),
    (b"message digest", "ab4f496bfb2a530b219ff33031fe06b0"),
    (b"abcdefghijklmnopqrstuvwxyz", "4e8ddff3650292ab5a4108c3aa47940b"),
    (b"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
     "da33def2a42df13975352846c30338cd"),
    (b"1234567890" * 8, "d5976f79d83d3a0dc9806c3c66f3efd8"),
]


def hx(data):
    return data.hex() if data else "-"


def vectorsRoot():
    for base in sys.path:
        path = os.path.join(base, "cryptography_vectors")
        if os.path.isdir(os.path.join(path, "hashes")):
            return path
    sys.exit("python3-cryptography-vectors is not installed (cryptography_vectors/hashes missing)")


def digest(alg, data):
    if alg == "MD2":
        return MD2.new(data).hexdigest()
    if alg == "MD4":
        return MD4.new(data).hexdigest()
    if alg == "CRC":
        return "%08x" % zlib.crc32(data)
    return hashlib.new(alg.lower(), data).hexdigest()


def records(path):
    """Yields dicts of KEY = VALUE groups separated by blank lines."""
    group = {}
    with open(path) as f:
        for line in f:
            line = line.strip()
            if line.startswith("#") or line.startswith("["):
                continue
            if not line:
                if group:
                    yield group
                group = {}
                continue
            key, _, value = line.partition("=")
            group[key.strip()] = value.strip()
    if group:
        yield group


def writeKat(root, out):
    lines = []
    for alg, folder in [("SHA1", "SHA1"), ("SHA224", "SHA2"), ("SHA256", "SHA2"),
                        ("SHA384", "SHA2"), ("SHA512", "SHA2")]:
        for kind in ["ShortMsg", "LongMsg"]:
            for r in records(os.path.join(root, "hashes", folder, alg + kind + ".rsp")):
                if "Len" not in r:
                    continue
                msg = bytes.fromhex(r["Msg"])[: int(r["Len"]) // 8]
                lines.append("%s %s %s" % (alg, hx(msg), r["MD"]))
    for r in records(os.path.join(root, "hashes", "MD5", "rfc-1321.txt")):
        msg = bytes.fromhex(r["Msg"])[: int(r["Len"]) // 8]
        lines.append("MD5 %s %s" % (hx(msg), r["MD"]))
    for alg, suite, impl in [("MD4", MD4_SUITE, MD4), ("MD2", MD2_SUITE, MD2)]:
        for msg, md in suite:
            if impl.new(msg).hexdigest() != md:
                sys.exit("%s appendix vector disagrees with pycryptodome: %r" % (alg, msg))
            lines.append("%s %s %s" % (alg, hx(msg), md))
    with open(os.path.join(out, "digest_kat.txt"), "w") as f:
        f.write("\n".join(lines) + "\n")


def writeMonte(root, out):
    lines = []
    for alg, folder in [("SHA1", "SHA1"), ("SHA224", "SHA2"), ("SHA256", "SHA2"),
                        ("SHA384", "SHA2"), ("SHA512", "SHA2")]:
        seed, mds = None, []
        for r in records(os.path.join(root, "hashes", folder, alg + "Monte.rsp")):
            if "Seed" in r:
                seed = r["Seed"]
            elif "MD" in r:
                mds.append(r["MD"])
        lines.append(" ".join([alg, seed] + mds))
    with open(os.path.join(out, "digest_monte.txt"), "w") as f:
        f.write("\n".join(lines) + "\n")


def writeRandom(rng, out):
    # Every length around the block and padding boundaries, then random ones.
    lengths = list(range(0, 300)) + [rng.randint(0, 10000) for _ in range(200)]
    lines = []
    for i, n in enumerate(lengths):
        msg = rng.randbytes(n)
        fields = [str(i), hx(msg)] + [digest(a, msg) for a in ALGS]
        fields.append("%08x" % zlib.crc32(msg.upper()))
        lines.append(" ".join(fields))
    # openssl's MD4 on a few of the same messages: a second, independent peer.
    for i in range(0, len(lengths), 25):
        msg = bytes.fromhex(lines[i].split()[1]) if lines[i].split()[1] != "-" else b""
        got = subprocess.run(OPENSSL_MD4, input=msg, capture_output=True, check=True)
        md4 = got.stdout.split()[0].decode()
        if md4 != digest("MD4", msg):
            sys.exit("openssl and pycryptodome disagree on MD4 of message %d" % i)
    with open(os.path.join(out, "digest_random.txt"), "w") as f:
        f.write("\n".join(lines) + "\n")


def bigChunk(base, k):
    """Chunk k of the 600 MiB stream: the base pattern with k in its first 4
    bytes (little-endian). The tests build the same bytes."""
    return k.to_bytes(4, "little") + base[4:]


def bigBase():
    return bytes(((i * 31) ^ (i >> 9) ^ (i >> 17)) & 0xFF for i in range(BIG_CHUNK))


def writeBig(out):
    base = bigBase()
    peers = {
        "MD5": ["md5sum"],
        "MD4": OPENSSL_MD4,
    }
    lines = []
    for alg, command in peers.items():
        proc = subprocess.Popen(command, stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        for k in range(BIG_CHUNKS):
            proc.stdin.write(bigChunk(base, k))
        proc.stdin.close()
        answer = proc.stdout.read().split()[0].decode()
        if proc.wait() != 0:
            sys.exit("%s failed" % " ".join(command))
        lines.append("%s %s" % (alg, answer))
    with open(os.path.join(out, "digest_big.txt"), "w") as f:
        f.write("\n".join(lines) + "\n")


def writeHmacKat(root, out):
    lines = []
    for alg, name in [("MD5", "rfc-2202-md5"), ("SHA1", "rfc-2202-sha1"),
                      ("SHA224", "rfc-4231-sha224"), ("SHA256", "rfc-4231-sha256"),
                      ("SHA384", "rfc-4231-sha384"), ("SHA512", "rfc-4231-sha512")]:
        for r in records(os.path.join(root, "HMAC", name + ".txt")):
            if "Key" in r and "MD" in r:
                lines.append("%s %s %s %s" % (alg, r["Key"], hx(bytes.fromhex(r["Msg"])), r["MD"]))
    with open(os.path.join(out, "hmac_kat.txt"), "w") as f:
        f.write("\n".join(lines) + "\n")


def writeHmacRandom(rng, out):
    lines = []
    for alg in ["MD5", "SHA1", "SHA224", "SHA256", "SHA384", "SHA512"]:
        for keyLength in range(0, 301):
            key = rng.randbytes(keyLength)
            msg = rng.randbytes(rng.randint(0, 300))
            mac = hmac.new(key, msg, alg.lower()).hexdigest()
            lines.append("%s %s %s %s" % (alg, hx(key), hx(msg), mac))
    # MD2 and MD4 (block 16 and 64) from pycryptodome's HMAC.
    from Cryptodome.Hash import HMAC
    for alg, impl in [("MD2", MD2), ("MD4", MD4)]:
        for keyLength in [0, 1, 15, 16, 17, 20, 63, 64, 65, 100, 300]:
            key = rng.randbytes(keyLength)
            msg = rng.randbytes(rng.randint(0, 200))
            mac = HMAC.new(key, msg, digestmod=impl).hexdigest()
            lines.append("%s %s %s %s" % (alg, hx(key), hx(msg), mac))
    with open(os.path.join(out, "hmac_random.txt"), "w") as f:
        f.write("\n".join(lines) + "\n")


def opensslPbkdf2(password, salt, iterations, length):
    command = ["openssl", "kdf", "-keylen", str(length), "-kdfopt", "digest:SHA1",
               "-kdfopt", "hexpass:" + password.hex(), "-kdfopt", "hexsalt:" + salt.hex(),
               "-kdfopt", "iter:%d" % iterations, "PBKDF2"]
    got = subprocess.run(command, capture_output=True, check=True, text=True)
    return got.stdout.strip().replace(":", "").lower()


def writePbkdf2(root, rng, out):
    lines = []
    for r in records(os.path.join(root, "KDF", "rfc-6070-PBKDF2-SHA1.txt")):
        password = r["PASSWORD"].replace("\\0", "\0").encode()
        salt = r["SALT"].replace("\\0", "\0").encode()
        lines.append("rfc %s %s %s %s %s" % (hx(password), hx(salt), r["ITERATIONS"],
                                             r["LENGTH"], r["DERIVED_KEY"]))
    for i in range(60):
        password = rng.randbytes(rng.choice([0, 1, 8, 20, 63, 64, 65, 100, rng.randint(0, 200)]))
        salt = rng.randbytes(rng.randint(0, 64))
        iterations = rng.choice([1, 2, 3, rng.randint(1, 3000)])
        length = rng.choice([1, 19, 20, 21, 32, 40, 41, 64, rng.randint(1, 300)])
        key = hashlib.pbkdf2_hmac("sha1", password, salt, iterations, length).hex()
        source = "hashlib"
        if i % 4 == 0 and password:  # the openssl command cannot take an empty password
            if opensslPbkdf2(password, salt, iterations, length) != key:
                sys.exit("openssl kdf and hashlib disagree on PBKDF2 case %d" % i)
            source = "openssl"
        lines.append("%s %s %s %d %d %s" % (source, hx(password), hx(salt), iterations, length, key))
    with open(os.path.join(out, "pbkdf2.txt"), "w") as f:
        f.write("\n".join(lines) + "\n")


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    out = sys.argv[1]
    os.makedirs(out, exist_ok=True)
    root = vectorsRoot()
    print("gen_digest seed %d" % SEED)
    rng = random.Random(SEED)
    writeKat(root, out)
    writeMonte(root, out)
    writeRandom(rng, out)
    writeHmacKat(root, out)
    writeHmacRandom(rng, out)
    writePbkdf2(root, rng, out)
    writeBig(out)


if __name__ == "__main__":
    main()
