#!/usr/bin/python3
"""TLS record vectors for core/security/tls1_test.cpp.

Usage: /usr/bin/python3 tests/gen_tls_records.py <vectors-dir>
       /usr/bin/python3 tests/gen_tls_records.py --check FILE

From one master secret and pair of randoms, every suite in every version that
allows it derives its key block (the PRF by Python's hmac) and the server
side builds records with Python cryptography (AES-CBC, AES-GCM, ARC4) and
hmac. Files in <vectors-dir>, tab-separated, hex fields ('-' for empty):
  tls_records.txt   keys MASTER CLIENT_RANDOM SERVER_RANDOM   (first line)
                    open SUITE VERSION TYPE PLAIN RECORD      records in order
                                                              from sequence 0
                    refuse SUITE VERSION KIND RECORD          a first record
                                                              that must fail
                                                              (KIND badpad,
                                                              badmac, both)
  tls_records_script.txt   the path of this script
  tls_server_key.pem, tls_server_cert.pem   an RSA key and its self-signed
                    certificate (CN localhost) for the TLS peers
With --serve PORT CHAIN KEY, a TLS 1.2 server on 127.0.0.1:PORT for one
connection (AES128-SHA, RSA key exchange, every wait bounded) that omits
renegotiation_info and sends a HelloRequest after its Finished: it answers
the client's request with "HTTP/1.0 200 ok" when the one alert it got is the
warning no_renegotiation (1, 100), else "HTTP/1.0 500".
With --flight PORT NAME CHAIN, a server for one connection that answers the
ClientHello with the plaintext flight NAME (see FLIGHTS), a fault each, and
waits (bounded) for the client to close.
With --check, FILE holds lines "SUITE VERSION PLAIN RECORDS": the client's
records (in order per suite and version, from sequence 0), opened with the
client's keys; their application data must equal PLAIN, and under TLS 1.0
with a block cipher the first record of a line must carry one byte. Exit
status 0 when every line passes.
"""
import datetime
import hashlib
import hmac
import os
import random
import socket
import sys
import warnings

from cryptography import x509
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import padding, rsa
from cryptography.hazmat.primitives.ciphers import Cipher, algorithms, modes
from cryptography.hazmat.primitives.ciphers.aead import AESGCM
from cryptography.x509.oid import NameOID

from gen_tls_prf import prf  # the script's own directory is on the path

warnings.filterwarnings("ignore")
SEED = 20261208
# id: (key bytes, kind, hash)
SUITES = {
    0xC02C: (32, "gcm", "sha384"), 0xC030: (32, "gcm", "sha384"), 0xC024: (32, "cbc", "sha384"),
    0xC028: (32, "cbc", "sha384"), 0xC00A: (32, "cbc", "sha1"), 0xC014: (32, "cbc", "sha1"),
    0x009D: (32, "gcm", "sha384"), 0x003D: (32, "cbc", "sha256"), 0x0035: (32, "cbc", "sha1"),
    0xC02B: (16, "gcm", "sha256"), 0xC02F: (16, "gcm", "sha256"), 0xC023: (16, "cbc", "sha256"),
    0xC027: (16, "cbc", "sha256"), 0xC009: (16, "cbc", "sha1"), 0xC013: (16, "cbc", "sha1"),
    0x009C: (16, "gcm", "sha256"), 0x003C: (16, "cbc", "sha256"), 0x002F: (16, "cbc", "sha1"),
    0x0005: (16, "rc4", "sha1"), 0x0004: (16, "rc4", "md5"),
}
VERSIONS = (0x31, 0x32, 0x33)
PLAIN_LENGTHS = (0, 1, 17, 256, 16384)


def hx(data):
    return data.hex() if data else "-"


def unhx(text):
    return b"" if text == "-" else bytes.fromhex(text)


