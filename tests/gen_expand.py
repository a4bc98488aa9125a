#!/usr/bin/python3
"""Oracle vectors for core/expand: macro texts whose expected expansion comes
from Python's own semantics: integers wrapped to 64 bits with division cut
toward zero, slicing, bytes.find/rfind/replace/strip/upper/lower, bytes.hex and
bytes.fromhex, struct.pack for the byte orders, time.gmtime for time stamps.

Writes <dir>/expand_ops.txt, one case a line: the text to expand and the
expected result, both hex, tab-separated. The first line is "# seed N".
"""
import os
import random
import struct
import sys
import time

SEED = 0xE8A4_0001
CASES_PER_KIND = 1000

INT64_MIN, INT64_MAX = -(1 << 63), (1 << 63) - 1
UINT64_MAX = (1 << 64) - 1

# Plain text: no braces (they would start or end macros) and no NUL.
TEXT_POOL = b"abcxyzABCXYZ019 \t\r\n.,:;=-_/\\*'\"aaaabbbb" + bytes(
    c for c in range(0x21, 0x7F) if c not in b"{}")


def wrap64(v):
    v &= UINT64_MAX
    return v - (1 << 64) if v > INT64_MAX else v


def div_trunc(a, b):
    if b == 0:
        return 0
    q = abs(a) // abs(b)
    return wrap64(q if (a < 0) == (b < 0) else -q)


def mod_trunc(a, b):
    if b == 0:
        return 0
    return wrap64(a - b * div_trunc(a, b)) if b != -1 else 0


OPS = {
    "add": lambda a, b: wrap64(a + b),
    "sub": lambda a, b: wrap64(a - b),
    "mul": lambda a, b: wrap64(a * b),
    "div": div_trunc,
    "mod": mod_trunc,
}


def mixed_case(rng, name):
    roll = rng.random()
    if roll < 0.5:
        return name
    if roll < 0.65:
        return name.upper()
    if roll < 0.8:
        return name.lower()
    return "".join(c.upper() if rng.random() < 0.5 else c.lower() for c in name)


def rand_utf8(rng, n):
    chars = []
    for _ in range(n):
        cp = rng.choice([rng.randint(0x80, 0x7FF), rng.randint(0x800, 0xD7FF),
                         rng.randint(0x10000, 0x10FFFF)])
        chars.append(chr(cp))
    return "".join(chars).encode("utf-8")


