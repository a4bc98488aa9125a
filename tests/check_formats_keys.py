#!/usr/bin/python3
"""The repository file's keys as docs/formats.md, `keelson sync --help` and
`keelson sync` know them must be one set: every key the table of "The
repository file" names is accepted by sync and listed by --help, and every
key sync accepts (host/usercheck.cpp's list) is in the table. So must the
pins: the digests the program reads (core/security/certstorethumbprint.cpp)
are the ones formats.md, --help and the refusal line name, and the forms
they promise are read. And the exit statuses --help gives are the ones the
command returns.

  check_formats_keys.py KEELSON SOURCE_DIR
"""
import base64
import hashlib
import json
import os
import re
import signal
import subprocess
import sys
import tempfile

HASH_NAMES = {"kHashSha1": "SHA-1", "kHashSha224": "SHA-224", "kHashSha256": "SHA-256",
              "kHashSha384": "SHA-384", "kHashSha512": "SHA-512"}


def run(keelson, args, cwd, **kw):
    return subprocess.run([keelson, *args], capture_output=True, text=True, timeout=30, cwd=cwd,
                          **kw)


def write(path, doc, mode=0o600):
    with open(path, "w") as f:
        json.dump(doc, f)
    os.chmod(path, mode)
    return path


def public_key(root):
    """A keyStores entry made as formats.md says, from a private key file."""
    recipe = "openssl pkey -in key.pem -pubout -outform DER | base64 -w0"
    subprocess.run(["openssl", "genpkey", "-algorithm", "EC", "-pkeyopt",
                    "ec_paramgen_curve:P-256", "-out", os.path.join(root, "key.pem")],
                   check=True, capture_output=True, timeout=30)
    return subprocess.run(recipe, shell=True, cwd=root, check=True, capture_output=True,
                          text=True, timeout=30).stdout.strip(), recipe


def check_pins(keelson, source, text, root):
    """The digests and forms of pins: the program's, formats.md's, --help's
    and the refusal line's agree, and each form promised is read."""
    failures = []
    with open(os.path.join(source, "core", "security", "certstorethumbprint.cpp")) as f:
        block = f.read().split("kHashes[] = {", 1)[1].split("};", 1)[0]
    read = {HASH_NAMES[n] for n in re.findall(r"&(kHash\w+)", block)}
    row = next(line for line in text.splitlines() if line.startswith("| `thumbprintStores`"))
    help_text = " ".join(run(keelson, ["sync", "--help"], root).stdout.split())
    help_pins = help_text.split("thumbprintStores:", 1)[1].split(")", 1)[0]
    key, recipe = public_key(root)
    if recipe not in text:
        failures.append(f"docs/formats.md gives no keyStores recipe from a private key ({recipe})")
    repo = write(os.path.join(root, "pins-repo.json"),
                 {"repository": "x", "certStore": "k", "alias": "http://127.0.0.1:9/alias.json"})
    app = write(os.path.join(root, "pins-app.json"),
                {"keyStores": {"k": key}, "thumbprintStores": {"app": ["AAAA"]}})
    refusal = run(keelson, ["sync", "--retry-time=0", "--app=" + app, repo], root).stderr
    for where, words in (("docs/formats.md's thumbprintStores row", row),
                         ("keelson sync --help", help_pins), ("the refusal of a bad pin", refusal)):
        named = set(re.findall(r"SHA-\d+", words))
        if named != read:
            failures.append(f"{where} names {sorted(named)}, the program reads {sorted(read)}")
    for where, words in (("docs/formats.md's thumbprintStores row", row),
                         ("keelson sync --help", help_pins)):
        if "base64url" not in words or "white space" not in words:
            failures.append(f"{where} does not say base64url and white space are read")
    digest = base64.b64encode(hashlib.sha256(b"a certificate").digest()).decode()
    for form, pin in (("base64url without '='",
                       digest.rstrip("=").replace("+", "-").replace("/", "_")),
                      ("white space around", "\n " + digest + " \n")):
        write(app, {"keyStores": {"k": key}, "thumbprintStores": {"app": [pin]}})
        err = run(keelson, ["sync", "--retry-time=0", "--app=" + app, repo], root).stderr
        if "thumbprintStores" in err:
            failures.append(f"a pin as {form} is refused ({err.strip()!r})")
    return failures


