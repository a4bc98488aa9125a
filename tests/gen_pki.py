#!/usr/bin/python3
"""Generated PKIs for the certificate walk and the stores, with the verdicts
of two independent verifiers: `openssl verify` and GnuTLS's `certtool
--verify` (Debian's openssl and gnutls-bin), built with Python cryptography.
Dates are relative to now, so the verdicts hold at the time of the run.

Writes into <dir>:
  pki_cases.txt  one block per case, fields separated by tabs:
      case <name> <purpose: any, serverAuth or codeSigning>
           <openssl verdict 1/0, or - where it has no such purpose>
           <certtool verdict 1/0>
      leaf <DER hex>           the certificate to verify
      untrusted <DER hex>      the certificates the peer presents besides it
      root <DER hex>           the trusted roots
  pki_bundle.pem  the root of the "good" case and two unrelated roots, as a
      trust-anchor bundle (with a comment line and a non-certificate block)
  pki_platform.txt  "expired <DER hex>": a leaf issued by that root whose
      validity ended yesterday
"""
import datetime
import os
import subprocess
import sys
import tempfile
import warnings

from cryptography import x509
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import rsa
from cryptography.x509.oid import ExtendedKeyUsageOID, NameOID

warnings.simplefilter("ignore")
NOW = datetime.datetime.utcnow().replace(microsecond=0)
DAY = datetime.timedelta(days=1)
PURPOSE_OID = {"serverAuth": "1.3.6.1.5.5.7.3.1", "codeSigning": "1.3.6.1.5.5.7.3.3"}
_keys = []
_serial = [1000]


def key():
    k = rsa.generate_private_key(public_exponent=65537, key_size=2048)
    _keys.append(k)
    return k


def name(text):
    return x509.Name([x509.NameAttribute(NameOID.ORGANIZATION_NAME, "Keelson PKI"),
                      x509.NameAttribute(NameOID.COMMON_NAME, text)])


class Cert:
    def __init__(self, subject, k, issuer=None, ca=True, path_len=None, ku=None, eku=None,
                 v1=False, before=-10, after=365, digest=None, san=None, bc=True):
        _serial[0] += 1
        issuer = issuer or self
        self.subject, self.key = subject, k
        b = (x509.CertificateBuilder().subject_name(name(subject))
             .issuer_name(name(issuer.subject)).public_key(k.public_key())
             .serial_number(_serial[0]).not_valid_before(NOW + before * DAY)
             .not_valid_after(NOW + after * DAY))
        if v1:
            b._version = x509.Version.v1
        else:
            if bc:
                b = b.add_extension(x509.BasicConstraints(ca=ca, path_length=path_len),
                                    critical=True)
            if ku is not None:
                b = b.add_extension(x509.KeyUsage(
                    digital_signature="sig" in ku, content_commitment=False,
                    key_encipherment=False, data_encipherment=False, key_agreement=False,
                    key_cert_sign="cert" in ku, crl_sign="crl" in ku, encipher_only=False,
                    decipher_only=False), critical=True)
            # Key identifiers let the verifiers pick among issuers of one name.
            b = b.add_extension(x509.SubjectKeyIdentifier.from_public_key(k.public_key()),
                                critical=False)
            b = b.add_extension(x509.AuthorityKeyIdentifier.from_issuer_public_key(
                issuer.key.public_key()), critical=False)
            if eku is not None:
                b = b.add_extension(x509.ExtendedKeyUsage(eku), critical=False)
            if san is not None:
                b = b.add_extension(x509.SubjectAlternativeName([x509.DNSName(s) for s in san]),
                                    critical=False)
        self.cert = b.sign(issuer.key, digest or hashes.SHA256())
        self.der = self.cert.public_bytes(serialization.Encoding.DER)
        self.pem = self.cert.public_bytes(serialization.Encoding.PEM)


SERVER = [ExtendedKeyUsageOID.SERVER_AUTH]


def leaf(issuer, subject="leaf.example.com", **kw):
    kw.setdefault("eku", SERVER)
    return Cert(subject, key(), issuer, ca=False, ku="sig", san=[subject], **kw)


