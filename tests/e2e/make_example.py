#!/usr/bin/python3
"""Writes examples/minimal/: one small signed version of the repository
"minimal" as a content server publishes it, for README's "Publish your own"
and tests/e2e/example_e2e.py. examples/minimal is its output, checked in.

  make_example.py [--key FILE] [--version V] <examples/minimal>

Writes under the directory:
  www/alias.json                 signed {"minimal": "1.0"}
  www/catalog/1.0/catalog.json   signed; names the metafile and an httpPiece
                                 remote at http://127.0.0.1:8000/pieces/
  www/meta/1.0.json              the signed metafile
  www/pieces/1.0/<sha1>.varnopiece  every piece with its header, encodings
                                 rotating through pad, pad+gzip, plain, gzip
  app.json                       the application file: whitelist 127.0.0.1 and
                                 the key store "minimal" (the public key only)
  repo.json                      the repository file, paths relative to the
                                 directory keelson runs in
  expected.sha1                  `sha1sum -c` list, relative to that directory

--key FILE keeps the signing key (PEM, mode 0600): made there on the first
run, read on every later one, so a later version (--version 2.0 into the
same directory: the alias then names it, the older version's files stay)
is signed with the key the clients hold. Without --key the key is made and
dropped: only its public half is written. File data follow the seed and
the version.
"""
import argparse
import base64
import json
import os
import random
import sys

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from make_tree import Signer, encode_piece, write_bytes, write_text  # noqa: E402
from contenttree import Version, _digests, add_file, plain_metafile  # noqa: E402
from contenttree.pieces import pieces_of  # noqa: E402

BASE = "http://127.0.0.1:8000"
REPOSITORY = "minimal"
PIECE = 16384
ROTATION = (1, 3, 0, 2)  # pad, pad+gzip, plain, gzip

README = """minimal {0}

The example installation of keelson's examples/minimal: a signed tree that
`python3 -m http.server` serves and `keelson sync` installs. bin/hello is a
program (metafile "mode" 0755).
"""
HELLO = "#!/bin/sh\necho 'hello from minimal {0}'\n"


def load_key(signer, path):
    """The key at path, or a new one written there (mode 0600, never over
    another file)."""
    from cryptography.hazmat.primitives import serialization
    try:
        with open(path, "rb") as f:
            signer.key = serialization.load_pem_private_key(f.read(), password=None)
        return
    except FileNotFoundError:
        pass
    pem = signer.key.private_bytes(serialization.Encoding.PEM,
                                   serialization.PrivateFormat.PKCS8,
                                   serialization.NoEncryption())
    with os.fdopen(os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600), "wb") as f:
        f.write(pem)


def make_version(rng, version):
    numbers = "".join(f"{k:6d} {k * k:12d}\n" for k in range(1200)).encode()
    files = [("README.txt", README.format(version).encode(), None),
             ("bin/hello", HELLO.format(version).encode(), "0755"),
             ("data/numbers.txt", numbers, None),
             ("data/blob.bin", rng.randbytes(20000), None)]
    v = Version(version)
    v.piece_size, v.algorithm, v.top_algorithm = PIECE, "SHA1", "SHA1"
    v.hash_padding, v.hash_padding_written, v.pad_mode, v.full = True, True, "list", True
    for name, data, mode in files:
        pad = 0
        if name == "data/numbers.txt":
            end = v.length + len(data)
            pad = -end % PIECE  # data/blob.bin starts a piece
            v.ranges.append((end, pad))
        add_file(v, name, data, pad, mode=mode)
    v.digests = _digests(rng, v)
    return v


def main():
    parser = argparse.ArgumentParser(usage=__doc__)
    parser.add_argument("--key")
    parser.add_argument("--version", default="1.0")
    parser.add_argument("root")
    a = parser.parse_args()
    root = os.path.abspath(a.root)
    www = os.path.join(root, "www")
    rng = random.Random(0x6d696e)
    v = make_version(rng, a.version)
    signer = Signer()
    if a.key is not None:
        load_key(signer, a.key)
    remote = {"type": "httpPiece", "baseUrl": BASE + "/pieces/"}
    catalog = {"id": v.id, "metafile": f"{BASE}/meta/{v.id}.json", "config": {"remote": remote}}
    write_text(os.path.join(www, "alias.json"), signer.sign({REPOSITORY: v.id}))
    write_text(os.path.join(www, "catalog", v.id, "catalog.json"), signer.sign(catalog))
    write_text(os.path.join(www, "meta", v.id + ".json"), signer.sign(plain_metafile(v)))
    for i, (padded, plain) in enumerate(pieces_of(v)):
        write_bytes(os.path.join(www, "pieces", v.id, v.digests[i].hex() + ".varnopiece"),
                    encode_piece(rng, padded, plain, ROTATION[i % len(ROTATION)]))
    key = base64.b64encode(signer.public_der()).decode()
    app = {"webGet": {"whitelist": ["127.0.0.1"]}, "keyStores": {REPOSITORY: key}}
    # 0644 whatever the umask: keelson refuses a file group or others may write.
    write_text(os.path.join(root, "app.json"), json.dumps(app, indent=2) + "\n", 0o644)
    repo = {"repository": REPOSITORY, "alias": BASE + "/alias.json",
            "catalog": BASE + "/catalog/", "certStore": REPOSITORY,
            "metafile": REPOSITORY + ".metafile.json",
            "local": {"type": "file", "path": REPOSITORY}}
    write_text(os.path.join(root, "repo.json"), json.dumps(repo, indent=2) + "\n", 0o644)
    write_text(os.path.join(root, "expected.sha1"),
               "".join(f"{f['sha1']}  {REPOSITORY}/{f['name']}\n" for f in v.files))


if __name__ == "__main__":
    main()
