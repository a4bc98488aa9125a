#!/usr/bin/python3
"""`keelson sync` end to end: the documents of a version are bound to each
other and to their own validity, and what the metafile marks as a program
can be run. On a tree of tests/e2e/make_tree.py served by nginx over HTTPS:

  documents_e2e.py --keelson PATH

v1 is installed, its bin/tool (marked "mode" 0755) is run, then three
runs toward v2 must each fail with exit 1 and leave v1 as it was:
  - v1's signed catalog served at v2's catalog URL;
  - v1's signed metafile served at v2's metafile URL;
  - a v2 catalog whose "exp" has passed.
The failing runs use --retry-time=0, one after another.

Then metafiles a publisher signed that must not install, each refused at
load (exit 1, 976, the entry named, no retry line) with nothing written:
  - links that loop, at the default retry time;
  - a link chain whose second link leaves the root once the first exists;
  - one name listed twice (spelt with '/' and '\\');
  - a piece size of 2^63 - 1 (under the sanitizers: no report either);
  - names the storage cannot make: a control character, a component or a
    path under the installation too long once the partial extension is
    appended, and (files written under their final names) a directory
    named like the aside tree of a name that changes type;
and a local metafile saved with a "mode" that does not parse counts as
absent: the next run keeps every (whole) file and fetches nothing.
Exit status 0 when every check passed.
"""
import base64
import os
import shutil
import subprocess
import sys

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from sync_e2e import check, e2e_args, exit1_line, on_tree, signed_payload, skipped  # noqa: E402
from make_tree import Signer  # noqa: E402


def case_documents(t):
    """v1 installs and its program runs; the three refusals leave it whole."""
    t.start()
    code, out, err = t.run()
    check(code == 0 and t.sha1_ok("v1"), f"v1 installs ({code}: {err[-300:]})")
    tool = os.path.join(t.installed(), "bin", "tool")
    p = subprocess.run(["./bin/tool", "--version"], cwd=t.installed(),
                       capture_output=True, text=True, timeout=30)
    check(p.returncode == 0 and p.stdout.strip() == "tool v1",
          f"the installed 0755 program runs ({p.returncode}: {p.stdout!r} {p.stderr!r})")
    check(os.stat(tool).st_mode & 0o777 == 0o755, "bin/tool is 0755")

    base = f"https://127.0.0.1:{t.port}"
    t.alias("v2")
    # v1's catalog where v2's is looked for (the catalog for updating
    # from v1 is missing there, so the generic one is read).
    mixed = t.path("www", "mixed", "v2", "catalog.json")
    os.makedirs(os.path.dirname(mixed))
    shutil.copy(t.path("www", "catalog", "v1", "catalog.json"), mixed)
    catalog_repo = t.write_repo("repo-mixed.json", catalog=base + "/mixed/")
    # v1's metafile where v2's catalog points.
    shutil.copy(t.path("www", "meta", "v1.json"), t.path("www", "meta", "v2.json"))
    expired_repo = t.write_repo("repo-expired.json", catalog=base + "/expired/")
    rows = [("v1's catalog at v2's URL", {"repo": catalog_repo},
             f"catalog {base}/mixed/", "catalog id v1, expected v2 (976)"),
            ("v1's metafile at v2's URL", {},
             f"metafile {base}/meta/v2.json", "metafile id v1, expected v2 (976)"),
            ("a catalog whose exp has passed", {"repo": expired_repo},
             f"catalog {base}/expired/", "(987)")]
    # One after another: a sync holds its installation.
    results = [exit1_line(t, row[1]) for row in rows]
    for (what, _, needle, ids), (code, lines, _) in zip(rows, results):
        last = lines[-1] if lines else ""
        check(code == 1 and needle in last and ids in last,
              f"{what}: exit 1 with the line naming it ({code}: {lines})")
    check(t.sha1_ok("v1") and not t.partials(), "v1 is intact after the refusals")


