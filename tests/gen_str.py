#!/usr/bin/python3
"""Oracle vectors for core/str: copies, searches, trims, comparisons and edits
answered by Python's bytes methods; hex by binascii; IPv4 by ipaddress.

Writes <dir>/str_ops.txt, one case a line, tab-separated: the operation name,
then its arguments and expected results. Byte strings are hex (an empty field
is the empty text), numbers decimal. The first line is "# seed N".
"""
import binascii
import ipaddress
import os
import random
import re
import sys

SEED = 0x5712_0001

# Texts the C side holds as terminated strings, so no NUL; rich in the
# characters the operations care about (blanks, separators, line breaks, case).
ASCII_POOL = (b"abcxyzABCXYZ019 \t\r\n.=[\\;*-_/" + bytes(range(0x21, 0x7F)))


def rand_utf8(rng, n):
    chars = []
    for _ in range(n):
        kind = rng.random()
        if kind < 0.5:
            chars.append(chr(rng.choice(ASCII_POOL)))
        elif kind < 0.75:
            chars.append(chr(rng.randint(0x80, 0x7FF)))
        elif kind < 0.9:
            cp = rng.randint(0x800, 0xFFFF)
            chars.append(chr(cp if not 0xD800 <= cp <= 0xDFFF else 0x20AC))
        else:
            chars.append(chr(rng.randint(0x10000, 0x10FFFF)))
    return "".join(chars).encode("utf-8")


def rand_text(rng, maxlen=24):
    roll = rng.random()
    if roll < 0.08:
        return b""
    if roll < 0.15:
        return bytes([rng.choice(ASCII_POOL)])
    n = rng.randint(1, maxlen)
    if roll < 0.6:
        return bytes(rng.choice(ASCII_POOL) for _ in range(n))
    if roll < 0.8:
        # A small alphabet makes repeats, overlaps and near misses likely.
        return bytes(rng.choice(b"aAbB. ") for _ in range(n))
    return rand_utf8(rng, n)


def rand_sub(rng, text):
    """A needle: often a slice of the text (maybe case-flipped), else random."""
    roll = rng.random()
    if text and roll < 0.55:
        i = rng.randrange(len(text))
        j = rng.randint(i, min(len(text), i + 5))
        sub = text[i:j]
        if rng.random() < 0.3:
            sub = sub.swapcase()
        return sub
    if roll < 0.65:
        return b""
    return rand_text(rng, 4)


def rand_size(rng, length):
    """Destination sizes around the interesting edges: 0, 1, exact fit, one short."""
    return rng.choice([0, 1, 2, length, length + 1, length + 2, max(0, length - 1),
                       rng.randint(0, length + 3)])


def h(b):
    return b.hex()


def signed_key(b):
    return [x - 256 if x >= 128 else x for x in b.lower()]


def sign(x):
    return (x > 0) - (x < 0)


def cmp(a, b):
    return sign((a > b) - (a < b))


def copy_cases(rng, out):
    for _ in range(3000):
        src = rand_text(rng)
        size = rand_size(rng, len(src))
        kept = src[:max(0, size - 1)]
        out.append(("copy", h(src), size, h(kept), len(kept)))
        out.append(("set", h(src), size, h(kept), int(size >= 1 and len(kept) == len(src))))
        count = rng.randint(-1, len(src) + 2)
        kept_n = src[:max(0, min(count, size - 1))]
        out.append(("copyn", h(src), size, count, h(kept_n), len(kept_n)))
        name = re.split(rb"[ \t=]", src)[0][:4096][:max(0, size - 1)]
        out.append(("copyname", h(src), size, h(name), len(name)))
        dst = rand_text(rng, 8)
        size = rand_size(rng, len(dst) + len(src))
        if size >= 1 and len(dst) < size:
            added = src[:size - 1 - len(dst)]
        else:
            added = b""
        out.append(("cat", h(dst), h(src), size, h(dst + added), len(added)))


def path_cases(rng, out):
    for _ in range(500):
        parts = [bytes(rng.choice(b"ab.") for _ in range(rng.choice([0, 1, 5, 63, 64, 70])))
                 for _ in range(rng.randint(1, 4))]
        path = b"\\".join(parts)
        index = rng.randint(-1, len(parts) + 1)
        pieces = path.split(b"\\")
        ok = 0 <= index < len(pieces) and len(pieces[index]) <= 63
        out.append(("pathcomp", h(path), index, int(ok), h(pieces[index] if ok else b"")))


