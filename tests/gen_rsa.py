#!/usr/bin/python3
"""Oracle vectors for core/security/rsa, answered by Python cryptography and
the published RSA vectors of python3-cryptography-vectors.

Writes <dir>/rsa.txt, one case a line, tab-separated, hex fields:
  key      id  private-DER ("-" for none)  public-DER  SubjectPublicKeyInfo-DER
  verify   id  mode  digest  signature  expected(0/1)  label
  sign     id  data  signature        our CRT signature of data must equal it
  badkey   kind(private/public)  DER  label          every import refuses it
Keys come from seeded primes (Miller-Rabin), so the file is the same on every
run; the first line is "# seed N". Forgeries against e = 3 are built here:
Bleichenbacher's cube root with garbage after the DigestInfo, and blocks
signed raw with d that only a lenient parser would take.
"""
import hashlib
import os
import random
import sys

from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import padding, rsa
from cryptography.hazmat.primitives.asymmetric.utils import Prehashed

SEED = 0x25A_0024
VECTORS = "/usr/lib/python3/dist-packages/cryptography_vectors/asymmetric/RSA"

HASHES = {
    "MD5": (hashlib.md5, hashes.MD5, "2a864886f70d0205"),
    "SHA1": (hashlib.sha1, hashes.SHA1, "2b0e03021a"),
    "SHA224": (hashlib.sha224, hashes.SHA224, "608648016503040204"),
    "SHA256": (hashlib.sha256, hashes.SHA256, "608648016503040201"),
    "SHA384": (hashlib.sha384, hashes.SHA384, "608648016503040202"),
    "SHA512": (hashlib.sha512, hashes.SHA512, "608648016503040203"),
}


