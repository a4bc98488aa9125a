#!/usr/bin/python3
"""Oracle vectors for core/path, answered by Python's posixpath, pathlib and
urllib.parse.

Writes into <dir>:
  path_normpath.txt  "# seed N", then one case a line: <path> TAB <expected>.
      Absolute paths of segments from {a, b, ., .., empty, .x, ..y} joined by
      '/' and '\\' mixed, never starting with two separators; the expected
      text is posixpath.normpath of the path with '\\' read as '/' (what
      Path_Normalize with flag 1 must give).
  path_url.txt  one case a line: <path> TAB <as_uri> TAB <unquoted path>,
      where as_uri is pathlib.PurePosixPath(path).as_uri() and the last field
      is urllib.parse.unquote of that URI's path part.
"""
import os
import pathlib
import posixpath
import random
import sys
import urllib.parse

SEED = 0x9A7_0105
CASES = 100000
SEGMENTS = ["a", "b", ".", "..", "", ".x", "..y"]
SEPARATORS = ["/", "\\"]

URL_NAMES = [
    "/tmp/plain/file.txt",
    "/tmp/with space/a b.txt",
    "/tmp/hash#tag/x#1",
    "/tmp/per%cent/100%",
    "/tmp/query?/what?x=1",
    "/tmp/na\u00efve/caf\u00e9.txt",
    "/tmp/\u65e5\u672c\u8a9e/\u30d5\u30a1\u30a4\u30eb",
    "/tmp/emoji/\U0001f600 smile",
    "/tmp/all of them/a #%?b c",
    "/tmp/safe-._~chars/x",
    "/tmp/plus+and&amp;=/y",
    "/",
]


def normpath_cases(rng):
    cases = []
    while len(cases) < CASES:
        count = rng.randint(1, 12)
        parts = [rng.choice(SEPARATORS)]
        for i in range(count):
            if i:
                parts.append(rng.choice(SEPARATORS))
            parts.append(rng.choice(SEGMENTS))
        if rng.random() < 0.3:
            parts.append(rng.choice(SEPARATORS))
        path = "".join(parts)
        if len(path) >= 2 and path[1] in "/\\":
            continue  # POSIX keeps a leading "//"; we read it as one
        cases.append((path, posixpath.normpath(path.replace("\\", "/"))))
    return cases


def main():
    out_dir = sys.argv[1]
    os.makedirs(out_dir, exist_ok=True)
    rng = random.Random(SEED)
    with open(os.path.join(out_dir, "path_normpath.txt"), "w", encoding="utf-8") as f:
        f.write("# seed %d\n" % SEED)
        for path, expected in normpath_cases(rng):
            f.write("%s\t%s\n" % (path, expected))
    with open(os.path.join(out_dir, "path_url.txt"), "w", encoding="utf-8") as f:
        for path in URL_NAMES:
            uri = pathlib.PurePosixPath(path).as_uri()
            unquoted = urllib.parse.unquote(urllib.parse.urlsplit(uri).path)
            f.write("%s\t%s\t%s\n" % (path, uri, unquoted))


if __name__ == "__main__":
    main()
