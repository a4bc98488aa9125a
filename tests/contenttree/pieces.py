"""Pieces of content-tree versions as piece storages keep them: the plain
piece (padded or not), a VCDIFF delta against the old version's pieces,
deflate (zlib or gzip wrapper), the AES-256 layout and the piece header, in
that order, for any storage flag set (1 pad, 2 gzip, 4 vcdiff, 8 aes256).

File data come from one pattern (pattern.bin): byte j of file k is
pattern[(k * 977 + j) % len(pattern)], so a reader can assemble any piece
from the members it builds and compare it with the byte map here.

AES-256-CBC is python3-cryptography's, PBKDF2 hashlib's.
"""
import bisect
import copy
import gzip
import hashlib
import os
import subprocess
import zlib

from . import _digests, make_version, stream_bytes

PATTERN_LENGTH = 65521
MAGIC = b"\x6e\x2b\x3b\x61"
HASHES = {"SHA1": hashlib.sha1, "SHA256": hashlib.sha256}


def pattern_fill(pattern, salt=0):
    def fill(k, size):
        start = (k * 977 + salt) % len(pattern)
        reps = (start + size) // len(pattern) + 1
        return (pattern * reps)[start:start + size]
    return fill


def pad_ranges(v):
    """The stream's pad ranges, ascending."""
    if v.pad_mode == "list":
        return sorted(v.ranges)
    if v.pad_mode == "align":
        return [(f["offset"] + f["size"], f["pad"]) for f in v.files if f["pad"]]
    return []


def pieces_of(v):
    """[(padded bytes, unpadded bytes)] per piece, cut from the byte map."""
    stream = stream_bytes(v)
    ranges = pad_ranges(v)
    starts = [o for o, _ in ranges]
    s = v.piece_size
    out = []
    for i in range(v.piece_count()):
        a, b = i * s, min((i + 1) * s, len(stream))
        padded = stream[a:b]
        plain = bytearray()
        at = a
        k = max(0, bisect.bisect_right(starts, a) - 1)
        while k < len(ranges) and ranges[k][0] < b:
            o, n = ranges[k]
            if o + n > at:
                cut = max(o, at)
                plain += stream[at:cut]
                at = min(o + n, b)
            k += 1
        if at < b:
            plain += stream[at:b]
        out.append((padded, bytes(plain)))
    return out


def members_of(v):
    """Without a pad list: per piece [file index, offset, fileOffset,
    length, pad], built file by file: the member's pad is the file's own
    when the piece holds the last byte of the file's data and pad."""
    s = v.piece_size
    total = v.length
    out = []
    for i in range(v.piece_count()):
        a, b = i * s, min((i + 1) * s, total)
        k = next(k for k, f in enumerate(v.files) if f["offset"] <= a < f["offset"] + f["size"] + f["pad"])
        left, at, row = b - a, a, []
        while left > 0:
            f = v.files[k]
            fo = at - f["offset"]
            length = min(left, max(0, f["size"] - fo))
            end = f["offset"] + f["size"] + f["pad"]
            pad = f["pad"] if max(0, end - 1) // s == i else 0
            row.append([k, at, min(fo, f["size"]), length, pad])
            left -= length + pad
            at = end
            k += 1
        out.append(row)
    return out


def version(rng, vid, pattern, pad_mode=None, hash_padding=None, nfiles=None, salt=0):
    """A small full version whose data follow the pattern."""
    while True:
        n = nfiles if nfiles is not None else rng.choice([1, 2, 3, 5, 8, 12, 20, 40])
        v = make_version(rng, vid, n, full=True, fill=pattern_fill(pattern, salt))
        if pad_mode is None or v.pad_mode == pad_mode:
            break
    if hash_padding is not None:
        v.hash_padding = hash_padding
        v.hash_padding_written = True
        v.digests = _digests(rng, v)
    return v


