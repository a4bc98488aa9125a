#!/usr/bin/python3
"""A content server's tree with two versions of one repository, an nginx
configuration serving it over HTTPS on 127.0.0.1, and the client side's
files, for `keelson sync` end to end (tests/e2e/ and scripts/demo.sh).

  make_tree.py <dir> --port N [--mib M] [--piece-kib K] [--seed S]
               [--small-files N] [--files F] [--whole-changed] [--scheme http] [--bulk]

--files F spreads the bytes over F files of about equal size, 200 to a
directory (a many-small-files tree for measuring per-file cost).

Writes under <dir>:
  www/alias.json            signed alias naming "v1" (www/aliases/v2.json
                            names "v2"; copy it over alias.json to switch)
  www/catalog/<v>/catalog.json, www/catalog/v2/v1/catalog.json
                            signed catalogs; their "config" names the remote
  www/other/<v>/catalog.json  catalogs signed with a key nobody trusts
  www/expired/<v>/catalog.json  catalogs whose "exp" passed an hour ago
  www/unsigned/<v>/catalog.json, www/unsigned/<v>.json  unsigned twins
  www/meta/<v>.json         signed metafiles
  www/pieces/<v>/<digest>.varnopiece   every piece, encodings rotating
                            through plain, padded, gzip and AES-256
  www/pieces/v1/<digest>.varnodelta    each changed piece of v2 as a VCDIFF
                            delta against the v1 pieces its files cover
  tls/server.{crt,key}      an openssl certificate for IP 127.0.0.1;
  tls/other.{crt,key}       one for the name "other.invalid"
  nginx.conf, nginx-other.conf  HTTPS with the first or the second;
  nginx-slow.conf           the first at 64 KiB/s a connection
  app.json                  whitelist 127.0.0.1, the content key store, the
                            server certificate pinned
  repo.json                 the repository file (client/ as the installation)
  credentials.json          the AES-256 password (mode 0600)
  expected/<v>.sha1         `sha1sum -c` lists, relative to the installation
  pieces.txt                "<version> <digest> <flags>" per piece file,
  changed.txt               "<digest>" per v2 piece that differs from v1

With --small-files N, v1 also carries N small files (256 B to 16 KiB,
log-uniform, about 4 KiB each) as small/dNNN/fNNNNN.dat, 100 to a
directory, which v2 leaves as they are: the per-file cost of an install.
With --whole-changed, also:
  www/files/v2/<name>       every file v2 changes, whole (what a client without
                            deltas fetches for the update)
  update.json               {"installed": v1 bytes, "v2": v2 bytes,
                            "changedFiles", "changedFileBytes",
                            "changedPieces", "changedPieceBytes" (of v2's
                            unpadded pieces), "deltaBytes" (served)}
  changed-files.txt         "<name> <bytes>" per file v2 changes

Piece data: random and text files, with pad ranges after some of them, and
bin/tool, a shell script marked "mode" 0755 that prints "tool <version>".
Everything but the keys follows from the seed. --bulk writes v1
alone: four files of zeros behind a line naming each, every piece gzip
encoded, so that large pieces cost little to make, serve and check.
"""
import argparse
import base64
import hashlib
import json
import math
import os
import random
import subprocess
import sys
import tempfile
import time
import zlib

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

from contenttree import Version, _digests, metafile_document, write_json  # noqa: E402
from contenttree.pieces import aes_layout, deflate, pieces_of, source_range  # noqa: E402
from contenttree.httptree import header  # noqa: E402
from vcdiff import reframe  # noqa: E402

PASSWORD = "keelson-demo"
REPOSITORY = "game"
ROTATION = (0, 1, 2, 3, 8, 9, 10, 11)  # plain, pad, gzip, AES-256 and their mixes


def b64u(data):
    return base64.urlsafe_b64encode(data).rstrip(b"=").decode()


