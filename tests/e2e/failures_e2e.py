#!/usr/bin/python3
"""`keelson sync` failing as users make it fail: one table, one row per
case, every row its own run side by side against one tree of
tests/e2e/make_tree.py behind nginx over HTTPS (and python3 -m http.server
for plain http). Each run must end with its exit status (1, or 2 for a
usage error or a file that cannot be read; 0 for the one row that shows the
rule a user follows instead), with no retry line (run with --retry-time=0,
no retry follows a failure), and its last stderr line naming the URL or path
and the cause in words. A permanent failure ends the run with no retry line
with the default retry time too (an openssl s_server with a certificate
nobody pinned, another with a pinned RSA-512 key). A second s_server sends a leaf and the intermediate that
signed it, under a root CA of the test's own, for the pins of the
application file.

  failures_e2e.py --keelson PATH [--developer 0|1]

To add a case, add a row to rows() (a setup function may prepare the
files it needs). Every wait is bounded. Exit status 0 when every check
passed.
"""
import base64
import hashlib
import json
import os
import shutil
import ssl
import subprocess
import sys
import tempfile
import time
from concurrent.futures import ThreadPoolExecutor

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from make_tree import certificate  # noqa: E402
from sync_e2e import (Tree, check, e2e_args, flip_byte, free_port, http_server,  # noqa: E402
                      outcome, read_json, running, sanitizer_report, skipped, write_json)

# A hung run's bound, far past any retry delay.
ROW_SECONDS = 30


class Row:
    """One failure case: the command line's changes, and what must show.

    repo: changes to the repository file (None: the file is written by
    text instead); text: the repository file's whole text; app: changes to
    the application file; args: extra arguments; exit: the status; words:
    what the last stderr line holds (no retry line comes before it); before:
    the words one earlier stderr line holds; retry_time: the --retry-time value
    (None: the default); setup(client): prepares the row's client directory;
    answers(list): the credentials file's answers changed; quiet: the run
    ends at start, before any request; written(repo, app): changes the
    row's own files once written; wrap: a command the run goes under
    (strace injecting a system call's failure); words and repo may name
    "{client}"."""

    def __init__(self, what, exit=1, words=(), repo=None, text=None, app=None,
                 args=(), repo_path=None, before=None, retry_time="0", setup=None,
                 answers=None, quiet=False, written=None, wrap=()):
        self.what, self.exit, self.words, self.wrap = what, exit, words, list(wrap)
        self.answers, self.quiet, self.written = answers, quiet, written
        self.before, self.retry_time, self.setup = before, retry_time, setup
        self.repo, self.text, self.app, self.args = repo or {}, text, app, list(args)
        self.repo_path = repo_path


def piece_copy(t, name, change):
    """www/<name>/ as a copy of www/pieces/ with change(path) applied to the
    first plain v1 piece; returns the repository file's "remote" for it."""
    shutil.copytree(t.path("www", "pieces"), t.path("www", name))
    with open(t.path("pieces.txt")) as f:
        digest = next(line.split()[1] for line in f
                      if line.split()[0] == "v1" and line.split()[2] == "0")
    change(t.path("www", name, "v1", digest + ".varnopiece"))
    return {"type": "httpPiece", "flags": "vcdiff", "baseUrl": f"{t.base}/{name}/"}


def weak_certificate(tls):
    """tls/weak.{crt,key}: RSA-512 for 127.0.0.1; returns its pin."""
    crt, key = os.path.join(tls, "weak.crt"), os.path.join(tls, "weak.key")
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:512", "-nodes", "-days", "30",
                    "-subj", "/CN=weak", "-addext", "subjectAltName=IP:127.0.0.1", "-keyout", key,
                    "-out", crt], check=True, capture_output=True)
    der = subprocess.run(["openssl", "x509", "-in", crt, "-outform", "DER"], check=True,
                         capture_output=True).stdout
    return base64.b64encode(hashlib.sha256(der).digest()).decode()


def foreign_root(client):
    """The installation directory as a link of uid 65534's to one of ours."""
    os.makedirs(os.path.join(client, "real"))
    os.symlink(os.path.join(client, "real"), os.path.join(client, "game"))
    os.lchown(os.path.join(client, "game"), 65534, 65534)


