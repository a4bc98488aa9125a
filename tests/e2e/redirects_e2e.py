#!/usr/bin/python3
"""`keelson sync` behind redirects: one tree of tests/e2e/make_tree.py over
plain http behind nginx, whose generated configuration answers chosen paths
with 301, 302, 303, 307 and 308 to the same host, to "localhost" (the
application file's whitelist holds it beside 127.0.0.1), to a host off the
whitelist, to itself, five times in a row, from https to http, and with a
relative Location that climbs ("../alias.json"), to a damaged piece, to
a server that is down, and from http to an https server whose self-signed
certificate nothing pins (a Python peer that counts the handshakes it is
offered), without a Location, with a Location of 5000 bytes, and https:// to
the plain http port (these runs keep the default retry time: their cause
ends them at once); pieces that nginx's gzip_static always sends gzipped
whatever the request asks; an alias naming v2 beside a catalog naming v1
(refused once it is asked for again past caches). Every case is its own
run, side by side: the ones
that redirect to what exists exit 0 and sha1sum -c passes; the refused ones
exit 1 at once, and so do the failing targets (--retry-time=0: no retry
follows, so no retry line), each line naming the URL asked for and the
cause.

  redirects_e2e.py --keelson PATH

Exit status 0 when every check passed, 77 when nginx is missing.
"""
import gzip
import os
import shutil
import socket
import ssl
import subprocess
import sys
import tempfile
import threading
import time
from concurrent.futures import ThreadPoolExecutor

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from failures_e2e import piece_copy  # noqa: E402
from make_tree import certificate, nginx_http  # noqa: E402
from sync_e2e import (Tree, check, e2e_args, flip_byte, free_port, outcome,  # noqa: E402
                      read_json, skipped, write_json)

RUN_SECONDS = 60


class SelfSignedPeer:
    """An https server on 127.0.0.1:port with a fresh self-signed certificate
    for 127.0.0.1, counting the connections (handshakes) it is offered."""

    def __init__(self, t, port):
        certificate(t.path("tls"), "self", "IP:127.0.0.1")
        self.context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        self.context.load_cert_chain(t.path("tls", "self.crt"), t.path("tls", "self.key"))
        self.listener = socket.create_server(("127.0.0.1", port))
        self.handshakes = 0
        threading.Thread(target=self.serve, daemon=True).start()

    def serve(self):
        while True:
            try:
                conn, _ = self.listener.accept()
            except OSError:
                return
            self.handshakes += 1
            conn.settimeout(5)
            try:
                self.context.wrap_socket(conn, server_side=True).close()
            except (OSError, ssl.SSLError):
                conn.close()

    def stop(self):
        self.listener.close()


def nginx_conf(t, tls_port, down_port, self_port):
    """The tree's www over http on t.port with the redirecting locations, and
    over https on tls_port with one redirect to http."""
    root, port = t.root, t.port
    other = f"http://localhost:{port}"
    hops = "".join(f"    location = /hop{n}/alias.json {{ return 301 /hop{n + 1}/alias.json; }}\n"
                   for n in range(1, 6))
    locations = f"""
    location = /r301/alias.json {{ return 301 /alias.json; }}
    location = /r308/alias.json {{ return 308 {other}/alias.json; }}
    location ~ ^/r302/(.*)$ {{ return 302 {other}/catalog/$1; }}
    location ~ ^/r303/(.*)$ {{ return 303 {other}/pieces/$1; }}
    location ~ ^/r307/(.*)$ {{ return 307 /pieces/$1; }}
    location = /up/alias.json {{ return 301 ../alias.json; }}
    location = /off/alias.json {{ return 302 http://127.0.0.2:{port}/alias.json; }}
    location = /loop/alias.json {{ return 301 /loop/alias.json; }}
    location = /down/alias.json {{ return 302 http://127.0.0.1:{down_port}/alias.json; }}
    location ~ ^/rbad/(.*)$ {{ return 307 /corrupt/$1; }}
    location ~ ^/rdown/(.*)$ {{ return 302 http://127.0.0.1:{down_port}/pieces/$1; }}
    location /gz/ {{ gzip_static always; }}
    location = /self/alias.json {{ return 302 https://127.0.0.1:{self_port}/alias.json; }}
    location = /noloc/alias.json {{ return 302; }}
    location = /longloc/alias.json {{ set $a {"a" * 1000}; return 302 /$a$a$a$a$a; }}
{hops}"""
    return nginx_http(root, f"""  server {{
    listen 127.0.0.1:{port};
    root {root}/www;
{locations}  }}
  server {{
    listen 127.0.0.1:{tls_port} ssl;
    ssl_certificate {root}/tls/server.crt;
    ssl_certificate_key {root}/tls/server.key;
    ssl_protocols TLSv1.2;
    root {root}/www;
    location = /alias.json {{ return 301 http://127.0.0.1:{port}/alias.json; }}
  }}
""")


