#!/usr/bin/python3
"""PKCS#12 containers made by `openssl pkcs12 -export -legacy` (RC4-128 bags)
for core/security/pkcs12_test.cpp, with what `openssl pkcs12 -nodes -legacy`
reads back from each; and three that openssl does not make, written here
from RFC 7292 (the CA's bag first, a 16-byte MAC salt, an Ed25519 key).

Usage: /usr/bin/python3 tests/gen_pkcs12.py <vectors-dir>

Writes <vectors-dir>/pkcs12_cases.txt, one tab-separated line per case:
  NAME  PASSWORD_HEX (UTF-8, '-' for empty)  P12_HEX  LEAF_DER_HEX ('-': must fail)
and pkcs12_<name>.p12 for the client-certificate handshakes.
"""
import hashlib
import hmac
import os
import subprocess
import sys
import tempfile

try:
    from cryptography.hazmat.decrepit.ciphers.algorithms import ARC4
except ImportError:  # Debian's python3-cryptography keeps it with the others
    from cryptography.hazmat.primitives.ciphers.algorithms import ARC4
from cryptography.hazmat.primitives import serialization
from cryptography.hazmat.primitives.asymmetric import ed25519
from cryptography.hazmat.primitives.ciphers import Cipher


def run(args, data=None):
    return subprocess.run(args, input=data, capture_output=True, check=True).stdout


