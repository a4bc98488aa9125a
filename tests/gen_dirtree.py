#!/usr/bin/python3
"""Builds the deep tree of the tree-deletion tests: a chain of directories
whose path runs past 4096 bytes, which no single path call can reach. It is
built with relative mkdir, one level at a time from inside the level above,
and a sentinel directory beside it. Writes into <vectors-dir>:

  dirtree_deep/            the chain (names of 200 characters), a file at the bottom
  dirtree_outside/sentinel a file that no deletion of the chain may touch
  dirtree_deep.txt         "<levels>\t<bytes of the deepest path below dirtree_deep>"

Deterministic: the same tree every run (an old one is removed first)."""
import os
import shutil
import sys

NAME_CHARS = 200
MIN_PATH_BYTES = 4300  # past the 4096 bytes of a whole path, whatever the prefix


def main():
    vectors = sys.argv[1]
    os.makedirs(vectors, exist_ok=True)
    deep = os.path.join(vectors, "dirtree_deep")
    outside = os.path.join(vectors, "dirtree_outside")
    shutil.rmtree(deep, ignore_errors=True)  # walks by descriptors: any depth
    shutil.rmtree(outside, ignore_errors=True)
    os.makedirs(outside)
    with open(os.path.join(outside, "sentinel"), "w") as f:
        f.write("sentinel\n")
    os.mkdir(deep)
    top = os.open(deep, os.O_RDONLY | os.O_DIRECTORY)
    fd = os.dup(top)
    levels = 0
    length = 0
    while length < MIN_PATH_BYTES:
        name = chr(ord("a") + levels % 26) * NAME_CHARS
        os.mkdir(name, dir_fd=fd)
        child = os.open(name, os.O_RDONLY | os.O_DIRECTORY, dir_fd=fd)
        os.close(fd)
        fd = child
        levels += 1
        length += NAME_CHARS + 1
    bottom = os.open("bottom", os.O_WRONLY | os.O_CREAT, 0o644, dir_fd=fd)
    os.write(bottom, b"bottom\n")
    os.close(bottom)
    os.close(fd)
    os.close(top)
    with open(os.path.join(vectors, "dirtree_deep.txt"), "w") as f:
        f.write("%d\t%d\n" % (levels, length + len("bottom")))


if __name__ == "__main__":
    main()
