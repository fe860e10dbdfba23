"""Starts the scriptable WebSocket test server (tests/peers/ws_peer.py) on loopback for one test
and stops it afterwards. Run with /usr/bin/python3, the interpreter that sees python3-websockets.
"""

import os
import queue
import subprocess
import threading
import time

PEER_START_SECONDS = 20
PEER_STOP_SECONDS = 10
PEER_LIFETIME_SECONDS = 120


class LocalPeer:
    """with LocalPeer(peer_script, steps=[...], host="127.0.0.1") as peer: peer.port ..."""

    def __init__(self, script, steps=(), host="127.0.0.1", options=()):
        self.host = host
        self.events = []  # every event line so far, in order
        self.arrived = threading.Condition()
        environment = dict(os.environ, PYTHONUTF8="1")
        command = ["/usr/bin/python3", script, "--host", host,
                   "--lifetime", str(PEER_LIFETIME_SECONDS), *options, *steps]
        self.process = subprocess.Popen(command, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                        text=True, encoding="utf-8", env=environment)
        self.port = int(self._first_line())
        self.reader = threading.Thread(target=self._read_events, daemon=True)
        self.reader.start()

    def _first_line(self):
        lines = queue.Queue()
        threading.Thread(target=lambda: lines.put(self.process.stdout.readline()),
                         daemon=True).start()
        try:
            line = lines.get(timeout=PEER_START_SECONDS)
        except queue.Empty:
            self.stop()
            raise RuntimeError("the test peer did not start")
        if not line.strip().isdigit():
            self.stop()
            raise RuntimeError(f"the test peer said {line!r} instead of its port")
        return line

    def _read_events(self):
        for line in self.process.stdout:
            with self.arrived:
                self.events.append(line.rstrip("\n"))
                self.arrived.notify_all()

    def url(self, path="/", scheme="ws"):
        host = f"[{self.host}]" if ":" in self.host else self.host
        return f"{scheme}://{host}:{self.port}{path}"

    def wait_for_event(self, event, timeout=10.0):
        """Waits until the peer has reported the event line; returns all lines so far."""
        with self.arrived:
            if not self.arrived.wait_for(lambda: event in self.events, timeout):
                raise AssertionError(f"the peer did not report '{event}': {self.events}")
            return list(self.events)

    def received_texts(self):
        """The text messages the peer has received so far, as bytes; one over 4096 bytes, which
        the peer reports by its digest, as the text "sha256=DIGEST"."""
        with self.arrived:
            lines = [line.split(" ") for line in self.events if line.startswith("text ")]
        texts = []
        for fields in lines:
            reported = fields[2] if len(fields) > 2 else ""
            texts.append(reported if reported.startswith("sha256=") else bytes.fromhex(reported))
        return texts

    def stop(self):
        if self.process.poll() is None:
            self.process.stdin.close()  # the peer exits when its stdin ends
            try:
                self.process.wait(timeout=PEER_STOP_SECONDS)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait(timeout=PEER_STOP_SECONDS)
        if hasattr(self, "reader"):
            self.reader.join(timeout=PEER_STOP_SECONDS)  # it ends with the peer's output
        self.process.stdout.close()

    def __enter__(self):
        return self

    def __exit__(self, *exception):
        self.stop()


def pattern(length):
    """The bytes the peer's text=N and binary=N steps send: the alphabet, repeated."""
    alphabet = b"abcdefghijklmnopqrstuvwxyz"
    return (alphabet * (length // len(alphabet) + 1))[:length]
