#!/usr/bin/python3
"""A static HTTP/1.1 server for `keelson sync` end to end whose answers fail
by plan: each request for a planned path takes the next fault of its list,
and once the list is used up the path is served honestly.

  faulty_server.py <www dir> <port> <plan.json> <log>

plan.json maps a request path to a list of faults:
  drop-head     the header (Content-Length whole), then a close
  drop-mid      the header and half the body, then a close
  reset         the header and half the body, a pause, then a reset (RST)
  short         the header and every body byte but the last, then a close
  500, 503      that status, no body (503 with "Retry-After: 1")
  trickle       the header, then one body byte every 1.7 s until the peer goes
  head-trickle  one header byte every 1.7 s, never the end of the header
  continue      "HTTP/1.1 100 Continue" answers without end
  pad           the body, then white space, 1 KiB every 10 ms up to 8 MiB, until
                the peer goes (all under one Content-Length)
  blank         white space only, the same way
  badbyte       the body with a '!' in place of its 10th byte, then the pad
  cut           the body without its last 8 bytes, under a Content-Length that
                matches them
  tail          the body and a few bytes of white space (a publisher's line
                ends), under a Content-Length that counts them
  redirect      a 302 to the path with "?again" (served as the path) whose page
                claims 2^60 bytes and comes as fast as the socket takes it,
                until the peer goes or 128 MiB have gone (then a close)
Two keys of plan.json act on the pieces (paths under /pieces/) as a whole:
  "*pause": SECONDS   each piece's answer waits that long first, one piece at a
                time (a slow server)
  "*503-after": SECONDS  the first piece asked for that long or later after
                the first request is answered 503 once
  "*drop-each": true   every connection is closed after its first answer,
                without a word that it will be (a server that drops kept
                connections)
  "*redirect": PREFIX  a path under PREFIX is answered 302 to the same path
                without it
Every answer is logged as one line "<path> <status> <body bytes sent>
<fault or ->" once it is over. Listens on 127.0.0.1:<port> until killed
(the port also goes to the file "port" beside the log).
"""
import json
import os
import socket
import struct
import sys
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from httppeer import read_head, serve_forever  # noqa: E402

# Not a divisor of the client's deadlines (30 s, 60 s): no byte is on its
# way when the client gives up, so the bytes sent are the bytes it got.
TRICKLE_SECONDS = 1.7
RESET_PAUSE_SECONDS = 0.5
PAD_BYTES = 8 << 20
# Far past the socket buffers: a client that reads a redirect's page on and
# on has read that much when its server closes.
REDIRECT_PAGE_BYTES = 128 << 20
REASONS = {200: b"OK", 404: b"Not Found", 500: b"Internal Server Error",
           503: b"Service Unavailable"}

www, port = os.path.abspath(sys.argv[1]), int(sys.argv[2])
plan_path, log_path = sys.argv[3], sys.argv[4]
with open(plan_path) as f:
    plan = json.load(f)
pause = float(plan.pop("*pause", 0))
late_503 = plan.pop("*503-after", None)
drop_each = bool(plan.pop("*drop-each", False))
redirect = plan.pop("*redirect", None)
plan = {path: list(faults) for path, faults in plan.items()}
first_request = None
lock = threading.Lock()
slow = threading.Lock()


def log(path, status, sent, fault):
    """One answer's line, written before its last bytes go where their count
    is known beforehand (a reader sees it once the client has them); an
    answer that lasts until the peer goes logs once it found it gone."""
    with lock, open(log_path, "a") as f:
        f.write(f"{path} {status} {sent} {fault or '-'}\n")


def next_fault(path):
    global first_request, late_503
    with lock:
        now = time.monotonic()
        first_request = first_request or now
        if late_503 is not None and path.startswith("/pieces/") and \
                now - first_request >= late_503:
            late_503 = None
            return "503"
        faults = plan.get(path)
        return faults.pop(0) if faults else None


def head(status, length, extra=b""):
    return (b"HTTP/1.1 %d %s\r\nContent-Length: %d\r\n" % (status, REASONS[status], length) +
            extra + b"\r\n")


def peer_gone(conn):
    """True once the peer closed or reset: a read would not block and gives
    nothing."""
    try:
        return conn.recv(1, socket.MSG_PEEK | socket.MSG_DONTWAIT) == b""
    except BlockingIOError:
        return False
    except OSError:
        return True


