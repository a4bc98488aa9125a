#!/usr/bin/python3
"""Oracle vectors for core/net/dns, made and read by dnspython
(Debian's python3-dnspython).

Writes <dir>/dns.txt: 2,000 messages (queries and answers with A, NS, CNAME,
PTR, MX, SOA, TXT and LOC records, compressed names, up to 30 records), one
message a group of tab-separated lines:
  m  <wire hex>
  h  <id> <qr> <opcode> <aa> <tc> <rd> <ra> <z> <rcode> <qd> <an> <ns> <ar>
  q  <name> <type> <class>
  r  <an|ns|ar> <name> <type> <class> <ttl> <data hex>
Names are dotted without the final dot (the root "."); data is the decoded
form of the codec: NS, CNAME, PTR the name text; MX the two preference bytes
and the name; SOA the two names, each terminated, and the five numbers
big-endian; any other type the RDATA. The first line is "# seed N".
Also writes <dir>/dns_script.txt, the path of this script.

Run with --check FILE to check a file of lines "<dnspython's wire hex>\t<our
wire hex>": both are read with dns.message.from_wire and must carry the same
header, question and records. Exit status 0 when every line agrees.
"""
import os
import random
import struct
import sys

import dns.message
import dns.name
import dns.rdata
import dns.rdataclass
import dns.rdatatype

SEED = 0xD45_0001
TYPES = ["A", "NS", "CNAME", "PTR", "MX", "SOA", "TXT", "LOC"]
LABELS = ["www", "wpad", "mail", "ns1", "ns2", "cdn", "a", "b", "x-y", "host7", "deep", "corp"]
BASES = ["example.com", "example.org", "sub.example.com", "test.net", "in-addr.arpa", "b.c.d"]
DATA_BYTES = 512  # the codec's data area


def name_text(name):
    return "." if name == dns.name.root else name.to_text(omit_final_dot=True)


def data_form(rdata):
    """The codec's decoded form of a record's data."""
    t = rdata.rdtype
    if t in (dns.rdatatype.NS, dns.rdatatype.CNAME, dns.rdatatype.PTR):
        return name_text(rdata.target).encode()
    if t == dns.rdatatype.MX:
        return struct.pack(">H", rdata.preference) + name_text(rdata.exchange).encode()
    if t == dns.rdatatype.SOA:
        names = name_text(rdata.mname).encode() + b"\0" + name_text(rdata.rname).encode() + b"\0"
        if DATA_BYTES - len(names) > 20:
            names += struct.pack(">5I", rdata.serial, rdata.refresh, rdata.retry, rdata.expire, rdata.minimum)
        return names
    return rdata.to_wire()


class Maker:
    def __init__(self, rng):
        self.rng = rng

    def cased(self, text, casing):
        # Each label has one spelling within a message, so that a name read
        # through a compression pointer reads as it was written.
        out = []
        for label in text.split("."):
            if label not in casing:
                casing[label] = "".join(c.upper() if self.rng.random() < 0.3 else c for c in label)
            out.append(casing[label])
        return ".".join(out)

    def name(self, casing):
        rng = self.rng
        labels = [rng.choice(LABELS) for _ in range(rng.choice([0, 1, 1, 2, 3]))]
        if rng.random() < 0.05:
            labels.append("l" * rng.randint(40, 63))
        text = ".".join(labels + [rng.choice(BASES)])
        return dns.name.from_text(self.cased(text, casing) + ".")

    def rdata(self, rdtype, casing):
        rng = self.rng
        n = lambda: self.name(casing).to_text()  # noqa: E731
        if rdtype == "A":
            text = ".".join(str(rng.randrange(256)) for _ in range(4))
        elif rdtype in ("NS", "CNAME", "PTR"):
            text = n()
        elif rdtype == "MX":
            text = f"{rng.randrange(65536)} {n()}"
        elif rdtype == "SOA":
            numbers = " ".join(str(rng.choice([0, 1, 59, 3600, 90061, 604800, 1209600,
                                                rng.randrange(2**32)])) for _ in range(5))
            text = f"{n()} {n()} {numbers}"
        elif rdtype == "TXT":
            strings = ["".join(rng.choice("abc XYZ=;") for _ in range(rng.randint(0, 40)))
                       for _ in range(rng.randint(1, 3))]
            text = " ".join(f'"{s}"' for s in strings)
        else:  # LOC
            text = (f"{rng.randrange(90)} {rng.randrange(60)} {rng.randrange(60)}.{rng.randrange(1000):03d} "
                    f"{rng.choice('NS')} {rng.randrange(180)} {rng.randrange(60)} {rng.randrange(60)}.000 "
                    f"{rng.choice('EW')} {rng.randint(-1000, 5000)}.{rng.randrange(100):02d}m "
                    f"{rng.choice(['1m', '10m', '0.01m', '100m'])} {rng.choice(['10000m', '1m'])} "
                    f"{rng.choice(['10m', '2m'])}")
        return dns.rdata.from_text(dns.rdataclass.IN, dns.rdatatype.from_text(rdtype), text)

    def message(self, index):
        rng = self.rng
        casing = {}
        qtype = rng.choice(TYPES)
        query = dns.message.make_query(self.name(casing), qtype)
        query.id = rng.randrange(65536)
        if index % 4 == 0:
            return query
        response = dns.message.make_response(query)
        if rng.random() < 0.2:
            response.set_rcode(rng.choice([0, 2, 3, 5]))
        total = rng.randint(1, 30)
        sections = [response.answer, response.authority, response.additional]
        for _ in range(total):
            section = rng.choice(sections)
            rdtype = rng.choice(TYPES)
            owner = query.question[0].name if rng.random() < 0.5 else self.name(casing)
            # One RRset per owner and type: dnspython reads records of one
            # set as one, wherever they stand.
            rrset = response.find_rrset(section, owner, dns.rdataclass.IN, dns.rdatatype.from_text(rdtype),
                                        create=True)
            rrset.add(self.rdata(rdtype, casing), rng.choice([0, 60, 3600, 86400, 2**31 - 1]))
        return response


