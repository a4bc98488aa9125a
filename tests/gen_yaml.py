#!/usr/bin/python3
"""Oracle vectors for core/yaml, from PyYAML (Debian's python3-yaml).

yaml_reader.txt: documents and the tree our reader must build. The documents
are yaml.dump() of random trees in all three flow styles, plus hand-written
ones. The expected tree comes from yaml.compose(Loader=BaseLoader): its
structure, order, duplicate keys and scalar texts, with our typing applied to
plain scalars (PyYAML's own YAML 1.1 typing is not used).

Documents that PyYAML, a YAML 1.1 reader, refuses but YAML 1.2 reads (a flow
plain scalar that begins with ':', as in "[:x]") take their tree from
ruamel.yaml (Debian's python3-ruamel.yaml) in its YAML 1.2 mode instead.

yaml_writer_trees.txt: random trees (in the canonical form below) for the
writer test, which writes them with our writer, reads them back, and hands the
written texts to this script again (--check FILE) so that PyYAML composes
them; yaml_check_command.txt holds that command.

Canonical form of a container's items: each item is its key ("K<len>:<key>")
or "-" for a keyless item, then its value: "N" Null, "T"/"F" Boolean,
"R<len>:<text>" Float64, "S<len>:<text>" String, "L(...)" List, "D(...)"
Dictionary. Lengths count UTF-8 bytes.

Record format of the files: "<tag> <len>\\n" then len bytes then "\\n".
"""
import os
import random
import sys

import yaml

SEED = 0x7A31_0001
DOCS_PER_STYLE = 400
WRITER_TREES = 600


def enc(s):
    return s.encode("utf-8") if isinstance(s, str) else s


def field(tag, data):
    data = enc(data)
    return tag.encode() + str(len(data)).encode() + b":" + data


def is_decimal(t):
    i, n = 0, len(t)
    if i < n and t[i] in "+-":
        i += 1
    digits = dots = 0
    while i < n and (t[i].isdigit() and t[i] in "0123456789" or t[i] == "."):
        if t[i] == ".":
            dots += 1
        else:
            digits += 1
        i += 1
    if digits == 0 or dots > 1:
        return False
    if i < n and t[i] in "eE":
        i += 1
        if i < n and t[i] in "+-":
            i += 1
        e = 0
        while i < n and t[i] in "0123456789":
            e += 1
            i += 1
        if e == 0:
            return False
    return i == n


def radix_number(t):
    """(True, text) for the 0x / 0o forms; 0o gives decimal text."""
    i = 0
    neg = False
    if t[:1] in ("+", "-") and t:
        neg = t[0] == "-"
        i = 1
    body = t[i:]
    if len(body) < 3 or body[0] != "0" or body[1] not in "xo":
        return False, None
    digits = body[2:]
    if body[1] == "x":
        if all(c in "0123456789abcdefABCDEF" for c in digits):
            return True, t
        return False, None
    if not all(c in "01234567" for c in digits):
        return False, None
    v = int(digits, 8)
    if v >= 1 << 64:
        return False, None
    return True, ("-" if neg and v != 0 else "") + str(v)


def type_plain(t, flow):
    low = t if flow else t.lower()
    if t == "" or low == "null":
        return b"N"
    if low == "true":
        return b"T"
    if low == "false":
        return b"F"
    if is_decimal(t):
        return field("R", t)
    if not flow:
        ok, text = radix_number(t)
        if ok:
            return field("R", text)
    return field("S", t)


# Node kinds by class name, so that PyYAML's and ruamel.yaml's nodes both do.
def kind(node):
    return type(node).__name__


def canon_value(node, flow):
    if kind(node) == "ScalarNode":
        if node.style in ("'", '"'):
            return field("S", node.value)
        return type_plain(node.value, flow)
    flow = flow or bool(node.flow_style)
    if kind(node) == "SequenceNode":
        return b"L(" + b"".join(b"-" + canon_value(v, flow) for v in node.value) + b")"
    return b"D(" + canon_items_map(node, flow) + b")"


