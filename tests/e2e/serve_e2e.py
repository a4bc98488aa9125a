#!/usr/bin/python3
"""`keelson serve` end to end against nginx over HTTPS (the tree of
tests/e2e/make_tree.py). One case per run:

  serve_e2e.py CASE --keelson PATH

  exits     a bad repository file, port or --www: 2; a port in use: 1
  quit      SIGINT mid-copy while the page holds references: exit 0, no leak
  contract  the page's calls with curl and Python's json: the ticket traded
            for the token, a paused repository started by setActive, its
            statuses polled until the phases end, sha1sum -c; then SIGTERM:
            exit 0, the port closed, no token or ticket in the debug log and
            no leak line; the sync's summary on stderr, and for a sync that
            fails its error line there and the words in the page's status
  attacks   calls without the right token, type, method, Host or Origin are
            refused and change nothing; static files stay in --www; the
            ticket read from a browser's command line buys nothing once the
            page traded it, and user 65534 is closed at accept
  chromium  tests/e2e/page/ in headless Chromium: the same calls through
            bridge.js after its ticket trade; a page of another origin and a
            rebound name are refused; the ticket in Chromium's command line
            buys nothing after the page's first call

Every wait is bounded. Exit status 0 when every check passed.
"""
import json
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import zlib
from http.server import BaseHTTPRequestHandler, HTTPServer

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
from sync_e2e import (Tree, check, e2e_args, free_port, http_server, outcome, skip,  # noqa: E402
                      skipped)

PAGE = os.path.join(HERE, "page")
WAIT_SECONDS = 120
SET_ACTIVE = 0x527BE9CE
REMOVE_REFERENCE = "removeInstanceReference"
SYNCHRONIZE, REFRESH, STALLED, ALIVE = 1, 2, 4, 8
NOBODY = ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"]
started = []  # every process a case starts, killed at the end if it left one running


class Serve:
    """One `keelson serve` process and the JSON line it printed."""

    def __init__(self, tree, *extra, www=PAGE, repo="repo.json"):
        self.tree = tree
        args = [tree.keelson, "serve", "--app=" + tree.path("app.json"),
                "--credentials=" + tree.path("credentials.json"), *extra]
        if www:
            args.append("--www=" + www)
        args.append(tree.path(repo))
        self.process = subprocess.Popen(args, env=tree.env, stdout=subprocess.PIPE,
                                        stderr=subprocess.PIPE, text=True)
        started.append(self.process)
        ready = {}
        reader = threading.Thread(target=lambda: ready.update(line=self.process.stdout.readline()))
        reader.start()
        reader.join(30)
        line = ready.get("line", "")
        if not line:
            self.process.kill()
            raise SystemExit("serve printed nothing: " + self.process.stderr.read()[-500:])
        self.info = json.loads(line)
        self.url = self.info["url"]
        self.port = int(self.url.rsplit(":", 1)[1].strip("/"))
        self.ticket = self.info["token"]  # the one-time ticket
        self.token = None
        self.repository = self.info["repository"]

    def sync_observed(self):
        """Trades the ticket, observes the repository's Status as callback
        "s1" and starts its sync, as a page does."""
        self.trade()
        center = self.call("createInstance", {"className": "QVN.NotificationCenter"})["instanceId"]
        self.call("createInstance", {"className": "QVN.Repository", "instanceId": self.repository})
        self.invoke(center, {"method": "addInstanceObserver", "type": "Repository",
                             "notification": "Status", "sender": self.repository,
                             "callbackId": "s1"})
        self.invoke(self.repository, {"method": "setActive", "active": True})

    def trade(self):
        """Trades the ticket for the token, as the page's first call does."""
        status, _, text = self.curl("/instances/session", {"ticket": self.ticket}, token="")
        check(status == 200, f"the ticket buys the token ({status})")
        self.token = json.loads(text)["token"] if status == 200 else ""

    def curl(self, path, body=None, token=None, headers=(), options=()):
        """(status, headers text, body text) of one curl request. The token
        goes in a file, never in curl's command line."""
        args = ["curl", "-s", "-D", "-", "--max-time", "10", *options]
        token = self.token if token is None else token
        if token:
            header = self.tree.path("token-header")
            with open(os.open(header, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600), "w") as f:
                f.write("X-Keelson-Token: " + token + "\n")
            args += ["-H", "@" + header]
        for header in headers:
            args += ["-H", header]
        if body is not None:
            args += ["-H", "Content-Type: application/json", "--data-binary", json.dumps(body)]
        args.append(self.url.rstrip("/") + path)
        out = subprocess.run(args, capture_output=True, text=True, timeout=30).stdout
        head, _, text = out.partition("\n\n")  # text mode turns CR LF into LF
        status = int(head.split()[1]) if head.startswith("HTTP/") else 0
        return status, head, text

    def call(self, name, body):
        status, head, text = self.curl("/instances/" + name, body)
        if status != 200:
            raise AssertionError(f"{name} answered {status}")
        return json.loads(text) if text else None

    def invoke(self, instance, binding):
        return self.call("invoke", {"instanceId": instance, "methodBinding": json.dumps(binding)})

    def stop(self, sig=signal.SIGTERM):
        """Sends sig; the exit code (None when it had to be killed)."""
        if self.process.poll() is None:
            self.process.send_signal(sig)
        try:
            code = self.process.wait(timeout=30)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait(timeout=10)
            code = None
        self.stderr = self.process.stderr.read()
        return code