def check_exits(keelson, root):
    """Each exit status --help gives, met as it says."""
    failures = []
    usage = " ".join(run(keelson, ["--help"], root).stdout.split())
    said = usage.split("exit status:", 1)[1] if "exit status:" in usage else ""
    key, _ = public_key(root)
    app = write(os.path.join(root, "exit-app.json"), {"keyStores": {"app": key}})
    repo = write(os.path.join(root, "exit-repo.json"),
                 {"repository": "x", "local": {"type": "file", "path": os.path.join(root, "x")}})
    loose = write(os.path.join(root, "loose-repo.json"), {"repository": "x"}, 0o664)
    # (what --help says, a command line it says it of)
    rows = [("1 the sync failed or a file was refused", ["sync", "--app=" + app, loose]),
            ("2 usage", ["sync", "--no-such-option"]),
            ("2 usage", ["help", "no-such-topic"]),
            ("2 usage or a file that cannot be read",
             ["sync", os.path.join(root, "missing.json")])]
    for words, args in rows:
        code = run(keelson, args, root).returncode
        if words not in said:
            failures.append(f"--help's exit status does not say {words!r} ({said!r})")
        if code != int(words.split()[0]):
            failures.append(f"keelson {' '.join(args)}: exit {code}, --help says {words!r}")
    # serve: 0 on SIGTERM, as --help says.
    if "0 done (and serve stopped by SIGINT or SIGTERM)" not in said:
        failures.append(f"--help's exit status does not give serve's 0 on SIGTERM ({said!r})")
    p = subprocess.Popen([keelson, "serve", "--app=" + app, repo], stdout=subprocess.PIPE,
                         stderr=subprocess.PIPE, text=True, cwd=root)
    try:
        started = p.stdout.readline()
        p.send_signal(signal.SIGTERM)
        code = p.wait(timeout=30)
    finally:
        if p.poll() is None:
            p.kill()
            p.wait(timeout=10)
    if not started or code != 0:
        failures.append(f"keelson serve, SIGTERM: exit {code} ({p.stderr.read().strip()!r})")
    return failures


def main():
    keelson, source = os.path.abspath(sys.argv[1]), sys.argv[2]
    with open(os.path.join(source, "docs", "formats.md")) as f:
        text = f.read()
    table = text.split("## The repository file", 1)[1].split("###", 1)[0]
    documented = {k for line in table.splitlines() if line.startswith("| `")
                  for k in re.findall(r'`"(\w+)"`', line.split(" | ")[0])}
    with open(os.path.join(source, "host", "usercheck.cpp")) as f:
        block = f.read().split("kRepositoryKeys[] = {", 1)[1].split("};", 1)[0]
    accepted = set(re.findall(r'"(\w+)"', block))
    help_text = subprocess.run([keelson, "sync", "--help"], capture_output=True, text=True,
                               timeout=30).stdout.split("the repository file", 1)[1]
    listed = {k for k in accepted | documented if re.search(rf'\b{k}\b', help_text)}
    failures = [f"{k}: in docs/formats.md, not accepted by sync" for k in documented - accepted]
    failures += [f"{k}: accepted by sync, not in docs/formats.md" for k in accepted - documented]
    failures += [f"{k}: not in keelson sync --help" for k in (accepted | documented) - listed]
    # What the list says is what the command does: each documented key
    # passes the check of unknown keys, and one that is not is refused.
    with tempfile.TemporaryDirectory(prefix="keelson-keys-") as root:
        for keys, refused in ((sorted(documented), None), (["repository", "deltaCache"],
                                                           "deltaCache")):
            path = os.path.join(root, "repo.json")
            with open(path, "w") as f:
                json.dump({k: "x" for k in keys}, f)
            p = subprocess.run([keelson, "sync", "--retry-time=0", path], capture_output=True,
                               text=True, timeout=30, cwd=root)
            unknown = re.findall(r'unknown key "(\w+)"', p.stderr)
            if unknown != ([refused] if refused else []):
                failures.append(f"sync on {keys}: refused {unknown} ({p.stderr.strip()!r})")
    with tempfile.TemporaryDirectory(prefix="keelson-keys-") as root:
        failures += check_pins(keelson, source, text, root)
        failures += check_exits(keelson, root)
    for line in failures:
        print("FAIL " + line)
    print(f"{len(documented)} keys documented, {len(accepted)} accepted: "
          f"{'ok' if not failures else 'MISMATCH'}")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