def canon_items_map(node, flow):
    out = b""
    for k, v in node.value:
        assert kind(k) == "ScalarNode"
        out += field("K", k.value) + canon_value(v, flow)
    return out


def compose_yaml12(text):
    """The node tree of a YAML 1.2 reader, for documents PyYAML refuses."""
    try:
        yaml.compose(text, Loader=yaml.BaseLoader)
    except yaml.YAMLError:
        pass
    else:
        raise SystemExit("PyYAML reads %r: it belongs in HAND" % text)
    import ruamel.yaml
    return ruamel.yaml.YAML(typ="rt", pure=True).compose(text)


def canon_document(text, yaml12=False):
    node = compose_yaml12(text) if yaml12 else yaml.compose(text, Loader=yaml.BaseLoader)
    if node is None:
        return b""
    if kind(node) == "MappingNode":
        return canon_items_map(node, bool(node.flow_style))
    if kind(node) == "SequenceNode":
        flow = bool(node.flow_style)
        return b"".join(b"-" + canon_value(v, flow) for v in node.value)
    return b"-" + canon_value(node, False)


# Texts: plain words, the cases that need quoting, indicators, non-ASCII.
SPECIAL = ["true", "False", "NULL", "null", "yes", "No", "on", "123", "-4.5", "1e5", "0x1F",
           "0o17", "- x", "-x", "# x", "a: b", "x #y", "x#y", "a:b", "end:", "&a", "*x", "!t",
           "|", ">", "%x", "@x", "`x", ",x", "?x", ":x", '"q', "'s", "say \"hi\"", "it's",
           "back\\slash", "tab\there", "[x]", "{y}", "x]", "---", "...", "--", "~", "",
           " lead", "trail ", "trail\t", "caf\u00e9", "\u4e2d\u6587", "\U0001F600 smile",
           "a, b", "k=v", "50%", "x: ", "\u00a0nbsp"]
WORDS = ["alpha", "beta", "gamma", "delta", "x", "y", "path/to/file", "http://h:80/p",
         "v1.2.3", "a b c", "C:\\dir", "mixed Case", "\u00e9t\u00e9", "UPPER"]


def rand_text(rng, key=False):
    r = rng.random()
    if r < 0.35:
        t = rng.choice(SPECIAL)
    elif r < 0.7:
        t = rng.choice(WORDS)
    else:
        alphabet = "abcxyz019 :#-'\"\\[]{},&*!?|>%@`\t\u00e9\u4e2d"
        t = "".join(rng.choice(alphabet) for _ in range(rng.randint(1, 12)))
    if key:
        t = t[:40] or "k"
    return t


def rand_number(rng):
    r = rng.random()
    if r < 0.4:
        return rng.randint(-10**6, 10**6)
    if r < 0.7:
        return round(rng.uniform(-1000, 1000), rng.randint(0, 6))
    return rng.choice([1e20, -2.5e-7, 0.0, 1e-05, 123456789.125])


def rand_tree(rng, depth, want_dict=None):
    if want_dict is None:
        want_dict = rng.random() < 0.6
    n = rng.randint(0, 5) if depth > 0 else rng.randint(1, 6)
    if want_dict:
        out = {}
        for _ in range(n):
            out[rand_text(rng, key=True)] = rand_value(rng, depth)
        return out
    return [rand_value(rng, depth) for _ in range(n)]


def rand_value(rng, depth):
    r = rng.random()
    if depth < 4 and r < 0.3:
        return rand_tree(rng, depth + 1)
    r = rng.random()
    if r < 0.1:
        return None
    if r < 0.2:
        return rng.random() < 0.5
    if r < 0.4:
        return rand_number(rng)
    return rand_text(rng)