REFUSED = {
    "chain": ([{"name": "a1/a2/a3/a4/a5/l1", "size": 0, "attr": 8, "link": "../../../../.."},
               {"name": "a1/a2/a3/a4/a5/l2", "size": 0, "attr": 8,
                "link": "l1/../../../../outside/victim"}],
              {"size": 16, "digests": []}, "link a1/a2/a3/a4/a5/l2 leaves the root"),
    # Run at the default retry time: a refusal is never retried.
    "loop": ([{"name": "l1", "size": 0, "attr": 8, "link": "l2"},
              {"name": "l2", "size": 0, "attr": 8, "link": "l1"}],
             {"size": 16, "digests": []}, "link l1 loops (more than "),
    "twice": ([{"name": "bin/tool", "size": 0}, {"name": "bin\\tool", "size": 0}],
              {"size": 16, "digests": []}, "file bin/tool listed twice"),
    "piece": ([{"name": "a", "size": 1}],
              {"size": (1 << 63) - 1, "digests": ["2jmj7l5rSw0yVb/vlWAYkK/YBwk="]},
              "piece size 9223372036854775807 outside 1 to 268435456"),
    "control": ([{"name": "a\x1bb", "size": 0}], {"size": 16, "digests": []},
                "file a\\x1bb: the name holds a control character"),
    "long": ([{"name": "d/" + "a" * 243, "size": 0}], {"size": 16, "digests": []},
             "(245 bytes): a component of 243 bytes, with \".varnopartial\" appended, passes "
             "the 255 bytes"),
    # Files under their final names: the aside trees keep the default suffix.
    "noextension": ([{"name": "x.varnopartial/inner", "size": 0}], {"size": 16, "digests": []},
                    "file x.varnopartial/inner: a component of the name ends in "
                    "\".varnopartial\"", {"partialExtension": ""}),
    "deep": ([{"name": "/".join(["d" * 200] * 20 + ["e" * 50]), "size": 0}],
             {"size": 16, "digests": []},
             "(4070 bytes): its path under {own}/game, with \".varnopartial\" appended"),
}


class Publisher:
    """Documents of versions signed by a key of the test's own, under
    www/refused/, and the application file that trusts that key."""

    def __init__(self, t):
        self.t, self.signer = t, Signer()
        self.base = t.base
        self.app = t.write_app("app-refused.json", keyStores={
            "content": base64.b64encode(self.signer.public_der()).decode()})
        with open(t.path("www", "catalog", "v1", "catalog.json")) as f:
            self.config = signed_payload(f.read())["config"]

    def write(self, path, doc):
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "w") as f:
            f.write(self.signer.sign(doc))

    def publish(self, vid, metafile, local=None, url=None):
        """The version's alias, catalog and metafile; a repository file of
        its own installation for it (local: keys added to its "local"; url:
        the catalog's "metafile" in place of its URL)."""
        t, base = self.t, self.base
        self.write(t.path("www", "refused", "aliases", vid + ".json"), {"game": vid})
        self.write(t.path("www", "refused", "catalog", vid, "catalog.json"),
                   {"id": vid, "metafile": url or f"{base}/refused/meta/{vid}.json",
                    "config": self.config})
        self.write(t.path("www", "refused", "meta", vid + ".json"), metafile)
        own = t.path("refused-" + vid)
        return t.write_apart("refused-" + vid, alias=f"{base}/refused/aliases/{vid}.json",
                             catalog=f"{base}/refused/catalog/",
                             local=dict(t.apart(own)["local"], **(local or {})))

    def run(self, repo, retry=("--retry-time=0",)):
        return subprocess.run(self.t.args(*retry, repo=repo, app=self.app),
                              env=self.t.env, capture_output=True, text=True, timeout=120)


