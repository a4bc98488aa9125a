#!/usr/bin/python3
"""`keelson sync` against the servers users have, with the server and the
client pinned to one CPU: a tree of tests/e2e/make_tree.py synced from empty,
updated and repaired (every file checked with `sha1sum -c`), the summary's
"fetched" figure equal to the body bytes (pieces and documents) the server logged
as sent.
One case per run:

  field_e2e.py CASE --keelson PATH [--developer 0|1]

  keepalive    nginx over HTTPS with keep-alive
  close        nginx over HTTPS with keepalive_timeout 0
  httpserver   python3 -m http.server (HTTP/1.0, a close after every answer)
  documents    tests/e2e/faulty_server.py failing the alias, catalog and
               metafile once with each fault, spread over the three runs
  pieces       the same server failing one piece with each fault
  longrun      the same server answering every piece slowly (about 25 s in
               all) and one piece 503 at 16 s, with --retry-time=20: the
               retry time counts that piece's delays, not from the start;
               32 pieces answered 503 once: every first request before any
               second (a piece waiting for its retry holds no slot); one
               piece failing on and on: the run ends at its second failure
  deadlines    a trickled header, a trickled body and endless 1xx answers
               with --retry-time=0: exit 1 in time, the CPU idle meanwhile
  drops        the same server closing every connection after its answer
               without saying so, the alias and the pieces behind a redirect:
               each request a dropped connection lost goes again on a fresh one
  shapes       signed documents padded with white space, white space only, a
               byte outside the token: exit 1 at once, the padding unfetched;
               a metafile cut under its Content-Length: fetched once more; the
               alias and a piece behind a 302 whose page never ends: the page
               read to its bound, counted in "fetched", the target then fetched

Each fault met costs one retry: exactly one more request for its URL, one
retry line, and at most the policy's delay (15 s, then 30 s) plus the time a
trickle takes to be found out.
Every wait is bounded. Exit status 0 when every check passed.
"""
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
from sync_e2e import (check, e2e_args, last_line, on_tree, sanitizer_report, skip,  # noqa: E402
                      skipped, wait_until)

# The error policy's delays of an item's first and second retry.
RETRY_DELAYS = (15, 30)
# The connection's deadlines at the default 15 s time-out: the whole header,
# and the window over which a body must bring 1 kB/s.
HEADER_DEADLINE = 60
RATE_WINDOW = 30
# What a run takes beyond its faults' retries and deadlines: a retry's
# delay is a time, so the bound is one, wide enough for a sanitizer build on
# a busy two-core machine.
SLACK = 20
RUN_SECONDS = 300
CLOCK_TICKS = os.sysconf("SC_CLK_TCK")
# A document's or a piece's cost beyond its retries: a trickle is found out
# by the rate window.
FAULT_EXTRA = {"trickle": RATE_WINDOW}


def pin():
    """taskset for the allowed CPU that was idlest over a tenth of a second,
    so that a case does not land on a CPU other jobs keep busy. Under
    scripts/test.sh --busy (KEELSON_BUSY=1) the run already has its two
    CPUs and its hogs: no pin. Without taskset the case runs unpinned,
    which is not what it is for: a skip."""
    if os.environ.get("KEELSON_BUSY") == "1":
        return []
    if shutil.which("taskset") is None:
        skip("taskset is missing: server and client ran unpinned")
        return []

    def idle():
        with open("/proc/stat") as f:
            return {int(w[0][3:]): int(w[4]) + int(w[5]) for w in map(str.split, f)
                    if w[0].startswith("cpu") and w[0] != "cpu"}
    before = idle()
    time.sleep(0.1)
    after = idle()
    cpu = max(sorted(os.sched_getaffinity(0)),
              key=lambda c: after.get(c, 0) - before.get(c, 0))
    return ["taskset", "-c", str(cpu)]


