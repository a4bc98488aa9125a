#!/usr/bin/python3
"""Oracle vectors for base/bitfield's text form, packed here bit by bit and
encoded by Python's base64 module.

Writes <dir>/bitfield.txt, one case a line, tab-separated:
  mask  <size in bits> <set bit indexes, comma-separated, or -> <base64 text>
The bytes are (size + 7) / 8, bit 0 in the most significant bit of byte 0,
unused trailing bits 0. The first line is "# seed N".
"""
import base64
import os
import random
import sys

SEED = 0xB17_0001


def pack(size, bits):
    data = bytearray((size + 7) // 8)
    for i in bits:
        data[i // 8] |= 0x80 >> (i % 8)
    return bytes(data)


def main(out_dir):
    rng = random.Random(SEED)
    sizes = list(range(0, 70)) + [127, 128, 129, 200, 1000, 4099, 65536, 100003]
    rows = []
    for size in sizes:
        for density in (0.0, 0.1, 0.5, 0.9, 1.0):
            bits = sorted(i for i in range(size) if rng.random() < density)
            text = base64.b64encode(pack(size, bits)).decode()
            rows.append(f"mask\t{size}\t{','.join(map(str, bits)) or '-'}\t{text}")
    os.makedirs(out_dir, exist_ok=True)
    with open(os.path.join(out_dir, "bitfield.txt"), "w") as f:
        f.write(f"# seed {SEED}\n" + "\n".join(rows) + "\n")


if __name__ == "__main__":
    main(sys.argv[1])
