#!/usr/bin/python3
"""Data-store regions for the executable reader, built with Python's zlib
(CRC-32, zlib and gzip streams) as the oracle of the block form, and the
files that carry them: an ELF copy of /bin/true with a ".datastore" section
added by llvm-objcopy-14, and disk images with a "koly" trailer.

Writes into <dir>/datastore/:
  <case>.bin   a region (bytes around the marks)
  cases.txt    one region a line, fields separated by tabs:
      <case> <verdict 1/0> <content hex, or ->
  stamped.elf, stamped.dmg, outside.dmg  files whose region holds the
      block of content.txt (outside.dmg names a range past its end)
  content.txt  the content those files carry
"""
import gzip
import json
import os
import shutil
import struct
import subprocess
import sys
import zlib

LLVM = "/usr/lib/llvm-14/bin/"
CONTENT = json.dumps({"items": [{"url": "https://cdn.example.com/a.bin", "name": "a.bin"}],
                      "analytics": {"downloadName": "setup"},
                      "config": {"macros": {"launchFile": "app"}}}).encode()


def block(content, version=b"3", capacity_kib=1, declared=None, crc_fix=None, mutate=None,
          stored=None):
    """A "QVNDS" block; declared None gives the long header's 0 (or no field
    for version 2)."""
    long_header = (version[0] - ord("0")) & 0xFF > 2
    body = content if stored is None else stored
    head = b"QVNDS" + version + struct.pack(">HI", capacity_kib, len(body))
    if long_header:
        head += struct.pack(">I", declared or 0)
    area = body + bytes(range(256)) * (capacity_kib * 4)
    area = area[:capacity_kib * 1024]
    whole = bytearray(head + b"\0\0\0\0" + area)
    if mutate:
        mutate(whole)
    crc = zlib.crc32(bytes(whole)) if crc_fix is None else crc_fix
    whole[len(head):len(head) + 4] = struct.pack(">I", crc)
    return bytes(whole)


def zlib_of(data):
    return zlib.compress(data, 9)


def gzip_of(data):
    return gzip.compress(data, mtime=0)


def region(*parts):
    return b"\xa5" * 37 + b"".join(parts) + b"\x5a" * 19


def cases():
    c = CONTENT
    text4k = b"".join(b"t%04d" % i for i in range(1000))  # 5000 bytes, no NUL
    padding_changed = bytearray(block(c))
    padding_changed[20 + len(c) + 3] ^= 1
    header_changed = bytearray(block(c))
    header_changed[12] ^= 1
    full = block(c, capacity_kib=1)
    yield "v2_plain", region(block(c, version=b"2")), c
    yield "v3_zlib", region(block(c, declared=len(c), stored=zlib_of(c))), c
    yield "v3_gzip", region(block(c, declared=len(c), stored=gzip_of(c))), c
    yield "v3_declared_zero", region(block(c)), c
    yield "v9_long_header", region(block(c, version=b"9", declared=len(c), stored=zlib_of(c))), c
    yield "text_nul", region(b"QVNDATASTORE" + c + b"\0tail"), c
    yield "text_4096", region(b"QVNDATASTORE" + text4k), text4k[:4096]
    yield "both_marks", region(block(c), b"QVNDATASTORE" + b"text wins\0"), b"text wins"
    yield "size_over_capacity", region(block(c, capacity_kib=0, stored=c)), None
    yield "padding_changed", region(bytes(padding_changed)), None
    yield "header_changed", region(bytes(header_changed)), None
    yield "cut_deflate", region(block(c, declared=len(c), stored=zlib_of(c)[:-9])), None
    yield "declared_short", region(block(c, declared=len(c) - 1, stored=zlib_of(c))), None
    yield "declared_long", region(block(c, declared=len(c) + 1, stored=zlib_of(c))), None
    yield "declared_1gib", region(block(c, declared=1 << 30, stored=zlib_of(c))), None
    yield "not_deflate", region(block(c, declared=len(c), stored=c)), None
    # Marks whose header, data area or text would pass the region's end.
    yield "area_cut", b"\xa5" * 9 + full[:-1], None
    yield "header_cut", b"\xa5" * 9 + full[:14], None
    yield "mark_at_end", b"\xa5" * 9 + b"QVNDS3", None
    yield "mark_is_the_end", b"\xa5" * 9 + b"QVNDS", None
    yield "text_cut", b"\xa5" * 9 + b"QVNDATASTORE" + b"x" * 100, None
    yield "no_mark", b"\xa5" * 4096, None


def dmg(path, payload, at, length=None):
    data = bytearray(os.urandom(1000) + payload + os.urandom(333))
    trailer = bytearray(512)
    trailer[0:4] = b"koly"
    trailer[296:304] = struct.pack(">Q", at)
    trailer[304:312] = struct.pack(">Q", len(payload) if length is None else length)
    with open(path, "wb") as f:
        f.write(bytes(data + trailer))


def main():
    out = os.path.join(sys.argv[1], "datastore")
    shutil.rmtree(out, ignore_errors=True)
    os.makedirs(out)
    rows = []
    for name, data, content in cases():
        with open(os.path.join(out, name + ".bin"), "wb") as f:
            f.write(data)
        rows.append((name, "1" if content is not None else "0",
                     content.hex() if content is not None else "-"))
    with open(os.path.join(out, "cases.txt"), "w") as f:
        f.write("".join("\t".join(r) + "\n" for r in rows))
    stamp = block(CONTENT, declared=len(CONTENT), stored=zlib_of(CONTENT))
    section = os.path.join(out, "section.bin")
    with open(section, "wb") as f:
        f.write(b"\0" * 16 + stamp + b"\0" * 16)
    r = subprocess.run([LLVM + "llvm-objcopy", "--add-section", ".datastore=" + section,
                        "/bin/true", os.path.join(out, "stamped.elf")],
                       capture_output=True, timeout=120)
    if r.returncode != 0:
        raise SystemExit("llvm-objcopy failed: " + r.stderr.decode(errors="replace"))
    os.remove(section)
    dmg(os.path.join(out, "stamped.dmg"), stamp, 1000)
    dmg(os.path.join(out, "outside.dmg"), stamp, 1000, length=1 << 20)
    with open(os.path.join(out, "content.txt"), "wb") as f:
        f.write(CONTENT)
    # The block alone, for the test that grows a signed PE's table with it.
    with open(os.path.join(out, "block.bin"), "wb") as f:
        f.write(stamp)


if __name__ == "__main__":
    main()
