#!/usr/bin/python3
"""Content trees for the catalog, alias and metafile readers (and the
storage engine after them), made by tests/contenttree from a seed.

  gen_contenttree.py <dir> [--port N] [--url-base URL] [--versions N] [--seed N]

Writes <dir>/contenttree/:
  meta/<v>.json           the metafile of version v ("1" ... "N")
  expected/<v>.json       what a reader must derive: "files" as
                          [name, offset, pad, size, sha1 or ""], "spellings"
                          as [name as written, index of the entry a look-up
                          by that name finds], "pieces" as [length, digest
                          hex], "totalLength", "totalPadding", "pieceSize",
                          "algorithm", "hashPadding", "writeAlign", "padMode",
                          "modes" as [permission bits, mtime or null]
  catalog/<v>/catalog.json and catalog/<v>/<v-1>/catalog.json (versions 2-4)
  alias.json              {"game": "<latest full version>", "other": "x"}
  files/<v>/...           the files of versions 1-4 (links, read-only
                          entries and mtimes included)
  signed/{es256,rs256}/   compact JWS of alias.json, catalog/2, the latest
                          version's catalog and meta/2,
                          with public.pem, public.der (SubjectPublicKeyInfo)
                          and jwks.json beside them
  faults/<name>.json      one faulted document per case; faults/index.json
                          lists [name, kind (metafile, alias, catalog),
                          code, codeEx]
  install/<v>/            installed trees for the file storage and their
                          damaged states (see contenttree/install.py)
  pieces/                 pieces as piece storages keep them (see
                          contenttree/pieces.py): members/, meta/, flat/,
                          cache/<v>/flags{0,1}/<id>/<digest>.varnopiece (plain
                          piece storages in the default layout),
                          <v>/ and <old>/ (deltas), faults/, cases.txt,
                          faults.txt, pattern.bin
  http/                   trees of the HTTP storage drivers (see
                          contenttree/httptree.py)
  nginx.conf              serves the tree on 127.0.0.1:<port> (port 0 when
                          none is given: the caller writes its own); logs
                          and pid file relative to nginx's prefix (-p)
Catalog "metafile" URLs are <url-base>/meta/<v>.json: by default
"http://127.0.0.1:<port>" with --port, else "" (root-relative).
"""
import argparse
import base64
import json
import os
import random
import shutil
import sys

sys.dont_write_bytecode = True  # keep the source tree clean of __pycache__

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from contenttree import httptree, install, pieces  # noqa: E402
from contenttree import (ALGORITHMS, expected_document, make_version, metafile_document,  # noqa: E402
                         nginx_conf, write_files, write_json)

SEED = 0xC0_4744
REPOSITORY = "game"
FULL_VERSIONS = 4
BIG_FILES = 20000


def b64u(data):
    return base64.urlsafe_b64encode(data).rstrip(b"=").decode()