class Server:
    """One of the servers under test on the tree's port, with a reading of
    its log per run: (path, body bytes sent, fault, status) for each answer."""

    def __init__(self, t, kind):
        self.t, self.kind = t, kind
        self.log_path = t.path("access.log" if kind in ("keepalive", "close") else kind + ".log")
        self.offset = 0

    def start(self, plan=None):
        t = self.t
        open(self.log_path, "a").close()
        self.offset = os.path.getsize(self.log_path)
        if self.kind in ("keepalive", "close"):
            conf = t.path("nginx.conf")
            if self.kind == "close":
                with open(conf) as f:
                    text = f.read()
                conf = t.path("nginx-close.conf")
                with open(conf, "w") as f:
                    f.write(text.replace("keepalive_requests 100000;", "keepalive_timeout 0;"))
            t.start(os.path.basename(conf))
            return
        if self.kind == "httpserver":
            with open(self.log_path, "a") as log:
                t.serve([sys.executable, "-m", "http.server", "--bind", "127.0.0.1",
                         "--directory", t.path("www"), str(t.port)], stderr=log)
            return
        plan_path = t.path("plan.json")
        with open(plan_path, "w") as f:
            json.dump(plan or {}, f)
        t.serve([sys.executable, os.path.join(HERE, "faulty_server.py"), t.path("www"),
                 str(t.port), plan_path, self.log_path])

    def sync(self, plan, *args, repo=None):
        """One sync against a fresh start of the server with plan: the run,
        its seconds and the answers logged."""
        self.start(plan)
        started = time.monotonic()
        p = subprocess.run(self.t.args(*args, repo=repo), env=self.t.env, capture_output=True,
                           text=True, timeout=RUN_SECONDS)
        seconds = time.monotonic() - started
        if self.kind in ("keepalive", "close"):
            # Stopped, nginx has logged every answer it gave.
            self.t.stop()
            return p, seconds, self.answers()
        # http.server logs an answer before its body, faulty_server.py before
        # its last bytes, but a fault that lasts until the peer goes (a
        # trickle) once it found the peer gone, which a stopped server no
        # longer does: wait for each planned fault's line, then stop it.
        answers = []

        def planned_logged():
            answers[:] = self.answers()
            return all(sum(1 for a in answers if a[0] == path and a[2] == fault) >=
                       faults.count(fault)
                       for path, faults in plan.items() if not path.startswith("*")
                       for fault in faults)
        wait_until(planned_logged, seconds=HEADER_DEADLINE)
        self.t.stop()
        return p, seconds, answers

    def answers(self):
        """The answers logged since the last start."""
        with open(self.log_path, errors="replace") as f:
            f.seek(self.offset)
            lines = f.read().splitlines()
        out = []
        for line in lines:
            if self.kind in ("keepalive", "close"):
                # "$status $body_bytes_sent $request_uri $http_cache_control"
                parts = line.split()
                if len(parts) == 4:
                    out.append((parts[2], int(parts[1]), None, int(parts[0])))
            elif self.kind == "httpserver":  # '... "GET /path HTTP/1.1" 200 -'
                m = re.search(r'"GET (\S+) HTTP/[\d.]+" (\d+)', line)
                if m:
                    path = m.group(1)
                    name = self.t.path("www", path.lstrip("/"))
                    sent = os.path.getsize(name) if m.group(2) == "200" else not_found_bytes()
                    out.append((path, sent, None, int(m.group(2))))
            else:  # "<path> <status> <sent> <fault>"
                path, status, sent, fault = line.split()
                out.append((path, int(sent), None if fault == "-" else fault, int(status)))
        return out


def not_found_bytes():
    """The length of http.server's 404 page, which it does not log."""
    import html
    import http.server
    explain = http.server.BaseHTTPRequestHandler.responses[404][1]
    page = http.server.DEFAULT_ERROR_MESSAGE % {
        "code": 404, "message": html.escape("File not found", quote=False),
        "explain": html.escape(explain, quote=False)}
    return len(page.encode("UTF-8", "replace"))


def fault_cost(faults):
    """The longest one planned item may take: its retries and what finding
    out its faults takes."""
    return sum(RETRY_DELAYS[min(i, 1)] + FAULT_EXTRA.get(f, 0) for i, f in enumerate(faults))


