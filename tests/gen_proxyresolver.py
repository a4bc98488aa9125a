#!/usr/bin/python3
"""Oracle vectors for core/net/proxyresolver: the proxy list pacparser
(Debian's python3-pacparser) gives for each URL of a small corpus under each
of a few proxy auto-configuration scripts. The resolver fetches the same
script and must give the same list.

Writes <dir>/proxyresolver_pac<N>.js (the scripts) and
<dir>/proxyresolver_pac.txt, one case a line, tab-separated:
<script number> <url> <pacparser's answer>. Hosts are literals and names
from /etc/hosts, so no answer depends on a name server.
"""
import os
import sys
import warnings

warnings.simplefilter("ignore")
import pacparser  # noqa: E402

from gen_pac import host_of  # noqa: E402

SCRIPTS = [
    r"""
function FindProxyForURL(url, host) {
  if (isPlainHostName(host) || dnsDomainIs(host, ".corp.example"))
    return "DIRECT";
  if (shExpMatch(url, "https://*"))
    return "PROXY secure.example:3128; DIRECT";
  if (shExpMatch(host, "*.cdn.example") || shExpMatch(url, "*/static/*"))
    return "PROXY cdn.example:8080";
  return "PROXY web.example:80; PROXY backup.example:81";
}
""",
    r"""
function FindProxyForURL(url, host) {
  // Only literals and "localhost" are looked up: no answer waits for a name server.
  var literal = /^[0-9.]+$/.test(host) || host == "localhost";
  if (literal && (isInNet(host, "10.0.0.0", "255.0.0.0") || isInNet(host, "192.168.0.0", "255.255.0.0")))
    return "DIRECT";
  if (literal && isInNet(host, "127.0.0.0", "255.0.0.0"))
    return "PROXY loop.example:1";
  if (localHostOrDomainIs(host, "www.example.org"))
    return "PROXY www.example:2";
  return "PROXY " + dnsDomainLevels(host) + ".levels.example:3";
}
""",
    r"""
function FindProxyForURL(url, host) {
  // Ranges that do not wrap past Saturday: engines differ on those.
  if (!weekdayRange("SUN", "SAT"))
    return "PROXY never.example:1";
  if (weekdayRange("SUN", "SAT", "GMT") && shExpMatch(host, "a?c.example"))
    return "PROXY week.example:4";
  if (url.substring(0, 4) == "ftp:")
    return "PROXY ftp.example:21";
  return "DIRECT";
}
""",
]

URLS = [
    "http://intranet/", "http://wiki.corp.example/page", "https://bank.example/login",
    "http://img.cdn.example/a.png", "http://site.example/static/app.js",
    "http://site.example/index.html", "http://10.1.2.3/", "http://192.168.10.20:8080/x",
    "http://127.0.0.1:9/", "http://localhost/", "http://www/", "http://www.example.org/",
    "http://a.b.c.example/", "http://abc.example/", "http://abbc.example/", "ftp://files.example/",
]


def main():
    out = sys.argv[1]
    os.makedirs(out, exist_ok=True)
    with open(os.path.join(out, "proxyresolver_pac.txt"), "w") as cases:
        for number, script in enumerate(SCRIPTS):
            with open(os.path.join(out, "proxyresolver_pac%d.js" % number), "w") as f:
                f.write(script)
            pacparser.init()
            pacparser.parse_pac_string(script)
            for url in URLS:
                answer = pacparser.find_proxy(url, host_of(url))
                cases.write("%d\t%s\t%s\n" % (number, url, answer))
            pacparser.cleanup()


if __name__ == "__main__":
    main()
