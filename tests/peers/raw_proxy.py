#!/usr/bin/python3
"""A hand-written HTTP proxy for tests that need what a real proxy does not do: answers that are
broken, silent, cut into single bytes or followed by extra bytes, and names it resolves itself.

Usage:
    /usr/bin/python3 raw_proxy.py [options]

Options:
    --reply KIND       how to answer a CONNECT request (default tunnel):
                         tunnel     "HTTP/1.1 200 Connection established", then relay both ways
                         split      the same answer one byte per write, a pause between, then
                                    relay
                         extra:HEX  the same answer and these bytes in one write, then relay
                         not-http   a line that is not an HTTP status line, then nothing more
                         silent     read the request, answer nothing, keep the connection
                         hang-up    read the request, then end the connection (FIN)
                         raw:HEX    exactly these bytes, then nothing more
    --map NAME=ADDRESS connect tunnels for NAME to ADDRESS (repeat for more names); other names
                       are resolved as usual
    --lifetime SECONDS exit after this long whatever happens (default 120)

The first line on stdout is the bound port (on 127.0.0.1), alone. Then one line per event:
    request LINE       a request arrived; LINE is its request line
    header NAME VALUE  one of its headers (NAME in lower case)
    tunnel HOST PORT   the tunnel to HOST PORT (after --map) is open and relaying
Every connection is served on its own thread until the proxy is killed, its stdin reaches end of
file, or its lifetime is over.
"""

import argparse
import socket
import threading
import time

from threaded_server import emit, serve as serve_connections

READ_SIZE = 65536
SPLIT_PAUSE_SECONDS = 0.002
ESTABLISHED = b"HTTP/1.1 200 Connection established\r\n\r\n"


def read_request(conn):
    """The request line and headers; None when the client left first. Bytes after the head
    (a client never sends any before the answer) are dropped."""
    data = b""
    while b"\r\n\r\n" not in data:
        chunk = conn.recv(READ_SIZE)
        if not chunk:
            return None
        data += chunk
    lines = data.partition(b"\r\n\r\n")[0].decode("latin-1").split("\r\n")
    emit(f"request {lines[0]}")
    for line in lines[1:]:
        name, _, value = line.partition(":")
        emit(f"header {name.strip().lower()} {value.strip()}")
    return lines[0]


def pump(source, sink):
    try:
        while True:
            chunk = source.recv(READ_SIZE)
            if not chunk:
                break
            sink.sendall(chunk)
    except OSError:
        pass
    try:
        sink.shutdown(socket.SHUT_WR)
    except OSError:
        pass


def open_tunnel(conn, target, names, answer, split):
    host, _, port = target.rpartition(":")
    host = host.strip("[]")
    server = socket.create_connection((names.get(host, host), int(port)))
    emit(f"tunnel {names.get(host, host)} {port}")
    if split:
        conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        for byte in answer:
            conn.sendall(bytes([byte]))
            time.sleep(SPLIT_PAUSE_SECONDS)
    else:
        conn.sendall(answer)
    threading.Thread(target=pump, args=(server, conn), daemon=True).start()
    pump(conn, server)


def serve(conn, arguments, names):
    with conn:
        request = read_request(conn)
        if request is None:
            return
        kind = arguments.reply
        if kind == "hang-up":
            conn.shutdown(socket.SHUT_RDWR)
            return
        if kind in ("tunnel", "split") or kind.startswith("extra:"):
            extra = bytes.fromhex(kind[6:]) if kind.startswith("extra:") else b""
            target = request.split(" ")[1]
            open_tunnel(conn, target, names, ESTABLISHED + extra, kind == "split")
            return
        if kind == "not-http":
            conn.sendall(b"SSH-2.0-hello\r\n\r\n")
        elif kind.startswith("raw:"):
            conn.sendall(bytes.fromhex(kind[4:]))
        while conn.recv(READ_SIZE):  # silent, and after an answer that opens nothing
            pass


def serve_safely(conn, arguments, names):
    try:
        serve(conn, arguments, names)
    except OSError:
        pass


def main():
    parser = argparse.ArgumentParser(description="hand-written HTTP proxy for tests")
    parser.add_argument("--reply", default="tunnel")
    parser.add_argument("--map", action="append", default=[])
    parser.add_argument("--lifetime", type=float, default=120.0)
    arguments = parser.parse_args()
    names = dict(entry.split("=", 1) for entry in arguments.map)
    serve_connections("127.0.0.1", 0, lambda conn: serve_safely(conn, arguments, names),
                      arguments.lifetime)


if __name__ == "__main__":
    main()
