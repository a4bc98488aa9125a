#!/usr/bin/python3
"""Oracle vectors for the XML reader and writer and for property lists.

Writes into <vectors-dir>:
  xml_read.txt    documents made from random trees (both quote styles, entity
                  and numeric references, CDATA, comments, a declaration) and
                  the tree that xml.etree reads from each, in the dump form.
  xml_write.txt   random trees in the dump form, for our writer to write.
  plist.txt       random property-list trees in the dump form and the text
                  plistlib.dumps gives for each.
  xml_check.py    the checker the tests run on what our writers produced:
                    xml_check.py xml <xml_write.txt> <index> <file> <pretty>
                    xml_check.py plist <plist.txt> <index> <file>
                  (the second also converts the file with plistutil to the
                  binary form and reads that back).

Dump form: one line per item, "depth type key value", type the Dictionary
type code, key "n" (none) or "k" + hex, value "v" + hex (reals: the 8 bytes of
the double, big-endian); blocks end with a line "END". Reproducible: the seed
is printed and fixed.
"""
import os
import plistlib
import random
import struct
import sys
import xml.etree.ElementTree as ET

SEED = 20260612
NAME_ALPHABET = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ_"
TEXT_ALPHABET = list("abc xyz019<>&\"'=/;#") + ["\t", "\n", "\r", "é", "ß", "€", "日本", "😀"]

T_NULL, T_BOOL, T_INT, T_REAL, T_STRING, T_LIST, T_DICT = 1, 2, 3, 4, 5, 6, 7


def hx(text):
    return text.encode("utf-8").hex()


def dump_line(depth, typ, key, value):
    k = "n" if key is None else "k" + hx(key)
    if isinstance(value, bytes):
        v = "v" + value.hex()
    else:
        v = "v" + hx(value)
    return "%d %d %s %s" % (depth, typ, k, v)


def rand_name(rng):
    return "".join(rng.choice(NAME_ALPHABET) for _ in range(rng.randint(1, 8)))


def rand_text(rng, lo=0, hi=12):
    return "".join(rng.choice(TEXT_ALPHABET) for _ in range(rng.randint(lo, hi)))


# ---- Writer trees -------------------------------------------------------------
# An element is (name, attrs[(k, v)], text or None, children[...]); a list
# child is ("LIST", name, [elements]).


def rand_element(rng, name, depth):
    attrs = []
    used = set()
    for _ in range(rng.randint(0, 3)):
        k = rand_name(rng)
        if k not in used:
            used.add(k)
            attrs.append((k, rand_text(rng)))
    children = []
    text = None
    if depth < 4 and rng.random() < 0.6:
        if rng.random() < 0.3:
            text = rand_text(rng, 1)
        for _ in range(rng.randint(1, 4)):
            if rng.random() < 0.2:
                lname = rand_name(rng)
                children.append(("LIST", lname,
                                 [rand_element(rng, lname, depth + 1) for _ in range(rng.randint(1, 3))]))
            else:
                children.append(rand_element(rng, rand_name(rng), depth + 1))
    else:
        text = rand_text(rng, 1) if rng.random() < 0.8 else None
    return (name, attrs, text, children)


def dump_element(el, depth, key, out):
    name, attrs, text, children = el
    if not attrs and not children and text is not None:
        out.append(dump_line(depth, T_STRING, key, text))
        return
    out.append(dump_line(depth, T_DICT, key, ""))
    for k, v in attrs:
        out.append(dump_line(depth + 1, T_STRING, "-" + k, v))
    if text is not None:
        out.append(dump_line(depth + 1, T_STRING, "#text", text))
    for c in children:
        if c[0] == "LIST":
            out.append(dump_line(depth + 1, T_LIST, c[1], ""))
            for e in c[2]:
                dump_element(e, depth + 2, None, out)
        else:
            dump_element(c, depth + 1, c[0], out)


# ---- Reader documents ---------------------------------------------------------