# A second writer, from RFC 7292 alone, for the containers openssl does not
# make: the CA's bag ahead of the leaf's, a 16-byte MAC salt, an Ed25519 key.
def tlv(tag, body):
    n = len(body)
    size = bytes([n]) if n < 0x80 else bytes([0x80 | ((n.bit_length() + 7) // 8)]) + n.to_bytes((n.bit_length() + 7) // 8, "big")
    return bytes([tag]) + size + body


def seq(*items):
    return tlv(0x30, b"".join(items))


def oid(text):
    parts = [int(x) for x in text.split(".")]
    out = bytes([parts[0] * 40 + parts[1]])
    for v in parts[2:]:
        chunk = [v & 0x7F]
        v >>= 7
        while v:
            chunk.insert(0, 0x80 | (v & 0x7F))
            v >>= 7
        out += bytes(chunk)
    return tlv(6, out)


def integer(v):
    return tlv(2, v.to_bytes((v.bit_length() + 8) // 8, "big"))


def ctx0(body):
    return tlv(0xA0, body)


def kdf(name, password, salt, iterations, purpose, n):
    u, v = hashlib.new(name).digest_size, hashlib.new(name).block_size
    bmp = (password.encode("utf-16-be") + b"\0\0") if password is not None else b""
    fill = lambda b: (b * ((v * -(-len(b) // v)) // len(b) + 1))[:v * -(-len(b) // v)] if b else b""
    i = bytearray(fill(salt) + fill(bmp))
    out = b""
    while len(out) < n:
        a = hashlib.new(name, bytes([purpose]) * v + bytes(i)).digest()
        for _ in range(iterations - 1):
            a = hashlib.new(name, a).digest()
        out += a
        b = int.from_bytes((a * (v // u + 1))[:v], "big")
        for j in range(0, len(i), v):
            block = (int.from_bytes(i[j:j + v], "big") + b + 1) % (1 << (8 * v))
            i[j:j + v] = block.to_bytes(v, "big")
    return out[:n]


def rc4(key, data):
    return Cipher(ARC4(key), mode=None).encryptor().update(data)


def write_pfx(password, certs, pkcs8, mac_salt=b"macsalt8", mac_hash="sha256"):
    pbe = "1.2.840.113549.1.12.1.1"
    data, iters = "1.2.840.113549.1.7.1", 2048
    alg = lambda salt: seq(oid(pbe), seq(tlv(4, salt), integer(iters)))
    bags = seq(*[seq(oid("1.2.840.113549.1.12.10.1.3"),
                     ctx0(seq(oid("1.2.840.113549.1.9.22.1"), ctx0(tlv(4, c))))) for c in certs])
    encrypted = rc4(kdf("sha1", password, b"certsalt", iters, 1, 16), bags)
    cert_info = seq(oid("1.2.840.113549.1.7.6"),
                    ctx0(seq(integer(0), seq(oid(data), alg(b"certsalt"), tlv(0x80, encrypted)))))
    key_bag = seq(oid("1.2.840.113549.1.12.10.1.2"),
                  ctx0(seq(alg(b"key salt"), tlv(4, rc4(kdf("sha1", password, b"key salt", iters, 1, 16), pkcs8)))))
    key_info = seq(oid(data), ctx0(tlv(4, seq(key_bag))))
    auth_safe = seq(cert_info, key_info)
    size = hashlib.new(mac_hash).digest_size
    mac = hmac.new(kdf(mac_hash, password, mac_salt, iters, 3, size), auth_safe, mac_hash).digest()
    hash_oid = {"sha1": "1.3.14.3.2.26", "sha256": "2.16.840.1.101.3.4.2.1"}[mac_hash]
    return seq(integer(3), seq(oid(data), ctx0(tlv(4, auth_safe))),
               seq(seq(seq(oid(hash_oid), tlv(5, b"")), tlv(4, mac)), tlv(4, mac_salt), integer(iters)))


def main():
    if len(sys.argv) != 2:
        sys.exit("usage: gen_pkcs12.py <vectors-dir>")
    out = sys.argv[1]
    os.makedirs(out, exist_ok=True)
    tmp = tempfile.mkdtemp()
    p = lambda name: os.path.join(tmp, name)
    run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=PKCS12 CA",
         "-days", "30", "-keyout", p("ca.key"), "-out", p("ca.pem")])
    for kind, newkey in (("rsa", ["-newkey", "rsa:2048"]),
                         ("ec", ["-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256"])):
        run(["openssl", "req", "-newkey"] + newkey[1:] + ["-nodes", "-subj", "/CN=client " + kind,
             "-keyout", p(kind + ".key"), "-out", p(kind + ".csr")])
        with open(p("ext"), "w") as f:
            f.write("basicConstraints=critical,CA:FALSE\nextendedKeyUsage=clientAuth\n")
        run(["openssl", "x509", "-req", "-in", p(kind + ".csr"), "-CA", p("ca.pem"), "-CAkey",
             p("ca.key"), "-CAcreateserial", "-days", "30", "-extfile", p("ext"),
             "-out", p(kind + ".pem")])
    cases = [
        ("rsa_sha1", "rsa", "sha1", "secret", True),
        ("rsa_sha256_empty", "rsa", "sha256", "", True),
        ("ec_sha256_31", "ec", "sha256", "p" * 31, True),
        ("ec_sha1_32", "ec", "sha1", "q" * 32, True),
        ("rsa_sha256_64", "rsa", "sha256", "r" * 64, True),
        ("rsa_sha1_utf8", "rsa", "sha1", "p\u00e4ssw\u00f6rd \u2713", True),
        ("ec_sha1_ca", "ec", "sha1", "with ca", True),
    ]
    lines = []
    for name, kind, mac, password, legacy in cases:
        args = ["openssl", "pkcs12", "-export", "-legacy", "-keypbe", "PBE-SHA1-RC4-128",
                "-certpbe", "PBE-SHA1-RC4-128", "-macalg", mac, "-inkey", p(kind + ".key"),
                "-in", p(kind + ".pem"), "-passout", "pass:" + password]
        if name.endswith("_ca"):
            args += ["-certfile", p("ca.pem")]
        der = run(args)
        with open(os.path.join(out, "pkcs12_%s.p12" % name), "wb") as f:
            f.write(der)
        pem = run(["openssl", "pkcs12", "-legacy", "-nodes", "-clcerts", "-nokeys", "-passin",
                   "pass:" + password], der)
        leaf = run(["openssl", "x509", "-outform", "DER"], pem)
        lines.append([name, password.encode().hex() or "-", der.hex(), leaf.hex()])
    der_of = lambda name: run(["openssl", "x509", "-in", p(name), "-outform", "DER"])
    with open(p("rsa.key"), "rb") as f:
        rsa_key = serialization.load_pem_private_key(f.read(), None)
    pkcs8 = lambda k: k.private_bytes(serialization.Encoding.DER, serialization.PrivateFormat.PKCS8,
                                      serialization.NoEncryption())
    ca_first = write_pfx("ca first", [der_of("ca.pem"), der_of("rsa.pem")], pkcs8(rsa_key))
    lines.append(["rsa_ca_first", b"ca first".hex(), ca_first.hex(), der_of("rsa.pem").hex()])
    salt16 = write_pfx("salt", [der_of("rsa.pem")], pkcs8(rsa_key), mac_salt=b"sixteen byte sal")
    lines.append(["mac_salt_16", b"salt".hex(), salt16.hex(), "-"])
    ed = write_pfx("ed", [der_of("rsa.pem")], pkcs8(ed25519.Ed25519PrivateKey.generate()))
    lines.append(["ed25519_key", b"ed".hex(), ed.hex(), "-"])
    # Refused: a wrong password, and PBES2 (AES) bags.
    der = bytes.fromhex(lines[0][2])
    lines.append(["wrong_password", b"Secret".hex(), der.hex(), "-"])
    lines.append(["wrong_empty_password", "-", der.hex(), "-"])
    pbes2 = run(["openssl", "pkcs12", "-export", "-inkey", p("rsa.key"), "-in", p("rsa.pem"),
                 "-passout", "pass:secret"])
    lines.append(["pbes2", b"secret".hex(), pbes2.hex(), "-"])
    with open(os.path.join(out, "pkcs12_cases.txt"), "w") as f:
        f.write("\n".join("\t".join(l) for l in lines) + "\n")
    with open(os.path.join(out, "pkcs12_ca.pem"), "wb") as f:
        f.write(open(p("ca.pem"), "rb").read())


if __name__ == "__main__":
    main()
