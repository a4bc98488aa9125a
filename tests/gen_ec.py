#!/usr/bin/python3
"""Oracle vectors for core/security ec, ecdsa and ecdhe.

Writes <dir>/ec.txt, one case a line, tab-separated, hex without prefix:
  sigver   oid digest qx qy der P|F note   a signature to verify (FIPS 186-3
                                           SigVer, SECP256K1 SigGen, Python
                                           cryptography, openssl dgst, and
                                           malformed encodings built here)
  keypair  oid d qx qy ecPrivateKeyDer     a private key and its point
  ossl     oid pubPem message digest der   a key whose signatures openssl checks
  ecdhpeer oid d qx qy privPem             the peer of a key exchange
  point    oid encoding 1|0 qx qy          a point encoding, accepted or not
  spki     oid spkiDer digest der          a SubjectPublicKeyInfo and a signature by
                                           its key
and <dir>/ec_script.txt naming this script: the tests hand their own
signatures and secrets back to it with --check FILE, lines
  sig  oid qx qy digest der                verified by Python cryptography
  osig oid pubPem message der              verified by openssl dgst -sha256
  ecdh oid peerD ourPoint secret           Python's exchange or openssl
                                           pkeyutl -derive must agree
and it exits 0 when every claim holds.
"""
import hashlib
import os
import subprocess
import sys
import tempfile

from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import ec, utils

OIDS = {
    "secp192k1": "1.3.132.0.31", "P-192": "1.2.840.10045.3.1.1", "secp224k1": "1.3.132.0.32",
    "P-224": "1.3.132.0.33", "K-256": "1.3.132.0.10", "P-256": "1.2.840.10045.3.1.7",
    "P-384": "1.3.132.0.34", "P-521": "1.3.132.0.35",
}
PY_CURVES = {
    "1.2.840.10045.3.1.1": ec.SECP192R1(), "1.3.132.0.33": ec.SECP224R1(),
    "1.2.840.10045.3.1.7": ec.SECP256R1(), "1.3.132.0.34": ec.SECP384R1(),
    "1.3.132.0.35": ec.SECP521R1(), "1.3.132.0.10": ec.SECP256K1(),
}
OSSL_NAMES = {"1.3.132.0.31": "secp192k1", "1.3.132.0.32": "secp224k1"}
HASHES = {"SHA-1": "sha1", "SHA-224": "sha224", "SHA-256": "sha256", "SHA-384": "sha384",
          "SHA-512": "sha512"}
PRIME = {"1.2.840.10045.3.1.7": 2**256 - 2**224 + 2**192 + 2**96 - 1,
         "1.3.132.0.32": 2**224 - 2**32 - 6803}
ORDER = {"1.2.840.10045.3.1.7":
         0xFFFFFFFF00000000FFFFFFFFFFFFFFFFBCE6FAADA7179E84F3B9CAC2FC632551}


def vectors_dir():
    for base in sys.path:
        path = os.path.join(base, "cryptography_vectors")
        if os.path.isdir(os.path.join(path, "asymmetric")):
            return path
    sys.exit("python3-cryptography-vectors is not installed")


def rsp_blocks(path):
    """(section, {field: value}) for each blank-line separated record."""
    section, record = None, {}
    for line in open(path):
        line = line.strip()
        if line.startswith("["):
            section = line[1:-1]
            continue
        if not line or line.startswith("#"):
            if record:
                yield section, record
            record = {}
            continue
        if " = " in line:
            key, value = line.split(" = ", 1)
            record[key] = value
    if record:
        yield section, record


