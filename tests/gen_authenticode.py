#!/usr/bin/python3
"""Signed PE files and CMS signatures for the PKCS#7 verifier and the PE
reader, with the verdicts and digests of independent tools: PE images built
by clang-14, llvm-rc-14 and lld-link-14, signed and verified by osslsigncode;
version fields read by python3-pefile and checked against llvm-readobj-14;
CMS signatures made and verified by the openssl command line. The chain is a
codeSigning chain of tests/gen_pki.py's builder.

Writes into <dir>/authenticode/:
  root.der, other_root.der   the trusted root and an unrelated one
  <name>.exe                 the images (see pe_cases.txt)
  pe_cases.txt  one image a line, fields separated by tabs:
      <file> <PE kind 32/64> <digest: none, SHA1, SHA256 or MD5>
      <osslsigncode's calculated image digest hex, or ->
      <osslsigncode verify verdict 1/0, or ->
  pe_version.txt  <file> <key> <value>: the StringFileInfo strings, then
      FileVersion and ProductVersion from the fixed info (which win)
  cms_cases.txt  <name> <signature DER hex> <content hex>
      <openssl cms -verify verdict for the content 1/0>
      <altered content hex> <verdict for the altered content>
      <the signature with the altered content inside (attached), else as
      before>
  Both verdicts use the root alone as trust anchor, purpose any.
"""
import os
import re
import shutil
import subprocess
import sys
import tempfile

import pefile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import gen_pki  # noqa: E402
from cryptography.hazmat.primitives import serialization  # noqa: E402
from cryptography.x509.oid import ExtendedKeyUsageOID  # noqa: E402

LLVM = "/usr/lib/llvm-14/bin/"

PROGRAM = """
static char zeros[200000];   /* uninitialised data: a section without raw data */
int start(void) { return zeros[7]; }
"""
OTHER_PROGRAM = "int start(void) { return 42; }\n"

RC = """1 VERSIONINFO
FILEVERSION 1,2,3,4
PRODUCTVERSION 5,6,7,8
BEGIN
  BLOCK "StringFileInfo"
  BEGIN
    BLOCK "040904b0"
    BEGIN
      VALUE "CompanyName", "Keelson Test Co"
      VALUE "FileVersion", "9.9.9.9-text"
      VALUE "ProductName", L"Keelson \\x00e9t\\x00e9"
      VALUE "LegalCopyright", "(c) 2026"
      VALUE "Comments", ""
    END
  END
  BLOCK "VarFileInfo"
  BEGIN
    VALUE "Translation", 0x409, 1200
  END
END
"""


def run(args, check=True):
    r = subprocess.run(args, capture_output=True, timeout=120)
    if check and r.returncode != 0:
        raise SystemExit(f"{args[0]} failed: {r.stderr.decode(errors='replace')}")
    return r


def build(tmp, name, target, program, res):
    src = os.path.join(tmp, name + ".c")
    obj = os.path.join(tmp, name + ".obj")
    exe = os.path.join(tmp, name + ".exe")
    with open(src, "w") as f:
        f.write(program)
    run(["clang-14", "--target=" + target, "-c", src, "-o", obj])
    args = [LLVM + "lld-link", "/nodefaultlib", "/entry:start", "/subsystem:console", obj,
            "/out:" + exe]
    if res:
        args.insert(-1, res)
    run(args)
    return exe


def verify(path, ca):
    r = run(["osslsigncode", "verify", "-in", path, "-CAfile", ca], check=False)
    text = r.stdout.decode(errors="replace")
    m = re.search(r"Calculated message digest\s*:\s*([0-9A-Fa-f]+)", text)
    current = re.search(r"Current message digest\s*:\s*([0-9A-Fa-f]+)", text)
    return (m.group(1).lower() if m else "-", current.group(1).lower() if current else None,
            "1" if r.returncode == 0 else "0")


def readobj_fixed(path):
    """VS_FIXEDFILEINFO's file and product words as llvm-readobj dumps them."""
    text = run([LLVM + "llvm-readobj", "--coff-resources", path]).stdout.decode()
    data = bytearray()
    for line in re.findall(r"^\s+[0-9A-F]{4}: ((?:[0-9A-F]{2,8} ?)+)", text, re.M):
        data += bytes.fromhex(line.replace(" ", ""))
    at = data.find(b"\xbd\x04\xef\xfe")
    words = [int.from_bytes(data[at + 4 * i:at + 4 * i + 4], "little") for i in range(2, 6)]
    return words


def version_rows(name, path):
    pe = pefile.PE(path)
    rows = []
    for info in pe.FileInfo[0]:
        if info.Key != b"StringFileInfo":
            continue
        for table in info.StringTable:
            for key, value in table.entries.items():
                rows.append((name, key.decode(), value.decode()))
    fixed = pe.VS_FIXEDFILEINFO[0]
    words = [fixed.FileVersionMS, fixed.FileVersionLS, fixed.ProductVersionMS,
             fixed.ProductVersionLS]
    if words != readobj_fixed(path):
        raise SystemExit("pefile and llvm-readobj disagree on " + path)

    def text(ms, ls):
        return f"{ms >> 16}.{ms & 0xffff}.{ls >> 16}.{ls & 0xffff}"
    rows.append((name, "FileVersion", text(words[0], words[1])))
    rows.append((name, "ProductVersion", text(words[2], words[3])))
    return rows


