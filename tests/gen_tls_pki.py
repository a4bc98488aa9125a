#!/usr/bin/python3
"""Server certificates for the TLS handshake tests, built with Python
cryptography: one root, an intermediate, and leaves the tests hand to
`openssl s_server` and `gnutls-serv`. Dates are relative to now.

Usage: /usr/bin/python3 tests/gen_tls_pki.py <vectors-dir>

Writes into <vectors-dir>:
  tls_pki_root.der, .pem        the root (the tests' only trust anchor)
  tls_pki_<leaf>_key.pem        a leaf's private key (PKCS#8)
  tls_pki_<leaf>_chain.pem      the leaf, then its intermediate
Leaves (serverAuth, SAN DNS localhost and IP 127.0.0.1 unless named):
  rsa2048 rsa4096 p256 p384     the key kinds
  big                           RSA, about 20 KiB of extra SAN entries
  wildcard                      SAN *.keelson.test only
  iponly                        SAN IP 127.0.0.1 only
  cnonly                        no SAN, CN localhost
  expired                       not after yesterday
  client                        extKeyUsage clientAuth only
  early                         under an intermediate valid from tomorrow
  noca                          under an intermediate without cA
  selfsigned                    issued by itself (the chain holds the leaf only)
  stranger                      under an intermediate of a root nobody trusts
"""
import datetime
import ipaddress
import os
import sys
import warnings

from cryptography import x509
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import ec, rsa
from cryptography.x509.oid import ExtendedKeyUsageOID, NameOID

warnings.simplefilter("ignore")
NOW = datetime.datetime.utcnow().replace(microsecond=0)
DAY = datetime.timedelta(days=1)
_serial = [5000]


def name(cn):
    return x509.Name([x509.NameAttribute(NameOID.ORGANIZATION_NAME, "Keelson TLS"),
                      x509.NameAttribute(NameOID.COMMON_NAME, cn)])


def cert(cn, key, issuer_cn, issuer_key, ca, before=-1, after=365, san=None,
         eku=(ExtendedKeyUsageOID.SERVER_AUTH,)):
    _serial[0] += 1
    b = (x509.CertificateBuilder().subject_name(name(cn)).issuer_name(name(issuer_cn))
         .public_key(key.public_key()).serial_number(_serial[0])
         .not_valid_before(NOW + before * DAY).not_valid_after(NOW + after * DAY)
         .add_extension(x509.BasicConstraints(ca=ca, path_length=None), critical=True))
    if not ca and eku:
        b = b.add_extension(x509.ExtendedKeyUsage(list(eku)), critical=False)
    if san:
        b = b.add_extension(x509.SubjectAlternativeName(san), critical=False)
    return b.sign(issuer_key, hashes.SHA256())


def pem(c):
    return c.public_bytes(serialization.Encoding.PEM)


def main():
    if len(sys.argv) != 2:
        sys.exit("usage: gen_tls_pki.py <vectors-dir>")
    out = sys.argv[1]
    os.makedirs(out, exist_ok=True)
    root_key = rsa.generate_private_key(public_exponent=65537, key_size=2048)
    root = cert("TLS Root", root_key, "TLS Root", root_key, True, after=3650)
    inter_key = rsa.generate_private_key(public_exponent=65537, key_size=2048)
    inter = cert("TLS Intermediate", inter_key, "TLS Root", root_key, True)
    early = cert("TLS Early Intermediate", inter_key, "TLS Root", root_key, True, before=1)
    noca = cert("TLS Plain Intermediate", inter_key, "TLS Root", root_key, False, eku=None)
    stranger_key = rsa.generate_private_key(public_exponent=65537, key_size=2048)
    stranger = cert("TLS Stranger Intermediate", stranger_key, "TLS Stranger Root", stranger_key,
                    True)
    with open(os.path.join(out, "tls_pki_root.der"), "wb") as f:
        f.write(root.public_bytes(serialization.Encoding.DER))
    with open(os.path.join(out, "tls_pki_root.pem"), "wb") as f:
        f.write(pem(root))

    rsa2048 = rsa.generate_private_key(public_exponent=65537, key_size=2048)
    keys = {
        "rsa2048": rsa2048,
        "rsa4096": rsa.generate_private_key(public_exponent=65537, key_size=4096),
        "p256": ec.generate_private_key(ec.SECP256R1()),
        "p384": ec.generate_private_key(ec.SECP384R1()),
    }
    local = [x509.DNSName("localhost"), x509.IPAddress(ipaddress.ip_address("127.0.0.1"))]
    padding = [x509.DNSName("host%04d.padding.keelson.test" % i) for i in range(700)]
    # name: (key, issuer, issuer name, cert keywords)
    leaves = {k: (v, inter, {"san": local}) for k, v in keys.items()}
    leaves.update({
        "big": (rsa2048, inter, {"san": local + padding}),
        "wildcard": (rsa2048, inter, {"san": [x509.DNSName("*.keelson.test")]}),
        "iponly": (rsa2048, inter, {"san": local[1:]}),
        "cnonly": (rsa2048, inter, {}),
        "expired": (rsa2048, inter, {"san": local, "before": -30, "after": -1}),
        "client": (rsa2048, inter, {"san": local, "eku": (ExtendedKeyUsageOID.CLIENT_AUTH,)}),
        "early": (rsa2048, early, {"san": local}),
        "noca": (rsa2048, noca, {"san": local}),
        "selfsigned": (rsa2048, None, {"san": local}),
        "stranger": (rsa2048, stranger, {"san": local}),
    })
    for leaf_name, (key, issuer, kw) in leaves.items():
        if issuer is None:
            c = cert("localhost", key, "localhost", key, False, **kw)
        else:
            issuer_cn = issuer.subject.get_attributes_for_oid(NameOID.COMMON_NAME)[0].value
            signer = stranger_key if issuer is stranger else inter_key
            c = cert("localhost", key, issuer_cn, signer, False, **kw)
        with open(os.path.join(out, "tls_pki_%s_key.pem" % leaf_name), "wb") as f:
            f.write(key.private_bytes(serialization.Encoding.PEM,
                                      serialization.PrivateFormat.PKCS8,
                                      serialization.NoEncryption()))
        with open(os.path.join(out, "tls_pki_%s_chain.pem" % leaf_name), "wb") as f:
            f.write(pem(c) + (pem(issuer) if issuer is not None else b""))


if __name__ == "__main__":
    main()