def sync_run(t, server, what, version, plan=None):
    """One sync against a fresh start of the server; checks the result,
    each fault's single retry, the time taken and the fetched figure."""
    plan = plan or {}
    p, seconds, answers = server.sync(plan)
    check(p.returncode == 0 and t.sha1_ok(version),
          f"{server.kind}: {what} exits 0 and sha1sum -c passes ({p.returncode}: "
          f"{p.stderr[-600:]!r})")
    for path, faults in plan.items():
        met = [a for a in answers if a[0] == path]
        got = [a[2] for a in met]
        check(got == list(faults) + [None],
              f"{server.kind}: {what}: {path} is asked for once after each of {faults} ({got})")
    retries = [line for line in p.stderr.splitlines() if "; retrying in " in line]
    planned = sum(len(f) for f in plan.values())
    check(len(retries) == planned,
          f"{server.kind}: {what}: one retry line per fault ({len(retries)} of {planned}: "
          f"{retries})")
    documents = [f for path, f in plan.items() if "/pieces/" not in path]
    pieces = [f for path, f in plan.items() if "/pieces/" in path]
    bound = sum(fault_cost(f) for f in documents) + max(map(fault_cost, pieces), default=0)
    check(seconds <= bound + SLACK,
          f"{server.kind}: {what} takes {seconds:.1f} s, at most {bound} + {SLACK} s")
    m = re.search(r"([\d.]+) (B|KiB|MiB|GiB) fetched", p.stdout)
    # Pieces (their error pages too) and documents (a document's error page
    # is not taken).
    sent = sum(a[1] for a in answers if "/pieces/" in a[0] or a[3] == 200)
    unit = 1024 ** ["B", "KiB", "MiB", "GiB"].index(m.group(2)) if m else 0
    # The summary gives one decimal of its unit.
    check(m is not None and abs(float(m.group(1)) * unit - sent) <= (0.05 * unit + 1 if unit > 1 else 0),
          f"{server.kind}: {what}: {m.group(0) if m else '?'}, the server sent "
          f"{sent} body bytes")
    return answers


def pieces_of(t, version):
    with open(t.path("pieces.txt")) as f:
        return [f"/pieces/{v}/{d}.varnopiece" for v, d, _ in (line.split() for line in f)
                if v == version]


def case_sync(t, kind, plans=({}, {}, {})):
    server = Server(t, kind)
    sync_run(t, server, "empty to v1", "v1", plans[0])
    t.alias("v2")
    sync_run(t, server, "v1 to v2", "v2", plans[1])
    t.damage("v2")
    answers = sync_run(t, server, "the repair", "v2", plans[2])
    total = len(pieces_of(t, "v2"))
    fetched = [a for a in answers if "/pieces/" in a[0] and a[2] is None]
    check(0 < len(fetched) < total,
          f"{kind}: the repair fetches {len(fetched)} of {total} piece files")


def case_documents(t):
    # From empty: no local id, so the generic catalog; the update asks for
    # the catalog of v1 to v2.
    plans = ({"/alias.json": ["drop-head"], "/catalog/v1/catalog.json": ["reset"],
              "/meta/v1.json": ["500", "503"]},
             {"/alias.json": ["drop-mid"], "/catalog/v2/v1/catalog.json": ["short"],
              "/meta/v2.json": ["trickle"]},
             {})
    case_sync(t, "documents", plans)


def case_pieces(t):
    names = pieces_of(t, "v1")
    faults = (["drop-head"], ["drop-mid"], ["reset"], ["short"], ["trickle"], ["500", "503"])
    plan = {names[1 + i]: f for i, f in enumerate(faults)}
    case_sync(t, "pieces", (plan, {}, {}))


