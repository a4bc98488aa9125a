"""A small HTTP server for the connection tests whose faults are chosen by the
request path. It listens on 127.0.0.1 (a free port, written to <dir>/port) and
serves each connection on its own thread until the peer closes. The first
three bytes of every connection are appended, in hex, to <dir>/connections.

/ok?n=N       200 with N bytes of 'a', kept alive
/echo         200 whose body is the request as received (line, headers, body)
/http10       an HTTP/1.0 200 with a Content-Length and no Connection header;
              the connection then stays open but is never read again
/lfonly       a header ended by LF LF, with CR LF CR LF inside the body
/closenext    200 kept alive; the next request on that connection is read
              and the connection closed without a byte
/silentheader the request is read, nothing is sent
/silentbody   the header and 10 of 100 bytes, then silence
/cutbody      the header and 10 of 100 bytes, then close
/longbody     Content-Length 5 with 10 bytes in the same write
/status/N     status N, Content-Length 0 (a body of 50 announced for HEAD)
/bigheader    9000 header bytes without an end
/closeheader  half a status line, then close
/redirect     302 to /ok?n=3 (to the query's "to=" URL when it has one)
/chunked      a chunked body "hello world", Connection: close
/cutchunked   the same without its last chunk, then close
/slow         after 1.5 s, /ok?n=4
/trickleheader  a header sent one byte every 0.25 s (a minute's worth)
/tricklebody  a header for 100000 bytes, then one byte every 0.25 s
/interim      two "100 Continue" and a "103 Early Hints", then 200 "ok"
/interims     "100 Continue" answers without end (until the peer goes)
/fresh        200 "fresh-N" (N counts these answers), max-age 60
/doc          200 "doc-N" (N counts full answers) with Last-Modified and
              no-cache; 304 when If-Modified-Since names that time
/touch        moves /doc's Last-Modified a day on
/guarded      401 (Basic realm "guard") without Authorization, else 200 "in"
/deny         the same, but 403 with Authorization
/m/<modes>/<name ending in N>
              a file of N bytes (byte j is j % 251) with its byte ranges;
              modes, comma-separated: honest (ranges honoured), norange
              (200 with the whole file whatever the Range), long (10 bytes
              more than asked, announced), less (10 bytes fewer, announced),
              short (a Content-Length 10 below what is sent, then close), cut=K (K body bytes, then close),
              delay=MS (before answering), status=S (S, no body), chunked
              (the body in chunks of 100), drop (close after answering,
              without saying so), flap=K (the first K answers of any
              flapping path cycle through 500, 503, a close before any
              byte, and an honest answer; then every one is honest)
"""
import email.utils, os, re, socket, sys, threading, time

from httppeer import read_head, serve_forever

directory = sys.argv[1]
record_lock = threading.Lock()
documents = {'fresh': 0, 'doc': 0, 'day': 1, 'flap': 0}


def doc_date():
    return email.utils.formatdate(1748772000 + documents['day'] * 86400, usegmt=True).encode()


def read_request(conn, pending):
    head, rest = read_head(conn, pending)
    if head is None:
        return None, pending
    length = 0
    for line in head.split(b'\r\n')[1:]:
        name, _, value = line.partition(b':')
        if name.strip().lower() == b'content-length':
            length = int(value.strip())
    while len(rest) < length:
        data = conn.recv(65536)
        if not data:
            break
        rest += data
    return head + b'\r\n\r\n' + rest[:length], rest[length:]


def answer(status, body=b'', headers=(), version=b'HTTP/1.1', length=None):
    lines = [version + b' ' + status]
    lines.append(b'Content-Length: %d' % (len(body) if length is None else length))
    lines.extend(headers)
    return b'\r\n'.join(lines) + b'\r\n\r\n' + body


def record_first_bytes(conn):
    try:
        first = conn.recv(3, socket.MSG_PEEK)
    except OSError:
        first = b''
    with record_lock, open(os.path.join(directory, 'connections'), 'a') as f:
        f.write(first.hex() + '\n')