def ca_chain(tls):
    """A root CA, an intermediate it signs and a leaf for 127.0.0.1 the
    intermediate signs, as root.crt, mid.crt and leaf.crt/leaf.key in tls."""
    def path(name):
        return os.path.join(tls, name)
    with open(path("ca.ext"), "w") as f:
        f.write("basicConstraints=critical,CA:TRUE\nkeyUsage=critical,keyCertSign,cRLSign\n")
    with open(path("leaf.ext"), "w") as f:
        f.write("subjectAltName=IP:127.0.0.1\n")
    ec = ["-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes"]
    commands = [["req", "-x509", *ec, "-keyout", path("root.key"), "-out", path("root.crt"),
                 "-subj", "/CN=keelson test root", "-days", "30",
                 "-addext", "basicConstraints=critical,CA:TRUE",
                 "-addext", "keyUsage=critical,keyCertSign,cRLSign"]]
    for name, issuer, ext in (("mid", "root", "ca.ext"), ("leaf", "mid", "leaf.ext")):
        commands += [["req", "-new", *ec, "-keyout", path(name + ".key"), "-out",
                      path(name + ".csr"), "-subj", "/CN=keelson test " + name],
                     ["x509", "-req", "-in", path(name + ".csr"), "-CA", path(issuer + ".crt"),
                      "-CAkey", path(issuer + ".key"), "-CAcreateserial", "-days", "30",
                      "-extfile", path(ext), "-out", path(name + ".crt")]]
    for command in commands:
        subprocess.run(["openssl", *command], check=True, capture_output=True, timeout=30)


def pin(crt):
    """The certificate's pin: Base64 of its DER's SHA-256, and the digest."""
    with open(crt) as f:
        digest = hashlib.sha256(ssl.PEM_cert_to_DER_cert(f.read())).digest()
    return base64.b64encode(digest).decode(), digest


def other_curve_key():
    """A brainpoolP256r1 public key, Base64 DER."""
    from cryptography.hazmat.primitives import serialization
    from cryptography.hazmat.primitives.asymmetric import ec
    der = ec.generate_private_key(ec.BrainpoolP256R1()).public_key().public_bytes(
        serialization.Encoding.DER, serialization.PublicFormat.SubjectPublicKeyInfo)
    return base64.b64encode(der).decode()


def private_keys(tls):
    """A private key as openssl ecparam -genkey writes it (EC PARAMETERS,
    then EC PRIVATE KEY), as openssl genpkey writes it (PRIVATE KEY), and
    the latter's DER in Base64."""
    def openssl(*args):
        return subprocess.run(["openssl", *args], check=True, capture_output=True,
                              timeout=30).stdout
    sec1 = openssl("ecparam", "-genkey", "-name", "prime256v1").decode()
    pkcs8 = openssl("genpkey", "-algorithm", "EC", "-pkeyopt", "ec_paramgen_curve:P-256")
    path = os.path.join(tls, "signing.key")
    with open(path, "wb") as f:
        f.write(pkcs8)
    der = openssl("pkey", "-in", path, "-outform", "DER")
    return sec1, pkcs8.decode(), base64.b64encode(der).decode()


def jwk_sets():
    """Key sets that import no signing key: an EC point off the curve, an
    object with no "keys", a secp256k1 key; and a set an identity provider
    serves (an encryption key beside the signing one)."""
    off = {"kty": "EC", "crv": "P-256", "use": "sig", "alg": "ES256", "kid": "off",
           "x": "AAAA", "y": "AAAA"}
    k1 = {"kty": "EC", "crv": "secp256k1", "use": "sig", "alg": "ES256K", "kid": "k1",
          "x": "gQ0IeGAr1bDPzWkhUdcS2YHQwWWlUOG8bsQSkHfy7Kk",
          "y": "f7-F4KhlJBOzBvRcKLVEGe8EFCePKqt_K1ZUnLpsBP0"}
    from cryptography.hazmat.primitives.asymmetric import ec
    point = ec.generate_private_key(ec.SECP256R1()).public_key().public_numbers()
    coordinate = lambda v: base64.urlsafe_b64encode(v.to_bytes(32, "big")).rstrip(b"=").decode()  # noqa: E731
    provider = {"keys": [{"kty": "EC", "crv": "P-256", "use": "sig", "alg": "ES256", "kid": "sig",
                          "x": coordinate(point.x), "y": coordinate(point.y)},
                         {"kty": "RSA", "use": "enc", "kid": "enc", "n": "AQAB", "e": "AQAB"}]}
    return {"keys": [off]}, {"foo": 1}, {"keys": [k1]}, provider


