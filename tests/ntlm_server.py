"""An HTTP server that asks for NTLM and checks the answer with
python3-ntlm-auth. It listens on 127.0.0.1 (a free port, written to
<dir>/port), sends a fixed challenge to every negotiate message and accepts
an authenticate message on the same connection whose NTLM2 session response
matches the password given on the command line for that user.

Usage: /usr/bin/python3 tests/ntlm_server.py <dir> <user> <password> [proxy]

Answers: 401 "WWW-Authenticate: NTLM" without an answer or with a refused
one, 401 "WWW-Authenticate: NTLM <challenge>" to a negotiate message, 200
with the body "ntlm ok <user>" to an accepted authenticate message. With
"proxy" it asks as a proxy does: 407, "Proxy-Authenticate" and
"Proxy-Authorization", and answers the request itself once accepted.
Debian 12's OpenSSL keeps MD4 in its legacy provider: the script runs itself
again under a configuration that loads it.
"""
import base64, struct, sys

from gen_ntlm import under_legacy_provider
from httppeer import read_head, serve_forever

SERVER_CHALLENGE = bytes.fromhex('0123456789abcdef')
FLAGS = 0x00088205  # unicode, request target, NTLM, always sign, NTLM2 session

directory, user, password = sys.argv[1], sys.argv[2], sys.argv[3]
as_proxy = sys.argv[4:5] == ['proxy']
STATUS = b'407 Proxy Authentication Required' if as_proxy else b'401 Unauthorized'
ASK = b'Proxy-Authenticate' if as_proxy else b'WWW-Authenticate'
ANSWER = b'proxy-authorization' if as_proxy else b'authorization'
under_legacy_provider(directory)

from ntlm_auth.compute_response import ComputeResponse  # noqa: E402


def challenge_message():
    empty = struct.pack('<HHI', 0, 0, 48)
    return (b'NTLMSSP\0' + struct.pack('<I', 2) + empty + struct.pack('<I', FLAGS) +
            SERVER_CHALLENGE + b'\0' * 8 + empty)


def field(message, at):
    length, _, offset = struct.unpack_from('<HHI', message, at)
    return message[offset:offset + length]


def accepted(message):
    if message[:8] != b'NTLMSSP\0' or struct.unpack_from('<I', message, 8)[0] != 3:
        return False
    lm, nt, name = field(message, 12), field(message, 20), field(message, 36)
    flags = struct.unpack_from('<I', message, 60)[0] if len(message) >= 64 else 0
    name = name.decode('utf-16-le') if flags & 1 else name.decode()
    expected, _ = ComputeResponse._get_NTLM2_response(password, SERVER_CHALLENGE, lm[:8])
    return name == user and nt == expected


def answer(status, headers=(), body=b''):
    lines = [b'HTTP/1.1 ' + status, b'Content-Length: %d' % len(body)] + list(headers)
    return b'\r\n'.join(lines) + b'\r\n\r\n' + body


def serve(conn):
    pending = b''
    try:
        while True:
            head, pending = read_head(conn, pending)
            if head is None:
                return
            token = None
            for line in head.split(b'\r\n')[1:]:
                name, _, value = line.partition(b':')
                if name.strip().lower() == ANSWER:
                    scheme, _, token = value.strip().partition(b' ')
            message = base64.b64decode(token) if token else b''
            if len(message) >= 12 and struct.unpack_from('<I', message, 8)[0] == 1:
                conn.sendall(answer(STATUS, [
                    ASK + b': NTLM ' + base64.b64encode(challenge_message())]))
            elif message and accepted(message):
                conn.sendall(answer(b'200 OK', body=b'ntlm ok ' + user.encode()))
            else:
                conn.sendall(answer(STATUS, [ASK + b': NTLM']))
    except OSError:
        pass
    finally:
        conn.close()


serve_forever(directory, serve)