def case_drops(t):
    """Redirects are answers on a connection too: a request the server's
    silent close lost after one is sent again, so the run needs no retry."""
    plan = {"*drop-each": True, "*redirect": "/r/"}
    base = t.base
    remote = dict(t.repo.get("remote") or {"type": "httpPiece", "flags": "vcdiff"},
                  baseUrl=base + "/r/pieces/")
    repo = t.write_repo("repo-drops.json", alias=base + "/r/alias.json", remote=remote)
    with open(t.path("credentials.json")) as f:
        answers = json.load(f)
    answers.append(dict(answers[0], host=remote["baseUrl"]))
    credentials = t.path("credentials-drops.json")
    with open(credentials, "w") as f:
        json.dump(answers, f)
    os.chmod(credentials, 0o600)
    server = Server(t, "documents")
    server.start(plan)
    p = subprocess.run(t.args(repo=repo, credentials=credentials), env=t.env,
                       capture_output=True, text=True, timeout=RUN_SECONDS)
    t.stop()
    answers = server.answers()
    retries = [line for line in p.stderr.splitlines() if "; retrying in " in line]
    check(p.returncode == 0 and t.sha1_ok("v1") and not retries,
          f"drops: exit 0, sha1sum -c passes, no retry line ({p.returncode}: {retries[:2]} "
          f"{p.stderr[-300:]!r})")
    redirected = [a for a in answers if a[3] == 302]
    check(any(a[0] == "/r/alias.json" for a in redirected) and
          any(a[0].startswith("/r/pieces/") for a in redirected),
          f"drops: the alias and pieces were redirected ({len(redirected)} redirects)")


def case_longrun(t):
    """A run longer than its retry time whose one fault comes late: the
    retry falls due 15 s after the failure, well within 20 s of it, though
    past 20 s of the start."""
    pieces = len(pieces_of(t, "v1"))
    p, _, answers = Server(t, "longrun").sync({"*pause": round(25 / pieces, 2), "*503-after": 16},
                                              "--retry-time=20")
    check(p.returncode == 0 and t.sha1_ok("v1"),
          f"longrun: exits 0 and sha1sum -c passes ({p.returncode}: {p.stderr[-600:]!r})")
    failed = [a for a in answers if a[2] == "503"]
    retried = [a for a in answers if failed and a[0] == failed[0][0] and a[2] is None]
    retries = [line for line in p.stderr.splitlines() if "; retrying in " in line]
    check(len(failed) == 1 and len(retried) == 1 and len(retries) == 1,
          f"longrun: one 503, one retry line, the piece asked for once more "
          f"({failed}, {retried}, {retries})")
    # 32 pieces answered 503 once: none waits for its retry on a request
    # slot, so every first request comes before any second one.
    names = pieces_of(t, "v1")[:32]
    p, _, answers = Server(t, "longrun").sync({n: ["503"] for n in names}, "--retry-time=20",
                                              repo=t.write_apart("many503"))
    order = [a[2] for a in answers if a[0] in names]
    retries = [line for line in p.stderr.splitlines() if "; retrying in " in line]
    check(p.returncode == 0 and t.sha1_ok("v1", t.path("many503", "game")) and
          len(names) == 32 and order == ["503"] * 32 + [None] * 32 and len(retries) == 32,
          f"32 pieces answered 503 once: exit 0, all 32 first requests before any second "
          f"({p.returncode}, {order}, {len(retries)} retry lines)")
    # One piece that fails on and on: its second retry (15 s, then 30 s)
    # would pass its window of 20 s, and the run ends at its second failure.
    p, _, answers = Server(t, "longrun").sync({names[0]: ["503"] * 3}, "--retry-time=20",
                                              repo=t.write_apart("down503"))
    asked = [a[2] for a in answers if a[0] == names[0]]
    retries = [line for line in p.stderr.splitlines() if "; retrying in " in line]
    check(p.returncode == 1 and asked == ["503", "503"] and len(retries) == 1 and
          names[0] in last_line(p.stderr),
          f"a piece that keeps failing: exit 1 at its second failure, one retry line "
          f"({p.returncode}, {asked}, {retries}, {last_line(p.stderr)!r})")
    # The metafile answered 503, then its retry's header trickled without
    # end: once nothing has come for the retry time after that retry the run
    # ends on the 503's line, not at the header's deadline.
    p, seconds, _ = Server(t, "longrun").sync({"/meta/v1.json": ["503", "head-trickle"]},
                                              "--retry-time=20", repo=t.write_apart("stall"))
    check(p.returncode == 1 and "(503)" in last_line(p.stderr) and
          seconds < RETRY_DELAYS[0] + HEADER_DEADLINE,
          f"a retry after which nothing comes: exit 1 on the 503's line before the header's "
          f"deadline ({p.returncode}, {seconds:.0f} s, {last_line(p.stderr)!r})")


