#!/usr/bin/python3
"""Oracle vectors for the Basic and Digest answers of core/net/webgetauth,
answered by Python's urllib.request digest handler (qop auth and no qop, its
client nonce fixed) and by the RFC 2617 formulas (auth-int over the request
body, MD5-sess), and by the base64 module for Basic.

Writes <dir>/httpauth.txt, one case a line, tab-separated:
  basic  <user hex> <password hex> <Authorization value>
  digest <challenge> <user> <password> <method> <uri> <body hex> <cnonce>
         <response nc 1> <response nc 2> <response nc 3>
         <username as quoted string> <realm as quoted string>
The challenge is the text after "Digest ". The first line is "# seed N".
"""
import base64
import hashlib
import random
import re
import sys
import urllib.request

SEED = 0xA17_2617
# Printable ASCII without tab; quotes and backslashes on purpose.
TEXT = 'abcXYZ019 -_.@:"\\\'/'
NON_ASCII = ["é", "ß", "Ж", "中", "😀"]


def md5(text):
    return hashlib.md5(text.encode()).hexdigest()


def quoted(text):
    return '"' + text.replace("\\", "\\\\").replace('"', '\\"') + '"'


def word(rng, low, high, alphabet=TEXT):
    return "".join(rng.choice(alphabet) for _ in range(rng.randint(low, high)))


def urllib_responses(challenge, user, password, method, uri, body, cnonce):
    """Three answers of the stdlib handler to one challenge, nc 1 to 3."""
    chal = urllib.request.parse_keqv_list(
        filter(None, urllib.request.parse_http_list(challenge)))
    manager = urllib.request.HTTPPasswordMgr()
    manager.add_password(chal["realm"], "http://h.example/", user, password)
    handler = urllib.request.HTTPDigestAuthHandler(manager)
    handler.get_cnonce = lambda nonce: cnonce
    request = urllib.request.Request("http://h.example" + uri, data=body, method=method)
    out = []
    for _ in range(3):
        # The handler writes user and realm unescaped, so its header is read
        # for the response alone.
        header = handler.get_authorization(request, chal)
        out.append(re.search(r'response="([0-9a-f]{32})"', header).group(1))
    return out


def formula_responses(realm, nonce, qop, sess, user, password, method, uri, body,
                      cnonce):
    ha1 = md5("%s:%s:%s" % (user, realm, password))
    if sess:
        ha1 = md5("%s:%s:%s" % (ha1, nonce, cnonce))
    if qop == "auth-int":
        ha2 = md5("%s:%s:%s" % (method, uri, hashlib.md5(body or b"").hexdigest()))
    else:
        ha2 = md5("%s:%s" % (method, uri))
    if not qop:
        return [md5("%s:%s:%s" % (ha1, nonce, ha2))] * 3
    return [md5("%s:%s:%08x:%s:%s:%s" % (ha1, nonce, nc, cnonce, qop, ha2))
            for nc in (1, 2, 3)]


def digest_rows(rng):
    rows = []
    # RFC 2617's own example.
    rfc = ('realm="testrealm@host.com", qop="auth,auth-int", '
           'nonce="dcd98b7102dd2f0e8b11d0f600bfb0c093", '
           'opaque="5ccc069c403ebaf9f0171e9517f40e41"')
    rows.append((rfc, "Mufasa", "Circle Of Life", "GET", "/dir/index.html", b"",
                 "0a4f113b", urllib_responses(rfc, "Mufasa", "Circle Of Life", "GET",
                                              "/dir/index.html", None, "0a4f113b"),
                 "testrealm@host.com"))
    kinds = ["auth", "none", "auth,auth-int", "auth-int", "sess", "sess-int"]
    for n in range(18):
        kind = kinds[n % len(kinds)]
        realm = word(rng, 1, 20)
        user = word(rng, 1, 12)
        password = word(rng, 0, 16)
        nonce = "%032x" % rng.getrandbits(128)
        cnonce = "%016x" % rng.getrandbits(64)
        method = rng.choice(["GET", "POST", "PUT"])
        uri = "/" + word(rng, 0, 10, "abc/._-") + rng.choice(["", "?q=1&r=%20"])
        body = bytes(rng.getrandbits(8) for _ in range(rng.randint(0, 40)))
        if method == "GET":
            body = b""
        params = ["realm=" + quoted(realm), 'nonce="%s"' % nonce]
        qop = {"auth": "auth", "auth,auth-int": "auth,auth-int", "auth-int": "auth-int",
               "sess": "auth", "sess-int": "auth-int"}.get(kind)
        if qop:
            params.append('qop="%s"' % qop)
        if kind.startswith("sess"):
            params.append("algorithm=MD5-sess")
        elif rng.random() < 0.5:
            params.append("algorithm=MD5")
        if rng.random() < 0.5:
            params.append('opaque="%016x"' % rng.getrandbits(64))
        rng.shuffle(params)
        challenge = ", ".join(params)
        if kind in ("auth", "none", "auth,auth-int"):
            answers = urllib_responses(challenge, user, password, method, uri,
                                       body if method != "GET" else None, cnonce)
        else:
            chosen = "auth-int" if qop.startswith("auth-int") else "auth"
            answers = formula_responses(realm, nonce, chosen, kind.startswith("sess"),
                                        user, password, method, uri, body, cnonce)
        rows.append((challenge, user, password, method, uri, body, cnonce, answers, realm))
    out = []
    for challenge, user, password, method, uri, body, cnonce, answers, realm in rows:
        out.append("\t".join(["digest", challenge, user, password, method, uri, body.hex(),
                              cnonce] + answers + [quoted(user), quoted(realm)]))
    return out


def basic_rows(rng):
    out = []
    for _ in range(12):
        user = word(rng, 0, 8) + rng.choice(["", ":", rng.choice(NON_ASCII)])
        password = word(rng, 0, 8) + rng.choice(["", ":x", rng.choice(NON_ASCII)])
        pair = ("%s:%s" % (user, password)).encode()
        out.append("\t".join(["basic", user.encode().hex(), password.encode().hex(),
                              "Basic " + base64.b64encode(pair).decode()]))
    return out


def main():
    if len(sys.argv) != 2:
        sys.exit("usage: gen_httpauth.py <vectors-dir>")
    rng = random.Random(SEED)
    lines = ["# seed %d" % SEED] + digest_rows(rng) + basic_rows(rng)
    with open(sys.argv[1] + "/httpauth.txt", "w", encoding="utf-8") as f:
        f.write("\n".join(lines) + "\n")


if __name__ == "__main__":
    main()