def esc_text(rng, text):
    """Escapes element text at random: entities, numeric references, CDATA."""
    out = []
    i = 0
    while i < len(text):
        ch = text[i]
        r = rng.random()
        if r < 0.1 and "]]>" not in text[i:i + 4]:
            n = rng.randint(1, 4)
            seg = text[i:i + n]
            if "]]" not in seg and "\r" not in seg and not seg.endswith("]"):
                out.append("<![CDATA[" + seg + "]]>")
                i += len(seg)
                continue
        edge = i == 0 or i == len(text) - 1
        if ch == "&":
            out.append(rng.choice(["&amp;", "&#38;", "&#x26;"]))
        elif ch == "<":
            out.append(rng.choice(["&lt;", "&#60;"]))
        elif ch == ">":
            out.append(rng.choice(["&gt;", ">"]))
        elif ch == "\r" or (ch in " \t\n" and edge):
            out.append("&#%d;" % ord(ch) if rng.random() < 0.5 else "&#x%X;" % ord(ch))
        elif r > 0.9:
            out.append("&#%d;" % ord(ch) if rng.random() < 0.5 else "&#x%x;" % ord(ch))
        elif r > 0.85 and ch in "\"'":
            out.append("&quot;" if ch == '"' else "&apos;")
        else:
            out.append(ch)
        i += 1
    return "".join(out)


def esc_attr(rng, value, quote):
    out = []
    for ch in value:
        if ch == "&":
            out.append("&amp;")
        elif ch == "<":
            out.append("&lt;")
        elif ch == quote:
            out.append("&quot;" if quote == '"' else "&apos;")
        elif ch in "\t\n\r":
            out.append("&#%d;" % ord(ch))
        elif rng.random() < 0.05:
            out.append("&#x%x;" % ord(ch))
        else:
            out.append(ch)
    return quote + "".join(out) + quote


def rand_read_element(rng, depth):
    name = rand_name(rng)
    attrs = []
    used = set()
    for _ in range(rng.randint(0, 3)):
        k = rand_name(rng)
        if k not in used:
            used.add(k)
            attrs.append((k, rand_text(rng)))
    children = []
    text = None
    if depth < 5 and rng.random() < 0.6:
        children = [rand_read_element(rng, depth + 1) for _ in range(rng.randint(1, 4))]
    elif rng.random() < 0.85:
        text = rand_text(rng, 1)
    return (name, attrs, text, children)


def write_read_doc(rng, el, out, depth):
    name, attrs, text, children = el
    pad = "\n" + "  " * depth if rng.random() < 0.5 else ""
    out.append(pad + "<" + name)
    for k, v in attrs:
        out.append(" " + k + "=" + esc_attr(rng, v, rng.choice(['"', "'"])))
    if not children and text is None and rng.random() < 0.4:
        out.append("/>")
        return
    out.append(">")
    if text is not None:
        out.append(esc_text(rng, text))
    for c in children:
        if rng.random() < 0.15:
            out.append("<!-- don't " + rand_name(rng) + " -->")
        write_read_doc(rng, c, out, depth + 1)
    if children and rng.random() < 0.5:
        out.append("\n" + "  " * depth)
    out.append("</" + name + ">")


def expected_from_etree(el, depth, key, out):
    """The mapping the reader promises, applied to what etree read."""
    text = el.text if el.text is not None and len(el) == 0 else None
    if text == "":
        text = None
    if not el.attrib and len(el) == 0 and text is not None:
        out.append(dump_line(depth, T_STRING, key, text))
        return
    out.append(dump_line(depth, T_DICT, key, ""))
    for k, v in el.attrib.items():
        out.append(dump_line(depth + 1, T_STRING, "-" + k, v))
    if text is not None:
        out.append(dump_line(depth + 1, T_STRING, "#text", text))
    for c in el:
        expected_from_etree(c, depth + 1, c.tag, out)


# ---- Property lists -----------------------------------------------------------

def rand_plist_value(rng, depth):
    r = rng.random()
    if depth < 4 and r < 0.2:
        return [rand_plist_value(rng, depth + 1) for _ in range(rng.randint(0, 4))]
    if depth < 4 and r < 0.4:
        d = {}
        for _ in range(rng.randint(0, 4)):
            d[rand_plist_key(rng)] = rand_plist_value(rng, depth + 1)
        return d
    r = rng.random()
    if r < 0.2:
        return rng.choice([0, 1, -1, 2**63 - 1, -2**63, rng.randint(-10**12, 10**12)])
    if r < 0.4:
        return rng.choice([0.1, -0.0, 1e300, 5e-324, 1.0 / 3, rng.uniform(-1e6, 1e6),
                           struct.unpack(">d", rng.getrandbits(64).to_bytes(8, "big"))[0]])
    if r < 0.5:
        return rng.random() < 0.5
    s = rand_plist_string(rng)
    return s