def pieces_fetched(tree):
    return [r for r in tree.log() if len(r) > 2 and "/pieces/" in r[2]]


def listening(port):
    out = subprocess.run(["ss", "-ltnH"], capture_output=True, text=True, timeout=10).stdout
    return any(line.split()[3].endswith(":%d" % port) for line in out.splitlines()
               if len(line.split()) > 3)


def follow_status(serve, center):
    """Polls callbacks until a status shows the phases ended, giving every
    retained reference back; the last status."""
    deadline = time.monotonic() + WAIT_SECONDS
    while time.monotonic() < deadline:
        for batch in serve.call("callbacks", {})["batches"]:
            for record in batch:
                if record.get("retained"):
                    serve.invoke(center, {"method": REMOVE_REFERENCE,
                                          "instanceId": record["sender"]})
                info = record["info"]
                if record["callbackId"] != "s1":
                    continue
                if info["stateFlags"] & STALLED:
                    return info
                if not info["actionFlags"] & (SYNCHRONIZE | REFRESH) and \
                        not info["stateFlags"] & ALIVE:
                    return info
        time.sleep(0.2)
    return None


def read_logs(logs):
    text = ""
    for name in os.listdir(logs) if os.path.isdir(logs) else []:
        with open(os.path.join(logs, name), errors="replace") as f:
            text += f.read()
    return text


