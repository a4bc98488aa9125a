#!/usr/bin/python3
"""README's "Publish your own" end to end: the commands of its code block,
run by bash as a user would paste them (the keelson path replaced by the
binary under test, mktemp's directory inside the test's own), serve
examples/minimal/www with `python3 -m http.server` on 127.0.0.1:8000 (the
port the signed documents name), sync, check every file with `sha1sum -c`
and run the installed program. Then its second block: a tree made with a
kept key, a version 2.0 made with the same key and synced over 1.0.

  example_e2e.py --keelson PATH --source DIR

Also checks what is checked in: under 200 KB, no private key, the sha1 list
names every installed file. Exit status 0 when every check passed.
"""
import os
import re
import signal
import socket
import subprocess
import sys
import tempfile

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from sync_e2e import check, e2e_args, failures, outcome, wait_until  # noqa: E402

PORT = 8000
KEELSON = '"$K/build/default/keelson"'


def readme_block(source, number=0):
    """The indented code block of the "Publish your own" section, the first
    by default."""
    with open(os.path.join(source, "README.md"), encoding="utf-8") as f:
        text = f.read()
    section = text.split("\n## Publish your own\n", 1)[1].split("\n## ", 1)[0]
    blocks, inside = [], False
    for line in section.split("\n"):
        if line.startswith("    "):
            if not inside:
                blocks.append([])
            blocks[-1].append(line[4:])
        inside = line.startswith("    ")
    return blocks[number] if number < len(blocks) else []


def port_free():
    """Whether the server can bind 127.0.0.1:8000 (it binds with
    SO_REUSEADDR: closed connections in TIME_WAIT do not count)."""
    with socket.socket() as s:
        s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        try:
            s.bind(("127.0.0.1", PORT))
            return True
        except OSError:
            return False


def main():
    a = e2e_args()
    source = os.path.abspath(a.source)
    example = os.path.join(source, "examples", "minimal")

    size = sum(os.path.getsize(os.path.join(d, n)) for d, _, ns in os.walk(example) for n in ns)
    check(size < 200 * 1024, f"examples/minimal is under 200 KB ({size} bytes)")
    private = [os.path.join(d, n) for d, _, ns in os.walk(example) for n in ns
               if b"PRIVATE" in open(os.path.join(d, n), "rb").read()]
    check(not private, f"no private key is checked in ({private})")

    block = readme_block(source)
    script = "\n".join(block)
    check(KEELSON in script and "python3 -m http.server 8000 " in script and
          "sha1sum -c" in script, f"README's block runs the server, keelson and sha1sum ({block})")
    if failures:
        return 1
    with tempfile.TemporaryDirectory(prefix="keelson-example-") as tmp:
        code, out, err = run_block(a, source, script, tmp)
        check(code == 0, f"README's block ends 0 ({code}: {err[-600:]})")
        expected = open(os.path.join(example, "expected.sha1"), encoding="utf-8").read().split("\n")
        names = sorted(line.split("  ", 1)[1] for line in expected if line)
        check(all(f"{n}: OK" in out for n in names), f"sha1sum -c passes every file ({out})")
        check("hello from minimal 1.0" in out, "the installed bin/hello runs")
        installs = [os.path.join(tmp, d) for d in os.listdir(tmp)]
        found = []
        for d in installs:
            for top, _, files in os.walk(d):
                found += [os.path.relpath(os.path.join(top, f), d) for f in files]
        want = names + ["minimal.metafile.json", "minimal.metafile.json.lock",
                        "minimal.metafile.json.names"]
        check(len(installs) == 1 and sorted(found) == sorted(want),
              f"the installation holds the listed files, its metafile, lock and record of names "
              f"({found})")
        check(re.search(r"minimal 1\.0: 4 files", out) is not None, "the summary names the version")
    with tempfile.TemporaryDirectory(prefix="keelson-example-") as tmp:
        code, out, err = run_block(a, source, "\n".join(readme_block(source, 1)), tmp)
        keys = [n for d, _, ns in os.walk(tmp) for n in ns if n == "signing.key"]
        check(code == 0 and "hello from minimal 2.0" in out and
              re.search(r"minimal 1\.0: 4 files.*\n(.*\n)*minimal 2\.0: 4 files", out) and
              len(keys) == 1, f"README's second block syncs 2.0, signed with the kept key, over "
              f"1.0 ({code}: {out} {err[-600:]})")
    return outcome()


def run_block(a, source, script, tmp):
    """bash -e runs the block in the source tree, mktemp inside tmp; the
    exit status, stdout and stderr."""
    script = script.replace(KEELSON, "'" + os.path.abspath(a.keelson) + "'")
    # The generator imports python3-cryptography: the system's python runs it.
    script = script.replace('python3 "$K/tests/', '/usr/bin/python3 "$K/tests/')
    # Another holder (a run of this test in another build) is waited for.
    if not wait_until(port_free, seconds=60, step=0.2):
        return -1, "", f"127.0.0.1:{PORT} is not free for the server"
    env = dict(os.environ, TMPDIR=tmp)
    p = subprocess.Popen(["bash", "-e", "-c", script], cwd=source, env=env,
                         stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                         start_new_session=True)
    try:
        out, err = p.communicate(timeout=120)
    except subprocess.TimeoutExpired:
        out, err = "", "timed out"
    finally:
        # The server, should the block stop before its "kill %1".
        try:
            os.killpg(p.pid, signal.SIGTERM)
        except ProcessLookupError:
            pass
        p.wait()
    return p.returncode, out, err


if __name__ == "__main__":
    sys.exit(main())
