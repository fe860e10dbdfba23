#!/usr/bin/python3
"""Installs the Python package (python/) into a fresh virtual environment, as a user would, then
runs its tests (test_*.py beside this file) with pytest in that environment, so that they use
the installed copy and nothing from the source tree.

    /usr/bin/python3 run_package_tests.py --library BUILD/libwsbridge.so.0 [--preload RUNTIME]
        [pytest options]

The environment sees Debian's packages (--system-site-packages), pytest and mypy among them. The
package is built offline: --no-build-isolation takes the installed setuptools, --no-index keeps
pip from looking for a package index. It is built from a copy of python/ (with VERSION and
LICENSE copied in place of their links), so that the build leaves nothing in the source tree.
--preload names a sanitizer runtime to preload into the interpreter that runs the tests, which
is not built with the sanitizer; only the tests run with it, not the install.
"""

import argparse
import os
import pathlib
import shutil
import subprocess
import sys
import tempfile

ROOT = pathlib.Path(__file__).resolve().parents[2]
TESTS = pathlib.Path(__file__).resolve().parent
INSTALL_SECONDS = 300  # creating the environment or installing; generous, only to catch a hang
TESTS_SECONDS = 600


def run(command, **options):
    print("+", " ".join(map(str, command)), flush=True)
    return subprocess.run([str(part) for part in command], check=True, **options)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--library", required=True, type=pathlib.Path)
    parser.add_argument("--preload")
    arguments, pytest_options = parser.parse_known_args()
    with tempfile.TemporaryDirectory(prefix="wsbridge-python-") as scratch:
        scratch = pathlib.Path(scratch)
        source = scratch / "python"
        shutil.copytree(ROOT / "python", source, ignore=shutil.ignore_patterns(
            "build", "*.egg-info", "__pycache__"))
        environment = scratch / "venv"
        run(["/usr/bin/python3", "-m", "venv", "--system-site-packages", environment],
            timeout=INSTALL_SECONDS)
        python = environment / "bin" / "python"
        run([python, "-m", "pip", "install", "--quiet", "--no-build-isolation", "--no-index",
             source], timeout=INSTALL_SECONDS)

        # Nothing written into the source tree: no byte code beside the tests.
        variables = dict(os.environ, PYTHONDONTWRITEBYTECODE="1")
        if arguments.preload:
            variables.update(LD_PRELOAD=arguments.preload,
                             ASAN_OPTIONS="detect_leaks=0:abort_on_error=1")
        # `python -m pytest` puts its working folder on sys.path: the tests' own folder holds no
        # module of the package's name.
        result = subprocess.run(
            [str(python), "-m", "pytest", "-p", "no:cacheprovider", "-v", f"--rootdir={TESTS}",
             f"--basetemp={scratch / 'pytest'}", str(TESTS),
             "--library", str(arguments.library.resolve()), *pytest_options],
            cwd=TESTS, env=variables, timeout=TESTS_SECONDS)
        return result.returncode


if __name__ == "__main__":
    sys.exit(main())
