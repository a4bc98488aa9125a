#!/usr/bin/python3
"""JWS tokens in compact serialization minted by python3-jwt (PyJWT, with
Python cryptography for the RSA and EC keys), for the decoder's table.

Writes into <dir>:
  jws_tokens.txt  one token a line, fields separated by tabs:
      <alg> <key kind: secret or spki> <key hex: the HMAC secret or the DER
      SubjectPublicKeyInfo> <token>
  jws_jwks.json   a key set: RS256, RS512, ES256, ES384 and ES512 keys
      written by PyJWT's to_jwk, with "use", "alg", "kid", "x5t" and
      "x5t#S256" (thumbprints of a self-signed certificate per key, computed
      here), and an "enc" copy of each under kid "enc-<alg>"
  jws_hinted.txt  tokens whose header names the key, fields separated by tabs:
      <alg> <hint: kid, x5t, x5t#S256, x5c or enc> <certificate DER hex> <token>
  jws_platform.txt  RS256 tokens with an "x5c" chain [leaf, intermediate]
      under a root in jws_bundle.pem, fields separated by tabs:
      <leaf extKeyUsage: codeSigning, serverAuth or none> <token>
  jws_bundle.pem  that root, as a trust-anchor bundle
"""
import base64
import datetime
import hashlib
import json
import os
import sys

import jwt
from cryptography import x509
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import ec, rsa
from cryptography.x509.oid import NameOID
from jwt.algorithms import ECAlgorithm, RSAAlgorithm


def spki(private):
    return private.public_key().public_bytes(
        serialization.Encoding.DER, serialization.PublicFormat.SubjectPublicKeyInfo).hex()


def main():
    out = sys.argv[1]
    os.makedirs(out, exist_ok=True)
    payload = {"iss": "keelson", "sub": "document", "list": [1, 2, 3], "text": "h\u00e9llo"}
    rows = []
    for alg, size in (("HS256", 32), ("HS384", 48), ("HS512", 64)):
        secret = os.urandom(size)
        rows.append((alg, "secret", secret.hex(), jwt.encode(payload, secret, algorithm=alg)))
    for alg, bits in (("RS256", 2048), ("RS384", 3072), ("RS512", 4096)):
        private = rsa.generate_private_key(public_exponent=65537, key_size=bits)
        rows.append((alg, "spki", spki(private), jwt.encode(payload, private, algorithm=alg)))
    for alg, curve in (("ES256", ec.SECP256R1()), ("ES384", ec.SECP384R1()),
                       ("ES512", ec.SECP521R1())):
        private = ec.generate_private_key(curve)
        rows.append((alg, "spki", spki(private), jwt.encode(payload, private, algorithm=alg)))
    with open(os.path.join(out, "jws_tokens.txt"), "w") as f:
        for row in rows:
            f.write("\t".join(row) + "\n")
    hinted(out, payload)
    platform(out, payload)


def issue(subject_key, name, issuer_key, issuer_name, ca, eku=None):
    now = datetime.datetime.utcnow()
    builder = (x509.CertificateBuilder()
               .subject_name(x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, name)]))
               .issuer_name(x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, issuer_name)]))
               .public_key(subject_key.public_key()).serial_number(x509.random_serial_number())
               .not_valid_before(now - datetime.timedelta(days=1))
               .not_valid_after(now + datetime.timedelta(days=30))
               .add_extension(x509.BasicConstraints(ca=ca, path_length=None), critical=True))
    if eku:
        builder = builder.add_extension(x509.ExtendedKeyUsage([eku]), critical=False)
    return builder.sign(issuer_key, hashes.SHA256())


def platform(out, payload):
    from cryptography.x509.oid import ExtendedKeyUsageOID
    root_key = rsa.generate_private_key(65537, 2048)
    inter_key = rsa.generate_private_key(65537, 2048)
    root = issue(root_key, "jws root", root_key, "jws root", True)
    inter = issue(inter_key, "jws intermediate", root_key, "jws root", True)
    rows = []
    for label, eku in (("codeSigning", ExtendedKeyUsageOID.CODE_SIGNING),
                       ("serverAuth", ExtendedKeyUsageOID.SERVER_AUTH), ("none", None)):
        leaf_key = rsa.generate_private_key(65537, 2048)
        leaf = issue(leaf_key, "jws " + label, inter_key, "jws intermediate", False, eku)
        x5c = [base64.b64encode(c.public_bytes(serialization.Encoding.DER)).decode()
               for c in (leaf, inter)]
        rows.append((label, jwt.encode(payload, leaf_key, algorithm="RS256",
                                       headers={"x5c": x5c})))
    with open(os.path.join(out, "jws_platform.txt"), "w") as f:
        for row in rows:
            f.write("\t".join(row) + "\n")
    with open(os.path.join(out, "jws_bundle.pem"), "wb") as f:
        f.write(root.public_bytes(serialization.Encoding.PEM))


def url(data):
    return base64.urlsafe_b64encode(data).rstrip(b"=").decode()


def self_signed(private, name):
    now = datetime.datetime.utcnow()
    subject = x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, name)])
    return (x509.CertificateBuilder().subject_name(subject).issuer_name(subject)
            .public_key(private.public_key()).serial_number(x509.random_serial_number())
            .not_valid_before(now - datetime.timedelta(days=1))
            .not_valid_after(now + datetime.timedelta(days=30))
            .sign(private, hashes.SHA256())).public_bytes(serialization.Encoding.DER)


def hinted(out, payload):
    keys, rows = [], []
    for alg, make in (("RS256", lambda: rsa.generate_private_key(65537, 2048)),
                      ("RS512", lambda: rsa.generate_private_key(65537, 3072)),
                      ("ES256", lambda: ec.generate_private_key(ec.SECP256R1())),
                      ("ES384", lambda: ec.generate_private_key(ec.SECP384R1())),
                      ("ES512", lambda: ec.generate_private_key(ec.SECP521R1()))):
        private = make()
        der = self_signed(private, "jws " + alg)
        writer = RSAAlgorithm if alg.startswith("RS") else ECAlgorithm
        jwk = json.loads(writer.to_jwk(private.public_key()))
        x5t, x5t256 = url(hashlib.sha1(der).digest()), url(hashlib.sha256(der).digest())
        jwk.update({"use": "sig", "alg": alg, "kid": "k-" + alg, "x5t": x5t, "x5t#S256": x5t256})
        keys.append(jwk)
        enc = dict(jwk, use="enc", kid="enc-" + alg, x5t="-", **{"x5t#S256": "-"})
        keys.append(enc)
        for hint, value in (("kid", "k-" + alg), ("x5t", x5t), ("x5t#S256", x5t256),
                            ("x5c", [base64.b64encode(der).decode()]), ("enc", "enc-" + alg)):
            headers = {("kid" if hint == "enc" else hint): value}
            token = jwt.encode(payload, private, algorithm=alg, headers=headers)
            rows.append((alg, hint, der.hex(), token))
    with open(os.path.join(out, "jws_jwks.json"), "w") as f:
        json.dump({"keys": keys}, f, indent=1)
    with open(os.path.join(out, "jws_hinted.txt"), "w") as f:
        for row in rows:
            f.write("\t".join(row) + "\n")


if __name__ == "__main__":
    main()
