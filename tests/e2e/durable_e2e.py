#!/usr/bin/python3
"""The local metafile's save where another local user can reach, end to end
with `keelson sync` as root against nginx (tests/e2e/sync_e2e.py's tree).
One case per run:

  durable_e2e.py CASE --keelson PATH

  linkplant  user 65534 owns the directory that holds the metafile and
             plants links to a root-owned file at the names a save could
             write through; root's sync is refused at start in one line
             naming that folder, the file and the folder unchanged
  metaplant  the metafile and the installation sit in a sticky (1777)
             folder where user 65534 plants the metafile's name first (0666),
             then, after v1, a plain metafile of its own that lists root's
             0600 file in the installation: each run says in one warning line
             that the metafile is not trusted and ends 0 with its version,
             the metafile root's and writable by root alone, root's file
             untouched; then a staging run ("inplace": false) in a folder
             of root's: user 65534 reads no byte of any piece it stages

Needs root and setpriv; without them the case is skipped (exit status
sync_e2e.SKIP_CODE). Every wait is bounded. Exit status 0 when every check
passed.
"""
import json
import os
import shutil
import stat
import sys

import sync_e2e
from sync_e2e import NOBODY, as_nobody, check, snapshot

# The name the metafile used to be written under first, and names a guess
# at a temporary file would try.
PLANTED = (".tmp", ".tmp.000000", ".new", "~")


def case_linkplant(t):
    # The other user reaches the tree's directory and owns the metafile's.
    os.chmod(t.root, 0o711)
    state = t.path("state")
    os.mkdir(state, 0o755)
    os.chown(state, NOBODY, NOBODY)
    victim = t.path("victim.conf")
    with open(victim, "w") as f:
        f.write("root's own file\n")
    os.chmod(victim, 0o644)
    before = snapshot(victim)
    metafile = os.path.join(state, "game.metafile.json")
    repo = t.write_repo("repo-state.json", metafile=metafile)
    links = [metafile + suffix for suffix in PLANTED]
    for link in links:
        as_nobody("ln", "-s", victim, link)
    planted = [os.path.islink(n) and os.lstat(n).st_uid == NOBODY for n in links]
    check(all(planted), f"user {NOBODY} planted {len(links)} links to the victim ({planted})")

    t.start()
    # A folder another user owns is refused at start: nothing is saved
    # there, through a link or otherwise.
    t.alias("v1")
    code, out, err = t.run(repo=repo)
    lines = [line for line in err.splitlines() if line.startswith("keelson: ")]
    check(code == 1 and len(lines) == 1 and
          f"{state} (owner nobody, group nogroup, mode 0755)" in lines[0] and
          "belongs to another user" in lines[0],
          f"root's sync is refused at start naming user {NOBODY}'s folder ({code}: {err[-300:]})")
    check(snapshot(victim) == before, "the victim is unchanged")
    check(sorted(os.listdir(state)) == sorted(os.path.basename(n) for n in links),
          f"nothing is written in user {NOBODY}'s folder ({os.listdir(state)})")
    check(all(os.path.islink(n) and os.readlink(n) == victim for n in links),
          "the planted links are left as they were")


def case_metaplant(t):
    os.chmod(t.root, 0o711)
    shared = t.path("shared")
    os.mkdir(shared)
    os.chmod(shared, 0o1777)
    metafile = os.path.join(shared, "game.metafile.json")
    install = os.path.join(shared, "game")
    repo = t.write_repo("repo-shared.json", metafile=metafile,
                        local={"type": "file", "path": install})
    own = os.path.join(install, "own.key")
    plants = [("an empty file", ""),
              ("a plain metafile listing root's file",
               json.dumps({"id": "v0", "files": [{"name": "own.key", "size": 16}]}))]
    t.start()
    for version, (what, text) in zip(("v1", "v2"), plants):
        if os.path.exists(metafile):
            os.unlink(metafile)
        p = as_nobody("sh", "-c", 'umask 0; printf %s "$2" > "$1"', "-", metafile, text)
        check(p.returncode == 0 and os.lstat(metafile).st_uid == NOBODY,
              f"{version}: user {NOBODY} plants {what} at the metafile's name")
        t.alias(version)
        code, out, err = t.run(repo=repo)
        check(code == 0 and t.sha1_ok(version, install),
              f"{version}: root's sync ends 0 with {version} ({code}: {err[-300:]})")
        said = [l for l in err.splitlines() if l.startswith("keelson: warning: ")]
        check(len(said) == 1 and f"{metafile}: the local metafile is another user's (user "
              f"{NOBODY}, mode 666): not trusted" in said[0],
              f"{version}: one warning line names the metafile and the rule ({said})")
        st = os.lstat(metafile)
        check(stat.S_ISREG(st.st_mode) and st.st_uid == 0 and st.st_mode & 0o022 == 0,
              f"{version}: the metafile is root's, writable by root alone "
              f"({st.st_uid}, {st.st_mode:o})")
        if version == "v1":
            with open(own, "w") as f:
                f.write("root's own key\n")
            os.chmod(own, 0o600)
            before = snapshot(own)
    check(os.path.exists(own) and snapshot(own) == before,
          "root's own file in the installation is untouched")
    # A staging run back to v1 ("inplace": false) in a folder of root's
    # 0755: user 65534 reads no byte of any piece it stages.
    code, out, err = t.run(repo=t.write_apart("staged"))
    check(code == 0, f"v2 apart: root's sync ends 0 ({code}: {err[-300:]})")
    pending = t.path("staged", "game.pending")
    t.alias("v1")
    code, out, err = t.run(repo=t.write_apart("staged", inplace=False))
    pieces = [os.path.join(top, n) for top, _, names in os.walk(pending) for n in names]
    reader = ("import sys\nn = 0\nfor p in sys.argv[1:]:\n  try:\n"
              "    n += len(open(p, 'rb').read())\n  except OSError:\n    pass\nprint(n)")
    p = as_nobody(sys.executable, "-c", reader, *pieces)
    check(code == 0 and pieces and p.stdout.decode().strip() == "0",
          f"a staging run stages {len(pieces)} pieces, user {NOBODY} reads "
          f"{p.stdout.decode().strip()} bytes of them ({code}: {err[-300:]})")


def main():
    a = sync_e2e.e2e_args(["linkplant", "metaplant"])
    if shutil.which("nginx") is None or shutil.which("setpriv") is None or os.geteuid() != 0:
        return sync_e2e.skipped("needs nginx, setpriv and root")
    return sync_e2e.on_tree(a.keelson, {"linkplant": case_linkplant,
                                        "metaplant": case_metaplant}[a.case])


if __name__ == "__main__":
    sys.exit(main())