def changed(rng, old, vid, pattern):
    """old with the same files and layout but other bytes in some files."""
    v = copy.deepcopy(old)
    v.id = vid
    for f in v.files:
        if f["data"] and rng.random() < 0.5:
            data = bytearray(f["data"])
            for _ in range(rng.randrange(1, 8)):
                at = rng.randrange(len(data))
                n = rng.randrange(1, 300)
                data[at:at + n] = rng.randbytes(len(data[at:at + n]))
            f["data"] = bytes(data)
            f["sha1"] = hashlib.sha1(f["data"]).hexdigest()
    v.digests = _digests(rng, v)
    return v


def source_range(v, index):
    """The old version's pieces that cover the files of piece index (the
    layouts are the same), at most 255."""
    s = v.piece_size
    a, b = index * s, min((index + 1) * s, v.length)
    first, last = a, b - 1
    for f in v.files:
        end = f["offset"] + f["size"] + f["pad"]
        if f["offset"] < b and end > a:
            first = min(first, f["offset"])
            last = max(last, end - 1)
    lo, hi = first // s, last // s
    return lo, min(hi - lo + 1, 255)


def aes_layout(rng, plain, password, iterations=None):
    """The encrypted layout of plain (see the storage request)."""
    from cryptography.hazmat.primitives.ciphers import Cipher, algorithms, modes
    salt = rng.randbytes(rng.choice([0, 1, 8, 16, 64]))
    if iterations is None:
        iterations = rng.randrange(1, 1000)
    iv = rng.randbytes(rng.choice([16, 17, 32, 320]))
    key = hashlib.pbkdf2_hmac("sha1", password, salt, iterations, 32)

    def enc(data):
        e = Cipher(algorithms.AES(key), modes.CBC(iv[:16])).encryptor()
        return e.update(data) + e.finalize()
    check_name = rng.choice(["SHA1", "SHA256"])
    data_name = rng.choice(["SHA1", "SHA256"])
    check = rng.randbytes(rng.choice([16, 32, 320]))
    p = (-len(plain)) % 16
    data = enc(plain + bytes(p))
    out = bytearray()
    out += iterations.to_bytes(2, "big") + len(salt).to_bytes(2, "big") + salt
    out += len(iv).to_bytes(2, "big") + iv
    out += len(check).to_bytes(2, "big") + enc(check)
    out += bytes([len(check_name)]) + check_name.encode() + HASHES[check_name](check).digest()
    out += bytes([p]) + len(data).to_bytes(4, "big") + data
    digest = HASHES[data_name](bytes(out)).digest()
    out += bytes([len(data_name)]) + data_name.encode() + digest
    return bytes(out), {"salt": salt, "iterations": iterations, "iv": iv, "key": key, "data": data,
                        "p": p}


def deflate(data, wrapper):
    if wrapper == "gzip":
        return gzip.compress(data, mtime=0)
    if wrapper == "raw":
        c = zlib.compressobj(6, zlib.DEFLATED, -15)
        return c.compress(data) + c.flush()
    return zlib.compress(data)


def encode(rng, plain, flags, header, wrapper, password, delta_source=None, srange=(0, 0),
           iterations=None):
    """The piece of a storage with flags, from its plain bytes."""
    from vcdiff import vcdiff  # tests/ is on the path
    data = plain
    if flags & 4:
        data = vcdiff.encode(delta_source, data, rng, source_range=None if header else srange)
    if flags & 2:
        data = deflate(data, wrapper)
    if flags & 8:
        data, _ = aes_layout(rng, data, password, iterations)
    if header:
        head = MAGIC + flags.to_bytes(2, "big")
        if flags & 4:
            head += srange[0].to_bytes(4, "big") + bytes([srange[1]])
        data = head + data
    return data


def write(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)


def _hex(i):
    return "%08x" % i


