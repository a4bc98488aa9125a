#!/usr/bin/python3
"""Hash vectors for the hash table: FNV-1a with the final mix over random
texts (plain and lower-cased), and the 32-bit integer mix over random values.

Usage: gen_hashtable.py <vectors-dir>
Writes hashtable_hashes.txt, one vector per line:
  s <text as hex, "-" when empty> <HashString> <HashStringNoCase>
  i <value> <HashInteger>
(hashes in decimal). The seed is fixed and printed, so a failure can be
reproduced.
"""
import os
import random
import sys

SEED = 0x5EED1111
M = 0xFFFFFFFF


def fnv1a(data):
    h = 0x811C9DC5
    for b in data:
        h ^= b
        h = (h * 16777619) & M
    return h


def mix(h):
    h = (h * 8193) & M
    h ^= h >> 7
    h = (h * 9) & M
    h ^= h >> 17
    h = (h * 33) & M
    return h


def lower_ascii(data):
    return bytes(b + 32 if 0x41 <= b <= 0x5A else b for b in data)


def integer_mix(k):
    k = (k + (~(k << 15) & M)) & M
    k ^= k >> 10
    k = (k * 9) & M
    k ^= k >> 6
    k = (k + (~(k << 11) & M)) & M
    k ^= k >> 16
    return k


def main():
    out_dir = sys.argv[1]
    os.makedirs(out_dir, exist_ok=True)
    rng = random.Random(SEED)
    print("gen_hashtable seed 0x%X" % SEED)
    lines = []
    texts = [b"", b"a", b"foobar", b"FooBar", bytes([0xC3, 0xA9, 0x41])]
    for _ in range(2000):
        length = rng.choice([1, 2, 7, 16, 31, 40, 100, 319, rng.randrange(1, 400)])
        texts.append(bytes(rng.randrange(1, 256) for _ in range(length)))
    for text in texts:
        lines.append("s %s %d %d" % (text.hex() or "-", mix(fnv1a(text)), mix(fnv1a(lower_ascii(text)))))
    values = [0, 1, 2, 0x7FFFFFFF, 0x80000000, M]
    values += [rng.randrange(0, 1 << 32) for _ in range(2000)]
    for value in values:
        lines.append("i %d %d" % (value, integer_mix(value)))
    with open(os.path.join(out_dir, "hashtable_hashes.txt"), "w") as f:
        f.write("\n".join(lines) + "\n")


if __name__ == "__main__":
    main()