def case_contract(t):
    t.start()
    logs = t.path("logs")
    s = Serve(t, "--debug", "--verbose=8WebServer", "--memorytracking", "--debugdir=" + logs,
              www=None)
    check(s.info["open"] is None and len(s.ticket) == 32 and len(s.repository) == 32,
          f"the JSON line names url, ticket and repository ({s.info})")
    status, head, body = s.curl("/", token="")
    check(status == 404 and "text/plain" in head and "--www=DIR" in body,
          f"without --www, / answers 404 with a text naming --www ({status}: {body[:200]!r})")
    s.trade()
    check(len(s.token) == 32 and s.token != s.ticket, "the token is not the ticket")
    made = s.call("createInstance", {"className": "QVN.NotificationCenter"})
    center = made["instanceId"]
    check(made["returnValue"] is True and len(center) == 32, "createInstance QVN.NotificationCenter")
    repo = s.call("createInstance", {"className": "QVN.Repository", "instanceId": s.repository})
    check(repo == {"returnValue": True, "instanceId": s.repository},
          "createInstance QVN.Repository with the printed id")
    unknown = s.call("createInstance", {"className": "QVN.Repository", "instanceId": "e" * 32})
    check(unknown["returnValue"] is False, "an unknown repository id answers false")
    observed = s.invoke(center, {"method": "addInstanceObserver", "type": "Repository",
                                 "notification": "Status", "sender": s.repository,
                                 "callbackId": "s1"})
    check(observed == {"returnValue": True}, "addInstanceObserver")
    time.sleep(1)
    check(not pieces_fetched(t), "before setActive no piece is requested")
    check(s.call("hash", {"text": "setActive"})["returnValue"] == SET_ACTIVE ==
          zlib.crc32(b"setActive"), "hash of setActive is zlib.crc32's, 0x527be9ce")
    started = s.invoke(s.repository, {"method": "setActive", "active": True})
    check(started == {"returnValue": True}, "setActive true")
    info = follow_status(s, center)
    check(info is not None and not info["stateFlags"] & STALLED,
          f"a status shows the phases ended ({info and info['stateFlags']})")
    check(t.sha1_ok("v1"), "sha1sum -c passes")
    check(s.call("hasInstance", {"instanceId": s.repository})["returnValue"] is True,
          "hasInstance before releaseInstance")
    check(s.call("releaseInstance", {"instanceId": s.repository})["returnValue"] is True,
          "releaseInstance")
    gone = False
    deadline = time.monotonic() + 10
    while not gone and time.monotonic() < deadline:
        gone = s.call("hasInstance", {"instanceId": s.repository})["returnValue"] is False
    check(gone, "hasInstance after releaseInstance")
    code = s.stop()
    check(code == 0, f"SIGTERM exits 0 ({code}: {s.stderr[-300:]})")
    check(not listening(s.port), "the port is closed")
    text = read_logs(logs)
    check("X-Keelson-Token: (hidden)" in text and s.token not in text and s.ticket not in text,
          "the token and the ticket are in no debug log, the request headers are")
    leak = text.find("Not all memory was free'd")
    check(leak < 0, f"memorytracking logs no leak ({text[leak - 2000:leak + 300] if leak >= 0 else ''})")
    check(any("%" in line and " ETA " in line for line in s.stderr.splitlines()),
          f"the console shows the progress line ({s.stderr[-300:]!r})")
    said = s.stderr.splitlines()
    check(said[:1] == [f"keelson: the debug log is written to {logs}/keelson.developer.log"],
          f"--debug: the first line says where the log goes ({said[:1]})")
    check(said[1:2] and said[1].startswith("keelson: no page is served (no --www)"),
          f"without --www, the next line says no page is served ({s.stderr[:200]!r})")
    check(re.search(r"^\S+ v1: \d+ files, .* fetched in ", s.stderr, re.M),
          f"the sync's end is its summary line on stderr ({s.stderr[-300:]!r})")
    sync_fails(t)
    # The printed "url" opens --www's index page.
    page = Serve(t)
    status, _, body = page.curl("/", token="")
    with open(os.path.join(PAGE, "index.html")) as f:
        index = f.read()
    check(status == 200 and body == index.replace("\r\n", "\n"),
          f"GET {page.url} answers the index page ({status})")
    page.stop()


def statuses(s, until, seconds=30):
    """The page's "s1" statuses, polled until until(info) holds for one (or
    the bound passes)."""
    said, deadline = [], time.monotonic() + seconds
    while time.monotonic() < deadline and not any(until(i) for i in said):
        said += [r["info"] for b in s.call("callbacks", {})["batches"] for r in b
                 if r["callbackId"] == "s1"]
        time.sleep(0.1)
    return said


