"""An HTTP peer that writes each whole answer in one go and closes at once:
plain, or over TLS with the chain and key given after the directory (a
close_notify goes out just before the close, nothing of the client's is
waited for). The path names the body's shape and length; byte j of a body
is j % 251.

/length/N   200 with a Content-Length
/chunked/N  200 in chunks of 4000 bytes and the last chunk
/close/N    an HTTP/1.0 200 without a length: the body ends with the close
"""
import socket, ssl, sys

from httppeer import read_head, serve_forever

directory = sys.argv[1]
context = None
if len(sys.argv) > 3:
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(sys.argv[2], sys.argv[3])
PATTERN = bytes(range(251))


def answer(path):
    parts = path.split('/')
    shape, n = parts[1], int(parts[2])
    body = (PATTERN * (n // 251 + 1))[:n]
    if shape == 'length':
        return b'HTTP/1.1 200 OK\r\nContent-Length: %d\r\nConnection: close\r\n\r\n' % n + body
    if shape == 'chunked':
        chunks = b''.join(b'%x\r\n' % len(body[i:i + 4000]) + body[i:i + 4000] + b'\r\n'
                          for i in range(0, n, 4000))
        return (b'HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\nConnection: close\r\n\r\n' +
                chunks + b'0\r\n\r\n')
    return b'HTTP/1.0 200 OK\r\n\r\n' + body


def serve(conn):
    try:
        if context is not None:
            conn = context.wrap_socket(conn, server_side=True)
        head, _ = read_head(conn, b'')
        if head is None:
            return
        conn.sendall(answer(head.split(b' ')[1].decode()))
        if context is not None:
            conn.setblocking(False)
            try:
                conn.unwrap()
            except (ssl.SSLError, OSError):
                pass
    except (OSError, ValueError, IndexError):
        pass
    finally:
        conn.close()


serve_forever(directory, serve)