HAND = [
    "# comment first\na: 1 # trailing\nb: NULL\nc: True\nd: {c: True, n: null, x: NULL}\n",
    "list: [1, two, 'three', \"four\"]\nnested:\n  - a\n  - [b, c]\n  - {d: e}\n",
    "---\na: b\n...\n",
    "--- # doc\n- x\n- y\n",
    "s: 'it''s ''quoted'''\nd: \"\\x41\\u00e9\\U0001F600\\N\\_\\L\\P\\t\\n\\r\\\\\\\"\\a\\b\\e\\f\\v\\0\"\n",
    "a:\n  b:\n    c:\n      d: 1\n      e: 2\nf: 3\n",
    "a:\n  b:\n    - c\n    - d:\n        e: f\ng: h\n",
    "dup: 1\ndup: 2\ndup:\n  x: y\n",
    "plain: this runs\n  over two lines\n\n  and a paragraph\nnext: v\n",
    "q: 'folded\n  single\n\n  quote'\nd: \"folded\n  double \\\n  joined\"\n",
    "- - a\n  - b\n- - c\n-\n  k: v\n- \n",
    "key:\n- a\n- b\nother:\n- c\n",
    "{a: [1, 2, {b: c}], 'd': \"e\", f: }\n",
    "[a, [b, [c, [d]]], {}, []]\n",
    "flow: {a: 1,\n  b: 2,\n  c: [x,\n    y]}\nafter: 1\n",
    "oct: 0o17\nhex: 0x1F\nneg: -0o10\nflowoct: [0o17, 0x1F]\nfloat: -1.5e+3\ndot: .5\n",
    "bools: [true, True, TRUE, false]\nb1: TRUE\nb2: fAlSe\nn1: Null\n",
    "url: http://example.com:8080/x\nhash: a#b\ncolon: a:b\n",
    "just a scalar\n",
    "'quoted root'\n",
    "k: v\n\n\n# only comments\n\n",
    "a: 1\r\nb:\r\n  - x\r\n  - y\r\n",
    "x:\n  y:\n    z:\n      w: 1\n  v: 2\nu: 3\n",
    "- a: 1\n  b: 2\n- c: 3\n",
    "empty:\nnext: 1\n",
    "\"key with: colon\": 1\n'# hash key': 2\n",
    "[foo: bar]\n",
    "- [a: b]\n",
    "seq: [a: b, c, 'q': v, \"d\":e, k: {x: y}, l: [1, 2], m: , n:\n  o, p: true]\n",
    "[x:, a:b, a :b, \"k\" : 1]\n",
    "{s: [a: 1], t: [[b: 2]]}\n",
    "- [a\n  :b, c: d]\n",
]

# YAML 1.2 only: PyYAML refuses these (see compose_yaml12).
HAND_YAML12 = [
    "[:x]\n",
    "{x: :x}\n",
    "a: [x, :y]\n",
    "[:x, :x:y, a: :b, :c: d, :e\n  :f]\n",
    "{a: :x, b: [:y, {c: :z}]}\n",
]


def write_record(f, tag, data):
    data = enc(data)
    f.write(tag.encode() + b" " + str(len(data)).encode() + b"\n" + data + b"\n")


def canon_from_python(value):
    """Canonical form of a generated tree in our writer's terms."""
    if value is None:
        return b"N"
    if value is True:
        return b"T"
    if value is False:
        return b"F"
    if isinstance(value, (int, float)):
        return field("R", repr(value))
    if isinstance(value, str):
        return field("S", value)
    if isinstance(value, list):
        return b"L(" + b"".join(b"-" + canon_from_python(v) for v in value) + b")"
    return b"D(" + b"".join(field("K", k) + canon_from_python(v) for k, v in value.items()) + b")"


WRITER_TEXTS = SPECIAL + ["line\nfeed", "cr\rhere", "\tlead tab", "trailing  ", "\u2028sep",
                          "nel\u0085x", "bell\x07", "del\x7f", "a\u00a0b", "x:y", "x :y"]


def rand_writer_value(rng, depth):
    r = rng.random()
    if depth < 4 and r < 0.3:
        if rng.random() < 0.2:
            return [] if rng.random() < 0.5 else {}
        n = rng.randint(1, 4)
        if rng.random() < 0.5:
            return [rand_writer_value(rng, depth + 1) for _ in range(n)]
        return {rng.choice(WRITER_TEXTS) + str(i): rand_writer_value(rng, depth + 1)
                for i in range(n)} if rng.random() < 0.5 else {
            rng.choice(WRITER_TEXTS): rand_writer_value(rng, depth + 1)}
    r = rng.random()
    if r < 0.1:
        return None
    if r < 0.2:
        return rng.random() < 0.5
    if r < 0.35:
        return rand_number(rng)
    return rng.choice(WRITER_TEXTS)