def rand_text(rng, maxlen=20, exclude=b""):
    roll = rng.random()
    if roll < 0.07:
        return b""
    n = rng.randint(1, maxlen)
    pool = bytes(c for c in TEXT_POOL if c not in exclude)
    if roll < 0.75:
        return bytes(rng.choice(pool) for _ in range(n))
    if roll < 0.9:
        # A small alphabet makes repeats and overlaps likely.
        return bytes(rng.choice(b"aAbB. ") for _ in range(n))
    return rand_utf8(rng, max(1, n // 3))


def rand_int64(rng):
    roll = rng.random()
    if roll < 0.25:
        return rng.choice([0, 1, -1, 2, -2, 7, -7, 10, INT64_MIN, INT64_MAX, INT64_MIN + 1,
                           INT64_MAX - 1, 1 << 32, -(1 << 32), (1 << 31) - 1, -(1 << 31)])
    if roll < 0.6:
        return rng.randint(-1000, 1000)
    return rng.randint(INT64_MIN, INT64_MAX)


def rand_uint64(rng):
    roll = rng.random()
    if roll < 0.25:
        return rng.choice([0, 1, 2, UINT64_MAX, UINT64_MAX - 1, 1 << 63, (1 << 63) - 1,
                           1 << 32, (1 << 32) - 1])
    if roll < 0.6:
        return rng.randint(0, 1000)
    return rng.randint(0, UINT64_MAX)


def macro(rng, name, argument):
    return b"{" + mixed_case(rng, name).encode() + b":" + argument + b"}"


def math_cases(rng, out):
    for _ in range(CASES_PER_KIND * 2):
        a, b = rand_int64(rng), rand_int64(rng)
        if rng.random() < 0.3:
            b = rng.choice([0, -1, 1])
        op = rng.choice(sorted(OPS))
        expected = str(OPS[op](a, b)).encode()
        if rng.random() < 0.5:
            text = macro(rng, "Math", f"{mixed_case(rng, op)},{a},{b}".encode())
        else:
            # The operation is read from the beginning of the name.
            name = op.capitalize() + rng.choice(["", "", "Numbers", "x"])
            text = macro(rng, name, f"{a},{b}".encode())
        out.append((text, expected))


COMPARE_OPS = {
    ">": lambda a, b: a > b, "<": lambda a, b: a < b, ">=": lambda a, b: a >= b,
    "<=": lambda a, b: a <= b, "=": lambda a, b: a == b, "==": lambda a, b: a == b,
}


def compare_cases(rng, out):
    for _ in range(CASES_PER_KIND):
        signed = rng.random() < 0.5
        draw = rand_int64 if signed else rand_uint64
        a = draw(rng)
        b = a if rng.random() < 0.3 else draw(rng)
        op = rng.choice(sorted(COMPARE_OPS))
        name = "Int64Compare" if signed else "UInt64Compare"
        expected = b"1" if COMPARE_OPS[op](a, b) else b"0"
        out.append((macro(rng, name, f"{a},{op},{b}".encode()), expected))


def slice_cases(rng, out):
    for _ in range(CASES_PER_KIND):
        text = rand_text(rng, 30)
        n = len(text)
        start = rng.randint(0, n + 3)
        end = rng.choice([-1, rng.randint(0, n + 3), n, start])
        expected = text[start:] if end == -1 else text[start:end]
        name = rng.choice(["Substring", "SubCopy"])
        out.append((macro(rng, name, f"{start},{end},".encode() + text), expected))
    for _ in range(CASES_PER_KIND // 2):
        text = rand_text(rng, 30)
        count = rng.randint(0, len(text) + 3)
        out.append((macro(rng, "Limit", f"{count},".encode() + text), text[:count]))


def rand_needle(rng, text, chance, shortest):
    """A part to look for, without commas: often a slice of the text."""
    if text and rng.random() < chance:
        i = rng.randrange(len(text))
        return text[i:i + rng.randint(shortest, shortest + 3)].replace(b",", b"")
    return rand_text(rng, 3, exclude=b",")


def search_cases(rng, out):
    for _ in range(CASES_PER_KIND):
        text = rand_text(rng, 30)
        needle = rand_needle(rng, text, 0.6, 0)
        last = rng.random() < 0.5
        expected = str(text.rfind(needle) if last else text.find(needle)).encode()
        name = "LastIndexOf" if last else "IndexOf"
        out.append((macro(rng, name, needle + b"," + text), expected))


def replace_cases(rng, out):
    for _ in range(CASES_PER_KIND):
        text = rand_text(rng, 30)
        find = rand_needle(rng, text, 0.7, 1) or b"a"
        to = rand_text(rng, 5, exclude=b",")
        out.append((macro(rng, "Replace", find + b"," + to + b"," + text),
                    text.replace(find, to)))


def case_and_trim_cases(rng, out):
    blanks = b"\t\r\n "
    for _ in range(CASES_PER_KIND):
        body = rand_text(rng, 20, exclude=b",")
        text = bytes(rng.choice(blanks) for _ in range(rng.randint(0, 3))) + body + \
            bytes(rng.choice(blanks) for _ in range(rng.randint(0, 3)))
        kind = rng.choice(["Trim", "TrimSet", "Upper", "Lower"])
        if kind == "Trim":
            out.append((macro(rng, "Trim", text), text.strip(blanks)))
        elif kind == "TrimSet":
            chars = rand_text(rng, 4, exclude=b",") or b"a"
            edge = bytes(rng.choice(chars) for _ in range(rng.randint(0, 3)))
            text = edge + rand_text(rng, 20) + edge
            out.append((macro(rng, "Trim", chars + b"," + text), text.strip(chars)))
        elif kind == "Upper":
            text = rand_text(rng, 20)
            out.append((macro(rng, "Upper", text), text.upper()))
        else:
            text = rand_text(rng, 20)
            out.append((macro(rng, "Lower", text), text.lower()))


def hex_cases(rng, out):
    for _ in range(CASES_PER_KIND):
        text = rand_text(rng, 20)
        out.append((macro(rng, "ToHex", text), text.hex().upper().encode()))
    for _ in range(CASES_PER_KIND // 2):
        data = bytes(rng.choice([b for b in range(1, 256) if b not in b"{}"])
                     for _ in range(rng.randint(0, 16)))
        digits = data.hex()
        digits = "".join(c.upper() if rng.random() < 0.5 else c for c in digits)
        prefix = rng.choice(["", "", "0x", "0X"])
        assert bytes.fromhex(digits) == data
        out.append((macro(rng, "FromHex", (prefix + digits).encode()), data))


PACKS = [("Int32ToHex", "<i", 32, True), ("Int64ToHex", "<q", 64, True),
         ("UInt32ToHex", "<I", 32, False), ("UInt64ToHex", "<Q", 64, False)]


def number_hex_cases(rng, out):
    for _ in range(CASES_PER_KIND):
        name, fmt, bits, signed = rng.choice(PACKS)
        if signed:
            lo, hi = -(1 << (bits - 1)), (1 << (bits - 1)) - 1
            value = rng.choice([0, 1, -1, lo, hi, rng.randint(-300, 300), rng.randint(lo, hi)])
        else:
            hi = (1 << bits) - 1
            value = rng.choice([0, 1, hi, rng.randint(0, 300), rng.randint(0, hi)])
        expected = struct.pack(fmt, value).hex().upper().encode()
        out.append((macro(rng, name, str(value).encode()), expected))


def time_cases(rng, out):
    last = 253402300799  # 9999-12-31 23:59:59
    for _ in range(CASES_PER_KIND):
        seconds = rng.choice([0, 59, 60, 86399, 86400, 951782400, 1709164800, 4107542400,
                              last, rng.randint(0, 4102444800), rng.randint(0, last)])
        expected = time.strftime("%Y%m%d%H%M%S", time.gmtime(seconds)).encode()
        out.append((macro(rng, "TimeStamp", str(seconds).encode()), expected))


def composite_cases(rng, out, singles):
    """Macros inside arguments and text around them: the inner result is
    placed into the outer argument before the outer macro runs."""
    for _ in range(CASES_PER_KIND):
        inner_text, inner_result = rng.choice(singles)
        roll = rng.random()
        if roll < 0.35:
            text = macro(rng, "Upper", b"<" + inner_text + b">")
            expected = (b"<" + inner_result + b">").upper()
        elif roll < 0.7:
            expected_text = b"<" + inner_result + b">"
            text = macro(rng, "Limit", b"5," + b"<" + inner_text + b">")
            expected = expected_text[:5]
        else:
            a = rng.randint(-10**6, 10**6)
            b = rng.randint(-10**6, 10**6)
            text = macro(rng, "Add", f"{a},".encode() + macro(rng, "Mul", f"{b},3".encode()))
            expected = str(wrap64(a + b * 3)).encode()
        before, after = rand_text(rng, 6), rand_text(rng, 6)
        out.append((before + text + after, before + expected + after))


def main():
    if len(sys.argv) != 2:
        sys.exit("usage: gen_expand.py <vectors-dir>")
    rng = random.Random(SEED)
    out = []
    try:
        for gen in (math_cases, compare_cases, slice_cases, search_cases, replace_cases,
                    case_and_trim_cases, hex_cases, number_hex_cases, time_cases):
            gen(rng, out)
        composite_cases(rng, out, list(out))
    except Exception:
        print(f"gen_expand.py failed with seed {SEED:#x}", file=sys.stderr)
        raise
    os.makedirs(sys.argv[1], exist_ok=True)
    with open(f"{sys.argv[1]}/expand_ops.txt", "w") as f:
        f.write(f"# seed {SEED:#x}\n")
        for text, expected in out:
            f.write(f"{text.hex()}\t{expected.hex()}\n")


if __name__ == "__main__":
    main()