def gzip_beside(path):
    """path.gz beside path; its URL path and size."""
    with open(path, "rb") as f, gzip.open(path + ".gz", "wb") as out:
        out.write(f.read())
    return path.split("/www", 1)[1], os.path.getsize(path + ".gz")


def cases(t, tls_port):
    """(what, repository changes, words of the last line: none where the
    sync must succeed[, the run's retry time when not 0])."""
    base = f"http://127.0.0.1:{t.port}"

    def pieces(prefix):
        return {"remote": {"type": "httpPiece", "flags": "vcdiff",
                           "baseUrl": f"{base}/{prefix}/"}}
    return [
        ("the alias behind a 301 to the same host", {"alias": base + "/r301/alias.json"}, ()),
        ("the alias behind a 308 to localhost", {"alias": base + "/r308/alias.json"}, ()),
        ("the catalog behind a 302 to localhost", {"catalog": base + "/r302/"}, ()),
        ("the pieces behind a 303 to localhost", pieces("r303"), ()),
        ("the pieces behind a 307 to the same host", pieces("r307"), ()),
        ("the pieces under nginx's gzip_static always", pieces("gz"), ()),
        ("the alias behind Location: ../alias.json", {"alias": base + "/up/alias.json"}, ()),
        ("a redirect to a host off the whitelist", {"alias": base + "/off/alias.json"},
         (base + "/off/alias.json",
          "redirected (302) to a host not in webGet.whitelist", "(963)")),
        ("a redirect to itself", {"alias": base + "/loop/alias.json"},
         (base + "/loop/alias.json", "loop", "(984)")),
        ("five redirects in a row", {"alias": base + "/hop1/alias.json"},
         (base + "/hop1/alias.json", "redirection limit", "(985)")),
        ("a redirect from https to http",
         {"alias": f"https://127.0.0.1:{tls_port}/alias.json"},
         (f"https://127.0.0.1:{tls_port}/alias.json", "redirect from https to http refused",
          "(957)")),
        ("the pieces behind a 307 to a damaged copy", pieces("rbad"),
         (base + "/rbad/v1/", "digest mismatch", "(979)")),
        ("the alias behind a 302 to a server that is down", {"alias": base + "/down/alias.json"},
         (base + "/down/alias.json", "connection refused (953)")),
        ("the pieces behind a 302 to a server that is down", pieces("rdown"),
         (base + "/rdown/v1/", "connection refused (953)")),
        ("an alias naming v2 and a catalog naming v1",
         {"alias": base + "/aliases/v2.json", "catalog": base + "/stale-catalog.json"},
         (base + "/stale-catalog.json", "catalog id v1, expected v2", "(976)")),
        ("the alias behind a 302 to a self-signed https server",
         {"alias": base + "/self/alias.json"},
         (base + "/self/alias.json", "it is self-signed", "(971)"), ()),
        ("https:// to the plain http port", {"alias": f"https://127.0.0.1:{t.port}/alias.json"},
         (f"https://127.0.0.1:{t.port}/alias.json",
          "the server answered plain HTTP: use an http:// URL", "(971)"), ()),
        ("a redirect without a Location", {"alias": base + "/noloc/alias.json"},
         (base + "/noloc/alias.json", "redirect without a Location header (983)"), ()),
        ("a redirect with a Location of 5000 bytes", {"alias": base + "/longloc/alias.json"},
         (base + "/longloc/alias.json", "redirect Location longer than 4094 bytes (983)"), ()),
    ]


def prepare(t, n, changes, retry=("--retry-time=0",)):
    """The case's repository, application and credentials files, its
    installation under its own directory; returns (command, installation)."""
    apart = t.apart(t.path("clients", str(n)))
    path = t.write_repo(f"repo-{n}.json", **apart, **changes)
    answers = read_json(t.path("credentials.json"))
    # The piece storage asks for its password under the location it was given.
    if "remote" in changes:
        answers.append(dict(answers[0], host=changes["remote"]["baseUrl"]))
    credentials = write_json(t.path(f"credentials-{n}.json"), answers, 0o600)
    return t.args(*retry, repo=path, app=t.path("app-redirects.json"),
                  credentials=credentials), apart["local"]["path"]


