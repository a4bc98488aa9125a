#!/usr/bin/python3
"""Oracle vectors for core/asn and core/x500, answered by OpenSSL's
`openssl asn1parse` and Python cryptography (Debian's python3-cryptography
and python3-cryptography-vectors).

Writes into <dir>:
  asn_trees.txt  the element trees of every certificate in /etc/ssl/certs
                 (PEM converted to DER here) and of the DER samples of the
                 vectors package (x509/PKITS_data/certs/*.crt,
                 x509/custom/*.der, pkcs12/*.p12):
      file  <label> <1 when the file must parse, else 0> <DER hex>
      node  <offset> <depth> <header length> <length or inf> <constructed 0/1>
            every element in pre-order, as `openssl asn1parse -inform DER -i`
            lists it; the children read out of a primitive BIT or OCTET
            STRING follow their string, as asn1parse lists the string's bytes
            (again for deeper strings), when our rules keep them
      time  <offset> <seconds since 1970>   a validity time of a certificate,
            from cryptography's not_valid_before/not_valid_after
      name  <offset> <O> <OU> <CN>   the issuer or subject Name of a
            certificate: the last value of get_attributes_for_oid, UTF-8 in
            hex, "-" when absent
  asn_cases.txt  inputs built here:
      parse <label> <hex> <result 0/1> <top-level elements> <deepest depth>
      find  <label> <hex> <oid> <found 0/1> <value element hex or ->
      oid   <dotted text or - when it must fail> <DER from
            `openssl asn1parse -genstr OID:<dotted>`>
      dss   <r hex> <s hex> <encode_dss_signature(r, s) hex>
      x500eq <label> <Name A DER hex> <Name B DER hex> <equal 0/1>
The first line of each is "# seed N".
"""
import calendar
import concurrent.futures
import glob
import os
import random
import re
import subprocess
import sys
import tempfile
import warnings

from cryptography import x509
from cryptography.hazmat.primitives.asymmetric.utils import encode_dss_signature
from cryptography.hazmat.primitives.serialization import Encoding
from cryptography.x509.name import _ASN1Type
from cryptography.x509.oid import NameOID
import cryptography_vectors

SEED = 0xA5_0001
MAX_DEPTH = 32
VECTORS = os.path.dirname(cryptography_vectors.__file__)
LINE = re.compile(r"^\s*(\d+):d=\s*(\d+)\s+hl=\s*(\d+)\s+l=\s*(\d+|inf)\s+(prim|cons):\s*(.*?)\s*$")
# Universal tag numbers that the reader refuses, as asn1parse names them.
REFUSED = {"<ASN1 13>", "<ASN1 14>", "<ASN1 15>", "<ASN1 29>"}
BIT_STRING, OCTET_STRING = 0x03, 0x04


def asn1parse(path):
    """Runs asn1parse on a DER file. Returns the listed elements, or None when
    OpenSSL reports an error."""
    args = ["openssl", "asn1parse", "-inform", "DER", "-in", path, "-i"]
    run = subprocess.run(args, capture_output=True, text=True, errors="replace")
    if run.returncode != 0:
        return None
    nodes = []
    for line in run.stdout.splitlines():
        m = LINE.match(line)
        if not m:
            continue
        nodes.append({"off": int(m[1]), "d": int(m[2]), "hl": int(m[3]),
                      "len": None if m[4] == "inf" else int(m[4]),
                      "cons": m[5] == "cons", "name": m[6].split(":")[0].strip()})
    return nodes


def asn1parse_bytes(der):
    """asn1parse of bytes read out of a string. They go through a file of their
    own: `-strparse` cannot name offset 0, where a string nested directly in
    a string starts."""
    with tempfile.NamedTemporaryFile(suffix=".der") as f:
        f.write(der)
        f.flush()
        return asn1parse(f.name)


def follows_our_rules(data, base, nodes, depth0):
    """Applies the reader's own limits to a level that OpenSSL accepted:
    refused universal tags, end-of-contents only closing an indefinite
    element, at most 4 length bytes, depth at most MAX_DEPTH."""
    parents = []
    for n in nodes:
        while parents and parents[-1]["d"] >= n["d"]:
            parents.pop()
        if n["name"] in REFUSED or n["d"] + depth0 > MAX_DEPTH:
            return False
        m = re.match(r"<ASN1 (\d+)>", n["name"])
        if m and int(m[1]) > 30:
            return False
        if n["name"] == "EOC":
            if not parents or parents[-1]["len"] is not None or n["cons"] or n["hl"] != 2:
                return False
            continue
        start = base + n["off"]
        tag_bytes = 1
        if data[start] & 0x1F == 0x1F:
            while data[start + tag_bytes] & 0x80:
                tag_bytes += 1
            tag_bytes += 1
            if tag_bytes > 5 or data[start + 1] == 0x80:
                return False
        if n["hl"] - tag_bytes - 1 > 4:
            return False
        if n["cons"]:
            parents.append(n)
    return True


