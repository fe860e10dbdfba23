#!/usr/bin/python3
"""The example hosts in examples/ against the local test peer, so that they stay true: the C
host (minimal_host) and the Python module (examples/python/wsbridge.py).

    /usr/bin/python3 examples_test.py --cli build/wsbridge-cli --c-host build/examples/minimal_host \\
        --library build/libwsbridge.so --python-module examples/python --peer tests/peers/ws_peer.py
"""

import socket
import subprocess
import sys
import time
import unittest

import host_test_support as support
from host_test_support import needs_network
from local_peer import LocalPeer, pattern

RUN_SECONDS = 60


def free_loopback_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


class CHost(unittest.TestCase):
    def run_host(self, port, message="hello"):
        return subprocess.run([support.arguments.c_host, "127.0.0.1", str(port), "/c", message],
                              capture_output=True, text=True, timeout=RUN_SECONDS)

    def test_bad_arguments_are_refused(self):
        for arguments in [[], ["h", "0", "/", "m"], ["h", "80", "/", ""], ["h", "80", "/", "é"]]:
            with self.subTest(arguments=arguments):
                result = subprocess.run([support.arguments.c_host, *arguments],
                                        capture_output=True, timeout=RUN_SECONDS)
                self.assertEqual(result.returncode, 2)

    def test_a_failed_handshake_is_reported_with_the_status_text(self):
        result = self.run_host(free_loopback_port())
        self.assertEqual(result.returncode, 1)
        self.assertRegex(result.stderr, r"handshake failed \(status 3\): WinHttp\w+")

    @needs_network()
    def test_sends_and_reads_the_echo(self):
        with LocalPeer(support.arguments.peer) as peer:
            result = self.run_host(peer.port)
            events = peer.wait_for_event("done")
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(result.stdout, "sent: hello\nreceived 5 bytes: hello\n")
        self.assertIn("close 1000", events)  # it disconnects as a host should

    @needs_network()
    def test_a_reply_longer_than_any_fixed_buffer_is_read_whole(self):
        with LocalPeer(support.arguments.peer, steps=["await=1", "text=200000", "hold"]) as peer:
            result = self.run_host(peer.port)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertTrue(result.stdout.endswith(pattern(200000).decode() + "\n"))
        self.assertIn("closed with 1000", result.stderr)  # the server answered our close

    @needs_network()
    def test_a_server_close_before_the_reply(self):
        with LocalPeer(support.arguments.peer, steps=["await=1", "close=1000"]) as peer:
            result = self.run_host(peer.port)
        self.assertEqual(result.returncode, 1)
        self.assertIn("connection ended (status 0): Server closed WebSocket connection",
                      result.stderr)