def write_members(root, rng, pattern, count):
    """members/<k>.meta.json and members/<k>.txt for count versions:
    "piece <padded length> <plain length> <sha1 padded> <sha1 plain>" per
    piece, then (without a pad list) "member <piece> <file index> <offset>
    <fileOffset> <length> <pad>" per member."""
    from . import metafile_document, write_json
    for k in range(1, count + 1):
        v = version(rng, str(k), pattern, pad_mode=("none", "align", "list")[k % 3])
        write_json(os.path.join(root, "members", f"{k}.meta.json"), metafile_document(v))
        lines = [f"piece {len(p)} {len(q)} {hashlib.sha1(p).hexdigest()} {hashlib.sha1(q).hexdigest()}"
                 for p, q in pieces_of(v)]
        if v.pad_mode != "list":
            for i, row in enumerate(members_of(v)):
                lines += ["member %d %d %d %d %d %d" % tuple([i] + m) for m in row]
        with open(os.path.join(root, "members", f"{k}.txt"), "w") as f:
            f.write("\n".join(lines) + "\n")


def _case_pieces(rng, v, limit=5):
    n = v.piece_count()
    picks = {0, n - 1} | {rng.randrange(n) for _ in range(limit)}
    return sorted(picks)[:limit + 2]


def write_decoding(root, rng, pattern):
    """Old and new versions in each pad mode with hashPadding on and off,
    and their pieces in every flag set: cases.txt lines "<path> <new> <old>
    <piece> <flags> <header> <password hex> <expected stage> <code>"."""
    from . import metafile_document, write_json
    lines = []
    serial = 0
    for mode in ("list", "align", "none"):
        for hp in (True, False):
            serial += 2
            old = version(rng, f"d{serial - 1}", pattern, pad_mode=mode, hash_padding=hp,
                          nfiles=rng.choice([3, 5, 8]))
            new = changed(rng, old, f"d{serial}", pattern)
            for v in (old, new):
                write_json(os.path.join(root, "meta", v.id + ".json"), metafile_document(v))
                for i, (p, q) in enumerate(pieces_of(v)):
                    write(os.path.join(root, "flat", v.id, _hex(i) + ".varnopiece"), p)
                    write(os.path.join(root, "flat", v.id, _hex(i) + ".varnodata"), q)
                    # A plain piece storage (flags 0 or 1, no header) in the
                    # default layout "{targetInfoHash}/{targetDigest}.varnopiece".
                    name = os.path.join(v.id, v.digests[i].hex() + ".varnopiece")
                    write(os.path.join(root, "cache", v.id, "flags0", name), q)
                    write(os.path.join(root, "cache", v.id, "flags1", name), p)
            old_pieces = pieces_of(old)
            new_pieces = pieces_of(new)
            for i in _case_pieces(rng, new):
                lo, n = source_range(new, i)
                source = b"".join(q for _, q in old_pieces[lo:lo + n])
                for flags in range(16):
                    for header in (0, 1):
                        password = rng.randbytes(rng.choice([0, 5, 12]))
                        wrapper = ("zlib", "gzip")[(flags + header + i) % 2]
                        slow = serial == 2 and i == 0 and flags == 8 and header == 1
                        plain = new_pieces[i][0 if flags & 1 else 1]
                        data = encode(rng, plain, flags, header, wrapper, password, source, (lo, n),
                                      iterations=65535 if slow else None)
                        where = old.id if flags & 4 else new.id
                        ext = ".varnodelta" if flags & 4 else ".varnopiece"
                        name = os.path.join(where, f"{_hex(i)}-{flags:x}{header}{wrapper[0]}{ext}")
                        write(os.path.join(root, name), data)
                        lines.append(f"{name} {new.id} {old.id} {i} {flags} {header} "
                                     f"{password.hex() or '-'} ok 0")
    with open(os.path.join(root, "cases.txt"), "w") as f:
        f.write("\n".join(lines) + "\n")
    return lines


