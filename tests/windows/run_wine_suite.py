#!/usr/bin/python3
"""Runs wsbridge.dll under Wine against loopback peer servers started here on Linux.

Usage:
    /usr/bin/python3 run_wine_suite.py BUILD_DIR [--peer PATH]

BUILD_DIR is the cross-build folder (it holds wsbridge.dll, wine_linked_host.exe and
tests/windows/wine_host.exe); the Wine prefix is made fresh in BUILD_DIR/wineprefix the first
time. For each scenario the runner starts a peer (tests/peers/ws_peer.py) with the steps it needs,
runs wine_host.exe, which checks what the host sees, and then checks in the peer's record what the
server saw. The scenarios that keep the library loaded run once more with wine_linked_host.exe,
which links the DLL through its import library (libwsbridge.dll.a), and msvc_linked_host.exe,
linked by lld-link against wsbridge.lib, calls each function once. Every wait is bounded; the exit
code is 0 only when every scenario passed.
"""

import argparse
import os
import pathlib
import queue
import shutil
import socket
import subprocess
import sys
import threading
import time

ROOT = pathlib.Path(__file__).resolve().parents[2]
VERSION = (ROOT / "VERSION").read_text().strip()
DEFAULT_PEER = ROOT / "tests" / "peers" / "ws_peer.py"
PYTHON = "/usr/bin/python3"  # the interpreter that sees Debian's python3-websockets

WINEBOOT_SECONDS = 180
HOST_SECONDS = 60  # wine_host's own waits are far shorter; this only catches a hung process
PEER_START_SECONDS = 15
PEER_RECORD_SECONDS = 10
WINESERVER_EXIT_SECONDS = 30