def rand_plist_string(rng):
    s = rand_text(rng, 0, 10).replace("\r", "")
    if rng.random() < 0.3:
        s = " " + s + " \n"
    return s


def rand_plist_key(rng):
    return rand_plist_string(rng) if rng.random() < 0.3 else rand_name(rng)


def clean_real(v):
    import math
    return v if math.isfinite(v) else 0.5


def fix_reals(v):
    if isinstance(v, float):
        return clean_real(v)
    if isinstance(v, list):
        return [fix_reals(x) for x in v]
    if isinstance(v, dict):
        return {k: fix_reals(x) for k, x in v.items()}
    return v


def dump_plist(value, depth, key, out):
    if isinstance(value, bool):
        out.append(dump_line(depth, T_BOOL, key, "1" if value else "0"))
    elif isinstance(value, int):
        out.append(dump_line(depth, T_INT, key, str(value)))
    elif isinstance(value, float):
        out.append(dump_line(depth, T_REAL, key, struct.pack(">d", value)))
    elif isinstance(value, str):
        out.append(dump_line(depth, T_STRING, key, value))
    elif isinstance(value, list):
        out.append(dump_line(depth, T_LIST, key, ""))
        for x in value:
            dump_plist(x, depth + 1, None, out)
    else:
        out.append(dump_line(depth, T_DICT, key, ""))
        for k, x in value.items():
            dump_plist(x, depth + 1, k, out)


CHECKER = r'''#!/usr/bin/python3
"""Checks what our writers produced; see gen_xml.py."""
import plistlib, struct, subprocess, sys, tempfile, os
import xml.etree.ElementTree as ET


def blocks(path):
    block = []
    with open(path, encoding="utf-8") as f:
        for line in f:
            line = line.rstrip("\n")
            if line == "END":
                yield block
                block = []
            elif line and line[0].isdigit() and " " in line:
                block.append(line)


def parse_dump(lines):
    """Dump lines to nested (type, key, value, children) tuples."""
    root = []
    stack = [(-1, root)]
    for line in lines:
        d, t, k, v = line.split(" ")
        d, t = int(d), int(t)
        key = None if k == "n" else bytes.fromhex(k[1:]).decode("utf-8")
        raw = bytes.fromhex(v[1:])
        node = [t, key, raw, []]
        while stack[-1][0] >= d:
            stack.pop()
        stack[-1][1].append(node)
        stack.append((d, node[3]))
    return root


def expected_elements(items, name=None):
    """Dictionary items (writer tree) to (tag, attrs, text, children)."""
    out = []
    for t, key, raw, kids in items:
        tag = key if key is not None else name
        if t == 5:
            out.append((tag, {}, raw.decode("utf-8"), []))
        elif t == 6:
            out.extend(expected_elements(kids, key))
        elif t == 7:
            attrs, text, children = {}, "", []
            for kt, kk, kr, kkids in kids:
                if kk is not None and kk.startswith("-"):
                    attrs[kk[1:]] = kr.decode("utf-8")
                elif kk == "#text":
                    text = kr.decode("utf-8")
            children = expected_elements([c for c in kids if c[1] is None or
                                          not (c[1].startswith("-") or c[1] == "#text")])
            out.append((tag, attrs, text, children))
    return out


def compare(exp, el, pretty, path):
    tag, attrs, text, children = exp
    got_text = el.text or ""
    if pretty and (children or text == ""):
        got_text, text = got_text.strip(" \n"), text.strip(" \n")
    if el.tag != tag:
        return "%s: tag %r != %r" % (path, el.tag, tag)
    if dict(el.attrib) != attrs:
        return "%s: attributes %r != %r" % (path, el.attrib, attrs)
    if got_text != text:
        return "%s: text %r != %r" % (path, got_text, text)
    if len(el) != len(children):
        return "%s: %d children, expected %d" % (path, len(el), len(children))
    for i, (c, e) in enumerate(zip(children, list(el))):
        r = compare(c, e, pretty, path + "/" + tag + "[%d]" % i)
        if r:
            return r
    return None


def to_python(t, raw, kids):
    if t == 2:
        return raw == b"1"
    if t == 3:
        return int(raw.decode())
    if t == 4:
        return struct.unpack(">d", raw)[0]
    if t == 5:
        return raw.decode("utf-8")
    if t == 6:
        return [to_python(*k[0:1], k[2], k[3]) for k in kids]
    return {k[1]: to_python(k[0], k[2], k[3]) for k in kids}


def same(a, b):
    if type(a) is not type(b):
        return False
    if isinstance(a, float):
        return struct.pack(">d", a) == struct.pack(">d", b)
    if isinstance(a, list):
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    if isinstance(a, dict):
        return list(a.keys()) == list(b.keys()) and all(same(a[k], b[k]) for k in a)
    return a == b


def main():
    mode, vectors, index, path = sys.argv[1:5]
    block = list(blocks(vectors))[int(index)]
    data = open(path, "rb").read()
    if mode == "xml":
        pretty = sys.argv[5] == "1"
        (exp,) = expected_elements(parse_dump(block))
        root = ET.fromstring(data)
        r = compare(exp, root, pretty, "")
        if r:
            print(r)
            return 1
        return 0
    dumped = [l for l in block if not l.startswith("P ")]
    tree = {k[1]: to_python(k[0], k[2], k[3]) for k in parse_dump(dumped)[0][3]}
    got = plistlib.loads(data)
    if not same(got, tree):
        print("plistlib read %r, expected %r" % (got, tree))
        return 1
    with tempfile.TemporaryDirectory() as tmp:
        binary = os.path.join(tmp, "out.bplist")
        subprocess.run(["plistutil", "-i", path, "-o", binary, "-f", "bin"], check=True)
        got = plistlib.loads(open(binary, "rb").read())
        if not same(got, tree):
            print("binary form read %r, expected %r" % (got, tree))
            return 1
    return 0


sys.exit(main())
'''


