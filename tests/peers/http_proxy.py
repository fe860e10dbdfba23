#!/usr/bin/python3
"""Debian's tinyproxy, run for one test: a real HTTP proxy on 127.0.0.1 that opens CONNECT
tunnels.

Usage:
    /usr/bin/python3 http_proxy.py [options]

Options:
    --connect-port N   allow CONNECT to port N (repeat for more; tinyproxy allows every port
                       when none is given)
    --basic-auth USER:PASSWORD
                       demand Basic authentication: 407 without these credentials
    --lifetime SECONDS exit after this long whatever happens (default 120)

The configuration, the pid file and the log go to a fresh temporary directory, removed on exit.
tinyproxy runs in the foreground, as the user that started it: the configuration names no User
or Group, since inside a test's user namespace there is no other user to change to. It is killed
with this process.

The first line on stdout is the proxy's port, once it accepts connections. Then one line per
event tinyproxy logs:
    request LINE       a request arrived; LINE is its request line (CONNECT host:port HTTP/1.1)
    established HOST   the proxy connected to HOST, the far end of a tunnel
The proxy stops when stdin reaches end of file.
"""

import argparse
import ctypes
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

from threaded_server import emit, wait_for_stdin_end

START_SECONDS = 10
STOP_SECONDS = 2
POLL_SECONDS = 0.01
PR_SET_PDEATHSIG = 1

REQUEST = re.compile(r"Request \(file descriptor \d+\): (.*)$")
ESTABLISHED = re.compile(r'Established connection to host "([^"]+)"')


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def write_configuration(directory, port, arguments):
    lines = [
        f"Port {port}",
        "Listen 127.0.0.1",
        "Timeout 60",
        f'LogFile "{directory}/tinyproxy.log"',
        f'PidFile "{directory}/tinyproxy.pid"',
        "LogLevel Connect",
        "MaxClients 32",
    ]
    lines += [f"ConnectPort {port}" for port in arguments.connect_port]
    if arguments.basic_auth:
        user, _, password = arguments.basic_auth.partition(":")
        lines.append(f"BasicAuth {user} {password}")
    path = os.path.join(directory, "tinyproxy.conf")
    with open(path, "w") as conf:
        conf.write("\n".join(lines) + "\n")
    return path


def die_with_parent():
    """Runs in the child before exec: the proxy must not outlive this process."""
    ctypes.CDLL(None, use_errno=True).prctl(PR_SET_PDEATHSIG, signal.SIGKILL)


def accepts(port):
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=1):
            return True
    except OSError:
        return False


def follow_log(path):
    """Turns the log's lines into events as tinyproxy writes them."""
    while not os.path.exists(path):
        time.sleep(POLL_SECONDS)
    with open(path, errors="replace") as log:
        partial = ""
        while True:
            chunk = log.readline()
            if not chunk:
                time.sleep(POLL_SECONDS)
                continue
            partial += chunk
            if not partial.endswith("\n"):
                continue
            line, partial = partial.rstrip("\n"), ""
            request = REQUEST.search(line)
            if request:
                emit(f"request {request.group(1)}")
            established = ESTABLISHED.search(line)
            if established:
                emit(f"established {established.group(1)}")


def main():
    parser = argparse.ArgumentParser(description="tinyproxy for one test")
    parser.add_argument("--connect-port", type=int, action="append", default=[])
    parser.add_argument("--basic-auth")
    parser.add_argument("--lifetime", type=float, default=120.0)
    arguments = parser.parse_args()

    directory = tempfile.mkdtemp(prefix="wsbridge-proxy-")
    proxy = None
    try:
        port = free_port()
        conf = write_configuration(directory, port, arguments)
        proxy = subprocess.Popen(["tinyproxy", "-d", "-c", conf], stdout=subprocess.DEVNULL,
                                 preexec_fn=die_with_parent)
        deadline = time.monotonic() + START_SECONDS
        while not accepts(port):
            if proxy.poll() is not None or time.monotonic() > deadline:
                sys.stderr.write("http_proxy.py: tinyproxy did not start\n")
                return
            time.sleep(POLL_SECONDS)
        threading.Thread(target=follow_log, args=(os.path.join(directory, "tinyproxy.log"),),
                         daemon=True).start()
        emit(str(port))
        wait_for_stdin_end(arguments.lifetime)
    finally:
        if proxy and proxy.poll() is None:
            proxy.terminate()
            try:
                proxy.wait(STOP_SECONDS)
            except subprocess.TimeoutExpired:
                proxy.kill()
                proxy.wait()
        shutil.rmtree(directory, ignore_errors=True)
    sys.stdout.flush()
    os._exit(0)


if __name__ == "__main__":
    main()