def sync_fails(t):
    """A sync the page starts that fails (the alias is 404): the page's last
    status says the run ended, with the error's code and words, serve's
    stderr the line `keelson sync` ends with. One whose server is down goes
    on retrying, and its status says so."""
    missing = t.base + "/no-such-alias.json"
    t.write_repo("repo-404.json", alias=missing)
    s = Serve(t, www=None, repo="repo-404.json")
    s.sync_observed()
    said = statuses(s, lambda i: i.get("result"))
    said += statuses(s, lambda i: False, seconds=1)  # nothing after the end
    info = said[-1] if said else {}
    check(info.get("result") == "failed" and not info["stateFlags"] & ALIVE and
          not info["actionFlags"] & (SYNCHRONIZE | REFRESH) and info["lastErrorCode"] == 404 and
          "404" in info["lastErrorText"],
          f"the page's last status ends the run, naming the error in words ({info})")
    s.stop()
    check(f"alias {missing}: " in s.stderr and "(404)" in s.stderr,
          f"the failed sync's line is on serve's stderr ({s.stderr[-300:]!r})")
    down = f"https://127.0.0.1:{free_port()}/alias.json"
    t.write_repo("repo-down.json", alias=down)
    s = Serve(t, www=None, repo="repo-down.json")
    s.sync_observed()
    said = statuses(s, lambda i: i.get("retrying"))
    info = said[-1] if said else {}
    check(info.get("retrying") and info["stateFlags"] & ALIVE and "result" not in info and
          not info["stateFlags"] & STALLED and info["lastErrorCode"] == 953,
          f"a failure retried: the status says retrying, not ended ({info})")
    s.stop()


def case_quit(t):
    """SIGINT while the repository works and the page holds references."""
    t.start("nginx-slow.conf")
    logs = t.path("logs")
    s = Serve(t, "--debug", "--memorytracking", "--debugdir=" + logs, www=None)
    s.sync_observed()
    deadline = time.monotonic() + 30
    retained = 0
    while time.monotonic() < deadline and not (retained and pieces_fetched(t)):
        retained += sum(1 for batch in s.call("callbacks", {})["batches"]
                        for record in batch if record.get("retained"))
        time.sleep(0.2)
    check(retained > 0 and pieces_fetched(t), f"the page holds {retained} references mid-copy")
    code = s.stop(signal.SIGINT)
    check(code == 0, f"SIGINT exits 0 ({code}: {s.stderr[-300:]})")
    check(not listening(s.port), "the port is closed")
    text = read_logs(logs)
    leak = text.find("Not all memory was free'd")
    check(text != "" and leak < 0, f"memorytracking logs no leak ({text[leak:leak + 300]})")


def case_exits(t):
    """What serve refuses to start with: exit 2, or 1 when it cannot listen
    or a file is refused."""
    base = [t.keelson, "serve", "--app=" + t.path("app.json")]
    loose = t.path("credentials-loose.json")
    shutil.copy(t.path("credentials.json"), loose)
    os.chmod(loose, 0o644)
    busy = socket.socket()
    busy.bind(("127.0.0.1", 0))
    busy.listen(1)
    logs = t.path("logs-busy")
    link = t.path("www-link")
    os.symlink(PAGE, link)
    ours = "--credentials=" + t.path("credentials.json")
    rows = [("a missing repository file", [ours, t.path("missing.json")], 2),
            ("a credentials file of mode 0644", ["--credentials=" + loose, t.path("repo.json")],
             1),
            ("a port that is no number", [ours, "--port=8x", t.path("repo.json")], 2),
            ("a port past 65535", [ours, "--port=70000", t.path("repo.json")], 2),
            ("--www that is no directory", [ours, "--www=" + t.path("repo.json"),
                                            t.path("repo.json")], 2),
            ("--www that is a link", [ours, "--www=" + link, t.path("repo.json")], 1,
             f"keelson: {link}: the --www directory is refused: it is a link; name the directory "
             "itself"),
            ("a port in use", [ours, "--port=%d" % busy.getsockname()[1], "--debug",
                               "--debugdir=" + logs, t.path("repo.json")], 1)]
    for what, extra, wanted, *words in rows:
        p = subprocess.run(base + extra, env=t.env, capture_output=True, text=True,
                           timeout=WAIT_SECONDS)
        check(p.returncode == wanted and p.stdout == "" and p.stderr.startswith("keelson: ") and
              all(w in p.stderr for w in words),
              f"{what}: exit {wanted}, nothing on stdout ({p.returncode}: {p.stderr[:120]!r})")
    # The port in use: one line with the system's reason and the way out,
    # after one listen attempt.
    port = busy.getsockname()[1]
    said = p.stderr.replace(f"keelson: the debug log is written to {logs}/keelson.developer.log\n",
                            "", 1)
    check(said == f"keelson: cannot listen on 127.0.0.1:{port}: address already in use "
          "(--port=0 picks a free port)\n", f"a port in use: one line, the reason ({p.stderr!r})")
    attempts = read_logs(logs).count("Unable to bind for listen")
    check(attempts == 1, f"a port in use: one listen attempt in the debug log ({attempts})")
    busy.close()


