"""What the raw test peers share (raw_peer.py, raw_proxy.py, http_proxy.py): event lines on
stdout, a listener that serves each connection on a thread of its own, and the rule that a peer
ends when its stdin reaches end of file or its lifetime is over."""

import os
import socket
import sys
import threading

print_lock = threading.Lock()


def emit(text):
    """One event line, whole, whichever thread writes it."""
    with print_lock:
        sys.stdout.write(text + "\n")
        sys.stdout.flush()


def wait_for_stdin_end(lifetime):
    """Returns when stdin reaches end of file or after `lifetime` seconds."""
    watcher = threading.Thread(target=sys.stdin.buffer.read, daemon=True)
    watcher.start()
    watcher.join(lifetime)


def serve(host, port, handle, lifetime):
    """Listens on host:port (port 0: a free one), prints the port as the first line, runs
    handle(conn) on a thread per connection, and ends the process as wait_for_stdin_end says."""
    family = socket.AF_INET6 if ":" in host else socket.AF_INET
    listener = socket.socket(family, socket.SOCK_STREAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind((host, port))
    listener.listen(16)
    emit(str(listener.getsockname()[1]))

    def accept_forever():
        while True:
            conn, _ = listener.accept()
            threading.Thread(target=handle, args=(conn,), daemon=True).start()

    threading.Thread(target=accept_forever, daemon=True).start()
    wait_for_stdin_end(lifetime)
    os._exit(0)
