#!/usr/bin/python3
"""Oracle vectors for core/ini, from Python's configparser.

Writes <dir>/ini_files.txt: records "<tag> <len>\\n" + bytes + "\\n"; the
first is the seed, then pairs of an INI file ("ini") and the tree that
RawConfigParser(delimiters=('=',), comment_prefixes=(';',), strict=False,
interpolation=None) with optionxform = str reads from it ("exp"), in the
canonical form of tests/gen_yaml.py: each section "K<len>:<name>D(...)" with
its items "K<len>:<key>S<len>:<value>".

The files keep to what configparser and our reader read alike: keys and
values without surrounding blanks, non-empty values, keys unique within a
section, no key before the first section, no section named DEFAULT, and
backslashes only before bytes that start no escape (configparser knows none).
They hold comment lines, blank lines, '=' inside values, values beginning
with ';', repeated sections and CR, LF and CR LF line ends.
"""
import configparser
import os
import random
import sys

SEED = 0x1A1_0001
FILES = 400

SAFE = "abcxyzABC019 _-.:/#[]{}'\"!?,()\u00e9\u4e2d"
NO_ESCAPE_AFTER = "xqAZ019 _-.#"


def rand_text(rng, allow_equals):
    n = rng.randint(1, 14)
    out = []
    for _ in range(n):
        r = rng.random()
        if r < 0.08:
            out.append("\\" + rng.choice(NO_ESCAPE_AFTER))
        elif r < 0.14 and allow_equals:
            out.append("=")
        elif r < 0.18:
            out.append(";")
        else:
            out.append(rng.choice(SAFE))
    t = "".join(out).strip()
    return t


def rand_key(rng, n):
    while True:
        t = rand_text(rng, False)
        if t and t[0] not in "[;" and "=" not in t:
            return t + "_" + str(n)


def rand_value(rng):
    while True:
        t = rand_text(rng, True)
        if rng.random() < 0.15:
            t = ";" + t
        if rng.random() < 0.05 and not t.endswith("\\"):
            t = t + "\\"  # a backslash that ends the line
        t = t.strip()
        if t:
            return t


def rand_section(rng):
    while True:
        t = "".join(rng.choice(SAFE.replace("]", "")) for _ in range(rng.randint(1, 10))).strip()
        if t and t != "DEFAULT":
            return t


def field(tag, text):
    data = text.encode("utf-8")
    return tag.encode() + str(len(data)).encode() + b":" + data


def write_record(f, tag, data):
    f.write(tag.encode() + b" " + str(len(data)).encode() + b"\n" + data + b"\n")


def main():
    outdir = sys.argv[1]
    os.makedirs(outdir, exist_ok=True)
    rng = random.Random(SEED)
    with open(os.path.join(outdir, "ini_files.txt"), "wb") as f:
        write_record(f, "seed", str(SEED).encode())
        for _ in range(FILES):
            names = [rand_section(rng) for _ in range(rng.randint(1, 4))]
            lines = []
            counter = 0
            for _ in range(rng.randint(1, 6)):
                lines.append("[" + rng.choice(names) + "]")
                for _ in range(rng.randint(0, 6)):
                    r = rng.random()
                    if r < 0.15:
                        lines.append(";" + rand_text(rng, True))
                    elif r < 0.25:
                        lines.append("")
                    else:
                        counter += 1
                        lines.append(rand_key(rng, counter) + "=" + rand_value(rng))
            ending = rng.choice(["\n", "\r\n", "\r"])
            text = ending.join(lines) + (ending if rng.random() < 0.7 else "")
            parser = configparser.RawConfigParser(delimiters=("=",), comment_prefixes=(";",),
                                                  strict=False, interpolation=None)
            parser.optionxform = str
            parser.read_string(text.replace("\r\n", "\n").replace("\r", "\n"))
            exp = b""
            for section in parser.sections():
                items = b"".join(field("K", k) + field("S", v) for k, v in parser.items(section))
                exp += field("K", section) + b"D(" + items + b")"
            write_record(f, "ini", text.encode("utf-8"))
            write_record(f, "exp", exp)
    print("ini: %d files (seed %#x)" % (FILES, SEED))


if __name__ == "__main__":
    main()
