#!/usr/bin/python3
"""wsbridge-cli end to end: its command line, its exit codes, and real exchanges with the local
test peer (tests/peers/ws_peer.py).

    /usr/bin/python3 cli_test.py --cli build/wsbridge-cli --peer tests/peers/ws_peer.py
"""

import os
import socket
import subprocess
import tempfile
import time
import unittest

import host_test_support as support
from host_test_support import needs_network
from local_peer import LocalPeer, pattern

RUN_SECONDS = 60  # a generous bound that only a hang reaches

DONE, HANDSHAKE_FAILED, BAD_COMMAND_LINE, CONNECTION_ENDED, TIMED_OUT, NO_LIBRARY = range(6)


def run_cli(*arguments, stdin=b"", environment=None):
    return subprocess.run([support.arguments.cli, *arguments], input=stdin, capture_output=True,
                          timeout=RUN_SECONDS, env=environment)


def raw_messages(output):
    """Splits --raw output ("LENGTH:BYTES\\n" per message) into the messages."""
    messages = []
    while output:
        length_text, _, rest = output.partition(b":")
        length = int(length_text)
        messages.append(rest[:length])
        assert rest[length:length + 1] == b"\n", "each message ends with a newline"
        output = rest[length + 1:]
    return messages


def free_loopback_port():
    """A port nobody listens on: bound once by the system's choice, then released."""
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def ipv6_loopback_available():
    try:
        with socket.socket(socket.AF_INET6) as probe:
            probe.bind(("::1", 0))
        return True
    except OSError:
        return False


def make_test_certificates(directory):
    """A CA and a server certificate for localhost and 127.0.0.1 signed by it, made with the
    openssl command for this run only. Returns (ca file, server certificate, server key)."""
    def openssl(*arguments):
        subprocess.run(["openssl", *arguments], cwd=directory, check=True, capture_output=True,
                       timeout=RUN_SECONDS)
    curve = ["-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes"]
    openssl("req", "-x509", *curve, "-keyout", "ca.key", "-out", "ca.pem", "-days", "1",
            "-subj", "/CN=wsbridge host test CA")
    openssl("req", *curve, "-keyout", "server.key", "-out", "server.csr", "-subj", "/CN=localhost")
    with open(os.path.join(directory, "names.ext"), "w") as names:
        names.write("subjectAltName=DNS:localhost,IP:127.0.0.1\n")
    openssl("x509", "-req", "-in", "server.csr", "-CA", "ca.pem", "-CAkey", "ca.key",
            "-CAcreateserial", "-out", "server.pem", "-days", "1", "-extfile", "names.ext")
    return [os.path.join(directory, name) for name in ("ca.pem", "server.pem", "server.key")]


class CommandLine(unittest.TestCase):
    def test_bad_url_or_option_gives_one_line_and_the_usage(self):
        cases = [[], ["http://host/"], ["ws://host:99999/"], ["ws://[::1/"],
                 ["--bogus", "ws://host/"], ["--expect"], ["--expect", "x", "ws://host/"],
                 ["--timeout", "0", "ws://host/"], ["--hex", "--raw", "ws://host/"],
                 ["ws://a/", "ws://b/"]]
        for arguments in cases:
            with self.subTest(arguments=arguments):
                result = run_cli(*arguments)
                self.assertEqual(result.returncode, BAD_COMMAND_LINE)
                self.assertEqual(result.stdout, b"")
                lines = result.stderr.decode().splitlines()
                self.assertEqual(len(lines), 3, lines)
                self.assertTrue(lines[0].startswith("wsbridge-cli: "), lines)
                self.assertTrue(lines[1].startswith("usage: wsbridge-cli "), lines)

    def test_help_goes_to_stdout_and_lists_the_exit_codes(self):
        result = run_cli("--help")
        self.assertEqual(result.returncode, DONE)
        self.assertIn(b"--expect N", result.stdout)
        self.assertIn(b"Exit codes:", result.stdout)

    def test_a_library_that_cannot_be_used(self):
        cases = {"/nonexistent/libwsbridge.so": "nonexistent",
                 "libc.so.6": "has no function WsConnect"}
        for library, reason in cases.items():
            with self.subTest(library=library):
                result = run_cli("--library", library, "ws://127.0.0.1/")
                self.assertEqual(result.returncode, NO_LIBRARY)
                self.assertIn(reason, result.stderr.decode())
                self.assertEqual(len(result.stderr.splitlines()), 1)


