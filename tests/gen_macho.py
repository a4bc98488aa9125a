#!/usr/bin/python3
"""Mach-O files for the Mach-O reader: x86_64 and arm64 programs compiled by
clang-14 and linked by ld64.lld-14 with an ad-hoc code signature (real
SHA-256 page hashes), a fat file from llvm-lipo-14, and a fat file listing
arm64 before x86_64 (put together here from the same two programs);
llvm-otool-14 is the oracle of their load commands and fat headers.

Writes into <dir>/macho/:
  x86_64, arm64, fat, fat_arm_first   the files
  text_changed   x86_64 with one byte of its __text section changed
  macho_cases.txt  one file a line, fields separated by tabs:
      <file> <slice offset on a 64-bit machine> <slice offset on a 32-bit
      machine> <code signature file offset> <code signature size>
  text_page.txt  <page index of the changed byte>
  cms_signed     x86_64 with a CMS blob (slot 0x10000): `openssl cms -sign
                 -binary -md sha256` over its CodeDirectory, detached; the
                 CodeDirectory's page hashes recomputed with hashlib for the
                 grown LC_CODE_SIGNATURE
  cms_other_cd   the same with an embedded SpcIndirectDataContent naming the
                 SHA-256 of another CodeDirectory (arm64's)
  root.der       the root of the signer's chain (tests/gen_pki.py, codeSigning)
"""
import os
import re
import shutil
import struct
import subprocess
import sys
import hashlib
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import gen_pki  # noqa: E402
from cryptography.hazmat.primitives import serialization  # noqa: E402
from cryptography.x509.oid import ExtendedKeyUsageOID  # noqa: E402

LLVM = "/usr/lib/llvm-14/bin/"
PROGRAM = """
int helper(int x) { return x * 3 + 1; }
int main(void) { return helper(2); }
"""


def run(args):
    r = subprocess.run(args, capture_output=True, timeout=120)
    if r.returncode != 0:
        raise SystemExit(f"{args[0]} failed: {r.stderr.decode(errors='replace')}")
    return r.stdout.decode(errors="replace")


def build(tmp, arch, target):
    src = os.path.join(tmp, "m.c")
    with open(src, "w") as f:
        f.write(PROGRAM)
    obj = os.path.join(tmp, arch + ".o")
    out = os.path.join(tmp, arch)
    run(["clang-14", "-target", target, "-c", src, "-o", obj])
    run([LLVM + "ld64.lld", "-arch", arch, "-platform_version", "macos", "11.0", "11.0",
         "-adhoc_codesign", "-e", "_main", "-o", out, obj])
    return out


def code_signature(path, arch=None):
    args = [LLVM + "llvm-otool", "-l"] + (["-arch", arch] if arch else []) + [path]
    text = run(args)
    m = re.search(r"cmd LC_CODE_SIGNATURE\s+cmdsize \d+\s+dataoff (\d+)\s+datasize (\d+)", text)
    return int(m.group(1)), int(m.group(2))


def text_offset(path):
    text = run([LLVM + "llvm-otool", "-l", path])
    m = re.search(r"sectname __text\s+segname __TEXT\s+addr \S+\s+size \S+\s+offset (\d+)", text)
    return int(m.group(1))


def fat_slices(path):
    text = run([LLVM + "llvm-otool", "-f", path])
    return [(int(c), int(o)) for c, o in
            re.findall(r"cputype (\d+)\s+cpusubtype \S+\s+capabilities \S+\s+offset (\d+)", text)]


