#!/usr/bin/python3
"""What `keelson sync` needs beside a tests/synctree.py version to run with
security on, for the synchronisation benchmark:

  bench_setup.py cert <tls dir>
      an openssl certificate for IP 127.0.0.1: <tls dir>/server.{crt,key}
  bench_setup.py sign <dir> <http base URL> <https base URL> <tls dir>
      <dir>/signed/meta.json (the metafile as compact JWS),
      <dir>/signed/catalog-<http|https>.json (the catalog, its "metafile" on
      that base) and <dir>/app.json: the whitelist, the key store "content"
      and the certificate pinned
"""
import base64
import json
import os
import sys

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from make_tree import Signer, certificate, write_text  # noqa: E402


def pin_of(tls):
    import hashlib
    import subprocess
    der = subprocess.run(["openssl", "x509", "-in", os.path.join(tls, "server.crt"), "-outform",
                          "DER"], check=True, stdout=subprocess.PIPE).stdout
    return base64.b64encode(hashlib.sha256(der).digest()).decode()


def main():
    if sys.argv[1] == "cert":
        os.makedirs(sys.argv[2], exist_ok=True)
        certificate(sys.argv[2], "server", "IP:127.0.0.1")
        return
    root, http, https, tls = sys.argv[2:6]
    signer = Signer()
    with open(os.path.join(root, "meta.json")) as f:
        meta = json.load(f)
    write_text(os.path.join(root, "signed", "meta.json"), signer.sign(meta))
    with open(os.path.join(root, "catalog.json")) as f:
        catalog = json.load(f)
    for name, base in (("http", http), ("https", https)):
        doc = dict(catalog, metafile=base + "/signed/meta.json")
        write_text(os.path.join(root, "signed", f"catalog-{name}.json"), signer.sign(doc))
    app = {"webGet": {"whitelist": ["127.0.0.1"]},
           "keyStores": {"content": base64.b64encode(signer.public_der()).decode()},
           "thumbprintStores": {"app": [pin_of(tls)]}}
    write_text(os.path.join(root, "app.json"), json.dumps(app))


if __name__ == "__main__":
    main()
