#!/usr/bin/python3
"""Oracle vectors for core/net/url, answered by Python's urllib.parse.

Writes <dir>/url.txt, one case a line, tab-separated, byte strings in hex:
  enc  <bytes> <quote(bytes, safe='')>          Url_Encode with the safe set "-_.~"
  dec  <text> <unquote_to_bytes(text)>          Url_DecodeN
  dot  <path> <urljoin('http://h/', path)>      dot segments removed by Url_Fix
The first line is "# seed N".
"""
import os
import random
import sys
import urllib.parse

SEED = 0x0421_0001
SEGMENTS = ["a", "b.", ".", "..", "...", "x.y"]
# Bytes that make decoding interesting: escapes, half escapes, NUL, high bytes.
DECODE_PIECES = [b"%", b"%4", b"%41", b"%4g", b"%g4", b"%%", b"%zz", b"%00", b"%fF", b"%C3%A9",
                 b"+", b"\x00", b"\xff", b"a", b"/", b" "]


def random_bytes(rng):
    n = rng.choice([0, 1, 2, 3, rng.randint(0, 40), rng.randint(0, 300)])
    pick = rng.random()
    if pick < 0.4:
        return bytes(rng.randrange(256) for _ in range(n))
    if pick < 0.7:
        return bytes(rng.choice(b"az09-_.~%/ +?&=#@:\\\x00\x7f\x80\xc3\xa9\xff") for _ in range(n))
    return b"".join(rng.choice(DECODE_PIECES) for _ in range(n // 2))


def dot_path(rng):
    """Segments joined by '/', every dot segment followed by '/', no '..'
    above the root."""
    segments = []
    depth = 0
    for _ in range(rng.randint(1, 10)):
        choices = [s for s in SEGMENTS if s != ".." or depth > 0]
        s = rng.choice(choices)
        segments.append(s)
        depth += {"..": -1, ".": 0}.get(s, 1)
    while segments[-1] in (".", ".."):
        segments.append(rng.choice(["a", "b.", "...", "x.y"]))
    path = "/".join(segments)
    if rng.random() < 0.3:
        path += "/"
    if rng.random() < 0.3:
        path = "/" + path
    return path


def main():
    if len(sys.argv) != 2:
        sys.exit("usage: gen_url.py <vectors-dir>")
    rng = random.Random(SEED)
    rows = []
    try:
        for _ in range(3000):
            data = random_bytes(rng)
            rows.append(("enc", data.hex(), urllib.parse.quote(data, safe="").encode().hex()))
            rows.append(("dec", data.hex(), urllib.parse.unquote_to_bytes(data).hex()))
        for _ in range(10000):
            path = dot_path(rng)
            rows.append(("dot", path, urllib.parse.urljoin("http://h/", path)))
    except Exception:
        print(f"gen_url.py failed with seed {SEED:#x}", file=sys.stderr)
        raise
    os.makedirs(sys.argv[1], exist_ok=True)
    with open(os.path.join(sys.argv[1], "url.txt"), "w") as f:
        f.write(f"# seed {SEED:#x}\n")
        for row in rows:
            f.write("\t".join(row) + "\n")


if __name__ == "__main__":
    main()