# A stand-in browser: keeps the address in its command line as browsers do,
# trades the ticket of its fragment as bridge.js does, prints the token and
# holds on until its stdin closes.
BROWSER = r"""import json, sys, urllib.parse, urllib.request
url = sys.argv[1]
ticket = urllib.parse.parse_qs(urllib.parse.urlsplit(url).fragment)['ticket'][0]
request = urllib.request.Request(url.split('#')[0].rsplit('/', 1)[0] + '/instances/session',
                                 data=json.dumps({'ticket': ticket}).encode(),
                                 headers={'Content-Type': 'application/json'}, method='POST')
with urllib.request.urlopen(request, timeout=10) as answer:
    print(json.loads(answer.read())['token'], flush=True)
sys.stdin.read()
"""

# Another local user's requests on raw sockets: argv is the port and a JSON
# list of [method, path, JSON body or null]; prints the JSON list of each
# answer's status line, or "closed" when the connection ended without one.
PROBE = r"""import json, socket, sys
port, requests = int(sys.argv[1]), json.loads(sys.argv[2])

def ask(method, path, body):
    head = '%s %s HTTP/1.1\r\nHost: 127.0.0.1:%d\r\n' % (method, path, port)
    if body is not None:
        body = json.dumps(body)
        head += 'Content-Type: application/json\r\nContent-Length: %d\r\n' % len(body)
    got = b''
    try:
        with socket.create_connection(('127.0.0.1', port), timeout=10) as c:
            c.sendall((head + '\r\n' + (body or '')).encode())
            while True:
                data = c.recv(65536)
                if not data:
                    break
                got += data
    except OSError:
        pass
    return got.decode(errors='replace').split('\r\n')[0] or 'closed'

print(json.dumps([ask(*r) for r in requests]))
"""


def as_nobody(*command):
    """The stdout of a command run as user and group 65534."""
    return subprocess.run(NOBODY + list(command), capture_output=True, text=True,
                          timeout=WAIT_SECONDS, cwd="/").stdout


def nobody_is_closed(s, logs, requests):
    """User 65534's requests are closed at accept, without an answer."""
    out = as_nobody("/usr/bin/python3", "-c", PROBE, str(s.port), json.dumps(requests))
    check(out.strip() == json.dumps(["closed"] * len(requests)),
          f"user 65534 is closed at accept: {[r[:2] for r in requests]} ({out.strip()})")
    check("] of user 65534" in read_logs(logs), "user 65534's connections are logged as refused")


def ticket_buys_nothing(s, browser, logs):
    """After the page's first call: the ticket in the browser's command line,
    read by user 65534, buys nothing, for them or for serve's own user."""
    words = as_nobody("cat", "/proc/%d/cmdline" % browser).split("\0")
    seen = [w.split("#ticket=")[1].split("&")[0] for w in words if "#ticket=" in w]
    check(seen == [s.ticket], "user 65534 reads the ticket in the browser's command line")
    nobody_is_closed(s, logs, [["POST", "/instances/session", {"ticket": s.ticket}]])
    secrets = [x for x in (s.token, s.ticket) if x]  # the test knows no token in Chromium's case
    status, _, text = s.curl("/instances/session", {"ticket": s.ticket}, token="")
    check(status == 403 and text == "", f"a second trade of the ticket: 403, no body ({status})")
    status, _, _ = s.curl("/instances/createInstance", {"className": "QVN.NotificationCenter"},
                          token=s.ticket)
    check(status == 403, f"the ticket is no token: 403 ({status})")
    text = read_logs(logs)
    check("Page bridge refused a session (the ticket was traded already)" in text,
          "the second trade is logged")
    check(not any(x in text for x in secrets), "neither the token nor the ticket is logged")