class HandshakeFailure(unittest.TestCase):
    def test_nobody_listening_ends_with_status_3_and_its_text(self):
        started = time.monotonic()
        result = run_cli("--send", "x", f"ws://127.0.0.1:{free_loopback_port()}/")
        self.assertEqual(result.returncode, HANDSHAKE_FAILED, result.stderr)
        self.assertRegex(result.stderr.decode(), r"\[status 3 Error\] WinHttp\w+")
        self.assertLess(time.monotonic() - started, 15)

    @needs_network()
    def test_a_server_that_refuses_the_upgrade(self):
        with LocalPeer(support.arguments.peer, options=["--status", "404"]) as peer:
            result = run_cli("--expect", "1", peer.url())
        self.assertEqual(result.returncode, HANDSHAKE_FAILED, result.stderr)
        self.assertRegex(result.stderr.decode(), r"\[status 3 Error\] WinHttp\w+ failed")

    @needs_network()
    def test_timeout_during_the_handshake_leaves_at_once(self):
        # The server reads the upgrade request and never answers: without --timeout the wait
        # would last as long as the transport's own limit, and unloading the library would wait
        # for it too.
        raw_peer = os.path.join(os.path.dirname(support.arguments.peer), "raw_peer.py")
        with LocalPeer(raw_peer, options=["--reply", "silent"]) as peer:
            started = time.monotonic()
            result = run_cli("--timeout", "0.5", "--expect", "1", peer.url())
            elapsed = time.monotonic() - started
        self.assertEqual(result.returncode, TIMED_OUT, result.stderr)
        self.assertIn(b"timed out waiting for the handshake", result.stderr)
        self.assertLess(elapsed, 5)


