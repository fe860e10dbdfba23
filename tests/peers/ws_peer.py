#!/usr/bin/python3
"""A scriptable WebSocket server for tests, on Debian's python3-websockets (run it with
/usr/bin/python3, which is the interpreter that sees that package).

Usage:
    /usr/bin/python3 ws_peer.py [options] [STEP ...]

Options:
    --host ADDR        address to bind (default 127.0.0.1; ::1 works too)
    --port N           port to bind (default 0: a free port chosen by the system)
    --cert FILE --key FILE
                       serve TLS with this certificate chain and private key (PEM)
    --status CODE      answer every upgrade request with this HTTP status (e.g. 200, 404)
                       instead of 101; the steps are not run
    --subprotocol NAME a subprotocol the server speaks (may be repeated): of those the client
                       offers, the server selects one it speaks, or none
    --record FILE      also append every event line to FILE (flushed line by line)
    --lifetime SECONDS exit after this long whatever happens (default 120)

The first line on stdout is the bound port number, alone. The server then serves every
connection it accepts, one after another or at once, until it is killed, its stdin reaches end
of file, or its lifetime is over. Each connection runs the steps in order; when the steps are
done (or when none are given) the connection echoes every message back as it came (text as
text, binary as binary) until the client closes it.

Steps:
    text=N          send a text message of N bytes, in one frame
    text=N/F        send a text message of N bytes, fragmented into frames of at most F bytes
    binary=N        send a binary message of N bytes, in one frame
    binary=N/F      the same, fragmented
    say=TEXT        send TEXT (given as UTF-8) as one text message
    ping=TEXT       send a ping with TEXT as its payload and wait (up to 10 s) for the pong
    close=CODE      close the connection with CODE (and wait for the client's reply close)
    close=CODE:TEXT the same, with TEXT (UTF-8) as the close reason
    drop            end the TCP connection at once, without a close frame (FIN)
    reset           end the TCP connection with a reset (RST)
    await=N         wait until N messages in all have been received on this connection
    sleep=SECONDS   pause
    hold            do nothing more: keep receiving and recording, echo nothing
    echo            echo everything back (the default once the steps are done)

A message of N bytes made by text=N or binary=N repeats "abcdefghijklmnopqrstuvwxyz" cut to N
bytes, so a test can rebuild it.

Event lines, on stdout (and in the --record file), one per event, fields separated by one space:
    sni NAME                      TLS only: the server name the client asked for ("-": none)
    connect PATH                  an upgrade request for PATH arrived
    header NAME VALUE             one request header (NAME in lower case), right after connect
    tls VERSION ALPN              TLS only: the protocol version and the ALPN protocol agreed
    text LENGTH HEX               a text message received from the client, its bytes in hex
                                  (over 4096 bytes: "text LENGTH sha256=DIGEST" instead)
    binary LENGTH HEX             a binary message received from the client (the same way)
    pong HEX                      the pong that answered our ping, its payload in hex
    close CODE                    the close code the client sent (1005: none in its frame,
                                  1006: the connection ended without a close frame)
    done                          the connection is over
"""

import argparse
import asyncio
import hashlib
import http
import logging
import os
import socket
import ssl
import struct
import sys

import websockets
import websockets.exceptions

PATTERN = b"abcdefghijklmnopqrstuvwxyz"
PONG_WAIT_SECONDS = 10
LONGEST_PRINTED = 4096


def describe(data):
    """LENGTH HEX, or LENGTH sha256=DIGEST for a message too long to print."""
    if len(data) > LONGEST_PRINTED:
        return f"{len(data)} sha256={hashlib.sha256(data).hexdigest()}"
    return f"{len(data)} {data.hex()}"


def pattern_bytes(length):
    repeats = length // len(PATTERN) + 1
    return (PATTERN * repeats)[:length]


class Recorder:
    def __init__(self, path):
        self.file = open(path, "a", encoding="ascii") if path else None

    def line(self, text):
        sys.stdout.write(text + "\n")
        sys.stdout.flush()
        if self.file:
            self.file.write(text + "\n")
            self.file.flush()


def sized_payload(size_text, as_text):
    """'N' or 'N/F' -> the payload and the frame size (None for one frame)."""
    size, _, fragment = size_text.partition("/")
    data = pattern_bytes(int(size))
    payload = data.decode("ascii") if as_text else data
    return payload, (int(fragment) if fragment else None)


async def send_sized(ws, size_text, as_text):
    payload, fragment = sized_payload(size_text, as_text)
    if fragment is None or len(payload) <= fragment:
        await ws.send(payload)
        return
    pieces = [payload[i:i + fragment] for i in range(0, len(payload), fragment)]
    await ws.send(pieces)  # an iterable goes out as one fragmented message