def sign_documents(root, docs):
    """Compact JWS of each (name, bytes) with an ES256 and an RS256 key."""
    try:
        from cryptography.hazmat.primitives import hashes, serialization
        from cryptography.hazmat.primitives.asymmetric import ec, padding, rsa, utils
    except ImportError:
        return
    ec_key = ec.generate_private_key(ec.SECP256R1())
    rsa_key = rsa.generate_private_key(public_exponent=65537, key_size=2048)

    def es256(data):
        der = ec_key.sign(data, ec.ECDSA(hashes.SHA256()))
        r, s = utils.decode_dss_signature(der)
        return r.to_bytes(32, "big") + s.to_bytes(32, "big")

    def rs256(data):
        return rsa_key.sign(data, padding.PKCS1v15(), hashes.SHA256())

    for alg, key, sign in (("ES256", ec_key, es256), ("RS256", rsa_key, rs256)):
        out = os.path.join(root, "signed", alg.lower())
        os.makedirs(out, exist_ok=True)
        header = b64u(json.dumps({"alg": alg, "typ": "JWT"}).encode())
        for name, data in docs:
            signing_input = header + "." + b64u(data)
            token = signing_input + "." + b64u(sign(signing_input.encode()))
            path = os.path.join(out, name)
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, "w") as f:
                f.write(token)
        public = key.public_key()
        with open(os.path.join(out, "public.der"), "wb") as f:
            f.write(public.public_bytes(serialization.Encoding.DER,
                                        serialization.PublicFormat.SubjectPublicKeyInfo))
        with open(os.path.join(out, "public.pem"), "wb") as f:
            f.write(public.public_bytes(serialization.Encoding.PEM,
                                        serialization.PublicFormat.SubjectPublicKeyInfo))
        numbers = public.public_numbers()
        if alg == "ES256":
            jwk = {"kty": "EC", "crv": "P-256", "x": b64u(numbers.x.to_bytes(32, "big")),
                   "y": b64u(numbers.y.to_bytes(32, "big"))}
        else:
            jwk = {"kty": "RSA", "n": b64u(numbers.n.to_bytes((numbers.n.bit_length() + 7) // 8, "big")),
                   "e": b64u(numbers.e.to_bytes(3, "big"))}
        jwk.update({"kid": alg.lower(), "alg": alg, "use": "sig"})
        write_json(os.path.join(out, "jwks.json"), {"keys": [jwk]})


def small_metafile(**over):
    """A loadable metafile of two files (10 and 5 bytes, SHA1, piece size 8)
    that a fault case changes."""
    doc = {"id": "f", "files": [{"name": "a/b.txt", "size": 10}, {"name": "c", "size": 5}],
           "pieces": {"algorithm": "SHA1", "size": 8,
                      "digests": [base64.b64encode(bytes([i]) * 20).decode() for i in range(2)]}}
    doc.update(over)
    return doc


def digests(n, size=20):
    return [base64.b64encode(bytes([i % 256]) * size).decode() for i in range(n)]


def fault_cases():
    """(name, kind, document or text, code, codeEx)."""
    m = small_metafile
    files = lambda *names: [{"name": n, "size": 10} for n in names]  # noqa: E731
    cases = [("baseline", "metafile", m(), 0, 0),
             ("baseline_pad_list", "metafile",
              m(pad=[{"offset": 10, "size": 1}, {"offset": 16, "size": 0}]), 0, 0)]
    bad_names = {"dotdot": "../../x", "inner_dotdot": "a/../../x", "absolute": "/etc/x",
                 "backslash_root": "\\x", "drive": "C:\\x", "drive_slash": "c:/x", "empty": "",
                 "dot": "a/./b", "empty_component": "a//b", "trailing_slash": "a/",
                 "backslash_dotdot": "a\\..\\..\\x", "control": "a\u0001b", "nul": "a\u0000b",
                 "delete": "a\u007fb", "long": "n" * 4096}
    for key, name in bad_names.items():
        cases.append((f"name_{key}", "metafile",
                      m(files=[{"name": "ok", "size": 10}, {"name": name, "size": 5}]), 976, 0))
    cases.append(("name_missing", "metafile", m(files=[{"name": "ok", "size": 10}, {"size": 5}]), 976, 0))
    cases.append(("entry_empty", "metafile", m(files=[{"name": "ok", "size": 15}, {}]), 976, 0))
    cases.append(("entry_scalar", "metafile", m(files=[{"name": "ok", "size": 15}, "c"]), 976, 0))
    cases.append(("id_object", "metafile", m(id={"v": "1"}), 976, 0))
    bad_ids = {"slash": "a/b", "backslash": "a\\b", "dot": ".", "dotdot": "..", "long": "i" * 134,
               "control": "a\u0002", "nul": "a\u0000b"}
    for key, vid in bad_ids.items():
        cases.append((f"id_{key}", "metafile", m(id=vid), 976, 0))
        cases.append((f"alias_id_{key}", "alias", {REPOSITORY: vid}, 976, 0))
        cases.append((f"catalog_id_{key}", "catalog", {"id": vid, "metafile": "/meta/1.json"}, 976, 0))
    pieces = lambda **p: dict({"algorithm": "SHA1", "size": 8, "digests": digests(2)}, **p)  # noqa
    geometry = {
        "piece_size_zero": m(pieces=pieces(size=0)),
        "piece_size_negative": m(pieces=pieces(size=-8)),
        "piece_size_huge": m(files=[{"name": "a", "size": 1}],
                             pieces=pieces(size=(1 << 30) + 1, digests=digests(1))),
        "size_negative": m(files=[{"name": "a", "size": 20}, {"name": "b", "size": -5}]),
        "pad_negative": m(files=[{"name": "a", "size": 10, "pad": -2}, {"name": "b", "size": 7}]),
        "pad_huge": m(files=[{"name": "a", "size": 1, "pad": 1 << 31}],
                      pieces=pieces(size=1 << 30, digests=digests(3))),
        "range_size_negative": m(pad=[{"offset": 10, "size": -1}]),
        "range_size_huge": m(files=[{"name": "a", "size": 1}], pad=[{"offset": 1, "size": 1 << 31}],
                             pieces=pieces(size=1 << 30, digests=digests(3))),
        "range_offset_negative": m(pad=[{"offset": -1, "size": 1}, {"offset": 10, "size": 1}]),
        "stream_too_long": m(files=[{"name": "a", "size": 1 << 61}, {"name": "b", "size": 1 << 61},
                                    {"name": "c", "size": 1}],
                             pieces=pieces(size=1 << 30)),
        "digests_extra": m(pieces=pieces(digests=digests(3))),
        "digests_missing": m(pieces=pieces(digests=digests(1))),
        "digests_none": m(pieces=pieces(digests=[])),
        "pad_crosses_piece": m(files=[{"name": "a", "size": 6, "pad": 4}, {"name": "b", "size": 6}]),
        "pads_unordered": m(pad=[{"offset": 10, "size": 1}, {"offset": 3, "size": 1}],
                            pieces=pieces(digests=digests(3))),
        "pads_overlapping": m(pad=[{"offset": 3, "size": 4}, {"offset": 5, "size": 1}],
                              pieces=pieces(digests=digests(3))),
        "digest_short": m(pieces=pieces(digests=digests(2, 16))),
        "algorithm_unknown": m(pieces=pieces(algorithm="SHA3")),
        "root_two_elements": [m(), m()],
        "root_scalar": 42,
        "root_array_scalar": ["x"],
    }
    for name, doc in geometry.items():
        cases.append((name, "metafile", doc, 976, 0))
    cases.append(("digest_undecodable", "metafile", m(pieces=pieces(digests=["@@@@", "AAAA"])), 987, 11))
    cases.append(("digest_mixed_lengths", "metafile",
                  m(pieces=pieces(digests=digests(1) + digests(1, 16))), 987, 11))
    cases.append(("digest_too_long", "metafile", m(pieces=pieces(digests=digests(2, 65))), 987, 11))
    cases.append(("alias_key_missing", "alias", {"other": "7"}, 976, 0))
    cases.append(("alias_key_not_string", "alias", {REPOSITORY: {"id": "7"}}, 976, 0))
    cases.append(("catalog_id_missing", "catalog", {"metafile": "/meta/1.json"}, 976, 0))
    cases.append(("catalog_id_empty", "catalog", {"id": "", "metafile": "/meta/1.json"}, 976, 0))
    cases.append(("catalog_metafile_missing", "catalog", {"id": "7"}, 976, 0))
    cases.append(("catalog_metafile_empty", "catalog", {"id": "7", "metafile": ""}, 976, 0))
    return cases


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("dir")
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--url-base", default=None)
    parser.add_argument("--versions", type=int, default=300)
    parser.add_argument("--seed", type=int, default=SEED)
    args = parser.parse_args()
    root = os.path.join(args.dir, "contenttree")
    if os.path.isdir(root):
        for dirpath, dirnames, filenames in os.walk(root):
            for d in dirnames:
                os.chmod(os.path.join(dirpath, d), 0o755)
            for f in filenames:
                p = os.path.join(dirpath, f)
                if not os.path.islink(p):
                    os.chmod(p, 0o644)
        shutil.rmtree(root)
    os.makedirs(root)
    rng = random.Random(args.seed)
    base = args.url_base if args.url_base is not None else (
        f"http://127.0.0.1:{args.port}" if args.port else "")
    big = {args.versions // 3, 2 * args.versions // 3, args.versions} if args.versions >= 30 else set()
    versions = []
    for k in range(1, args.versions + 1):
        vid = str(k)
        full = k <= FULL_VERSIONS
        if k in big:
            nfiles = BIG_FILES
        elif full:
            nfiles = rng.choice([3, 12, 40])
        else:
            nfiles = rng.choice([0, 1, 2, 3, 5, 8, 20, 40, 101, 150])
        v = make_version(rng, vid, nfiles, full=full, budget_pieces=3000)
        versions.append(v)
        doc = metafile_document(v)
        write_json(os.path.join(root, "meta", vid + ".json"), doc)
        write_json(os.path.join(root, "expected", vid + ".json"), expected_document(v))
        if full:
            write_files(root, v)
            catalog = {"id": vid, "metafile": f"{base}/meta/{vid}.json",
                       "config": {"requests": 4, "cleanup": True}}
            write_json(os.path.join(root, "catalog", vid, "catalog.json"), catalog)
            if k > 1:
                old = str(k - 1)
                write_json(os.path.join(root, "catalog", vid, old, "catalog.json"),
                           dict(catalog, config={"requests": 2, "from": old}))
    latest = str(min(FULL_VERSIONS, args.versions))
    write_json(os.path.join(root, "alias.json"), {REPOSITORY: latest, "other": "x"})
    with open(os.path.join(root, "nginx.conf"), "w") as f:
        f.write(nginx_conf(root, args.port))
    os.makedirs(os.path.join(root, "tmp"), exist_ok=True)
    if args.versions >= 2:
        names = {"alias.json", "catalog/2/catalog.json", f"catalog/{latest}/catalog.json",
                 "meta/2.json"}
        docs = [(name, open(os.path.join(root, name), "rb").read()) for name in sorted(names)]
        sign_documents(root, docs)
    index = []
    for name, kind, doc, code, code_ex in fault_cases():
        write_json(os.path.join(root, "faults", name + ".json"), doc)
        index.append([name, kind, code, code_ex])
    write_json(os.path.join(root, "faults", "index.json"), index)
    pieces.write_tree(os.path.join(root, "pieces"), random.Random(args.seed ^ 0x45),
                      members=args.versions)
    httptree.write_tree(os.path.join(root, "http"), random.Random(args.seed ^ 0x48))
    install.write_tree(os.path.join(root, "install"), random.Random(args.seed ^ 0x47))


if __name__ == "__main__":
    main()
