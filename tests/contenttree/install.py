"""Installed trees for the file storage: versions whose files a test
installs from a piece storage, and the damaged states a repair must find.

install/<v>/ for each version v:
  meta.json         the metafile
  pieces/<id>/<digest>.varnopiece   the padded pieces (a plain piece
                    storage with flags 1 in the default layout)
  files/            the tree as installed: data, links as links, read-only
                    files without write bits, mtimes
  manifest.sha1     sha1sum -c lines of the regular files
  stat.txt          "<size> <mtime or -> <ro 0/1> <name>" per regular file
  links.txt         "<target>\\t<name>" per link
  damage.txt        "<operation> <argument> <piece>:<code>,... <file>" per
                    damaged state: operations "missing", "truncate" (to argument bytes),
                    "flip" (the byte at argument), "partial" (the file at
                    its partial name with the bytes from argument on zero)
                    and "directory"; the pieces that then fail to read,
                    with the storage result (964, 962, 979)
Versions: "none", "align" and "list" (pad modes, S = 64 KiB), "big" (S =
4 MiB), "u1" and "u2" (an update: one piece of a many-piece file differs,
and "bin/sleeper" is a copy of /bin/sleep that changes), "kill" (a 16 MiB
file and a few small ones) and "bulk" (10,000 small files); the last two
without files/.
"""
import hashlib
import os

from . import _digests, Version, metafile_document, write_json
from .pieces import pieces_of, write

S = 65536
PARTIAL = ".varnopartial"


def _file(name, size=0, link=None, mtime=None, attr=None):
    return {"spelling": name, "name": name, "size": size, "offset": 0, "pad": 0, "link": link,
            "mtime": mtime, "attr": attr, "data": None, "sha1": None}


def _entries(rng):
    """The files every pad-mode version holds."""
    return [
        _file("empty.txt", 0, mtime=1300000000),
        _file("deep/a/b/c/d/e/f/g.bin", 3 * S + 17, mtime=1500000000.25),
        _file("naïve café/日本語 ünï.txt", 1000),
        _file("Readme.txt", 700, mtime=1400000000),
        _file("README.txt", 900),
        _file("ro/locked.dat", S + 1, mtime=1600000000, attr=1),
        _file("ro/empty-ro", 0, attr=33),
        _file("big.bin", 5 * S + 123),
        _file("links/inside", link="../big.bin"),
        _file("links/dir", link="../deep/a"),
        _file("links/up", link="../s/../big.bin"),
        _file("s/one", 1),
        _file("s/S-1", S - 1, mtime=1000000000),
        _file("s/S", S),
        _file("s/S+1", S + 1),
    ] + [_file(f"many/{k:03d}.dat", rng.randrange(0, 5000)) for k in range(12)]


def _place(rng, v):
    """Offsets, pads (own or list ranges) and data of v's files."""
    x = 0
    last = max((i for i, f in enumerate(v.files) if f["size"] > 0), default=-1)
    for i, f in enumerate(v.files):
        f["offset"] = x
        size = f["size"]
        if f["link"] is None and f["data"] is None:
            f["data"] = rng.randbytes(size)
        if v.pad_mode == "align":
            f["pad"] = (-(x + size)) % 4096
        elif v.pad_mode == "list" and size > 0:
            pad = 0
            for cut in sorted(rng.randrange(1, size + 1) for _ in range(rng.choice([0, 1, 2]))):
                n = rng.choice([1, 6, 100, 4000])
                v.ranges.append((x + cut + pad, n))
                pad += n
            if i == last or rng.random() < 0.5:
                n = rng.choice([1, 100, 4000])
                v.ranges.append((x + size + pad, n))
                pad += n
            f["pad"] = pad
        if f["data"] is not None:
            f["sha1"] = hashlib.sha1(f["data"]).hexdigest()
        x += size + f["pad"]
    v.digests = _digests(rng, v)


