#!/usr/bin/python3
"""Cipher vectors for core/security/aes_test.cpp, core/security/aesgcm_test.cpp, core/security/rc4_test.cpp
and core/security/des_test.cpp.

Usage: /usr/bin/python3 tests/gen_cipher.py <vectors-dir>

Known answers come from Debian's python3-cryptography-vectors (NIST CAVP AES
ECB, CBC and GCM files, the RC4 files of RFC 6229). Random cases are answered
by Python cryptography, pycryptodome (RC4 keys longer than Python
cryptography takes) and the openssl command. Files, one case per line, hex
fields, '-' for empty:
  aes_kat.txt          MODE KEY IV PLAIN CIPHER (MODE ECB or CBC; IV '-' for ECB)
  aes_openssl.txt      DIRECTION KEY IV PLAIN CIPHER: 1 MiB random buffers through
                       openssl enc -aes-256-cbc -nopad (DIRECTION enc or dec: which
                       side openssl computed)
  aes_cbc_partial.txt  KEY IV CIPHER PLAIN IV_AFTER: a ciphertext that is not whole
                       blocks; PLAIN is Python cryptography's decryption of the
                       zero-padded ciphertext cut to the ciphertext's length
  gcm_kat.txt          KEY IV PLAIN AAD CIPHER TAG RESULT (RESULT pass or fail)
  gcm_random.txt       KEY IV AAD PLAIN CIPHER TAG from Python cryptography's AESGCM
  rc4_kat.txt          KEY OFFSET KEYSTREAM (16 bytes at OFFSET)
  rc4_random.txt       SOURCE KEY PLAIN CIPHER
  des_ntlm.txt         SOURCE KEY CHALLENGE RESPONSE (21-byte key, 24-byte response)
"""
import glob
import os
import random
import subprocess
import sys

from cryptography.hazmat.primitives.ciphers import Cipher, algorithms, modes
from cryptography.hazmat.primitives.ciphers.aead import AESGCM
from Cryptodome.Cipher import ARC4 as DomeArc4

SEED = 20240611
OPENSSL_LEGACY = ["-provider", "legacy", "-provider", "default"]
AES_FAMILIES = ["GFSbox", "KeySbox", "VarKey", "VarTxt", "MMT"]
RC4_FILES = ["40", "56", "64", "80", "128", "192", "256"]
GCM_FILES = ["gcmEncryptExtIV128", "gcmEncryptExtIV192", "gcmEncryptExtIV256",
             "gcmDecrypt128", "gcmDecrypt192", "gcmDecrypt256"]


def hx(data):
    return data.hex() if data else "-"


def vectorsRoot():
    for base in sys.path:
        path = os.path.join(base, "cryptography_vectors")
        if os.path.isdir(os.path.join(path, "ciphers", "AES")):
            return path
    sys.exit("python3-cryptography-vectors is not installed (cryptography_vectors/ciphers missing)")


def readEntries(path):
    """The entries of a NIST-style file: dicts of upper-cased field names to
    text, with FAIL as a flag."""
    entries, entry = [], None
    with open(path) as f:
        for raw in f:
            line = raw.strip()
            if not line or line.startswith("#") or line.startswith("["):
                continue
            if line == "FAIL":
                entry["FAIL"] = True
                continue
            name, _, value = line.partition("=")
            name, value = name.strip().upper(), value.strip()
            if name == "COUNT":
                entry = {}
                entries.append(entry)
            entry[name] = value
    return entries


def write(out, name, lines):
    with open(os.path.join(out, name), "w") as f:
        f.write("\n".join(lines) + "\n")


def aesCipher(key, mode):
    return Cipher(algorithms.AES(key), mode)


def pythonCbc(key, iv, data, decrypt):
    c = aesCipher(key, modes.CBC(iv))
    op = c.decryptor() if decrypt else c.encryptor()
    return op.update(data) + op.finalize()


def writeAesKat(root, out):
    lines = []
    for mode in ["ECB", "CBC"]:
        for family in AES_FAMILIES:
            for bits in ["128", "192", "256"]:
                path = os.path.join(root, "ciphers", "AES", mode, mode + family + bits + ".rsp")
                for e in readEntries(path):
                    iv = e.get("IV", "") if mode == "CBC" else ""
                    lines.append("%s %s %s %s %s" % (mode, e["KEY"], iv or "-", e["PLAINTEXT"],
                                                     e["CIPHERTEXT"]))
    write(out, "aes_kat.txt", lines)


def opensslCbc(key, iv, data, decrypt):
    command = ["openssl", "enc", "-aes-256-cbc", "-nopad", "-K", key.hex(), "-iv", iv.hex()]
    if decrypt:
        command.append("-d")
    return subprocess.run(command, input=data, capture_output=True, check=True).stdout


def writeAesOpenssl(rng, out):
    lines = []
    for direction in ["enc", "dec"]:
        key, iv = rng.randbytes(32), rng.randbytes(16)
        data = rng.randbytes(1 << 20)
        result = opensslCbc(key, iv, data, direction == "dec")
        if result != pythonCbc(key, iv, data, direction == "dec"):
            sys.exit("openssl and Python cryptography disagree on AES-256-CBC (%s)" % direction)
        plain, cipher = (data, result) if direction == "enc" else (result, data)
        lines.append("%s %s %s %s %s" % (direction, key.hex(), iv.hex(), plain.hex(), cipher.hex()))
    write(out, "aes_openssl.txt", lines)


