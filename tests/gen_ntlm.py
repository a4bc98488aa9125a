#!/usr/bin/python3
"""Oracle vectors for core/net/ntlm: the NTLM2 session responses of
python3-ntlm-auth and the negotiate and authenticate messages laid out with
struct from the message tables.

Debian 12's OpenSSL keeps MD4 in its legacy provider, which hashlib (and so
ntlm-auth) reaches only with a configuration that loads it: the script writes
one beside its vectors and runs itself again under it.

Writes <dir>/ntlm.txt, one case a line, tab-separated, bytes in hex:
  resp  <password UTF-8> <server challenge> <client challenge> <LM response> <NT response>
  type1 <domain> <workstation> <message>
  type3 <challenge flags, 8 hex digits> <user UTF-8> <password UTF-8>
        <server challenge> <client challenge> <message>
The first line is "# seed N".
"""
import os
import random
import struct
import sys

LEGACY_CONF = """openssl_conf = openssl_init
[openssl_init]
providers = provider_sect
[provider_sect]
default = default_sect
legacy = legacy_sect
[default_sect]
activate = 1
[legacy_sect]
activate = 1
"""
SEED = 0x4E7_1A2
SIGNATURE = b"NTLMSSP\0"
TEXT = "abcXYZ019 -_.@"
NON_ASCII = ["é", "ß", "Ж", "中", "😀", "\u00ff"]


def under_legacy_provider(directory):
    if os.environ.get("KEELSON_NTLM_LEGACY") == "1":
        return
    conf = os.path.join(directory, "openssl-legacy.cnf")
    with open(conf, "w", encoding="ascii") as f:
        f.write(LEGACY_CONF)
    env = dict(os.environ, OPENSSL_CONF=conf, KEELSON_NTLM_LEGACY="1")
    os.execve("/usr/bin/python3", ["/usr/bin/python3"] + sys.argv, env)


def text(rng, low, high):
    alphabet = list(TEXT) + NON_ASCII
    return "".join(rng.choice(alphabet) for _ in range(rng.randint(low, high)))


def buffer_field(length, offset):
    return struct.pack("<HHI", length, length, offset)


def negotiate(domain, workstation):
    flags = 0x00088205
    if domain:
        flags |= 0x1000
    if workstation:
        flags |= 0x2000
    d, w = domain.encode(), workstation.encode()
    return (SIGNATURE + struct.pack("<II", 1, flags) + buffer_field(len(d), 32) +
            buffer_field(len(w), 32 + len(d)) + d + w)


def authenticate(flags, user, lm, nt):
    name = user.encode("utf-16-le") if flags & 1 else user.encode()
    end = 64 + 48
    return (SIGNATURE + struct.pack("<I", 3) + buffer_field(24, 64) + buffer_field(24, 88) +
            buffer_field(0, end) + buffer_field(len(name), end) +
            buffer_field(0, end + len(name)) + buffer_field(0, end + len(name)) +
            struct.pack("<I", (flags & 0x8205) | 0x80000) + lm + nt + name)


def main():
    if len(sys.argv) != 2:
        sys.exit("usage: gen_ntlm.py <vectors-dir>")
    under_legacy_provider(sys.argv[1])
    from ntlm_auth.compute_response import ComputeResponse

    def responses(password, server, client):
        nt, _ = ComputeResponse._get_NTLM2_response(password, server, client)
        return ComputeResponse._get_LMv1_with_session_security_response(client), nt

    rng = random.Random(SEED)
    lines = ["# seed %d" % SEED]
    for n in range(16):
        password = "Password" if n == 0 else text(rng, 0, 24)
        server = bytes.fromhex("0123456789abcdef") if n == 0 else rng.randbytes(8)
        client = bytes.fromhex("aaaaaaaaaaaaaaaa") if n == 0 else rng.randbytes(8)
        lm, nt = responses(password, server, client)
        lines.append("\t".join(["resp", password.encode().hex(), server.hex(), client.hex(),
                                lm.hex(), nt.hex()]))
    for domain, workstation in [("", ""), ("DOMN", ""), ("", "WS01"), ("Corp", "Host-7")]:
        lines.append("\t".join(["type1", domain, workstation,
                                negotiate(domain, workstation).hex()]))
    for n in range(8):
        flags = rng.choice([0x00088205, 0x00088204, 0xE2898235, 0x00000200, 0x62818215])
        user = text(rng, 1, 12)
        password = text(rng, 0, 12)
        server, client = rng.randbytes(8), rng.randbytes(8)
        lm, nt = responses(password, server, client)
        lines.append("\t".join(["type3", "%08x" % flags, user.encode().hex(),
                                password.encode().hex(), server.hex(), client.hex(),
                                authenticate(flags, user, lm, nt).hex()]))
    with open(os.path.join(sys.argv[1], "ntlm.txt"), "w", encoding="ascii") as f:
        f.write("\n".join(lines) + "\n")


if __name__ == "__main__":
    main()