class Sample:
    def __init__(self, label, der, path):
        self.label, self.der, self.path = label, der, path


def expand(sample, base, depth0, nodes, pool):
    """The pre-order node list of one level with the encapsulated children of
    its strings spliced in. Offsets and depths become absolute."""
    data = sample.der
    out = []
    futures = {}
    for i, n in enumerate(nodes):
        start = base + n["off"]
        ident = data[start]
        if n["cons"] or ident not in (BIT_STRING, OCTET_STRING) or n["len"] is None:
            continue
        content, end = start + n["hl"], start + n["hl"] + n["len"]
        if ident == BIT_STRING:
            if n["len"] < 2 or data[content] != 0:
                continue
            content += 1
        elif n["len"] < 2:
            continue
        if depth0 + n["d"] + 1 > MAX_DEPTH:
            continue
        futures[i] = (content, pool.submit(asn1parse_bytes, data[content:end]))
    for i, n in enumerate(nodes):
        if n["name"] == "EOC":
            continue
        out.append((base + n["off"], depth0 + n["d"], n["hl"], n["len"], n["cons"]))
        if i in futures:
            content, future = futures[i]
            inner = future.result()
            if inner and follows_our_rules(data, content, inner, depth0 + n["d"] + 1):
                out += expand(sample, content, depth0 + n["d"] + 1, inner, pool)
    return out


def tree_of(nodes):
    """Children lists of a top-level listing: index -> child indexes."""
    children = {i: [] for i in range(len(nodes))}
    stack = []
    for i, n in enumerate(nodes):
        while stack and nodes[stack[-1]]["d"] >= n["d"]:
            stack.pop()
        if stack:
            children[stack[-1]].append(i)
        if n["cons"]:
            stack.append(i)
    return children


def text_of(name, oid):
    values = name.get_attributes_for_oid(oid)
    if not values:
        return "-"
    return values[-1].value.encode("utf-8").hex()


def certificate_rows(sample, nodes):
    """time and name rows of a certificate, located through its listing."""
    try:
        cert = x509.load_der_x509_certificate(sample.der)
        times = [cert.not_valid_before, cert.not_valid_after]
        names = [cert.issuer, cert.subject]
    except Exception:
        return []
    children = tree_of(nodes)
    tbs = children[0][0]
    fields = children[tbs]
    first = 1 if nodes[fields[0]]["name"] == "cont [ 0 ]" else 0
    issuer, validity, subject = fields[first + 2], fields[first + 3], fields[first + 4]
    rows = []
    for index, when in zip(children[validity], times):
        rows.append(("time", nodes[index]["off"], calendar.timegm(when.utctimetuple())))
    for index, name in zip((issuer, subject), names):
        rows.append(("name", nodes[index]["off"], text_of(name, NameOID.ORGANIZATION_NAME),
                     text_of(name, NameOID.ORGANIZATIONAL_UNIT_NAME),
                     text_of(name, NameOID.COMMON_NAME)))
    return rows


def load_samples(tmp):
    samples = []
    seen = set()
    for path in sorted(glob.glob("/etc/ssl/certs/*.pem")):
        real = os.path.realpath(path)
        if real in seen:
            continue
        seen.add(real)
        with open(real, "rb") as f:
            cert = x509.load_pem_x509_certificate(f.read())
        der = cert.public_bytes(Encoding.DER)
        out = os.path.join(tmp, f"sys{len(samples)}.der")
        with open(out, "wb") as f:
            f.write(der)
        samples.append(Sample("system/" + os.path.basename(path), der, out))
    for pattern in ("x509/PKITS_data/certs/*.crt", "x509/custom/*.der", "pkcs12/*.p12"):
        for path in sorted(glob.glob(os.path.join(VECTORS, pattern))):
            with open(path, "rb") as f:
                samples.append(Sample(os.path.relpath(path, VECTORS), f.read(), path))
    return samples