def der_len(n):
    if n < 0x80:
        return bytes([n])
    body = n.to_bytes((n.bit_length() + 7) // 8, "big")
    return bytes([0x80 | len(body)]) + body


def tlv(tag, body, long_form=False):
    if long_form:
        return bytes([tag, 0x81, len(body)]) + body
    return bytes([tag]) + der_len(len(body)) + body


def digest_info(name, digest, params=True, long_form=False, oid=None):
    oid = bytes.fromhex(oid or HASHES[name][2])
    algorithm = tlv(0x06, oid) + (b"\x05\x00" if params else b"")
    return tlv(0x30, tlv(0x30, algorithm, long_form) + tlv(0x04, digest, long_form), long_form)


def der_int(x):
    """A DER INTEGER of any sign."""
    n = (x.bit_length() + 8) // 8
    return tlv(0x02, x.to_bytes(n, "big", signed=True))


def is_probable_prime(n, rng):
    if n < 2:
        return False
    for p in SMALL_PRIMES:
        if n % p == 0:
            return n == p
    d, s = n - 1, 0
    while d % 2 == 0:
        d, s = d // 2, s + 1
    for _ in range(12):
        x = pow(rng.randrange(2, n - 1), d, n)
        if x in (1, n - 1):
            continue
        for _ in range(s - 1):
            x = x * x % n
            if x == n - 1:
                break
        else:
            return False
    return True


SMALL_PRIMES = [p for p in range(3, 2000, 2) if all(p % q for q in range(3, int(p ** 0.5) + 1, 2))]


def prime(rng, bits, e):
    while True:
        p = rng.getrandbits(bits) | (3 << (bits - 2)) | 1
        if (p - 1) % e != 0 and is_probable_prime(p, rng):
            return p


class Key:
    def __init__(self, ident, p, q, e):
        self.id, self.n, self.e = ident, p * q, e
        self.d = pow(e, -1, (p - 1) * (q - 1))
        numbers = rsa.RSAPrivateNumbers(
            p, q, self.d, self.d % (p - 1), self.d % (q - 1), pow(q, -1, p),
            rsa.RSAPublicNumbers(e, self.n))
        self.private = numbers.private_key()
        self.k = (self.n.bit_length() + 7) // 8

    def row(self):
        pub = self.private.public_key()
        return ("key", self.id,
                self.private.private_bytes(serialization.Encoding.DER,
                                           serialization.PrivateFormat.TraditionalOpenSSL,
                                           serialization.NoEncryption()).hex(),
                pub.public_bytes(serialization.Encoding.DER,
                                 serialization.PublicFormat.PKCS1).hex(),
                pub.public_bytes(serialization.Encoding.DER,
                                 serialization.PublicFormat.SubjectPublicKeyInfo).hex())

    def raw_sign(self, block):
        return pow(int.from_bytes(block, "big"), self.d, self.n).to_bytes(self.k, "big")

    def block(self, t, ps=None, fill=b"\xff"):
        ps = self.k - 3 - len(t) if ps is None else ps
        return b"\x00\x01" + fill * ps + b"\x00" + t


def icbrt(x):
    """The integer cube root, rounded up."""
    r = 1 << ((x.bit_length() + 2) // 3)
    while True:
        s = (2 * r + x // (r * r)) // 3
        if s >= r:
            break
        r = s
    while r ** 3 < x:
        r += 1
    return r


def cavp_rows(rows, path, label):
    """verify rows (through SetPublic: id "ne:<n>:<e>") from a CAVP SigVer file."""
    n = e = alg = msg = sig = None
    with open(path) as f:
        for line in f:
            line = line.strip()
            if "=" not in line:
                continue
            name, _, value = (s.strip() for s in line.partition("="))
            if name == "n":
                n = value
            elif name == "e":
                e = value.lstrip("0") or "0"
            elif name == "SHAAlg":
                alg = value
            elif name == "Msg":
                msg = value
            elif name == "S":
                sig = value
            elif name == "Result":
                digest = HASHES[alg][0](bytes.fromhex(msg)).hexdigest()
                rows.append(("verify", "ne:%s:%s" % (n, e), 2, digest, sig,
                             1 if value.startswith("P") else 0, "%s %s" % (label, value)))


def pkcs1v15_rows(rows):
    """The signing examples: keys with CRT members, messages, signatures."""
    fields, current, examples = {}, None, []
    names = {"Modulus": "n", "Public exponent": "e", "Exponent": "d", "Prime 1": "p",
             "Prime 2": "q", "Prime exponent 1": "dp", "Prime exponent 2": "dq",
             "Coefficient": "qinv", "Message to be signed": "msg", "Signature": "sig"}
    with open(os.path.join(VECTORS, "pkcs1v15sign-vectors.txt")) as f:
        for line in f:
            line = line.strip()
            if line.startswith("# Example"):
                fields = {}
                examples.append(fields)
                current = None
            elif line.startswith("#") and line.rstrip(": ").lstrip("# ") in names:
                current = names[line.rstrip(": ").lstrip("# ")]
                if current == "msg":
                    fields.setdefault("cases", []).append({})
                if current in ("n", "e", "d"):
                    fields[current] = ""
            elif line.startswith("#") or not line:
                if line.startswith("# ---") or line.startswith("# PKCS"):
                    current = None
            elif current in ("msg", "sig"):
                case = fields["cases"][-1]
                case[current] = case.get(current, "") + line.replace(" ", "")
            elif current:
                fields[current] = fields.get(current, "") + line.replace(" ", "")
    for i, ex in enumerate(examples):
        v = {k: int(ex[k], 16) for k in ("n", "e", "d", "p", "q", "dp", "dq", "qinv")}
        key = rsa.RSAPrivateNumbers(v["p"], v["q"], v["d"], v["dp"], v["dq"], v["qinv"],
                                    rsa.RSAPublicNumbers(v["e"], v["n"])).private_key()
        ident = "v15-%d" % (i + 1)
        pub = key.public_key()
        rows.append(("key", ident,
                     key.private_bytes(serialization.Encoding.DER,
                                       serialization.PrivateFormat.TraditionalOpenSSL,
                                       serialization.NoEncryption()).hex(),
                     pub.public_bytes(serialization.Encoding.DER,
                                      serialization.PublicFormat.PKCS1).hex(),
                     pub.public_bytes(serialization.Encoding.DER,
                                      serialization.PublicFormat.SubjectPublicKeyInfo).hex()))
        for case in ex["cases"]:
            digest = hashlib.sha1(bytes.fromhex(case["msg"])).digest()
            rows.append(("sign", ident, digest_info("SHA1", digest).hex(), case["sig"]))


def differential_rows(rows, keys, rng):
    for key in keys:
        rows.append(key.row())
        for name, (_, algorithm, _) in HASHES.items():
            if name == "MD5":
                continue
            message = rng.randbytes(rng.randint(0, 200))
            digest = HASHES[name][0](message).digest()
            signature = key.private.sign(message, padding.PKCS1v15(), algorithm())
            rows.append(("verify", key.id, 2, digest.hex(), signature.hex(), 1, "python " + name))
            rows.append(("sign", key.id, digest_info(name, digest).hex(), signature.hex()))
            wrong = bytes([digest[0] ^ 1]) + digest[1:]
            rows.append(("verify", key.id, 2, wrong.hex(), signature.hex(), 0, "other digest " + name))
        # MD5 through Prehashed, and TLS 1.0's bare MD5 || SHA-1 in mode 1.
        digest = hashlib.md5(b"md5").digest()
        signature = key.private.sign(digest, padding.PKCS1v15(), Prehashed(hashes.MD5()))
        rows.append(("verify", key.id, 2, digest.hex(), signature.hex(), 1, "python MD5"))
        bare = hashlib.md5(b"tls").digest() + hashlib.sha1(b"tls").digest()
        rows.append(("verify", key.id, 1, bare.hex(), key.raw_sign(key.block(bare)).hex(), 1,
                     "mode 1 bare digest"))
        rows.append(("verify", key.id, 2, bare.hex(), key.raw_sign(key.block(bare)).hex(), 0,
                     "bare block in mode 2"))


def forgery_rows(rows, key, rng):
    """Signatures that a lenient parser would take, for an e = 3 key."""
    digest = hashlib.sha256(b"forged").digest()
    info = digest_info("SHA256", digest)
    add = lambda block, label, expected=0, mode=2, d=digest: rows.append(
        ("verify", key.id, mode, d.hex(), key.raw_sign(block).hex(), expected, label))
    add(key.block(info), "NULL parameters", 1)
    add(key.block(digest_info("SHA256", digest, params=False)), "absent parameters", 1)
    add(key.block(info + b"\x00" * 8, ps=key.k - 3 - len(info) - 8), "trailing garbage")
    add(key.block(digest_info("SHA256", digest, long_form=True)), "long-form lengths")
    add(key.block(digest_info("SHA256", digest, oid=HASHES["SHA512"][2])), "wrong hash OID")
    ps = key.k - 3 - len(info)
    add(b"\x00\x01" + b"\xff" * (ps // 2) + b"\xfe" + b"\xff" * (ps - ps // 2 - 1) + b"\x00" + info,
        "padding byte not FF")
    add(b"\x00\x02" + b"\xff" * ps + b"\x00" + info, "block type 2")
    long_digest = rng.randbytes(key.k - 3 - 7)
    add(key.block(long_digest), "PS of 7 bytes", 0, 1, long_digest)
    eight = rng.randbytes(key.k - 3 - 8)
    add(key.block(eight), "PS of 8 bytes", 1, 1, eight)
    # Bleichenbacher: the prefix up to the digest, then garbage, made a cube
    # without the private key.
    prefix = b"\x00\x01" + b"\xff" * 8 + b"\x00" + info
    garbage_bits = 8 * (key.k - len(prefix))
    s = icbrt(int.from_bytes(prefix, "big") << garbage_bits)
    assert (s ** 3) >> garbage_bits == int.from_bytes(prefix, "big")
    rows.append(("verify", key.id, 2, digest.hex(), s.to_bytes(key.k, "big").hex(), 0,
                 "cube root with garbage"))
    # A valid signature whose top byte is 0, once whole and once without it.
    for i in range(4096):
        message = b"short %d" % i
        sig = key.private.sign(message, padding.PKCS1v15(), hashes.SHA256())
        if sig[0] == 0:
            d = hashlib.sha256(message).hexdigest()
            rows.append(("verify", key.id, 2, d, sig.hex(), 1, "leading zero byte"))
            rows.append(("verify", key.id, 2, d, sig[1:].hex(), 0, "one byte short"))
            break
    n_bytes = key.n.to_bytes(key.k, "big")
    rows.append(("verify", key.id, 2, digest.hex(), n_bytes.hex(), 0, "signature equal to n"))
    rows.append(("verify", key.id, 2, digest.hex(), (b"\x00" + n_bytes).hex(), 0,
                 "one byte long"))


def bad_key_rows(rows, rng):
    p, q = prime(rng, 512, 3), prime(rng, 512, 3)
    n, e = p * q, 65537
    good = Key("bad-base", p, q, e)
    d, dp, dq, qinv = good.d, good.d % (p - 1), good.d % (q - 1), pow(q, -1, p)

    def private(nn=n, ee=e, dd=d, pp=p, qq=q, version=0):
        body = b"".join(der_int(x) for x in (version, nn, ee, dd, pp, qq, dp, dq, qinv))
        return tlv(0x30, body).hex()

    def public(nn, ee):
        return tlv(0x30, der_int(nn) + der_int(ee)).hex()

    # Refused on size before anything else: any odd number of that size.
    small = rng.getrandbits(512) | (1 << 511) | 1
    big = rng.getrandbits(8200) | (1 << 8199) | 1
    for kind, der, label in [
        ("public", public(n + 1, e), "even n"),
        ("public", public(small, e), "512-bit n"),
        ("public", public(big, e), "8200-bit n"),
        ("public", public(n, 1), "e of 1"),
        ("public", public(n, 2), "e of 2"),
        ("public", public(n, n + 2), "e above n"),
        ("public", public(-n, e), "negative n"),
        ("public", tlv(0x30, tlv(0x02, b"\x00" + n.to_bytes(128, "big")[0:1] +
                                 n.to_bytes(128, "big")[1:]) + der_int(e)).hex()
         if n >> 1023 == 0 else tlv(0x30, tlv(0x02, b"\x00\x00" + n.to_bytes(128, "big")) +
                                    der_int(e)).hex(), "non-minimal INTEGER"),
        ("public", public(n, e) + "00", "trailing byte"),
        ("private", private(nn=n + 2), "p * q differs from n"),
        ("private", private(dd=0), "d of 0"),
        ("private", private(dd=n), "d of n"),
        ("private", private(version=1), "version 1"),
        ("private", private(nn=n + 1), "even n"),
        ("private", private(pp=q, qq=p), "swapped primes"),
    ]:
        rows.append(("badkey", kind, der, label))
    return good


def main():
    if len(sys.argv) != 2:
        sys.exit("usage: gen_rsa.py <vectors-dir>")
    rng = random.Random(SEED)
    rows = []
    cavp_rows(rows, os.path.join(VECTORS, "FIPS_186-2", "SigVer15_186-3.rsp"), "SigVer15_186-3")
    cavp_rows(rows, os.path.join(VECTORS, "SigVer15EMTest.txt"), "SigVer15EMTest")
    pkcs1v15_rows(rows)
    keys = []
    for bits, e in [(1024, 65537), (2048, 65537), (3072, 65537), (4096, 65537), (1024, 3),
                    (2048, 3), (1536, 17)]:
        p, q = prime(rng, bits // 2, e), prime(rng, bits // 2, e)
        keys.append(Key("k%d-e%d" % (bits, e), p, q, e))
    differential_rows(rows, keys, rng)
    forgery_rows(rows, keys[5], rng)
    bad_key_rows(rows, rng)
    os.makedirs(sys.argv[1], exist_ok=True)
    with open(os.path.join(sys.argv[1], "rsa.txt"), "w") as f:
        f.write("# seed %d\n" % SEED)
        for row in rows:
            f.write("\t".join(str(x) for x in row) + "\n")


if __name__ == "__main__":
    main()