def pem(path, certs):
    with open(path, "wb") as f:
        f.write(b"".join(c.pem for c in certs))


def key_pem(path, k):
    with open(path, "wb") as f:
        f.write(k.private_bytes(serialization.Encoding.PEM,
                                serialization.PrivateFormat.TraditionalOpenSSL,
                                serialization.NoEncryption()))


def attach(image, blob, out):
    """image with blob as its certificate table, attached by hand."""
    data = bytearray(open(image, "rb").read())
    data += bytes(-len(data) % 8)
    entry = blob + bytes(-len(blob) % 8)
    table = len(data)
    data += (len(entry) + 8).to_bytes(4, "little") + b"\x00\x02\x02\x00" + entry
    directory = pefile.PE(data=bytes(data)).OPTIONAL_HEADER.DATA_DIRECTORY[4].get_file_offset()
    data[directory:directory + 8] = table.to_bytes(4, "little") + \
        (len(data) - table).to_bytes(4, "little")
    with open(out, "wb") as f:
        f.write(data)


def der_element(blob):
    """The DER SEQUENCE an extracted signature holds: older osslsigncode
    writes the whole certificate-table entry (its 8-byte header, the
    signature, the padding), newer ones the signature alone."""
    if blob[:1] != b"\x30":
        blob = blob[8:int.from_bytes(blob[:4], "little")]
    if blob[1] & 0x80:
        n = blob[1] & 0x7f
        length = 2 + n + int.from_bytes(blob[2:2 + n], "big")
    else:
        length = 2 + blob[1]
    return blob[:length]


def forge(tmp, signed, other, other_digest, out):
    """The signature of signed, its signed image digest replaced by
    other's, attached to other."""
    sig = os.path.join(tmp, "extracted.der")
    run(["osslsigncode", "extract-signature", "-in", signed, "-out", sig])
    _, current, _ = verify(signed, os.devnull)
    blob = der_element(open(sig, "rb").read())
    old, new = bytes.fromhex(current), bytes.fromhex(other_digest)
    if blob.count(old) != 1:
        raise SystemExit("image digest not found once in the signature")
    forged = blob.replace(old, new)
    # Put together by hand: newer osslsigncode refuses to attach a
    # signature that does not verify, and older ones write it so that it
    # no longer parses. osslsigncode's verify must reject the result
    # (recorded as the verdict).
    attach(other, forged, out)


def cms_cases(tmp, chain, second, second_key, both_roots):
    content = os.path.join(tmp, "content.bin")
    altered = os.path.join(tmp, "altered.bin")
    body = b"Keelson signed content\r\n\x00\x01\x02" * 20
    with open(content, "wb") as f:
        f.write(body)
    with open(altered, "wb") as f:
        f.write(body[:-1] + b"\x03")
    signer, certfile, keyfile = chain["leaf"], chain["inter"], chain["key"]
    base = ["-signer", signer, "-inkey", keyfile, "-certfile", certfile, "-outform", "DER"]
    cases = {
        "cms-sha256-detached": ["openssl", "cms", "-sign", "-binary", "-md", "sha256"] + base,
        "cms-sha256-attached": ["openssl", "cms", "-sign", "-binary", "-md", "sha256",
                                "-nodetach"] + base,
        "smime-sha1-detached": ["openssl", "smime", "-sign", "-binary", "-md", "sha1"] + base,
        "cms-sha256-nocerts": ["openssl", "cms", "-sign", "-binary", "-md", "sha256",
                               "-nocerts", "-signer", signer, "-inkey", keyfile, "-outform",
                               "DER"],
        "cms-sha256-noattr": ["openssl", "cms", "-sign", "-binary", "-md", "sha256",
                              "-noattr"] + base,
        # Both chains inside; DER orders the signers, so either may be first.
        "cms-two-signers": ["openssl", "cms", "-sign", "-binary", "-md", "sha256", "-signer",
                            signer, "-inkey", keyfile, "-certfile", both_roots, "-outform", "DER",
                            "-signer", second, "-inkey", second_key],
    }
    rows = []
    for name, args in cases.items():
        out = os.path.join(tmp, name + ".p7s")
        run(args + ["-in", content, "-out", out])
        verdicts = []
        for data in (content, altered):
            verify_args = ["openssl", "cms", "-verify", "-binary", "-inform", "DER", "-in", out,
                           "-CAfile", chain["root"], "-purpose", "any", "-out", os.devnull]
            if not name.endswith("-attached"):
                verify_args += ["-content", data]
            elif data == altered:
                # Attached content travels inside; alter it there.
                blob = open(out, "rb").read()
                with open(out + ".alt", "wb") as f:
                    f.write(blob.replace(body, open(altered, "rb").read()))
                verify_args[verify_args.index(out)] = out + ".alt"
            verdicts.append("1" if run(verify_args, check=False).returncode == 0 else "0")
        sig = open(out, "rb").read()
        alt_sig = open(out + ".alt", "rb").read() if os.path.exists(out + ".alt") else sig
        rows.append((name, sig.hex(), body.hex(), verdicts[0],
                     open(altered, "rb").read().hex(), verdicts[1], alt_sig.hex()))
    return rows


