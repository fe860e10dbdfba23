"""What the package's tests share: the library under test (--library), the loopback test peer
(tests/peers/ws_peer.py, through tests/host/local_peer.py) and a free port nobody listens on."""

import pathlib
import socket
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
PEER_SCRIPT = str(ROOT / "tests" / "peers" / "ws_peer.py")
sys.path.insert(0, str(ROOT / "tests" / "host"))
from local_peer import LocalPeer  # noqa: E402


def pytest_addoption(parser):
    parser.addoption("--library", required=True,
                     help="the library the tests load (the build's libwsbridge.so.0.x.y)")


@pytest.fixture(scope="session")
def library(request):
    return request.config.getoption("--library")


@pytest.fixture
def peer():
    """An echoing peer; peer(steps=[...], options=[...]) for a scripted one. Each is stopped at
    the end of the test."""
    started = []

    def start(steps=(), options=()):
        started.append(LocalPeer(PEER_SCRIPT, steps=steps, options=options))
        return started[-1]

    yield start
    for local_peer in started:
        local_peer.stop()


@pytest.fixture
def closed_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]