def der(tag, body):
    n = len(body)
    head = bytes([n]) if n < 128 else bytes([0x80 | ((n.bit_length() + 7) // 8)]) + \
        n.to_bytes((n.bit_length() + 7) // 8, "big")
    return bytes([tag]) + head + body


def oid(text):
    parts = [int(p) for p in text.split(".")]
    body = bytes([parts[0] * 40 + parts[1]])
    for p in parts[2:]:
        enc = [p & 0x7F]
        p >>= 7
        while p:
            enc.insert(0, 0x80 | (p & 0x7F))
            p >>= 7
        body += bytes(enc)
    return der(0x06, body)


def spc_indirect(digest):
    """SpcIndirectDataContent naming a SHA-256 digest."""
    attribute = der(0x30, oid("1.3.6.1.4.1.311.2.1.15") + der(0x30, b""))
    algorithm = der(0x30, oid("2.16.840.1.101.3.4.2.1") + b"\x05\x00")
    return der(0x30, attribute + der(0x30, algorithm + der(0x04, digest)))


def first_code_directory(data, sig_off):
    count = struct.unpack(">I", data[sig_off + 8:sig_off + 12])[0]
    for i in range(count):
        kind, off = struct.unpack(">II", data[sig_off + 12 + 8 * i:sig_off + 20 + 8 * i])
        if kind == 0:
            length = struct.unpack(">I", data[sig_off + off + 4:sig_off + off + 8])[0]
            return data[sig_off + off:sig_off + off + length]
    raise SystemExit("no CodeDirectory")


def with_cms(path, tmp, chain, econtent=None):
    """The thin file at path with a CMS blob added to its SuperBlob."""
    data = bytearray(open(path, "rb").read())
    sig_off, sig_size = code_signature(path)
    assert sig_off + sig_size == len(data)
    cd = bytearray(first_code_directory(data, sig_off))
    room = sig_size + 16 + 8192
    # The grown LC_CODE_SIGNATURE lies in page 0: patch it, then hash the
    # pages again into the CodeDirectory.
    at = data.find(struct.pack("<IIII", 29, 16, sig_off, sig_size))
    assert at > 0
    data[at + 12:at + 16] = struct.pack("<I", room)
    hash_off, = struct.unpack(">I", cd[16:20])
    slots, limit = struct.unpack(">II", cd[28:36])
    size, kind, page = cd[36], cd[37], 1 << cd[39]
    assert kind == 2 and size == 32
    for i in range(slots):
        chunk = bytes(data[i * page:min((i + 1) * page, limit)])
        cd[hash_off + i * size:hash_off + (i + 1) * size] = hashlib.sha256(chunk).digest()
    cd_file = os.path.join(tmp, "cd.bin")
    with open(cd_file, "wb") as f:
        f.write(econtent if econtent is not None else cd)
    cms_file = os.path.join(tmp, "cms.der")
    args = ["openssl", "cms", "-sign", "-binary", "-md", "sha256", "-in", cd_file,
            "-signer", chain["leaf"], "-inkey", chain["key"], "-certfile", chain["inter"],
            "-outform", "DER", "-out", cms_file, "-nosmimecap"]
    if econtent is not None:
        args += ["-nodetach", "-econtent_type", "1.3.6.1.4.1.311.2.1.4"]
    run(args)
    cms = open(cms_file, "rb").read()
    blobs = [(0, bytes(cd)), (0x10000, struct.pack(">II", 0xFADE0B01, 8 + len(cms)) + cms)]
    index, body, offset = b"", b"", 12 + 8 * len(blobs)
    for kind, blob in blobs:
        index += struct.pack(">II", kind, offset + len(body))
        body += blob
    superblob = struct.pack(">III", 0xFADE0CC0, 12 + len(index) + len(body), len(blobs)) + \
        index + body
    assert len(superblob) <= room
    return bytes(data[:sig_off]) + superblob + bytes(room - len(superblob))


def main():
    out = os.path.join(sys.argv[1], "macho")
    shutil.rmtree(out, ignore_errors=True)
    os.makedirs(out)
    rows = []
    with tempfile.TemporaryDirectory() as tmp:
        x86 = build(tmp, "x86_64", "x86_64-apple-macos11")
        arm = build(tmp, "arm64", "arm64-apple-macos11")
        fat = os.path.join(out, "fat")
        run([LLVM + "llvm-lipo", "-create", x86, arm, "-output", fat])
        for name, path in (("x86_64", x86), ("arm64", arm)):
            shutil.copy(path, os.path.join(out, name))
            off, size = code_signature(path)
            rows.append((name, "0", "0", str(off), str(size)))
        slices = dict(fat_slices(fat))
        x86_at, arm_at = slices[0x01000007], slices[0x0100000C]
        off, size = code_signature(fat, "x86_64")
        # No x86 slice: a 32-bit machine takes the first listed.
        rows.append(("fat", str(x86_at), str(min(slices.values(), key=lambda o: o)),
                     str(x86_at + off), str(size)))
        # arm64 listed first, the same slices in place.
        data = bytearray(open(fat, "rb").read())
        head = struct.unpack(">II", data[:8])
        assert head == (0xCAFEBABE, 2)
        data[8:28], data[28:48] = data[28:48], data[8:28]
        with open(os.path.join(out, "fat_arm_first"), "wb") as f:
            f.write(data)
        listed = fat_slices(os.path.join(out, "fat_arm_first"))
        assert listed[0][0] == 0x0100000C
        rows.append(("fat_arm_first", str(x86_at), str(arm_at), str(x86_at + off), str(size)))
        changed = bytearray(open(x86, "rb").read())
        at = text_offset(x86) + 5
        changed[at] ^= 0xFF
        with open(os.path.join(out, "text_changed"), "wb") as f:
            f.write(changed)
        with open(os.path.join(out, "text_page.txt"), "w") as f:
            f.write(f"{at // 4096}\n")
        root = gen_pki.Cert("Mach Root CA", gen_pki.key(), ku="cert,crl")
        inter = gen_pki.Cert("Mach Intermediate CA", gen_pki.key(), root, ku="cert,crl")
        leaf = gen_pki.leaf(inter, "mach.example.com", eku=[ExtendedKeyUsageOID.CODE_SIGNING])
        with open(os.path.join(out, "root.der"), "wb") as f:
            f.write(root.der)
        chain = {"leaf": os.path.join(tmp, "leaf.pem"), "inter": os.path.join(tmp, "inter.pem"),
                 "key": os.path.join(tmp, "key.pem")}
        for name, certs in (("leaf", [leaf]), ("inter", [inter, root])):
            with open(chain[name], "wb") as f:
                f.write(b"".join(c.pem for c in certs))
        with open(chain["key"], "wb") as f:
            f.write(leaf.key.private_bytes(serialization.Encoding.PEM,
                                           serialization.PrivateFormat.TraditionalOpenSSL,
                                           serialization.NoEncryption()))
        with open(os.path.join(out, "cms_signed"), "wb") as f:
            f.write(with_cms(x86, tmp, chain))
        arm_data = open(arm, "rb").read()
        other_cd = first_code_directory(arm_data, code_signature(arm)[0])
        with open(os.path.join(out, "cms_other_cd"), "wb") as f:
            f.write(with_cms(x86, tmp, chain, spc_indirect(hashlib.sha256(other_cd).digest())))
    with open(os.path.join(out, "macho_cases.txt"), "w") as f:
        f.write("".join("\t".join(r) + "\n" for r in rows))


if __name__ == "__main__":
    main()
