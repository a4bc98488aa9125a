#!/usr/bin/python3
"""Raw answers of a real nginx for core/net/webgetrequest_response.

Starts nginx (Debian's nginx package) on 127.0.0.1 with a free port, gzip on,
Last-Modified from the served files, and add_header lines for
Content-Disposition and X-Cache; a raw-socket client sends HTTP/1.1 requests
(plain, gzip accepted, byte ranges) and records each answer byte for byte.

Writes <dir>/nginx_answers.txt, one answer a line of tab-separated fields:
  <name> <answer hex> <expected body hex> <range start> <range end> <mtime>
where the expected body is the served file (or its range) and mtime its
modification time. Without nginx the file holds the single line "# skip".
"""
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import time
import random

out_dir = sys.argv[1]
os.makedirs(out_dir, exist_ok=True)
out_path = os.path.join(out_dir, "nginx_answers.txt")
nginx = shutil.which("nginx") or ("/usr/sbin/nginx" if os.path.exists("/usr/sbin/nginx") else None)
if nginx is None:
    with open(out_path, "w") as f:
        f.write("# skip\n")
    sys.exit(0)

rng = random.Random(42)
root = tempfile.mkdtemp(prefix="k38nginx")
os.chmod(root, 0o755)
www = os.path.join(root, "www")
os.makedirs(www)
files = {
    "text.txt": b"".join(b"%d: the quick brown fox jumps over the lazy dog\n" % i for i in range(30000)),
    "small.txt": b"hello nginx\n",
    "blob.bin": bytes(rng.getrandbits(8) for _ in range(300000)),
}
for name, data in files.items():
    with open(os.path.join(www, name), "wb") as f:
        f.write(data)
    os.utime(os.path.join(www, name), (1500000000, 1500000000 + len(name)))

# A port held until this script ends (see free_port): no other program takes
# it before nginx binds it, and the answers recorded are nginx's.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "e2e"))
from sync_e2e import free_port  # noqa: E402
port = free_port()
conf = os.path.join(root, "nginx.conf")
user = "user root;\n" if os.geteuid() == 0 else ""
with open(conf, "w") as f:
    f.write(user + """
worker_processes 1;
pid %(root)s/nginx.pid;
error_log %(root)s/error.log;
events { worker_connections 64; }
http {
  access_log off;
  client_body_temp_path %(root)s/body;
  proxy_temp_path %(root)s/proxy;
  fastcgi_temp_path %(root)s/fastcgi;
  uwsgi_temp_path %(root)s/uwsgi;
  scgi_temp_path %(root)s/scgi;
  gzip on;
  gzip_min_length 0;
  gzip_types text/plain application/octet-stream;
  types { text/plain txt; application/octet-stream bin; }
  server {
    listen 127.0.0.1:%(port)d;
    root %(www)s;
    add_header Content-Disposition 'attachment; filename="served.dat"';
    add_header X-Cache 'HIT from edge1';
  }
}
""" % {"root": root, "port": port, "www": www})
proc = subprocess.Popen([nginx, "-p", root, "-c", conf, "-g", "daemon off;"],
                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def fetch(path, extra=""):
    deadline = time.time() + 10
    while True:
        try:
            c = socket.create_connection(("127.0.0.1", port), timeout=10)
            break
        except OSError:
            if time.time() > deadline:
                raise
            time.sleep(0.05)
    c.sendall(("GET /%s HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n%s\r\n"
               % (path, extra)).encode())
    data = b""
    while True:
        part = c.recv(65536)
        if not part:
            break
        data += part
    c.close()
    return data


lines = []
try:
    for name, data in files.items():
        mtime = 1500000000 + len(name)
        lines.append(("%s_plain" % name, fetch(name), data, 0, 0, mtime))
        answer = fetch(name, "Accept-Encoding: gzip\r\n")
        assert b"chunked" in answer.split(b"\r\n\r\n")[0].lower()
        lines.append(("%s_gzip_chunked" % name, answer, data, 0, 0, mtime))
        start, end = len(data) // 3, len(data) // 2
        lines.append(("%s_range" % name, fetch(name, "Range: bytes=%d-%d\r\n" % (start, end)),
                      data[start:end + 1], start, end, mtime))
finally:
    proc.terminate()
    try:
        proc.wait(timeout=10)
    except subprocess.TimeoutExpired:
        proc.kill()
    shutil.rmtree(root, ignore_errors=True)

with open(out_path, "w") as f:
    for name, answer, body, start, end, mtime in lines:
        f.write("%s\t%s\t%s\t%d\t%d\t%d\n" % (name, answer.hex(), body.hex(), start, end, mtime))