def case_refused_metafiles(t, publisher):
    """Signed metafiles that must not install: each run ends with exit 1 and
    the line naming the entry, and writes nothing."""
    base = publisher.base
    for vid, (files, pieces, words, *local) in REFUSED.items():
        repo = publisher.publish(vid, {"id": vid, "files": files, "pieces": pieces}, *local)
        own = t.path("refused-" + vid)
        words = words.replace("{own}", own)
        p = publisher.run(repo, () if vid == "loop" else ("--retry-time=0",))
        lines = [line for line in p.stderr.splitlines() if line.startswith("keelson: game: ")]
        last = lines[-1] if lines else ""
        check(p.returncode == 1 and f"metafile {base}/refused/meta/{vid}.json: " in last
              and words in last and last.endswith("(976)") and len(lines) == 1,
              f"{vid}: exit 1 with the line naming it ({p.returncode}: {lines})")
        check("runtime error" not in p.stderr and "Sanitizer" not in p.stderr,
              f"{vid}: no sanitizer report")
        written = [os.path.join(d, n) for d, dirs, names in os.walk(own) for n in names + dirs
                   if n != "game.metafile.json.lock"]  # the run's own lock stays
        check(not written, f"{vid}: nothing written ({written})")


def case_local_refused(t, publisher):
    """v1's local metafile as an earlier build could save it, with a "mode"
    that does not parse: refused, it counts as absent (the repository tests
    show the state), and nothing is lost: the run checks every file, keeps
    them (they are whole), fetches nothing and saves v1's metafile anew."""
    with open(t.path("www", "meta", "v1.json")) as f:
        v1 = signed_payload(f.read())
    repo = publisher.publish("v1", v1)
    p = publisher.run(repo)
    own = t.path("refused-v1")
    game = os.path.join(own, "game")
    check(p.returncode == 0 and t.sha1_ok("v1", game),
          f"v1 installs from the test's own documents ({p.returncode}: {p.stderr[-300:]})")
    local = os.path.join(own, "game.metafile.json")
    bad = dict(v1, files=[dict(v1["files"][0], mode="rwxr-xr-x")] + v1["files"][1:])
    with open(local, "w") as f:
        f.write(publisher.signer.sign(bad))
    t.clear_log()
    p = publisher.run(repo)
    fetched = [r for r in t.log() if "/pieces/" in r[2]]
    check(p.returncode == 0 and t.sha1_ok("v1", game) and ", 0 repaired" in p.stdout
          and not fetched,
          f"a refused local metafile: every file kept, none fetched ({p.returncode}: "
          f"{p.stdout!r} {len(fetched)} pieces {p.stderr[-300:]})")
    with open(local) as f:
        check("rwxr-xr-x" not in f.read(), "v1's metafile is saved anew")


def case_catalog_urls(t, publisher):
    """A signed catalog's "metafile" without a scheme is read as http with
    one warning naming the catalog and the member; a relative one is
    warned of as what it is: URLs in documents are absolute."""
    host = t.base.split("://", 1)[1]
    for vid, url, words in (
            ("relative", "../meta/relative.json",
             'catalog relative: "metafile": "../meta/relative.json" is a relative URL; URLs in '
             "signed documents are absolute"),
            ("bare", f"{host}/refused/meta/bare.json",
             f'catalog bare: "metafile": "{host}/refused/meta/bare.json" has no scheme; read as '
             f"http://{host}/refused/meta/bare.json")):
        repo = publisher.publish(vid, {"id": vid, "files": [], "pieces": {"size": 16,
                                                                          "digests": []}},
                                 url=url)
        p = publisher.run(repo)
        warned = [line for line in p.stderr.splitlines() if line.startswith("keelson: warning: ")]
        check(p.returncode == 1 and warned == ["keelson: warning: game: " + words +
                                               (" (the publisher should write the scheme)"
                                                if vid == "bare" else
                                                " (http://host/path): the publisher must write "
                                                "it whole")],
              f"a {vid} metafile URL: one warning naming it ({p.returncode}: {p.stderr[-400:]})")


def case_all(t):
    case_documents(t)
    publisher = Publisher(t)
    case_catalog_urls(t, publisher)
    case_refused_metafiles(t, publisher)
    case_local_refused(t, publisher)


def main():
    a = e2e_args()
    if shutil.which("nginx") is None:
        return skipped("nginx is missing")
    return on_tree(a.keelson, case_all, mib=1)


if __name__ == "__main__":
    sys.exit(main())
