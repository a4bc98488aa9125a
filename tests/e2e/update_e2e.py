#!/usr/bin/python3
"""`keelson sync` updating an installed v1 to v2 (six data files and bin/tool
change) against nginx over HTTPS, on a tree of tests/e2e/make_tree.py. One case per run:

  update_e2e.py CASE --keelson PATH [--developer 0|1]

  flip   v2 is served with one changed piece damaged, once through a plain
         piece remote, once through the pending storage (VCDIFF staged and
         applied): exit 1, `sha1sum -c` of v1 passes; v1 again over the
         partial files left holding v2's bytes ends 0 with v1; with the piece
         mended the next run ends 0 with v2 (the failing runs with
         --retry-time=0)
  back   the update killed while its first files are being built (partial
         files there, every final name still v1), then the alias back to
         v1: exit 0 with v1, no piece fetched, "0 repaired", no partial file
         left; the update asked first for the catalog of updating from v1
         (www/catalog/v2/v1/catalog.json, in nginx's access log)
  kill   SIGKILL at 20 moments of the update (5 in developer builds; a
         fixed, printed seed), each just after the rename of one changed
         file onto its final name: after each every final name holds v1's
         or v2's bytes, none is missing, and the next run ends 0 with v2; at
         least half of the kills land between the first replacement and the
         last

Every wait is bounded. Exit status 0 when every check passed.
"""
import ctypes
import hashlib
import os
import random
import select
import shutil
import signal
import struct
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.dont_write_bytecode = True
sys.path.insert(0, HERE)
import sync_e2e  # noqa: E402
from sync_e2e import check, flip_byte, wait_until  # noqa: E402

MIB = 4.5  # 18 files: make_tree.py changes every third one, six in all
KILL_SEED = 0x6b65
KILLS = 20
KILLS_DEVELOPER = 5
# The update runs under strace, which holds each thread for a while after
# each of its renames: a burst of replacements then spans long enough for a
# kill sent after one of them to land before the next, whatever the load.
RENAME_DELAY_US = 50000
SLOW_RENAMES = ["strace", "-f", "-qq", "--seccomp-bpf", "-o", "/dev/null",
                "-e", "trace=rename,renameat,renameat2",
                "-e", f"inject=rename,renameat,renameat2:delay_exit={RENAME_DELAY_US}"]


def plain(t):
    """The repository file's keys for a plain piece remote and no pending
    storage."""
    return {"pending": None, "remote": t.plain_remote()}


def installed_state(t, v1, v2):
    """(names missing, names whose bytes are neither v1's nor v2's, {name:
    sha1} of the installed files)."""
    now = {}
    for name in v1:
        path = os.path.join(t.installed(), name)
        if os.path.isfile(path):
            with open(path, "rb") as f:
                now[name] = hashlib.sha1(f.read()).hexdigest()
    return ([n for n in v1 if n not in now],
            [n for n in now if now[n] not in (v1[n], v2[n])], now)


class Snapshot:
    """The client side (installation and local metafile) as v1 left it."""

    def __init__(self, t):
        self.t = t
        self.client = os.path.dirname(t.installed())
        self.saved = t.path("client-v1")
        shutil.copytree(self.client, self.saved, symlinks=True)

    def restore(self):
        shutil.rmtree(self.client)
        shutil.copytree(self.saved, self.client, symlinks=True)


def install_v1(t, repo):
    t.alias("v1")
    code, _, err = t.run(repo=repo)
    check(code == 0 and t.sha1_ok("v1"), "v1 installs" + ("" if code == 0 else f" ({err[-300:]})"))
    return Snapshot(t)


