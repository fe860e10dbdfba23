#!/usr/bin/python3
"""The example hosts in examples/ against the local test peer, so that they stay true: the C
host (minimal_host) and the C# host (examples/csharp, run by Mono). The Python example runs with
the Python package's tests (tests/python).

    /usr/bin/python3 examples_test.py --cli build/wsbridge-cli --c-host build/examples/minimal_host \\
        --csharp-host build/examples/csharp/MinimalHost.exe --library build/libwsbridge.so.0 \\
        --peer tests/peers/ws_peer.py [CHost|CSharpHost]
"""

import os
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


class ExampleHost:
    """What every example host does, whatever its language: it takes HOST PORT PATH MESSAGE,
    refuses bad arguments with exit code 2, reports a failed handshake with the status text,
    reads a long reply whole and tells how a server's close ended the connection. Each class
    below names its host and the bad arguments of its own."""

    bad_arguments = [[], ["h", "0", "/", "m"], ["h", "80", "/", ""]]

    def command(self):
        raise NotImplementedError

    def environment(self):
        return None

    def run_host(self, port, message="hello", *extra):
        return subprocess.run([*self.command(), "127.0.0.1", str(port), "/example", message,
                               *extra], capture_output=True, text=True, encoding="utf-8",
                              env=self.environment(), timeout=RUN_SECONDS)

    def test_bad_arguments_are_refused(self):
        for arguments in self.bad_arguments:
            with self.subTest(arguments=arguments):
                result = subprocess.run([*self.command(), *arguments], capture_output=True,
                                        env=self.environment(), timeout=RUN_SECONDS)
                self.assertEqual(result.returncode, 2)

    def test_a_failed_handshake_is_reported_with_the_status_text(self):
        result = self.run_host(free_loopback_port())
        self.assertEqual(result.returncode, 1)
        self.assertRegex(result.stderr, r"handshake failed \(status 3\): WinHttp\w+")

    @needs_network()
    def test_a_reply_longer_than_any_fixed_buffer_is_read_whole(self):
        with LocalPeer(support.arguments.peer, steps=["await=1", "text=200000", "hold"]) as peer:
            result = self.run_host(peer.port)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertTrue(result.stdout.endswith(pattern(200000).decode() + "\n"))
        self.assertIn("closed with 1000", result.stderr)  # the server answered our close

    @needs_network()
    def test_a_server_close_before_the_reply(self):
        with LocalPeer(support.arguments.peer, steps=["await=1", "close=4000:bye"]) as peer:
            result = self.run_host(peer.port)
        self.assertEqual(result.returncode, 1)
        self.assertIn("connection ended (status 0): Server closed WebSocket connection",
                      result.stderr)
        self.assertIn("closed with 4000: bye", result.stderr)


class CHost(ExampleHost, unittest.TestCase):
    bad_arguments = ExampleHost.bad_arguments + [["h", "80", "/", "é"]]  # ASCII only

    def command(self):
        return [support.arguments.c_host]

    @needs_network()
    def test_sends_and_reads_the_echo(self):
        with LocalPeer(support.arguments.peer) as peer:
            result = self.run_host(peer.port)
            events = peer.wait_for_event("done")
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(result.stdout, "sent: hello\nreceived 5 bytes: hello\n")
        self.assertIn("close 1000", events)  # it disconnects as a host should


class CSharpHost(ExampleHost, unittest.TestCase):
    """examples/csharp (its P/Invoke declarations of the eleven functions and MinimalHost),
    compiled by Mono's mcs and run by Mono, which finds the library through the dllmap config
    beside the program (libwsbridge.so.0) and LD_LIBRARY_PATH, as an installed copy is found.
    Header lines may follow the message."""

    bad_arguments = ExampleHost.bad_arguments + [["h", "x", "/", "m"]]

    def command(self):
        return ["mono", support.arguments.csharp_host]

    def environment(self):
        return dict(os.environ, LD_LIBRARY_PATH=os.path.dirname(support.arguments.library))

    @needs_network()
    def test_utf16_text_goes_out_as_utf8_and_the_echo_comes_back(self):
        message = "Grüße, 世界 😀"  # a surrogate pair in UTF-16
        with LocalPeer(support.arguments.peer) as peer:
            result = self.run_host(peer.port, message)
            events = peer.wait_for_event("done")
            received = peer.received_texts()
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(received, [message.encode("utf-8")])
        self.assertEqual(result.stdout, f"sent: {message}\n"
                                        f"received {len(message.encode())} bytes: {message}\n")
        self.assertIn("close 1000", events)
        self.assertEqual(result.stderr, "closed with 1000\n")  # the server answered our close

    @needs_network()
    def test_header_lines_reach_the_server_and_refused_ones_change_nothing(self):
        with LocalPeer(support.arguments.peer) as peer:
            result = self.run_host(peer.port, "hello", "Authorization: Bearer t0k", "X-Trace: 7")
            refused = self.run_host(peer.port, "hello", "Host: elsewhere")
            events = peer.wait_for_event("done")
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertIn("header authorization Bearer t0k", events)
        self.assertIn("header x-trace 7", events)
        self.assertEqual(refused.returncode, 2)
        connects = [event for event in events if event.startswith("connect ")]
        self.assertEqual(len(connects), 1, "the refused header lines opened no connection")


if __name__ == "__main__":
    support.main(support.parse_arguments("cli", "c-host", "csharp-host", "library", "peer"))
