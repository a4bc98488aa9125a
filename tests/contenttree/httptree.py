"""Trees for the HTTP storage drivers (contenttree/http/), from one seed.

  names/meta.json, names/files/...  a version whose names hold a blank,
        (the first, "plain.txt", compressible and whole in piece 0)
        '#', '?', '%', ';', "a./b", "x../y", non-ASCII text and '\\'
        separators; names/paths.txt gives per file (metafile order) the
        request path under names/files/: urllib.parse.quote of each
        component (nothing kept but letters, digits, "-_.~"), a '.' ending a
        component written %2E
  expected/h1.json, expected/h2.json   what an installation of each holds
        (as contenttree/expected/<v>.json)
  meta/h1.json, meta/h2.json       an old and a new version (pad list,
        piece size 512, at least 64 pieces; h2 changes some bytes of h1)
  files/<v>/...                    their files
  flat/<v>/<index %08x>.varnopiece and .varnodata: padded and plain pieces
  cache/h1/<digest>.varnopiece     h1's padded pieces as a plain
        ("flags": 1) file-piece storage in the default layout
  remote/h2/<digest>.varnopiece    h2's pieces with the piece header, piece
        i encoded with flags ROTATION[i % 8] (gzip, AES-256 with PASSWORD)
  flatstore/<digest>.varnopiece    the same pieces, flat
  remote/h1/<digest>.varnodelta    each h2 piece as a VCDIFF delta (header
        flags 5, some also gzip) against the h1 pieces its files cover
  xdelta/h1/<digest>.varnodelta    each changed h2 piece as xdelta3's delta
        against the same h1 pieces, through vcdiff/reframe.py (header flags
        5; only when xdelta3 is installed)
  badsource/h1/<digest>.varnodelta piece 0's delta naming a source range
        that runs past h1's pieces
  zerosource/h1/<digest>.varnodelta piece 0 as a delta of no source
  cachebad/h1/...                  the h1 pieces piece 0's delta reads, the
        first with one byte changed
  over/<digest>.varnopiece         piece 0's file one byte longer than the
        request's capacity (padded piece + 8,192)
  pieces.txt                       "<index> <padded> <plain> <flags>" of h2
  fault/meta.json                  files "w700" and "f3000" (byte j of each is
        j % 251, as the fault server's /m/ answers), piece size 1024
"""
import os
import shutil
import subprocess
import tempfile
import urllib.parse

from . import Version, _digests, expected_document, metafile_document, write_files, write_json
from .pieces import MAGIC, aes_layout, changed, deflate, pieces_of, source_range, version, write

PASSWORD = b"open-sesame"
ROTATION = (1, 0, 3, 9, 8, 11, 2, 10)
SLACK = 8192
NAMES = ["plain.txt", "a b.txt", "hash#tag.bin", "q?x=1", "per%cent", "semi;colon", "a./b", "x../y",
         "naïve café/日本語.dat", "dir\\sub\\file.bin", "end.", "~tilde-_.ok", "http:/x"]


def quote_name(name):
    parts = name.replace("\\", "/").split("/")
    out = []
    for p in parts:
        q = urllib.parse.quote(p, safe="")
        if q.endswith("."):
            q = q[:-1] + "%2E"
        out.append(q)
    return "/".join(out)


def names_version(rng):
    v = Version("n1")
    v.piece_size, v.algorithm, v.top_algorithm, v.hash_padding = 4096, "SHA1", "SHA1", True
    v.full = True
    at = 0
    for name in NAMES:
        size = rng.randrange(1, 3000)
        # Text compresses: served whole with gzip, it arrives smaller.
        data = (b"text %d " % size * size)[:size] if name.endswith(".txt") else rng.randbytes(size)
        v.files.append({"spelling": name, "name": name.replace("\\", "/"), "size": size,
                        "offset": at, "pad": 0, "link": None, "mtime": None, "attr": None,
                        "data": data, "sha1": None})
        at += size
    v.digests = _digests(rng, v)
    return v


def header(flags, srange=None):
    head = MAGIC + flags.to_bytes(2, "big")
    if srange is not None:
        head += srange[0].to_bytes(4, "big") + bytes([srange[1]])
    return head


def encode_piece(rng, padded, plain, flags):
    data = padded if flags & 1 else plain
    if flags & 2:
        data = deflate(data, ("zlib", "gzip")[rng.randrange(2)])
    if flags & 8:
        data, _ = aes_layout(rng, data, PASSWORD, iterations=rng.randrange(1, 50))
    return header(flags) + data


def fault_version():
    v = Version("fault")
    v.piece_size, v.algorithm, v.top_algorithm, v.hash_padding = 1024, "SHA1", "SHA1", True
    v.full = True
    at = 0
    for name, size in (("w700", 700), ("f3000", 3000)):
        v.files.append({"spelling": name, "name": name, "size": size, "offset": at, "pad": 0,
                        "link": None, "mtime": None, "attr": None,
                        "data": bytes(j % 251 for j in range(size)), "sha1": None})
        at += size
    v.digests = _digests(None, v)
    return v


