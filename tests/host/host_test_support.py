"""What the host tests share: their command line, the probe for a working network path, and the
exit code that tells ctest about skipped tests."""

import argparse
import subprocess
import sys
import unittest

from local_peer import LocalPeer

SKIPPED_EXIT_CODE = 77  # ctest's SKIP_RETURN_CODE for these tests
PROBE_SECONDS = 20

arguments = None
network_path = None  # None: not probed yet


def parse_arguments(*names):
    """Reads --NAME PATH for each name; the rest goes to unittest."""
    global arguments
    parser = argparse.ArgumentParser()
    for name in names:
        parser.add_argument(f"--{name}", required=True)
    arguments, rest = parser.parse_known_args()
    return [sys.argv[0], *rest]


def has_network_path(cli):
    """False when the library was built with the stand-in transport that fails every handshake
    with error 120 (not implemented); then the end-to-end tests skip instead of failing."""
    global network_path
    if network_path is None:
        with LocalPeer(arguments.peer) as peer:
            result = subprocess.run([cli, "--send", "probe", "--expect", "1", "--timeout", "10",
                                     peer.url()], stdin=subprocess.DEVNULL, capture_output=True,
                                    timeout=PROBE_SECONDS)
        network_path = not (result.returncode == 1 and b"(Error 120)" in result.stderr)
    return network_path


def needs_network(cli_argument="cli"):
    def decorate(test):
        def run(self, *args, **kwargs):
            if not has_network_path(getattr(arguments, cli_argument)):
                self.skipTest("this build's transport has no network path")
            return test(self, *args, **kwargs)
        run.__name__ = test.__name__
        run.__doc__ = test.__doc__
        return run
    return decorate


def main(argv):
    program = unittest.main(argv=argv, exit=False, verbosity=2)
    result = program.result
    if not result.wasSuccessful():
        sys.exit(1)
    sys.exit(SKIPPED_EXIT_CODE if result.skipped else 0)
