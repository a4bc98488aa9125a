#!/usr/bin/python3
"""`keelson sync` before it writes, and its progress line, end to end against
nginx over HTTPS (the tree of tests/e2e/make_tree.py). One case per run:

  preflight_e2e.py CASE --keelson PATH

  refusals  an installation directory on a read-only tmpfs, a tmpfs too small
            for the run (each file in whole blocks) or with too few inodes, an installation path that is a file, a second sync
            of an installation another one holds (whose lock file user 65534
            planted 0666 first: made anew as root's), folders user 65534 may
            change (a root:games 2775 folder holding the installation or the
            pending storage, 65534's own directory at the installation path
            in a sticky folder, a 0777 working directory): each exits 1 with
            one line naming the path and cause, in far less time than
            fetching the tree from the slowed server takes
  relative  README's recipe: a repository file with relative paths, run in
            the directory they are relative to (a 0775 folder of root's own
            private group: it passes). On a tmpfs too small for
            the install it is refused at once with nothing but the lock
            written; in a directory with room it installs (and a copy of it
            lacking one file and the metafile completes on a tmpfs with
            room for that file alone), repairs a flipped
            byte and a deleted file (while user 65534 holds a flock on the
            installation directory) ("N repaired", N the pieces nginx served
            for the repair; the partial files and aside tree of names v1
            lacks that a stopped run left go) and updates asking first for the catalog of
            updating from the installed id
  pending   an update on a tmpfs without room, a pending storage configured:
            through a plain remote it needs the new files' bytes once
            ("needs X"), through the catalog's remote with deltas twice
            (staged, then applied)
  progress  under a pseudo-terminal, against a server that sends 1.25 MiB
            over about 6 s: the line shows the bytes of pieces in flight,
            "--" while the time left is unknown, and the summary the average
            rate

The tmpfs mounts live in a private mount namespace (unshare), as in
tests/fsfault.h; where the system refuses one, its row is skipped with the
reason and the run ends as skipped. Every wait is bounded. Exit status 0 when
every check passed.
"""
import os
import pty
import pwd
import re
import shutil
import signal
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
from sync_e2e import (NOBODY, as_nobody, check, e2e_args, on_tree,  # noqa: E402
                      read_terminal, signed_payload, skip, skipped, stop, wait_until)

# A refusal comes before any piece is fetched, which the refusals' server
# (REFUSE_RATE) stretches to 40 s: only a time tells the two apart, and half
# of it leaves a sanitizer build on a busy machine a wide margin.
REFUSE_SECONDS = 20
REFUSE_RATE = "4k"
RUN_SECONDS = 120
# Eight transfers at once at 25 KiB/s each: the 1.25 MiB tree in about 6 s.
SLOW_RATE = "25k"
GAMES = 60  # the games group of Debian's base-passwd
UNITS = {"B": 1, "KiB": 1 << 10, "MiB": 1 << 20}
PIECE_BYTES = 64 << 10  # make_tree.py's piece size for a small tree
MOUNT = ('dir=$1; options=$2; shift 2; mount -t tmpfs -o "$options" tmpfs "$dir" || exit 97; '
         'exec "$@"')


# Runs "$@" with a tmpfs mounted at $1 (options $2) as its working
# directory, then lists what is there into $3.
IN_MOUNT = ('dir=$1; options=$2; listing=$3; shift 3; '
            'mount -t tmpfs -o "$options" tmpfs "$dir" || exit 97; '
            'cd "$dir" || exit 97; "$@"; code=$?; find . | sort > "$listing"; exit $code')
# Installs with "$@" in a tmpfs at $1 (options $2), copies $3 over $4 (the
# alias), then runs "$@" again.
UPDATE_IN_MOUNT = ('dir=$1; options=$2; alias=$3; served=$4; shift 4; '
                   'mount -t tmpfs -o "$options" tmpfs "$dir" || exit 97; '
                   'cd "$dir" || exit 97; "$@" >/dev/null 2>&1 || exit 98; '
                   'cp "$alias" "$served" || exit 98; exec "$@"')
