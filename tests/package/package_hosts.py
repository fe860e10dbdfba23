"""Builds the example C host (examples/c_host/minimal_host.c) against a wsbridge package the way
a host project would, and runs it against the loopback test peer (tests/peers/ws_peer.py). Shared
by the install test and the release archive check. Run with /usr/bin/python3, the interpreter
that sees python3-websockets.
"""

import os
import pathlib
import subprocess
import sys

ROOT = pathlib.Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "tests" / "host"))
from local_peer import LocalPeer  # noqa: E402

C_HOST = ROOT / "examples" / "c_host"
PEER = ROOT / "tests" / "peers" / "ws_peer.py"
VERSION = (ROOT / "VERSION").read_text().strip()
STEP_SECONDS = 300  # one configure, build or install; generous, only to catch a hang
HOST_SECONDS = 60


def run(command, environment=None, cwd=None):
    """Runs a build step; fails with its output when it fails."""
    result = subprocess.run([str(part) for part in command], env=environment, cwd=cwd,
                            capture_output=True, text=True, timeout=STEP_SECONDS)
    if result.returncode != 0:
        raise AssertionError(f"{' '.join(map(str, command))} exited with {result.returncode}:\n"
                             f"{result.stdout[-3000:]}{result.stderr[-3000:]}")
    return result.stdout


def build_with_cmake(build_dir, *cmake_options, source=C_HOST):
    """The example's own CMake project (find_package(wsbridge 0.2 REQUIRED)); returns the host."""
    run(["cmake", "-S", source, "-B", build_dir, *cmake_options])
    run(["cmake", "--build", build_dir])
    return pathlib.Path(build_dir) / "minimal_host"


def pkg_config(pc_dir, *options):
    environment = dict(os.environ, PKG_CONFIG_PATH=str(pc_dir))
    return run(["pkg-config", *options, "wsbridge"], environment).split()


def build_with_pkg_config(output, pc_dir, source=C_HOST):
    """One compiler call with the flags pkg-config gives; returns the host."""
    run(["cc", pathlib.Path(source) / "minimal_host.c", "-o", output,
         *pkg_config(pc_dir, "--cflags", "--libs")])
    return pathlib.Path(output)


def exchange(host_command, environment=None):
    """Runs the host against an echoing peer; returns None when the echo came back, else what
    went wrong."""
    with LocalPeer(str(PEER)) as peer:
        result = subprocess.run([*map(str, host_command), "127.0.0.1", str(peer.port), "/package",
                                 "hello"], env=environment, capture_output=True, text=True,
                                timeout=HOST_SECONDS)
    if result.returncode == 0 and result.stdout.endswith("received 5 bytes: hello\n"):
        return None
    return f"exit code {result.returncode}: {result.stdout!r} {result.stderr!r}"