def case_attacks(t):
    t.start()
    www = t.path("www-page")
    shutil.copytree(PAGE, www)
    os.symlink("/etc/passwd", os.path.join(www, "passwd"))
    os.mkdir(os.path.join(www, "dir"))
    # Entries another user may change: user 65534's directory, root's file
    # that others may write.
    theirs = os.path.join(www, "theirs")
    os.mkdir(theirs)
    shutil.copy(os.path.join(www, "index.html"), theirs)
    os.chown(theirs, 65534, 65534)
    shutil.copy(os.path.join(www, "index.html"), os.path.join(www, "open.html"))
    os.chmod(os.path.join(www, "open.html"), 0o666)
    logs = t.path("logs")
    s = Serve(t, "--debug", "--debugdir=" + logs, www=www)
    browser = subprocess.Popen(["/usr/bin/python3", "-c", BROWSER, s.info["open"]],
                               stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    started.append(browser)
    s.token = browser.stdout.readline().strip()
    check(len(s.token) == 32, "the stand-in browser traded its ticket for the token")
    ticket_buys_nothing(s, browser.pid, logs)
    browser.stdin.close()
    browser.wait(timeout=30)
    victim = "a" * 32
    nobody_is_closed(s, logs, [["GET", "/index.html", None],
                               ["POST", "/instances/createInstance",
                                {"className": "QVN.NotificationCenter", "instanceId": victim}]])
    create = {"className": "QVN.NotificationCenter", "instanceId": victim}
    wrong = ("b" if s.token[0] == "a" else "a") * 32
    host = f"Host: evil.test:{s.port}"
    take = {"className": "QVN.Repository", "instanceId": s.repository}
    start = {"instanceId": s.repository,
             "methodBinding": json.dumps({"method": "setActive", "active": True})}
    rows = [
        ("no token", lambda b: dict(body=b, token=""), 403),
        ("a wrong token of the right length", lambda b: dict(body=b, token=wrong), 403),
        ("the ticket for a token", lambda b: dict(body=b, token=s.ticket), 403),
        ("text/plain", lambda b: dict(headers=["Content-Type: text/plain"],
                                      options=["--data-binary", json.dumps(b)]), 403),
        ("GET", lambda b: dict(options=["-G", "--data-urlencode", "q=" + json.dumps(b)]), 403),
        ("OPTIONS", lambda b: dict(options=["-X", "OPTIONS"], headers=[
            f"Origin: http://127.0.0.1:{s.port}", "Access-Control-Request-Method: POST",
            "Access-Control-Request-Headers: content-type,x-keelson-token"]), 403),
        ("Host evil.test", lambda b: dict(body=b, headers=[host]), 403),
        ("Origin evil.test", lambda b: dict(body=b, headers=["Origin: http://evil.test"]), 403),
    ]
    for what, kw, wanted in rows:
        for name, body in [("createInstance", create), ("createInstance", take),
                           ("invoke", start)]:
            status, head, _ = s.curl("/instances/" + name, **kw(body))
            check(status == wanted and "Access-Control-Allow" not in head,
                  f"{what} {name}: {wanted} without Access-Control-Allow ({status})")
    time.sleep(1)
    check(not pieces_fetched(t), "the repository stays paused: no piece request")
    for instance in (victim, s.repository):
        check(s.call("hasInstance", {"instanceId": instance})["returnValue"] is False,
              f"no instance {instance} was made (asked with the real token)")
    statics = [("/index.html", 200), ("/bridge.js", 200), ("/passwd", 404), ("/dir", 404),
               ("/missing", 404), ("/../repo.json", 400), ("/%2e%2e/repo.json", 400),
               ("/theirs/index.html", 404), ("/theirs/index.html", 404), ("/open.html", 404)]
    for path, wanted in statics:
        status, head, text = s.curl(path, token="", options=["--path-as-is"])
        ok = status == wanted and "root:" not in text
        if wanted == 200:
            ok = ok and "X-Content-Type-Options: nosniff" in head
        check(ok, f"GET {path}: {wanted} ({status})")
    code = s.stop()
    check(code == 0, f"SIGTERM exits 0 ({code})")
    told = [line for line in s.stderr.splitlines() if "ticket trade" in line]
    check(told == ["keelson: refused the page's ticket trade: the ticket was traded already"],
          f"the refused trade is one line on serve's stderr ({told})")
    told = [line for line in s.stderr.splitlines() if "not served" in line]
    check(len(told) == 2 and f"{theirs}: not served: it is owned by uid 65534" in told[0] and
          f"{www}/open.html: not served: group or others may write it" in told[1],
          f"each refused entry of --www is one line on serve's stderr ({told})")
    # The requests for evil.test: the first at once, the rest counted.
    told = [line for line in s.stderr.splitlines() if "another host" in line or "for host" in line]
    check(told[:1] == [f"keelson: refused a request for host evil.test:{s.port} (403): the page "
                       f"answers only at http://127.0.0.1:{s.port}/, the address printed"] and
          len(told) == 2 and told[1].startswith("keelson: refused 2 more requests for another "
                                                "host in "),
          f"requests for another host are said on serve's stderr ({told})")


class Reports(BaseHTTPRequestHandler):
    """The page's report listener: keeps each POST body."""
    bodies = []

    def do_POST(self):
        length = int(self.headers.get("Content-Length", "0"))
        Reports.bodies.append((self.path, self.rfile.read(length).decode(errors="replace")))
        self.send_response(204)
        self.end_headers()

    def do_GET(self):
        self.do_POST()

    def log_message(self, *args):
        pass


def start_reports():
    server = HTTPServer(("127.0.0.1", 0), Reports)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return server


def chromium(root, url, *extra, until=None, seconds=WAIT_SECONDS, during=None):
    """Runs headless Chromium on url until until() holds or seconds pass, then
    calls during(pid) while it still runs; stops it by its pid."""
    profile = tempfile.mkdtemp(prefix="chromium-", dir=root)
    args = ["chromium", "--headless=new", "--no-sandbox", "--disable-gpu",
            "--user-data-dir=" + profile, "--no-first-run", *extra, url]
    p = subprocess.Popen(args, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                         start_new_session=True)
    deadline = time.monotonic() + seconds
    try:
        while time.monotonic() < deadline and (until is None or not until()):
            time.sleep(0.2)
        if during is not None:
            during(p.pid)
    finally:
        try:
            os.killpg(p.pid, signal.SIGTERM)
            p.wait(timeout=15)
        except (ProcessLookupError, subprocess.TimeoutExpired):
            try:
                os.killpg(p.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
            p.wait(timeout=15)
    return until() if until else True


ATTACK_PAGE = """<!DOCTYPE html><script>
const target = 'http://127.0.0.1:%(port)d/instances/';
const create = JSON.stringify({className: 'QVN.NotificationCenter', instanceId: '%(victim)s'});
const start = JSON.stringify({instanceId: '%(repository)s',
                              methodBinding: JSON.stringify({method: 'setActive', active: true})});
const report = (text) => fetch('http://127.0.0.1:%(report)d/attack', {method: 'POST', mode: 'no-cors', body: text});
(async () => {
  for (const [name, body] of [['createInstance', create], ['invoke', start]]) {
    await fetch(target + name, {method: 'POST', mode: 'no-cors', body,
                                headers: {'Content-Type': 'text/plain'}}).catch(() => {});
    try {
      await fetch(target + name, {method: 'POST', body,
          headers: {'Content-Type': 'application/json', 'X-Keelson-Token': 'guess'}});
      report('READ ' + name);
    } catch (e) { report('BLOCKED ' + name); }
  }
  report('DONE');
})();
</script>"""


def case_chromium(t):
    if shutil.which("chromium") is None:
        skip("chromium is missing")
        return
    t.start()
    reports = start_reports()
    q = reports.server_address[1]
    logs = t.path("logs")
    s = Serve(t, "--debug", "--debugdir=" + logs)
    victim = "a" * 32

    # Another origin: a page of python3 -m http.server posts to the calls.
    attack = t.path("attack")
    os.mkdir(attack)
    with open(os.path.join(attack, "index.html"), "w") as f:
        f.write(ATTACK_PAGE % {"port": s.port, "victim": victim, "repository": s.repository,
                               "report": q})
    other_port = free_port()
    with http_server(attack, other_port):
        chromium(t.root, f"http://127.0.0.1:{other_port}/index.html",
                 until=lambda: any(b == "DONE" for _, b in Reports.bodies), seconds=60)
    said = [b for _, b in Reports.bodies]
    check("DONE" in said and not any(b.startswith("READ") for b in said),
          f"another origin's page reads no answer ({said})")
    text = read_logs(logs)
    check(all(f"Refused request [/instances/{name}] (403)" in text
              for name in ("createInstance", "invoke")),
          "its posts reached the server and were refused")

    # A name rebound to 127.0.0.1: the page and every call get 403.
    Reports.bodies.clear()
    rebound = (f"http://evil.test:{s.port}/index.html#ticket={s.ticket}"
               f"&repository={s.repository}&report={q}")
    refused = f"Refused request [/index.html] (403)"
    chromium(t.root, rebound, "--host-resolver-rules=MAP evil.test 127.0.0.1",
             until=lambda: refused in read_logs(logs), seconds=30)
    check(refused in read_logs(logs), "the rebound name's page request was refused")
    check(not pieces_fetched(t), "after both attacks the repository is still paused")
    status, _, _ = s.curl("/index.html", token="", headers=[f"Host: evil.test:{s.port}"])
    check(status == 403 and not Reports.bodies, f"the rebound name gets 403 ({status})")

    # The page itself: it trades the ticket in Chromium's command line, syncs
    # and reloads; the ticket is then read from that command line in vain.
    Reports.bodies.clear()
    url = s.info["open"] + f"&report={q}"
    done = lambda: any(b.startswith(("SYNC-FAILED", "RELOAD-")) for _, b in Reports.bodies)  # noqa: E731
    chromium(t.root, url, until=done, during=lambda pid: ticket_buys_nothing(s, pid, logs))
    said = [b for _, b in Reports.bodies]
    check(any(b.startswith("SYNC-OK ") for b in said), f"the page reports SYNC-OK ({said})")
    check("RELOAD-OK" in said, f"the reloaded page still calls with the token it kept ({said})")
    check(t.sha1_ok("v1"), "sha1sum -c passes")
    code = s.stop()
    check(code == 0, f"SIGTERM exits 0 ({code})")
    text = read_logs(logs)
    check("/instances/invoke" in text and s.ticket not in text,
          "the browser's calls are logged, its ticket is not")

    # A sync that fails: the page learns its end and shows the error.
    Reports.bodies.clear()
    t.write_repo("repo-404.json", alias=t.base + "/no-such-alias.json")
    failing = Serve(t, repo="repo-404.json")
    chromium(t.root, failing.info["open"] + f"&report={q}", until=done, seconds=60)
    said = [b for _, b in Reports.bodies]
    check(any(b.startswith("SYNC-FAILED error 404 (") for b in said),
          f"the page reports the failed sync's error ({said})")
    failing.stop()
    reports.shutdown()


def main():
    cases = {"contract": case_contract, "quit": case_quit, "exits": case_exits,
             "attacks": case_attacks, "chromium": case_chromium}
    a = e2e_args(cases)
    if shutil.which("nginx") is None:
        return skipped("nginx is missing")
    keep = os.environ.get("KEELSON_E2E_KEEP")
    with tempfile.TemporaryDirectory(prefix="keelson-serve-", dir=keep) as root:
        t = Tree(root, a.keelson)
        try:
            cases[a.case](t)
        finally:
            for process in started:
                if process.poll() is None:
                    process.kill()
                    process.wait(timeout=10)
            t.stop()
    return outcome()


if __name__ == "__main__":
    sys.exit(main())
