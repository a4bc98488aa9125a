#!/usr/bin/python3
"""Oracle vectors for core/bigint, answered by Python's int.

Writes <dir>/bigint.txt, one case a line, tab-separated. Numbers are signed
upper-case hex ("-" in front when negative, "0" for zero):
  add     a b a+b
  sub     a b a-b
  cmp     a b sign(a-b)
  shl     a k sign(a)*(|a| << k)
  shr     a k sign(a)*(|a| >> k)
  mod     a m a mod m                  result in [0, m)
  mulmod  a b m a*b mod m
  sqrmod  a m a*a mod m
  modexp  b e m pow(b, e, m)            odd m > 1
  inv     a m pow(a, -1, m) or "none"   odd m > 1
  bytes   x <to_bytes, minimal, hex> <bit length>
  padded  x size <to_bytes(size) hex or "none" when it does not fit>
  hex     x format(x, 'X') with a leading 0 to an even length, "none"
          above 480 bytes
The first line is "# seed N".
"""
import os
import random
import sys

SEED = 0xB161_0001

# Bit sizes around limb (32), word (64) and growth-step (2048) boundaries.
EDGE_BITS = [1, 2, 31, 32, 33, 63, 64, 65, 95, 96, 97, 127, 128, 129, 255, 256, 257,
             2015, 2047, 2048, 2049, 2080, 4095, 4096, 4097]
# Moduli of ModExp: every size of 2..8192 bits that a limb or word boundary
# or a key size makes interesting.
MODEXP_BITS = [2, 3, 4, 5, 7, 8, 9, 16, 17, 31, 32, 33, 63, 64, 65, 96, 127, 128, 129,
               160, 191, 192, 193, 224, 255, 256, 257, 384, 511, 512, 513, 521, 767,
               1023, 1024, 1025, 1536, 2047, 2048, 2049, 3072, 4096, 8192]


def h(x):
    return ("-" if x < 0 else "") + format(abs(x), "X")


def shaped(rng, bits):
    """A value of exactly bits bits (bits >= 1): random, all ones, a power of
    two, or a sparse pattern; the shapes that make carries run long."""
    if bits <= 0:
        return 0
    kind = rng.randrange(6)
    if kind == 0:
        return (1 << bits) - 1
    if kind == 1:
        return 1 << (bits - 1)
    if kind == 2 and bits > 1:
        return (1 << (bits - 1)) | 1
    if kind == 3 and bits > 2:
        return (1 << bits) - 1 - (1 << rng.randrange(bits - 1))
    return (1 << (bits - 1)) | rng.getrandbits(bits - 1) if bits > 1 else 1


def signed(rng, bits):
    x = shaped(rng, bits)
    return -x if rng.random() < 0.3 else x


def odd_modulus(rng, bits):
    if bits == 1:
        return 3
    m = shaped(rng, bits) | 1
    return m if m > 1 else 3


def sign_mag(a, f):
    mag = f(abs(a))
    return -mag if a < 0 else mag


def main():
    if len(sys.argv) != 2:
        sys.exit("usage: gen_bigint.py <vectors-dir>")
    rng = random.Random(SEED)
    rows = []
    try:
        sizes = EDGE_BITS + [rng.randint(1, 600) for _ in range(60)]
        for bits in sizes:
            for _ in range(3):
                a = signed(rng, bits)
                b = signed(rng, rng.choice([bits, rng.choice(EDGE_BITS), rng.randint(0, 300)]))
                if rng.random() < 0.15:
                    b = a if rng.random() < 0.5 else -a
                rows.append(("add", h(a), h(b), h(a + b)))
                rows.append(("sub", h(a), h(b), h(a - b)))
                rows.append(("cmp", h(a), h(b), (a > b) - (a < b)))
                k = rng.choice([0, 1, 31, 32, 33, 63, 64, 65, rng.randint(0, 2100), bits, bits + 1])
                rows.append(("shl", h(a), k, h(sign_mag(a, lambda v: v << k))))
                rows.append(("shr", h(a), k, h(sign_mag(a, lambda v: v >> k))))
                m = shaped(rng, rng.choice([1, 2, 32, 33, 64, 65, rng.randint(1, bits + 40)]))
                rows.append(("mod", h(a), h(m), h(a % m)))
                rows.append(("mulmod", h(a), h(b), h(m), h(a * b % m)))
                rows.append(("sqrmod", h(a), h(m), h(a * a % m)))
                x = abs(a)
                n = (x.bit_length() + 7) // 8
                rows.append(("bytes", h(x), x.to_bytes(n, "big").hex(), x.bit_length()))
                size = rng.choice([n, n + 1, n + 5, max(n - 1, 0), 0])
                padded = x.to_bytes(size, "big").hex() if size >= n else "none"
                rows.append(("padded", h(x), size, padded))
                text = format(x, "X")
                text = "0" * (len(text) % 2) + text if n <= 480 else "none"
                rows.append(("hex", h(x), text))
        # Division whose quotient digit estimate must be corrected: divisors
        # with a top limb just above a power of two and dividends just below a
        # multiple of them.
        for _ in range(40):
            m = (1 << rng.randint(64, 300)) + rng.getrandbits(32)
            a = m * rng.getrandbits(rng.randint(32, 200)) - rng.randint(0, 3)
            rows.append(("mod", h(a), h(m), h(a % m)))
        for bits in MODEXP_BITS:
            m = odd_modulus(rng, bits)
            full = rng.getrandbits(bits) | (1 << (bits - 1))
            # m - 1 is a full-size exponent at every size; a second, random
            # one only up to 4096 bits, as the largest cost most under the
            # sanitizers.
            exponents = [0, 1, 65537, m - 1]
            if bits <= 4096:
                exponents.append(full)
            for e in exponents:
                base = rng.choice([0, 1, m - 1, m, m + 1, signed(rng, bits), signed(rng, 2 * bits + 3)])
                rows.append(("modexp", h(base), h(e), h(m), h(pow(base, e, m))))
        for bits in MODEXP_BITS[:-2] + [rng.randint(3, 700) for _ in range(30)]:
            m = odd_modulus(rng, bits)
            for a in [signed(rng, rng.randint(1, bits + 20)), 1, m - 1, m, 0,
                      rng.choice([3, 5, 7, 9, 15]) * rng.getrandbits(bits)]:
                try:
                    inv = h(pow(a, -1, m))
                except ValueError:
                    inv = "none"
                rows.append(("inv", h(a), h(m), inv))
        # Small numbers with and without inverses, each against a composite.
        for m, a in [(7, 3), (9, 3), (9, 6), (15, 10), (15, 7), (3, 2), (21, -14), (21, -13)]:
            try:
                inv = h(pow(a, -1, m))
            except ValueError:
                inv = "none"
            rows.append(("inv", h(a), h(m), inv))
    except Exception:
        print(f"gen_bigint.py failed with seed {SEED:#x}", file=sys.stderr)
        raise
    os.makedirs(sys.argv[1], exist_ok=True)
    with open(f"{sys.argv[1]}/bigint.txt", "w") as f:
        f.write(f"# seed {SEED:#x}\n")
        for row in rows:
            f.write("\t".join(str(x) for x in row) + "\n")


if __name__ == "__main__":
    main()
