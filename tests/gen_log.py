"""Hex-dump lines for the log's Log_HexDump, formatted independently.

Writes log_hexdump.txt: for each random input, "data <hex>", the expected
lines, then "end".
"""
import os
import random
import sys


def dump(data):
    lines = []
    for offset in range(0, len(data), 16):
        chunk = data[offset:offset + 16]
        hex_part = chunk.hex(' ').upper()
        hex_part = (hex_part + ' ' if chunk else '') + '   ' * (16 - len(chunk))
        chars = ''.join(chr(b) if 32 <= b < 127 and b != 0x25 else '.' for b in chunk)
        chars += ' ' * (16 - len(chunk))
        lines.append('%08X: %s[ %s ]' % (offset, hex_part, chars))
    return lines


def main():
    out_dir = sys.argv[1]
    os.makedirs(out_dir, exist_ok=True)
    seed = 1101
    rng = random.Random(seed)
    with open(os.path.join(out_dir, 'log_hexdump.txt'), 'w') as f:
        for n in list(range(0, 101)):
            data = bytes(rng.randrange(256) for _ in range(n))
            f.write('data %s\n' % data.hex())
            for line in dump(data):
                f.write(line + '\n')
            f.write('end\n')


if __name__ == '__main__':
    main()
