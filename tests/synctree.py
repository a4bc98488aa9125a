#!/usr/bin/python3
"""A content version for whole-tree synchronisation runs: many files of
log-uniform sizes, served as installed files and as plain pieces.

  synctree.py <dir> --url-base URL [--files N] [--total BYTES]
              [--min BYTES] [--max BYTES] [--piece-size BYTES] [--id ID]
              [--seed N] [--depth N]

Writes <dir>/:
  files/<name>             the files (names "dNN/fNNNN.bin"; with --depth N,
                           N directories deep: "dNN/e1/.../fNNNN.bin")
  pieces/<sha1>.varnopiece each piece as a plain piece storage keeps it (no
                           header, no encoding), named by its lower-case digest
  meta.json                the metafile (SHA-1 pieces, no padding)
  catalog.json             {"id", "metafile": <url-base>/meta.json, "config": {}}
  expected.json            what tests/check_tree.py compares against
  pieces.txt               "<request path below dir> <bytes>" per piece
  files.txt                "<request path below dir> <bytes>" per file
  sha1sums.txt             `sha1sum -c` input for an installed copy (run there)

Sizes are drawn log-uniformly between --min and --max, then scaled toward
--total and clamped to the bounds, the remainder given to files below --max,
so the sum is --total exactly when the bounds allow it. File data are random
bytes from the seed.
"""
import argparse
import base64
import hashlib
import json
import math
import os
import random


def sizes_for(rng, count, total, low, high):
    raw = [math.exp(rng.uniform(math.log(low), math.log(high))) for _ in range(count)]
    sizes = [int(x) for x in raw]
    for _ in range(30):
        s = sum(sizes)
        if s == total:
            break
        factor = total / s
        sizes = [min(high, max(low, int(x * factor))) for x in sizes]
    rest = total - sum(sizes)
    for i in sorted(range(count), key=lambda i: sizes[i]):
        if rest == 0:
            break
        room = (high - sizes[i]) if rest > 0 else (low - sizes[i])
        step = max(rest, room) if rest < 0 else min(rest, room)
        sizes[i] += step
        rest -= step
    return sizes


def main():
    p = argparse.ArgumentParser()
    p.add_argument("dir")
    p.add_argument("--url-base", required=True)
    p.add_argument("--files", type=int, default=1000)
    p.add_argument("--total", type=int, default=1 << 30)
    p.add_argument("--min", type=int, default=1024)
    p.add_argument("--max", type=int, default=64 << 20)
    p.add_argument("--piece-size", type=int, default=1 << 20)
    p.add_argument("--id", default="v1")
    p.add_argument("--seed", type=int, default=0x51B)
    p.add_argument("--depth", type=int, default=1)
    a = p.parse_args()
    rng = random.Random(a.seed)
    sizes = sizes_for(rng, a.files, a.total, a.min, a.max)
    root = a.dir
    for sub in ("files", "pieces"):
        os.makedirs(os.path.join(root, sub), exist_ok=True)
    piece = bytearray()
    digests, piece_lines, file_lines, sums = [], [], [], []
    entries, expected_files = [], []

    def flush_piece():
        d = hashlib.sha1(piece).digest()
        name = d.hex() + ".varnopiece"
        with open(os.path.join(root, "pieces", name), "wb") as out:
            out.write(piece)
        digests.append(d)
        piece_lines.append("pieces/%s %d" % (name, len(piece)))
        piece.clear()

    offset = 0
    for k, size in enumerate(sizes):
        name = "d%02d/%sf%04d.bin" % (k % 16, "".join("e%d/" % j for j in range(1, a.depth)), k)
        path = os.path.join(root, "files", name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        sha1 = hashlib.sha1()
        with open(path, "wb") as out:
            left = size
            while left:
                chunk = rng.randbytes(min(left, 1 << 20))
                left -= len(chunk)
                out.write(chunk)
                sha1.update(chunk)
                at = 0
                while at < len(chunk):
                    take = min(a.piece_size - len(piece), len(chunk) - at)
                    piece += chunk[at:at + take]
                    at += take
                    if len(piece) == a.piece_size:
                        flush_piece()
        entries.append({"name": name, "size": size, "offset": offset})
        expected_files.append([name, offset, 0, size, sha1.hexdigest()])
        file_lines.append("files/%s %d" % (name, size))
        sums.append("%s  %s" % (sha1.hexdigest(), name))
        offset += size
    if piece:
        flush_piece()
    meta = {"id": a.id, "algorithm": "SHA1", "files": entries,
            "pieces": {"algorithm": "SHA1", "size": a.piece_size, "hashPadding": True,
                       "digests": [base64.b64encode(d).decode() for d in digests]}}

    def write(name, doc):
        with open(os.path.join(root, name), "w", encoding="utf-8") as out:
            json.dump(doc, out, separators=(",", ":"))

    write("meta.json", meta)
    write("catalog.json", {"id": a.id, "metafile": a.url_base + "/meta.json", "config": {}})
    write("expected.json", {"id": a.id, "files": expected_files,
                            "modes": [[0o644, None] for _ in entries]})
    with open(os.path.join(root, "pieces.txt"), "w") as out:
        out.write("\n".join(piece_lines) + "\n")
    with open(os.path.join(root, "files.txt"), "w") as out:
        out.write("\n".join(file_lines) + "\n")
    with open(os.path.join(root, "sha1sums.txt"), "w") as out:
        out.write("\n".join(sums) + "\n")
    print("synctree: %d files, %d bytes, %d pieces" % (len(sizes), offset, len(digests)))


if __name__ == "__main__":
    main()
