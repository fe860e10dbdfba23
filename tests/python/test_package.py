"""The package as pip installed it: its metadata, its type hints, where it finds the library,
and the example host that uses it."""

import importlib.metadata
import os
import pathlib
import shutil
import subprocess
import sys

import pytest
import wsbridge

ROOT = pathlib.Path(__file__).resolve().parents[2]
RUN_SECONDS = 120
EXAMPLE = ROOT / "examples" / "python" / "minimal_host.py"
PACKAGE_FOLDER = pathlib.Path(wsbridge.__file__).parent

# Run in a fresh interpreter for each case: a process loads the library once, whatever name it
# is given later. Prints what find_library chose and which file the process mapped.
FIND_AND_EXCHANGE = """
import sys, wsbridge
port, library = int(sys.argv[1]), sys.argv[2] or None
print(wsbridge.find_library(library))
with wsbridge.Connection("127.0.0.1", port, library=library) as ws:
    ws.send("probe")
    assert ws.receive() == b"probe"
with open("/proc/self/maps") as maps:
    print(*{line.split()[-1] for line in maps if "libwsbridge" in line})
"""


def without_preload():
    """The environment for a program that does not load the library (sanitizer builds preload
    their runtime into the tests' interpreter)."""
    variables = dict(os.environ)
    variables.pop("LD_PRELOAD", None)
    return variables


def test_it_is_the_installed_copy_with_the_projects_version_and_licence():
    assert pathlib.Path(wsbridge.__file__).is_relative_to(sys.prefix), "not the venv's copy"
    version = (ROOT / "VERSION").read_text().strip()
    assert importlib.metadata.version("wsbridge") == version == wsbridge.__version__
    metadata = importlib.metadata.metadata("wsbridge")
    assert metadata["License"] == "MIT"
    assert "License :: OSI Approved :: MIT License" in metadata.get_all("Classifier")
    files = {file.name: file for file in importlib.metadata.files("wsbridge")}
    assert files["LICENSE"].read_text() == (ROOT / "LICENSE").read_text()
    assert (PACKAGE_FOLDER / "py.typed").is_file()


@pytest.mark.parametrize("checked", [["-p", "wsbridge"], [str(EXAMPLE)]],
                         ids=["package", "example"])
def test_a_strict_type_check_passes(tmp_path, checked):
    # The installed copy. The example alone is checked as a user's code is: its hints are
    # read from the package only when the package carries its py.typed marker.
    result = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--cache-dir",
                             str(tmp_path), *checked], capture_output=True, text=True,
                            env=without_preload(), timeout=RUN_SECONDS)
    assert result.returncode == 0, result.stdout + result.stderr


@pytest.fixture
def copy_beside_the_package(library):
    """A copy of the library in the installed package's folder, removed afterwards."""
    beside = PACKAGE_FOLDER / wsbridge.LIBRARY_FILE_NAME
    shutil.copyfile(library, beside)
    yield str(beside)
    beside.unlink()


def exchange_in_new_process(port, library_argument, library_path=None):
    variables = dict(os.environ)
    variables.pop("LD_LIBRARY_PATH", None)
    if library_path:
        variables["LD_LIBRARY_PATH"] = library_path
    return subprocess.run([sys.executable, "-c", FIND_AND_EXCHANGE, str(port), library_argument],
                          capture_output=True, text=True, env=variables, timeout=RUN_SECONDS)


@pytest.mark.parametrize("given, beside, expected", [
    (True, True, "given"),  # library= wins over a copy beside the package
    (False, True, "beside"),  # which wins over the loader's search
    (False, False, "installed"),  # libwsbridge.so.0, found through LD_LIBRARY_PATH here
], ids=["given", "beside", "installed"])
def test_where_the_library_is_found(library, peer, request, given, beside, expected):
    copy = request.getfixturevalue("copy_beside_the_package") if beside else None
    library_folder = str(pathlib.Path(library).parent)
    result = exchange_in_new_process(peer().port, library if given else "", library_folder)
    assert result.returncode == 0, result.stderr
    chosen, mapped = result.stdout.splitlines()
    assert chosen == {"given": library, "beside": copy, "installed": "libwsbridge.so.0"}[expected]
    assert mapped == os.path.realpath(copy if expected == "beside" else library)


def test_a_missing_library_is_reported_with_what_was_tried(peer):
    installed = subprocess.run(["/sbin/ldconfig", "-p"], capture_output=True, text=True).stdout
    if wsbridge.LIBRARY_FILE_NAME in installed:
        pytest.skip("this machine has the library installed")
    result = exchange_in_new_process(peer().port, "")
    assert result.returncode == 1
    assert "OSError: wsbridge: cannot load the library 'libwsbridge.so.0'" in result.stderr
    assert "library=" in result.stderr


def test_a_library_without_the_functions_is_refused():
    with pytest.raises(OSError, match="'libm.so.6' has no WsConnect"):
        wsbridge.Connection("127.0.0.1", 1, library="libm.so.6")


@pytest.mark.parametrize("message", ["hello", "Grüße, 世界"])
def test_the_example_host_exchanges_a_message(library, peer, message):
    local_peer = peer()
    variables = dict(os.environ, PYTHONUTF8="1",
                     LD_LIBRARY_PATH=str(pathlib.Path(library).parent))
    result = subprocess.run([sys.executable, str(EXAMPLE), "127.0.0.1", str(local_peer.port),
                             "/example", message], capture_output=True, text=True,
                            encoding="utf-8", env=variables, timeout=RUN_SECONDS)
    assert result.returncode == 0, result.stderr
    assert result.stdout == (f"sent: {message}\n"
                             f"received {len(message.encode())} bytes: {message}\n")
    assert result.stderr == "closed with 1000\n"  # the server answered the example's close
    assert "close 1000" in local_peer.wait_for_event("done")


def test_the_example_host_reports_a_failed_handshake(library, closed_port):
    result = subprocess.run([sys.executable, str(EXAMPLE), "127.0.0.1", str(closed_port), "/",
                             "hello", "--library", library], capture_output=True, text=True,
                            timeout=RUN_SECONDS)
    assert result.returncode == 1
    assert result.stderr.startswith("could not connect: WinHttp")