def client_cert_servers(t, optional_port, required_port):
    """The tree's nginx serves the same files on two more ports whose TLS
    asks for a client certificate: optionally, and as a must."""
    with open(t.path("nginx.conf")) as f:
        conf = f.read()
    start = conf.index("  server {")
    end = conf.index("\n  }\n", start) + 5
    block, extra = conf[start:end], ""
    for port, mode in ((optional_port, "optional"), (required_port, "on")):
        extra += (block.replace(f"listen 127.0.0.1:{t.port} ", f"listen 127.0.0.1:{port} ")
                  .replace("    root ", f"    ssl_verify_client {mode};\n    ssl_client_certificate "
                           f"{t.path('tls', 'root.crt')};\n    root "))
    with open(t.path("nginx.conf"), "w") as f:
        f.write(conf[:end] + extra + conf[end:])


def rows(t, http_port, unpinned_port, chained_port, weak_port, weak_pin, optional_port,
         required_port):
    base = f"https://127.0.0.1:{t.port}"
    unpinned = f"https://127.0.0.1:{unpinned_port}/alias.json"
    weak = f"https://127.0.0.1:{weak_port}/alias.json"
    plain = f"http://127.0.0.1:{http_port}"
    down = f"https://127.0.0.1:{free_port(dead=True)}/alias.json"
    missing = piece_copy(t, "missing", os.remove)
    corrupt = piece_copy(t, "corrupt", lambda path: flip_byte(path, last=True))
    app = t.path("app.json")
    key = read_json(app)["keyStores"]["content"]
    served = read_json(app)["thumbprintStores"]["app"]
    chained = f"https://127.0.0.1:{chained_port}/alias.json"
    unpinned_pin, digest = pin(t.path("tls", "unpinned.crt"))
    pem = "-----BEGIN PUBLIC KEY-----\n" + "\n".join(
        key[i:i + 64] for i in range(0, len(key), 64)) + "\n-----END PUBLIC KEY-----\n"
    pin_form = "openssl dgst -sha256 -binary | base64"
    sec1, pkcs8, der = private_keys(t.path("tls"))
    private = ("a private key must never be shipped",
               "openssl pkey -in key.pem -pubout -outform DER | base64 -w0", "make a new key pair")
    off_curve, no_set, k1, provider = jwk_sets()
    fifo = t.path("app.fifo")
    os.mkfifo(fifo)
    optional = f"https://127.0.0.1:{optional_port}"
    required = f"https://127.0.0.1:{required_port}/alias.json"
    return [
        Row("a server that asks for a client certificate, none given: it syncs", exit=0,
            repo={"alias": optional + "/alias.json", "catalog": optional + "/catalog/"}),
        Row("a server that requires a client certificate, default retry time", retry_time=None,
            repo={"alias": required},
            words=(required, f"the server 127.0.0.1:{required_port} asked for a client "
                   "certificate, was sent none and refused", '{"filter": "ClientCert", '
                   f'"address": "127.0.0.1:{required_port}", "certificatePath": ',
                   "to the --credentials file (400)")),
        Row("the server is down", repo={"alias": down},
            words=(down, "connection refused (953)")),
        Row("a self-signed certificate nobody pinned, default retry time", retry_time=None,
            repo={"alias": unpinned},
            words=(unpinned, "the server's certificate is not trusted: it is self-signed; "
                   'none of the 1 pins of thumbprintStores "app" (--app=',
                   "is a certificate the server sent", "(971)")),
        Row("a pin in hex, as sha256sum prints it",
            app={"thumbprintStores": {"app": [digest.hex()]}},
            words=('thumbprintStores "app"[0] "' + digest.hex() + '" is hex (SHA256 as '
                   "sha256sum prints it)", pin_form)),
        Row("a pin as openssl x509 -fingerprint prints it",
            app={"thumbprintStores": {"app": [":".join(f"{b:02X}" for b in digest)]}},
            words=("is colon-separated hex (SHA256 as openssl x509 -fingerprint prints it)",
                   pin_form)),
        Row("a pin of no digest's length", app={"thumbprintStores": {"app": ["AAAAAAAAAAAAAA=="]}},
            words=('"AAAAAAAAAAAAAA==" is Base64 of 10 bytes, no digest\'s length', pin_form)),
        Row("a pin broken by a line end: one line", app={"thumbprintStores": {"app": ["AAAA\nBB"]}},
            words=('"AAAA?BB" is not Base64', pin_form)),
        Row("a pin under a store nothing reads", repo={"alias": unpinned},
            app={"thumbprintStores": {"mine": [unpinned_pin]}},
            before=('warning: ', 'thumbprintStores "mine" is used by nothing: server '
                    'certificates are checked with "app" (webGet.certStore)'),
            words=(unpinned, "it is self-signed", 'pin it in "thumbprintStores"')),
        Row("a server pin under the key store's name", repo={"alias": unpinned},
            app={"thumbprintStores": {"app": served, "content": [unpinned_pin]}},
            before=("warning: ", 'thumbprintStores "content" is not read for TLS: server '
                    'certificates are checked with "app" (webGet.certStore)'),
            words=(unpinned, "it is self-signed")),
        Row("pins as base64url, without '=' and with white space around: read", exit=0,
            app={"thumbprintStores": {"app": [p.rstrip("=").replace("+", "-").replace("/", "_")
                                              for p in served] + ["\n " + served[0] + " \n"]}}),
        Row("a root CA pinned, the server sends its leaf and intermediate",
            repo={"alias": chained},
            app={"thumbprintStores": {"app": [pin(t.path("tls", "root.crt"))[0]]}},
            words=(chained, "issuer", 'none of the 1 pins of thumbprintStores "app"',
                   "is a certificate the server sent: pin its own or an intermediate it sends")),
        Row("the intermediate the server sends, pinned: it syncs", exit=0,
            repo={"alias": chained},
            app={"thumbprintStores": {"app": served + [pin(t.path("tls", "mid.crt"))[0]]}}),
        Row("a PEM key in keyStores", app={"keyStores": {"content": pem}},
            words=('keyStores "content": a PEM key where the Base64 of the DER '
                   "SubjectPublicKeyInfo is expected",)),
        Row("a PEM EC private key in keyStores", app={"keyStores": {"content": sec1}}, quiet=True,
            words=('keyStores "content": a PEM "EC PRIVATE KEY"', *private)),
        Row("a PEM PKCS#8 private key in keyStores", app={"keyStores": {"content": pkcs8}},
            quiet=True, words=('keyStores "content": a PEM "PRIVATE KEY"', *private)),
        Row("a private key's DER in Base64 in keyStores", app={"keyStores": {"content": der}},
            quiet=True, words=('keyStores "content": the Base64 of a DER private key', *private)),
        Row("a key set whose EC point is off its curve", app={"keyStores": {"content": off_curve}},
            quiet=True, words=('keyStores "content": a JSON Web Key Set with key "off" (EC, '
                               '"alg" ES256) does not import',)),
        Row("a key set that is no key set", app={"keyStores": {"content": no_set}}, quiet=True,
            words=('keyStores "content": a JSON Web Key Set with no "keys" list',)),
        Row("a key set of a secp256k1 key", app={"keyStores": {"content": k1}}, quiet=True,
            words=('keyStores "content": a JSON Web Key Set with no key a signature can be '
                   'checked with; skipped: "k1" (an "alg" not read',)),
        Row("a key set holding a private key", quiet=True,
            app={"keyStores": {"content": {"keys": [dict(provider["keys"][0], d="AAAA")]}}},
            words=('keyStores "content": a JSON Web Key Set whose key "sig" holds its private '
                   'part "d"', *private)),
        Row("an identity provider's key set: its encryption key is skipped, the set starts",
            app={"keyStores": {"content": provider}},
            before=("keelson: warning: ", 'keyStores "content": keys no signature is checked with '
                    'are skipped: "enc" ("use" is not "sig")'),
            words=("signature does not verify with key store content (certStore)",)),
        Row("a wrong password for the encrypted pieces",
            answers=lambda answers: [dict(a, password="wrong") for a in answers],
            words=(base + "/pieces/", "the password given does not decrypt the pieces: correct "
                   '{"filter": "StorageDecrypt", "host": "' + base + '/pieces/"', "(989)")),
        Row("no password for the encrypted pieces", answers=lambda answers: [],
            words=(base + "/pieces/", "no password given: no credentials for")),
        Row("a key on a curve that is not read", app={"keyStores": {"content": other_curve_key()}},
            words=('keyStores "content": an EC key on curve 1.3.36.3.3.2.8.1.1.7 that does not '
                   "import (P-256, P-384 and P-521 keys do)",)),
        Row("a URL without its scheme", repo={"alias": f"127.0.0.1:{t.port}/alias.json"},
            words=(f'"alias": "127.0.0.1:{t.port}/alias.json" has no scheme: write http://, '
                   "https:// or file:// before it",)),
        Row("an application file's alias URL without its scheme", repo={"alias": None},
            app={"alias": {"url": f"127.0.0.1:{t.port}/alias.json"}},
            words=(f'alias "url": "127.0.0.1:{t.port}/alias.json" has no scheme: write http://, '
                   "https:// or file:// before it",)),
        Row("a repository the alias does not name, default retry time", retry_time=None,
            repo={"repository": "gaem"},
            words=(base + "/alias.json", 'it holds no valid version for "gaem"', "(976)")),
        Row("an installation under a file, default retry time", retry_time=None,
            setup=lambda client: open(os.path.join(client, "afile"), "w").close(),
            repo={"local": {"type": "file", "path": "{client}/afile/game"}},
            words=("{client}/afile/game", "not a directory: a file stands where the path "
                   "needs a directory")),
        Row("a pinned RSA-512 certificate, default retry time", retry_time=None,
            repo={"alias": weak}, app={"thumbprintStores": {"app": served + [weak_pin]}},
            words=(weak, "certificate cannot be used: its key is too weak", "(971)")),
        Row("https:// to python's http.server, default retry time", retry_time=None,
            repo={"alias": f"https://127.0.0.1:{http_port}/alias.json"},
            words=(f"https://127.0.0.1:{http_port}/alias.json: the server answered with "
                   'something that is not TLS ("<!DOCTYPE HTML',
                   f"if this port serves plain HTTP, its URL is "
                   f"http://127.0.0.1:{http_port}/alias.json", "(971)")),
        Row("TLS 1.0 at most to a TLS 1.2 server, default retry time", retry_time=None,
            app={"tls1": {"versionMax": "1.0"}},
            words=(base + "/alias.json", "(protocol version) after a hello capped at TLS 1.0 "
                   'by tls1.versionMax: set it to "1.2" in the application file', "(971)")),
        Row("a 404 document", repo={"alias": base + "/no-such-alias.json"},
            words=(base + "/no-such-alias.json", "404")),
        Row("a 404 piece", repo={"remote": missing},
            words=(base + "/missing/v1/", "piece ", "404")),
        Row("a corrupt piece, default retry time", repo={"remote": corrupt}, retry_time=None,
            words=(base + "/corrupt/v1/", "piece ", "digest mismatch in ", "(979)")),
        Row("a metafile over metafile.limitSize, default retry time", retry_time=None,
            app={"metafile": {"limitSize": 1000}},
            words=(base + "/", "metafile ", "larger than metafile.limitSize (1000 bytes) of "
                   "the application file (--app=", "(959)")),
        Row("an unsigned document over http",
            repo={"alias": plain + "/alias.json", "catalog": plain + "/unsigned/"},
            words=(plain + "/unsigned/v1/catalog.json",
                   "catalog is not signed; documents fetched over http must be signed")),
        Row("a catalog signed with another key", repo={"catalog": base + "/other/"},
            words=(base + "/other/v1/catalog.json",
                   "signature does not verify with key store content (certStore)")),
        Row("a host not whitelisted",
            app={"webGet": {"whitelist": ["localhost"]}, "whitelist": ["127.0.0.1"]},
            words=(base + "/alias.json", "host 127.0.0.1 is not in webGet.whitelist",
                   "(--app="),
            before=("keelson: warning: " + app[:-len("app.json")], 'unknown key "whitelist"')),
        Row("no key store to verify against", repo={"certStore": None},
            words=("repo-", "nothing to verify the signed documents against")),
        Row("the key store named \"app\" is the default: it syncs", exit=0,
            repo={"certStore": None}, app={"keyStores": {"app": key}}),
        Row("a certStore no key store has", repo={"certStore": "contnet"},
            words=('certStore "contnet" is not in keyStores', "nothing to verify")),
        Row("invalid JSON: a missing comma", text='{\n "repository": "game"\n "local": {}\n}',
            words=("line 3, column 2: not valid JSON", "missing ','")),
        Row("invalid JSON: a trailing comma", text='{"repository": "game",\n}',
            words=("line 1, column 22: not valid JSON", "trailing comma")),
        Row("invalid JSON: an unclosed object", text='{"repository": "game",\n "local": {',
            words=("line 2, column 12: not valid JSON", "not closed")),
        Row("YAML text in a .json file", text='repository: game\nlocal: {type: file}\n',
            words=("line 1, column 1: not valid JSON", "strings need double quotes",
                   "a YAML file needs a .yaml or .yml name")),
        Row("invalid YAML", text='repository: game\nlocal: {type: file\n',
            repo_path=t.path("repo.yaml"), words=("repo.yaml: line ", "not valid YAML")),
        Row("an unknown key", repo={"remotes": missing}, words=('unknown key "remotes"',)),
        Row("an unknown storage type", repo={"local": {"type": "fiel", "path": t.path("x")}},
            words=('local: unknown storage type "fiel"',)),
        Row("a bad scheme", repo={"alias": f"htp://127.0.0.1:{t.port}/alias.json"},
            words=('"alias": "htp://" is not an http, https or file URL',)),
        Row("no \"repository\"", repo={"repository": None}, words=('no "repository"',)),
        Row("a FIFO at the local metafile's name",
            setup=lambda client: os.mkfifo(os.path.join(client, "game.metafile.json")),
            words=("local metafile {client}/game.metafile.json: not a regular file (964)",)),
        *([Row("an installation directory that is another user's link",
               setup=foreign_root,
               words=("game: {client}/game: the installation directory is a link another "
                      "user owns",))] if os.geteuid() == 0 else []),
        # A name the volume's rules refuse: every rename fails EINVAL. The
        # default retry time, as no retry may come. (The leak check cannot
        # run under a tracer.)
        *([Row("a file system that refuses the names", retry_time=None,
               wrap=["env", "ASAN_OPTIONS=%s:detect_leaks=0" % os.environ.get("ASAN_OPTIONS", ""),
                     "strace", "-f", "-qq", "--seccomp-bpf", "-o", "/dev/null", "-e",
                     "trace=rename,renameat,renameat2", "-e",
                     "inject=rename,renameat,renameat2:error=EINVAL"],
               words=("the file system refuses to create or rename it (invalid argument)",
                      "install on a volume that takes the version's names"))]
          if shutil.which("strace") else []),
        Row("the repository and application files both 0664 (umask 002)", app={},
            written=lambda repo, app: [os.chmod(p, 0o664) for p in (repo, app)],
            before=("repo-", "the repository file is refused: group or others may write it "
                    "(mode 0664; chmod go-w)"),
            words=("app-", "the application file is refused: group or others may write it")),
        *([Row("an application file of another user's", app={},
               written=lambda repo, app: os.chown(app, 65534, 65534),
               words=("the application file is refused: it is owned by uid 65534, not by you or "
                      "root: use a copy of your own (cp), or have root give it to you (chown)",))]
          if os.geteuid() == 0 else []),
        Row("a FIFO for the application file", exit=2, args=["--app", fifo],
            words=("app.fifo: cannot read the application file: not a regular file but a FIFO; "
                   "name a regular file",)),
        Row("/dev/null for the application file", exit=2, args=["--app", "/dev/null"],
            words=("cannot read the application file: not a regular file but a device",)),
        Row("a repository file that cannot be read", exit=2,
            repo_path=t.path("no-such-repo.json"),
            words=("no-such-repo.json: cannot read the repository file: no such file or "
                   "directory",)),
        Row("a directory for the repository file", exit=2, repo_path=t.path("www"),
            words=("www: cannot read the repository file: is a directory",)),
        Row("an application file that cannot be read", exit=2, args=["--app", t.path("none")],
            words=("none: cannot read the application file: no such file or directory",)),
        Row("an unknown option", exit=2, args=["--no-such-option"],
            words=("unknown option --no-such-option; see 'keelson --help'",)),
    ]


