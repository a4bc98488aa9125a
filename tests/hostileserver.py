"""An HTTP server whose answers are valid responses mutated as the request
path says, for the connection's hostile-server tests. It listens on 127.0.0.1
(a free port, written to <dir>/port), one thread per connection.

Path: /<mode>/<length>/<cut>/<pauseMs>. The body is "abcdefghij" repeated to
length bytes.
  ok        Content-Length and the body, kept alive
  chunked   the body in chunks of up to cut bytes, then the connection closes
  lf        a header ended by LF LF
  pause     half the body, a pause of pauseMs, the rest; kept alive
  cut       the ok answer cut after cut bytes (at least its last byte), then close
  garbage   length random bytes, then close
  short     Content-Length 10 more than the body, then close
  long      the body and 10 more bytes under a Content-Length of length
  close     close without a byte
  gzipbad   "Content-Encoding: gzip" over bytes that are not gzip
  badchunk  a chunk size that is not hexadecimal
  bigheader 9,000 header bytes without an end
  hang      nothing for pauseMs, then close
"""
import random, sys, time

from httppeer import read_head, serve_forever

directory = sys.argv[1]


def body_of(length):
    return (b'abcdefghij' * (length // 10 + 1))[:length]


def answer(mode, length, cut, pause):
    body = body_of(length)
    plain = b'HTTP/1.1 200 OK\r\nContent-Length: %d\r\n\r\n' % length + body
    if mode == 'ok':
        return [plain], True
    if mode == 'chunked':
        parts, at = [], 0
        while at < length:
            n = max(1, min(cut, length - at))
            parts.append(b'%x\r\n' % n + body[at:at + n] + b'\r\n')
            at += n
        return [b'HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n' + b''.join(parts) +
                b'0\r\n\r\n'], False
    if mode == 'lf':
        return [b'HTTP/1.1 200 OK\nContent-Length: %d\n\n' % length + body], True
    if mode == 'pause':
        half = len(plain) - length // 2
        return [plain[:half], pause, plain[half:]], True
    if mode == 'cut':
        return [plain[:min(cut, len(plain) - 1)]], False
    if mode == 'garbage':
        return [random.Random(cut).randbytes(length)], False
    if mode == 'short':
        return [b'HTTP/1.1 200 OK\r\nContent-Length: %d\r\n\r\n' % (length + 10) + body], False
    if mode == 'long':
        return [plain + b'0123456789', 0.1], False
    if mode == 'close':
        return [], False
    if mode == 'gzipbad':
        return [b'HTTP/1.1 200 OK\r\nContent-Encoding: gzip\r\nContent-Length: %d\r\n\r\n'
                % length + body], False
    if mode == 'badchunk':
        return [b'HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\n' + body], False
    if mode == 'bigheader':
        return [b'HTTP/1.1 200 OK\r\nX-Big: ' + b'b' * 9000, 1.0], False
    return [pause], False  # hang


def serve(conn):
    pending = b''
    try:
        while True:
            head, pending = read_head(conn, pending)
            if head is None:
                return
            fields = head.split(b' ')[1].decode().strip('/').split('/')
            mode, length, cut, pause = fields[0], int(fields[1]), int(fields[2]), int(fields[3])
            steps, keep = answer(mode, length, cut, pause / 1000.0)
            for step in steps:
                if isinstance(step, float) or isinstance(step, int):
                    time.sleep(step)
                else:
                    conn.sendall(step)
            if not keep:
                return
    except (OSError, ValueError, IndexError):
        pass
    finally:
        conn.close()


serve_forever(directory, serve)