class PythonModule(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        sys.path.insert(0, support.arguments.python_module)
        import wsbridge
        cls.wsbridge = wsbridge

    def connect(self, peer, **options):
        connection = self.wsbridge.Connection("127.0.0.1", peer.port, "/py",
                                              library=support.arguments.library, **options)
        self.addCleanup(connection.close)
        return connection

    @needs_network()
    def test_str_goes_out_as_utf8_and_comes_back_as_bytes(self):
        with LocalPeer(support.arguments.peer) as peer:
            with self.connect(peer) as ws:
                for text in ["plain", "Grüße, 世界 😀", "x" * 100000]:
                    ws.send(text)
                    self.assertEqual(ws.receive(), text.encode("utf-8"))
                self.assertIsNone(ws.poll())
                self.assertEqual(ws.last_error, "Connected")

    @needs_network()
    def test_a_one_mebibyte_message_from_the_server(self):
        with LocalPeer(support.arguments.peer, steps=["text=1048576/65536", "hold"]) as peer:
            with self.connect(peer) as ws:
                self.assertEqual(ws.receive(), pattern(1 << 20))

    @needs_network()
    def test_the_server_close_raises_with_the_status_text_after_the_last_message(self):
        with LocalPeer(support.arguments.peer, steps=["say=last", "close=1000"]) as peer:
            ws = self.connect(peer)
            self.assertEqual(ws.receive(), b"last")
            with self.assertRaises(self.wsbridge.WsBridgeError) as raised:
                ws.receive()
            self.assertEqual(str(raised.exception), "Server closed WebSocket connection")
            self.assertEqual(raised.exception.status, self.wsbridge.STATUS_DISCONNECTED)

    @needs_network()
    def test_a_refused_upgrade_raises_with_status_3(self):
        with LocalPeer(support.arguments.peer, options=["--status", "403"]) as peer:
            with self.assertRaises(self.wsbridge.WsBridgeError) as raised:
                self.connect(peer)
        self.assertEqual(raised.exception.status, self.wsbridge.STATUS_ERROR)
        self.assertRegex(raised.exception.text, r"^WinHttp\w+ failed")

    def test_nobody_listening_raises_with_the_failing_step(self):
        port = free_loopback_port()
        with self.assertRaises(self.wsbridge.WsBridgeError) as raised:
            self.wsbridge.Connection("127.0.0.1", port, library=support.arguments.library)
        self.assertEqual(raised.exception.status, self.wsbridge.STATUS_ERROR)
        self.assertIn("WinHttp", raised.exception.text)

    @needs_network()
    def test_texts_the_library_cannot_send_are_refused_before_the_call(self):
        with LocalPeer(support.arguments.peer) as peer:
            with self.connect(peer) as ws:
                for text in ["", "a\0b"]:
                    with self.subTest(text=text), self.assertRaises(ValueError):
                        ws.send(text)

    @needs_network()
    def test_a_message_larger_than_any_preset_buffer_arrives_whole(self):
        size = 20 * 1024 * 1024
        with LocalPeer(support.arguments.peer, steps=[f"text={size}/65536", "hold"]) as peer:
            with self.connect(peer) as ws:
                self.assertEqual(ws.receive(timeout=30), pattern(size))

    @needs_network()
    def test_headers_reach_the_server_and_refused_ones_raise(self):
        with LocalPeer(support.arguments.peer, options=["--subprotocol", "chat"]) as peer:
            with self.connect(peer, headers={"Authorization": "Bearer t0k",
                                             "Sec-WebSocket-Protocol": "chat"}):
                events = peer.wait_for_event("header sec-websocket-protocol chat")
            self.assertIn("header authorization Bearer t0k", events)
            with self.assertRaises(ValueError):
                self.connect(peer, headers=[("Host", "elsewhere")])

    @needs_network()
    def test_the_close_code_and_reason_come_with_the_end(self):
        with LocalPeer(support.arguments.peer, steps=["close=4000:going away"]) as peer:
            ws = self.connect(peer)
            with self.assertRaises(self.wsbridge.WsBridgeError) as raised:
                ws.receive()
        self.assertEqual((raised.exception.close_code, raised.exception.close_reason),
                         (4000, "going away"))
        self.assertEqual(ws.close_status, (4000, "going away"))

    @needs_network()
    def test_receive_sleeps_until_the_message_comes(self):
        with LocalPeer(support.arguments.peer, steps=["sleep=0.3", "say=late", "hold"]) as peer:
            with self.connect(peer) as ws:
                started = time.process_time()
                self.assertEqual(ws.receive(), b"late")
                self.assertLess(time.process_time() - started, 0.1, "no polling while waiting")

    @needs_network()
    def test_a_new_connection_replaces_the_previous_one(self):
        with LocalPeer(support.arguments.peer) as peer:
            first = self.connect(peer)
            second = self.connect(peer)
            with self.assertRaises(self.wsbridge.WsBridgeError):
                first.send("gone")
            second.send("still here")
            self.assertEqual(second.receive(), b"still here")
            first.close()  # closing the replaced one leaves the new one alone
            self.assertEqual(second.status, self.wsbridge.STATUS_CONNECTED)


if __name__ == "__main__":
    support.main(support.parse_arguments("cli", "c-host", "library", "python-module", "peer"))