def main():
    out_dir = sys.argv[1]
    os.makedirs(out_dir, exist_ok=True)
    print("gen_xml seed %d" % SEED)
    rng = random.Random(SEED)

    lines = []
    for _ in range(150):
        out = []
        dump_element(rand_element(rng, rand_name(rng), 0), 0, None, out)
        out[0] = out[0]  # the root item's key is set below
        # The root item carries the root element's name.
        root = rand_name(rng)
        d, t, k, v = out[0].split(" ")
        out[0] = " ".join([d, t, "k" + hx(root), v])
        lines.extend(out)
        lines.append("END")
    with open(os.path.join(out_dir, "xml_write.txt"), "w", encoding="utf-8") as f:
        f.write("\n".join(lines) + "\n")

    lines = []
    for _ in range(200):
        el = rand_read_element(rng, 0)
        doc = []
        if rng.random() < 0.7:
            doc.append('<?xml version="1.0" encoding="UTF-8"?>\n')
        if rng.random() < 0.3:
            doc.append("<!-- a comment -->\n")
        write_read_doc(rng, el, doc, 0)
        text = "".join(doc)
        parsed = ET.fromstring(text.encode("utf-8"))
        exp = []
        expected_from_etree(parsed, 0, parsed.tag, exp)
        lines.append("D " + text.encode("utf-8").hex())
        lines.extend(exp)
        lines.append("END")
    with open(os.path.join(out_dir, "xml_read.txt"), "w", encoding="utf-8") as f:
        f.write("\n".join(lines) + "\n")

    lines = []
    for i in range(120):
        tree = {}
        for _ in range(rng.randint(0, 6)):
            tree[rand_plist_key(rng)] = rand_plist_value(rng, 0)
        if i == 0:
            tree = {"empty": "", "list": [], "dict": {}, " blank ": "  lead and trail  \n",
                    "amp": "& < >", "t": True, "f": False, "n": -5, "r": 0.1}
        tree = fix_reals(tree)
        text = plistlib.dumps(tree, fmt=plistlib.FMT_XML, sort_keys=False)
        out = []
        dump_plist(tree, 0, None, out)
        lines.append("P " + text.hex())
        lines.extend(out)
        lines.append("END")
    with open(os.path.join(out_dir, "plist.txt"), "w", encoding="utf-8") as f:
        f.write("\n".join(lines) + "\n")

    with open(os.path.join(out_dir, "xml_check.py"), "w", encoding="utf-8") as f:
        f.write(CHECKER)


if __name__ == "__main__":
    main()