def main():
    out = os.path.join(sys.argv[1], "authenticode")
    shutil.rmtree(out, ignore_errors=True)
    os.makedirs(out)
    root = gen_pki.Cert("Code Root CA", gen_pki.key(), ku="cert,crl")
    inter = gen_pki.Cert("Code Intermediate CA", gen_pki.key(), root, ku="cert,crl")
    code = gen_pki.leaf(inter, "code.example.com", eku=[ExtendedKeyUsageOID.CODE_SIGNING])
    other = gen_pki.Cert("Other Root CA", gen_pki.key(), ku="cert")
    other_leaf = gen_pki.leaf(other, "other.example.com",
                              eku=[ExtendedKeyUsageOID.CODE_SIGNING])
    for name, cert in (("root.der", root), ("other_root.der", other)):
        with open(os.path.join(out, name), "wb") as f:
            f.write(cert.der)
    rows, versions = [], []
    with tempfile.TemporaryDirectory() as tmp:
        chain = {"root": os.path.join(tmp, "root.pem"), "inter": os.path.join(tmp, "inter.pem"),
                 "leaf": os.path.join(tmp, "leaf.pem"), "key": os.path.join(tmp, "key.pem"),
                 "certs": os.path.join(tmp, "certs.pem")}
        pem(chain["root"], [root])
        # The signatures carry the whole chain: a pin store trusts a
        # certificate on the presented path, and the root is the pinned one.
        pem(chain["inter"], [inter, root])
        pem(chain["leaf"], [code])
        pem(chain["certs"], [code, inter, root])
        key_pem(chain["key"], code.key)
        pem(os.path.join(tmp, "second.pem"), [other_leaf])
        key_pem(os.path.join(tmp, "second.key"), other_leaf.key)

        rc = os.path.join(tmp, "ver.rc")
        res = os.path.join(tmp, "ver.res")
        with open(rc, "w") as f:
            f.write(RC)
        run([LLVM + "llvm-rc", "/FO", res, rc])
        images = {
            "pe32": build(tmp, "pe32", "i686-pc-windows-msvc", PROGRAM, res),
            "pe64": build(tmp, "pe64", "x86_64-pc-windows-msvc", PROGRAM, res),
            "other64": build(tmp, "other64", "x86_64-pc-windows-msvc", OTHER_PROGRAM, None),
        }
        # Data after the last section, before the table, is part of the digest.
        tail = os.path.join(tmp, "pe64tail.exe")
        shutil.copy(images["pe64"], tail)
        with open(tail, "ab") as f:
            f.write(bytes(range(200)))
        images["pe64tail"] = tail

        def emit(name, path, kind, digest):
            shutil.copy(path, os.path.join(out, name + ".exe"))
            calculated, _, verdict = verify(path, chain["root"]) if digest != "none" else \
                ("-", None, "-")
            rows.append((name + ".exe", kind, digest, calculated, verdict))

        for base, kind in (("pe32", "32"), ("pe64", "64"), ("pe64tail", "64"),
                           ("other64", "64")):
            emit(base, images[base], kind, "none")
            hashes = ("sha1", "sha256", "md5") if base == "pe64" else ("sha1", "sha256")
            for h in hashes:
                signed = os.path.join(tmp, f"{base}-{h}.exe")
                run(["osslsigncode", "sign", "-certs", chain["certs"], "-key", chain["key"],
                     "-h", h, "-in", images[base], "-out", signed])
                emit(f"{base}-{h}", signed, kind, h.upper())
        for base in ("pe32", "pe64"):
            versions += version_rows(base + ".exe", images[base])
        other_digest = next(r[3] for r in rows if r[0] == "other64-sha256.exe")
        forged = os.path.join(tmp, "forged.exe")
        forge(tmp, os.path.join(tmp, "pe64-sha256.exe"), images["other64"], other_digest, forged)
        emit("forged", forged, "64", "SHA256")
        pem(os.path.join(tmp, "both.pem"), [inter, root, other])
        cms = cms_cases(tmp, chain, os.path.join(tmp, "second.pem"),
                        os.path.join(tmp, "second.key"), os.path.join(tmp, "both.pem"))
    with open(os.path.join(out, "pe_cases.txt"), "w") as f:
        f.write("".join("\t".join(r) + "\n" for r in rows))
    with open(os.path.join(out, "pe_version.txt"), "w", encoding="utf-8") as f:
        f.write("".join("\t".join(r) + "\n" for r in versions))
    with open(os.path.join(out, "cms_cases.txt"), "w") as f:
        f.write("".join("\t".join(r) + "\n" for r in cms))


if __name__ == "__main__":
    main()
