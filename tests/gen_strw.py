#!/usr/bin/python3
"""Oracle vectors for core/strw: UTF-8 <-> UTF-16 conversion by Python's
codecs ('utf-8', 'utf-16-le' with 'surrogatepass') and the HTML 4 entity names
of html.entities.

Usage: gen_strw.py <vectors-dir> [seed]

Writes (hex fields, '-' for an empty one; the first line names the seed):
  strw_conv.txt     utf8 utf16le capacity utf16-cut cut size utf8-cut cut
                    random text with astral code points, converted both ways
                    whole and into a random capacity (whole characters only)
  strw_lone.txt     "U16 utf16le utf8": UTF-16 with lone surrogates; each lone
                    one gives U+FFFD, adjacent halves join
                    "U8 utf8 utf16le": UTF-8 holding an encoded surrogate;
                    conversion stops before it
  strw_entities.txt "name codepoint" for every HTML 4 name plus apos
"""
import html.entities
import os
import random
import sys


def hx(b):
    return b.hex() if b else "-"


def random_char(rng):
    kind = rng.random()
    if kind < 0.3:
        return chr(rng.randint(0x20, 0x7E))
    if kind < 0.45:
        return chr(rng.randint(0x80, 0x7FF))
    if kind < 0.65:
        c = rng.randint(0x800, 0xFFFF)
        return chr(c) if not 0xD800 <= c <= 0xDFFF else "\uFFFD"
    if kind < 0.95:
        return chr(rng.randint(0x10000, 0x10FFFF))
    return chr(rng.choice([0x7F, 0x80, 0x7FF, 0x800, 0xFFFF, 0x10000, 0x10FFFF, 0x1F600]))


def cut(text, limit, encode):
    """Longest prefix of whole characters whose encoding fits in limit units."""
    out = b""
    for ch in text:
        e = encode(ch)
        if len(out) + len(e) > limit:
            return out, 1
        out += e
    return out, 0


def u16(s):
    return s.encode("utf-16-le", "surrogatepass")


def conv_lines(rng, count):
    for _ in range(count):
        text = "".join(random_char(rng) for _ in range(rng.randint(0, 40)))
        b8, b16 = text.encode("utf-8"), u16(text)
        # A destination of size 0 takes nothing, not even the terminator.
        nothing = (b"", 1 if text else 0)
        cap = rng.randint(0, len(b16) // 2 + 2)
        c16, t16 = cut(text, 2 * (cap - 1), u16) if cap > 0 else nothing
        size = rng.randint(0, len(b8) + 2)
        c8, t8 = cut(text, size - 1, lambda ch: ch.encode("utf-8")) if size > 0 else nothing
        yield f"{hx(b8)} {hx(b16)} {cap} {hx(c16)} {t16} {size} {hx(c8)} {t8}"


def lone_lines(rng, count):
    for _ in range(count):
        chars = [random_char(rng) for _ in range(rng.randint(0, 12))]
        for _ in range(rng.randint(1, 3)):
            chars.insert(rng.randint(0, len(chars)), chr(rng.randint(0xD800, 0xDFFF)))
        text = "".join(chars)
        # Halves that happen to sit in order join, exactly as in the UTF-16 bytes.
        units = u16(text)
        joined = units.decode("utf-16-le", "surrogatepass")
        fixed = "".join("\uFFFD" if 0xD800 <= ord(ch) <= 0xDFFF else ch for ch in joined)
        yield f"U16 {hx(units)} {hx(fixed.encode('utf-8'))}"
        # The same text as UTF-8 with each surrogate encoded on its own (the
        # form some encoders emit): decoding must stop at the first one.
        b8 = text.encode("utf-8", "surrogatepass")
        first = next(i for i, ch in enumerate(text) if 0xD800 <= ord(ch) <= 0xDFFF)
        yield f"U8 {hx(b8)} {hx(u16(text[:first]))}"


def main():
    out_dir = sys.argv[1]
    seed = int(sys.argv[2]) if len(sys.argv) > 2 else 20260106
    os.makedirs(out_dir, exist_ok=True)
    rng = random.Random(seed)
    header = f"# seed {seed} (rerun: gen_strw.py <dir> {seed})"
    try:
        with open(os.path.join(out_dir, "strw_conv.txt"), "w") as f:
            f.write("\n".join([header, *conv_lines(rng, 3000)]) + "\n")
        with open(os.path.join(out_dir, "strw_lone.txt"), "w") as f:
            f.write("\n".join([header, *lone_lines(rng, 1000)]) + "\n")
        names = dict(html.entities.name2codepoint, apos=39)
        with open(os.path.join(out_dir, "strw_entities.txt"), "w") as f:
            f.write("\n".join([header, *(f"{n} {c}" for n, c in sorted(names.items()))]) + "\n")
    except Exception:
        print(f"gen_strw.py failed with seed {seed}", file=sys.stderr)
        raise


if __name__ == "__main__":
    main()