class Peer:
    """A ws_peer.py process; its event lines are collected as they come."""

    def __init__(self, script, options):
        self.process = subprocess.Popen(
            [PYTHON, str(script), "--lifetime", "120", *options],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        self.lines = queue.Queue()
        self.record = []
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()
        self.port = int(self.lines.get(timeout=PEER_START_SECONDS))

    def _read(self):
        for line in self.process.stdout:
            self.lines.put(line.rstrip("\n"))

    def wait_for(self, predicate):
        """Collects lines until predicate(record) holds or the time is up."""
        deadline = time.monotonic() + PEER_RECORD_SECONDS
        while not predicate(self.record):
            remaining = deadline - time.monotonic()
            if remaining <= 0:
                return False
            try:
                self.record.append(self.lines.get(timeout=remaining))
            except queue.Empty:
                return False
        return True

    def stop(self):
        self.process.stdin.close()  # the peer exits when its stdin ends
        try:
            self.process.wait(timeout=PEER_RECORD_SECONDS)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
        self.reader.join(timeout=PEER_RECORD_SECONDS)  # it ends with the peer's output
        self.process.stdout.close()


def events(record, kind):
    return [line for line in record if line.split(" ", 1)[0] == kind]


def connections_done(count):
    return lambda record: len(events(record, "done")) >= count


def request_arrived(record):
    return bool(events(record, "connect"))


def free_port():
    """A loopback port that nothing listens on (bound once, then released)."""
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


# Each scenario: the peer's options (None: no peer, a closed port instead), when the peer's
# record is complete, and what it must show.
def expect_exchange(record):
    failures = []
    if events(record, "text") != ["text 2 c3a9"]:
        failures.append(f"server received {events(record, 'text')}, wanted U+00E9 as C3 A9 only")
    if events(record, "close") != ["close 1000"]:
        failures.append(f"server saw {events(record, 'close')}, wanted a close with 1000")
    return failures


def nothing_more(record):
    return []


def expect_closed_with_1000(count):
    def expect(record):
        closes = events(record, "close")
        return [] if closes == ["close 1000"] * count else [
            f"server saw {closes}, wanted {count} close(s) with 1000"]
    return expect


SCENARIOS = [
    ("exchange", ["text=5", f"text={3 * 65536}", "text=0", "hold"], connections_done(1),
     expect_exchange),
    ("server-close", ["await=1", "text=5", "close=1000"], connections_done(2), nothing_more),
    ("refused", None, None, nothing_more),
    ("not-upgraded", ["--status", "404"], request_arrived, nothing_more),
    ("unload-connected", ["hold"], connections_done(2), expect_closed_with_1000(2)),
    ("unload-race", ["close=1000"], connections_done(20), nothing_more),
    ("exit-connected", ["hold"], connections_done(1), expect_closed_with_1000(1)),
]
# The scenarios that never unload the library, for the host linked through the import library.
LINKED_SCENARIOS = ["exchange", "exit-connected"]


def windows_path(path):
    """Wine's Z: drive is the Linux root."""
    return "Z:" + str(path).replace("/", "\\")


def wine_environment(prefix):
    """The environment for running programs under Wine in PREFIX, made there first if need be."""
    environment = dict(os.environ, WINEDEBUG="-all", WINEPREFIX=str(prefix),
                       WINEDLLOVERRIDES="mscoree,mshtml=")  # no Mono or Gecko prompts
    prepare_prefix(environment)
    return environment


def stop_wineserver(environment):
    """Leaves no wineserver behind: it ends by itself shortly after the last Wine process."""
    subprocess.run(["wineserver", "-w"], env=environment, timeout=WINESERVER_EXIT_SECONDS)


def prepare_prefix(environment):
    prefix = pathlib.Path(environment["WINEPREFIX"])
    if (prefix / "system.reg").exists():
        return
    shutil.rmtree(prefix, ignore_errors=True)
    print(f"wine: creating the prefix {prefix} (once)", flush=True)
    subprocess.run(["wineboot", "--init"], env=environment, check=True, timeout=WINEBOOT_SECONDS,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def run_host(host, build, environment, scenario, argument):
    command = ["wine", str(host), windows_path(build / "wsbridge.dll"), scenario, str(argument)]
    try:
        result = subprocess.run(command, env=environment, capture_output=True, text=True,
                                timeout=HOST_SECONDS)
    except subprocess.TimeoutExpired as expired:
        output = expired.stdout.decode() if isinstance(expired.stdout, bytes) else expired.stdout
        return (output or "") + f"FAIL the host did not end within {HOST_SECONDS} s\n", 1
    return result.stdout, result.returncode


def run_scenario(host, build, environment, peer_script, scenario, peer_options, complete, expect):
    peer = Peer(peer_script, peer_options) if peer_options is not None else None
    try:
        port = peer.port if peer else free_port()
        output, code = run_host(host, build, environment, scenario, port)
        failures = host_failures(output, code)
        if "end" not in output.splitlines():
            failures.append("FAIL wine_host ended before the end of its scenario")
        if peer:
            if not peer.wait_for(complete):
                failures.append("FAIL the server's record stayed incomplete: "
                                f"{len(events(peer.record, 'connect'))} connection(s), "
                                f"{len(events(peer.record, 'done'))} ended")
            failures += [f"FAIL server: {text}" for text in expect(peer.record)]
    finally:
        if peer:
            peer.stop()
    return report(f"{scenario} ({host.stem})", output, failures)


def host_failures(output, code):
    """The host's FAIL lines, or a line of our own when it failed without one."""
    failures = [line for line in output.splitlines() if line.startswith("FAIL")]
    if code != 0 and not failures:
        failures.append(f"FAIL wine_host exited with {code}")
    return failures


def report(name, output, failures):
    for line in output.splitlines():
        if line.startswith("note"):
            print(f"  {name}: {line}")
    for line in failures:
        print(f"  {name}: {line}")
    passed = not failures
    print(f"{'PASS' if passed else 'FAIL'} {name}", flush=True)
    return passed


def run_version_resource(host, build, environment):
    """What the system's version API reads from the DLL: the numbers of VERSION."""
    output, code = run_host(host, build, environment, "version-resource", VERSION)
    return report("version-resource", output, host_failures(output, code))


def run_msvc_linked_host(build, environment):
    """The host linked by an MSVC-compatible linker: its exit code counts unexpected answers."""
    host = build / "msvc_linked_host.exe"
    if not host.exists():
        return report("msvc-import-library", "", [
            "FAIL msvc_linked_host.exe was not built (lld-link or llvm-dlltool missing?)"])
    try:
        result = subprocess.run(["wine", str(host)], env=environment, capture_output=True,
                                timeout=HOST_SECONDS)
        failures = [] if result.returncode == 0 else [
            f"FAIL {result.returncode} unexpected answers through wsbridge.lib"]
    except subprocess.TimeoutExpired:
        failures = [f"FAIL msvc_linked_host.exe did not end within {HOST_SECONDS} s"]
    return report("msvc-import-library", "", failures)


def run_cli_exchange(cli, environment, peer_script):
    """wsbridge-cli.exe, the command-line host, next to the DLL it loads by default."""
    peer = Peer(peer_script, ["await=1", "say=from the server", "close=1000"])
    failures = []
    try:
        command = ["wine", str(cli), "--send", "hello", "--expect", "1",
                   "--timeout", "20", f"ws://127.0.0.1:{peer.port}/cli"]
        try:
            result = subprocess.run(command, env=environment, capture_output=True, text=True,
                                    timeout=HOST_SECONDS)
            if result.returncode != 0:
                failures.append(f"FAIL wsbridge-cli.exe exited with {result.returncode}: "
                                f"{result.stderr.strip()[-300:]}")
            if "from the server" not in result.stdout.splitlines():
                failures.append(f"FAIL the message did not reach stdout: {result.stdout!r}")
        except subprocess.TimeoutExpired:
            failures.append(f"FAIL wsbridge-cli.exe did not end within {HOST_SECONDS} s")
        if not peer.wait_for(lambda record: events(record, "text")):
            failures.append("FAIL the server never received the message")
        elif events(peer.record, "text")[0] != "text 5 " + b"hello".hex():
            failures.append(f"FAIL server received {events(peer.record, 'text')[0]}")
    finally:
        peer.stop()
    return report("cli-exchange", "", failures)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("build", type=pathlib.Path)
    parser.add_argument("--peer", type=pathlib.Path, default=DEFAULT_PEER)
    arguments = parser.parse_args()
    build = arguments.build.resolve()

    environment = wine_environment(build / "wineprefix")
    loading_host = build / "tests" / "windows" / "wine_host.exe"
    linked_host = build / "wine_linked_host.exe"
    results = []
    try:
        for scenario, options, complete, expect in SCENARIOS:
            hosts = [loading_host] + ([linked_host] if scenario in LINKED_SCENARIOS else [])
            for host in hosts:
                results.append(run_scenario(host, build, environment, arguments.peer, scenario,
                                            options, complete, expect))
        results.append(run_version_resource(loading_host, build, environment))
        results.append(run_msvc_linked_host(build, environment))
        results.append(run_cli_exchange(build / "wsbridge-cli.exe", environment, arguments.peer))
    finally:
        stop_wineserver(environment)
    print(f"wine suite: {sum(results)} of {len(results)} scenarios passed")
    return 0 if all(results) else 1


if __name__ == "__main__":
    sys.exit(main())
