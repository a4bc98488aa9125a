#!/usr/bin/python3
"""`keelson sync` before it writes, and its progress line, end to end against
nginx over HTTPS (the tree of tests/e2e/make_tree.py). One case per run:

  preflight_e2e.py CASE --keelson PATH

  refusals  an installation directory on a read-only tmpfs, a tmpfs too small
            for the run, a second sync of an installation another one holds:
            each exits 1 within 5 s with one line naming the path and cause
  progress  under a pseudo-terminal, against a server that sends 1.25 MiB
            over about 6 s: the line shows the bytes of pieces in flight,
            "--" while the time left is unknown, and the summary the average
            rate

The tmpfs mounts live in a private mount namespace (unshare), as in
tests/fsfault.h; where the system refuses one, its row is skipped with the
reason and the run ends as skipped. Every wait is bounded. Exit status 0 when
every check passed.
"""
import argparse
import os
import pty
import re
import shutil
import signal
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
from sync_e2e import check, on_tree, read_terminal, skip, skipped  # noqa: E402

REFUSE_SECONDS = 5
RUN_SECONDS = 120
# Eight transfers at once at 25 KiB/s each: the 1.25 MiB tree in about 6 s.
SLOW_RATE = "25k"
UNITS = {"B": 1, "KiB": 1 << 10, "MiB": 1 << 20}
PIECE_BYTES = 64 << 10  # make_tree.py's piece size for a small tree
MOUNT = ('dir=$1; options=$2; shift 2; mount -t tmpfs -o "$options" tmpfs "$dir" || exit 97; '
         'exec "$@"')


def slow_conf(t):
    with open(t.path("nginx-slow.conf")) as f:
        conf = f.read()
    conf = re.sub(r"limit_rate \S+;", f"limit_rate {SLOW_RATE};", conf)
    with open(t.path("nginx-slower.conf"), "w") as f:
        f.write(conf)
    return "nginx-slower.conf"


def installation(t, name):
    """The directory of an installation apart and its repository file."""
    repo = t.write_apart(name)
    base = t.path(name)
    os.makedirs(os.path.join(base, "game"), exist_ok=True)
    return base, repo


def refused(t, args, what, words, mount=None):
    """Runs args (inside a private mount namespace with mount = (directory,
    options)); checks exit 1 within REFUSE_SECONDS and one line with words."""
    if mount is not None:
        args = ["unshare", "-m", "--propagation", "private", "sh", "-c", MOUNT, "sh",
                mount[0], mount[1], *args]
    started = time.monotonic()
    p = subprocess.run(args, env=t.env, capture_output=True, text=True, timeout=RUN_SECONDS)
    seconds = time.monotonic() - started
    if mount is not None and p.returncode == 97:
        skip(f"{what}: the system refused the tmpfs ({p.stderr.strip()[:200]})")
        return
    lines = [line for line in p.stderr.splitlines() if line.startswith("keelson: game: ")]
    check(p.returncode == 1 and seconds <= REFUSE_SECONDS and len(lines) == 1 and
          all(w in lines[0] for w in words),
          f"{what}: exit 1 in {seconds:.1f} s with one line naming {words} "
          f"({p.returncode}: {p.stderr[-400:]!r})")


def case_refusals(t):
    t.start(slow_conf(t))
    base, repo = installation(t, "readonly")
    refused(t, t.args(repo=repo), "a read-only installation directory",
            [os.path.join(base, "game"), "not writable", "Read-only file system"],
            mount=(os.path.join(base, "game"), "ro"))
    # The tree and its staging copy need about 2.4 MiB; the file system has 256 KiB.
    base, repo = installation(t, "full")
    refused(t, t.args(repo=repo), "a file system too small",
            ["needs 2.", " MiB, ", " KiB free on " + os.path.join(base, "game")],
            mount=(base, "size=256k"))
    base, repo = installation(t, "held")
    first = subprocess.Popen(t.args(repo=repo), env=t.env, stdout=subprocess.DEVNULL,
                             stderr=subprocess.DEVNULL)
    lock = os.path.join(base, "game.metafile.json.lock")
    deadline = time.monotonic() + 30
    holder = ""
    while time.monotonic() < deadline and first.poll() is None and not holder:
        try:
            with open(lock) as f:
                holder = f.read().strip()
        except OSError:
            pass
        time.sleep(0.05)
    check(holder == str(first.pid) and oct(os.stat(lock).st_mode & 0o777) == "0o600",
          f"the lock file holds the first sync's id and has mode 0600 ({holder!r})")
    refused(t, t.args(repo=repo), "a second sync of the same installation",
            [lock, f"already running (pid {first.pid})"])
    first.send_signal(signal.SIGINT)
    try:
        first.wait(timeout=30)
    except subprocess.TimeoutExpired:
        first.kill()
        first.wait(timeout=10)


def read_pty(fd, pid, piece_log):
    """Reads the terminal until the child ends; what it showed, and the first
    line with bytes fetched, with those bytes and the pieces the server had
    finished sending then."""
    first = []

    def each(out):
        for line in re.split(rb"[\r\n]", out) if not first else ():
            m = re.match(rb"copy +[\d.]+% .*, fetched ([\d.]+) (B|KiB|MiB) at ", line)
            if m and float(m.group(1)) > 0:
                done = float(m.group(1)) * UNITS[m.group(2).decode()]
                with open(piece_log) as f:
                    finished = sum(1 for entry in f if "/pieces/" in entry)
                first.append((line.decode(), done, finished))
                return

    out = read_terminal(fd, each)
    os.waitpid(pid, 0)
    return out.decode(errors="replace"), (first[0] if first else None)


def case_progress(t):
    t.start(slow_conf(t))
    pid, fd = pty.fork()
    if pid == 0:
        os.environ.update(t.env)
        os.execv(t.keelson, t.args())
    out, first_bytes = read_pty(fd, pid, t.path("access.log"))
    lines = [line.replace("\x1b[K", "") for line in re.split(r"[\r\n]", out) if "%" in line]
    # Counted per finished piece, the line could show at most a piece's
    # length for each piece the server has finished sending.
    check(first_bytes is not None and first_bytes[1] > first_bytes[2] * PIECE_BYTES,
          f"bytes in flight show before their pieces finish ({first_bytes})")
    check(any(line.endswith("ETA --") for line in lines) and
          not any(line.endswith("ETA 0s") and "% 0 B: " in line for line in lines),
          f"an unknown time left prints -- ({lines[:2]})")
    summary = re.search(r"game v1: \d+ files, [\d.]+ (KiB|MiB) fetched in [\d.]+ s "
                        r"\([\d.]+ (B|KiB|MiB)/s\), 0 repaired", out)
    check(summary is not None and t.sha1_ok("v1"),
          f"the summary gives the average rate and sha1sum -c passes ({out[-200:]!r})")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("case")
    ap.add_argument("--keelson", required=True)
    a = ap.parse_args()
    if shutil.which("nginx") is None:
        return skipped("nginx is missing")
    # 1.25 MiB: a layout every loader reads (some 1 MiB ones end after their last pad).
    return on_tree(a.keelson, {"refusals": case_refusals, "progress": case_progress}[a.case],
                   mib=1.25)


if __name__ == "__main__":
    sys.exit(main())