def rows_of(wire):
    """The vector lines of one message, read back from its wire form."""
    m = dns.message.from_wire(wire)
    flags = m.flags
    sections = [("an", m.answer), ("ns", m.authority), ("ar", m.additional)]
    counts = [sum(len(r) for r in s) for _, s in sections]
    rows = [("m", wire.hex()),
            ("h", m.id, flags >> 15 & 1, flags >> 11 & 15, flags >> 10 & 1, flags >> 9 & 1,
             flags >> 8 & 1, flags >> 7 & 1, flags >> 4 & 7, flags & 15, len(m.question), *counts)]
    for q in m.question:
        rows.append(("q", name_text(q.name), int(q.rdtype), int(q.rdclass)))
    for tag, section in sections:
        for rrset in section:
            for rdata in rrset:
                rows.append(("r", tag, name_text(rrset.name), int(rrset.rdtype), int(rrset.rdclass),
                             rrset.ttl, data_form(rdata).hex()))
    return rows


def check(path):
    bad = 0
    with open(path) as f:
        for number, line in enumerate(f, 1):
            theirs, ours = line.split()
            try:
                a = dns.message.from_wire(bytes.fromhex(theirs))
                b = dns.message.from_wire(bytes.fromhex(ours))
                same = (a.id == b.id and a.flags == b.flags and a.question == b.question
                        and a.answer == b.answer and a.authority == b.authority
                        and a.additional == b.additional)
            except Exception as e:  # a message dnspython cannot read
                same = False
                print(f"line {number}: {e!r}", file=sys.stderr)
            if not same:
                bad += 1
                if bad <= 5:
                    print(f"line {number} differs:\n  {theirs}\n  {ours}", file=sys.stderr)
    return 1 if bad else 0


def main():
    if len(sys.argv) == 3 and sys.argv[1] == "--check":
        sys.exit(check(sys.argv[2]))
    if len(sys.argv) != 2:
        sys.exit("usage: gen_dns.py <vectors-dir> | --check FILE")
    rng = random.Random(SEED)
    maker = Maker(rng)
    rows = []
    try:
        made = 0
        while made < 2000:
            wire = maker.message(made).to_wire()
            if len(wire) > 700:  # our encoding of it must fit the 1,024-byte datagram
                continue
            rows.extend(rows_of(wire))
            made += 1
    except Exception:
        print(f"gen_dns.py failed with seed {SEED:#x}", file=sys.stderr)
        raise
    directory = sys.argv[1]
    os.makedirs(directory, exist_ok=True)
    with open(os.path.join(directory, "dns.txt"), "w") as f:
        f.write(f"# seed {SEED:#x}\n")
        for row in rows:
            f.write("\t".join(str(x) for x in row) + "\n")
    with open(os.path.join(directory, "dns_script.txt"), "w") as f:
        f.write(os.path.abspath(__file__) + "\n")


if __name__ == "__main__":
    main()
