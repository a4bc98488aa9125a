#!/usr/bin/python3
"""Checks an installed directory against a content tree's expected/<v>.json.

  check_tree.py <expected.json> <dir> [--present-only]

Every regular file's size and SHA-1 (through `sha1sum -c`), its permission
bits and modified time (os.stat), every link's presence as a link, and that
no partial file (".varnopartial") is left anywhere below dir. Prints one line
per difference and exits 1 when there is any, else prints "ok". With
--present-only (an interrupted run) missing files and partial files are
allowed, but every file under its final name must be whole.
"""
import json
import os
import subprocess
import sys


def main():
    expected = json.load(open(sys.argv[1], encoding="utf-8"))
    root = sys.argv[2]
    present_only = "--present-only" in sys.argv[3:]
    problems = []
    winners = {}
    for i, f in enumerate(expected["files"]):
        winners[f[0]] = i  # a later entry of the same name wins
    lines = []
    for name, i in sorted(winners.items()):
        _, _, _, size, sha1 = expected["files"][i]
        mode, mtime = expected["modes"][i]
        path = os.path.join(root, name)
        if mode == 0o777:
            if not os.path.islink(path) and (os.path.lexists(path) or not present_only):
                problems.append(f"not a link: {name}")
            continue
        try:
            st = os.lstat(path)
        except OSError as e:
            if present_only:
                continue
            problems.append(f"missing: {name} ({e.errno})")
            continue
        if st.st_size != size:
            problems.append(f"size {st.st_size} != {size}: {name}")
        if st.st_mode & 0o777 & ~0o022 != mode & ~0o022:
            problems.append(f"mode {oct(st.st_mode & 0o777)} != {oct(mode)}: {name}")
        if mtime is not None and abs(st.st_mtime - mtime) > 0.002:
            problems.append(f"mtime {st.st_mtime} != {mtime}: {name}")
        if sha1:
            lines.append(f"{sha1}  {path}\n")
    if lines:
        run = subprocess.run(["sha1sum", "-c", "--quiet", "-"], input="".join(lines).encode(),
                             capture_output=True)
        if run.returncode != 0:
            problems += [l for l in run.stdout.decode(errors="replace").splitlines() if l]
    for dirpath, _, filenames in ([] if present_only else os.walk(root)):
        for f in filenames:
            if f.endswith(".varnopartial"):
                problems.append(f"partial file left: {os.path.join(dirpath, f)}")
    for p in problems:
        print(p)
    if problems:
        return 1
    print("ok")
    return 0


if __name__ == "__main__":
    sys.exit(main())
