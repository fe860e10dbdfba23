#!/usr/bin/python3
"""The example hosts in examples/ against the local test peer, so that they stay true: the C
host (minimal_host). The Python example runs with the Python package's tests (tests/python).

    /usr/bin/python3 examples_test.py --cli build/wsbridge-cli --c-host build/examples/minimal_host \\
        --peer tests/peers/ws_peer.py
"""

import socket
import subprocess
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


if __name__ == "__main__":
    support.main(support.parse_arguments("cli", "c-host", "peer"))