def write_tree(root, rng):
    from vcdiff import vcdiff  # tests/ is on the path
    write_json(os.path.join(root, "fault", "meta.json"), metafile_document(fault_version()))
    names = names_version(rng)
    write_json(os.path.join(root, "names", "meta.json"), metafile_document(names))
    write_files(os.path.join(root, "names"), names)
    os.rename(os.path.join(root, "names", "files", "n1"), os.path.join(root, "names", "tmp"))
    os.rmdir(os.path.join(root, "names", "files"))
    os.rename(os.path.join(root, "names", "tmp"), os.path.join(root, "names", "files"))
    with open(os.path.join(root, "names", "paths.txt"), "w") as f:
        f.write("".join(quote_name(n) + "\n" for n in NAMES))

    pattern = rng.randbytes(65521)
    while True:
        old = version(rng, "h1", pattern, pad_mode="list", hash_padding=True, nfiles=40)
        if old.piece_size == 512 and 64 <= old.piece_count() <= 200:
            break
    new = changed(rng, old, "h2", pattern)
    for v in (old, new):
        write_json(os.path.join(root, "meta", v.id + ".json"), metafile_document(v))
        write_json(os.path.join(root, "expected", v.id + ".json"), expected_document(v))
        write_files(root, v)
        for i, (p, q) in enumerate(pieces_of(v)):
            write(os.path.join(root, "flat", v.id, "%08x.varnopiece" % i), p)
            write(os.path.join(root, "flat", v.id, "%08x.varnodata" % i), q)
    for i, (p, _) in enumerate(pieces_of(old)):
        write(os.path.join(root, "cache", "h1", old.digests[i].hex() + ".varnopiece"), p)
    old_plain = [q for _, q in pieces_of(old)]
    lines = []
    for i, (p, q) in enumerate(pieces_of(new)):
        digest = new.digests[i].hex()
        flags = ROTATION[i % len(ROTATION)]
        data = encode_piece(rng, p, q, flags)
        write(os.path.join(root, "remote", "h2", digest + ".varnopiece"), data)
        write(os.path.join(root, "flatstore", digest + ".varnopiece"), data)
        lo, n = source_range(new, i)
        delta = vcdiff.encode(b"".join(old_plain[lo:lo + n]), p, rng)
        dflags = 5
        if i % 3 == 1:
            delta, dflags = deflate(delta, "zlib"), 7
        write(os.path.join(root, "remote", "h1", digest + ".varnodelta"),
              header(dflags, (lo, n)) + delta)
        if i == 0:
            write(os.path.join(root, "zerosource", "h1", digest + ".varnodelta"),
                  header(5, (0, 0)) + vcdiff.encode(b"", p, rng))
            for k in range(lo, lo + n):
                piece = bytearray(pieces_of(old)[k][0])
                if k == lo:
                    piece[len(piece) // 2] ^= 0x20
                write(os.path.join(root, "cachebad", "h1", old.digests[k].hex() + ".varnopiece"),
                      bytes(piece))
            past = (old.piece_count() - 1, 2)
            write(os.path.join(root, "badsource", "h1", digest + ".varnodelta"),
                  header(5, past) + delta)
            write(os.path.join(root, "over", digest + ".varnopiece"),
                  header(1) + rng.randbytes(len(p) + SLACK + 1 - 6))
        lines.append(f"{i} {len(p)} {len(q)} {flags}")
    with open(os.path.join(root, "pieces.txt"), "w") as f:
        f.write("\n".join(lines) + "\n")
    write_xdelta(root, old, new)


def write_xdelta(root, old, new):
    """The changed pieces of new as xdelta3 deltas, reframed."""
    if shutil.which("xdelta3") is None:
        return
    from vcdiff import reframe  # tests/ is on the path
    old_plain = [q for _, q in pieces_of(old)]
    with tempfile.TemporaryDirectory() as tmp:
        src, tgt, rfc = (os.path.join(tmp, n) for n in ("s", "t", "d"))
        for i, (p, _) in enumerate(pieces_of(new)):
            if new.digests[i] == old.digests[i]:
                continue
            lo, n = source_range(new, i)
            source = b"".join(old_plain[lo:lo + n])
            with open(src, "wb") as f:
                f.write(source)
            with open(tgt, "wb") as f:
                f.write(p)
            subprocess.run(["xdelta3", "-e", "-f", "-D", "-S", "none", "-A", "-n", "-s", src, tgt,
                            rfc], check=True)
            with open(rfc, "rb") as f:
                delta = reframe.reframe(f.read(), len(source))
            write(os.path.join(root, "xdelta", "h1", new.digests[i].hex() + ".varnodelta"),
                  header(5, (lo, n)) + delta)