def search_cases(rng, out):
    for _ in range(3000):
        s = rand_text(rng)
        sub = rand_sub(rng, s)
        out.append(("find", h(s), h(sub), s.find(sub)))
        out.append(("findnocase", h(s), h(sub), s.lower().find(sub.lower())))
        out.append(("findlast", h(s), h(sub), s.rfind(sub)))
        n = rng.randint(-1, len(s) + 2)
        out.append(("findn", h(s), n, h(sub), s[:max(n, 0)].find(sub)))
        c = rng.choice(s) if s and rng.random() < 0.7 else rng.choice(ASCII_POOL)
        out.append(("findchar", h(s), c, s.find(bytes([c]))))
        out.append(("findlastchar", h(s), c, s.rfind(bytes([c]))))
        cs = rand_sub(rng, s)
        hits = [i for i, x in enumerate(s) if x in cs]
        out.append(("findanyof", h(s), h(cs), hits[0] if hits else -1))
        hits_n = [i for i in hits if i < n]
        out.append(("findanyofn", h(s), n, h(cs), hits_n[0] if hits_n else -1))
        blanks = [i for i, x in enumerate(s) if x in b" \t" and i < n]
        out.append(("findspace", h(s), n, blanks[0] if blanks else -1))
        out.append(("keysep", h(s), max(s.rfind(b"."), s.rfind(b"["), s.rfind(b"\\"))))
        # Byte buffers may hold NUL; Mem_Find must not stop there.
        buf = bytes(rng.choice(b"\0ab.") for _ in range(rng.randint(0, 20)))
        pat = buf[rng.randint(0, len(buf)):][:rng.randint(0, 3)] if rng.random() < 0.6 else \
            bytes(rng.choice(b"\0ab") for _ in range(rng.randint(0, 3)))
        out.append(("memfind", h(buf), h(pat), buf.find(pat)))
        out.append(("memfinddot", h(buf), buf.find(b".")))


def trim_cases(rng, out):
    for _ in range(2000):
        core = rand_text(rng)
        pad = lambda: bytes(rng.choice(b" \t\r\n.x") for _ in range(rng.randint(0, 4)))
        s = pad() + core + pad()
        cs = bytes(rng.sample(b" \t\r\n.xa", rng.randint(0, 4)))
        c = rng.choice(b" .x\t")
        out.append(("trimleft", h(s), h(s.lstrip(b" \t"))))
        out.append(("trimrightchar", h(s), c, h(s.rstrip(bytes([c])))))
        out.append(("trimleftchars", h(s), h(cs), h(s.lstrip(cs))))
        out.append(("trimrightchars", h(s), h(cs), h(s.rstrip(cs))))
        out.append(("trimchars", h(s), h(cs), h(s.strip(cs))))
        out.append(("trimws", h(s), h(s.strip(b"\t\r\n "))))


def compare_cases(rng, out):
    for _ in range(3000):
        a = rand_text(rng)
        roll = rng.random()
        if roll < 0.3:
            b = a.swapcase()
        elif roll < 0.5 and a:
            b = a[:rng.randrange(len(a))]
        elif roll < 0.6:
            b = a + rand_text(rng, 3)
        else:
            b = rand_text(rng)
        if rng.random() < 0.5:
            a, b = b, a
        out.append(("cmp", h(a), h(b), cmp(a, b)))
        out.append(("cmpnocase", h(a), h(b), cmp(signed_key(a), signed_key(b))))
        n = rng.randint(-1, max(len(a), len(b)) + 1)
        m = max(n, 0)
        out.append(("equaln", h(a), h(b), n, int(a[:m] == b[:m])))
        out.append(("equalnocasen", h(a), h(b), n, int(a[:m].lower() == b[:m].lower())))
        out.append(("startswith", h(a), h(b), int(a.startswith(b))))
        out.append(("startswithnocase", h(a), h(b), int(a.lower().startswith(b.lower()))))
        out.append(("endswith", h(a), h(b), int(a.endswith(b))))
        out.append(("endswithnocase", h(a), h(b), int(a.lower().endswith(b.lower()))))
        out.append(("upper", h(a), h(a.upper())))
        out.append(("lower", h(a), h(a.lower())))


def edit_cases(rng, out):
    for _ in range(2000):
        s = rand_text(rng)
        find = rand_sub(rng, s)
        repl = rand_text(rng, 6)
        result = s.replace(find, repl) if find and s else s
        size = rand_size(rng, len(result))
        ok = bool(find and s) and len(result) <= size - 1
        out.append(("replaceall", h(find), h(repl), h(s), size, int(ok),
                    h(result if ok else s)))
        f = rng.choice(s) if s else ord("a")
        t = rng.choice(b"xyz.-")
        out.append(("replacechar", f, t, h(s), h(s.replace(bytes([f]), bytes([t]))),
                    s.count(bytes([f]))))
        count = rng.randint(-1, len(s) + 1)
        ok = 0 <= count <= len(s)
        out.append(("cutleft", h(s), count, int(ok), h(s[count:] if ok else s)))
        size = rand_size(rng, len(s) + 3)
        ok = count >= 0 and count + 1 + len(s) <= size
        out.append(("insertblanks", h(s), size, count, int(ok),
                    h(b" " * count + s if ok else s)))


