#!/usr/bin/python3
"""Raw HTTP answers for core/net/webgetrequest_response, made with Python's
zlib, gzip and http.client.

Writes <dir>/http_responses.txt, one case a line of tab-separated fields:
  <name> <answer hex> <code> <status> <body hex or -> <memory>
code is the result the parse and body pipeline must end with (0 success),
status the HTTP status parsed (0 when the header fails), body the decoded
body that must reach the sink ("-": not checked), memory 1 when the body goes
to memory because of its status. Good answers are first read back by
http.client (a real client) to make sure they are what they claim.
"""
import gzip
import io
import http.client
import os
import random
import struct
import sys
import zlib

rng = random.Random(38)
cases = []


def add(name, raw, code, status, body=None, memory=0):
    cases.append((name, raw, code, status, body, memory))


def chunked(data, sizes):
    out, pos = b"", 0
    for size in sizes:
        part = data[pos:pos + size]
        pos += size
        out += b"%x\r\n" % len(part) + part + b"\r\n"
    if pos < len(data):
        out += b"%x\r\n" % (len(data) - pos) + data[pos:] + b"\r\n"
    return out + b"0\r\n\r\n"


class FakeSocket:
    def __init__(self, data):
        self.data = data

    def makefile(self, *args, **kwargs):
        return io.BytesIO(self.data)


def check_with_client(raw, body):
    r = http.client.HTTPResponse(FakeSocket(raw))
    r.begin()
    data = r.read()
    if r.getheader("Content-Encoding") == "gzip":
        data = gzip.decompress(data)
    assert data == body, "http.client disagrees: %r" % data[:60]


text = b"".join(b"line %d of the served text\n" % i for i in range(4000))
gz = gzip.compress(text)

# Good answers.
raw = b"HTTP/1.1 200 OK\r\nContent-Length: %d\r\n\r\n" % len(text) + text
add("plain", raw, 0, 200, text)
raw = b"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n" + chunked(text, [1, 7, 4096, 100000])
add("chunked", raw, 0, 200, text)
raw = (b"HTTP/1.1 200 OK\r\nContent-Encoding: gzip\r\nTransfer-Encoding: CHUNKED\r\n\r\n" +
       chunked(gz, [3, 1000, len(gz)]))
add("chunked_gzip_capital", raw, 0, 200, text)
raw = b"HTTP/1.1 200 OK\r\nContent-Encoding: gzip\r\nContent-Length: %d\r\n\r\n" % len(gz) + gz
add("gzip", raw, 0, 200, text)
two = gzip.compress(b"first ") + gzip.compress(b"second")
raw = b"HTTP/1.1 200 OK\r\nContent-Encoding: gzip\r\nContent-Length: %d\r\n\r\n" % len(two) + two
add("gzip_members", raw, 0, 200, b"first second")
raw = b"HTTP/1.1 200 OK\nContent-Length: 12\n\nab\r\n\r\ncdefgh"
add("lf_only_crlfcrlf_in_body", raw, 0, 200, b"ab\r\n\r\ncdefgh")
raw = b"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5;ext=1\r\nhello\n\r3 \r\nabc\r\n0\r\n\r\n"
add("chunk_extension_lfcr", raw, 0, 200, b"helloabc")
raw = b"HTTP/1.1 200 OK\r\nContent-Encoding:\r\nContent-Length: 3\r\n\r\nabc"
add("empty_content_encoding", raw, 0, 200, b"abc")
raw = b"HTTP/1.1 404 Not Found\r\nContent-Length: 9\r\n\r\nnot there"
add("error_body_memory", raw, 0, 404, b"not there", 1)
big = bytes(rng.getrandbits(8) for _ in range(1 << 16)) * 20
raw = b"HTTP/1.1 500 Oops\r\nContent-Length: %d\r\n\r\n" % len(big) + big
add("error_body_bound", raw, 959, 500, None, 1)
for name, raw, code, status, body, memory in list(cases):
    check_with_client(raw, big if name == "error_body_bound" else body)

# Malformed answers.
add("cl_with_te", b"HTTP/1.1 200 OK\r\nContent-Length: 3\r\nTransfer-Encoding: chunked\r\n\r\n"
    + chunked(b"abcdef", [6]), 0, 200, b"abcdef")
add("cl_signed", b"HTTP/1.1 200 OK\r\nContent-Length: +3\r\n\r\nabc", 986, 200)
add("cl_hex", b"HTTP/1.1 200 OK\r\nContent-Length: 0x3\r\n\r\nabc", 986, 200)
add("cl_twice_different", b"HTTP/1.1 200 OK\r\nContent-Length: 3\r\nContent-Length: 4\r\n\r\nabcd",
    986, 200)
add("cl_twice_same", b"HTTP/1.1 200 OK\r\nContent-Length: 3\r\nContent-Length: 3\r\n\r\nabc",
    0, 200, b"abc")
