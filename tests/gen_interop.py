#!/usr/bin/python3
"""Oracle vectors for core/bridge/interop: the method hash is zlib's CRC-32
of the method name (at most its first 119 bytes) as a signed 32-bit number.

Usage: gen_interop.py <vectors-dir>
Writes interop_hashes.txt, one name a line, tab-separated:
  <name as hex> <signed crc32 of its first 119 bytes> <signed crc32 of it all>
and interop_script.txt (this script's path, for --json).

Run with --json FILE... to print the JSON document in each FILE as Python's
json reads it, written back compactly with sorted keys, one line per file
("(not JSON)" for one that is not); exit status 1 when any is not JSON.
"""
import json
import os
import random
import sys
import zlib

SEED = 0x1E7E_0B52
NAME_BYTES = 119  # a method name is cut to this many bytes before hashing


def signed(crc):
    return crc - (1 << 32) if crc >= 1 << 31 else crc


def main():
    out_dir = sys.argv[1]
    os.makedirs(out_dir, exist_ok=True)
    rng = random.Random(SEED)
    print("gen_interop seed 0x%X" % SEED)
    letters = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789"
    names = [b"", b"fire", b"Fire", b"addInstanceReference", "n\u00e9otification".encode(),
             "\u901a\u77e5\U0001F514".encode()]
    for length in (119, 120, 200):
        names.append("".join(rng.choice(letters) for _ in range(length)).encode())
    with open(os.path.join(out_dir, "interop_hashes.txt"), "w") as f:
        for name in names:
            f.write("%s\t%d\t%d\n" % (name.hex() or "-", signed(zlib.crc32(name[:NAME_BYTES])),
                                      signed(zlib.crc32(name))))
    with open(os.path.join(out_dir, "interop_script.txt"), "w") as f:
        f.write(os.path.abspath(__file__) + "\n")


def show(paths):
    status = 0
    for path in paths:
        try:
            with open(path, "rb") as f:
                document = json.loads(f.read().decode("utf-8"))
        except ValueError as e:
            print("not JSON: %s: %s" % (path, e), file=sys.stderr)
            print("(not JSON)")
            status = 1
            continue
        print(json.dumps(document, sort_keys=True, separators=(",", ":")))
    return status


if __name__ == "__main__":
    if len(sys.argv) >= 3 and sys.argv[1] == "--json":
        sys.exit(show(sys.argv[2:]))
    main()