def hex_cases(rng, out):
    for _ in range(1000):
        data = bytes(rng.randrange(256) for _ in range(rng.randint(0, 40)))
        size = max(1, rng.choice([1, 2, 3, 2 * len(data), 2 * len(data) + 1, rng.randint(1, 90)]))
        n = min(len(data), (size - 1) // 2)
        lower = rng.randint(0, 1)
        text = binascii.hexlify(data[:n]).decode()
        out.append(("hexenc", h(data), lower, size, int(n == len(data)),
                    h((text if lower else text.upper()).encode())))
        # Decoding: valid text (mixed case), or damaged by an odd length or a
        # non-hex character; the oracle gives the longest prefix of pairs
        # that converts.
        text = binascii.hexlify(data).decode()
        text = "".join(ch.upper() if rng.random() < 0.5 else ch for ch in text)
        roll = rng.random()
        if roll < 0.2:
            text = text + rng.choice("0aF")
        elif roll < 0.4 and text:
            i = rng.randrange(len(text))
            text = text[:i] + rng.choice("gG- z") + text[i + 1:]
        raw = text.encode()
        pairs = 0
        while 2 * pairs + 2 <= len(raw):
            try:
                binascii.unhexlify(raw[2 * pairs:2 * pairs + 2])
            except binascii.Error:
                break
            pairs += 1
        size = rng.choice([0, 1, pairs, pairs + 1, rng.randint(0, pairs + 2)])
        got = binascii.unhexlify(raw[:2 * min(pairs, size)])
        try:
            whole = binascii.unhexlify(raw)
            ok = len(whole) <= size
        except binascii.Error:
            ok = False
        out.append(("hexdec", h(raw), size, int(ok), h(got)))


def ipv4_text(rng):
    parts = [str(rng.choice([0, 1, 9, 10, 99, 127, 192, 255, rng.randint(0, 255)]))
             for _ in range(4)]
    roll = rng.random()
    if roll < 0.1:
        parts[rng.randrange(4)] = str(rng.randint(256, 999))
    elif roll < 0.15:
        parts.pop()
    elif roll < 0.2:
        parts.append("1")
    elif roll < 0.25:
        parts[rng.randrange(4)] = ""
    elif roll < 0.3:
        parts[rng.randrange(4)] = rng.choice(["a", "1a", " 1", "-1", "+1"])
    text = ".".join(parts)
    if rng.random() < 0.4:
        text += ":" + rng.choice([str(rng.randint(0, 65535)), "65535", "65536",
                                  str(rng.randint(65536, 99999)), "", "8x"])
    return text


def ipv4_cases(rng, out):
    for _ in range(2000):
        text = ipv4_text(rng)
        host, _, port_text = text.partition(":")
        if any(len(p) > 1 and p.startswith("0") for p in host.split(".")):
            continue  # ipaddress rejects leading zeros; the parser reads them as decimal
        try:
            packed = ipaddress.IPv4Address(host).packed
            address = int.from_bytes(packed, "little")
            ok = True
        except ValueError:
            address, ok = 0, False
        port = -1
        if ":" in text:
            if port_text.isdigit() and port_text.isascii() and int(port_text) <= 65535:
                port = int(port_text)
            else:
                ok = False
        out.append(("ipv4", h(text.encode()), int(ok), address if ok else 0,
                    port if ok else -1))


def main():
    if len(sys.argv) != 2:
        sys.exit("usage: gen_str.py <vectors-dir>")
    rng = random.Random(SEED)
    out = []
    try:
        for gen in (copy_cases, path_cases, search_cases, trim_cases, compare_cases,
                    edit_cases, hex_cases, ipv4_cases):
            gen(rng, out)
    except Exception:
        print(f"gen_str.py failed with seed {SEED:#x}", file=sys.stderr)
        raise
    os.makedirs(sys.argv[1], exist_ok=True)
    with open(f"{sys.argv[1]}/str_ops.txt", "w") as f:
        f.write(f"# seed {SEED:#x}\n")
        for row in out:
            f.write("\t".join(str(x) for x in row) + "\n")


if __name__ == "__main__":
    main()
