#!/usr/bin/python3
"""The repository file's keys as docs/formats.md, `keelson sync --help` and
`keelson sync` know them must be one set: every key the table of "The
repository file" names is accepted by sync and listed by --help, and every
key sync accepts (host/usercheck.cpp's list) is in the table.

  check_formats_keys.py KEELSON SOURCE_DIR
"""
import json
import os
import re
import subprocess
import sys
import tempfile


def main():
    keelson, source = os.path.abspath(sys.argv[1]), sys.argv[2]
    with open(os.path.join(source, "docs", "formats.md")) as f:
        text = f.read()
    table = text.split("## The repository file", 1)[1].split("###", 1)[0]
    documented = {k for line in table.splitlines() if line.startswith("| `")
                  for k in re.findall(r'`"(\w+)"`', line.split(" | ")[0])}
    with open(os.path.join(source, "host", "usercheck.cpp")) as f:
        block = f.read().split("kRepositoryKeys[] = {", 1)[1].split("};", 1)[0]
    accepted = set(re.findall(r'"(\w+)"', block))
    help_text = subprocess.run([keelson, "sync", "--help"], capture_output=True, text=True,
                               timeout=30).stdout.split("the repository file", 1)[1]
    listed = {k for k in accepted | documented if re.search(rf'\b{k}\b', help_text)}
    failures = [f"{k}: in docs/formats.md, not accepted by sync" for k in documented - accepted]
    failures += [f"{k}: accepted by sync, not in docs/formats.md" for k in accepted - documented]
    failures += [f"{k}: not in keelson sync --help" for k in (accepted | documented) - listed]
    # What the list says is what the command does: each documented key
    # passes the check of unknown keys, and one that is not is refused.
    with tempfile.TemporaryDirectory(prefix="keelson-keys-") as root:
        for keys, refused in ((sorted(documented), None), (["repository", "deltaCache"],
                                                           "deltaCache")):
            path = os.path.join(root, "repo.json")
            with open(path, "w") as f:
                json.dump({k: "x" for k in keys}, f)
            p = subprocess.run([keelson, "sync", "--retry-time=0", path], capture_output=True,
                               text=True, timeout=30, cwd=root)
            unknown = re.findall(r'unknown key "(\w+)"', p.stderr)
            if unknown != ([refused] if refused else []):
                failures.append(f"sync on {keys}: refused {unknown} ({p.stderr.strip()!r})")
    for line in failures:
        print("FAIL " + line)
    print(f"{len(documented)} keys documented, {len(accepted)} accepted: "
          f"{'ok' if not failures else 'MISMATCH'}")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
