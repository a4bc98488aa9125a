"""The WPAD peer of the proxy resolver tests: a DNS server (dnslib) on a free
UDP port of 127.0.0.1 and an HTTP server for proxy scripts on a free TCP port.

    wpadpeer.py <dir>

Writes the HTTP port to <dir>/port and the DNS port to <dir>/dnsport. Every
DNS question is appended to <dir>/queries as "<name> <type> <class>".

HTTP: /drip sends a header announcing 100000 bytes, then one byte every 0.2 s
until the client goes; /hold waits (at most 20 s) until <dir>/release exists,
then serves hold.pac; any other path (percent-decoded) is the file of that
name in <dir>/www, else 404.

DNS: <dir>/dns holds comma-separated reply kinds, sent in that order to every
query (default "rcode3"):
  good       TXT "service: wpad:!!http://127.0.0.1:<port>/p.pac", then A 127.0.0.1
  txt:<p>    only a TXT pointing at /<p>
  the hostile kinds, each carrying a TXT that points at /evil.pac:
  wrongid    another id          qr0       the QR bit clear
  otherq     another question    rcode3    RCODE 3 (NXDOMAIN)
  trailing   one byte too many   loop      an answer name that points at itself
"""
import os
import socket
import struct
import sys
import threading
import time
import urllib.parse

from dnslib import A, QTYPE, RR, TXT, DNSQuestion, DNSRecord

from httppeer import read_head, serve_forever

directory = sys.argv[1]
http_port = [0]


def txt_for(path):
    if not http_port[0]:
        with open(os.path.join(directory, 'port')) as f:
            http_port[0] = int(f.read())
    return 'service: wpad:!!http://127.0.0.1:%d/%s' % (http_port[0], path)


def reply_with(request, path, rcode=0, extra_a=False):
    reply = request.reply()
    reply.header.rcode = rcode
    reply.add_answer(RR(request.q.qname, QTYPE.TXT, rdata=TXT(txt_for(path)), ttl=60))
    if extra_a:
        reply.add_answer(RR(request.q.qname, QTYPE.A, rdata=A('127.0.0.1'), ttl=60))
    return reply


def pointer_loop(data):
    """The query turned into a reply whose one answer's name is a compression
    pointer to itself."""
    head = bytearray(data[:12])
    head[2] |= 0x80
    head[6:8] = struct.pack('>H', 1)
    end = 12
    while data[end] != 0:
        end += data[end] + 1
    question = data[12:end + 5]
    at = 12 + len(question)
    return bytes(head) + question + struct.pack('>HHHIH', 0xc000 | at, 16, 1, 60, 1) + b'\x00'


def datagram(kind, request, data):
    if kind == 'good':
        return reply_with(request, 'p.pac', extra_a=True).pack()
    if kind.startswith('txt:'):
        return reply_with(request, kind[4:]).pack()
    if kind == 'rcode3':
        return reply_with(request, 'evil.pac', rcode=3).pack()
    if kind == 'loop':
        return pointer_loop(data)
    packed = bytearray(reply_with(request, 'evil.pac').pack())
    if kind == 'wrongid':
        packed[0] ^= 0x5a
    elif kind == 'qr0':
        packed[2] &= 0x7f
    elif kind == 'trailing':
        packed += b'\x00'
    elif kind == 'otherq':
        other = request.reply()
        other.questions = [DNSQuestion('wpad.other.example', request.q.qtype, request.q.qclass)]
        other.add_answer(RR('wpad.other.example', QTYPE.TXT, rdata=TXT(txt_for('evil.pac'))))
        packed = bytearray(other.pack())
    return bytes(packed)


def serve_dns(sock):
    while True:
        data, peer = sock.recvfrom(4096)
        try:
            request = DNSRecord.parse(data)
        except Exception:
            continue
        q = request.q
        with open(os.path.join(directory, 'queries'), 'a') as f:
            f.write('%s %d %d\n' % (str(q.qname).rstrip('.'), q.qtype, q.qclass))
        try:
            with open(os.path.join(directory, 'dns')) as f:
                kinds = f.read().strip().split(',')
        except OSError:
            kinds = ['rcode3']
        for kind in kinds:
            sock.sendto(datagram(kind, request, data), peer)


def answer(conn, status, body):
    conn.sendall(b'HTTP/1.1 %s\r\nContent-Length: %d\r\nConnection: close\r\n\r\n'
                 % (status, len(body)) + body)


def serve_http(conn):
    try:
        head, _ = read_head(conn, b'')
        if head is None:
            return
        path = urllib.parse.unquote(head.split(b' ')[1].decode())
        with open(os.path.join(directory, 'requests'), 'a') as f:
            f.write(path + '\n')
        if path == '/drip':
            conn.sendall(b'HTTP/1.1 200 OK\r\nContent-Length: 100000\r\n\r\n')
            for _ in range(600):
                conn.sendall(b'/')
                time.sleep(0.2)
            return
        if path == '/hold':
            for _ in range(200):
                if os.path.exists(os.path.join(directory, 'release')):
                    break
                time.sleep(0.1)
            path = '/hold.pac'
        name = os.path.join(directory, 'www', os.path.basename(path))
        if os.path.isfile(name):
            with open(name, 'rb') as f:
                answer(conn, b'200 OK', f.read())
        else:
            answer(conn, b'404 Not Found', b'<html>404</html>')
    except OSError:
        pass
    finally:
        conn.close()


def main():
    os.makedirs(os.path.join(directory, 'www'), exist_ok=True)
    dns = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    dns.bind(('127.0.0.1', 0))
    with open(os.path.join(directory, 'dnsport.tmp'), 'w') as f:
        f.write(str(dns.getsockname()[1]))
    os.rename(os.path.join(directory, 'dnsport.tmp'), os.path.join(directory, 'dnsport'))
    threading.Thread(target=serve_dns, args=(dns,), daemon=True).start()
    serve_forever(directory, serve_http)


if __name__ == '__main__':
    main()