def tree_rows(pool, tmp):
    rows = []
    samples = load_samples(tmp)
    if len(samples) < 500:
        raise RuntimeError(f"only {len(samples)} samples found")
    tops = [(s, pool.submit(asn1parse, s.path)) for s in samples]
    for sample, future in tops:
        nodes = future.result()
        ok = nodes is not None and follows_our_rules(sample.der, 0, nodes, 0)
        if ok:
            # The last line listed ends where the data ends, or asn1parse
            # stopped early.
            end = nodes[-1]
            ok = end["len"] is not None and end["off"] + end["hl"] + end["len"] == len(sample.der)
        rows.append(("file", sample.label, int(ok), sample.der.hex()))
        if not ok:
            continue
        for node in expand(sample, 0, 0, nodes, pool):
            off, depth, hl, length, cons = node
            rows.append(("node", off, depth, hl, "inf" if length is None else length, int(cons)))
        if not sample.label.startswith("pkcs12/"):
            rows += certificate_rows(sample, nodes)
    return rows


# ---- Built cases -------------------------------------------------------------------------

def der_length(n):
    if n < 0x80:
        return bytes([n])
    body = n.to_bytes((n.bit_length() + 7) // 8, "big")
    return bytes([0x80 | len(body)]) + body


def tlv(tag, content):
    return bytes([tag]) + der_length(len(content)) + content


def nest(levels, inner=b"\x05\x00"):
    data = inner
    for _ in range(levels):
        data = tlv(0x30, data)
    return data


def oid_der(text):
    arcs = [int(a) for a in text.split(".")]
    values = [arcs[0] * 40 + arcs[1]] + arcs[2:]
    body = b""
    for v in values:
        groups = [v & 0x7F]
        v >>= 7
        while v:
            groups.append(0x80 | (v & 0x7F))
            v >>= 7
        body += bytes(reversed(groups))
    return tlv(0x06, body)


def parse_cases():
    """(label, data, result, top-level count, deepest depth)."""
    cn = oid_der("2.5.4.3")
    deep_ok = nest(MAX_DEPTH)          # 33 elements: depths 0..32, NULL at 33
    cases = [
        ("four length bytes", bytes.fromhex("028400000001 05"), 1, 1, 0),
        ("five length bytes", bytes.fromhex("02850000000001 05"), 0, 0, 0),
        ("length above INT32_MAX", bytes.fromhex("048480000000"), 0, 0, 0),
        ("length byte FF", bytes.fromhex("04ff"), 0, 0, 0),
        ("length past the end", bytes.fromhex("3005020105"), 0, 0, 0),
        ("long length past the end", bytes.fromhex("04820100 41"), 0, 0, 0),
        ("child past its parent", bytes.fromhex("3003 020205 06"), 0, 0, 0),
        ("cut identifier only", bytes.fromhex("30"), 0, 0, 0),
        ("cut long length", bytes.fromhex("308201"), 0, 0, 0),
        ("cut high tag number", bytes.fromhex("9f"), 0, 0, 0),
        ("cut high tag continuation", bytes.fromhex("bf81"), 0, 0, 0),
        ("high tag number", bytes.fromhex("9f8101 00"), 1, 1, 0),
        ("five-byte tag number", bytes.fromhex("9f8181818101 00"), 0, 0, 0),
        ("leading zero tag group", bytes.fromhex("9f8001 00"), 0, 0, 0),
        ("stray last byte", bytes.fromhex("3003020105 00"), 0, 0, 0),
        ("stray byte inside", bytes.fromhex("3004020105 00"), 0, 0, 0),
        ("empty SEQUENCE then siblings", bytes.fromhex("3000 020105 3000"), 1, 3, 0),
        ("empty SEQUENCEs inside", bytes.fromhex("3004 3000 3000"), 1, 1, 1),
        ("indefinite, terminated", bytes.fromhex("3080 020105 0000"), 1, 1, 1),
        ("indefinite, nested", bytes.fromhex("3080 3080 020105 0000 0000 0500"), 1, 2, 2),
        ("indefinite, unterminated", bytes.fromhex("3080 020105"), 0, 0, 0),
        ("indefinite, cut end-of-contents", bytes.fromhex("3080 020105 00"), 0, 0, 0),
        ("indefinite, end-of-contents with length", bytes.fromhex("3080 020105 000100"), 0, 0, 0),
        ("indefinite primitive", bytes.fromhex("0480 41 0000"), 0, 0, 0),
        ("end-of-contents outside indefinite", bytes.fromhex("0000"), 0, 0, 0),
        ("end-of-contents in a definite SEQUENCE", bytes.fromhex("3002 0000"), 0, 0, 0),
        ("tag number 13 inside", bytes.fromhex("3005 020105 0d00"), 0, 0, 0),
        ("tag number 14", bytes.fromhex("0e00"), 0, 0, 0),
        ("universal high tag number", bytes.fromhex("1f2000"), 0, 0, 0),
        ("tag number 30", bytes.fromhex("1e020041"), 1, 1, 0),
        ("context tag 13", bytes.fromhex("8d0100"), 1, 1, 0),
        ("nesting to depth 32", deep_ok, 1, 1, 32),
        ("nesting to depth 33", nest(MAX_DEPTH + 1), 0, 0, 0),
        ("10000-deep nesting", nest(10000), 0, 0, 0),
        ("10000-deep indefinite nesting", bytes.fromhex("3080") * 10000, 0, 0, 0),
        # Strings whose contents nest: the level past the limit is plain bytes.
        ("nested OCTET STRINGs", _nested_strings(40), 1, 1, MAX_DEPTH),
        ("BIT STRING with unused bits", tlv(0x03, b"\x01" + tlv(0x30, b"")), 1, 1, 0),
        ("BIT STRING of elements", tlv(0x03, b"\x00" + tlv(0x30, b"")), 1, 1, 1),
        ("OCTET STRING with trailing junk", tlv(0x04, tlv(0x30, b"") + b"\x01"), 1, 1, 0),
        ("OCTET STRING of two elements", tlv(0x04, tlv(0x02, b"\x05") + tlv(0x05, b"")), 1, 1, 1),
        ("empty buffer", b"", 0, 0, 0),
        ("OID in a plain SEQUENCE", tlv(0x30, cn + tlv(0x0C, b"x")), 1, 1, 1),
    ]
    return cases


def _nested_strings(levels):
    data = b"\x05\x00"
    for _ in range(levels):
        data = tlv(0x04, data)
    return data


def find_cases():
    cn = oid_der("2.5.4.3")
    good = tlv(0x0C, b"good")
    evil = tlv(0x0C, b"evil")
    hidden = tlv(0x30, tlv(0x04, tlv(0x30, cn + evil)))
    plain = tlv(0x30, tlv(0x30, tlv(0x31, tlv(0x30, cn + good))))
    both = tlv(0x30, tlv(0x04, tlv(0x30, cn + evil)) + tlv(0x30, cn + good))
    last = tlv(0x30, tlv(0x30, cn))
    return [
        ("OID hidden in an OCTET STRING", hidden, "2.5.4.3", 0, "-"),
        ("OID hidden in a BIT STRING", tlv(0x30, tlv(0x03, b"\x00" + tlv(0x30, cn + evil))), "2.5.4.3", 0, "-"),
        ("attribute in a Name", plain, "2.5.4.3", 1, good.hex()),
        ("hidden, then real", both, "2.5.4.3", 1, good.hex()),
        ("OID without a value", last, "2.5.4.3", 0, "-"),
        ("other OID", plain, "2.5.4.10", 0, "-"),
    ]


def oid_rows(rng, tmp):
    big = (1 << 64) - 1
    texts = ["2.999.3", "2.999", "1.2.840.113549.1.1.11", "0.0", "0.39", "1.39", "2.40",
             "2.47", "2.48.1", "1.3.6.1.4.1.311.60.2.1.3", f"1.2.{big}", f"2.{big - 80}",
             f"1.2.{1 << 63}", "2.25.329800735698586629295641978511506172918"]
    for _ in range(20):
        first = rng.randrange(3)
        second = rng.randrange(40) if first < 2 else rng.getrandbits(rng.choice([3, 10, 40, 63]))
        arcs = [first, second] + [rng.getrandbits(rng.choice([1, 7, 8, 14, 21, 32, 56, 63, 64]))
                                  for _ in range(rng.randrange(8))]
        texts.append(".".join(str(a) for a in arcs))
    # Too wide for 64 bits, or text beyond 319 characters: must fail.
    failing = [f"1.2.{big + 1}", f"2.{big - 79}", "1.2." + ".".join([str(big)] * 16),
               "2.25.329800735698586629295641978511506172918"]
    rows = []
    out = os.path.join(tmp, "oid.der")
    for text in texts + failing:
        subprocess.run(["openssl", "asn1parse", "-genstr", f"OID:{text}", "-out", out, "-noout"],
                       check=True, capture_output=True)
        with open(out, "rb") as f:
            der = f.read()
        if der != oid_der(text):
            raise RuntimeError(f"openssl and the builder disagree on {text}")
        expected = text if text not in failing else "-"
        if text not in failing and len(text) > 319:
            raise RuntimeError(f"{text} is too long to be a passing case")
        rows.append(("oid", expected, der.hex()))
    return rows


def dss_rows(rng):
    rows = []
    values = [0, 1, 0x7F, 0x80, 0xFF, 0x100, (1 << 255), (1 << 256) - 1, (1 << 521) - 1]
    for _ in range(150):
        bits = rng.randint(1, 521)
        v = rng.getrandbits(bits)
        if rng.random() < 0.3:
            v |= 1 << (bits - 1)  # top bit of a byte set when bits % 8 == 0
        values.append(v)
    for _ in range(120):
        r, s = rng.choice(values), rng.choice(values)
        rows.append(("dss", format(r, "X"), format(s, "X"), encode_dss_signature(r, s).hex()))
    return rows


def name(*rdns):
    out = []
    for rdn in rdns:
        attrs = []
        for oid, value, *kind in rdn:
            attrs.append(x509.NameAttribute(oid, value, *kind))
        out.append(x509.RelativeDistinguishedName(attrs))
    return x509.Name(out).public_bytes()


def x500_rows():
    C, O, OU, CN, E = (NameOID.COUNTRY_NAME, NameOID.ORGANIZATION_NAME,
                       NameOID.ORGANIZATIONAL_UNIT_NAME, NameOID.COMMON_NAME, NameOID.EMAIL_ADDRESS)
    P, U, B = _ASN1Type.PrintableString, _ASN1Type.UTF8String, _ASN1Type.BMPString
    base = name([(C, "US")], [(O, "Acme Corp")], [(CN, "Example Host")])
    cases = [
        ("identical DER", base, base, 1),
        ("only C differs", base, name([(C, "DE")], [(O, "Acme Corp")], [(CN, "Example Host")]), 0),
        ("PrintableString case differs",
         name([(C, "US")], [(O, "Acme Corp", P)], [(CN, "Example Host", P)]),
         name([(C, "US")], [(O, "ACME corp", P)], [(CN, "example HOST", P)]), 1),
        ("extra spaces", name([(CN, "Example Host")]), name([(CN, "  Example   Host ")]), 1),
        ("space inside a word", name([(CN, "Example Host")]), name([(CN, "Exam ple Host")]), 0),
        ("UTF8String and PrintableString", name([(CN, "Example", U)]), name([(CN, "example", P)]), 1),
        ("BMPString and UTF8String", name([(CN, "Beispiel GmbH", B)]), name([(CN, "beispiel gmbh", U)]), 1),
        ("non-ASCII case differs", name([(CN, "\u00c9cole")]), name([(CN, "\u00e9cole")]), 0),
        ("e-mail differs", name([(CN, "x")], [(E, "a@example.com")]),
         name([(CN, "x")], [(E, "b@example.com")]), 0),
        ("RDN order differs", name([(O, "a")], [(CN, "b")]), name([(CN, "b")], [(O, "a")]), 0),
        ("multi-valued RDN", name([(O, "a"), (OU, "b")]), name([(OU, "B"), (O, "A")]), 1),
        ("multi-valued RDN against two RDNs", name([(O, "a"), (OU, "b")]), name([(O, "a")], [(OU, "b")]), 0),
        ("extra attribute", name([(CN, "x")]), name([(CN, "x")], [(C, "US")]), 0),
        ("empty names", name(), name(), 1),
    ]
    return [("x500eq", label, a.hex(), b.hex(), equal) for label, a, b, equal in cases]


def main():
    if len(sys.argv) != 2:
        sys.exit("usage: gen_asn.py <vectors-dir>")
    rng = random.Random(SEED)
    # Some test certificates carry negative serial numbers on purpose.
    warnings.simplefilter("ignore")
    try:
        with tempfile.TemporaryDirectory() as tmp, \
                concurrent.futures.ThreadPoolExecutor(max_workers=4) as pool:
            trees = tree_rows(pool, tmp)
            cases = [("parse", label, data.hex(), result, count, depth)
                     for label, data, result, count, depth in parse_cases()]
            cases += [("find", label, data.hex(), oid, found, value)
                      for label, data, oid, found, value in find_cases()]
            cases += oid_rows(rng, tmp)
            cases += dss_rows(rng)
            cases += x500_rows()
    except Exception:
        print(f"gen_asn.py failed with seed {SEED:#x}", file=sys.stderr)
        raise
    os.makedirs(sys.argv[1], exist_ok=True)
    for file, rows in (("asn_trees.txt", trees), ("asn_cases.txt", cases)):
        with open(f"{sys.argv[1]}/{file}", "w") as f:
            f.write(f"# seed {SEED:#x}\n")
            for row in rows:
                f.write("\t".join(str(x) for x in row) + "\n")


if __name__ == "__main__":
    main()
