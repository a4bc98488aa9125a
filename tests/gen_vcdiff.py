#!/usr/bin/python3
"""Differential cases for base/vcdiffdecoder: (source, target, delta) triples
whose deltas come half from tests/vcdiff's encoder and half from Debian's
xdelta3 (`-e -S none -A -n`, and -D: bytes that happen to start like a
compressed file are not handed to an external decompressor) turned into keelson's framing by
tests/vcdiff/reframe.py. Every delta is checked here: the Python reference
decoder gives the target back (all but the large cases), and for each xdelta3
case `xdelta3 -d -s SRC` of the RFC twin gives the target back, which checks
the reframer. The run fails unless the encoder's deltas together use every
instruction form: double opcodes, RUN, overlapping target COPYs and all nine
address modes.

Writes <dir>/vcdiff/ with NAME.src, NAME.tgt, NAME.delta, rfc.delta (the
RFC 3284 form of one xdelta3 case, which the decoder refuses) and cases.txt, one
case a line, tab-separated:
  <delta file> <source file> <target file> <encoder> <index> <count> <py>
where index and count are the source range the window names (- when it names
none) and py is 1 when the Python decoder checked it. The first line is
"# seed N".

  gen_vcdiff.py DIR         about 300 cases, targets 0 B to 1 MiB (log-spread),
                            plus four large ones (16 MiB source, 8 MiB target)
  gen_vcdiff.py --full DIR  2,000 cases, sources to 16 MiB, targets to 8 MiB
"""
import math
import os
import random
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from vcdiff import reframe, vcdiff  # noqa: E402

SEED = 0x5DC0_0047
WORDS = ("piece delta source target window copy add run cache address near same "
         "install version file the of and to in is for on with as by").split()


def text_bytes(rng, size):
    out = []
    total = 0
    while total < size:
        w = rng.choice(WORDS) + rng.choice("  \n,.")
        out.append(w)
        total += len(w)
    return "".join(out).encode()[:size]


def make_source(rng, kind, size):
    if kind == "text":
        return text_bytes(rng, size)
    if kind == "pattern":
        unit = rng.randbytes(rng.randint(1, 40))
        return (unit * (size // max(1, len(unit)) + 1))[:size]
    return rng.randbytes(size)


def make_target(rng, kind, source, size):
    """size bytes built from source by copies, edits, runs and repeats."""
    out = bytearray()
    if kind == "shifted" and source:
        out += rng.randbytes(rng.randint(1, 64))
    while len(out) < size:
        left = size - len(out)
        r = rng.random()
        if source and r < 0.55:
            n = min(left, int(math.exp(rng.uniform(0, math.log(max(2, len(source)))))))
            p = rng.randrange(len(source))
            if kind in ("shifted", "random") and rng.random() < 0.7:
                p = min(len(out), len(source) - 1)
            piece = bytearray(source[p:p + n])
            if kind == "text" and rng.random() < 0.3:  # dense small edits
                for k in range(0, len(piece), rng.randint(5, 12)):
                    piece[k] = rng.randrange(256)
            out += piece
        elif r < 0.7:
            out += bytes([rng.randrange(256)]) * min(left, rng.randint(1, 300))
        elif r < 0.85 and out:
            period = rng.randint(1, 24)
            unit = out[-period:]
            out += (unit * (min(left, rng.randint(1, 2000)) // len(unit) + 1))[:min(left, 2000)]
        else:
            out += (text_bytes(rng, min(left, rng.randint(1, 200))) if kind == "text"
                    else rng.randbytes(min(left, rng.randint(1, 200))))
    return bytes(out[:size])


def xdelta(source, target, tmp):
    src, tgt, rfc = (os.path.join(tmp, n) for n in ("s", "t", "d"))
    with open(src, "wb") as f:
        f.write(source)
    with open(tgt, "wb") as f:
        f.write(target)
    subprocess.run(["xdelta3", "-e", "-f", "-D", "-S", "none", "-A", "-n", "-s", src, tgt, rfc],
                   check=True)
    with open(rfc, "rb") as f:
        delta = f.read()
    back = subprocess.run(["xdelta3", "-d", "-c", "-R", "-s", src, rfc], check=True,
                          stdout=subprocess.PIPE).stdout
    if back != target:
        sys.exit("xdelta3 -d does not give the target back")
    return delta


def main(args):
    full = "--full" in args
    out_dir = os.path.join([a for a in args if a != "--full"][0], "vcdiff")
    os.makedirs(out_dir, exist_ok=True)
    for name in os.listdir(out_dir):
        os.remove(os.path.join(out_dir, name))
    rng = random.Random(SEED)
    kinds = ("random", "text", "shifted", "pattern")
    count = 2000 if full else 300
    max_target = (8 if full else 1) << 20
    rows = []
    forms = {False: set(), True: set()}  # met in the encoder's and the reframer's deltas

    def write(name, data):
        with open(os.path.join(out_dir, name), "wb") as f:
            f.write(data)

    with tempfile.TemporaryDirectory() as tmp:
        def case(name, source, target, use_xdelta, check, source_name=None):
            source_range = None
            if not source or rng.random() < 0.3:
                source_range = (0, 0) if not source else (rng.randrange(1000), rng.randint(1, 4))
            if use_xdelta:
                rfc = xdelta(source, target, tmp)
                if not os.path.exists(os.path.join(out_dir, "rfc.delta")) and source:
                    write("rfc.delta", rfc)
                delta = reframe.reframe(rfc, len(source), rng, source_range)
            else:
                delta = vcdiff.encode(source, target, rng, source_range)
            if check and vcdiff.decode(delta, source, forms=forms[use_xdelta])[0] != target:
                sys.exit(f"{name}: the reference decoder does not give the target back")
            if source_name is None:
                source_name = name + ".src"
                write(source_name, source)
            write(name + ".tgt", target)
            write(name + ".delta", delta)
            index, count = source_range or ("-", "-")
            rows.append(f"{name}.delta\t{source_name}\t{name}.tgt\t"
                        f"{'xdelta3' if use_xdelta else 'vcdiff'}\t{index}\t{count}\t{int(check)}")

        for i in range(count):
            kind = kinds[i % 4]
            size = int(math.exp(rng.uniform(0, math.log(max_target + 1)))) - 1
            source_size = 0 if i % 23 == 0 else int(size * rng.uniform(0.3, 1.7)) + rng.randint(0, 64)
            if full and i % 10 == 0:
                source_size = rng.randint(0, 16 << 20)
            source = make_source(rng, kind, source_size)
            target = make_target(rng, kind, source, size)
            case(f"c{i:04d}", source, target, i % 2 == 1, True)
        if not full:
            big = make_source(rng, "random", 16 << 20)
            write("big.src", big)
            for i, kind in enumerate(kinds):
                target = make_target(rng, kind, big, 8 << 20)
                case(f"big{i}", big, target, i % 2 == 1, False, "big.src")
    wanted = {"double", "run", "overlap"} | {f"mode {m}" for m in range(9)}
    if wanted - forms[False]:
        sys.exit(f"the encoder never used {sorted(wanted - forms[False])}")
    with open(os.path.join(out_dir, "cases.txt"), "w") as f:
        f.write(f"# seed {SEED}\n" + "\n".join(rows) + "\n")


if __name__ == "__main__":
    main(sys.argv[1:])
