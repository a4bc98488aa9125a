#!/usr/bin/python3
"""JWS tokens in compact serialization minted by python3-jwt (PyJWT, with
Python cryptography for the RSA and EC keys), for the decoder's table.

Writes into <dir>:
  jws_tokens.txt  one token a line, fields separated by tabs:
      <alg> <key kind: secret or spki> <key hex: the HMAC secret or the DER
      SubjectPublicKeyInfo> <token>
"""
import os
import sys

import jwt
from cryptography.hazmat.primitives import serialization
from cryptography.hazmat.primitives.asymmetric import ec, rsa


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


if __name__ == "__main__":
    main()