class Exchange(unittest.TestCase):
    def echo(self, arguments, stdin=b"", steps=(), host="127.0.0.1", path="/", options=()):
        """Runs the CLI against a fresh peer; the peer stays in self.peer until the test ends."""
        self.peer = LocalPeer(support.arguments.peer, steps=steps, host=host, options=options)
        self.addCleanup(self.peer.stop)
        return run_cli(*arguments, self.peer.url(path), stdin=stdin)

    @needs_network()
    def test_send_texts_then_input_lines_are_echoed_in_order(self):
        result = self.echo(["--raw", "--expect", "4", "--send", "one", "--send", "Grüße ✓"],
                           stdin="three\r\nfour 😀\n".encode())
        self.assertEqual(result.returncode, DONE, result.stderr)
        self.assertEqual(raw_messages(result.stdout),
                         [b"one", "Grüße ✓".encode(), b"three", "four 😀".encode()])
        stderr = result.stderr.decode()
        self.assertIn("[status 2 Connected] Connected", stderr)
        self.assertIn("[status 0 Disconnected]", stderr)  # WsDisconnect at the end

    @needs_network()
    def test_text_and_hex_output(self):
        for option, expected in [(None, b"h\xc3\xa9\n"), ("--hex", b"68c3a9\n")]:
            with self.subTest(option=option):
                arguments = ["--send", "hé", "--expect", "1"] + ([option] if option else [])
                result = self.echo(arguments)
                self.assertEqual(result.returncode, DONE, result.stderr)
                self.assertEqual(result.stdout, expected)

    @needs_network()
    def test_what_the_server_receives(self):
        # Ill-formed UTF-8 is sent with U+FFFD in its place; an empty line is not sent at all.
        result = self.echo(["--raw", "--expect", "2", "--timeout", "20"],
                           stdin=b"a\xffb\n\nlast\n", path="/room/7?user=x")
        self.assertEqual(result.returncode, DONE, result.stderr)
        self.assertIn(b"empty line not sent", result.stderr)
        events = self.peer.wait_for_event("done")
        self.assertIn("connect /room/7?user=x", events)
        self.assertEqual(self.peer.received_texts(), [b"a\xef\xbf\xbdb", b"last"])
        self.assertIn("close 1000", events)  # the CLI's own WsDisconnect

    @needs_network()
    def test_a_one_mebibyte_message_each_way(self):
        big = pattern(1 << 20)
        result = self.echo(["--raw", "--expect", "1"], stdin=big + b"\n")
        self.assertEqual(result.returncode, DONE, result.stderr)
        self.assertEqual(raw_messages(result.stdout), [big])

    @needs_network()
    def test_a_message_longer_than_max_size_is_cut_with_a_warning(self):
        result = self.echo(["--max-size", "4", "--expect", "1"], steps=["text=10", "hold"])
        self.assertEqual(result.returncode, DONE, result.stderr)
        self.assertEqual(result.stdout, b"abcd\n")
        self.assertIn(b"may have been cut", result.stderr)

    @needs_network()
    def test_the_server_closing_first_is_a_connection_that_ended(self):
        result = self.echo(["--expect", "3"], steps=["say=bye", "close=1000"])
        self.assertEqual(result.returncode, CONNECTION_ENDED, result.stderr)
        self.assertEqual(result.stdout, b"bye\n")  # what came before the close is still read
        self.assertIn(b"[status 0 Disconnected] Server closed WebSocket connection",
                      result.stderr)

    @needs_network()
    def test_enough_messages_before_the_close_is_success(self):
        result = self.echo(["--expect", "2"], steps=["say=a", "say=b", "close=1000"])
        self.assertEqual(result.returncode, DONE, result.stderr)
        self.assertEqual(result.stdout, b"a\nb\n")

    @needs_network()
    def test_end_of_input_without_expect_waits_for_replies(self):
        result = self.echo([], stdin=b"x\ny\n")
        self.assertEqual(result.returncode, DONE, result.stderr)
        self.assertEqual(result.stdout, b"x\ny\n")

    @needs_network()
    def test_timeout_while_waiting_for_messages(self):
        started = time.monotonic()
        result = self.echo(["--expect", "1", "--timeout", "0.5"], steps=["hold"])
        self.assertEqual(result.returncode, TIMED_OUT, result.stderr)
        self.assertIn(b"timed out after 0 message(s)", result.stderr)
        self.assertLess(time.monotonic() - started, 15)

    @needs_network()
    def test_the_close_code_and_reason_are_reported_when_the_connection_ends(self):
        cases = [(["say=bye", "close=4000:going away"], "[close 4000] going away"),
                 (["say=bye", "hold"], "[close 1000]")]  # our close, answered by the server
        for steps, line in cases:
            with self.subTest(line=line):
                result = self.echo(["--expect", "1"], steps=steps)
                self.assertIn(line, result.stderr.decode().splitlines())

    @needs_network()
    def test_headers_go_out_on_the_upgrade_request(self):
        result = self.echo(["--header", "Authorization: Bearer t0k", "--header",
                            "Sec-WebSocket-Protocol: chat", "--send", "x", "--expect", "1"],
                           options=["--subprotocol", "chat"])
        self.assertEqual(result.returncode, DONE, result.stderr)
        events = self.peer.wait_for_event("done")
        self.assertIn("header authorization Bearer t0k", events)
        self.assertIn("header sec-websocket-protocol chat", events)

    @needs_network()
    def test_headers_the_library_refuses_are_a_bad_command_line(self):
        result = self.echo(["--header", "Host: elsewhere", "--expect", "1"])
        self.assertEqual(result.returncode, BAD_COMMAND_LINE, result.stderr)
        self.assertIn(b"refused the --header lines", result.stderr)
        self.assertEqual(self.peer.events, [], "nothing reached the server")

    @needs_network()
    @unittest.skipUnless(ipv6_loopback_available(), "no IPv6 loopback here")
    def test_an_ipv6_literal(self):
        result = self.echo(["--send", "six", "--expect", "1"], host="::1")
        self.assertEqual(result.returncode, DONE, result.stderr)
        self.assertEqual(result.stdout, b"six\n")


    @needs_network()
    def test_wss_with_a_certificate_the_system_is_told_to_trust(self):
        with tempfile.TemporaryDirectory() as directory:
            ca, certificate, key = make_test_certificates(directory)
            options = ["--cert", certificate, "--key", key]
            with LocalPeer(support.arguments.peer, options=options) as peer:
                # OpenSSL's default trust store can be pointed elsewhere with SSL_CERT_FILE.
                trusting = dict(os.environ, SSL_CERT_FILE=ca)
                url = f"wss://localhost:{peer.port}/secure"
                trusted = run_cli("--send", "sealed", "--expect", "1", url, environment=trusting)
                untrusted = run_cli("--send", "sealed", "--expect", "1", url)
        self.assertEqual(trusted.returncode, DONE, trusted.stderr)
        self.assertEqual(trusted.stdout, b"sealed\n")
        self.assertEqual(untrusted.returncode, HANDSHAKE_FAILED, untrusted.stderr)
        self.assertIn(b"[status 3 Error] WinHttp", untrusted.stderr)


if __name__ == "__main__":
    support.main(support.parse_arguments("cli", "peer"))
