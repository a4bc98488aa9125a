#!/usr/bin/python3
"""Oracle vectors for core/json: random valid JSON documents and the tree that
Python's json module reads from each, with member order, duplicate keys and
number texts kept (object_pairs_hook, parse_int, parse_float).

Writes <dir>/json_docs.txt, one document a line: the document as hex, a flag
word ('h' when a key begins with '#', else '-') and the tree in the token form
below. The first line is "# seed N".

Tree tokens, space separated: O<n> (object of n members, each K<hex key> and
its value), A<n> (array of n values), S<hex utf-8>, N<number text>, T, F, Z.

Run with --check FILE to check a file of writer output lines (compact hex,
pretty hex, expected tree; V<number> tokens compare numbers by value): every
text must be accepted by json.loads and give the expected tree. Exit status 0
when all pass.
"""
import json
import os
import random
import sys

SEED = 0x750_2024
DOCUMENTS = 2200
MAX_DEPTH = 25


def tokens(value, out):
    if isinstance(value, tuple) and value[0] == "O":
        out.append("O%d" % len(value[1]))
        for key, member in value[1]:
            out.append("K" + key.encode("utf-8").hex())
            tokens(member, out)
    elif isinstance(value, tuple) and value[0] == "N":
        out.append("N" + value[1])
    elif isinstance(value, list):
        out.append("A%d" % len(value))
        for element in value:
            tokens(element, out)
    elif value is True:
        out.append("T")
    elif value is False:
        out.append("F")
    elif value is None:
        out.append("Z")
    elif isinstance(value, str):
        out.append("S" + value.encode("utf-8").hex())
    else:
        raise ValueError(repr(value))
    return out


def load(text):
    return json.loads(text, object_pairs_hook=lambda pairs: ("O", pairs),
                      parse_int=lambda t: ("N", t), parse_float=lambda t: ("N", t))


PLAIN = "abcdefghijklmnopqrstuvwxyz ABC0123456789_-./:"


class Maker:
    def __init__(self, rng):
        self.r = rng
        self.hash_key = False

    def ws(self):
        r = self.r
        if r.random() < 0.7:
            return ""
        return "".join(r.choice(" \t\r\n") for _ in range(r.randint(1, 4)))

    def char(self):
        r = self.r
        k = r.random()
        if k < 0.55:
            return r.choice(PLAIN)
        if k < 0.65:
            return r.choice(['\\"', "\\\\", "\\/", "\\b", "\\f", "\\n", "\\r", "\\t"])
        if k < 0.72:
            return "\\u%04x" % r.choice([0, 1, 0x1f, 0x7f, 0xe9, 0x20ac, 0xfffd, r.randint(0x20, 0xd7ff)])
        if k < 0.80:
            return r.choice(["é", "ß", "€", "中", "日本", "Ω"])
        if k < 0.88:
            cp = r.randint(0x10000, 0x10ffff)
            if r.random() < 0.5:
                return chr(cp)
            cp -= 0x10000
            return "\\u%04x\\u%04x" % (0xd800 + (cp >> 10), 0xdc00 + (cp & 0x3ff))
        return r.choice(["😀", "𝄞", "\U0010FFFF"])

    def string(self, limit=12):
        r = self.r
        if r.random() < 0.15:  # a plain run: every length up to a few words
            return '"' + "".join(r.choice(PLAIN) for _ in range(r.randint(0, 40))) + '"'
        n = r.randint(0, limit)
        return '"' + "".join(self.char() for _ in range(n)) + '"'

    def key(self):
        r = self.r
        k = r.random()
        if k < 0.08:
            self.hash_key = True
            return '"#' + "".join(self.char() for _ in range(r.randint(0, 5))) + '"'
        if k < 0.4:
            return '"' + r.choice(["a", "b", "name", "size", "x"]) + '"'  # duplicates
        # Short keys stay within the Dictionary's 119-byte key limit.
        return '"' + "".join(self.char() for _ in range(r.randint(0, 8))) + '"'

    def number(self):
        r = self.r
        s = r.choice(["", "", "-"])
        s += r.choice(["0", str(r.randint(1, 9)), str(r.randint(10, 10**6)),
                       str(r.randint(10**15, 10**25))])
        if r.random() < 0.4:
            s += "." + str(r.randint(0, 10**r.randint(1, 8)))
        if r.random() < 0.3:
            s += r.choice("eE") + r.choice(["", "+", "-"]) + str(r.randint(0, 320))
        if r.random() < 0.03:
            s = "-0"
        return s

    def value(self, depth):
        r = self.r
        k = r.random()
        if depth < MAX_DEPTH and k < (0.45 if depth < 3 else 0.25):
            if r.random() < 0.5:
                items = [self.ws() + self.key() + self.ws() + ":" + self.ws() + self.value(depth + 1)
                         + self.ws() for _ in range(r.randint(0, 5 if depth < 4 else 2))]
                return "{" + ",".join(items) + self.ws() + "}"
            items = [self.ws() + self.value(depth + 1) + self.ws()
                     for _ in range(r.randint(0, 5 if depth < 4 else 2))]
            return "[" + ",".join(items) + self.ws() + "]"
        k = r.random()
        if k < 0.4:
            return self.string()
        if k < 0.8:
            return self.number()
        return r.choice(["true", "false", "null"])

    def document(self, index):
        r = self.r
        self.hash_key = False
        if index % 40 == 0:  # deep nesting
            depth = r.randint(20, MAX_DEPTH)
            text = ""
            closers = ""
            for _ in range(depth):
                if r.random() < 0.5:
                    text += "[" + self.ws()
                    closers = "]" + closers
                else:
                    text += "{" + self.key() + ":"
                    closers = "}" + closers
            return self.ws() + text + self.value(MAX_DEPTH) + closers
        if index % 700 == 350:  # longer than one 4096-byte read of a stream
            items = []
            while sum(len(t) + 1 for t in items) < 4400:
                items.append(self.ws() + (self.string(30) if r.random() < 0.6 else self.number()))
            return "[" + ",".join(items) + "]"
        if index % 10 == 0:
            root = self.value(MAX_DEPTH)  # a scalar root
        elif r.random() < 0.5:
            root = "{" + ",".join(self.ws() + self.key() + ":" + self.value(1) + self.ws()
                                  for _ in range(r.randint(0, 6))) + "}"
        else:
            root = "[" + ",".join(self.ws() + self.value(1) for _ in range(r.randint(0, 6))) + "]"
        return self.ws() + root + (self.ws() if index % 3 == 0 else "")