def run(t, args):
    started = time.monotonic()
    try:
        p = subprocess.run(args, env=t.env, capture_output=True, text=True, timeout=RUN_SECONDS)
    except subprocess.TimeoutExpired:
        return None, [], time.monotonic() - started
    lines = [line for line in p.stderr.splitlines() if line.startswith("keelson: ")]
    return p.returncode, lines, time.monotonic() - started


def main():
    a = e2e_args()
    if shutil.which("nginx") is None or shutil.which("sha1sum") is None:
        return skipped("nginx or sha1sum is missing")
    with tempfile.TemporaryDirectory(prefix="keelson-e2e-") as root:
        t = Tree(root, a.keelson, mib=0.5, scheme="http")
        # Served once first: a port another program took moves the tree
        # before the rows below write it into their files.
        t.start()
        t.stop()
        tls_port, self_port = free_port(), free_port()
        with open(t.path("nginx-redirects.conf"), "w") as f:
            f.write(nginx_conf(t, tls_port, free_port(dead=True), self_port))
        t.write_app("app-redirects.json", webGet={"whitelist": ["127.0.0.1", "localhost"]})
        # www/corrupt/: the pieces with the first plain v1 piece's last byte flipped.
        piece_copy(t, "corrupt", lambda path: flip_byte(path, last=True))
        shutil.copy(t.path("www", "catalog", "v1", "catalog.json"),
                    t.path("www", "stale-catalog.json"))
        # www/gz/: the pieces, the first plain v1 piece beside its gzip copy.
        coded = []
        piece_copy(t, "gz", lambda path: coded.append(gzip_beside(path)))
        table = cases(t, tls_port)
        prepared = [prepare(t, n, *row[1:2], *row[3:]) for n, row in enumerate(table)]
        peer = None
        try:
            peer = SelfSignedPeer(t, self_port)
            t.start("nginx-redirects.conf")
            with ThreadPoolExecutor(len(table)) as pool:
                results = list(pool.map(lambda p: run(t, p[0]), prepared))
            log = t.log()
        finally:
            t.stop()
            if peer is not None:
                peer.stop()
        check(peer.handshakes == 1, f"the self-signed server was offered one handshake "
              f"({peer.handshakes})")
        for (what, _, words, *_), (_, installed), (code, lines, seconds) in zip(
                table, prepared, results):
            last = lines[-1] if lines else ""
            if not words:
                check(code == 0 and t.sha1_ok("v1", installed),
                      f"{what}: exit 0 and sha1sum -c passes ({code}: {lines[-3:]})")
                continue
            retry = [line for line in lines[:-1] if "; retrying in " in line]
            # At once: no retry line (--retry-time=0 makes any retry a line).
            check(code == 1 and not retry,
                  f"{what}: exit 1 at once, no retry line ({code}, {seconds:.1f} s, {retry})")
            check(all(w in last for w in words), f"{what}: the last line holds {words} ({last!r})")
        asked = [r[2] for r in log if len(r) > 2]
        check(asked.count("/noloc/alias.json") == 1 and asked.count("/longloc/alias.json") == 1,
              "the redirects without a usable Location were asked for once each")
        # Every kind of redirect was sent, and the targets were asked for.
        sent = set(r[0] for r in log if r)
        check(all(s in sent for s in ("301", "302", "303", "307", "308")),
              f"the server sent 301, 302, 303, 307 and 308 ({sorted(sent)})")
        seen = [r[2] for r in log if r and r[0] == "200"]
        check(any(p.startswith("/pieces/") for p in seen) and "/alias.json" in seen,
              "the server answered the redirects' targets")
        check(not any(r[2].startswith("/hop6/") for r in log if len(r) > 2),
              "the fifth redirect in a row is not followed")
        stale = [r[3:] for r in log if r[2:3] == ["/stale-catalog.json"]]
        check(stale == [["no-cache"]] * 2,
              f"the catalog naming another version is asked for twice, past caches ({stale})")
        sent = [int(r[1]) for r in log if r[2:3] == [coded[0][0]]]
        check(sent == [coded[0][1]], f"nginx sent {coded[0][0]} gzipped ({sent}, {coded[0][1]})")
    return outcome()


if __name__ == "__main__":
    sys.exit(main())