class Signer:
    def __init__(self):
        from cryptography.hazmat.primitives.asymmetric import ec
        self.key = ec.generate_private_key(ec.SECP256R1())

    def sign(self, doc):
        from cryptography.hazmat.primitives import hashes
        from cryptography.hazmat.primitives.asymmetric import ec, utils
        data = json.dumps(doc, separators=(",", ":")).encode()
        head = b64u(json.dumps({"alg": "ES256", "typ": "JWT"}).encode())
        signing_input = head + "." + b64u(data)
        r, s = utils.decode_dss_signature(self.key.sign(signing_input.encode(),
                                                        ec.ECDSA(hashes.SHA256())))
        return signing_input + "." + b64u(r.to_bytes(32, "big") + s.to_bytes(32, "big"))

    def public_der(self):
        from cryptography.hazmat.primitives import serialization
        return self.key.public_key().public_bytes(serialization.Encoding.DER,
                                                  serialization.PublicFormat.SubjectPublicKeyInfo)


def write_text(path, text, mode=None):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w", encoding="utf-8") as f:
        f.write(text)
    if mode is not None:
        os.chmod(path, mode)


def write_bytes(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)


SMALL_PER_DIRECTORY = 100


def add_small(v, rng, count, at):
    """count small files after the others; returns the stream offset after
    them."""
    for k in range(count):
        size = int(math.exp(rng.uniform(math.log(256), math.log(16 << 10))))
        name = f"small/d{k // SMALL_PER_DIRECTORY:03d}/f{k:05d}.dat"
        data = rng.randbytes(size)
        v.files.append({"spelling": name, "name": name, "size": size, "offset": at, "pad": 0,
                        "link": None, "mtime": None, "attr": None, "data": data, "small": True,
                        "sha1": hashlib.sha1(data).hexdigest()})
        at += size
    return at


