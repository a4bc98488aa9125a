"""What the Python HTTP peers of the connection tests share: reading one
request head from a connection and serving every connection of a listener
on 127.0.0.1 on its own thread, with the port written to <dir>/port."""
import os
import socket
import threading


def read_head(conn, pending):
    """The next request head (without its blank line) and the bytes behind
    it; (None, pending) when the peer closed first."""
    while b'\r\n\r\n' not in pending:
        data = conn.recv(65536)
        if not data:
            return None, pending
        pending += data
    head, _, rest = pending.partition(b'\r\n\r\n')
    return head, rest


def serve_forever(directory, serve, port=0):
    """Listens on port (0: a free one) of 127.0.0.1, publishes it and runs
    serve(conn) for every connection on its own thread."""
    listener = socket.socket()
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(('127.0.0.1', port))
    listener.listen(64)
    with open(os.path.join(directory, 'port.tmp'), 'w') as f:
        f.write(str(listener.getsockname()[1]))
    os.rename(os.path.join(directory, 'port.tmp'), os.path.join(directory, 'port'))
    while True:
        conn, _ = listener.accept()
        threading.Thread(target=serve, args=(conn,), daemon=True).start()