def der_length(n):
    if n < 128:
        return bytes([n])
    b = n.to_bytes((n.bit_length() + 7) // 8, "big")
    return bytes([0x80 | len(b)]) + b


def der_int(v, pad=0):
    b = v.to_bytes(max(1, (v.bit_length() + 8) // 8), "big")
    b = b"\0" * pad + b
    return b"\x02" + der_length(len(b)) + b


def der_seq(*items, long_form=False):
    body = b"".join(items)
    length = der_length(len(body))
    if long_form and len(body) < 128:
        length = b"\x81" + bytes([len(body)])
    return b"\x30" + length + body


def point_hex(x, y, size):
    return "04" + x.to_bytes(size, "big").hex() + y.to_bytes(size, "big").hex()


def field_size(curve):
    return (curve.key_size + 7) // 8


def ossl(*args, data=None):
    return subprocess.run(["openssl", *args], input=data, capture_output=True, check=True).stdout


def spki_der(oid, point):
    """A SubjectPublicKeyInfo for an id-ecPublicKey on a named curve."""
    def oid_der(text):
        parts = [int(p) for p in text.split(".")]
        body = bytes([parts[0] * 40 + parts[1]])
        for p in parts[2:]:
            chunk = [p & 0x7F]
            p >>= 7
            while p:
                chunk.append(0x80 | (p & 0x7F))
                p >>= 7
            body += bytes(reversed(chunk))
        return b"\x06" + der_length(len(body)) + body
    algorithm = der_seq(oid_der("1.2.840.10045.2.1"), oid_der(oid))
    bits = b"\x03" + der_length(len(point) + 1) + b"\0" + point
    return der_seq(algorithm, bits)


def pem(der, label="PUBLIC KEY"):
    import base64
    text = base64.encodebytes(der).decode().replace("\n", "")
    lines = [text[i:i + 64] for i in range(0, len(text), 64)]
    return "-----BEGIN %s-----\n%s\n-----END %s-----\n" % (label, "\n".join(lines), label)


def key_numbers(private):
    n = private.private_numbers()
    return n.private_value, n.public_numbers.x, n.public_numbers.y


def generate(out_dir):
    base = vectors_dir()
    os.makedirs(out_dir, exist_ok=True)
    work = os.path.join(out_dir, "ec")
    os.makedirs(work, exist_ok=True)
    lines = []
    # FIPS 186-3 SigVer: the prime curves, every hash.
    for section, r in rsp_blocks(os.path.join(base, "asymmetric/ECDSA/FIPS_186-3/SigVer.rsp")):
        curve, hname = section.split(",")
        if curve not in OIDS or "Msg" not in r:
            continue
        digest = hashlib.new(HASHES[hname], bytes.fromhex(r["Msg"])).hexdigest()
        der = utils.encode_dss_signature(int(r["R"], 16), int(r["S"], 16)).hex()
        lines.append(["sigver", OIDS[curve], digest, r["Qx"], r["Qy"], der, r["Result"][0],
                      "fips " + section])
    # SECP256K1 SigGen: signatures verify and d·G is Q.
    for section, r in rsp_blocks(os.path.join(base, "asymmetric/ECDSA/SECP256K1/SigGen.txt")):
        if "Msg" not in r:
            continue
        hname = section.split(",")[1]
        digest = hashlib.new(HASHES[hname], bytes.fromhex(r["Msg"])).hexdigest()
        der = utils.encode_dss_signature(int(r["R"], 16), int(r["S"], 16)).hex()
        lines.append(["sigver", OIDS["K-256"], digest, r["Qx"], r["Qy"], der, "P",
                      "secp256k1 " + section])
        d = int(r["d"], 16)
        key = ec.derive_private_key(d, ec.SECP256K1())
        lines.append(["keypair", OIDS["K-256"], r["d"], r["Qx"], r["Qy"],
                      key.private_bytes(serialization.Encoding.DER,
                                        serialization.PrivateFormat.TraditionalOpenSSL,
                                        serialization.NoEncryption()).hex()])
    # Python cryptography on its six curves: keys and signatures of every hash.
    for oid, curve in PY_CURVES.items():
        for hname in ("SHA-1", "SHA-256", "SHA-384", "SHA-512"):
            key = ec.generate_private_key(curve)
            d, qx, qy = key_numbers(key)
            size = field_size(curve)
            message = os.urandom(40)
            digest = hashlib.new(HASHES[hname], message).digest()
            algorithm = getattr(hashes, HASHES[hname].upper())()
            der = key.sign(digest, ec.ECDSA(utils.Prehashed(algorithm)))
            lines.append(["sigver", oid, digest.hex(), "%x" % qx, "%x" % qy, der.hex(), "P",
                          "python " + hname])
            if hname == "SHA-256":
                lines.append(["spki", oid, key.public_key().public_bytes(
                    serialization.Encoding.DER,
                    serialization.PublicFormat.SubjectPublicKeyInfo).hex(), digest.hex(),
                    der.hex()])
            lines.append(["keypair", oid, "%x" % d, "%x" % qx, "%x" % qy,
                          key.private_bytes(serialization.Encoding.DER,
                                            serialization.PrivateFormat.TraditionalOpenSSL,
                                            serialization.NoEncryption()).hex()])
        peer = ec.generate_private_key(curve)
        d, qx, qy = key_numbers(peer)
        lines.append(["ecdhpeer", oid, "%x" % d, "%x" % qx, "%x" % qy, "-"])
    # openssl on the two curves Python lacks.
    for oid, name in OSSL_NAMES.items():
        for i in range(3):
            private_pem = os.path.join(work, "%s-%d.pem" % (name, i))
            public_pem = os.path.join(work, "%s-%d.pub.pem" % (name, i))
            message = os.path.join(work, "%s-%d.msg" % (name, i))
            with open(private_pem, "wb") as f:
                f.write(ossl("ecparam", "-name", name, "-genkey", "-noout"))
            ossl("ec", "-in", private_pem, "-pubout", "-out", public_pem)
            text = ossl("ec", "-in", private_pem, "-text", "-noout").decode()
            der = ossl("ec", "-in", private_pem, "-outform", "DER")
            d, point = parse_ossl_text(text)
            size = (len(point) - 1) // 2
            qx, qy = point[1:1 + size].hex(), point[1 + size:].hex()
            with open(message, "wb") as f:
                f.write(os.urandom(64))
            digest = hashlib.sha256(open(message, "rb").read()).hexdigest()
            signature = ossl("dgst", "-sha256", "-sign", private_pem, message)
            lines.append(["sigver", oid, digest, qx, qy, signature.hex(), "P", "openssl " + name])
            lines.append(["keypair", oid, d, qx, qy, der.hex()])
            lines.append(["ossl", oid, public_pem, message, digest, der.hex()])
            if i == 0:
                spki = ossl("ec", "-in", private_pem, "-pubout", "-outform", "DER")
                lines.append(["spki", oid, spki.hex(), digest, signature.hex()])
            if i == 0:
                lines.append(["ecdhpeer", oid, d, qx, qy, private_pem])
    lines += malformed_signatures()
    lines += point_cases()
    with open(os.path.join(out_dir, "ec.txt"), "w") as f:
        for line in lines:
            f.write("\t".join(line) + "\n")
    with open(os.path.join(out_dir, "ec_script.txt"), "w") as f:
        f.write(os.path.abspath(__file__) + "\n")


def parse_ossl_text(text):
    """d (hex) and the public point bytes from openssl ec -text."""
    blocks, current = {}, None
    for line in text.splitlines():
        if line.startswith("priv:"):
            current = "priv"
            blocks[current] = ""
        elif line.startswith("pub:"):
            current = "pub"
            blocks[current] = ""
        elif line.startswith("    ") and current:
            blocks[current] += line.strip()
        else:
            current = None
    d = int(blocks["priv"].replace(":", ""), 16)
    return "%x" % d, bytes.fromhex(blocks["pub"].replace(":", ""))


def malformed_signatures():
    """One valid P-256 signature and the encodings that must be refused."""
    oid = "1.2.840.10045.3.1.7"
    n = ORDER[oid]
    key = ec.generate_private_key(ec.SECP256R1())
    _, qx, qy = key_numbers(key)
    digest = hashlib.sha256(b"malformed").digest()
    der = key.sign(digest, ec.ECDSA(utils.Prehashed(hashes.SHA256())))
    r, s = utils.decode_dss_signature(der)
    cases = [
        ("valid", der_seq(der_int(r), der_int(s)), "P"),
        ("high s (n - s) also verifies", der_seq(der_int(r), der_int(n - s)), "P"),
        ("r + n", der_seq(der_int(r + n), der_int(s)), "F"),
        ("s + n", der_seq(der_int(r), der_int(s + n)), "F"),
        ("r = 0", der_seq(der_int(0), der_int(s)), "F"),
        ("s = 0", der_seq(der_int(r), der_int(0)), "F"),
        ("s = n", der_seq(der_int(r), der_int(n)), "F"),
        ("r = n", der_seq(der_int(n), der_int(s)), "F"),
        ("negative r", der_seq(b"\x02\x01\xff", der_int(s)), "F"),
        ("non-minimal r", der_seq(der_int(r, pad=1), der_int(s)), "F"),
        ("non-minimal s", der_seq(der_int(r), der_int(s, pad=2)), "F"),
        ("third element", der_seq(der_int(r), der_int(s), der_int(1)), "F"),
        ("one element", der_seq(der_int(r)), "F"),
        ("long-form length", der_seq(der_int(r), der_int(s), long_form=True), "F"),
        ("trailing byte", der_seq(der_int(r), der_int(s)) + b"\0", "F"),
        ("SET instead of SEQUENCE", b"\x31" + der_seq(der_int(r), der_int(s))[1:], "F"),
        ("OCTET STRING s", der_seq(der_int(r), b"\x04" + der_int(s)[1:]), "F"),
        ("indefinite length", b"\x30\x80" + der_int(r) + der_int(s) + b"\0\0", "F"),
        ("raw r||s", r.to_bytes(32, "big") + s.to_bytes(32, "big"), "F"),
        ("empty", b"", "F"),
    ]
    return [["sigver", oid, digest.hex(), "%x" % qx, "%x" % qy, sig.hex() or "-", result,
             "malformed " + name] for name, sig, result in cases]


def point_cases():
    out = []
    key = ec.generate_private_key(ec.SECP256R1())
    _, qx, qy = key_numbers(key)
    oid = "1.2.840.10045.3.1.7"
    pub = key.public_key()
    uncompressed = pub.public_bytes(serialization.Encoding.X962,
                                    serialization.PublicFormat.UncompressedPoint)
    compressed = pub.public_bytes(serialization.Encoding.X962,
                                  serialization.PublicFormat.CompressedPoint)
    q = ("%x" % qx, "%x" % qy)
    p = PRIME[oid]
    out += [
        ["point", oid, uncompressed.hex(), "1", *q],
        ["point", oid, compressed.hex(), "1", *q],
        ["point", oid, uncompressed.hex() + "00", "0", *q],
        ["point", oid, uncompressed[:-1].hex(), "0", *q],
        ["point", oid, compressed.hex() + "00", "0", *q],
        ["point", oid, compressed[:-1].hex(), "0", *q],
        ["point", oid, "05" + uncompressed[1:].hex(), "0", *q],
        ["point", oid, "00", "0", *q],
        ["point", oid, point_hex(qx, (qy + 1) % p, 32), "0", *q],
        ["point", oid, point_hex(qx, 0, 32), "0", *q],
        ["point", oid, point_hex(qx + p, qy, 33)[:2] + point_hex(qx, qy, 32)[2:], "1", *q],
        ["point", oid, point_hex(qx, qy + p, 33), "0", *q],
    ]
    # secp224k1: 57-byte points; x = p + small is refused, compressed too.
    oid = "1.3.132.0.32"
    text = ossl("ec", "-in", "/dev/stdin", "-text", "-noout",
                data=ossl("ecparam", "-name", "secp224k1", "-genkey", "-noout")).decode()
    _, point = parse_ossl_text(text)
    x, y = int(point[1:29].hex(), 16), int(point[29:].hex(), 16)
    q = ("%x" % x, "%x" % y)
    out += [
        ["point", oid, point.hex(), "1", *q],
        ["point", oid, point_hex(PRIME[oid] + 1, y, 28), "0", *q],
        ["point", oid, ("03" if y & 1 else "02") + point[1:29].hex(), "0", *q],
    ]
    # secp224r1 refuses compressed points.
    key = ec.generate_private_key(ec.SECP224R1())
    _, x, y = key_numbers(key)
    compressed = key.public_key().public_bytes(serialization.Encoding.X962,
                                               serialization.PublicFormat.CompressedPoint)
    out.append(["point", "1.3.132.0.33", compressed.hex(), "0", "%x" % x, "%x" % y])
    return out


def check(path):
    failures = 0
    for line in open(path):
        f = line.rstrip("\n").split("\t")
        try:
            ok = check_claim(f)
        except Exception as error:  # a refusal by the peer is a failed claim
            print("error", error, file=sys.stderr)
            ok = False
        if not ok:
            failures += 1
            print("refused:", line.strip(), file=sys.stderr)
    sys.exit(1 if failures else 0)


def check_claim(f):
    kind = f[0]
    if kind == "sig":
        _, oid, qx, qy, digest, der = f
        digest = bytes.fromhex(digest)
        algorithm = {20: hashes.SHA1(), 28: hashes.SHA224(), 32: hashes.SHA256(),
                     48: hashes.SHA384(), 64: hashes.SHA512()}[len(digest)]
        pub = ec.EllipticCurvePublicNumbers(int(qx, 16), int(qy, 16),
                                            PY_CURVES[oid]).public_key()
        pub.verify(bytes.fromhex(der), digest, ec.ECDSA(utils.Prehashed(algorithm)))
        return True
    if kind == "osig":
        _, oid, public_pem, message, der = f
        with tempfile.NamedTemporaryFile() as sig:
            sig.write(bytes.fromhex(der))
            sig.flush()
            result = subprocess.run(["openssl", "dgst", "-sha256", "-verify", public_pem,
                                     "-signature", sig.name, message], capture_output=True)
            return result.returncode == 0
    if kind == "ecdh":
        _, oid, peer_d, ours, secret = f
        if oid in PY_CURVES:
            curve = PY_CURVES[oid]
            peer = ec.derive_private_key(int(peer_d, 16), curve)
            pub = ec.EllipticCurvePublicKey.from_encoded_point(curve, bytes.fromhex(ours))
            return peer.exchange(ec.ECDH(), pub).hex() == secret
        peer_pem = f"{os.path.dirname(path_of_claims)}/ec/{OSSL_NAMES[oid]}-0.pem"
        with tempfile.NamedTemporaryFile(suffix=".pem") as pub:
            pub.write(pem(spki_der(oid, bytes.fromhex(ours))).encode())
            pub.flush()
            derived = ossl("pkeyutl", "-derive", "-inkey", peer_pem, "-peerkey", pub.name)
            return derived.hex() == secret
    return False


if __name__ == "__main__":
    if len(sys.argv) == 3 and sys.argv[1] == "--check":
        path_of_claims = os.path.abspath(sys.argv[2])
        check(sys.argv[2])
    generate(sys.argv[1] if len(sys.argv) > 1 else "vectors")
