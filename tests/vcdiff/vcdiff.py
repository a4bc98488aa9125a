"""Reference decoder and encoder of keelson's VCDIFF framing.

The framing: no file header and one window. Win_Indicator (1 byte); source
segment size, source segment position and window length (64-bit integers);
the delta indicator (32-bit, 0); the lengths of the data (64-bit, at most
2^31 - 1), instructions and addresses sections (32-bit); with bit 0x08 of
Win_Indicator the source piece index and count (32-bit); then the data,
instructions and addresses sections. Integers, the default code table and the
address caches are RFC 3284's, but a RUN's byte follows its opcode (and size)
in the instructions section. Addresses below the source segment size read the
source, the others the window's own output; every address is below `here`.

Instructions as the encoder and the reframer hand them to `emit`:
  ("add", bytes)  ("run", byte, size)  ("copy", address, size)
with addresses in the combined space (source, then target).
"""
import random

MAX64 = (1 << 63) - 1
MAX32 = (1 << 32) - 1
MAX_DATA = (1 << 31) - 1
HAS_RANGE = 0x08
NOOP, ADD, RUN, COPY = 0, 1, 2, 3
NEAR, SAME = 4, 3


class DeltaError(Exception):
    """A delta that the decoder refuses."""


def build_code_table():
    """The default code table: 256 pairs of (type, size, mode)."""
    noop = (NOOP, 0, 0)
    table = [((RUN, 0, 0), noop)]
    table += [((ADD, size, 0), noop) for size in range(0, 18)]
    for mode in range(9):
        table += [((COPY, size, mode), noop) for size in [0] + list(range(4, 19))]
    for mode in range(6):
        table += [((ADD, a, 0), (COPY, c, mode)) for a in range(1, 5) for c in range(4, 7)]
    for mode in range(6, 9):
        table += [((ADD, a, 0), (COPY, 4, mode)) for a in range(1, 5)]
    table += [((COPY, 4, mode), (ADD, 1, 0)) for mode in range(9)]
    assert len(table) == 256
    return table


CODE_TABLE = build_code_table()
# Opcode of each single instruction form and of each double form.
SINGLE = {pair[0]: op for op, pair in enumerate(CODE_TABLE) if pair[1][0] == NOOP}
DOUBLE = {(pair[0], pair[1]): op for op, pair in enumerate(CODE_TABLE) if pair[1][0] != NOOP}


def write_int(value):
    """The big-endian base-128 form of value."""
    assert 0 <= value <= MAX64
    out = [value & 0x7F]
    value >>= 7
    while value:
        out.append(0x80 | (value & 0x7F))
        value >>= 7
    return bytes(reversed(out))


class Section:
    def __init__(self, data):
        self.data = data
        self.pos = 0

    def byte(self):
        if self.pos >= len(self.data):
            raise DeltaError("section ends")
        self.pos += 1
        return self.data[self.pos - 1]

    def take(self, size):
        if size > len(self.data) - self.pos:
            raise DeltaError("section ends")
        self.pos += size
        return self.data[self.pos - size:self.pos]

    def integer(self, is64=True):
        """At most 10 bytes and 2^63 - 1, or 5 bytes and 2^32 - 1."""
        limit, count = (MAX64, 10) if is64 else (MAX32, 5)
        value = 0
        for _ in range(count):
            b = self.byte()
            value = (value << 7) | (b & 0x7F)
            if value > limit:
                raise DeltaError("integer too large")
            if not b & 0x80:
                return value
        raise DeltaError("integer too long")


