#!/usr/bin/python3
"""Oracle vectors for core/posix/autoproxy, answered by pacparser (Debian's
python3-pacparser): a proxy auto-configuration script using every standard
helper but the time ones, and its answers for a set of URLs.

Writes <dir>/pac_corpus.js (the script) and <dir>/pac.txt, one case a line,
tab-separated: <url> <host> <pacparser's answer>. Hosts are literals and
names from /etc/hosts, so no answer depends on a name server.
"""
import os
import sys
import warnings

warnings.simplefilter("ignore")
import pacparser  # noqa: E402

SCRIPT = r"""
function FindProxyForURL(url, host) {
  if (isPlainHostName(host))
    return "DIRECT; PLAIN " + dnsDomainLevels(host) + " " + localHostOrDomainIs(host, host + ".corp.example");
  if (dnsDomainIs(host, ".intra.example") || localHostOrDomainIs(host, "www.intra.example"))
    return "PROXY intra:3128";
  if (shExpMatch(url, "*://*.cdn.example/*") || shExpMatch(host, "img?.example.org"))
    return "PROXY cdn:8080; DIRECT";
  if (shExpMatch(url, "http://literal.example/a.b/*"))
    return "PROXY dots:1";
  if (shExpMatch(host, "*a*b?c*") || shExpMatch(url, "*/??/*"))
    return "PROXY glob:1";
  if (isInNet(host, "10.0.0.0", "255.0.0.0"))
    return "PROXY ten:1 " + dnsDomainLevels(host);
  if (isInNet(host, "192.168.7.9", "255.255.0.0"))
    return "PROXY hostbits:1";
  if (isInNet(host, "127.0.0.0", "255.0.0.0"))
    return "DIRECT; LOOP " + dnsResolve(host) + " " + isResolvable(host);
  if (isInNet(myIpAddress(), "0.0.0.0", "0.0.0.0") && host == "me.example")
    return "PROXY me:" + (myIpAddress() == dnsResolve(myIpAddress()) ? "same" : "other");
  return "PROXY default:80; SOCKS s:1080";
}
"""

URLS = [
    "http://intranet/", "https://wiki/page", "http://a.intra.example/x", "http://www/",
    "https://www.intra.example:8443/", "http://x.cdn.example/file.js", "ftp://img1.example.org/",
    "http://img12.example.org/", "http://literal.example/a.b/c", "http://literal.example/aXb/c",
    "http://10.20.30.40/", "http://10.20.30.40:8080/p", "http://192.168.1.2/", "http://192.169.1.2/",
    "http://127.0.0.1/", "http://localhost.localdomain/", "http://me.example/",
    "https://www.example.com/", "http://[::1]/", "http://zzazzbqczz.example/",
    "http://abc.example/", "http://abxc.example/", "http://q.example/ab/c", "http://q.example/a/c",
]


def host_of(url):
    rest = url.split("://", 1)[1]
    for stop in "/?#":
        rest = rest.split(stop, 1)[0]
    return rest.split(":", 1)[0]


def main():
    out = sys.argv[1]
    os.makedirs(out, exist_ok=True)
    with open(os.path.join(out, "pac_corpus.js"), "w") as f:
        f.write(SCRIPT)
    pacparser.init()
    pacparser.parse_pac_string(SCRIPT)
    with open(os.path.join(out, "pac.txt"), "w") as f:
        for url in URLS:
            host = host_of(url)
            f.write("%s\t%s\t%s\n" % (url, host, pacparser.find_proxy(url, host)))
    pacparser.cleanup()


if __name__ == "__main__":
    main()
