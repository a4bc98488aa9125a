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
The failing runs use --retry-time=0, one after another. Exit status 0 when every check passed.
"""
import argparse
import os
import shutil
import subprocess
import sys

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from sync_e2e import check, exit1_line, on_tree, skipped  # noqa: E402


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


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--keelson", required=True)
    a = ap.parse_args()
    if shutil.which("nginx") is None:
        return skipped("nginx is missing")
    return on_tree(a.keelson, case_documents, mib=1)


if __name__ == "__main__":
    sys.exit(main())