def _version(rng, vid, mode, files, piece_size=S, hash_padding=None):
    v = Version(vid)
    v.full = True
    v.pad_mode = mode
    v.piece_size = piece_size
    v.algorithm = "SHA1"
    v.top_algorithm = "SHA1"
    v.hash_padding = rng.random() < 0.5 if hash_padding is None else hash_padding
    v.hash_padding_written = True
    v.files = files
    _place(rng, v)
    return v


def _segments(v, k):
    """(stream offset, file offset, length) of the data of file k."""
    f = v.files[k]
    start, end = f["offset"], f["offset"] + f["size"] + f["pad"]
    if v.pad_mode != "list":
        return [(start, 0, f["size"])]
    out, at, pos = [], start, 0
    for o, n in sorted(r for r in v.ranges if start <= r[0] < end):
        if o > at:
            out.append((at, pos, o - at))
            pos += o - at
        at = o + n
    if pos < f["size"]:
        out.append((at, pos, f["size"] - pos))
    return out


def _pieces_over(v, k, a, b):
    """The pieces that hold bytes [a, b) of file k's data."""
    out = set()
    for s, fo, n in _segments(v, k):
        lo, hi = max(a, fo), min(b, fo + n)
        if lo < hi:
            out.update(range((s + lo - fo) // v.piece_size, (s + hi - 1 - fo) // v.piece_size + 1))
    return out


def _damage(rng, v):
    index = {f["name"]: k for k, f in enumerate(v.files)}
    states = []
    for name in ("big.bin", "deep/a/b/c/d/e/f/g.bin", "s/S+1", "README.txt"):
        k = index[name]
        size = v.files[k]["size"]
        cut = rng.randrange(1, size)
        flip = rng.randrange(size)
        keep = (rng.randrange(1, size // S + 1) * S) if size > S else size // 2
        for op, arg, a, code in (("missing", 0, 0, 964), ("truncate", cut, cut, 962),
                                 ("flip", flip, flip, 979), ("partial", keep, keep, 979),
                                 ("directory", 0, 0, 964)):
            b = flip + 1 if op == "flip" else size
            fails = sorted(_pieces_over(v, k, a, b))
            # A piece that ends inside the kept bytes of a partial file reads
            # as it should.
            states.append(f"{op} {arg} {','.join(f'{p}:{code}' for p in fails)} {name}")
    return states


def _write_version(root, v, damage, tree=True):
    base = os.path.join(root, v.id)
    write_json(os.path.join(base, "meta.json"), metafile_document(v))
    for i, (padded, _) in enumerate(pieces_of(v)):
        write(os.path.join(base, "pieces", v.id, v.digests[i].hex() + ".varnopiece"), padded)
    manifest, stat, links = [], [], []
    for f in v.files:
        path = os.path.join(base, "files", *f["name"].split("/"))
        if not tree:
            manifest.append(f"{f['sha1']}  {f['name']}")
            continue
        os.makedirs(os.path.dirname(path), exist_ok=True)
        if f["link"] is not None:
            os.symlink(f["link"], path)
            links.append(f"{f['link']}\t{f['name']}")
            continue
        with open(path, "wb") as out:
            out.write(f["data"])
        if f["mtime"] is not None:
            os.utime(path, (f["mtime"], f["mtime"]))
        readonly = 1 if f["attr"] is not None and f["attr"] & 1 else 0
        if readonly:
            os.chmod(path, 0o444)
        manifest.append(f"{f['sha1']}  {f['name']}")
        mtime = "-" if f["mtime"] is None else str(int(f["mtime"]))
        stat.append(f"{f['size']} {mtime} {readonly} {f['name']}")
    for name, lines in (("manifest.sha1", manifest), ("stat.txt", stat), ("links.txt", links)):
        with open(os.path.join(base, name), "w", encoding="utf-8") as out:
            out.write("\n".join(lines) + "\n")
    with open(os.path.join(base, "damage.txt"), "w", encoding="utf-8") as out:
        out.write("".join(line + "\n" for line in damage))


def write_tree(root, rng):
    for mode in ("none", "align", "list"):
        v = _version(rng, mode, mode, _entries(rng))
        _write_version(root, v, _damage(rng, v))
    big = _version(rng, "big", "none", [_file("big.bin", 4 * 1048576 + 1000),
                                        _file("small.txt", 10)], piece_size=4 * 1048576)
    _write_version(root, big, [])
    sleep = open("/bin/sleep", "rb").read()
    u1 = _version(rng, "u1", "none", [_file("many.bin", 8 * S), _file("bin/sleeper", len(sleep)),
                                      _file("tail.txt", 100)], hash_padding=True)
    u1.files[1]["data"] = sleep
    _place(rng, u1)  # the sleeper's bytes: digests again
    u2 = _version(rng, "u2", "none", [dict(f) for f in u1.files], hash_padding=True)
    many = bytearray(u1.files[0]["data"])
    many[5 * S + 10:5 * S + 20] = rng.randbytes(10)
    sleeper = bytearray(sleep)
    sleeper[-40:] = rng.randbytes(40)
    u2.files[0]["data"], u2.files[1]["data"] = bytes(many), bytes(sleeper)
    _place(rng, u2)
    for v in (u1, u2):
        _write_version(root, v, [])
    write_kill(root, rng, 16 << 20)
    bulk = _version(rng, "bulk", "none",
                    [_file(f"d{k // 500}/{k}.txt", rng.randrange(0, 200)) for k in range(10000)])
    _write_version(root, bulk, [], tree=False)


def write_kill(root, rng, size):
    """The "kill" version: a.txt, a blob of size bytes and z/b.txt, pad mode
    none, made a piece at a time so that scripts/storagefile_soak.sh can ask
    for 1 GiB."""
    base = os.path.join(root, "kill")
    os.makedirs(base, exist_ok=True)
    small_a, small_b = rng.randbytes(10), rng.randbytes(3000)
    blob_path = os.path.join(base, "blob.tmp")
    blob_sha1 = hashlib.sha1()
    with open(blob_path, "wb") as out:
        for at in range(0, size, 1 << 20):
            chunk = rng.randbytes(min(1 << 20, size - at))
            blob_sha1.update(chunk)
            out.write(chunk)
    v = Version("kill")
    v.full, v.piece_size, v.hash_padding, v.hash_padding_written = True, S, True, True
    v.files = [_file("a.txt", 10), _file("blob.bin", size), _file("z/b.txt", 3000)]
    x = 0
    for f, digest in zip(v.files, (hashlib.sha1(small_a), blob_sha1, hashlib.sha1(small_b))):
        f["offset"], f["sha1"] = x, digest.hexdigest()
        x += f["size"]

    def stream():
        yield small_a
        with open(blob_path, "rb") as blob:
            while True:
                chunk = blob.read(1 << 20)
                if not chunk:
                    break
                yield chunk
        yield small_b
    def put(piece):
        v.digests.append(hashlib.sha1(piece).digest())
        write(os.path.join(base, "pieces", "kill", v.digests[-1].hex() + ".varnopiece"), piece)
    pending = b""
    for chunk in stream():
        pending += chunk
        whole = len(pending) - len(pending) % S
        for at in range(0, whole, S):
            put(pending[at:at + S])
        pending = pending[whole:]
    if pending:
        put(pending)
    os.unlink(blob_path)
    write_json(os.path.join(base, "meta.json"), metafile_document(v))
    with open(os.path.join(base, "manifest.sha1"), "w") as out:
        out.write("".join(f"{f['sha1']}  {f['name']}\n" for f in v.files))
    with open(os.path.join(base, "stat.txt"), "w") as out:
        out.write("".join(f"{f['size']} - 0 {f['name']}\n" for f in v.files))