def generate(directory):
    rng = random.Random(SEED)
    maker = Maker(rng)
    lines = ["# seed %d" % SEED]
    for index in range(DOCUMENTS):
        text = maker.document(index)
        try:
            tree = load(text)
        except ValueError as e:
            raise SystemExit("seed %d document %d not valid JSON: %s\n%s" % (SEED, index, e, text))
        data = text.encode("utf-8")
        lines.append("%s\t%s\t%s" % (data.hex(), "h" if maker.hash_key else "-",
                                     " ".join(tokens(tree, []))))
    os.makedirs(directory, exist_ok=True)
    with open(os.path.join(directory, "json_docs.txt"), "w") as f:
        f.write("\n".join(lines) + "\n")
    with open(os.path.join(directory, "json_script.txt"), "w") as f:
        f.write(os.path.abspath(__file__) + "\n")


def matches(got, want):
    """got: tokens from json.loads; want: expected tokens (V<number> by value)."""
    if len(got) != len(want):
        return False
    for g, w in zip(got, want):
        if w.startswith("V"):
            if not g.startswith("N") or float(g[1:]) != float(w[1:]):
                return False
        elif g != w:
            return False
    return True


def check(path):
    bad = 0
    count = 0
    with open(path) as f:
        for number, line in enumerate(f, 1):
            compact, pretty, want = line.rstrip("\n").split("\t")
            want = want.split(" ")
            for label, hexed in (("compact", compact), ("pretty", pretty)):
                count += 1
                text = bytes.fromhex(hexed).decode("utf-8")
                try:
                    got = tokens(load(text), [])
                except ValueError as e:
                    print("line %d %s: json.loads refused: %s: %r" % (number, label, e, text[:200]))
                    bad += 1
                    continue
                if not matches(got, want):
                    print("line %d %s: tree differs\n got  %s\n want %s" %
                          (number, label, " ".join(got)[:300], " ".join(want)[:300]))
                    bad += 1
    print("checked %d texts, %d bad" % (count, bad))
    return 0 if bad == 0 and count > 0 else 1


if __name__ == "__main__":
    if len(sys.argv) == 3 and sys.argv[1] == "--check":
        sys.exit(check(sys.argv[2]))
    generate(sys.argv[1])