def trickle(conn, data):
    """Sends data a byte at a time until the peer goes; the bytes sent."""
    sent = 0
    for i in range(len(data)):
        if peer_gone(conn):
            break
        try:
            conn.sendall(data[i:i + 1])
        except OSError:
            break
        sent += 1
        time.sleep(TRICKLE_SECONDS)
    return sent


def pad(conn, body, fault):
    """A document followed by white space (or white space alone) under one
    Content-Length, the padding sent slowly until the peer goes; the body
    bytes sent."""
    if fault == "blank":
        body = b""
    elif fault == "badbyte":
        body = body[:9] + b"!" + body[10:]
    total = len(body) + PAD_BYTES
    sent = 0
    try:
        conn.sendall(head(200, total) + body)
        sent = len(body)
        while sent < total and not peer_gone(conn):
            conn.sendall(b" " * 1024)
            sent += 1024
            time.sleep(0.01)
    except OSError:
        pass
    return sent


def answer_shaped(conn, path, body, fault):
    if fault in ("cut", "tail"):
        body = body[:-8] if fault == "cut" else body + b"\r\n \t\n"
        log(path, 200, len(body), fault)
        conn.sendall(head(200, len(body)) + body)
        return True
    log(path, 200, pad(conn, body, fault), fault)
    return False


def answer(conn, path):
    """Serves one request; False when the connection is over."""
    if pause and path.startswith("/pieces/"):
        with slow:
            time.sleep(pause)
    if redirect and path.startswith(redirect):
        to = "/" + path[len(redirect):]
        conn.sendall(b"HTTP/1.1 302 Found\r\nLocation: %s\r\nContent-Length: 0\r\n\r\n" %
                     to.encode())
        log(path, 302, 0, None)
        return not drop_each
    fault = next_fault(path)
    if fault == "continue":
        try:
            while True:
                conn.sendall(b"HTTP/1.1 100 Continue\r\n\r\n")
                time.sleep(0.05)
        except OSError:
            log(path, 100, 0, fault)
            return False
    if fault == "head-trickle":
        trickle(conn, b"HTTP/1.1 200 OK\r\nX-Trickle: " + b"t" * 100000)
        log(path, 200, 0, fault)
        return False
    if fault == "redirect":
        sent = 0
        try:
            conn.sendall(b"HTTP/1.1 302 Found\r\nLocation: %s?again\r\nContent-Length: %d\r\n"
                         b"\r\n" % (path.encode(), 1 << 60))
            while sent < REDIRECT_PAGE_BYTES:
                sent += conn.send(b"r" * 65536)
        except OSError:
            pass
        log(path, 302, sent, fault)
        return False
    if fault in ("500", "503"):
        extra = b"Retry-After: 1\r\n" if fault == "503" else b""
        log(path, int(fault), 0, fault)
        conn.sendall(head(int(fault), 0, extra))
        return True
    name = os.path.normpath(os.path.join(www, path.lstrip("/")))
    if not name.startswith(www + os.sep) or not os.path.isfile(name):
        log(path, 404, 0, fault)
        conn.sendall(head(404, 0))
        return True
    with open(name, "rb") as f:
        body = f.read()
    if fault in ("pad", "blank", "badbyte", "cut", "tail"):
        return answer_shaped(conn, path, body, fault)
    conn.sendall(head(200, len(body)))
    if fault is None:
        log(path, 200, len(body), fault)
        conn.sendall(body)
        return not drop_each
    if fault == "trickle":
        sent = trickle(conn, body)
    else:
        sent = {"drop-head": 0, "drop-mid": len(body) // 2, "reset": len(body) // 2,
                "short": len(body) - 1}[fault]
        conn.sendall(body[:sent])
        if fault == "reset":
            # The peer reads what came before the reset (a reset makes its
            # system drop what is still unread), then a zero linger makes
            # the close send a reset instead of a FIN.
            time.sleep(RESET_PAUSE_SECONDS)
            conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    log(path, 200, sent, fault)
    return False


def serve(conn):
    pending = b""
    try:
        while True:
            request, pending = read_head(conn, pending)
            if request is None:
                return
            target = request.split(b"\r\n", 1)[0].split(b" ")[1].decode()
            if not answer(conn, target.partition("?")[0]):
                return
    except OSError:
        pass
    finally:
        conn.close()


if __name__ == "__main__":
    serve_forever(os.path.dirname(os.path.abspath(log_path)), serve, port)