def writeAesCbcPartial(rng, out):
    lines = []
    lengths = [1, 5, 15, 17, 31, 33, 47, 100, 129, 255]
    for i, length in enumerate(lengths):
        key = rng.randbytes([16, 24, 32][i % 3])
        iv, cipher = rng.randbytes(16), rng.randbytes(length)
        padded = cipher + bytes(-length % 16)
        plain = pythonCbc(key, iv, padded, True)[:length]
        lines.append("%s %s %s %s %s" % (key.hex(), iv.hex(), cipher.hex(), plain.hex(),
                                         padded[-16:].hex()))
    write(out, "aes_cbc_partial.txt", lines)


def writeGcmKat(root, out):
    lines = []
    for name in GCM_FILES:
        for e in readEntries(os.path.join(root, "ciphers", "AES", "GCM", name + ".rsp")):
            fail = e.get("FAIL", False)
            plain = e.get("PT", "")
            lines.append("%s %s %s %s %s %s %s" % (
                e["KEY"], e["IV"], "-" if fail or not plain else plain, e["AAD"] or "-",
                e["CT"] or "-", e["TAG"], "fail" if fail else "pass"))
    write(out, "gcm_kat.txt", lines)


def writeGcmRandom(rng, out):
    lines = []
    lengths = [0, 1, 15, 16, 17, 63, 64, 127, 128, 129, 255, 256, 1000, 4096, 16384, 16397,
               65536, 70000]
    for i, length in enumerate(lengths * 2):
        key = rng.randbytes([16, 24, 32][i % 3])
        ivLength = [12, 8, 16, 13, 60, 128, rng.randint(8, 128)][i % 7]
        aadLength = [0, 13, 1, 16, 17, 64, rng.randint(0, 64)][(i // 7 + i) % 7]
        iv, aad, plain = rng.randbytes(ivLength), rng.randbytes(aadLength), rng.randbytes(length)
        sealed = AESGCM(key).encrypt(iv, plain, aad)
        lines.append("%s %s %s %s %s %s" % (key.hex(), iv.hex(), hx(aad), hx(plain),
                                            hx(sealed[:-16]), sealed[-16:].hex()))
    write(out, "gcm_random.txt", lines)


def writeRc4(root, rng, out):
    lines = []
    for bits in RC4_FILES:
        for e in readEntries(os.path.join(root, "ciphers", "ARC4", "rfc-6229-%s.txt" % bits)):
            stream = bytes(a ^ b for a, b in zip(bytes.fromhex(e["PLAINTEXT"]),
                                                 bytes.fromhex(e["CIPHERTEXT"])))
            lines.append("%s %s %s" % (e["KEY"], e["OFFSET"], stream.hex()))
    write(out, "rc4_kat.txt", lines)

    lines = []
    # pycryptodome takes the longest key (255 bytes; Python cryptography stops
    # at 32), Python cryptography the sizes it knows, openssl only 16 bytes:
    # it pads shorter keys. pycryptodome wants 5 bytes at least; the key
    # schedule reads key[i % length], so a shorter key repeated is the same key.
    for keyLength in [1, 2, 3, 5, 40, 128, 254, 255, 255]:
        key, plain = rng.randbytes(keyLength), rng.randbytes(rng.randint(1, 3000))
        cipher = DomeArc4.new(key * (5 // keyLength + 1)).encrypt(plain)
        lines.append("pycryptodome %s %s %s" % (key.hex(), plain.hex(), cipher.hex()))
    for keyLength in [5, 7, 8, 10, 16, 20, 24, 32]:
        key, plain = rng.randbytes(keyLength), rng.randbytes(rng.randint(1, 3000))
        enc = Cipher(algorithms.ARC4(key), None).encryptor()
        lines.append("cryptography %s %s %s" % (key.hex(), plain.hex(), enc.update(plain).hex()))
    for _ in range(3):
        key, plain = rng.randbytes(16), rng.randbytes(rng.randint(1, 3000))
        command = ["openssl", "enc", "-rc4"] + OPENSSL_LEGACY + ["-nosalt", "-K", key.hex()]
        cipher = subprocess.run(command, input=plain, capture_output=True, check=True).stdout
        lines.append("openssl %s %s %s" % (key.hex(), plain.hex(), cipher.hex()))
    write(out, "rc4_random.txt", lines)


def spreadDesKey(part):
    """Seven bytes over the high seven bits of eight, parity bits clear."""
    bits = int.from_bytes(part, "big")
    return bytes(((bits >> (49 - 7 * i)) & 0x7f) << 1 for i in range(8))


def desBlock(source, key8, block):
    if source == "openssl":
        command = ["openssl", "enc", "-des-ecb"] + OPENSSL_LEGACY + ["-nopad", "-K", key8.hex()]
        return subprocess.run(command, input=block, capture_output=True, check=True).stdout
    # Triple DES with one key three times is single DES.
    enc = Cipher(algorithms.TripleDES(key8 * 3), modes.ECB()).encryptor()
    return enc.update(block) + enc.finalize()


def writeDes(rng, out):
    lines = []
    for i in range(40):
        source = "openssl" if i % 8 == 0 else "cryptography"
        key, challenge = rng.randbytes(21), rng.randbytes(8)
        response = b"".join(desBlock(source, spreadDesKey(key[7 * p:7 * p + 7]), challenge)
                            for p in range(3))
        lines.append("%s %s %s %s" % (source, key.hex(), challenge.hex(), response.hex()))
    write(out, "des_ntlm.txt", lines)


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    out = sys.argv[1]
    os.makedirs(out, exist_ok=True)
    root = vectorsRoot()
    print("gen_cipher seed %d" % SEED)
    rng = random.Random(SEED)
    writeAesKat(root, out)
    writeAesOpenssl(rng, out)
    writeAesCbcPartial(rng, out)
    writeGcmKat(root, out)
    writeGcmRandom(rng, out)
    writeRc4(root, rng, out)
    writeDes(rng, out)


if __name__ == "__main__":
    main()
