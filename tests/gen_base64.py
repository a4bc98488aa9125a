#!/usr/bin/python3
"""Oracle vectors for core/base64, answered by Python's base64 module and
binascii.a2b_base64(..., strict_mode=True) (Python 3.11 or later).

Writes <dir>/base64.txt, one case a line, tab-separated, byte strings in hex:
  enc  <data> <standard text> <URL-safe text without padding>
  dec  <text> <1 when it decodes> <data>        standard alphabet, terminated text
  decurl <text> <1 when it decodes> <data>      URL-safe text, padding implied
The first line is "# seed N".
"""
import base64
import binascii
import os
import random
import sys

SEED = 0xB64_0001
ALPHABET = b"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/"
# Damage: padding in odd places, the other alphabet, blanks, line breaks, junk.
DAMAGE = b"==+/-_ \n\r\t.*A"


def strict_decode(text):
    try:
        got = binascii.a2b_base64(text, strict_mode=True)
    except binascii.Error:
        return False, b""
    # Strict mode still takes any run of '=' behind a complete group
    # ("YWJj=", "YWJj===="). The codec refuses those: padding only completes
    # the final group, so the text is whole groups with at most two '='.
    if len(text) % 4 != 0 or len(text) - len(text.rstrip(b"=")) > 2:
        return False, b""
    return True, got


def url_decode(text):
    # The URL form: '-' and '_' stand for '+' and '/', missing padding is
    # implied; then the same strict rules.
    std = text.replace(b"-", b"+").replace(b"_", b"/")
    return strict_decode(std + b"=" * (-len(std) % 4))


def damage(rng, text):
    roll = rng.random()
    pos = rng.randint(0, len(text))
    if roll < 0.4 and text:
        pos = min(pos, len(text) - 1)
        return text[:pos] + bytes([rng.choice(DAMAGE)]) + text[pos + 1:]
    if roll < 0.7:
        return text[:pos] + bytes([rng.choice(DAMAGE)]) + text[pos:]
    if roll < 0.85 and text:
        return text[:pos] + text[pos + 1:]
    return text + rng.choice([b"=", b"==", b"A", b"AA=", b"YQ=="])


def main():
    if len(sys.argv) != 2:
        sys.exit("usage: gen_base64.py <vectors-dir>")
    rng = random.Random(SEED)
    rows = []
    try:
        lengths = list(range(0, 12)) + [rng.randint(0, 1000) for _ in range(400)] + [999, 1000]
        for n in lengths:
            data = bytes(rng.randrange(256) for _ in range(n))
            std = base64.b64encode(data)
            url = base64.urlsafe_b64encode(data).rstrip(b"=")
            rows.append(("enc", data.hex(), std.hex(), url.hex()))
            assert strict_decode(std) == (True, data)
            assert url_decode(url) == (True, data)
            rows.append(("dec", std.hex(), 1, data.hex()))
            rows.append(("decurl", url.hex(), 1, data.hex()))
            for _ in range(3):
                text = damage(rng, std[:rng.choice([len(std), 12, 8, 5])])
                ok, got = strict_decode(text)
                rows.append(("dec", text.hex(), int(ok), got.hex()))
                text = damage(rng, url[:rng.choice([len(url), 11, 7, 6])])
                ok, got = url_decode(text)
                rows.append(("decurl", text.hex(), int(ok), got.hex()))
    except Exception:
        print(f"gen_base64.py failed with seed {SEED:#x}", file=sys.stderr)
        raise
    os.makedirs(sys.argv[1], exist_ok=True)
    with open(f"{sys.argv[1]}/base64.txt", "w") as f:
        f.write(f"# seed {SEED:#x}\n")
        for row in rows:
            f.write("\t".join(str(x) for x in row) + "\n")


if __name__ == "__main__":
    main()
