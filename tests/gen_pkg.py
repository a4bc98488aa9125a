#!/usr/bin/python3
"""Installer packages (xar archives) for the package reader: made by bsdtar
--format xar (libarchive-tools), their TOC checksum and per-file checksums
recomputed with Python's zlib, hashlib and xml.etree as the oracle; signed
here by rewriting the TOC: "signature" is `openssl pkeyutl -sign -pkeyopt
digest:sha1` over the checksum, "x-signature" is `openssl cms -sign -binary
-md sha1` over the compressed TOC (its messageDigest is the checksum). The
chain is a codeSigning chain of tests/gen_pki.py's builder.

Writes into <dir>/pkg/:
  <case>.pkg, root.der
  pkg_cases.txt  <case> <verdict with the root trusted 1/0>
      <a text the log must hold, or ->
"""
import base64
import hashlib
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import xml.etree.ElementTree as ET
import zlib

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import gen_pki  # noqa: E402
from cryptography.hazmat.primitives import serialization  # noqa: E402
from cryptography.x509.oid import ExtendedKeyUsageOID  # noqa: E402


def run(args, data=None):
    r = subprocess.run(args, input=data, capture_output=True, timeout=120)
    if r.returncode != 0:
        raise SystemExit(f"{args[0]} failed: {r.stderr.decode(errors='replace')}")
    return r.stdout


def split(pkg):
    magic, hsize, version, clen, ulen, algo = struct.unpack(">4sHHQQI", pkg[:28])
    assert magic == b"xar!"
    toc = zlib.decompress(pkg[hsize:hsize + clen])
    assert len(toc) == ulen
    return ET.fromstring(toc), pkg[hsize + clen:], algo


def check_bsdtar(root, heap):
    """The oracle's view must agree with what bsdtar wrote."""
    toc = root.find("toc")
    for data in toc.iter("data"):
        off, length = int(data.find("offset").text), int(data.find("length").text)
        sum_ = data.find("archived-checksum")
        got = hashlib.new(sum_.get("style"), heap[off:off + length]).hexdigest()
        assert got == sum_.text.strip(), "per-file checksum disagrees with bsdtar"


def build(root, heap, sig_kind, chain, algo=1, style="sha1", checksum_size=None, tmp=None):
    """root's TOC with the checksum (and a signature) set, as a package."""
    toc = root.find("toc")
    cs = toc.find("checksum")
    cs.set("style", style)
    digest_name = "sha1" if algo == 1 else "md5"
    size = hashlib.new(digest_name).digest_size if checksum_size is None else checksum_size
    cs.find("size").text = str(size)
    for old in toc.findall("signature") + toc.findall("x-signature"):
        toc.remove(old)
    end = len(heap)
    sig_size = 0
    if sig_kind == "raw":
        sig_size = 256
    elif sig_kind == "cms":
        probe = run(["openssl", "cms", "-sign", "-binary", "-md", "sha1", "-signer", chain["leaf"],
                     "-inkey", chain["key"], "-certfile", chain["inter"], "-outform", "DER",
                     "-nosmimecap"], b"x" * 100)
        sig_size = len(probe) + 32
    if sig_kind:
        sig = ET.SubElement(toc, "signature" if sig_kind == "raw" else "x-signature",
                            style="RSA")
        ET.SubElement(sig, "offset").text = str(end)
        ET.SubElement(sig, "size").text = str(sig_size)
        info = ET.SubElement(sig, "KeyInfo")
        x509 = ET.SubElement(info, "X509Data")
        for cert in chain["certs"]:
            ET.SubElement(x509, "X509Certificate").text = base64.b64encode(cert.der).decode()
    text = ET.tostring(root, xml_declaration=True, encoding="UTF-8")
    compressed = zlib.compress(text, 9)
    checksum = hashlib.new(digest_name, compressed).digest()
    stored = (checksum + bytes(64))[:size]
    heap = stored + heap[len(stored):] if len(heap) >= len(stored) else stored
    signature = b""
    if sig_kind == "raw":
        signature = run(["openssl", "pkeyutl", "-sign", "-inkey", chain["key"], "-pkeyopt",
                         "digest:" + digest_name], checksum)
        assert len(signature) == sig_size
    elif sig_kind == "cms":
        signature = run(["openssl", "cms", "-sign", "-binary", "-md", "sha1", "-signer",
                         chain["leaf"], "-inkey", chain["key"], "-certfile", chain["inter"],
                         "-outform", "DER", "-nosmimecap"], compressed)
        assert len(signature) <= sig_size
        signature += bytes(sig_size - len(signature))
    header = struct.pack(">4sHHQQI", b"xar!", 28, 1, len(compressed), len(text), algo)
    return header + compressed + heap[:end] + signature