add("cl_huge", b"HTTP/1.1 200 OK\r\nContent-Length: 4611686018427387904\r\n\r\n", 986, 200)
add("cl_wraps", b"HTTP/1.1 200 OK\r\nContent-Length: 30000000000000000000\r\n\r\n", 986, 200)
add("size_line_wraps",
    b"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nffffffffffffffff0\r\n", 955, 200)
add("te_gzip_chunked", b"HTTP/1.1 200 OK\r\nTransfer-Encoding: gzip, chunked\r\n\r\n0\r\n\r\n",
    968, 200)
add("identity_encoding", b"HTTP/1.1 200 OK\r\nContent-Encoding: identity\r\n\r\n", 968, 200)
add("size_line_garbage", b"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\nabc", 955, 200)
add("size_line_empty", b"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nabc\r\n\r\n", 955,
    200)
add("size_line_trailing", b"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n3x\r\nabc\r\n", 955,
    200)
add("size_line_negative", b"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n-3\r\nabc\r\n", 955,
    200)
add("size_line_long", b"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n" + b"0" * 4096, 955,
    200)
add("size_line_overflow",
    b"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n1000000000000000\r\n", 955, 200)
trailed = chunked(b"abcdef", [6])[:-2] + b"X-Digest: sha-256=abc\r\nExpires: 0\r\n\r\n"
add("chunked_trailer", b"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n" + trailed, 0, 200,
    b"abcdef")
check_with_client(cases[-1][1], b"abcdef")
add("chunked_trailer_over_header_bound", b"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n"
    + chunked(b"abcdef", [6])[:-2] + b"X-Pad: " + b"p" * 8200 + b"\r\n\r\n", 969, 200)
add("content_encoding_br", b"HTTP/1.1 200 OK\r\nContent-Encoding: br\r\nContent-Length: 3\r\n\r\nabc",
    968, 200)
add("chunk_terminator_letters",
    b"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nabcXY0\r\n\r\n", 969, 200)


def header_of(total):
    head = b"HTTP/1.1 200 OK\r\nContent-Length: 0\r\nX-Pad: "
    return head + b"p" * (total - len(head) - 4) + b"\r\n\r\n"


add("header_8190", header_of(8190), 0, 200, b"")
add("header_8191", header_of(8191), 966, 0)
add("header_no_end_8191", header_of(8191)[:-4] + b"pppp", 966, 0)
add("header_incomplete", b"HTTP/1.1 200 OK\r\nContent-Length: 0\r\n", 967, 0)
add("status_bad", b"HTTP/1.1 abc OK\r\n\r\n", 986, 0)
add("version_bad", b"HTTP/0.9 200 OK\r\n\r\n", 986, 0)
cut = gz[:len(gz) // 2]
add("gzip_truncated", b"HTTP/1.1 200 OK\r\nContent-Encoding: gzip\r\nContent-Length: %d\r\n\r\n"
    % len(cut) + cut, 960, 200)
add("gzip_corrupt", b"HTTP/1.1 200 OK\r\nContent-Encoding: gzip\r\nContent-Length: 10\r\n\r\n"
    + b"0123456789", 960, 200)
# 64 MiB of zeros in about 64 KiB: into memory with a 1 MiB limit it stops at 959.
bomb = gzip.compress(b"\0" * (64 << 20), 9)
add("gzip_bomb", b"HTTP/1.1 200 OK\r\nContent-Encoding: gzip\r\nContent-Length: %d\r\n\r\n"
    % len(bomb) + bomb, 959, 200)
assert zlib.decompress(bomb, 47)[:16] == b"\0" * 16
# Coded bytes that decode to nothing: empty members one after another, one
# member whose first 70 KB are empty stored blocks; one empty member at the
# end is an end.
empty = gzip.compress(b"")
late = (empty[:10] + b"\0\0\0\xff\xff" * 14000 + b"\x01\x01\x00\xfe\xffx" +
        struct.pack("<II", zlib.crc32(b"x"), 1))
assert gzip.decompress(late) == b"x"
for name, body, code in (
        ("gzip_empty_members", empty * 4000, 960),
        ("gzip_empty_stored_blocks", late, 960),
        ("gzip_empty_member_last", gzip.compress(text) + empty, 0)):
    add(name, b"HTTP/1.1 200 OK\r\nContent-Encoding: gzip\r\nContent-Length: %d\r\n\r\n"
        % len(body) + body, code, 200, text if code == 0 else None)

out_dir = sys.argv[1]
os.makedirs(out_dir, exist_ok=True)
with open(os.path.join(out_dir, "http_responses.txt"), "w") as f:
    for name, raw, code, status, body, memory in cases:
        f.write("%s\t%s\t%d\t%d\t%s\t%d\n" % (name, raw.hex(), code, status,
                                            "-" if body is None else body.hex(), memory))