def case_shapes(t):
    """Signed documents that are not a signed token alone: padded with white
    space (trickled, 8 MiB of it), white space only, a byte outside the
    token's alphabet before its second dot. Each run ends at once with the
    document named and the padding unfetched; a metafile cut short under a
    matching Content-Length is fetched once more and the run completes."""
    base = f"http://127.0.0.1:{t.port}"
    rows = [("alias", "/alias.json", "pad"), ("catalog", "/catalog/v1/catalog.json", "pad"),
            ("metafile", "/meta/v1.json", "pad"), ("alias", "/alias.json", "blank"),
            ("metafile", "/meta/v1.json", "badbyte")]
    server = Server(t, "shapes")
    for n, (item, path, fault) in enumerate(rows):
        p, _, answers = server.sync({path: [fault]}, repo=t.write_apart(f"shape{n}"))
        sent = [a[1] for a in answers if a[0] == path and a[2] == fault]
        what = f"a {fault} {item}"
        size = os.path.getsize(t.path("www", path.lstrip("/")))
        last = last_line(p.stderr)
        words = f"{item} {base}{path}: corrupt document"
        retries = [line for line in p.stderr.splitlines() if "; retrying in " in line]
        check(p.returncode == 1 and words in last and not retries,
              f"{what}: exit 1 naming it, no retry line ({p.returncode}, {last!r}, {retries})")
        # At once: the server sends the padding a KiB each 10 ms until the
        # peer goes, 8 MiB in 80 s; 256 KiB allows a busy machine 2.5 s to
        # close after the first blank.
        check(len(sent) == 1 and sent[0] < size + (256 << 10),
              f"{what}: the padding is not fetched ({sent} of {size} + 8 MiB bytes sent)")
        check(sanitizer_report(p.stderr) is None,
              f"{what}: no sanitizer report ({sanitizer_report(p.stderr)})")
    # The second answer ends in line ends, which the saved metafile drops.
    p, _, answers = server.sync({"/meta/v1.json": ["cut", "tail"]})
    asked = [a[2] for a in answers if a[0] == "/meta/v1.json"]
    check(p.returncode == 0 and t.sha1_ok("v1") and asked == ["cut", "tail"],
          f"a metafile cut short under its Content-Length: exit 0 after one more request "
          f"({p.returncode}, {asked}, {p.stderr[-300:]!r})")
    with open(t.repo["metafile"], "rb") as f:
        saved = f.read()
    check(saved and saved == saved.rstrip(), f"the saved metafile ends with its token ({saved[-8:]!r})")
    check(sanitizer_report(p.stderr) is None, "the cut metafile's run: no sanitizer report")
    # The alias and a piece behind a 302 whose page never ends: the page is
    # read up to its bound, the target then asked for on a new connection.
    redirected = {"/alias.json": ["redirect"], pieces_of(t, "v1")[0]: ["redirect"]}
    p, _, answers = server.sync(redirected, "--retry-time=0", repo=t.write_apart("redirected"))
    pages = [a[1] for a in answers if a[2] == "redirect"]
    check(p.returncode == 0 and t.sha1_ok("v1", t.path("redirected", "game")) and
          all(sorted(str(a[2]) for a in answers if a[0] == path) == ["None", "redirect"]
              for path in redirected),
          f"endless redirect pages: exit 0, each target asked for once ({p.returncode}, "
          f"{answers[:3]}, {p.stderr[-300:]!r})")
    check(len(pages) == 2 and max(pages) <= REDIRECT_PAGE + socket_buffers(),
          f"endless redirect pages: at most {REDIRECT_PAGE} bytes and the socket buffers "
          f"sent of each ({pages})")
    m = re.search(r"([\d.]+) (B|KiB|MiB|GiB) fetched", p.stdout)
    fetched = float(m.group(1)) * 1024 ** ["B", "KiB", "MiB", "GiB"].index(m.group(2)) if m else 0
    whole = sum(a[1] for a in answers if a[3] == 200)
    check(whole + 2 * REDIRECT_PAGE <= fetched * 1.05 and fetched <= (whole + sum(pages)) * 1.05,
          f"endless redirect pages: {m and m.group(0)} counts both pages' bytes read "
          f"({whole} + {pages})")


