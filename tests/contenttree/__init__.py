"""The content-tree generator: versions of an installation as a content
server publishes them (metafiles, catalogs, the alias document and, for a
few versions, the files themselves), with the facts a reader must derive from
them worked out here independently, from a byte map of each stream.

A version's stream is the concatenation, in "files" order, of each file's
data and its pad bytes. In "list" mode the pads are the ranges of the
metafile's "pad" list: some lie inside a file's data, some right after it,
and each belongs to the file whose extent it meets. In "align" mode each
file carries its own "pad" that aligns the next file to 4096 bytes. In
"none" mode there is no pad.

Everything is derived from one seed; the same seed writes the same tree.
Standard library only, except signing (python3-cryptography).
"""
import base64
import hashlib
import itertools
import json
import os
import random

ALGORITHMS = {"SHA1": 20, "SHA256": 32, "MD5": 16, "CRC": 4}
NAME_WORDS = ["readme", "data", "naïve café", "日本語", "a b", "hash#tag", "per%cent",
              "Ünïcødé", "x", "bin", "lib", "assets", "level 01", "#", "%41", "tab-less"]
PAD_ALIGN = 4096
_KEEP = bytes([1]) + bytes(255)  # pad mask byte 0 (data) -> keep


class Version:
    """One version: the files as the stream places them, the pieces and the
    documents' extras."""

    def __init__(self, vid):
        self.id = vid
        self.files = []  # dicts: spelling, name, size, offset, pad, link, mtime, attr, data, sha1
        self.ranges = []  # (offset, size) in stream order
        self.piece_size = 4194304
        self.algorithm = "SHA1"
        self.top_algorithm = "SHA1"
        self.hash_padding = True
        self.hash_padding_written = True
        self.pad_mode = "none"
        self.write_align = False
        self.digests = []  # bytes per piece
        self.full = False
        self.stray_pads = False  # list mode: entries also carry their own "pad" (ignored)

    @property
    def length(self):
        return sum(f["size"] + f["pad"] for f in self.files)

    def piece_count(self):
        return -(-self.length // self.piece_size)

    def piece_lengths(self):
        s = self.piece_size
        out = []
        for i in range(self.piece_count()):
            a, b = i * s, (i + 1) * s
            clipped = sum(max(0, min(b, o + n) - max(a, o)) for o, n in self.ranges)
            out.append(s - clipped)
        return out


def add_file(v, name, data, pad=0, link=None, mode=None):
    """Appends a file to the end of v's stream: its data, then pad bytes."""
    v.files.append({"spelling": name, "name": name, "size": len(data), "offset": v.length,
                    "pad": pad, "link": link, "mtime": None, "attr": 8 if link else None,
                    "mode": mode, "data": data, "sha1": hashlib.sha1(data).hexdigest()})


def plain_metafile(v):
    """The metafile of a version whose names are spelt with '/': names,
    sizes, links, modes, the pad list (when it has one) and the pieces."""
    files = []
    for f in v.files:
        entry = {"name": f["name"], "size": f["size"]}
        if f["link"]:
            entry.update(link=f["link"], attr=8)
        if f["mode"]:
            entry["mode"] = f["mode"]
        files.append(entry)
    doc = {"id": v.id, "files": files}
    if v.ranges:
        doc["pad"] = [{"offset": o, "size": n} for o, n in v.ranges]
    doc["pieces"] = {"algorithm": v.algorithm, "size": v.piece_size, "hashPadding": True,
                     "digests": [base64.b64encode(d).decode() for d in v.digests]}
    return doc


def _name(rng, depth_max=3):
    parts = [rng.choice(NAME_WORDS) + (str(rng.randrange(100)) if rng.random() < 0.7 else "")
             for _ in range(rng.randrange(0, depth_max) + 1)]
    parts[-1] += rng.choice(["", ".txt", ".bin", ".dat", " (1).png"])
    return parts


def _sizes(rng, count, s, budget):
    """count file sizes: 0, 1, S-1, S and S+1 among small ones, a few large,
    all within budget bytes in total."""
    special = [0, 1, max(0, s - 1), s, s + 1]
    sizes = []
    for k in range(count):
        r = rng.random()
        if r < 0.25:
            size = rng.choice(special)
        elif r < 0.97:
            size = rng.randrange(0, 3000)
        else:
            size = rng.randrange(s, 4 * s + 2)
        sizes.append(size)
    total = sum(sizes)
    if total > budget:  # scale down the large ones
        sizes = [min(x, max(1, budget // max(1, count))) for x in sizes]
    return sizes


def make_version(rng, vid, nfiles, full=False, budget_pieces=3000, fill=None):
    """fill(k, size), when given, makes the data of file k of a full version."""
    v = Version(vid)
    v.full = full
    v.pad_mode = rng.choice(["none", "align", "list", "list"])
    if v.pad_mode == "align":
        v.piece_size = rng.choice([4096, 8192, 65536, 1 << 20, 4194304])
    else:
        v.piece_size = rng.choice([1, 7, 512, 4096, 65536, 100000, 1 << 20, 4194304])
    if full:
        v.piece_size = rng.choice([512, 4096, 7000]) if v.pad_mode != "align" else 4096
    v.algorithm = rng.choice(list(ALGORITHMS))
    v.top_algorithm = rng.choice(["SHA1", v.algorithm])
    v.hash_padding = rng.random() < 0.5
    v.hash_padding_written = not v.hash_padding or rng.random() < 0.7
    v.write_align = rng.random() < 0.2
    v.stray_pads = v.pad_mode == "list" and rng.random() < 0.3
    s = v.piece_size
    budget = s * budget_pieces if not full else 200000
    budget = min(budget, 1 << 40)
    sizes = _sizes(rng, nfiles, s, budget)
    backslash = not full and rng.random() < 0.3
    seen = []
    names = set()
    parents, link_names = set(), set()  # directories on the names' paths; links
    x = 0
    first_data = True
    last_nonzero = max((i for i, z in enumerate(sizes) if z > 0), default=-1)
    for i, size in enumerate(sizes):
        if seen and not full and rng.random() < 0.03:
            parts = rng.choice(seen)  # beside an earlier name (made unique below)
        else:
            parts = _name(rng) + [str(i)] if rng.random() < 0.5 else _name(rng)
            if full:
                parts = [p.replace("/", "_") for p in parts[:-1]] + [f"{i}-{parts[-1]}"]
            seen.append(parts)
        # A name may not lie below one of the version's links: the component
        # that is a link gets a suffix (no draw, so the rest of the tree
        # stays as drawn).
        for k in range(1, len(parts)):
            if "/".join(parts[:k]) in link_names:
                parts = parts[:k - 1] + [f"{parts[k - 1]}~dir"] + parts[k:]
        if "/".join(parts) in names:
            # Nor list one name twice: the drawn name gets a suffix (no draw).
            parts = parts[:-1] + [f"{parts[-1]}~{i}"]
        names.add("/".join(parts))
        for k in range(1, len(parts)):
            parents.add("/".join(parts[:k]))
        sep = "\\" if backslash and rng.random() < 0.5 else "/"
        f = {"spelling": sep.join(parts), "name": "/".join(parts), "size": size, "offset": x,
             "pad": 0, "link": None, "mtime": None, "attr": None, "data": None, "sha1": None}
        if rng.random() < 0.1:
            f["mtime"] = round(rng.uniform(1e9, 1.8e9), rng.choice([0, 3]))
        if rng.random() < 0.1:
            f["attr"] = rng.choice([1, 32, 33])  # read-only, archive
        if size == 0 and rng.random() < 0.15:
            # Up one level only from a link below the top: a link's target
            # stays inside the root.
            up = "../" if len(parts) > 1 else ""
            if full:
                f["link"] = "target.txt"
            else:
                target = rng.choice(seen)
                if target == parts:  # a link to itself loops: refused
                    target = parts[:-1] + [parts[-1] + "~target"]
                f["link"] = up + "/".join(target)
            if f["name"] in parents:  # a directory of an earlier name: a file
                f["link"] = None
            else:
                link_names.add(f["name"])
        if v.pad_mode == "align":
            f["pad"] = (-(x + size)) % PAD_ALIGN
        elif v.pad_mode == "list" and size > 0:
            pad = 0
            cuts = sorted(rng.randrange(0 if first_data else 1, size + 1)
                          for _ in range(rng.choice([0, 0, 1, 2])))
            cap = max(1, budget // (4 * max(1, nfiles)))
            trailing = rng.choice([0, 1, 1, 2])
            # A last file may end the stream without a pad after it. Its
            # range is still drawn (and dropped), so that the draws after it,
            # and the versions made after this one, stay as they were.
            drop_last = i == last_nonzero and not cuts and not trailing
            if drop_last:
                min(rng.choice([1, 6, 100, 4000, rng.randrange(1, s + 2)]), cap)
            for c in cuts:
                n = rng.choice([0, 1, 6, 100, 4000]) if rng.random() < 0.9 else rng.randrange(1, 3 * s + 2)
                n = min(n, cap)
                v.ranges.append((x + c + pad, n))
                pad += n
            for _ in range(trailing):
                n = min(rng.choice([1, 6, 100, 4000, rng.randrange(1, s + 2)]), cap)
                v.ranges.append((x + size + pad, n))
                pad += n
            f["pad"] = pad
            first_data = False
        v.files.append(f)
        x += size + f["pad"]
    if full:
        for k, f in enumerate(v.files):
            if f["link"] is None:
                f["data"] = fill(k, f["size"]) if fill else rng.randbytes(f["size"])
                f["sha1"] = hashlib.sha1(f["data"]).hexdigest()
    v.digests = _digests(rng, v)
    return v


def stream_bytes(v):
    """The byte map as bytes: file data with pad bytes (zero) where the
    ranges or the own pads put them."""
    out = bytearray()
    ranges = list(v.ranges)
    for f in v.files:
        data = f["data"] or b""
        if v.pad_mode == "list":
            start = len(out)
            end = start + f["size"] + f["pad"]
            pos = 0
            at = start
            for o, n in [r for r in ranges if start <= r[0] < end]:
                take = o - at
                out += data[pos:pos + take]
                pos += take
                out += bytes(n)
                at = o + n
            out += data[pos:]
        else:
            out += data + bytes(f["pad"])
    return bytes(out)


def _digests(rng, v):
    size = ALGORITHMS[v.algorithm]
    count = v.piece_count()
    if not v.full:
        return [rng.randbytes(size) for _ in range(count)]
    stream = stream_bytes(v)
    pad_mask = bytearray(len(stream))
    for o, n in v.ranges:
        pad_mask[o:o + n] = b"\1" * n
    for f in v.files:
        if v.pad_mode == "align":
            a = f["offset"] + f["size"]
            pad_mask[a:a + f["pad"]] = b"\1" * f["pad"]
    out = []
    s = v.piece_size
    for i in range(count):
        chunk = stream[i * s:(i + 1) * s]
        if not v.hash_padding:
            keep = pad_mask[i * s:(i + 1) * s].translate(_KEEP)
            chunk = bytes(itertools.compress(chunk, keep))
        out.append(digest(v.algorithm, chunk))
    return out


def digest(algorithm, data):
    if algorithm == "CRC":
        import zlib
        return (zlib.crc32(data) & 0xFFFFFFFF).to_bytes(4, "big")
    return hashlib.new(algorithm.replace("SHA", "sha").lower(), data).digest()


def metafile_document(v):
    files = []
    for f in v.files:
        e = {"name": f["spelling"], "size": f["size"]}
        if f["link"] is not None:
            e["link"] = f["link"]
        if f["mtime"] is not None:
            e["mtime"] = f["mtime"]
        if f["attr"] is not None:
            e["attr"] = f["attr"]
        if f.get("mode") is not None:
            e["mode"] = f["mode"]
        if v.pad_mode == "align":
            e["pad"] = f["pad"]
        elif v.stray_pads:
            e["pad"] = 12345  # ignored: the pad list decides
        e["offset"] = 0 if f["offset"] % 3 == 0 else f["offset"]  # replaced by the reader
        files.append(e)
    doc = {"id": v.id, "algorithm": v.top_algorithm, "files": files}
    if v.write_align:
        doc["writeAlign"] = True
    if v.pad_mode == "list":
        doc["pad"] = [{"offset": o, "size": n} for o, n in v.ranges]
    pieces = {"algorithm": v.algorithm, "size": v.piece_size,
              "digests": [base64.b64encode(d).decode() for d in v.digests]}
    if v.hash_padding_written:
        pieces["hashPadding"] = v.hash_padding
    doc["pieces"] = pieces
    return doc


def expected_document(v):
    winners = {}
    for i, f in enumerate(v.files):
        winners[f["name"]] = i
    return {
        "id": v.id,
        "pieceSize": v.piece_size,
        "algorithm": v.algorithm,
        "hashPadding": v.hash_padding,
        "writeAlign": v.write_align,
        "padMode": v.pad_mode,
        "files": [[f["name"], f["offset"], f["pad"], f["size"], f["sha1"] or ""] for f in v.files],
        # As installed: permission bits (a link's own 0o777, read-only 0o444)
        # and the modified time (null: not given).
        "modes": [[0o777 if f["link"] is not None else 0o444 if (f["attr"] or 0) & 1 else 0o644,
                   f["mtime"]] for f in v.files],
        "spellings": [[f["spelling"], winners[f["name"]]] for f in v.files],
        "pieces": [[n, d.hex()] for n, d in zip(v.piece_lengths(), v.digests)],
        "totalLength": sum(f["size"] for f in v.files),
        "totalPadding": sum(f["pad"] for f in v.files),
    }


def write_json(path, doc):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w", encoding="utf-8") as out:
        json.dump(doc, out, ensure_ascii=False, separators=(",", ":"))


def write_files(root, v):
    base = os.path.join(root, "files", v.id)
    for f in v.files:
        path = os.path.join(base, *f["name"].split("/"))
        os.makedirs(os.path.dirname(path), exist_ok=True)
        if f["link"] is not None:
            if not os.path.lexists(path):
                os.symlink(f["link"], path)
            continue
        if os.path.exists(path):
            os.chmod(path, 0o644)
        with open(path, "wb") as out:
            out.write(f["data"])
        if f["mtime"] is not None:
            os.utime(path, (f["mtime"], f["mtime"]))
        if f["attr"] in (1, 33):
            os.chmod(path, 0o444)


def nginx_conf(root, port):
    """The tree at /; the same under /slow/ at 512 bytes/s a request; /status/404
    and /status/500 answer so; text/plain (".txt") goes gzip unless a range
    is asked. Access log lines: port, connection, status, body bytes, all
    bytes, "Range" and the request URI as sent."""
    user = "user root;\n" if os.geteuid() == 0 else ""  # workers must read the tree
    return user + f"""worker_processes 1;
daemon off;
pid nginx.pid;
error_log nginx.error.log;
events {{ worker_connections 1024; }}
http {{
  log_format tree '$server_port $connection $status $body_bytes_sent $bytes_sent "$http_range" $request_uri';
  access_log access.log tree;
  keepalive_requests 100000;
  client_body_temp_path {root}/tmp;
  proxy_temp_path {root}/tmp;
  fastcgi_temp_path {root}/tmp;
  uwsgi_temp_path {root}/tmp;
  scgi_temp_path {root}/tmp;
  types {{ application/json json; text/plain txt; }}
  default_type application/octet-stream;
  gzip on;
  gzip_types text/plain;
  gzip_min_length 1;
  server {{
    listen 127.0.0.1:{port};
    root {root};
    location /slow/ {{ alias {root}/; limit_rate 512; }}
    location = /status/404 {{ return 404; }}
    location = /status/500 {{ return 500; }}
  }}
}}
"""
