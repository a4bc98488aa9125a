"""Turns an RFC 3284 delta, as `xdelta3 -e -S none -A -n` writes it, into
keelson's framing (see vcdiff.py).

The RFC file header and every window are parsed; each window's instructions
are decoded to absolute instructions (ADD bytes, RUN bytes taken from the data
section, COPYs addressed in the whole source or the whole target), and the
windows are merged into one. Source addresses get the window's source
position added; a COPY that straddles the end of its source segment is split
into a source part and a part that reads the window's own output; the result
is coded again through an address cache, with RUN bytes in the instructions
section.
"""
from . import vcdiff
from .vcdiff import ADD, COPY, NOOP, RUN, DeltaError, Section

MAGIC = b"\xd6\xc3\xc4\x00"
VCD_SOURCE, VCD_TARGET, VCD_ADLER32 = 0x01, 0x02, 0x04


def rfc_instructions(delta):
    """(instructions, target length) of an RFC delta; addresses of COPYs are
    ("source", position) or ("target", position)."""
    s = Section(delta)
    if s.take(4) != MAGIC:
        raise DeltaError("not an RFC 3284 delta")
    header = s.byte()
    if header & 0x03:
        raise DeltaError("secondary compressor or code table")
    if header & 0x04:
        s.take(s.integer())
    out = []
    produced = 0
    while s.pos < len(s.data):
        indicator = s.byte()
        segment_size = segment_pos = 0
        if indicator & (VCD_SOURCE | VCD_TARGET):
            segment_size = s.integer()
            segment_pos = s.integer()
        s.integer()  # length of the delta encoding
        window_length = s.integer()
        if s.byte() != 0:
            raise DeltaError("compressed sections")
        lengths = [s.integer() for _ in range(3)]
        if indicator & VCD_ADLER32:
            s.take(4)
        data, inst, addr = (Section(s.take(k)) for k in lengths)
        cache = vcdiff.AddressCache()
        start = produced
        while inst.pos < len(inst.data):
            for kind, size, mode in vcdiff.CODE_TABLE[inst.byte()]:
                if kind == NOOP:
                    continue
                if size == 0:
                    size = inst.integer()
                here = segment_size + produced - start
                if kind == ADD:
                    out.append(("add", data.take(size)))
                elif kind == RUN:
                    out.append(("run", data.byte(), size))
                else:
                    a = cache.decode(here, mode, addr, check_here=False)
                    if a < segment_size:
                        part = min(size, segment_size - a)
                        space = "source" if indicator & VCD_SOURCE else "target"
                        out.append(("copy", (space, segment_pos + a), part))
                        if size > part:
                            out.append(("copy", ("target", start), size - part))
                    else:
                        out.append(("copy", ("target", start + a - segment_size), size))
                produced += size
        if produced - start != window_length:
            raise DeltaError("window length")
    return out, produced


def reframe(delta, source_length, rng=None, source_range=None):
    """The delta in keelson's framing, against a source of source_length."""
    instructions, target_length = rfc_instructions(delta)
    merged = []
    for ins in instructions:
        if ins[0] == "copy":
            space, position = ins[1]
            if space == "source" and position + ins[2] > source_length:
                raise DeltaError("copy past the source")
            base = 0 if space == "source" else source_length
            merged.append(("copy", base + position, ins[2]))
        else:
            merged.append(ins)
    return vcdiff.emit(merged, source_length, target_length, rng, source_range)