# A redirect's page is read this far; what the server sent beyond it sits in
# the two ends' socket buffers when the connection goes.
REDIRECT_PAGE = 64 << 10


def socket_buffers():
    sizes = []
    for name in ("tcp_wmem", "tcp_rmem"):
        with open(f"/proc/sys/net/ipv4/{name}") as f:
            sizes.append(int(f.read().split()[2]))
    return sum(sizes)


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rpartition(")")[2].split()
    return (int(fields[11]) + int(fields[12])) / CLOCK_TICKS


def case_deadlines(t):
    """Three syncs side by side, each with its alias on a server that never
    finishes it."""
    shutil.copy(t.path("www", "alias.json"), t.path("www", "alias-body.json"))
    base = f"http://127.0.0.1:{t.port}"
    rows = [("a trickled header", "/alias-head.json", "head-trickle", HEADER_DEADLINE, "961"),
            ("a trickled body", "/alias-body.json", "trickle", RATE_WINDOW, "961"),
            ("endless 1xx answers", "/alias-continue.json", "continue", 0, "986")]
    server = Server(t, "deadlines")
    server.start({path: [fault] for _, path, fault, _, _ in rows})
    runs = []
    for what, path, _, limit, _ in rows:
        repo = t.write_apart(f"client{path.replace('/', '-')}", alias=base + path)
        p = subprocess.Popen(t.args("--retry-time=0", repo=repo), env=t.env,
                             stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
        runs.append({"p": p, "limit": limit, "start": time.monotonic(), "samples": []})
    deadline = time.monotonic() + HEADER_DEADLINE + 3 * SLACK
    while time.monotonic() < deadline and any(r["p"].poll() is None for r in runs):
        for r in runs:
            if r["p"].poll() is None:
                try:
                    r["samples"].append((time.monotonic(), cpu_seconds(r["p"].pid)))
                except OSError:
                    pass
        time.sleep(0.5)
    t.stop()
    for (what, path, _, limit, code), r in zip(rows, runs):
        if r["p"].poll() is None:
            r["p"].kill()
        err = r["p"].communicate(timeout=30)[1]
        seconds = (r["samples"][-1][0] if r["samples"] else r["start"]) - r["start"]
        check(r["p"].returncode == 1 and f"alias {base}{path}: " in err and f"({code})\n" in err,
              f"{what}: exit 1 naming {code} ({r['p'].returncode}: {err[-300:]!r})")
        # A deadline is a time: the client's timer, not its CPU, ends the run.
        check(seconds <= limit + SLACK,
              f"{what}: over after {seconds:.1f} s, at most {limit} + {SLACK} s")
        # The CPU while it waits: from the first sample after the start-up
        # to the last one.
        waiting = [s for s in r["samples"] if s[0] - r["start"] >= 2]
        if limit and len(waiting) >= 2:
            share = (waiting[-1][1] - waiting[0][1]) / (waiting[-1][0] - waiting[0][0])
            check(share < 0.05, f"{what}: {share:.1%} of a core while it waits")


CASES = {"documents": case_documents, "pieces": case_pieces, "deadlines": case_deadlines,
         "drops": case_drops,
         "longrun": case_longrun, "shapes": case_shapes,
         **{kind: lambda t, kind=kind: case_sync(t, kind)
            for kind in ("keepalive", "close", "httpserver")}}


def main():
    a = e2e_args(CASES)
    https = a.case in ("keepalive", "close")
    if https and shutil.which("nginx") is None:
        return skipped("nginx is missing")

    def run(t):
        t.pin = pin()
        # The case's server once first: a port another program took moves
        # the tree before the case writes the port into its own files.
        Server(t, a.case).start()
        t.stop()
        CASES[a.case](t)
    # 3 MiB is the least tree of make_tree.py whose metafile every layout
    # rule accepts; it serves the sanitizer builds too.
    return on_tree(a.keelson, run, prefix="keelson-field-", mib=3,
                   scheme="https" if https else "http")


if __name__ == "__main__":
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(1))
    sys.exit(main())