def make_v1(rng, total, piece_size, small=0, files=0):
    v = Version("v1")
    v.piece_size, v.algorithm, v.top_algorithm = piece_size, "SHA1", "SHA1"
    v.hash_padding, v.hash_padding_written, v.pad_mode, v.full = True, True, "list", True
    count = files or max(6, min(200, total // (256 << 10)))
    directories = max(1, count // 200)  # --files: grouped by directory, as trees are listed
    weights = [rng.randrange(900, 1100) if files else rng.randrange(1, 1000) for _ in range(count)]
    sizes = [max(1, total * w // sum(weights)) for w in weights]
    at = 0
    for k, size in enumerate(sizes):
        if k % 3 == 0:
            line = b"line %d of a text file that compresses well\n" % k
            data = (line * (size // len(line) + 1))[:size]
        else:
            data = rng.randbytes(size)
        folder = k * directories // count if files else k % 4
        name = f"dir{folder}/file{k:03d}.{'txt' if k % 3 == 0 else 'bin'}"
        pad = rng.choice([0, 0, 1, 100, 4000])
        if pad:
            v.ranges.append((at + size, pad))
        v.files.append({"spelling": name, "name": name, "size": size, "offset": at, "pad": pad,
                        "link": None, "mtime": None, "attr": None, "data": data,
                        "sha1": hashlib.sha1(data).hexdigest()})
        at += size + pad
    at = add_small(v, rng, small, at)
    add_tool(v, at)
    v.digests = _digests(rng, v)
    return v


def tool_script(version):
    return f"#!/bin/sh\n# The demo's program: prints the installed version.\necho 'tool {version}'\n".encode()


def add_tool(v, at):
    """bin/tool, a program marked 0755 in the metafile, last in the stream
    without a pad after it."""
    data = tool_script(v.id)
    v.files.append({"spelling": "bin/tool", "name": "bin/tool", "size": len(data), "offset": at,
                    "pad": 0, "link": None, "mtime": None, "attr": None, "mode": "0755",
                    "data": data, "sha1": hashlib.sha1(data).hexdigest()})


def make_bulk(total, piece_size):
    """v1 of four files of zeros behind a line naming each, with its piece
    digests and pieces (zlib, flags 2) made in one pass over the data."""
    v = Version("v1")
    v.piece_size, v.algorithm, v.top_algorithm = piece_size, "SHA1", "SHA1"
    v.hash_padding, v.hash_padding_written, v.pad_mode, v.full = True, True, "none", True
    at = 0
    for k in range(4):
        size = total // 4
        line = b"bulk file %d\n" % k
        data = line + bytes(size - len(line))
        name = f"bulk/file{k}.bin"
        v.files.append({"spelling": name, "name": name, "size": size, "offset": at, "pad": 0,
                        "link": None, "mtime": None, "attr": None, "data": data,
                        "sha1": hashlib.sha1(data).hexdigest()})
        at += size
    pieces, state = [], {}

    def finish():
        v.digests.append(state["hash"].digest())
        pieces.append(header(2) + b"".join(state["out"]) + state["zip"].flush())
        state.clear()

    for f in v.files:
        data, pos = memoryview(f["data"]), 0
        while pos < len(data):
            if not state:
                state.update(hash=hashlib.sha1(), zip=zlib.compressobj(1), out=[], filled=0)
            chunk = data[pos:pos + piece_size - state["filled"]]
            state["hash"].update(chunk)
            state["out"].append(state["zip"].compress(chunk))
            state["filled"] += len(chunk)
            pos += len(chunk)
            if state["filled"] == piece_size:
                finish()
    if state:
        finish()
    return v, pieces


def make_v2(rng, v1):
    import copy
    v = copy.deepcopy(v1)
    v.id = "v2"
    for k, f in enumerate(v.files):
        if f["name"] == "bin/tool":
            f["data"] = tool_script(v.id)
            f["sha1"] = hashlib.sha1(f["data"]).hexdigest()
            continue
        if k % 3 != 1 or f.get("small"):
            continue
        data = bytearray(f["data"])
        for _ in range(3):
            at = rng.randrange(len(data))
            data[at:at + 64] = rng.randbytes(len(data[at:at + 64]))
        f["data"] = bytes(data)
        f["sha1"] = hashlib.sha1(f["data"]).hexdigest()
    v.digests = _digests(rng, v)
    return v


def encode_piece(rng, padded, plain, flags):
    data = padded if flags & 1 else plain
    if flags & 2:
        data = deflate(data, "gzip")
    if flags & 8:
        data, _ = aes_layout(rng, data, PASSWORD.encode(), iterations=rng.randrange(1, 50))
    return header(flags) + data


def write_pieces(www, rng, versions, listing, changed):
    """Every piece of both versions, encodings rotating, and each changed
    piece of v2 as a VCDIFF delta against v1. Returns the bytes of the
    changed pieces (unpadded) and of their deltas as served."""
    v1, v2 = versions
    changed_bytes = delta_bytes = 0
    old = pieces_of(v1)
    old_plain = [q for _, q in old]
    old_digests = set(d.hex() for d in v1.digests)
    with tempfile.TemporaryDirectory() as tmp:
        for v, pieces in ((v1, old), (v2, pieces_of(v2))):
            for i, (p, q) in enumerate(pieces):
                digest = v.digests[i].hex()
                flags = ROTATION[i % len(ROTATION)]
                write_bytes(os.path.join(www, "pieces", v.id, digest + ".varnopiece"),
                            encode_piece(rng, p, q, flags))
                listing.append(f"{v.id} {digest} {flags}")
                if v is v1 or digest in old_digests:
                    continue
                changed.append(digest)
                changed_bytes += len(q)
                lo, n = source_range(v, i)
                rfc = xdelta(b"".join(old_plain[lo:lo + n]), p, tmp)
                delta = reframe.reframe(rfc, sum(len(x) for x in old_plain[lo:lo + n]))
                write_bytes(os.path.join(www, "pieces", "v1", digest + ".varnodelta"),
                            header(5, (lo, n)) + delta)
                delta_bytes += len(header(5, (lo, n))) + len(delta)
    return changed_bytes, delta_bytes


def xdelta(source, target, tmp):
    src, tgt, out = (os.path.join(tmp, n) for n in ("s", "t", "d"))
    write_bytes(src, source)
    write_bytes(tgt, target)
    subprocess.run(["xdelta3", "-e", "-f", "-D", "-S", "none", "-A", "-n", "-s", src, tgt, out],
                   check=True)
    with open(out, "rb") as f:
        return f.read()


def certificate(tls, name, subject_alt):
    subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
                    "ec_paramgen_curve:prime256v1", "-nodes", "-days", "30", "-subj", "/CN=" + name,
                    "-addext", "subjectAltName=" + subject_alt,
                    "-keyout", os.path.join(tls, name + ".key"),
                    "-out", os.path.join(tls, name + ".crt")],
                   check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    der = subprocess.run(["openssl", "x509", "-in", os.path.join(tls, name + ".crt"),
                          "-outform", "DER"], check=True, stdout=subprocess.PIPE).stdout
    return base64.b64encode(hashlib.sha256(der).digest()).decode()


def nginx_http(root, servers):
    """nginx's configuration for root (logs, temporary files, www/) with the
    server blocks given."""
    user = "user root;\n" if os.geteuid() == 0 else ""
    tmp = os.path.join(root, "nginx-tmp")
    return user + f"""worker_processes 1;
daemon off;
pid {root}/nginx.pid;
error_log {root}/nginx.error.log;
events {{ worker_connections 256; }}
http {{
  log_format e2e '$status $body_bytes_sent $request_uri $http_cache_control';
  access_log {root}/access.log e2e;
  client_body_temp_path {tmp};
  proxy_temp_path {tmp};
  fastcgi_temp_path {tmp};
  uwsgi_temp_path {tmp};
  scgi_temp_path {tmp};
  types {{ application/json json; }}
  default_type application/octet-stream;
{servers}}}
"""


def nginx_conf(root, port, cert, rate="0", address="127.0.0.1"):
    return nginx_http(root, f"""  keepalive_requests 100000;
  server {{
    listen {address}:{port} ssl;
    ssl_certificate {root}/tls/{cert}.crt;
    ssl_certificate_key {root}/tls/{cert}.key;
    ssl_protocols TLSv1.2;
    root {root}/www;
    limit_rate {rate};
  }}
""")


def write_whole_changed(root, v1, v2, changed_pieces, changed_bytes, delta_bytes):
    """The files v2 changes, whole, for a client that fetches them without
    deltas, and the update's sizes."""
    before = {f["name"]: f["sha1"] for f in v1.files}
    changed = [f for f in v2.files if before.get(f["name"]) != f["sha1"]]
    for f in changed:
        write_bytes(os.path.join(root, "www", "files", "v2", f["name"]), f["data"])
    write_text(os.path.join(root, "changed-files.txt"),
               "".join(f"{f['name']} {f['size']}\n" for f in changed))
    sizes = {"installed": sum(f["size"] for f in v1.files),
             "v2": sum(f["size"] for f in v2.files), "changedFiles": len(changed),
             "changedFileBytes": sum(f["size"] for f in changed),
             "changedPieces": changed_pieces, "changedPieceBytes": changed_bytes,
             "deltaBytes": delta_bytes}
    write_text(os.path.join(root, "update.json"), json.dumps(sizes, indent=1) + "\n")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("dir")
    ap.add_argument("--port", type=int, required=True)
    ap.add_argument("--mib", type=float, default=4)
    ap.add_argument("--piece-kib", type=int, default=0)
    ap.add_argument("--seed", type=int, default=0x6b61)
    ap.add_argument("--small-files", type=int, default=0)
    ap.add_argument("--whole-changed", action="store_true")
    ap.add_argument("--scheme", choices=("https", "http"), default="https",
                    help="of every URL the documents name (http: for servers without TLS)")
    ap.add_argument("--bulk", action="store_true")
    ap.add_argument("--files", type=int, default=0)
    ap.add_argument("--address", default="127.0.0.1",
                    help="the server's loopback address (another than 127.0.0.1 may be proxied)")
    args = ap.parse_args()
    root = os.path.abspath(args.dir)
    www = os.path.join(root, "www")
    rng = random.Random(args.seed)
    total = int(args.mib * (1 << 20))
    piece = (args.piece_kib or (1024 if total > (16 << 20) else 64)) << 10
    base = f"{args.scheme}://{args.address}:{args.port}"

    if args.bulk:
        v1, bulk_pieces = make_bulk(total, piece)
        v2, versions = None, (v1,)
    else:
        v1 = make_v1(rng, total, piece, args.small_files, args.files)
        v2 = make_v2(rng, v1)
        versions = (v1, v2)
    signer, stranger = Signer(), Signer()
    remote = {"type": "httpPiece", "flags": "vcdiff", "baseUrl": base + "/pieces/"}
    for v in versions:
        write_text(os.path.join(www, "meta", v.id + ".json"), signer.sign(metafile_document(v)))
        catalog = {"id": v.id, "metafile": f"{base}/meta/{v.id}.json", "config": {"remote": remote}}
        write_text(os.path.join(www, "catalog", v.id, "catalog.json"), signer.sign(catalog))
        write_text(os.path.join(www, "other", v.id, "catalog.json"), stranger.sign(catalog))
        expired = dict(catalog, exp=int(time.time()) - 3600)
        write_text(os.path.join(www, "expired", v.id, "catalog.json"), signer.sign(expired))
        plain = dict(catalog, metafile=f"{base}/unsigned/{v.id}.json")
        write_text(os.path.join(www, "unsigned", v.id, "catalog.json"), json.dumps(plain))
        write_text(os.path.join(www, "unsigned", v.id + ".json"), json.dumps(metafile_document(v)))
        write_text(os.path.join(www, "aliases", v.id + ".json"), signer.sign({REPOSITORY: v.id}))
        lines = "".join(f"{f['sha1']}  {f['name']}\n" for f in v.files)
        write_text(os.path.join(root, "expected", v.id + ".sha1"), lines)
    if len(versions) > 1:
        catalog = {"id": "v2", "metafile": f"{base}/meta/v2.json", "config": {"remote": remote}}
        write_text(os.path.join(www, "catalog", "v2", "v1", "catalog.json"), signer.sign(catalog))
    write_text(os.path.join(www, "alias.json"), signer.sign({REPOSITORY: "v1"}))

    listing, changed = [], []
    changed_bytes = delta_bytes = 0
    if args.bulk:
        for digest, data in zip(v1.digests, bulk_pieces):
            write_bytes(os.path.join(www, "pieces", "v1", digest.hex() + ".varnopiece"), data)
            listing.append(f"v1 {digest.hex()} 2")
    else:
        changed_bytes, delta_bytes = write_pieces(www, rng, versions, listing, changed)
    write_text(os.path.join(root, "pieces.txt"), "\n".join(listing) + "\n")
    write_text(os.path.join(root, "changed.txt"), "".join(d + "\n" for d in changed))
    if args.whole_changed:
        write_whole_changed(root, v1, v2, len(changed), changed_bytes, delta_bytes)

    tls = os.path.join(root, "tls")
    os.makedirs(tls, exist_ok=True)
    os.makedirs(os.path.join(root, "nginx-tmp"), exist_ok=True)
    pin = certificate(tls, "server", "IP:" + args.address)
    certificate(tls, "other", "DNS:other.invalid")
    write_text(os.path.join(root, "nginx.conf"),
               nginx_conf(root, args.port, "server", address=args.address))
    write_text(os.path.join(root, "nginx-other.conf"), nginx_conf(root, args.port, "other"))
    write_text(os.path.join(root, "nginx-slow.conf"), nginx_conf(root, args.port, "server", "64k"))
    app = {"webGet": {"whitelist": [args.address]},
           "keyStores": {"content": base64.b64encode(signer.public_der()).decode()},
           "thumbprintStores": {"app": [pin]}}
    write_text(os.path.join(root, "app.json"), json.dumps(app, indent=1))
    client = os.path.join(root, "client")
    repo = {"repository": REPOSITORY, "alias": base + "/alias.json", "catalog": base + "/catalog/",
            "metafile": os.path.join(client, "game.metafile.json"), "certStore": "content",
            "local": {"type": "file", "path": os.path.join(client, "game")},
            "pending": {"type": "filePiece", "path": os.path.join(client, "game.pending")}}
    write_text(os.path.join(root, "repo.json"), json.dumps(repo, indent=1))
    # The piece storage asks for its password under its location.
    credentials = [{"filter": "StorageDecrypt", "host": remote["baseUrl"], "password": PASSWORD}]
    write_text(os.path.join(root, "credentials.json"), json.dumps(credentials), 0o600)
    os.makedirs(client, exist_ok=True)


if __name__ == "__main__":
    main()
