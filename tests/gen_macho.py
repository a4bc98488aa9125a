#!/usr/bin/python3
"""Mach-O files for the Mach-O reader: x86_64 and arm64 programs compiled by
clang-14 and linked by ld64.lld-14 with an ad-hoc code signature (real
SHA-256 page hashes), a fat file from llvm-lipo-14, and a fat file listing
arm64 before x86_64 (put together here from the same two programs);
llvm-otool-14 is the oracle of their load commands and fat headers.

Writes into <dir>/macho/:
  x86_64, arm64, fat, fat_arm_first   the files
  text_changed   x86_64 with one byte of its __text section changed
  macho_cases.txt  one file a line, fields separated by tabs:
      <file> <slice offset on a 64-bit machine> <slice offset on a 32-bit
      machine> <code signature file offset> <code signature size>
  text_page.txt  <page index of the changed byte>
"""
import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile

LLVM = "/usr/lib/llvm-14/bin/"
PROGRAM = """
int helper(int x) { return x * 3 + 1; }
int main(void) { return helper(2); }
"""


def run(args):
    r = subprocess.run(args, capture_output=True, timeout=120)
    if r.returncode != 0:
        raise SystemExit(f"{args[0]} failed: {r.stderr.decode(errors='replace')}")
    return r.stdout.decode(errors="replace")


def build(tmp, arch, target):
    src = os.path.join(tmp, "m.c")
    with open(src, "w") as f:
        f.write(PROGRAM)
    obj = os.path.join(tmp, arch + ".o")
    out = os.path.join(tmp, arch)
    run(["clang-14", "-target", target, "-c", src, "-o", obj])
    run([LLVM + "ld64.lld", "-arch", arch, "-platform_version", "macos", "11.0", "11.0",
         "-adhoc_codesign", "-e", "_main", "-o", out, obj])
    return out


def code_signature(path, arch=None):
    args = [LLVM + "llvm-otool", "-l"] + (["-arch", arch] if arch else []) + [path]
    text = run(args)
    m = re.search(r"cmd LC_CODE_SIGNATURE\s+cmdsize \d+\s+dataoff (\d+)\s+datasize (\d+)", text)
    return int(m.group(1)), int(m.group(2))


def text_offset(path):
    text = run([LLVM + "llvm-otool", "-l", path])
    m = re.search(r"sectname __text\s+segname __TEXT\s+addr \S+\s+size \S+\s+offset (\d+)", text)
    return int(m.group(1))


def fat_slices(path):
    text = run([LLVM + "llvm-otool", "-f", path])
    return [(int(c), int(o)) for c, o in
            re.findall(r"cputype (\d+)\s+cpusubtype \S+\s+capabilities \S+\s+offset (\d+)", text)]


def main():
    out = os.path.join(sys.argv[1], "macho")
    shutil.rmtree(out, ignore_errors=True)
    os.makedirs(out)
    rows = []
    with tempfile.TemporaryDirectory() as tmp:
        x86 = build(tmp, "x86_64", "x86_64-apple-macos11")
        arm = build(tmp, "arm64", "arm64-apple-macos11")
        fat = os.path.join(out, "fat")
        run([LLVM + "llvm-lipo", "-create", x86, arm, "-output", fat])
        for name, path in (("x86_64", x86), ("arm64", arm)):
            shutil.copy(path, os.path.join(out, name))
            off, size = code_signature(path)
            rows.append((name, "0", "0", str(off), str(size)))
        slices = dict(fat_slices(fat))
        x86_at, arm_at = slices[0x01000007], slices[0x0100000C]
        off, size = code_signature(fat, "x86_64")
        # No x86 slice: a 32-bit machine takes the first listed.
        rows.append(("fat", str(x86_at), str(min(slices.values(), key=lambda o: o)),
                     str(x86_at + off), str(size)))
        # arm64 listed first, the same slices in place.
        data = bytearray(open(fat, "rb").read())
        head = struct.unpack(">II", data[:8])
        assert head == (0xCAFEBABE, 2)
        data[8:28], data[28:48] = data[28:48], data[8:28]
        with open(os.path.join(out, "fat_arm_first"), "wb") as f:
            f.write(data)
        listed = fat_slices(os.path.join(out, "fat_arm_first"))
        assert listed[0][0] == 0x0100000C
        rows.append(("fat_arm_first", str(x86_at), str(arm_at), str(x86_at + off), str(size)))
        changed = bytearray(open(x86, "rb").read())
        at = text_offset(x86) + 5
        changed[at] ^= 0xFF
        with open(os.path.join(out, "text_changed"), "wb") as f:
            f.write(changed)
        with open(os.path.join(out, "text_page.txt"), "w") as f:
            f.write(f"{at // 4096}\n")
    with open(os.path.join(out, "macho_cases.txt"), "w") as f:
        f.write("".join("\t".join(r) + "\n" for r in rows))


if __name__ == "__main__":
    main()