def main():
    out = os.path.join(sys.argv[1], "pkg")
    shutil.rmtree(out, ignore_errors=True)
    os.makedirs(out)
    root = gen_pki.Cert("Pkg Root CA", gen_pki.key(), ku="cert,crl")
    inter = gen_pki.Cert("Pkg Intermediate CA", gen_pki.key(), root, ku="cert,crl")
    leaf = gen_pki.leaf(inter, "pkg.example.com", eku=[ExtendedKeyUsageOID.CODE_SIGNING])
    with open(os.path.join(out, "root.der"), "wb") as f:
        f.write(root.der)
    rows = []
    with tempfile.TemporaryDirectory() as tmp:
        chain = {"leaf": os.path.join(tmp, "leaf.pem"), "inter": os.path.join(tmp, "inter.pem"),
                 "key": os.path.join(tmp, "key.pem"), "certs": [leaf, inter, root]}
        with open(chain["leaf"], "wb") as f:
            f.write(leaf.pem)
        with open(chain["inter"], "wb") as f:
            f.write(inter.pem + root.pem)
        with open(chain["key"], "wb") as f:
            f.write(leaf.key.private_bytes(serialization.Encoding.PEM,
                                           serialization.PrivateFormat.TraditionalOpenSSL,
                                           serialization.NoEncryption()))
        src = os.path.join(tmp, "src")
        os.makedirs(os.path.join(src, "Payload", "bin"))
        with open(os.path.join(src, "Distribution"), "w") as f:
            f.write("<installer-gui-script/>\n")
        with open(os.path.join(src, "Payload", "bin", "tool"), "wb") as f:
            f.write(bytes(range(256)) * 40)
        plain = os.path.join(out, "plain.pkg")
        run(["bsdtar", "--format", "xar", "-C", src, "-cf", plain, "Distribution", "Payload"])
        data = open(plain, "rb").read()
        tree, heap, algo = split(data)
        assert algo == 1
        check_bsdtar(tree, heap)
        rows.append(("plain", "0", "Verify signature failed"))

        def emit(name, verdict, log, blob):
            with open(os.path.join(out, name + ".pkg"), "wb") as f:
                f.write(blob)
            rows.append((name, verdict, log))

        emit("signed_raw", "1", "-", build(split(data)[0], heap, "raw", chain))
        emit("signed_cms", "1", "-", build(split(data)[0], heap, "cms", chain))
        changed = bytearray(build(split(data)[0], heap, "raw", chain))
        tool = next(d for d in split(data)[0].iter("file") if d.find("name").text == "tool")
        clen = struct.unpack(">Q", changed[8:16])[0]
        at = 28 + clen + int(tool.find("data/offset").text) + 3
        changed[at] ^= 1
        emit("file_changed", "0", "PKG file does not match expected hash [tool]", bytes(changed))
        for n in (0, 1):
            emit(f"checksum_size{n}", "0", "PKG file checksum verification failed",
                 build(split(data)[0], heap, "raw", chain, checksum_size=n))
        emit("md5", "0", "PKG file checksum type mismatch",
             build(split(data)[0], heap, "raw", chain, algo=2, style="md5"))
        emit("style_upper", "1", "-", build(split(data)[0], heap, "cms", chain, style="SHA1"))
        huge = bytearray(build(split(data)[0], heap, "raw", chain))
        huge[8:16] = struct.pack(">Q", 0x80000000)
        emit("toc_huge", "0", "TOC compressed size", bytes(huge))
        huge = bytearray(build(split(data)[0], heap, "raw", chain))
        huge[16:24] = struct.pack(">Q", 1 << 40)
        emit("toc_inflates_huge", "0", "TOC uncompressed size", bytes(huge))
    with open(os.path.join(out, "pkg_cases.txt"), "w") as f:
        f.write("".join("\t".join(r) + "\n" for r in rows))


if __name__ == "__main__":
    main()