def prepare(t, n, row):
    """The row's files under its own client directory (runs go side by
    side, and a sync holds its installation); returns the command line."""
    client = t.path("clients", str(n))
    os.makedirs(client)
    if row.setup is not None:
        row.setup(client)
    row.words = tuple(w.replace("{client}", client) for w in row.words)
    path = row.repo_path or t.path(f"repo-{n}.json")
    if row.text is not None:
        with open(path, "w") as f:
            f.write(row.text)
    elif row.repo_path is None:
        repo = json.loads(json.dumps(row.repo).replace("{client}", client))
        if row.quiet:
            repo.setdefault("alias", f"{t.base}/quiet-{n}/alias.json")
        t.write_repo(path, **dict(t.apart(client), **repo))
    app = t.write_app(f"app-{n}.json", **row.app) if row.app is not None else t.path("app.json")
    if row.written is not None:
        row.written(path, app)
    # Every remote the rows name gets the pieces' password.
    answers = read_json(t.path("credentials.json"))
    for name in ("missing", "corrupt"):
        answers.append(dict(answers[0], host=f"{t.base}/{name}/"))
    if row.answers is not None:
        answers = row.answers(answers)
    credentials = write_json(t.path(f"credentials-{n}.json"), answers, 0o600)
    retry = [] if row.retry_time is None else ["--retry-time=" + row.retry_time]
    args = t.args(*retry, *row.args, repo=path, app=app, credentials=credentials)
    if "--app" in row.args:
        args = [a for a in args if not a.startswith("--app=")]
    return row.wrap + args