def cases():
    root = Cert("Root CA", key(), ku="cert,crl")
    inter = Cert("Intermediate CA", key(), root, ku="cert,crl")
    good = leaf(inter)
    out = []

    def add(case_name, purpose, leaf_cert, untrusted, roots):
        out.append((case_name, purpose, leaf_cert, untrusted, roots))

    for purpose in ("any", "serverAuth"):
        add("good", purpose, good, [inter], [root])
    add("leaf-missing-intermediate", "serverAuth", good, [], [root])
    bad = Cert("Not A CA", key(), root, ca=False)
    add("non-ca-intermediate", "any", leaf(bad), [bad], [root])
    v1 = Cert("Version 1 CA", key(), root, v1=True)
    add("v1-intermediate", "any", leaf(v1), [v1], [root])
    v1root = Cert("Version 1 Root", key(), v1=True)
    add("v1-root", "any", leaf(v1root), [], [v1root])
    nocertsign = Cert("No CertSign CA", key(), root, ku="sig,crl")
    add("keyusage-without-keycertsign", "any", leaf(nocertsign), [nocertsign], [root])
    p0 = Cert("PathLen0 CA", key(), root, path_len=0, ku="cert")
    below = Cert("Below PathLen0 CA", key(), p0, ku="cert")
    add("pathlen0-two-intermediates", "any", leaf(below), [below, p0], [root])
    add("pathlen0-one-intermediate", "any", leaf(p0), [p0], [root])
    add("expired-leaf", "serverAuth", leaf(inter, before=-30, after=-1), [inter], [root])
    future = Cert("Future CA", key(), root, before=5, after=400, ku="cert")
    add("not-yet-valid-intermediate", "serverAuth", leaf(future), [future], [root])
    client = leaf(inter, eku=[ExtendedKeyUsageOID.CLIENT_AUTH])
    add("clientauth-leaf-for-serverauth", "serverAuth", client, [inter], [root])
    add("serverauth-leaf-for-codesigning", "codeSigning", good, [inter], [root])
    code = leaf(inter, "code.example.com", eku=[ExtendedKeyUsageOID.CODE_SIGNING])
    add("codesigning-leaf", "codeSigning", code, [inter], [root])
    add("no-eku-leaf-for-codesigning", "codeSigning", leaf(inter, eku=None), [inter], [root])
    # Re-keyed: two intermediates of one subject; the leaf is under the
    # second key, the first is presented first.
    old = Cert("Rekeyed CA", key(), root, ku="cert")
    new = Cert("Rekeyed CA", key(), root, ku="cert")
    add("rekeyed-intermediate", "serverAuth", leaf(new), [old, new], [root])
    # Cross-signed: one intermediate key under an untrusted root and under
    # the trusted one; the untrusted path comes first.
    other = Cert("Other Root CA", key(), ku="cert")
    ikey = key()
    cross_other = Cert("Cross CA", ikey, other, ku="cert")
    cross_root = Cert("Cross CA", ikey, root, ku="cert")
    add("cross-signed-intermediate", "serverAuth", leaf(cross_other),
        [cross_other, other, cross_root], [root])
    # A two-certificate cycle under nothing trusted.
    ka, kb = key(), key()
    a = Cert("Cycle A", ka, Cert("Cycle B", kb), ku="cert")
    b = Cert("Cycle B", kb, a, ku="cert")
    add("two-certificate-cycle", "any", leaf(a), [a, b], [root])
    # Forty certificates of one subject; only the last holds the leaf's key.
    wrong = [key() for _ in range(4)]
    flood = [Cert("Flood CA", wrong[i % 4], root, ku="cert") for i in range(39)]
    real = Cert("Flood CA", key(), root, ku="cert")
    add("forty-of-one-subject", "serverAuth", leaf(real), flood + [real], [root])
    md5 = Cert("MD5 CA", key(), root, ku="cert", digest=hashes.MD5())
    add("md5-intermediate", "any", leaf(md5), [md5], [root])
    return out, root


def run(args, env=None):
    return subprocess.run(args, capture_output=True, timeout=120, env=env)


def verdicts(tmp, purpose, leaf_cert, untrusted, roots):
    paths = {}
    for label, certs in (("roots", roots), ("untrusted", untrusted), ("leaf", [leaf_cert]),
                         ("chain", [leaf_cert] + untrusted)):
        paths[label] = os.path.join(tmp, label + ".pem")
        with open(paths[label], "wb") as f:
            f.write(b"".join(c.pem for c in certs))
    ossl = "-"
    if purpose != "codeSigning":
        args = ["openssl", "verify", "-CAfile", paths["roots"], "-purpose",
                "sslserver" if purpose == "serverAuth" else "any"]
        if untrusted:
            args += ["-untrusted", paths["untrusted"]]
        # MD5 must reach the signature check to be refused there, not by the
        # library's security level.
        ossl = str(int(run(args + [paths["leaf"]]).returncode == 0))
    args = ["certtool", "--verify", "--load-ca-certificate", paths["roots"], "--infile",
            paths["chain"]]
    if purpose in PURPOSE_OID:
        args += ["--verify-purpose", PURPOSE_OID[purpose]]
    gnutls = str(int(run(args).returncode == 0))
    return ossl, gnutls


def main():
    out = sys.argv[1]
    os.makedirs(out, exist_ok=True)
    all_cases, root = cases()
    lines = []
    with tempfile.TemporaryDirectory() as tmp:
        for case_name, purpose, leaf_cert, untrusted, roots in all_cases:
            ossl, gnutls = verdicts(tmp, purpose, leaf_cert, untrusted, roots)
            lines.append("\t".join(("case", case_name, purpose, ossl, gnutls)))
            lines.append("leaf\t" + leaf_cert.der.hex())
            lines += ["untrusted\t" + c.der.hex() for c in untrusted]
            lines += ["root\t" + c.der.hex() for c in roots]
    with open(os.path.join(out, "pki_cases.txt"), "w") as f:
        f.write("\n".join(lines) + "\n")
    extra = [Cert(f"Unrelated Root {i}", key(), ku="cert") for i in range(2)]
    with open(os.path.join(out, "pki_bundle.pem"), "wb") as f:
        f.write(b"# trust anchors for tests\n")
        f.write(extra[0].pem + root.pem)
        f.write(b"-----BEGIN PUBLIC KEY-----\nAAAA\n-----END PUBLIC KEY-----\n")
        f.write(extra[1].pem)
    with open(os.path.join(out, "pki_platform.txt"), "w") as f:
        f.write("expired\t" + leaf(root, before=-30, after=-1).der.hex() + "\n")


if __name__ == "__main__":
    main()
