#!/usr/bin/python3
"""PKCS#12 containers made by `openssl pkcs12 -export -legacy` (RC4-128 bags)
for core/security/pkcs12_test.cpp, with what `openssl pkcs12 -nodes -legacy`
reads back from each.

Usage: /usr/bin/python3 tests/gen_pkcs12.py <vectors-dir>

Writes <vectors-dir>/pkcs12_cases.txt, one tab-separated line per case:
  NAME  PASSWORD_HEX (UTF-8, '-' for empty)  P12_HEX  LEAF_DER_HEX ('-': must fail)
and pkcs12_<name>.p12 for the client-certificate handshakes.
"""
import os
import subprocess
import sys
import tempfile


def run(args, data=None):
    return subprocess.run(args, input=data, capture_output=True, check=True).stdout


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
    # Refused: a wrong password, and PBES2 (AES) bags.
    der = bytes.fromhex(lines[0][2])
    lines.append(["wrong_password", b"Secret".hex(), der.hex(), "-"])
    pbes2 = run(["openssl", "pkcs12", "-export", "-inkey", p("rsa.key"), "-in", p("rsa.pem"),
                 "-passout", "pass:secret"])
    lines.append(["pbes2", b"secret".hex(), pbes2.hex(), "-"])
    with open(os.path.join(out, "pkcs12_cases.txt"), "w") as f:
        f.write("\n".join("\t".join(l) for l in lines) + "\n")
    with open(os.path.join(out, "pkcs12_ca.pem"), "wb") as f:
        f.write(open(p("ca.pem"), "rb").read())


if __name__ == "__main__":
    main()