def case_flip(t):
    t.start()
    v1, v2 = t.expected("v1"), t.expected("v2")
    changed = [n for n in v1 if v1[n] != v2[n]]
    check(len(changed) == 7, f"six data files and bin/tool change from v1 to v2 ({len(changed)})")
    snapshot = install_v1(t, t.write_repo("repo-plain.json", **plain(t)))
    # The last changed piece in content order: under per-file completion the
    # earlier changed files would already be replaced when it fails.
    with open(t.path("changed.txt")) as f:
        last = [line.strip() for line in f if line.strip()][-1]
    damaged = [t.path("www", "pieces", "v2", last + ".varnopiece"),
               t.path("www", "pieces", "v1", last + ".varnodelta")]
    for path in damaged:
        shutil.copy(path, path + ".good")
        flip_byte(path, last=True)
    t.alias("v2")
    # The two rows run side by side, each in a copy of the v1 installation.
    rows = [("a plain piece remote", plain(t)), ("the pending storage", {})]
    clients = []
    for k, (_, keys) in enumerate(rows):
        client = t.path(f"client-{k}")
        apart = t.apart(client)
        shutil.copytree(snapshot.saved, client, symlinks=True, dirs_exist_ok=True)
        clients.append((os.path.join(client, "game"),
                        t.write_repo(f"repo-flip-{k}.json", **dict(apart, **keys))))
    runs = [subprocess.Popen(t.args("--retry-time=0", repo=repo), env=t.env,
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
            for _, repo in clients]
    for (what, _), (game, _), p in zip(rows, clients, runs):
        p.communicate(timeout=sync_e2e.RUN_SECONDS)
        check(p.returncode == 1 and t.sha1_ok("v1", game),
              f"{what}: a damaged piece ends with exit 1 and v1 whole ({p.returncode})")
    # Back to v1 over what the failed run left (partial files holding v2's
    # bytes): only v1's bytes are kept.
    game, repo = clients[0]
    check(bool(t.partials(game)), f"{rows[0][0]}: the failed run left partial files")
    t.alias("v1")
    code, _, err = t.run(repo=repo)
    left = t.partials(game)
    check(code == 0 and t.sha1_ok("v1", game) and not left,
          f"{rows[0][0]}: v1 again over v2's partial files ends 0 with v1 ({code}, {left})")
    t.alias("v2")
    for path in damaged:
        os.replace(path + ".good", path)
    # The next run, over what the failed one left, completes v2.
    for (what, _), (game, repo) in zip(rows, clients):
        code, _, err = t.run(repo=repo)
        check(code == 0 and t.sha1_ok("v2", game),
              f"{what}: the mended run ends 0 with v2 ({code})")


class Renames:
    """The renames onto the changed files' final names (the installed files
    being replaced), as inotify reports them, on one installation."""

    IN_MOVED_TO = 0x80

    def __init__(self, root, names):
        self.libc = ctypes.CDLL(None, use_errno=True)
        self.fd = self.libc.inotify_init1(os.O_NONBLOCK | os.O_CLOEXEC)
        if self.fd < 0:
            raise OSError(ctypes.get_errno(), "inotify_init1")
        self.names, self.dirs, self.seen = set(names), {}, 0
        for d in sorted({os.path.dirname(n) for n in names}):
            wd = self.libc.inotify_add_watch(self.fd, os.path.join(root, d).encode(),
                                             self.IN_MOVED_TO)
            if wd < 0:
                raise OSError(ctypes.get_errno(), "inotify_add_watch " + d)
            self.dirs[wd] = d

    def close(self):
        os.close(self.fd)

    def wait(self, count, process, seconds):
        """Waits until count renames were seen, process ended or seconds
        passed; the renames seen."""
        deadline = time.monotonic() + seconds
        while self.seen < count and process.poll() is None and time.monotonic() < deadline:
            ready, _, _ = select.select([self.fd], [], [], 0.2)
            if not ready:
                continue
            try:
                data = os.read(self.fd, 65536)
            except BlockingIOError:
                continue
            at = 0
            while at + 16 <= len(data):
                wd, _, _, length = struct.unpack_from("iIII", data, at)
                name = data[at + 16:at + 16 + length].rstrip(b"\0").decode()
                at += 16 + length
                self.seen += os.path.join(self.dirs.get(wd, ""), name) in self.names
        return self.seen


def children(pid):
    """The process ids of pid's children."""
    try:
        with open(f"/proc/{pid}/task/{pid}/children") as f:
            return [int(c) for c in f.read().split()]
    except OSError:
        return []


def case_kill(t, kills):
    """Each kill lands while the installed files are being replaced: it
    follows the rename of the j-th changed file onto its final name (j drawn
    from the seed), as inotify reports it. Where it landed is read back from
    the files (how many hold v2's bytes), and at least half of the kills must
    have landed between the first replacement and the last."""
    t.start()
    v1, v2 = t.expected("v1"), t.expected("v2")
    changed = [n for n in v1 if v1[n] != v2[n]]
    check(len(changed) == 7, "six data files and bin/tool change from v1 to v2")
    repo = t.write_repo("repo-plain.json", **plain(t))
    # Every other kill replaces one file at a time: the kill then lands
    # right after the rename it followed, where with several replacements
    # in flight (the default) the ones beside it finish too.
    serial = t.write_repo("repo-serial.json", **plain(t), fileCompletes=1)
    snapshot = install_v1(t, repo)
    rng = random.Random(KILL_SEED)
    triggers = [rng.randrange(1, len(changed)) for _ in range(kills)]
    print(f"kill seed {KILL_SEED:#x}: after replacement {triggers}", flush=True)
    t.alias("v2")
    landed, points = 0, []
    for k, trigger in enumerate(triggers):
        snapshot.restore()
        t.start("nginx-slow.conf")
        renames = Renames(t.installed(), changed)
        p = subprocess.Popen([*SLOW_RENAMES, *t.args(repo=serial if k % 2 else repo)],
                             env=t.env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            seen = renames.wait(trigger, p, 60)
        finally:
            renames.close()
        # SIGKILL for keelson, strace's child, held after its rename.
        for pid in children(p.pid):
            os.kill(pid, signal.SIGKILL)
        p.wait(timeout=30)
        missing, foreign, now = installed_state(t, v1, v2)
        check(not missing and not foreign,
              f"kill {k} after replacement {trigger}: every file is v1 or v2 "
              f"(missing {missing}, neither {foreign})")
        replaced = sum(now.get(n) == v2[n] for n in changed)
        # The kill point: the replacements done when the process died.
        points.append(replaced)
        landed += 0 < replaced < len(changed)
        print(f"kill {k}: {seen} renames seen, {replaced} of {len(changed)} files replaced",
              flush=True)
        t.start()
        code, _, err = t.run(repo=repo)
        check(code == 0 and t.sha1_ok("v2"),
              f"kill {k}: the next run ends 0 with v2" + ("" if code == 0 else f" ({err[-200:]})"))
    check(2 * landed >= kills,
          f"{landed} of {kills} kills landed between the first and the last replacement "
          f"(files replaced at each kill: {points})")


def case_back(t):
    t.start()
    v1 = t.expected("v1")
    repo = t.write_repo("repo-plain.json", **plain(t))
    install_v1(t, repo)
    t.alias("v2")
    t.start("nginx-slow.conf")
    t.clear_log()
    p = subprocess.Popen(t.args(repo=repo), env=t.env, stdout=subprocess.DEVNULL,
                         stderr=subprocess.DEVNULL)
    # Killed once a piece has come and partial files hold it: at 64 KiB/s a
    # connection no changed file is whole yet.
    def pieces_come():
        with open(t.path("access.log")) as f:
            return p.poll() is not None or (any("/pieces/" in line for line in f) and t.partials())
    wait_until(pieces_come, seconds=60, step=0.01)
    p.send_signal(signal.SIGKILL)
    p.wait(timeout=30)
    catalogs = [r[2] for r in t.log() if "/catalog/" in r[2]]
    check(catalogs[:1] == ["/catalog/v2/v1/catalog.json"],
          f"the update asks first for the catalog of updating from v1 ({catalogs})")
    missing, foreign, _ = installed_state(t, v1, v1)
    check(bool(t.partials()) and not missing and not foreign,
          f"the killed update left partial files and v1 whole ({len(t.partials())} partial, "
          f"missing {missing}, changed {foreign})")
    t.start()
    t.alias("v1")
    t.clear_log()
    code, out, err = t.run(repo=repo)
    pieces = [r[2] for r in t.log() if "/pieces/" in r[2]]
    check(code == 0 and t.sha1_ok("v1") and not pieces and "0 repaired" in out and
          not t.partials(),
          f"back to v1 ends 0 with v1, fetching nothing ({code}, {len(pieces)} pieces, "
          f"{out.strip()!r}, {len(t.partials())} partial files left)")


def main():
    a = sync_e2e.e2e_args(["flip", "back", "kill"])
    if shutil.which("nginx") is None:
        return sync_e2e.skipped("nginx is missing")
    if a.case == "kill":
        if shutil.which("strace") is None:
            return sync_e2e.skipped("strace is missing")
        probe = subprocess.run([*SLOW_RENAMES, "true"], capture_output=True, text=True,
                               timeout=30)
        if probe.returncode != 0:
            return sync_e2e.skipped(f"strace cannot trace here ({probe.stderr.strip()[:200]})")
    kills = KILLS_DEVELOPER if a.developer else KILLS
    run = {"flip": case_flip, "back": case_back,
           "kill": lambda t: case_kill(t, kills)}[a.case]
    return sync_e2e.on_tree(a.keelson, run, prefix="keelson-update-", mib=MIB)


if __name__ == "__main__":
    sys.exit(main())
