#!/usr/bin/python3
"""A raw-socket WebSocket peer for tests that need what a correct server never does: hostile
frames, broken upgrade answers, silence, resets, a close that is never answered.

Usage:
    /usr/bin/python3 raw_peer.py [options] [HEX ...]

Options:
    --host ADDR        address to bind (default 127.0.0.1)
    --port N           port to bind (default 0: a free port chosen by the system)
    --reply KIND       how to answer the upgrade request (default upgrade):
                         upgrade      a valid 101 answer
                         bad-accept   101 with a wrong Sec-WebSocket-Accept
                         no-upgrade   101 without the Upgrade header
                         not-http     a line that is not an HTTP status line
                         silent       read the request, answer nothing, keep the connection
                         reset        read the request, then reset the connection (RST)
                         hang-up      read the request, then end the connection (FIN)
                         mute         accept the TCP connection, read and answer nothing
                         raw:HEX      read the request, answer with exactly these bytes
    --protocol VALUE   add "Sec-WebSocket-Protocol: VALUE" to a valid 101 answer (may be repeated,
                       for a header sent more than once), whatever the client offered
    --answer-close     answer a close frame from the client with a close frame (by default a
                       close is recorded and never answered)
    --stop-reading     after the upgrade answer, read nothing more (the connection stays open,
                       so the client's writes pile up until its socket buffers are full)
    --lifetime SECONDS exit after this long whatever happens (default 120)

HEX arguments are raw bytes (frames as a server would send them, unmasked) written right after
the upgrade answer, in the same write, so that they arrive together with the header block.

The first line on stdout is the bound port number, alone. Then one line per event:
    header NAME VALUE       one request header (NAME in lower case)
    frame OPCODE LENGTH HEX a frame the client sent: opcode in decimal, payload unmasked, in hex
    unmasked OPCODE         the client sent a frame without a mask (a client must mask)
    eof                     the client ended the TCP connection
    done                    the connection is over
Every connection accepted is served the same way, each on its own thread, until the peer is
killed, its stdin reaches end of file, or its lifetime is over.
"""

import argparse
import base64
import hashlib
import socket
import struct
import threading

from threaded_server import emit, serve as serve_connections

GUID = b"258EAFA5-E914-47DA-95CA-C5AB0DC85B11"  # RFC 6455 1.3
READ_SIZE = 65536
OPCODE_CLOSE = 8


def read_request(conn):
    data = b""
    while b"\r\n\r\n" not in data:
        chunk = conn.recv(READ_SIZE)
        if not chunk:
            return None, b""
        data += chunk
    head, _, rest = data.partition(b"\r\n\r\n")
    headers = {}
    for line in head.split(b"\r\n")[1:]:
        name, _, value = line.decode("latin-1").partition(":")
        headers[name.strip().lower()] = value.strip()
        emit(f"header {name.strip().lower()} {value.strip()}")
    return headers, rest


def accept_value(key):
    return base64.b64encode(hashlib.sha1(key.encode() + GUID).digest()).decode()


def upgrade_answer(headers, kind, protocols):
    accept = accept_value(headers.get("sec-websocket-key", ""))
    if kind == "bad-accept":
        accept = accept_value("not the key")
    lines = ["HTTP/1.1 101 Switching Protocols"]
    if kind != "no-upgrade":
        lines.append("Upgrade: websocket")
    lines += ["Connection: Upgrade", f"Sec-WebSocket-Accept: {accept}"]
    lines += [f"Sec-WebSocket-Protocol: {protocol}" for protocol in protocols]
    lines += ["", ""]
    return "\r\n".join(lines).encode()


def parse_frames(buffer, conn, answer_close):
    """Records every whole client frame in buffer; returns the bytes left over."""
    while len(buffer) >= 2:
        opcode = buffer[0] & 0x0F
        masked = buffer[1] & 0x80
        length = buffer[1] & 0x7F
        offset = 2
        if length == 126:
            if len(buffer) < 4:
                break
            length = struct.unpack("!H", buffer[2:4])[0]
            offset = 4
        elif length == 127:
            if len(buffer) < 10:
                break
            length = struct.unpack("!Q", buffer[2:10])[0]
            offset = 10
        mask = b"\0\0\0\0"
        if masked:
            mask = buffer[offset:offset + 4]
            offset += 4
        if len(buffer) < offset + length:
            break
        payload = bytes(b ^ mask[i % 4] for i, b in enumerate(buffer[offset:offset + length]))
        buffer = buffer[offset + length:]
        if not masked:
            emit(f"unmasked {opcode}")
        emit(f"frame {opcode} {len(payload)} {payload.hex()}")
        if opcode == OPCODE_CLOSE and answer_close:
            conn.sendall(bytes([0x80 | OPCODE_CLOSE, len(payload)]) + payload)
    return buffer


def serve(conn, arguments, after_answer):
    with conn:
        kind = arguments.reply
        if kind == "mute":
            while conn.recv(READ_SIZE):
                pass
            emit("eof")
            return
        headers, rest = read_request(conn)
        if headers is None:
            emit("eof")
            return
        if kind == "reset":
            conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            return
        if kind == "hang-up":
            conn.shutdown(socket.SHUT_RDWR)
            return
        if kind == "not-http":
            conn.sendall(b"SSH-2.0-hello\r\n\r\n")
        elif kind.startswith("raw:"):
            conn.sendall(bytes.fromhex(kind[4:]))
        elif kind != "silent":
            conn.sendall(upgrade_answer(headers, kind, arguments.protocol) + after_answer)
        if arguments.stop_reading:
            threading.Event().wait(arguments.lifetime)
            return
        buffer = rest
        while True:
            buffer = parse_frames(buffer, conn, arguments.answer_close)
            try:
                chunk = conn.recv(READ_SIZE)
            except ConnectionResetError:
                chunk = b""
            if not chunk:
                emit("eof")
                return
            buffer += chunk


def serve_and_report(conn, arguments, after_answer):
    try:
        serve(conn, arguments, after_answer)
    except OSError:
        pass
    emit("done")


def main():
    parser = argparse.ArgumentParser(description="raw-socket WebSocket test peer")
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--reply", default="upgrade")
    parser.add_argument("--protocol", action="append", default=[])
    parser.add_argument("--answer-close", action="store_true")
    parser.add_argument("--stop-reading", action="store_true")
    parser.add_argument("--lifetime", type=float, default=120.0)
    parser.add_argument("frames", nargs="*")
    arguments = parser.parse_args()
    after_answer = b"".join(bytes.fromhex(frame) for frame in arguments.frames)
    serve_connections(arguments.host, arguments.port,
                      lambda conn: serve_and_report(conn, arguments, after_answer),
                      arguments.lifetime)


if __name__ == "__main__":
    main()