def run(t, args):
    started = time.monotonic()
    try:
        p = subprocess.run(args, env=t.env, capture_output=True, text=True,
                           timeout=ROW_SECONDS)
    except subprocess.TimeoutExpired:
        return None, [], time.monotonic() - started
    lines = [line for line in p.stderr.splitlines() if line.startswith("keelson: ")]
    if sanitizer_report(p.stderr) is not None:
        lines.append("sanitizer: " + sanitizer_report(p.stderr))
    return p.returncode, lines, time.monotonic() - started


def forms(keelson):
    """Help and version in every form a user tries; each command's help lists
    its own options and the repository file's keys."""
    for args, words in ((["sync", "--help"], ("--retry-time=SECONDS", '"certStore"',
                                               "developer options", "--app=FILE",
                                               "needs a .yaml or .yml name",
                                               "--proxy=HOST:PORT", "--proxy-wpad=URL",
                                               "never used for URLs on 127.0.0.1 or localhost")),
                        (["help", "sync"], ("--retry-time=SECONDS",)),
                        (["serve", "--help"], ("--port=N", "--www=DIR", '"repository"',
                                               "a port in use\n")),
                        (["help"], ("keelson sync --help",)), (["--help"], ("usage:",)),
                        (["-V"], ("keelson ",)), (["version"], ("keelson ",)),
                        (["--version"], ("keelson ",))):
        p = subprocess.run([keelson, *args], capture_output=True, text=True, timeout=30)
        check(p.returncode == 0 and all(w in p.stdout for w in words),
              f"keelson {' '.join(args)}: exit 0 with {words}")
    p = subprocess.run([keelson, "sync"], capture_output=True, text=True, timeout=30)
    check(p.returncode == 2 and p.stderr.count("\n") == 1 and "see 'keelson --help'" in p.stderr,
          f"a usage error is one line ({p.stderr!r})")
    p = subprocess.run([keelson, "help", "foo"], capture_output=True, text=True, timeout=30)
    check(p.returncode == 2 and p.stdout == "" and
          p.stderr.startswith("keelson: no help on foo: the commands are sync and serve"),
          f"help on an unknown topic names it, exit 2 ({p.returncode}: {p.stderr!r})")