def request_range(request):
    for line in request.split(b'\r\n\r\n')[0].split(b'\r\n')[1:]:
        name, _, value = line.partition(b':')
        if name.strip().lower() == b'range':
            first, _, last = value.strip()[6:].partition(b'-')
            return int(first), int(last)
    return None


def serve_member(conn, request, modes, name):
    """One answer of /m/; False when the connection is to be closed."""
    opts = {}
    for mode in modes.split(b','):
        key, _, value = mode.partition(b'=')
        opts[key] = value
    if b'delay' in opts:
        time.sleep(int(opts[b'delay']) / 1000)
    if b'status' in opts:
        conn.sendall(answer(opts[b'status'] + b' X'))
        return True
    if b'flap' in opts:
        with record_lock:
            n = documents['flap']
            documents['flap'] = n + 1
        if n < int(opts[b'flap']) and n % 4 != 3:
            if n % 4 == 2:
                return False
            conn.sendall(answer(b'500 X' if n % 4 == 0 else b'503 X'))
            return True
    size = int(re.search(rb'(\d+)$', name).group(1))
    body = bytes(j % 251 for j in range(size))
    asked = request_range(request)
    status, headers, part = b'200 OK', [], body
    if asked is not None and b'norange' not in opts:
        first, last = asked
        status, part = b'206 Partial Content', body[first:last + 1]
        headers.append(b'Content-Range: bytes %d-%d/%d' % (first, last, size))
    if b'long' in opts:
        part += b'x' * 10
    if b'less' in opts:
        part = part[:-10]
    length = len(part)
    if b'short' in opts:
        length -= 10
    if b'chunked' in opts:
        chunks = b''.join(b'%x\r\n' % len(part[i:i + 100]) + part[i:i + 100] + b'\r\n'
                          for i in range(0, len(part), 100))
        head = b'HTTP/1.1 ' + status + b'\r\nTransfer-Encoding: chunked\r\n'
        conn.sendall(head + b''.join(h + b'\r\n' for h in headers) + b'\r\n' + chunks + b'0\r\n\r\n')
        return b'drop' not in opts
    if b'cut' in opts:
        conn.sendall(answer(status, part[:int(opts[b'cut'])], headers, length=length))
        return False
    conn.sendall(answer(status, part, headers, length=length))
    return b'drop' not in opts and b'short' not in opts


