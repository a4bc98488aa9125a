#!/usr/bin/python3
"""ELF files for the ELF reader with binutils' `readelf -S -W` as the oracle
of their section tables: the system's /bin/ls and libz.so.1 (ELF64 LE),
objects built by clang-14 for i386 (ELF32) and powerpc64 (ELF64 BE), and
copies with sections added by llvm-objcopy-14.

Writes into <dir>/elf/:
  <name>.o         the built objects
  true.elf         a copy of /bin/true, for the pin
  elf_sections.txt one section a line, fields separated by tabs:
      <file: absolute path or a name in this directory> <section name>
      <offset> <size> (decimal; sections of type NOBITS left out)
  elf_files.txt    <file> <class 1/2> <big-endian 0/1>
  elf_pin.txt      the Base64 SHA-256 of true.elf (hashlib)
  version.json     the text put into the ".version.json" sections
"""
import base64
import hashlib
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile

LLVM = "/usr/lib/llvm-14/bin/"
VERSION = {"FileVersion": "3.1.4.1", "ProductName": "Keelson ELF", "companyname": "Keelson Co",
           "Extra": "x"}


def run(args):
    r = subprocess.run(args, capture_output=True, timeout=120)
    if r.returncode != 0:
        raise SystemExit(f"{args[0]} failed: {r.stderr.decode(errors='replace')}")
    return r.stdout.decode(errors="replace")


def sections(path):
    rows = []
    pattern = re.compile(r"^\s*\[\s*(\d+)\]\s+(\S+)\s+(\S+)\s+[0-9a-f]+\s+([0-9a-f]+)\s+"
                         r"([0-9a-f]+)")
    for line in run(["readelf", "-S", "-W", path]).splitlines():
        m = pattern.match(line)
        if m and m.group(3) != "NOBITS" and m.group(1) != "0":
            rows.append((m.group(2), int(m.group(4), 16), int(m.group(5), 16)))
    return rows


def header(path):
    ident = open(path, "rb").read(6)
    return ident[4], int(ident[5] == 2)


def libz():
    for d in ("/lib/x86_64-linux-gnu", "/usr/lib/x86_64-linux-gnu", "/lib64", "/usr/lib"):
        if os.path.exists(os.path.join(d, "libz.so.1")):
            return os.path.realpath(os.path.join(d, "libz.so.1"))
    raise SystemExit("libz.so.1 not found")


def main():
    out = os.path.join(sys.argv[1], "elf")
    shutil.rmtree(out, ignore_errors=True)
    os.makedirs(out)
    with tempfile.TemporaryDirectory() as tmp:
        src = os.path.join(tmp, "unit.c")
        with open(src, "w") as f:
            f.write("int keelson_value = 7;\nint keelson(void) { return keelson_value; }\n")
        run(["clang-14", "-m32", "-c", src, "-o", os.path.join(out, "elf32.o")])
        run(["clang-14", "--target=powerpc64-linux-gnu", "-c", src, "-o",
             os.path.join(out, "be64.o")])
        version = os.path.join(out, "version.json")
        with open(version, "w") as f:
            json.dump(VERSION, f)
        store = os.path.join(tmp, "store.bin")
        with open(store, "wb") as f:
            f.write(b"QVNDATASTORE{\"items\":[]}\x00")
        objcopy = LLVM + "llvm-objcopy"
        # Only a longer name: ".datastore" must not match it.
        run([objcopy, "--add-section", ".datastore.old=" + store, os.path.join(out, "elf32.o"),
             os.path.join(out, "prefix32.o")])
        # Both, the longer first; and a JSON version block.
        run([objcopy, "--add-section", ".datastore.old=" + store, "--add-section",
             ".datastore=" + store, "--add-section", ".version.json=" + version,
             os.path.join(out, "be64.o"), os.path.join(out, "stamped_be64.o")])
        run([objcopy, "--add-section", ".version.json=" + version, "/bin/ls",
             os.path.join(out, "ls_version")])
    shutil.copy("/bin/true", os.path.join(out, "true.elf"))
    files = ["/bin/ls", libz()] + [os.path.join(out, n) for n in
                                   ("elf32.o", "be64.o", "prefix32.o", "stamped_be64.o",
                                    "ls_version")]
    rows, kinds = [], []
    for path in files:
        name = path if not path.startswith(out) else os.path.basename(path)
        kinds.append((name,) + tuple(str(v) for v in header(path)))
        rows += [(name, s, str(o), str(z)) for s, o, z in sections(path)]
    with open(os.path.join(out, "elf_sections.txt"), "w") as f:
        f.write("".join("\t".join(r) + "\n" for r in rows))
    with open(os.path.join(out, "elf_files.txt"), "w") as f:
        f.write("".join("\t".join(r) + "\n" for r in kinds))
    digest = hashlib.sha256(open(os.path.join(out, "true.elf"), "rb").read()).digest()
    with open(os.path.join(out, "elf_pin.txt"), "w") as f:
        f.write(base64.b64encode(digest).decode() + "\n")


if __name__ == "__main__":
    main()