class Side:
    """One direction's keys and running state."""

    def __init__(self, suite, version, master, client_random, server_random, client):
        key_bytes, self.kind, hash_name = SUITES[suite]
        self.version = version
        self.digest = getattr(hashlib, hash_name)
        mac = 0 if self.kind == "gcm" else self.digest().digest_size
        iv = 4 if self.kind == "gcm" else (16 if self.kind == "cbc" and version < 0x32 else 0)
        prf_digest = hashlib.sha384 if hash_name == "sha384" else hashlib.sha256
        block = prf(version, prf_digest, master, "key expansion", server_random + client_random,
                    2 * (mac + key_bytes + iv))
        i = 0 if client else 1
        self.mac_key = block[i * mac:(i + 1) * mac]
        self.key = block[2 * mac + i * key_bytes:2 * mac + (i + 1) * key_bytes]
        self.iv = block[2 * (mac + key_bytes) + i * iv:2 * (mac + key_bytes) + (i + 1) * iv]
        self.sequence = 0
        if self.kind == "rc4":
            self.stream_enc = Cipher(algorithms.ARC4(self.key), None).encryptor()
            self.stream_dec = Cipher(algorithms.ARC4(self.key), None).decryptor()
        if self.kind == "cbc" and version == 0x31:
            self.chain_enc = Cipher(algorithms.AES(self.key), modes.CBC(self.iv)).encryptor()
            self.chain_dec = Cipher(algorithms.AES(self.key), modes.CBC(self.iv)).decryptor()

    def mac_header(self, rtype, length):
        return self.sequence.to_bytes(8, "big") + bytes([rtype, 3, self.version & 15]) + \
            length.to_bytes(2, "big")

    def seal(self, rtype, data, rng, extra_pad=0, fault=None):
        header = self.mac_header(rtype, len(data))
        if self.kind == "gcm":
            explicit = bytes(rng.getrandbits(8) for _ in range(8))
            body = explicit + AESGCM(self.key).encrypt(self.iv + explicit, data, header)
            if fault:
                body = body[:-1] + bytes([body[-1] ^ 1])
        else:
            mac = bytearray(hmac.new(self.mac_key, header + data, self.digest).digest())
            if fault in ("badmac", "both"):
                mac[0] ^= 0x80
            plain = data + bytes(mac)
            if self.kind == "rc4":
                body = self.stream_enc.update(plain)
            else:
                pad = 16 - len(plain) % 16 + extra_pad
                padding = bytearray([pad - 1] * pad)
                if fault in ("badpad", "both"):
                    padding[0] ^= 1 if pad > 1 else 0
                    if pad == 1:
                        padding[-1] = 200  # claims more than the record holds
                plain += bytes(padding)
                if self.version == 0x31:
                    body = self.chain_enc.update(plain)
                else:
                    iv = bytes(rng.getrandbits(8) for _ in range(16))
                    body = iv + Cipher(algorithms.AES(self.key), modes.CBC(iv)).encryptor() \
                        .update(plain)
        self.sequence += 1
        return bytes([rtype, 3, self.version & 15]) + len(body).to_bytes(2, "big") + body

    def open(self, record):
        """(type, data) of one record, or raises."""
        rtype, length = record[0], int.from_bytes(record[3:5], "big")
        body = record[5:5 + length]
        assert len(body) == length, "short record"
        if self.kind == "gcm":
            explicit, rest = body[:8], body[8:]
            data = AESGCM(self.key).decrypt(self.iv + explicit, rest,
                                            self.mac_header(rtype, len(rest) - 16))
        else:
            size = self.digest().digest_size
            if self.kind == "rc4":
                plain = self.stream_dec.update(body)
            elif self.version == 0x31:
                plain = self.chain_dec.update(body)
            else:
                plain = Cipher(algorithms.AES(self.key), modes.CBC(body[:16])).decryptor() \
                    .update(body[16:])
            if self.kind == "cbc":
                pad = plain[-1] + 1
                assert plain[-pad:] == bytes([pad - 1] * pad), "bad padding"
                plain = plain[:-pad]
            data, mac = plain[:-size], plain[-size:]
            expected = hmac.new(self.mac_key, self.mac_header(rtype, len(data)) + data,
                                self.digest).digest()
            assert hmac.compare_digest(mac, expected), "bad MAC"
        self.sequence += 1
        return rtype, data


def cases():
    for suite in SUITES:
        for version in VERSIONS:
            if SUITES[suite][1] != "gcm" or version == 0x33:
                yield suite, version


def keys(rng):
    rnd = lambda n: bytes(rng.getrandbits(8) for _ in range(n))
    return rnd(48), rnd(32), rnd(32)


def server_pem(directory):
    key = rsa.generate_private_key(public_exponent=65537, key_size=2048)
    name = x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, "localhost")])
    now = datetime.datetime(2026, 1, 1)
    cert = (x509.CertificateBuilder().subject_name(name).issuer_name(name)
            .public_key(key.public_key()).serial_number(1)
            .not_valid_before(now).not_valid_after(now + datetime.timedelta(days=3650))
            .sign(key, hashes.SHA256()))
    with open(os.path.join(directory, "tls_server_key.pem"), "wb") as f:
        f.write(key.private_bytes(serialization.Encoding.PEM,
                                  serialization.PrivateFormat.TraditionalOpenSSL,
                                  serialization.NoEncryption()))
    with open(os.path.join(directory, "tls_server_cert.pem"), "wb") as f:
        f.write(cert.public_bytes(serialization.Encoding.PEM))