def main():
    a = e2e_args()
    if shutil.which("nginx") is None:
        return skipped("nginx is missing")
    with tempfile.TemporaryDirectory(prefix="keelson-e2e-") as root:
        t = Tree(root, a.keelson)
        # The same files over https with a certificate of its own, pinned
        # nowhere, and with a leaf under an intermediate and a root CA.
        certificate(t.path("tls"), "unpinned", "IP:127.0.0.1")
        ca_chain(t.path("tls"))

        def s_server(*args):
            return lambda port: ["openssl", "s_server", "-quiet", "-WWW", "-accept", str(port),
                                 *args]
        unpinned = s_server("-cert", t.path("tls", "unpinned.crt"),
                            "-key", t.path("tls", "unpinned.key"))
        chained = s_server("-cert", t.path("tls", "leaf.crt"), "-key", t.path("tls", "leaf.key"),
                           "-cert_chain", t.path("tls", "mid.crt"))
        # A key too weak to pass, pinned: no retry can help.
        weak_pin = weak_certificate(t.path("tls"))
        weak = s_server("-cert", t.path("tls", "weak.crt"), "-key", t.path("tls", "weak.key"),
                        "-cipher", "DEFAULT@SECLEVEL=0")
        try:
            with http_server(t.path("www")) as plain, \
                    running(unpinned, free_port(), "openssl s_server", cwd=t.path("www"),
                            stdin=subprocess.PIPE) as u, \
                    running(chained, free_port(), "openssl s_server", cwd=t.path("www"),
                            stdin=subprocess.PIPE) as c, \
                    running(weak, free_port(), "openssl s_server", cwd=t.path("www"),
                            stdin=subprocess.PIPE) as w:
                optional_port, required_port = free_port(), free_port()
                client_cert_servers(t, optional_port, required_port)
                t.start()
                table = rows(t, plain.port, u.port, c.port, w.port, weak_pin,
                             optional_port, required_port)
                commands = [prepare(t, n, row) for n, row in enumerate(table)]
                with ThreadPoolExecutor(8) as pool:
                    results = list(pool.map(lambda args: run(t, args), commands))
        finally:
            t.stop()
        # The corrupt piece is asked for once more at once, past caches, then
        # the run ends.
        with open(t.path("pieces.txt")) as f:
            flipped = next(f"/corrupt/v1/{d}.varnopiece" for v, d, n in
                           (line.split() for line in f) if v == "v1" and n == "0")
        asked = [r[3] for r in t.log() if len(r) > 3 and r[2] == flipped]
        check(asked == ["-", "no-cache"],
              f"the corrupt piece was asked for twice, then past caches ({asked})")
        asked = " ".join(r[2] for r in t.log() if len(r) > 2)
        for n, row in ((n, row) for n, row in enumerate(table) if row.quiet):
            check(f"/quiet-{n}/" not in asked, f"{row.what}: refused at start, before any request")
        for row, (code, lines, seconds) in zip(table, results):
            last = lines[-1] if lines else ""
            retry = [line for line in lines[:-1] if "; retrying in " in line]
            # At once is shown by no retry line below, not by a time: the
            # rows run side by side, and a busy machine stretches them.
            check(code == row.exit, f"{row.what}: exit {row.exit} ({code}, {seconds:.1f} s)")
            check(not retry and all(w in last for w in row.words),
                  f"{row.what}: no retry line, then {row.words} ({lines})")
            if row.before:
                check(any(all(w in line for w in row.before) for line in lines[:-1]),
                      f"{row.what}: an earlier line with {row.before}")
            check(not any(line.startswith("sanitizer: ") for line in lines),
                  f"{row.what}: no sanitizer report at exit")
        forms(a.keelson)
    return outcome()


if __name__ == "__main__":
    sys.exit(main())