class AddressCache:
    def __init__(self):
        self.near = [0] * NEAR
        self.same = [0] * (SAME * 256)
        self.next = 0

    def update(self, address):
        self.near[self.next] = address
        self.next = (self.next + 1) % NEAR
        self.same[address % (SAME * 256)] = address

    def decode(self, here, mode, addresses, check_here=True):
        if mode == 0:
            address = addresses.integer()
        elif mode == 1:
            n = addresses.integer()
            if n > here:
                raise DeltaError("HERE below 0")
            address = here - n
        elif mode < 2 + NEAR:
            address = self.near[mode - 2] + addresses.integer()
        elif mode < 2 + NEAR + SAME:
            address = self.same[(mode - 2 - NEAR) * 256 + addresses.byte()]
        else:
            raise DeltaError("bad mode")
        if check_here and address >= here:
            raise DeltaError("address at or beyond here")
        self.update(address)
        return address

    def encode(self, address, here, rng=None):
        """(mode, bytes for the addresses section); updates the cache. The
        shortest form, or with rng now and then any valid one."""
        forms = [(0, write_int(address)), (1, write_int(here - address))]
        for k in range(NEAR):
            if address >= self.near[k]:
                forms.append((2 + k, write_int(address - self.near[k])))
        slot = address % (SAME * 256)
        if self.same[slot] == address:
            forms.append((2 + NEAR + slot // 256, bytes([slot % 256])))
        if rng is not None and rng.random() < 0.3:
            mode, payload = rng.choice(forms)
        else:
            mode, payload = min(forms, key=lambda f: len(f[1]))
        self.update(address)
        return mode, payload


def read_header(delta, source_range=(0, 0)):
    """(fields, data, instructions, addresses) of the window at the start."""
    s = Section(delta)
    indicator = s.byte()
    segment_size = s.integer()
    s.integer()  # source segment position
    s.integer()  # window length
    if s.integer(False) != 0:
        raise DeltaError("secondary compression")
    data_length = s.integer()
    if data_length > MAX_DATA:
        raise DeltaError("data section too long")
    inst_length = s.integer(False)
    addr_length = s.integer(False)
    index, count = source_range
    if indicator & HAS_RANGE:
        index, count = s.integer(False), s.integer(False)
    data = s.take(data_length)
    inst = s.take(inst_length)
    addr = s.take(addr_length)
    fields = {"segment_size": segment_size, "index": index, "count": count,
              "indicator": indicator}
    return fields, data, inst, addr


def decode(delta, source, source_range=(0, 0), forms=None):
    """(target, index, count); raises DeltaError. A set given as forms
    gains the instruction forms met: "double", "run", "overlap", "mode N"."""
    fields, data, inst, addr = read_header(delta, source_range)
    data, inst, addresses = Section(data), Section(inst), Section(addr)
    cache = AddressCache()
    segment = fields["segment_size"]
    out = bytearray()
    forms = set() if forms is None else forms
    while inst.pos < len(inst.data):
        pair = CODE_TABLE[inst.byte()]
        if pair[1][0] != NOOP:
            forms.add("double")
        for kind, size, mode in pair:
            if kind == NOOP:
                continue
            if size == 0:
                size = inst.integer(False)
            if kind == ADD:
                out += data.take(size)
            elif kind == RUN:
                out += bytes([inst.byte()]) * size
                forms.add("run")
            else:
                address = cache.decode(segment + len(out), mode, addresses)
                forms.add(f"mode {mode}")
                if address < segment:
                    if address + size > len(source):
                        raise DeltaError("source range")
                    out += source[address:address + size]
                else:
                    start = address - segment
                    if len(out) - start < size:
                        forms.add("overlap")
                    # Byte by byte in increasing order repeats the len(out) -
                    # start bytes from start: the same as this pattern.
                    pattern = bytes(out[start:])
                    out += (pattern * (size // len(pattern) + 1))[:size]
    return bytes(out), fields["index"], fields["count"]


def emit(instructions, source_length, target_length, rng=None, source_range=None):
    """The delta of instructions (see the module text), through the code
    table's double forms where they fit and an address cache."""
    cache = AddressCache()
    data, inst, addr = bytearray(), bytearray(), bytearray()
    # First pass: fix each instruction's form (type, size, mode, extras).
    ops = []
    here = source_length
    for ins in instructions:
        if ins[0] == "add":
            ops.append((ADD, len(ins[1]), 0, ins[1], b""))
            here += len(ins[1])
        elif ins[0] == "run":
            ops.append((RUN, ins[2], 0, bytes([ins[1]]), b""))
            here += ins[2]
        else:
            mode, payload = cache.encode(ins[1], here, rng)
            ops.append((COPY, ins[2], mode, b"", payload))
            here += ins[2]
    assert here == source_length + target_length
    explicit = lambda: rng is not None and rng.random() < 0.1
    i = 0
    while i < len(ops):
        kind, size, mode, extra, payload = ops[i]
        nxt = ops[i + 1] if i + 1 < len(ops) else None
        pair = None
        if nxt is not None and size < 19 and nxt[1] < 19:
            pair = DOUBLE.get(((kind, size, 0 if kind == ADD else mode),
                               (nxt[0], nxt[1], 0 if nxt[0] == ADD else nxt[2])))
        if pair is not None and not explicit():
            inst.append(pair)
            for k, _, _, e, p in (ops[i], nxt):
                if k == ADD:
                    data += e
                addr.extend(p)
            i += 2
            continue
        key = (kind, size, mode if kind == COPY else 0)
        if kind != RUN and key in SINGLE and not explicit():
            inst.append(SINGLE[key])
        else:
            inst.append(SINGLE[(kind, 0, mode if kind == COPY else 0)])
            inst += write_int(size)
        if kind == ADD:
            data += extra
        elif kind == RUN:
            inst += extra
        addr += payload
        i += 1
    indicator = 0x01 if source_length else 0
    tail = b""
    if source_range is not None:
        indicator |= HAS_RANGE
        tail = write_int(source_range[0]) + write_int(source_range[1])
    header = (bytes([indicator]) + write_int(source_length) + write_int(0)
              + write_int(target_length) + write_int(0) + write_int(len(data))
              + write_int(len(inst)) + write_int(len(addr)) + tail)
    return header + bytes(data) + bytes(inst) + bytes(addr)


def _extend(a, ap, b, bp, limit):
    """How many bytes from a[ap] equal those from b[bp], at most limit."""
    n = 0
    step = 64
    while n < limit:
        k = min(step, limit - n)
        if a[ap + n:ap + n + k] == b[bp + n:bp + n + k]:
            n += k
            step *= 2
        elif k > 1:
            step = max(1, k // 2)
        else:
            break
    return n


def match(source, target):
    """Instructions that build target from source (greedy block matching:
    source and target blocks, runs, short periods, and continuations after
    small edits, which give the short COPYs of the double forms)."""
    S, n = len(source), len(target)
    block = 16 if S + n < (1 << 21) else 64
    index = {}
    for p in range(0, S - block + 1, block):
        index.setdefault(source[p:p + block], p)
    tindex = {}
    tnext = 0
    out = []
    pending = 0  # start of bytes not yet covered
    resume = None  # combined address where the last copy ended
    i = 0

    def flush(upto):
        if upto > pending:
            out.append(("add", target[pending:upto]))

    while i + 4 <= n:
        while tnext + block <= i:
            tindex.setdefault(target[tnext:tnext + block], tnext)
            tnext += block
        best_addr, best_len, run = None, 0, False
        b = target[i]
        if target[i:i + 8] == bytes([b]) * 8 and n - i >= 8:
            chunk = target[i:]
            best_len = len(chunk) - len(chunk.lstrip(bytes([b])))
            run = True
        else:
            key = target[i:i + block]
            if len(key) == block:
                p = index.get(key)
                if p is not None:
                    size = _extend(source, p, target, i, min(S - p, n - i))
                    if size > best_len:
                        best_addr, best_len = p, size
                p = tindex.get(key)
                if p is not None and p < i:
                    size = _extend(target, p, target, i, n - i)
                    if size > best_len:
                        best_addr, best_len = S + p, size
                if best_len == 0:
                    for period in (2, 3, 5, 7):
                        if i >= period and target[i - period:i - period + block] == key:
                            best_addr = S + i - period
                            best_len = _extend(target, i - period, target, i, n - i)
                            break
            if best_len == 0 and resume is not None:
                a = resume + (i - pending)
                if a < S:
                    size = _extend(source, a, target, i, min(S - a, n - i))
                elif a - S < i:
                    size = _extend(target, a - S, target, i, n - i)
                else:
                    size = 0
                if size >= 4:
                    best_addr, best_len = a, size
        if (run and best_len < 8) or (not run and best_len < 4):
            i += 1
            continue
        flush(i)
        if run:
            out.append(("run", b, best_len))
        else:
            out.append(("copy", best_addr, best_len))
            resume = best_addr + best_len
        i += best_len
        pending = i
    flush(n)
    return out


def encode(source, target, rng=None, source_range=None):
    """A delta of this framing that builds target from source. With rng the
    forms vary (any valid address mode, explicit sizes) for coverage."""
    return emit(match(source, target), len(source), len(target), rng, source_range)