def check(path):
    """Composes each written text and compares structure and texts."""
    data = open(path, "rb").read()
    pos = 0
    failures = 0
    cases = 0
    while pos < len(data):
        records = []
        for _ in range(2):
            nl = data.index(b"\n", pos)
            tag, length = data[pos:nl].split(b" ")
            length = int(length)
            records.append(data[nl + 1:nl + 1 + length])
            pos = nl + 1 + length + 1
        text, expected = records
        cases += 1
        try:
            got = canon_document(text.decode("utf-8"))
        except Exception as e:  # noqa: BLE001
            got = ("error: %s" % e).encode()
        if strip_types(got) != strip_types(expected):
            failures += 1
            if failures <= 5:
                sys.stderr.write("mismatch in case %d\ntext: %r\nwant: %r\ngot:  %r\n" %
                                 (cases, text, expected, got))
    print("checked %d written documents, %d mismatches" % (cases, failures))
    return 1 if failures or cases == 0 else 0


def strip_types(canon):
    """PyYAML sees structure and texts; scalar types are our reader's matter."""
    out = b""
    i = 0
    while i < len(canon):
        c = canon[i:i + 1]
        if c in (b"K", b"R", b"S"):
            colon = canon.index(b":", i)
            n = int(canon[i + 1:colon])
            text = canon[colon + 1:colon + 1 + n]
            out += (b"K" if c == b"K" else b"V") + str(len(text)).encode() + b":" + text
            i = colon + 1 + n
        elif c == b"N":
            out += b"V4:null"
            i += 1
        elif c == b"T":
            out += b"V4:true"
            i += 1
        elif c == b"F":
            out += b"V5:false"
            i += 1
        else:
            out += c
            i += 1
    return out


def main():
    if len(sys.argv) == 3 and sys.argv[1] == "--check":
        sys.exit(check(sys.argv[2]))
    outdir = sys.argv[1]
    os.makedirs(outdir, exist_ok=True)
    rng = random.Random(SEED)
    count = 0
    with open(os.path.join(outdir, "yaml_reader.txt"), "wb") as f:
        write_record(f, "seed", str(SEED))
        for style in (False, True, None):
            for _ in range(DOCS_PER_STYLE):
                tree = rand_tree(rng, 0)
                text = yaml.dump(tree, default_flow_style=style, allow_unicode=True,
                                 sort_keys=False, width=10**6)
                write_record(f, "doc", text)
                write_record(f, "exp", canon_document(text))
                count += 1
        for text in HAND:
            write_record(f, "doc", text)
            write_record(f, "exp", canon_document(text))
            count += 1
        for text in HAND_YAML12:
            write_record(f, "doc", text)
            write_record(f, "exp", canon_document(text, yaml12=True))
            count += 1
    with open(os.path.join(outdir, "yaml_writer_trees.txt"), "wb") as f:
        write_record(f, "seed", str(SEED))
        for _ in range(WRITER_TREES):
            tree = {}
            for i in range(rng.randint(0, 5)):
                tree[rng.choice(WRITER_TEXTS) + ("" if i == 0 else str(i))] = \
                    rand_writer_value(rng, 0)
            if rng.random() < 0.2:
                items = b"".join(b"-" + canon_from_python(rand_writer_value(rng, 0))
                                 for _ in range(rng.randint(1, 4)))
            else:
                items = b"".join(field("K", k) + canon_from_python(v) for k, v in tree.items())
            write_record(f, "tree", items)
    with open(os.path.join(outdir, "yaml_check_command.txt"), "w") as f:
        f.write("/usr/bin/python3 %s --check" % os.path.abspath(__file__))
    print("yaml: %d reader documents (seed %#x)" % (count, SEED))


if __name__ == "__main__":
    main()