PAGE = 4096
NEEDS = re.compile(r"needs ([\d.]+) (B|KiB|MiB), ")


def file_sizes(t, version):
    """{name: size} of the version's metafile."""
    with open(t.path("www", "meta", version + ".json")) as f:
        return {e["name"]: e.get("size", 0) for e in signed_payload(f.read())["files"]}


def in_mount(t, what, script, directory, options, *args):
    """args run by script (with a tmpfs at directory) inside a private mount
    namespace; None when the system refuses the tmpfs (the row is skipped
    with the reason)."""
    os.makedirs(directory, exist_ok=True)
    p = subprocess.run(["unshare", "-m", "--propagation", "private", "sh", "-c", script, "sh",
                        directory, options, *args], env=t.env, capture_output=True,
                       text=True, timeout=RUN_SECONDS)
    if p.returncode == 97:
        skip(f"{what}: the system refused the tmpfs ({p.stderr.strip()[:200]})")
        return None
    return p


def case_relative(t):
    t.start()
    # README's recipe: paths relative to where the command runs, a piece
    # remote without deltas.
    repo = t.write_repo("repo-relative.json", metafile="game.metafile.json", pending=None,
                        local={"type": "file", "path": "game"}, remote=t.plain_remote())
    # The install needs about 1.25 MiB; the file system has 256 KiB.
    listing, directory = t.path("listing.txt"), t.path("mnt")
    p = in_mount(t, "relative paths on a small file system", IN_MOUNT, directory, "size=256k",
                 listing, *t.args(repo=repo))
    if p is not None:
        lines = [line for line in p.stderr.splitlines() if line.startswith("keelson: game: ")]
        with open(listing) as f:
            written = [line.strip() for line in f]
        check(p.returncode == 1 and len(lines) == 1 and
              " KiB free on " + os.path.join(directory, "game") in lines[0] and
              NEEDS.search(lines[0]) is not None,
              f"relative paths on a small file system: refused at once naming the "
              f"installation ({p.returncode}: {p.stderr[-300:]!r})")
        check(written == [".", "./game.metafile.json.lock"],
              f"relative paths on a small file system: nothing but the lock written ({written})")
    # Group-writable, but the group is root's own (gid 0, named root, no
    # member): a user-private-group folder passes.
    here = t.path("here")
    os.makedirs(here)
    os.chmod(here, 0o775)
    run = lambda: subprocess.run(t.args(repo=repo), env=t.env, cwd=here,  # noqa: E731
                                 capture_output=True, text=True, timeout=RUN_SECONDS)
    p = run()
    game = os.path.join(here, "game")
    check(p.returncode == 0 and t.sha1_ok("v1", game),
          f"relative paths: v1 installs ({p.stderr[-300:]})")
    # A first install stopped part-way: v1 whole but its largest file, no
    # metafile, and room for that file twice over (its neighbours' partial
    # copies, where it shares pieces with them, take room too) but not for
    # the whole version. Its whole files count as there.
    sizes = file_sizes(t, "v1")
    largest = max(sizes, key=sizes.get)
    pages = sum((size + PAGE - 1) // PAGE for size in sizes.values())
    missing = (sizes[largest] + PAGE - 1) // PAGE
    spare = missing + 64
    check(missing + spare < pages, f"a stopped first install: the free room ({missing + spare} "
                                   f"pages) is less than the whole version ({pages} pages)")
    p = in_mount(t, "a stopped first install", IN_MOUNT, directory,
                 f"size={(pages + spare) * PAGE}", listing, "sh", "-c",
                 'cp -r "$1" game && rm "game/$2" && shift 2 && exec "$@"', "sh", game, largest,
                 *t.args(repo=repo))
    if p is not None:
        check(p.returncode == 0 and "needs " not in p.stderr,
              f"a stopped first install with room for what is missing completes "
              f"({p.returncode}: {p.stderr[-300:]!r})")
    t.damage("v1", game)
    # What a killed update toward a version v1 lacks names would leave.
    leftovers = [os.path.join(game, "dir0", "gone.bin.varnopartial"),
                 os.path.join(game, "newdir.varnopartial", "inner")]
    for leftover in leftovers:
        os.makedirs(os.path.dirname(leftover), exist_ok=True)
        with open(leftover, "w") as f:
            f.write("part\n")
    t.clear_log()
    # User 65534 holds a flock on the installation directory meanwhile.
    os.chmod(t.root, 0o711)
    holder = subprocess.Popen(
        ["setpriv", f"--reuid={NOBODY}", f"--regid={NOBODY}", "--clear-groups",
         "/usr/bin/python3", "-c", "import fcntl, os, sys, time\n"
         "fcntl.flock(os.open(sys.argv[1], os.O_RDONLY), fcntl.LOCK_EX)\n"
         "print('held', flush=True); time.sleep(60)", game], stdout=subprocess.PIPE, text=True)
    check(holder.stdout.readline().strip() == "held", "user 65534 holds a flock on the "
          "installation directory")
    p = run()
    holder.kill()
    holder.wait()
    served = sum(1 for r in t.log() if "/pieces/" in r[2])
    check(p.returncode == 0 and t.sha1_ok("v1", game) and served > 0 and
          p.stdout.rstrip().endswith(f"/s), {served} repaired"),
          f"relative paths: a flipped byte and a deleted file are repaired, the summary "
          f"counting the {served} pieces served ({p.returncode}: {p.stdout.strip()!r})")
    left = [n for n in leftovers + [os.path.dirname(leftovers[1])] if os.path.lexists(n)]
    check(not left, f"relative paths: the repair removes a stopped run's leftovers ({left})")
    t.alias("v2")
    t.clear_log()
    p = run()
    catalogs = [r[2] for r in t.log() if "/catalog/" in r[2]]
    check(p.returncode == 0 and t.sha1_ok("v2", game) and
          catalogs[:1] == ["/catalog/v2/v1/catalog.json"],
          f"relative paths: the update asks first for the catalog of updating from v1 "
          f"({p.returncode}, {catalogs})")
    # "../" names the parent's files, never the working directory's decoys.
    dotdot = t.path("dotdot")
    os.makedirs(os.path.join(dotdot, "work", "real"))
    os.makedirs(os.path.join(dotdot, "real"))
    shutil.copy(t.path("app.json"), os.path.join(dotdot, "app.json"))
    t.write_repo("dotdot/real/repo.json", metafile="../inst.metafile.json", pending=None,
                 local={"type": "file", "path": "../inst"}, remote=t.plain_remote())
    t.write_repo("dotdot/work/real/repo.json", metafile="decoy.metafile.json", pending=None,
                 local={"type": "file", "path": "decoy"}, remote=t.plain_remote())
    t.write_app("dotdot/work/app.json", keyStores={})
    p = subprocess.run(t.args(repo="../real/repo.json", app="../app.json"), env=t.env,
                       cwd=os.path.join(dotdot, "work"), capture_output=True, text=True,
                       timeout=RUN_SECONDS)
    check(p.returncode == 0 and t.sha1_ok("v2", os.path.join(dotdot, "inst")) and
          sorted(os.listdir(os.path.join(dotdot, "work"))) == ["app.json", "real"],
          f"../ paths read the parent's repository and application files, not the decoys "
          f"({p.returncode}: {p.stderr[-300:]!r})")


def parse_need(line):
    m = NEEDS.search(line)
    return float(m.group(1)) * UNITS[m.group(2)] if m else None, (UNITS[m.group(2)] if m else 1)


def case_pending(t):
    t.start()
    v1, v2, sizes = t.expected("v1"), t.expected("v2"), file_sizes(t, "v2")
    changed = sum(sizes[n] for n in v2 if v1.get(n) != v2[n])
    pages = sum((size + PAGE - 1) // PAGE for size in file_sizes(t, "v1").values())
    # Room for v1, its metafile and lock, and less than the changed bytes.
    room = (pages + 3) * PAGE + min(changed // 2, 64 << 10)
    mount = t.path("mnt")
    where = t.apart(mount)
    rows = [("a plain remote", {"remote": t.plain_remote()}),
            ("the catalog's remote with deltas", {})]
    needs = []
    for what, changes in rows:
        t.alias("v1")
        repo = t.write_repo("repo-pending.json", **where, **changes)
        p = in_mount(t, what, UPDATE_IN_MOUNT, mount, f"size={room}",
                     t.path("www", "aliases", "v2.json"), t.path("www", "alias.json"),
                     *t.args(repo=repo))
        if p is None:
            return
        lines = [line for line in p.stderr.splitlines() if line.startswith("keelson: game: ")]
        need, unit = parse_need(lines[0]) if lines else (None, 1)
        check(p.returncode == 1 and len(lines) == 1 and need is not None,
              f"{what} with a pending storage: the update is refused for want of room "
              f"({p.returncode}: {lines or p.stderr[-300:]})")
        needs.append((need or 0, unit))
    t.alias("v1")
    (plain, unit), (delta, _) = needs
    # Whatever else the estimate counts, a plain remote writes each new byte
    # once, under the installation; deltas stage the pieces first.
    check(changed <= plain <= sum(sizes.values()) + unit * 0.051,
          f"through a plain remote the need is the new files' bytes once ({plain:.0f}; "
          f"changed {changed}, the whole version {sum(sizes.values())})")
    check(abs(delta - 2 * plain) <= unit * 0.11,
          f"through deltas the need is twice that ({delta:.0f}, {plain:.0f})")


def slow_conf(t, rate=SLOW_RATE):
    with open(t.path("nginx-slow.conf")) as f:
        conf = f.read()
    conf = re.sub(r"limit_rate \S+;", f"limit_rate {rate};", conf)
    with open(t.path("nginx-slower.conf"), "w") as f:
        f.write(conf)
    return "nginx-slower.conf"


def installation(t, name):
    """The directory of an installation apart and its repository file."""
    repo = t.write_apart(name)
    base = t.path(name)
    os.makedirs(os.path.join(base, "game"), exist_ok=True)
    return base, repo


def refused(t, args, what, words, mount=None, cwd=None, prefix="keelson: game: "):
    """Runs args (inside a private mount namespace with mount = (directory,
    options)); checks exit 1 within REFUSE_SECONDS and one line with words."""
    started = time.monotonic()
    if mount is None:
        p = subprocess.run(args, env=t.env, capture_output=True, text=True, timeout=RUN_SECONDS,
                           cwd=cwd)
    else:
        p = in_mount(t, what, MOUNT, *mount, *args)
    seconds = time.monotonic() - started
    if p is None:
        return
    lines = [line for line in p.stderr.splitlines() if line.startswith(prefix)]
    check(p.returncode == 1 and seconds <= REFUSE_SECONDS and len(lines) == 1 and
          all(w in lines[0] for w in words),
          f"{what}: exit 1 in {seconds:.1f} s with one line naming {words} "
          f"({p.returncode}: {p.stderr[-400:]!r})")


def case_refusals(t):
    t.start(slow_conf(t, REFUSE_RATE))
    base, repo = installation(t, "readonly")
    refused(t, t.args(repo=repo), "a read-only installation directory",
            [os.path.join(base, "game"), "not writable", "read-only file system"],
            mount=(os.path.join(base, "game"), "ro"))
    # The tree needs about 1.3 MiB (a first install has no deltas: nothing
    # goes through the pending storage); the file system has 256 KiB.
    base, repo = installation(t, "full")
    refused(t, t.args(repo=repo), "a file system too small",
            ["needs 1.", " MiB, ", " KiB free on " + os.path.join(base, "game")],
            mount=(base, "size=256k"))
    # Room for the bytes, not for the blocks each file takes.
    sizes = file_sizes(t, "v1")
    packed = (sum(sizes.values()) + PAGE - 1) // PAGE + 1
    if packed < sum((n + PAGE - 1) // PAGE for n in sizes.values()):
        base, repo = installation(t, "blocks")
        refused(t, t.args(repo=repo), "a file system with room for the bytes, not the blocks",
                ["needs ", " free on " + os.path.join(base, "game")],
                mount=(os.path.join(base, "game"), f"size={packed * PAGE}"))
    # Room for the bytes, not for the files: refused at start too.
    base, repo = installation(t, "inodes")
    refused(t, t.args(repo=repo), "a file system with too few inodes",
            ["needs ", " inodes (files and directories to make), 3 free on " +
             os.path.join(base, "game")], mount=(os.path.join(base, "game"), "nr_inodes=4"))
    base, repo = installation(t, "notdir")
    os.rmdir(os.path.join(base, "game"))
    with open(os.path.join(base, "game"), "w") as f:
        f.write("a file\n")
    refused(t, t.args(repo=repo), "an installation path that is a file",
            [os.path.join(base, "game"), "is not a directory"])
    # Relative paths with a working directory that is gone: nothing to make
    # them absolute against.
    repo = t.write_repo("repo-gone.json", metafile="game.metafile.json", pending=None,
                        local={"type": "file", "path": "game"})
    gone = t.path("gone")
    os.makedirs(gone)
    refused(t, ["sh", "-c", 'cd "$1" && rmdir "$1" && shift && exec "$@"', "sh", gone,
                *t.args(repo=repo)], "relative paths in a removed working directory",
            ["game.metafile.json: the working directory it is relative to cannot be read"])
    base, repo = installation(t, "held")
    # User 65534's lock file, open to all and naming a process of theirs:
    # made anew as root's.
    lock = os.path.join(base, "game.metafile.json.lock")
    with open(lock, "w") as f:
        f.write("1\n")
    os.chown(lock, NOBODY, NOBODY)
    os.chmod(lock, 0o666)
    first = subprocess.Popen(t.args(repo=repo), env=t.env, stdout=subprocess.DEVNULL,
                             stderr=subprocess.DEVNULL)
    holder = ""

    def held():
        nonlocal holder
        try:
            with open(lock) as f:
                holder = f.read().strip()
        except OSError:
            pass
        return holder not in ("", "1") or first.poll() is not None
    wait_until(held, seconds=30)
    st = os.stat(lock)
    check(holder == str(first.pid) and st.st_mode & 0o777 == 0o600 and st.st_uid == 0,
          f"user {NOBODY}'s 0666 lock file is made anew: root's, mode 0600, holding the first "
          f"sync's id ({holder!r}, {st.st_uid}, {st.st_mode:o})")
    game = os.path.join(base, "game")
    refused(t, t.args(repo=repo), "a second sync of the same installation",
            [game, f"already running (pid {first.pid})"])
    # Another repository file naming the same directory, without a metafile:
    # the directory is the lock, and nothing is asked of the server.
    other = t.write_repo("held-other.json", metafile=None, pending=None,
                         alias=t.repo["alias"] + "?second", local={"type": "file", "path": game})
    refused(t, t.args(repo=other), "another repository file naming the same installation",
            [game, f"already running (pid {first.pid})"])
    check(not any("second" in " ".join(r) for r in t.log()),
          "the second repository file's run sent no request")
    stop(first, signal.SIGINT)
    # A holder whose taker has gone (a process it started keeps the lock).
    st = os.stat(game)
    keeper = subprocess.Popen(
        [sys.executable, "-c", "import fcntl, os, sys, time\n"
         "fd = os.open(sys.argv[1], os.O_RDWR); fcntl.flock(fd, fcntl.LOCK_EX)\n"
         "os.ftruncate(fd, 0); os.write(fd, b'%d\\n' % os.getpid())\n"
         "child = os.fork()\nif child == 0:\n    os.close(1); time.sleep(30); os._exit(0)\n"
         "print(os.getpid(), child)",
         os.path.join(pwd.getpwuid(os.geteuid()).pw_dir, ".local/state/keelson/locks",
                      f"{st.st_dev:x}-{st.st_ino:x}.lock")], stdout=subprocess.PIPE, text=True)
    gone, child = keeper.communicate(timeout=10)[0].split()
    refused(t, t.args(repo=repo), "an installation held by a process whose taker has gone",
            [game, f"already running (pid {gone}, which is no longer running"])
    os.kill(int(child), signal.SIGKILL)
    others_rows(t, repo)
    changeable_rows(t)


def changeable_rows(t):
    """Folders user 65534 may change entries in: a non-sticky group folder
    root:games 2775 that 65534 writes through group games (holding the
    installation, or only the pending storage), and 65534's own directory
    at the installation path in a sticky folder. Each is refused at start,
    naming the folder, its owner and mode and what to do, with no request
    sent."""
    group = t.path("groupfolder")
    os.makedirs(group)
    os.chown(group, 0, GAMES)
    os.chmod(group, 0o2775)
    planted = subprocess.run(["setpriv", f"--reuid={NOBODY}", f"--regid={NOBODY}",
                              f"--groups={GAMES}", "touch", os.path.join(group, "planted")],
                             capture_output=True, timeout=30)
    check(planted.returncode == 0, f"user {NOBODY} writes in the group folder ({planted})")
    sticky = t.path("sticky-folder")
    os.makedirs(sticky)
    os.chmod(sticky, 0o1777)
    check(as_nobody("mkdir", "-m", "0755", os.path.join(sticky, "game")).returncode == 0,
          f"user {NOBODY} makes the installation directory in the sticky folder first")
    rows = [("group", group, group, ["owner root, group games, mode 2775",
                                     "its group games may write it", f"chmod g-w,o-w {group}",
                                     f"chmod +t {group}"]),
            ("sticky", sticky, os.path.join(sticky, "game"),
             ["the installation directory,", "owner nobody", "belongs to another user",
              "chown root", "run as nobody instead of root"])]
    # A pending storage in the group folder, the rest in root's own.
    own = t.path("changeable-own")
    os.makedirs(own)
    rows.append(("pending", own, group, ["on the way to the pending directory",
                                         f"chmod g-w,o-w {group}"]))
    for name, folder, refusing, words in rows:
        pending = None if name != "pending" else {
            "type": "filePiece", "path": os.path.join(group, "game.pending")}
        repo = t.write_repo(f"changeable-{name}.json", pending=pending,
                            alias=t.repo["alias"] + f"?{name}",
                            metafile=os.path.join(folder, "game.metafile.json"),
                            local={"type": "file", "path": os.path.join(folder, "game")})
        refused(t, t.args(repo=repo), f"a run through a folder of the {name} kind",
                [f"keelson: game: {refusing} (owner"] + words)
        check(not any(f"?{name}" in " ".join(r) for r in t.log()),
              f"the {name} folder's run sent no request")
    check(sorted(os.listdir(group)) == ["planted"] and
          os.listdir(os.path.join(sticky, "game")) == [],
          f"nothing is made in a refused folder ({os.listdir(group)})")


def others_rows(t, repo):
    """Root's runs where user 65534 reaches: an application file of theirs, a
    link of theirs above the installation or on the way to the application
    file, an ignore list of theirs or a FIFO in a sticky folder, the working directory renamed
    and replaced by their link once the run holds the installation."""
    os.chmod(t.root, 0o711)
    evil = t.path("evil-app.json")
    shutil.copy(t.path("app.json"), evil)
    os.chown(evil, NOBODY, NOBODY)
    os.chmod(evil, 0o666)
    refused(t, t.args(repo=repo, app=evil), "an application file of user 65534's, mode 0666",
            [evil, "the application file is refused: it is owned by uid 65534"],
            prefix="keelson: " + evil)
    os.chmod(evil, 0o644)
    refused(t, t.args(repo=repo, app=evil), "an application file of user 65534's, mode 0644",
            [evil, "the application file is refused: it is owned by uid 65534"],
            prefix="keelson: " + evil)
    above = t.path("above")
    os.makedirs(os.path.join(above, "alice"))
    os.mkdir(os.path.join(above, "rootonly"), 0o700)
    os.chown(os.path.join(above, "alice"), NOBODY, NOBODY)
    as_nobody("ln", "-s", "../rootonly", os.path.join(above, "alice", "games"))
    linked = t.write_repo("above.json", metafile=None, pending=None,
                          local={"type": "file", "path": os.path.join(above, "alice/games/game")})
    refused(t, t.args(repo=linked), "user 65534's link one level above the installation",
            [os.path.join(above, "alice/games") + ": a link on the way", "another user"])
    check(os.listdir(os.path.join(above, "rootonly")) == [],
          "nothing is made in root's directory the link leads to")
    shutil.copy(t.path("app.json"), above)
    via = os.path.join(above, "alice", "games", "..", "app.json")
    refused(t, t.args(repo=repo, app=via), "an application file reached through user 65534's "
            "directory and link", [via, "the application file is refused: ", "alice",
                                   "uid 65534"], prefix="keelson: " + via)
    # The storage's ignore list: user 65534's in a sticky folder, a FIFO there.
    sticky = t.path("sticky")
    os.mkdir(sticky)
    os.chmod(sticky, 0o1777)
    theirs, fifo = os.path.join(sticky, "ignore.json"), os.path.join(sticky, "fifo.json")
    as_nobody("sh", "-c", 'echo \'["dir0/a.bin"]\' > "$1"', "sh", theirs)
    os.mkfifo(fifo)
    for name, ignore, rule in [("ignored", theirs, "it is owned by uid 65534"),
                               ("fifo", fifo, "not a regular file")]:
        local = {"type": "file", "path": t.path(name, "game"), "ignore": ignore}
        refused(t, t.args(repo=t.write_apart(name, local=local)),
                f"the ignore file {os.path.basename(ignore)} in a sticky folder",
                [ignore, "the ignore file is refused: " + rule])
    shared = t.path("shared")
    os.makedirs(os.path.join(shared, "w"))
    os.chmod(shared, 0o777)
    relative = t.write_repo("renamed.json", metafile="game.metafile.json", pending=None,
                            local={"type": "file", "path": "game"}, remote=t.plain_remote())
    run = subprocess.Popen(t.args(repo=relative), env=t.env, cwd=os.path.join(shared, "w"),
                           stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    lock = os.path.join(shared, "w", "game.metafile.json.lock")
    wait_until(lambda: run.poll() is not None or (os.path.exists(lock) and os.path.getsize(lock)),
               seconds=30)
    moved = as_nobody("sh", "-c", 'mv "$1/w" "$1/moved" && mkdir "$1/elsewhere" && '
                      'ln -s elsewhere "$1/w"', "sh", shared)
    err = run.communicate(timeout=RUN_SECONDS)[1]
    saved = os.path.join(shared, "moved", "game.metafile.json")
    check(moved.returncode == 0 and run.poll() is not None and
          (run.returncode == 1 or
           (t.sha1_ok("v1", os.path.join(shared, "moved", "game")) and os.path.exists(saved))) and
          f"{shared}/w (owner root, group root, mode 0755), on the way" not in err and
          f"{shared} (owner root, group root, mode 0777), on the way to the installation" in err and
          os.listdir(os.path.join(shared, "elsewhere")) == [],
          f"a working directory in a folder open to all: refused at start naming the folder, "
          f"never the tree or its metafile in the link's directory ({moved.returncode}, "
          f"{run.returncode}: {err[-300:]!r}; there: "
          f"{os.listdir(os.path.join(shared, 'elsewhere'))})")


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


CASES = {"refusals": case_refusals, "progress": case_progress, "relative": case_relative,
         "pending": case_pending}


def main():
    a = e2e_args(CASES)
    if shutil.which("nginx") is None:
        return skipped("nginx is missing")
    # 1.25 MiB: a layout every loader reads (some 1 MiB ones end after their last pad).
    return on_tree(a.keelson, CASES[a.case], mib=1.25)


if __name__ == "__main__":
    sys.exit(main())