def generate(directory):
    rng = random.Random(SEED)
    master, client_random, server_random = keys(rng)
    rows = [["keys", master.hex(), client_random.hex(), server_random.hex()]]
    for suite, version in cases():
        side = Side(suite, version, master, client_random, server_random, client=False)
        for n, length in enumerate(PLAIN_LENGTHS):
            data = bytes(rng.getrandbits(8) for _ in range(length))
            # Every other CBC record carries the longest padding it can.
            extra = 16 * ((255 - 16) // 16) if side.kind == "cbc" and n % 2 else 0
            rows.append(["open", "%04x" % suite, "%x" % version, "17", hx(data),
                         side.seal(23, data, rng, extra)])
        for kind in ("badpad", "badmac", "both") if side.kind == "cbc" else ("badmac",):
            bad = Side(suite, version, master, client_random, server_random, client=False)
            rows.append(["refuse", "%04x" % suite, "%x" % version, kind,
                         bad.seal(23, b"attack at dawn!", rng, 0, kind).hex()])
    with open(os.path.join(directory, "tls_records.txt"), "w") as f:
        for row in rows:
            f.write("\t".join(r if isinstance(r, str) else r.hex() for r in row) + "\n")
    with open(os.path.join(directory, "tls_records_script.txt"), "w") as f:
        f.write(os.path.abspath(__file__) + "\n")
    server_pem(directory)


def check(path):
    rng = random.Random(SEED)
    master, client_random, server_random = keys(rng)
    sides, bad = {}, 0
    with open(path) as f:
        for number, line in enumerate(f, 1):
            suite, version, plain, records = line.rstrip("\n").split("\t")
            key = (int(suite, 16), int(version, 16))
            if key not in sides:
                sides[key] = Side(key[0], key[1], master, client_random, server_random, True)
            side, records, data, count = sides[key], unhx(records), b"", 0
            try:
                while records:
                    length = int.from_bytes(records[3:5], "big")
                    rtype, piece = side.open(records[:5 + length])
                    assert rtype == 23, "type %d" % rtype
                    if count == 0 and side.version == 0x31 and side.kind == "cbc" \
                            and len(unhx(plain)) > 1:
                        assert len(piece) == 1, "no 1/n-1 split"
                    data, records, count = data + piece, records[5 + length:], count + 1
                assert data == unhx(plain), "data differs"
            except Exception as e:  # noqa: BLE001 - report and go on
                bad += 1
                print("line %d (%s %s): %s" % (number, suite, version, e), file=sys.stderr)
    return 1 if bad else 0


def read_exact(conn, n):
    data = b""
    while len(data) < n:
        piece = conn.recv(n - len(data))
        if not piece:
            raise EOFError("peer closed")
        data += piece
    return data


def read_record(conn):
    header = read_exact(conn, 5)
    return header + read_exact(conn, int.from_bytes(header[3:5], "big"))


def handshake_message(mtype, body):
    return bytes([mtype]) + len(body).to_bytes(3, "big") + body


def record(rtype, data):
    return bytes([rtype, 3, 3]) + len(data).to_bytes(2, "big") + data


def load_chain(path):
    with open(path, "rb") as f:
        text = f.read()
    marker = b"-----END CERTIFICATE-----"
    return [x509.load_pem_x509_certificate(part + marker)
            for part in text.split(marker) if b"BEGIN" in part]


def accept_one(port):
    listener = socket.create_server(("127.0.0.1", port))
    listener.settimeout(10)
    conn, _ = listener.accept()
    conn.settimeout(10)
    return conn


def server_hello(minor, suite, id_length=0, compression=0):
    return handshake_message(2, bytes([3, minor]) + bytes(32) + bytes([id_length]) +
                             bytes(id_length) + suite.to_bytes(2, "big") + bytes([compression]))


def certificate_message(der, entry_extra=0):
    entry = (len(der) + entry_extra).to_bytes(3, "big") + der
    return handshake_message(11, len(entry).to_bytes(3, "big") + entry)


# name: records of the flight, built from the leaf's DER.
UNOFFERED_CURVE = handshake_message(12, bytes([3, 0, 25, 1, 4, 4, 1, 0, 0]))
FLIGHTS = {
    "ske-for-rsa": lambda c: [record(22, server_hello(3, 0x002F) + certificate_message(c) +
                                     UNOFFERED_CURVE)],
    "no-ske-for-ecdhe": lambda c: [record(22, server_hello(3, 0xC02F) + certificate_message(c) +
                                          handshake_message(14, b""))],
    "early-ccs": lambda c: [record(22, server_hello(3, 0x002F)), record(20, b"\x01")],
    "plaintext-finished": lambda c: [record(22, server_hello(3, 0x002F) + certificate_message(c) +
                                            handshake_message(14, b"")),
                                     record(22, handshake_message(20, bytes(12)))],
    "compression-1": lambda c: [record(22, server_hello(3, 0x002F, 0, 1))],
    "gcm-in-1.1": lambda c: [record(22, server_hello(2, 0x009C))],
    "curve-not-offered": lambda c: [record(22, server_hello(3, 0xC02F) + certificate_message(c) +
                                           UNOFFERED_CURVE)],
    "entry-beyond-list": lambda c: [record(22, server_hello(3, 0x002F) +
                                           certificate_message(c, 1))],
    "33-byte-id": lambda c: [record(22, server_hello(3, 0x002F, 33))],
}


def serve_flight(port, name, chain_path):
    leaf = load_chain(chain_path)[0].public_bytes(serialization.Encoding.DER)
    conn = accept_one(port)
    read_record(conn)
    conn.sendall(b"".join(FLIGHTS[name](leaf)))
    try:
        while conn.recv(4096):
            pass
    except socket.timeout:
        pass
    conn.close()
    return 0


def serve(port, chain_path, key_path):
    suite, version, rng = 0x002F, 0x33, random.Random()
    with open(key_path, "rb") as f:
        key = serialization.load_pem_private_key(f.read(), None)
    chain = load_chain(chain_path)
    conn = accept_one(port)
    hello = read_record(conn)[5:]
    assert hello[0] == 1, "not a ClientHello"
    client_random = hello[6:38]
    server_random = bytes(rng.getrandbits(8) for _ in range(32))
    entries = b"".join(len(c.public_bytes(serialization.Encoding.DER)).to_bytes(3, "big") +
                       c.public_bytes(serialization.Encoding.DER) for c in chain)
    flight = (handshake_message(2, bytes([3, 3]) + server_random + bytes([0]) +
                                suite.to_bytes(2, "big") + bytes([0])) +
              handshake_message(11, len(entries).to_bytes(3, "big") + entries) +
              handshake_message(14, b""))
    conn.sendall(record(22, flight))
    transcript = hello + flight
    exchange = read_record(conn)[5:]
    assert exchange[0] == 16, "not a ClientKeyExchange"
    premaster = key.decrypt(exchange[6:], padding.PKCS1v15())
    transcript += exchange
    master = prf(version, hashlib.sha256, premaster, "master secret",
                 client_random + server_random, 48)
    assert read_record(conn)[0] == 20, "no ChangeCipherSpec"
    reader = Side(suite, version, master, client_random, server_random, client=True)
    writer = Side(suite, version, master, client_random, server_random, client=False)
    rtype, finished = reader.open(read_record(conn))
    expected = prf(version, hashlib.sha256, master, "client finished",
                   hashlib.sha256(transcript).digest(), 12)
    assert rtype == 22 and finished == handshake_message(20, expected), "bad Finished"
    transcript += finished
    verify = prf(version, hashlib.sha256, master, "server finished",
                 hashlib.sha256(transcript).digest(), 12)
    conn.sendall(record(20, b"\x01") + writer.seal(22, handshake_message(20, verify), rng) +
                 writer.seal(22, handshake_message(0, b""), rng))
    # The request and the warning may cross the HelloRequest in either order.
    request, alerts = b"", []
    try:
        while not request.endswith(b"\r\n\r\n") or not alerts:
            rtype, data = reader.open(read_record(conn))
            if rtype == 21:
                alerts.append(data)
            else:
                request += data
    except (socket.timeout, EOFError):
        pass
    status = b"200 ok" if alerts == [bytes([1, 100])] else b"500"
    page = b"HTTP/1.0 " + status + b"\r\n\r\n<HTML>alerts " + repr(alerts).encode() + b"</HTML>"
    conn.sendall(writer.seal(23, page, rng))
    conn.close()
    return 0


def main():
    if len(sys.argv) == 3 and sys.argv[1] == "--check":
        sys.exit(check(sys.argv[2]))
    if len(sys.argv) == 5 and sys.argv[1] == "--flight":
        sys.exit(serve_flight(int(sys.argv[2]), sys.argv[3], sys.argv[4]))
    if len(sys.argv) == 5 and sys.argv[1] == "--serve":
        sys.exit(serve(int(sys.argv[2]), sys.argv[3], sys.argv[4]))
    if len(sys.argv) != 2:
        sys.exit("usage: gen_tls_records.py <vectors-dir> | --check FILE")
    generate(sys.argv[1])


if __name__ == "__main__":
    main()