def write_faults(root, rng, pattern):
    """faults/<name>.varnopiece against the tree "f1" (one small piece of 10
    bytes per version "f1"), "p20k" (a pad list with 20,000 pad bytes in one
    piece) and their lines in faults.txt, as in cases.txt."""
    from . import Version, metafile_document, write_json
    import random as _random  # noqa: F401
    small = Version("f1")
    small.piece_size, small.algorithm, small.hash_padding = 4096, "SHA1", False
    small.full = big_full = True
    small.files = [{"spelling": "a", "name": "a", "size": 10, "offset": 0, "pad": 0, "link": None,
                    "mtime": None, "attr": None, "data": pattern[:10], "sha1": None}]
    small.digests = _digests(rng, small)
    big = Version("p20k")
    big.pad_mode, big.piece_size, big.algorithm, big.hash_padding = "list", 32768, "SHA256", True
    big.full = big_full
    big.ranges = [(3000, 20000), (28000, 100)]
    big.files = [
        {"spelling": "a", "name": "a", "size": 3000, "offset": 0, "pad": 20000, "link": None,
         "mtime": None, "attr": None, "data": pattern[:3000], "sha1": None},
        {"spelling": "b", "name": "b", "size": 5000, "offset": 23000, "pad": 100, "link": None,
         "mtime": None, "attr": None, "data": pattern[5000:10000], "sha1": None}]
    big.digests = _digests(rng, big)
    for v in (small, big):
        write_json(os.path.join(root, "meta", v.id + ".json"), metafile_document(v))
        for i, (p, q) in enumerate(pieces_of(v)):
            write(os.path.join(root, "flat", v.id, _hex(i) + ".varnopiece"), p)
            write(os.path.join(root, "flat", v.id, _hex(i) + ".varnodata"), q)
    plain = pieces_of(small)[0][1]
    pw = b"secret"
    good, parts = aes_layout(rng, plain, pw)
    long_plain = pattern[:5000]
    _, long_parts = aes_layout(rng, long_plain, pw)
    check_with_tools(long_plain, pw, long_parts, deflate(long_plain, "gzip"))
    # Offsets of the layout's fields in good.
    salt_at = 2
    iv_at = salt_at + 2 + len(parts["salt"])
    check_at = iv_at + 2 + len(parts["iv"])
    check_len = int.from_bytes(good[check_at:check_at + 2], "big")
    name_at = check_at + 2 + check_len
    p_at = name_at + 1 + good[name_at] + (20 if good[name_at] == 4 else 32)
    data_at = p_at + 5
    faults = []  # (name, data, storage flags, password, stage, code)

    def put(name, data, stage, code, flags=8, password=pw):
        faults.append((name, data, flags, password, stage, code))

    def with_field(at, size, value):
        return good[:at] + value.to_bytes(size, "big") + good[at + size:]
    put("aes_good", good, "ok", 0)
    put("aes_wrong_password", good, "decrypt", 8, password=b"wrong")
    put("aes_no_password", good, "decrypt", 8, password=b"")
    flipped = bytearray(good)
    flipped[data_at + 4] ^= 0x40
    put("aes_flipped_data", bytes(flipped), "decrypt", 7)
    cuts = sorted({1, 2, 3, salt_at + 2, iv_at + 1, iv_at + 2, check_at + 1, check_at + 2,
                   name_at, name_at + 1, p_at, p_at + 3, data_at, data_at + 3, len(good) - 1}
                  | {rng.randrange(1, len(good)) for _ in range(8)})
    for c in cuts:
        put(f"aes_cut_{c}", good[:c], "decrypt", 6)
    put("aes_salt_past_end", with_field(salt_at, 2, 65535), "decrypt", 6)
    put("aes_data_past_end", with_field(p_at + 1, 4, 0x7fffffff), "decrypt", 6)
    put("aes_iv_15", with_field(iv_at, 2, 15), "decrypt", 6)
    put("aes_iv_321", with_field(iv_at, 2, 321), "decrypt", 6)
    put("aes_check_0", with_field(check_at, 2, 0), "decrypt", 6)
    put("aes_check_8", with_field(check_at, 2, 8), "decrypt", 6)
    put("aes_check_336", with_field(check_at, 2, 336), "decrypt", 6)
    put("aes_p_above_l", with_field(p_at, 1, 17), "decrypt", 6)
    put("aes_iterations_0", with_field(0, 2, 0), "decrypt", 6)
    put("aes_hash_unknown", good[:name_at + 1] + b"MD7X" + good[name_at + 5:], "decrypt", 6)
    put("inflate_raw", deflate(plain, "raw"), "inflate", -3, flags=2)
    whole = deflate(plain * 50, "gzip")
    for c in sorted({1, 5, 10, 11, len(whole) // 2, len(whole) - 9, len(whole) - 1}
                    | {rng.randrange(1, len(whole)) for _ in range(4)}):
        put(f"inflate_cut_{c}", whole[:c], "inflate", -5, flags=2)
    put("inflate_good", deflate(plain, "zlib"), "ok", 0, flags=2)
    put("header_short", MAGIC + b"\x00", "digest", 979, flags=0)
    put("header_short_delta", MAGIC + b"\x00\x04\x00\x00", "digest", 979, flags=0)
    put("header_only", MAGIC + b"\x00\x00", "digest", 979, flags=0)
    from vcdiff import vcdiff  # tests/ is on the path
    put("delta_without_source", vcdiff.encode(pattern[:4096], pattern[:4096], rng), "apply", 0,
        flags=4)
    put("delta_garbage", b"\x00" + rng.randbytes(40), "window", 0, flags=4)
    lines = []
    for name, data, flags, password, stage, code in faults:
        write(os.path.join(root, "faults", name + ".varnopiece"), data)
        lines.append(f"faults/{name}.varnopiece f1 - 0 {flags} 0 {password.hex() or '-'} {stage} {code}")
    bigp = pieces_of(big)[0]
    for flags, body in ((1, bigp[0]), (3, deflate(bigp[0], "gzip")),
                        (5, vcdiff.encode(bigp[1], bigp[0], rng, source_range=(0, 1))),
                        (0, bigp[1]), (2, deflate(bigp[1], "zlib"))):
        name = f"faults/p20k-{flags}.varnopiece"
        write(os.path.join(root, name), body)
        lines.append(f"{name} p20k p20k 0 {flags} 0 - ok 0")
    with open(os.path.join(root, "faults.txt"), "w") as f:
        f.write("\n".join(lines) + "\n")


def check_with_tools(plain, password, parts, gzipped):
    """This generator's PBKDF2, AES-256-CBC and gzip against openssl's and
    gzip's command lines; raises on a difference."""
    def run(args, data=b""):
        return subprocess.run(args, input=data, capture_output=True, check=True, timeout=60).stdout
    kdf = run(["openssl", "kdf", "-keylen", "32", "-kdfopt", "digest:SHA1",
               "-kdfopt", "hexpass:" + password.hex(), "-kdfopt", "hexsalt:" + parts["salt"].hex(),
               "-kdfopt", "iter:%d" % parts["iterations"], "PBKDF2"])
    if bytes.fromhex(kdf.decode().strip().replace(":", "")) != parts["key"]:
        raise AssertionError("PBKDF2 differs from openssl kdf")
    dec = run(["openssl", "enc", "-d", "-aes-256-cbc", "-nopad", "-K", parts["key"].hex(),
               "-iv", parts["iv"][:16].hex()], parts["data"])
    if dec != plain + bytes(parts["p"]):
        raise AssertionError("AES-256-CBC differs from openssl enc")
    if run(["gzip", "-dc"], gzipped) != plain:
        raise AssertionError("gzip wrapper differs from gzip -dc")


def write_tree(root, rng, members=300):
    """Everything above under root (contenttree/pieces)."""
    pattern = rng.randbytes(PATTERN_LENGTH)
    write(os.path.join(root, "pattern.bin"), pattern)
    write_members(root, rng, pattern, members)
    write_decoding(root, rng, pattern)
    write_faults(root, rng, pattern)