def serve(conn):
    record_first_bytes(conn)
    pending = b''
    closing_next = False
    try:
        while True:
            request, pending = read_request(conn, pending)
            if request is None:
                return
            if closing_next:
                return
            line = request.split(b'\r\n', 1)[0]
            method, target = line.split(b' ')[0], line.split(b' ')[1]
            path, _, query = target.partition(b'?')
            head = method == b'HEAD'
            if path == b'/ok':
                n = int(query.partition(b'=')[2] or b'0')
                conn.sendall(answer(b'200 OK', b'a' * n))
            elif path == b'/echo':
                conn.sendall(answer(b'200 OK', request))
            elif path == b'/http10':
                conn.sendall(answer(b'200 OK', b'hello', version=b'HTTP/1.0'))
                time.sleep(30)
                return
            elif path == b'/lfonly':
                body = b'one\r\n\r\ntwo'
                conn.sendall(b'HTTP/1.1 200 OK\nContent-Length: %d\n\n' % len(body) + body)
            elif path == b'/closenext':
                conn.sendall(answer(b'200 OK', b'first'))
                closing_next = True
            elif path.startswith(b'/m/'):
                modes, _, name = path[3:].partition(b'/')
                if not serve_member(conn, request, modes, name):
                    return
            elif path == b'/silentheader':
                time.sleep(30)
                return
            elif path == b'/silentbody':
                conn.sendall(answer(b'200 OK', b'x' * 10, length=100))
                time.sleep(30)
                return
            elif path == b'/cutbody':
                conn.sendall(answer(b'200 OK', b'x' * 10, length=100))
                return
            elif path == b'/longbody':
                conn.sendall(answer(b'200 OK', b'x' * 10, length=5))
                time.sleep(30)
                return
            elif path.startswith(b'/status/'):
                code = path[8:]
                if head:
                    conn.sendall(answer(code + b' X', length=50))
                elif code in (b'204', b'304'):
                    conn.sendall(b'HTTP/1.1 ' + code + b' X\r\n\r\n')
                else:
                    conn.sendall(answer(code + b' X'))
            elif path == b'/bigheader':
                conn.sendall(b'HTTP/1.1 200 OK\r\nX-Big: ' + b'b' * 9000)
                time.sleep(30)
                return
            elif path == b'/closeheader':
                conn.sendall(b'HTTP/1.1 2')
                return
            elif path == b'/redirect':
                to = query[3:] if query.startswith(b'to=') else b'/ok?n=3'
                conn.sendall(answer(b'302 Found', headers=[b'Location: ' + to]))
            elif path in (b'/chunked', b'/cutchunked'):
                conn.sendall(b'HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n'
                             b'Connection: close\r\n\r\n5\r\nhello\r\n6\r\n world\r\n' +
                             (b'0\r\n\r\n' if path == b'/chunked' else b''))
                return
            elif path in (b'/trickleheader', b'/tricklebody'):
                if path == b'/tricklebody':
                    conn.sendall(answer(b'200 OK', length=100000))
                else:
                    conn.sendall(b'HTTP/1.1 200 OK\r\nX-Slow: ')
                for _ in range(240):
                    time.sleep(0.25)
                    conn.sendall(b'a')
                return
            elif path == b'/interim':
                conn.sendall(b'HTTP/1.1 100 Continue\r\n\r\n' * 2 +
                             b'HTTP/1.1 103 Early Hints\r\nLink: </a>; rel=preload\r\n\r\n' +
                             answer(b'200 OK', b'ok'))
            elif path == b'/interims':
                for _ in range(100000):
                    conn.sendall(b'HTTP/1.1 100 Continue\r\n\r\n')
                return
            elif path == b'/slow':
                time.sleep(1.5)
                conn.sendall(answer(b'200 OK', b'a' * 4))
            elif path == b'/fresh':
                with record_lock:
                    documents['fresh'] += 1
                    body = b'fresh-%d' % documents['fresh']
                conn.sendall(answer(b'200 OK', body, [b'Cache-Control: max-age=60']))
            elif path in (b'/doc', b'/touch'):
                since = None
                for line in request.split(b'\r\n\r\n')[0].split(b'\r\n')[1:]:
                    name, _, value = line.partition(b':')
                    if name.strip().lower() == b'if-modified-since':
                        since = value.strip()
                with record_lock:
                    if path == b'/touch':
                        documents['day'] += 1
                    unchanged = path == b'/doc' and since == doc_date()
                    if not unchanged and path == b'/doc':
                        documents['doc'] += 1
                    body = b'doc-%d' % documents['doc']
                    date = doc_date()
                if unchanged:
                    conn.sendall(b'HTTP/1.1 304 Not Modified\r\n\r\n')
                else:
                    conn.sendall(answer(b'200 OK', body, [b'Last-Modified: ' + date,
                                                         b'Cache-Control: no-cache']))
            elif path in (b'/guarded', b'/deny'):
                signed = b'\r\nauthorization:' in request.split(b'\r\n\r\n')[0].lower()
                if not signed:
                    conn.sendall(answer(b'401 Unauthorized',
                                        headers=[b'WWW-Authenticate: Basic realm="guard"']))
                elif path == b'/guarded':
                    conn.sendall(answer(b'200 OK', b'in'))
                else:
                    conn.sendall(answer(b'403 Forbidden'))
            else:
                conn.sendall(answer(b'404 Not Found'))
    except OSError:
        pass
    finally:
        conn.close()


serve_forever(directory, serve)
