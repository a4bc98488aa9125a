"""An analytics endpoint for the analytics tests, built on http.server. It
listens on 127.0.0.1 (a free port, written to <dir>/port) and appends one
JSON line per POST to <dir>/posts before it answers:
{"path", "contentType", "apiKey", "events" (the body as Python's json reads
it, null when it does not parse), "keys" (each event's keys in order)}.

The path chooses the answer:
/status/N/...  status N
/drip/...      200 announcing 600 body bytes, then one byte every 0.1 s
anything else  200 "ok"
"""
import http.server
import json
import os
import sys
import threading
import time

directory = sys.argv[1]
record_lock = threading.Lock()


def record(handler, body):
    try:
        events = json.loads(body.decode('utf-8'))
    except ValueError:
        events = None
    keys = None
    if isinstance(events, list):
        keys = [list(e.keys()) if isinstance(e, dict) else None for e in events]
    line = json.dumps({'path': handler.path,
                       'contentType': handler.headers.get('Content-Type'),
                       'apiKey': handler.headers.get('X-Api-Key'),
                       'events': events, 'keys': keys})
    with record_lock, open(os.path.join(directory, 'posts'), 'a') as f:
        f.write(line + '\n')


class Handler(http.server.BaseHTTPRequestHandler):
    def log_message(self, *args):
        pass

    def do_POST(self):
        length = int(self.headers.get('Content-Length', '0'))
        record(self, self.rfile.read(length))
        parts = self.path.split('/')
        if len(parts) > 2 and parts[1] == 'status':
            self.answer(int(parts[2]), b'')
        elif len(parts) > 1 and parts[1] == 'drip':
            self.drip(600)
        else:
            self.answer(200, b'ok')

    def answer(self, status, body):
        self.send_response(status)
        self.send_header('Content-Length', str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def drip(self, length):
        self.send_response(200)
        self.send_header('Content-Length', str(length))
        self.end_headers()
        self.wfile.flush()
        try:
            for _ in range(length):
                self.wfile.write(b'x')
                self.wfile.flush()
                time.sleep(0.1)
        except OSError:
            pass


server = http.server.ThreadingHTTPServer(('127.0.0.1', 0), Handler)
server.daemon_threads = True
with open(os.path.join(directory, 'port.tmp'), 'w') as f:
    f.write(str(server.server_address[1]))
os.rename(os.path.join(directory, 'port.tmp'), os.path.join(directory, 'port'))
server.serve_forever()