def end_tcp(ws, with_reset):
    sock = ws.transport.get_extra_info("socket")
    if with_reset and sock is not None:
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    ws.transport.abort()


class Connection:
    def __init__(self, ws, recorder):
        self.ws = ws
        self.recorder = recorder
        self.received = 0
        self.echoing = False
        self.arrived = asyncio.Condition()

    async def read_all(self):
        """Reads and records every message; echoes once the steps say so."""
        try:
            async for message in self.ws:
                if isinstance(message, str):
                    self.recorder.line(f"text {describe(message.encode('utf-8'))}")
                else:
                    self.recorder.line(f"binary {describe(message)}")
                if self.echoing:
                    await self.ws.send(message)
                async with self.arrived:
                    self.received += 1
                    self.arrived.notify_all()
        except websockets.exceptions.ConnectionClosed:
            pass

    async def run_step(self, step):
        name, _, value = step.partition("=")
        ws = self.ws
        if name == "text":
            await send_sized(ws, value, as_text=True)
        elif name == "binary":
            await send_sized(ws, value, as_text=False)
        elif name == "say":
            await ws.send(value)
        elif name == "ping":
            waiter = await ws.ping(value.encode("utf-8"))
            await asyncio.wait_for(waiter, PONG_WAIT_SECONDS)
            self.recorder.line(f"pong {value.encode('utf-8').hex()}")
        elif name == "close":
            code, _, reason = value.partition(":")
            await ws.close(int(code), reason)
        elif name in ("drop", "reset"):
            end_tcp(ws, with_reset=(name == "reset"))
        elif name == "await":
            async with self.arrived:
                await self.arrived.wait_for(lambda: self.received >= int(value))
        elif name == "sleep":
            await asyncio.sleep(float(value))
        elif name == "hold":
            return False
        elif name == "echo":
            self.echoing = True
            return False
        else:
            raise ValueError(f"unknown step {step!r}")
        return True

    async def serve(self, steps):
        reader = asyncio.create_task(self.read_all())
        try:
            for step in steps:
                if not await self.run_step(step):
                    break
            else:
                self.echoing = True
        except websockets.exceptions.ConnectionClosed:
            pass
        await reader
        self.recorder.line(f"close {self.ws.close_code}")
        self.recorder.line("done")


def parse_arguments():
    parser = argparse.ArgumentParser(description="scriptable WebSocket test server")
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--cert")
    parser.add_argument("--key")
    parser.add_argument("--status", type=int)
    parser.add_argument("--subprotocol", action="append", default=[])
    parser.add_argument("--record")
    parser.add_argument("--lifetime", type=float, default=120.0)
    parser.add_argument("steps", nargs="*")
    return parser.parse_args()


def tls_context(arguments, recorder):
    if not arguments.cert:
        return None
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(arguments.cert, arguments.key)
    context.set_alpn_protocols(["http/1.1"])

    def record_sni(ssl_socket, name, _context):
        recorder.line(f"sni {name if name else '-'}")

    context.sni_callback = record_sni
    return context


async def stdin_closed():
    """Returns when stdin reaches end of file: the test that started us has gone."""
    loop = asyncio.get_running_loop()
    await loop.run_in_executor(None, sys.stdin.buffer.read)


async def main():
    logging.basicConfig(level=logging.ERROR, stream=sys.stderr)  # tracebacks, for debugging
    arguments = parse_arguments()
    recorder = Recorder(arguments.record)

    async def process_request(path, headers):
        recorder.line(f"connect {path}")
        for name, value in headers.raw_items():
            recorder.line(f"header {name.lower()} {value}")
        if arguments.status is not None:
            return http.HTTPStatus(arguments.status), [("Content-Length", "0")], b""
        return None

    async def handler(ws):
        tls = ws.transport.get_extra_info("ssl_object")
        if tls is not None:
            recorder.line(f"tls {tls.version()} {tls.selected_alpn_protocol() or '-'}")
        await Connection(ws, recorder).serve(arguments.steps)

    server = await websockets.serve(
        handler, arguments.host, arguments.port, ssl=tls_context(arguments, recorder),
        process_request=process_request, subprotocols=arguments.subprotocol or None,
        ping_interval=None, max_size=None,
        compression=None, close_timeout=5)
    port = server.sockets[0].getsockname()[1]
    recorder.line(str(port))
    watcher = asyncio.create_task(stdin_closed())
    await asyncio.wait([watcher], timeout=arguments.lifetime)
    server.close()
    os._exit(0)  # the stdin reader thread cannot be joined; leave at once


if __name__ == "__main__":
    asyncio.run(main())
