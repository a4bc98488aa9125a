#!/usr/bin/python3
"""An ES256 key made and written as a key set by python3-jwcrypto, and JWS
tokens signed by python3-jwt, for the application's "keyStores" forms.

Prints one JSON object:
  keyStores {"spki": the public key as Base64 DER SubjectPublicKeyInfo,
             "keySet": {"keys": [the public key with "kid", "use" "sig" and
             "alg" "ES256"]}}
  tokens    for each store, [a token signed by the key, one signed by
            another P-256 key]: for "keySet" their headers name the key's
            "kid", for "spki" they name no key (a header that names a key
            is looked up by that name, which a bare key does not have)
"""
import base64
import json

import jwt
from cryptography.hazmat.primitives import serialization
from jwcrypto import jwk

PAYLOAD = {"iss": "keelson", "document": "signed"}


def sign(key, headers):
    pem = key.export_to_pem(private_key=True, password=None)
    return jwt.encode(PAYLOAD, pem, algorithm="ES256", headers=headers)


def main():
    key = jwk.JWK.generate(kty="EC", crv="P-256", kid="app-1", use="sig", alg="ES256")
    other = jwk.JWK.generate(kty="EC", crv="P-256")
    key_set = jwk.JWKSet()
    key_set.add(key)
    spki = key.get_op_key("verify").public_bytes(
        serialization.Encoding.DER, serialization.PublicFormat.SubjectPublicKeyInfo)
    print(json.dumps({
        "keyStores": {
            "spki": base64.b64encode(spki).decode(),
            "keySet": json.loads(key_set.export(private_keys=False)),
        },
        "tokens": {
            "spki": [sign(key, None), sign(other, None)],
            "keySet": [sign(key, {"kid": "app-1"}), sign(other, {"kid": "app-1"})],
        },
    }))


if __name__ == "__main__":
    main()
