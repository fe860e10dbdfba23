#!/usr/bin/python3
"""The README's demo: a short exchange between wsbridge-cli and a local WebSocket server.

Starts tests/peers/ws_peer.py on a free loopback port, scripted to answer each of three messages
with the same text and then to close the connection; feeds wsbridge-cli an ASCII line, a
non-ASCII line and a 1 MiB line; prints, as they happen, what went each way and each status
change; then checks that every byte arrived intact both ways and exits 0 (1 if anything
differed). Every wait is bounded.

    /usr/bin/python3 tools/demo/demo.py --cli build/wsbridge-cli --peer tests/peers/ws_peer.py
"""

import argparse
import hashlib
import os
import queue
import subprocess
import sys
import threading
import time

ONE_MEBIBYTE = 1 << 20
ALPHABET = b"abcdefghijklmnopqrstuvwxyz"
MESSAGES = [
    b"Hello from wsbridge",
    "Grüße, 世界! Ça va? ✓".encode("utf-8"),
    (ALPHABET * (ONE_MEBIBYTE // len(ALPHABET) + 1))[:ONE_MEBIBYTE],
]
EXIT_MEANINGS = {0: "done", 1: "the handshake failed", 2: "bad command line",
                 3: "the connection ended, here by the server's close", 4: "timed out",
                 5: "the library could not be loaded", 6: "a message could not be sent"}
RUN_SECONDS = 30
PEER_START_SECONDS = 20
PREVIEW_CHARACTERS = 40


def peer_steps():
    """Answer message n with the same text once n messages have arrived, then close (1000). The
    big message is the peer's own text=N pattern, the same bytes the client sends."""
    steps = []
    for number, message in enumerate(MESSAGES, start=1):
        steps.append(f"await={number}")
        if len(message) == ONE_MEBIBYTE:
            steps.append(f"text={ONE_MEBIBYTE}")
        else:
            steps.append("say=" + message.decode("utf-8"))
    return steps + ["close=1000"]


def preview(data):
    if data is None:
        return "a message that matches none of those sent"
    if not isinstance(data, bytes):
        return data
    text = data.decode("utf-8", "replace")
    if len(text) > PREVIEW_CHARACTERS:
        return f'"{text[:PREVIEW_CHARACTERS]}…" ({len(data)} bytes)'
    return f'"{text}" ({len(data)} bytes)'


class Events:
    """Everything that happens, in the order it is seen, from several reader threads."""

    def __init__(self):
        self.queue = queue.Queue()

    def follow(self, name, stream, parse):
        def read():
            for item in parse(stream):
                self.queue.put(item)
            self.queue.put(("ended", name))
        threading.Thread(target=read, daemon=True).start()


def peer_events(stream):
    """The peer reports a text it received as its bytes in hex, or, above 4096 bytes, as
    sha256=DIGEST; either way the event carries the sent message it matches, or None."""
    for line in stream:
        kind, _, rest = line.rstrip("\n").partition(" ")
        if kind == "text":
            length, _, data = rest.partition(" ")
            yield ("server got", matching_message(int(length), data))
        elif kind == "close":
            yield ("client closed", rest)


def matching_message(length, reported):
    for message in MESSAGES:
        if len(message) != length:
            continue
        if reported == f"sha256={hashlib.sha256(message).hexdigest()}" or \
                reported == message.hex():
            return message
    return None


def cli_output(stream):
    """The client's standard output and standard error, read from one pipe so that their order
    is the order in which they were written: messages in --raw form (LENGTH ':' BYTES, then a
    newline) and status lines, which never start with a digit."""
    while True:
        first = stream.read(1)
        if not first:
            return
        if first.isdigit():
            length = first
            while not length.endswith(b":"):
                byte = stream.read(1)
                if not byte:
                    return
                length += byte
            data = stream.read(int(length[:-1]))
            stream.read(1)  # the newline after each message
            yield ("client got", data)
        else:
            line = first + stream.readline()
            yield ("client says", line.decode("utf-8", "replace").rstrip("\n"))


def answer_before_question(event, seen):
    """True for an answer from the server whose message the server has not yet reported."""
    kind, _ = event
    return kind == "client got" and len(seen["client got"]) >= len(seen["server got"])


def feed_input(stream):
    """Writes the messages as lines and leaves the input open: the server's close, not the end
    of input, ends this run. A client that has already given up just closes the pipe."""
    try:
        stream.write(b"".join(message + b"\n" for message in MESSAGES))
        stream.flush()
    except BrokenPipeError:
        pass


def start_peer(script):
    environment = dict(os.environ, PYTHONUTF8="1")
    peer = subprocess.Popen(["/usr/bin/python3", script, "--host", "127.0.0.1",
                             "--lifetime", str(RUN_SECONDS * 2), *peer_steps()],
                            stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True,
                            encoding="utf-8", env=environment)
    port_line = queue.Queue()
    threading.Thread(target=lambda: port_line.put(peer.stdout.readline()), daemon=True).start()
    try:
        port = port_line.get(timeout=PEER_START_SECONDS).strip()
    except queue.Empty:
        port = ""
    if not port.isdigit():
        peer.kill()
        sys.exit("demo: the echo server did not start (is python3-websockets installed?)")
    return peer, int(port)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--cli", required=True)
    parser.add_argument("--peer", required=True)
    arguments = parser.parse_args()

    peer, port = start_peer(arguments.peer)
    url = f"ws://127.0.0.1:{port}/demo"
    print(f"server: {os.path.relpath(arguments.peer)} on {url}, answering each message with the")
    print("        same text, then closing the connection with status 1000")
    command = [arguments.cli, "--raw", "--timeout", str(RUN_SECONDS), url]
    print("client: " + " ".join(os.path.relpath(part) if part == arguments.cli else part
                                for part in command))
    print()
    client = subprocess.Popen(command, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                              stderr=subprocess.STDOUT)
    events = Events()
    events.follow("server", peer.stdout, peer_events)
    events.follow("client", client.stdout, cli_output)
    threading.Thread(target=feed_input, args=(client.stdin,), daemon=True).start()

    seen = {"server got": [], "client got": [], "client says": [], "client closed": []}
    labels = {"server got": "client -> server  ", "client got": "server -> client  ",
              "client says": "client status     ",
              "client closed": "client -> server  close frame, code "}
    deadline = time.monotonic() + RUN_SECONDS
    client_running = True
    server_running = True
    pending = []
    close_reply = None
    while client_running or server_running:
        try:
            kind, value = events.queue.get(timeout=max(deadline - time.monotonic(), 0))
        except queue.Empty:
            print("demo: gave up waiting after", RUN_SECONDS, "s")
            client.kill()
            peer.kill()
            break
        if kind == "ended":
            if pending and value == "server":
                for kind, value in pending:  # nothing more will come to release them
                    seen[kind].append(value)
                    print(labels[kind] + preview(value))
                pending.clear()
            if value == "client":
                client_running = False
                peer.stdin.close()  # the client is done, so stop the server too
            else:
                server_running = False
            continue
        # The server answers message n only after it has received it, but it may report that
        # later than the client reports the answer: the client's events wait for the server's.
        if kind == "client closed":
            close_reply = value  # the last thing on the wire: shown once the rest has been
            continue
        pending.append((kind, value))
        while pending and not answer_before_question(pending[0], seen):
            kind, value = pending.pop(0)
            seen[kind].append(value)
            print(labels[kind] + preview(value))
    if close_reply is not None:
        seen["client closed"].append(close_reply)
        print(labels["client closed"] + close_reply)
    try:
        client.stdin.close()
    except BrokenPipeError:
        pass
    exit_code = client.wait(timeout=RUN_SECONDS)
    peer.wait(timeout=RUN_SECONDS)
    print("server stopped")

    print()
    print(f"wsbridge-cli exited with {exit_code}: {EXIT_MEANINGS.get(exit_code, 'unexpected')}")
    problems = []
    if seen["server got"] != MESSAGES:
        problems.append("the server did not receive exactly the three messages sent")
    if seen["client got"] != MESSAGES:
        problems.append("the client did not receive exactly the three messages back")
    if not any("Server closed WebSocket connection" in line for line in seen["client says"]):
        problems.append("the client did not report the server's close")
    if exit_code != 3:
        problems.append(f"wsbridge-cli exited with {exit_code}, not 3")
    for problem in problems:
        print("demo: FAILED: " + problem)
    if any("(Error 120)" in line for line in seen["client says"]):
        print("demo: this build's library has no network path (error 120: not implemented)")
    if problems:
        return 1
    print("demo: OK: all three messages went out and came back byte for byte, UTF-8 intact")
    return 0


if __name__ == "__main__":
    sys.exit(main())
